#include "platform/Shell.h"

#include "TestEnv.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <sys/stat.h>
#include <unistd.h>

using namespace v7;

TEST(Shell, ProtectedFolders)
{
    const QString home = QDir::homePath();
    EXPECT_TRUE(IsProtectedFolder(QStringLiteral("/")));
    EXPECT_TRUE(IsProtectedFolder(home));
    EXPECT_TRUE(IsProtectedFolder(home + QStringLiteral("/")));
    EXPECT_TRUE(IsProtectedFolder(home + QStringLiteral("/pics/..")));
    if (home != QLatin1String("/")) {
        EXPECT_TRUE(IsProtectedFolder(QFileInfo(home).absolutePath())); // a folder above home
    }
    EXPECT_FALSE(IsProtectedFolder(home + QStringLiteral("/pics")));
    EXPECT_FALSE(IsProtectedFolder(QStringLiteral("/tmp/x")));
}

namespace
{

// The keys of a .trashinfo file; empty when its first line is not the group.
QMap<QString, QString> readTrashInfo(const QString &file)
{
    const QStringList lines = QString::fromUtf8(v7test::readFile(file)).split(u'\n', Qt::SkipEmptyParts);
    QMap<QString, QString> keys;
    if (lines.isEmpty() || lines.first() != QLatin1String("[Trash Info]"))
        return keys;
    for (const QString &line : lines.mid(1))
        keys.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
    return keys;
}

QStringList namesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QString uidText()
{
    return QString::number(::getuid());
}

} // namespace

class Trash : public v7test::TempHome
{
protected:
    QString trash() const { return root() + QStringLiteral("/data/Trash"); }
};

TEST_F(Trash, MovesIntoTheHomeTrashAndRefusesWhatItMustNot)
{
    const QString folder = root() + QStringLiteral("/album");
    v7test::writeFile(folder + QStringLiteral("/a.jpg"), "x");
    QString error;
    ASSERT_TRUE(MoveToTrash(folder, &error)) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(folder));
    EXPECT_EQ(v7test::readFile(trash() + QStringLiteral("/files/album/a.jpg")), QByteArray("x"));
    EXPECT_TRUE(QFileInfo::exists(trash() + QStringLiteral("/info/album.trashinfo")));
    EXPECT_FALSE(MoveToTrash(folder, &error)); // gone already
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(MoveToTrash(QDir::homePath(), &error));
    EXPECT_FALSE(MoveToTrash(root() + QStringLiteral("/data"), &error)); // holds the trash itself
    EXPECT_TRUE(QFileInfo::exists(trash() + QStringLiteral("/info/album.trashinfo")));
}

TEST_F(Trash, TheInfoFileNamesTheOriginalPercentEncodedWithTheDeletionDate)
{
    const QString folder = root() + QStringLiteral("/100% Zürich");
    v7test::writeFile(folder + QStringLiteral("/a.jpg"), "x");
    const QDateTime before = QDateTime::currentDateTime().addSecs(-2);
    QString error;
    ASSERT_TRUE(MoveToTrash(folder, &error)) << error.toStdString();
    const QMap<QString, QString> info = readTrashInfo(trash() + QStringLiteral("/info/100% Zürich.trashinfo"));
    ASSERT_EQ(info.size(), 2) << "a [Trash Info] group with Path and DeletionDate";
    const QByteArray expected = QFile::encodeName(folder).toPercentEncoding("/");
    EXPECT_EQ(info.value(QStringLiteral("Path")), QString::fromLatin1(expected));
    EXPECT_TRUE(info.value(QStringLiteral("Path")).endsWith(QLatin1String("/100%25%20Z%C3%BCrich")));
    const QString date = info.value(QStringLiteral("DeletionDate"));
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d$")).match(date).hasMatch())
        << date.toStdString();
    const QDateTime when = QDateTime::fromString(date, QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
    EXPECT_GE(when, before);
    EXPECT_LE(when, QDateTime::currentDateTime().addSecs(2));
    EXPECT_EQ(v7test::readFile(trash() + QStringLiteral("/files/100% Zürich/a.jpg")), QByteArray("x"));
}

TEST_F(Trash, ANameTakenInTheTrashGivesANewEntryAndNothingIsOverwritten)
{
    const QString folder = root() + QStringLiteral("/album");
    QString error;
    v7test::writeFile(folder + QStringLiteral("/first.jpg"), "1");
    ASSERT_TRUE(MoveToTrash(folder, &error)) << error.toStdString();
    v7test::writeFile(folder + QStringLiteral("/second.jpg"), "2");
    ASSERT_TRUE(MoveToTrash(folder, &error)) << error.toStdString();
    // An info file left without its item, and an item left without its info file,
    // keep their names too.
    v7test::writeFile(trash() + QStringLiteral("/info/scan.tif.trashinfo"), "[Trash Info]\nPath=/elsewhere\n");
    v7test::writeFile(trash() + QStringLiteral("/files/scan.2.tif"), "stray");
    v7test::writeFile(root() + QStringLiteral("/scan.tif"), "3");
    ASSERT_TRUE(MoveToTrash(root() + QStringLiteral("/scan.tif"), &error)) << error.toStdString();

    EXPECT_EQ(namesIn(trash() + QStringLiteral("/files")),
        QStringList({ QStringLiteral("album"),
            QStringLiteral("album.2"),
            QStringLiteral("scan.2.tif"),
            QStringLiteral("scan.3.tif") }));
    EXPECT_EQ(namesIn(trash() + QStringLiteral("/info")),
        QStringList({ QStringLiteral("album.2.trashinfo"),
            QStringLiteral("album.trashinfo"),
            QStringLiteral("scan.3.tif.trashinfo"),
            QStringLiteral("scan.tif.trashinfo") }));
    EXPECT_EQ(v7test::readFile(trash() + QStringLiteral("/files/album/first.jpg")), QByteArray("1"));
    EXPECT_EQ(v7test::readFile(trash() + QStringLiteral("/files/album.2/second.jpg")), QByteArray("2"));
    EXPECT_EQ(v7test::readFile(trash() + QStringLiteral("/files/scan.3.tif")), QByteArray("3"));
    EXPECT_EQ(v7test::readFile(trash() + QStringLiteral("/files/scan.2.tif")), QByteArray("stray"));
    EXPECT_EQ(v7test::readFile(trash() + QStringLiteral("/info/scan.tif.trashinfo")),
        QByteArray("[Trash Info]\nPath=/elsewhere\n"));
    const QString encodedRoot = QString::fromLatin1(QFile::encodeName(root()).toPercentEncoding("/"));
    EXPECT_EQ(readTrashInfo(trash() + QStringLiteral("/info/album.2.trashinfo")).value(QStringLiteral("Path")),
        encodedRoot + QStringLiteral("/album"));
    EXPECT_EQ(readTrashInfo(trash() + QStringLiteral("/info/scan.3.tif.trashinfo")).value(QStringLiteral("Path")),
        encodedRoot + QStringLiteral("/scan.tif"));
}

// Another file system beside the one of the test's home trash: /dev/shm on most
// machines. Its top gets the volume's trash for the length of a test.
class VolumeTrash : public Trash
{
protected:
    void SetUp() override
    {
        Trash::SetUp();
        struct stat shm {
        }, here {};
        if (::stat("/dev/shm", &shm) != 0 || ::stat(QFile::encodeName(root()).constData(), &here) != 0
            || shm.st_dev == here.st_dev || ::access("/dev/shm", W_OK) != 0)
            GTEST_SKIP() << "needs /dev/shm as a writable file system of its own";
        m_volumeTrash = QStringLiteral("/dev/shm/.Trash-") + uidText();
        if (QFileInfo::exists(m_volumeTrash) || QFileInfo::exists(QStringLiteral("/dev/shm/.Trash")))
            GTEST_SKIP() << "/dev/shm already has a trash; it is not touched";
        m_volume = std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/v7trash-XXXXXX"));
        ASSERT_TRUE(m_volume->isValid());
    }
    void TearDown() override
    {
        if (!m_volumeTrash.isEmpty()) {
            QFile::remove(m_volumeTrash);
            QDir(m_volumeTrash).removeRecursively();
        }
        Trash::TearDown();
    }
    QString m_volumeTrash;
    std::unique_ptr<QTemporaryDir> m_volume;
};

// One test, as both halves use the volume's one trash folder.
TEST_F(VolumeTrash, AnotherVolumesOwnTrashWithARelativePathElseACopyIntoTheHomeTrash)
{
    const QString folder = m_volume->path() + QStringLiteral("/100% Zürich");
    v7test::writeFile(folder + QStringLiteral("/a.jpg"), "x");
    QString error;
    ASSERT_TRUE(MoveToTrash(folder, &error)) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(folder));
    EXPECT_EQ(v7test::readFile(m_volumeTrash + QStringLiteral("/files/100% Zürich/a.jpg")), QByteArray("x"));
    const QString relative = QFileInfo(m_volume->path()).fileName() + QStringLiteral("/100%25%20Z%C3%BCrich");
    EXPECT_EQ(
        readTrashInfo(m_volumeTrash + QStringLiteral("/info/100% Zürich.trashinfo")).value(QStringLiteral("Path")),
        relative);
    EXPECT_EQ(QFileInfo(m_volumeTrash).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);
    EXPECT_TRUE(namesIn(trash() + QStringLiteral("/files")).isEmpty());

    // A volume without a usable trash: its items are copied into the home trash
    // and removed only then.
    QDir(m_volumeTrash).removeRecursively();
    // A plain file where the volume's trash would go: that trash cannot be used.
    v7test::writeFile(m_volumeTrash, "not a folder");
    const QString album = m_volume->path() + QStringLiteral("/album");
    v7test::writeFile(album + QStringLiteral("/a.jpg"), "x");
    v7test::writeFile(album + QStringLiteral("/deep/b.png"), QByteArray(300000, 'b'));
    ASSERT_TRUE(QFile::link(QStringLiteral("a.jpg"), album + QStringLiteral("/link.jpg")));
    ASSERT_TRUE(MoveToTrash(album, &error)) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(album));
    EXPECT_EQ(v7test::readFile(trash() + QStringLiteral("/files/album/a.jpg")), QByteArray("x"));
    EXPECT_EQ(v7test::readFile(trash() + QStringLiteral("/files/album/deep/b.png")), QByteArray(300000, 'b'));
    EXPECT_EQ(QFileInfo(trash() + QStringLiteral("/files/album/link.jpg")).symLinkTarget(),
        trash() + QStringLiteral("/files/album/a.jpg"));
    EXPECT_EQ(readTrashInfo(trash() + QStringLiteral("/info/album.trashinfo")).value(QStringLiteral("Path")),
        QString::fromLatin1(QFile::encodeName(album).toPercentEncoding("/")));
    EXPECT_EQ(v7test::readFile(m_volumeTrash), QByteArray("not a folder"));

    // What cannot be copied (a pipe) leaves the original whole and the trash as it was.
    const QString second = m_volume->path() + QStringLiteral("/pipes");
    v7test::writeFile(second + QStringLiteral("/a.jpg"), "y");
    ASSERT_EQ(::mkfifo(QFile::encodeName(second + QStringLiteral("/z.fifo")).constData(), 0600), 0);
    EXPECT_FALSE(MoveToTrash(second, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(v7test::readFile(second + QStringLiteral("/a.jpg")), QByteArray("y"));
    EXPECT_TRUE(QFileInfo(second + QStringLiteral("/z.fifo")).exists());
    EXPECT_EQ(namesIn(trash() + QStringLiteral("/files")), QStringList({ QStringLiteral("album") }));
    EXPECT_EQ(namesIn(trash() + QStringLiteral("/info")), QStringList({ QStringLiteral("album.trashinfo") }));
}

// The desktop's own trash client must list the entries with their original paths
// and restore them there.
TEST_F(Trash, TheDesktopsTrashClientListsAndRestoresTheEntries)
{
    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    const QString session = QStandardPaths::findExecutable(QStringLiteral("dbus-run-session"));
    if (gio.isEmpty() || session.isEmpty())
        GTEST_SKIP() << "gio (libglib2.0-bin) and dbus-run-session (dbus-daemon) are needed; "
                        "scripts/debian-packages.txt lists them for tests";
    const QString zuerich = root() + QStringLiteral("/100% Zürich");
    const QString zurich = root() + QStringLiteral("/100% Zurich");
    v7test::writeFile(zuerich + QStringLiteral("/a.jpg"), "x");
    v7test::writeFile(zurich + QStringLiteral("/b.jpg"), "y");
    QString error;
    ASSERT_TRUE(MoveToTrash(zuerich, &error)) << error.toStdString();
    ASSERT_TRUE(MoveToTrash(zurich, &error)) << error.toStdString();
    ASSERT_FALSE(QFileInfo::exists(zuerich));

    // One private session bus for the client and the trash service it starts; both
    // read this test's XDG_DATA_HOME. gio's own "trash --restore" (GLib 2.74) writes
    // a non-ASCII name back byte-escaped ("Z\xc3\xbcrich") whoever made the entry, so
    // that entry is restored as file managers do it, by moving it out of trash:///
    // to its original path; the ASCII one goes through "--restore".
    const QString uri = QStringLiteral("trash:///100%25%20Z%C3%BCrich");
    const QString script = QStringLiteral("gio list -u trash:/// || exit 3; echo ---; "
                                          "gio info -a trash::orig-path '%1' || exit 4; echo ---; "
                                          "gio trash --restore 'trash:///100%25%20Zurich' || exit 5; "
                                          "gio move '%1' \"$0\" || exit 6")
                               .arg(uri);
    const v7test::ProgramRun run = v7test::runProgram(
        session, { QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"), script, zuerich });
    if (run.code == 3 && run.err.contains(QLatin1String("not supported")))
        GTEST_SKIP() << "gio has no trash:// here (the gvfs package provides it; scripts/debian-packages.txt lists it)";
    ASSERT_EQ(run.code, 0) << run.out.toStdString() << run.err.toStdString();
    const QStringList parts = run.out.split(QStringLiteral("---\n"));
    ASSERT_EQ(parts.size(), 3) << run.out.toStdString();
    const QStringList listed = parts[0].split(u'\n', Qt::SkipEmptyParts);
    EXPECT_TRUE(listed.contains(uri)) << parts[0].toStdString();
    EXPECT_TRUE(listed.contains(QStringLiteral("trash:///100%25%20Zurich"))) << parts[0].toStdString();
    // gio prints the bytes of a non-ASCII name escaped.
    QString shown;
    for (const char c : QFile::encodeName(zuerich)) {
        const auto b = static_cast<unsigned char>(c);
        shown += b < 0x80 ? QString(QLatin1Char(c)) : QStringLiteral("\\x%1").arg(int(b), 2, 16);
    }
    EXPECT_TRUE(parts[1].contains(QStringLiteral("trash::orig-path: ") + shown + u'\n')) << parts[1].toStdString();
    EXPECT_EQ(v7test::readFile(zuerich + QStringLiteral("/a.jpg")), QByteArray("x"));
    EXPECT_EQ(v7test::readFile(zurich + QStringLiteral("/b.jpg")), QByteArray("y"));
    EXPECT_TRUE(namesIn(trash() + QStringLiteral("/files")).isEmpty());
    EXPECT_TRUE(namesIn(trash() + QStringLiteral("/info")).isEmpty());
}
