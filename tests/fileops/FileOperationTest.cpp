#include "fileops/FileOperation.h"

#include "TestEnv.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <sys/mount.h>
#include <sys/stat.h>
#include <utime.h>

using namespace v7;
using v7test::readFile;
using v7test::writeFile;

namespace
{

QStringList namesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

struct stat statOf(const QString &path)
{
    struct stat st {
    };
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

void setTimeAndMode(const QString &path, time_t mtime, mode_t mode)
{
    const struct utimbuf t {
        mtime, mtime
    };
    ASSERT_EQ(::utime(QFile::encodeName(path).constData(), &t), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
}

class FileOps : public v7test::TempHome
{
protected:
    QString dir(const QString &name) const { return root() + u'/' + name; }
    void SetUp() override
    {
        TempHome::SetUp();
        ASSERT_TRUE(QDir().mkpath(dir(QStringLiteral("src"))));
        ASSERT_TRUE(QDir().mkpath(dir(QStringLiteral("dst"))));
    }
};

} // namespace

TEST_F(FileOps, KeepBothNamesCountUpPastTakenNames)
{
    const QString d = dir(QStringLiteral("dst"));
    EXPECT_EQ(KeepBothName(d, QStringLiteral("a.jpg"), false), d + QStringLiteral("/a (2).jpg"));
    writeFile(d + QStringLiteral("/a (2).jpg"), "x");
    writeFile(d + QStringLiteral("/a (3).jpg"), "x");
    EXPECT_EQ(KeepBothName(d, QStringLiteral("a.jpg"), false), d + QStringLiteral("/a (4).jpg"));
    EXPECT_EQ(KeepBothName(d, QStringLiteral("photos.old"), true), d + QStringLiteral("/photos.old (2)"));
    EXPECT_EQ(KeepBothName(d, QStringLiteral(".hidden"), false), d + QStringLiteral("/.hidden (2)"));
    EXPECT_EQ(KeepBothName(d, QStringLiteral("x.tar.gz"), false), d + QStringLiteral("/x.tar (2).gz"));
}

TEST_F(FileOps, RefusesTheRootTheHomeFolderMountPointsAndAFolderIntoItself)
{
    const QString src = dir(QStringLiteral("src"));
    writeFile(src + QStringLiteral("/sub/a.jpg"), "a");
    const QString dst = dir(QStringLiteral("dst"));
    for (FileOp op : { FileOp::Move, FileOp::Copy, FileOp::Delete }) {
        EXPECT_FALSE(RefusalReason(op, { QStringLiteral("/") }, dst).isEmpty());
        EXPECT_FALSE(RefusalReason(op, { QStringLiteral("/proc") }, dst).isEmpty()) << "a mount point";
        EXPECT_FALSE(RefusalReason(op, {}, dst).isEmpty());
        EXPECT_FALSE(RefusalReason(op, { src + QStringLiteral("/missing") }, dst).isEmpty());
    }
    // The home folder itself, and (for move and delete) a folder that holds it.
    const QByteArray oldHome = qgetenv("HOME");
    const QString home = dir(QStringLiteral("users/me"));
    ASSERT_TRUE(QDir().mkpath(home));
    qputenv("HOME", QFile::encodeName(home));
    EXPECT_FALSE(RefusalReason(FileOp::Delete, { home }, QString()).isEmpty());
    EXPECT_FALSE(RefusalReason(FileOp::Copy, { home + QStringLiteral("/.") }, dst).isEmpty());
    EXPECT_FALSE(RefusalReason(FileOp::Delete, { dir(QStringLiteral("users")) }, QString()).isEmpty());
    EXPECT_FALSE(RefusalReason(FileOp::Move, { dir(QStringLiteral("users")) }, dst).isEmpty());
    EXPECT_TRUE(RefusalReason(FileOp::Copy, { dir(QStringLiteral("users")) }, dst).isEmpty());
    EXPECT_TRUE(RefusalReason(FileOp::Delete, { home + QStringLiteral("/../../src") }, QString()).isEmpty());
    qputenv("HOME", oldHome);
    // Into itself or its own subtree; a missing destination.
    EXPECT_FALSE(RefusalReason(FileOp::Move, { src }, src).isEmpty());
    EXPECT_FALSE(RefusalReason(FileOp::Copy, { src }, src + QStringLiteral("/sub")).isEmpty());
    EXPECT_FALSE(RefusalReason(FileOp::Copy, { src }, dst + QStringLiteral("/missing")).isEmpty());
    EXPECT_TRUE(RefusalReason(FileOp::Copy, { src }, dst).isEmpty());
    // A refused operation touches nothing.
    const FileOperationResult r = RunFileOperation(FileOp::Move, { src }, src + QStringLiteral("/sub"), false, {});
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());
    EXPECT_EQ(readFile(src + QStringLiteral("/sub/a.jpg")), QByteArray("a"));
}

TEST_F(FileOps, CopyKeepsModesAndTimesOfFilesAndFolders)
{
    const QString src = dir(QStringLiteral("src"));
    writeFile(src + QStringLiteral("/tree/a.jpg"), "alpha");
    writeFile(src + QStringLiteral("/tree/deep/b.jpg"), QByteArray(3 << 20, 'b')); // several blocks
    ASSERT_EQ(::symlink("a.jpg", QFile::encodeName(src + QStringLiteral("/tree/link.jpg")).constData()), 0);
    setTimeAndMode(src + QStringLiteral("/tree/a.jpg"), 1000000000, 0640);
    setTimeAndMode(src + QStringLiteral("/tree/deep"), 1100000000, 0750);
    const FileOperationResult r =
        RunFileOperation(FileOp::Copy, { src + QStringLiteral("/tree") }, dir(QStringLiteral("dst")), false, {});
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.targets, QStringList { dir(QStringLiteral("dst/tree")) });
    const QString out = dir(QStringLiteral("dst/tree"));
    EXPECT_EQ(readFile(out + QStringLiteral("/a.jpg")), QByteArray("alpha"));
    EXPECT_EQ(readFile(out + QStringLiteral("/deep/b.jpg")), QByteArray(3 << 20, 'b'));
    EXPECT_EQ(statOf(out + QStringLiteral("/a.jpg")).st_mtime, 1000000000);
    EXPECT_EQ(statOf(out + QStringLiteral("/a.jpg")).st_mode & 07777, 0640u);
    EXPECT_EQ(statOf(out + QStringLiteral("/deep")).st_mtime, 1100000000);
    EXPECT_EQ(statOf(out + QStringLiteral("/deep")).st_mode & 07777, 0750u);
    EXPECT_TRUE(S_ISLNK(statOf(out + QStringLiteral("/link.jpg")).st_mode)) << "a link is copied as a link";
    EXPECT_EQ(
        namesIn(out), (QStringList { QStringLiteral("a.jpg"), QStringLiteral("deep"), QStringLiteral("link.jpg") }));
    EXPECT_EQ(readFile(src + QStringLiteral("/tree/a.jpg")), QByteArray("alpha")) << "the source stays";
}

TEST_F(FileOps, AMoveWithinOneFileSystemIsARename)
{
    const QString a = dir(QStringLiteral("src/a.jpg"));
    writeFile(a, "a");
    const ino_t inode = statOf(a).st_ino;
    const FileOperationResult r = RunFileOperation(FileOp::Move, { a }, dir(QStringLiteral("dst")), false, {});
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(a));
    EXPECT_EQ(statOf(dir(QStringLiteral("dst/a.jpg"))).st_ino, inode);
    EXPECT_EQ(r.done, QStringList { a });
}

TEST_F(FileOps, ConflictsAreAskedAndAnsweredReplaceSkipKeepBothForAllAndCancel)
{
    const QString src = dir(QStringLiteral("src")), dst = dir(QStringLiteral("dst"));
    for (const char *n : { "1.jpg", "2.jpg", "3.jpg" }) {
        writeFile(src + u'/' + QLatin1String(n), QByteArray("new ") + n);
        writeFile(dst + u'/' + QLatin1String(n), QByteArray("old ") + n);
    }
    const QStringList sources {
        src + QStringLiteral("/1.jpg"), src + QStringLiteral("/2.jpg"), src + QStringLiteral("/3.jpg")
    };
    QList<ConflictAnswer> answers;
    int asked = 0;
    FileOperationHooks hooks;
    hooks.conflict = [&](const QString &, const QString &target) {
        EXPECT_TRUE(QFileInfo::exists(target));
        return answers[asked++];
    };
    // Replace one, skip one, keep both of the last.
    answers = {
        { ConflictChoice::Replace, false }, { ConflictChoice::Skip, false }, { ConflictChoice::KeepBoth, false }
    };
    FileOperationResult r = RunFileOperation(FileOp::Copy, sources, dst, false, hooks);
    EXPECT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(readFile(dst + QStringLiteral("/1.jpg")), QByteArray("new 1.jpg"));
    EXPECT_EQ(readFile(dst + QStringLiteral("/2.jpg")), QByteArray("old 2.jpg"));
    EXPECT_EQ(readFile(dst + QStringLiteral("/3.jpg")), QByteArray("old 3.jpg"));
    EXPECT_EQ(readFile(dst + QStringLiteral("/3 (2).jpg")), QByteArray("new 3.jpg"));
    EXPECT_EQ(r.skipped, QStringList { sources[1] });
    EXPECT_EQ(r.targets, (QStringList { dst + QStringLiteral("/1.jpg"), dst + QStringLiteral("/3 (2).jpg") }));

    // "For all": asked once, the answer holds for the rest; a move that is skipped leaves the source.
    asked = 0;
    answers = { { ConflictChoice::Skip, true } };
    r = RunFileOperation(FileOp::Move, sources, dst, false, hooks);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(r.done.isEmpty());
    for (const QString &s : sources)
        EXPECT_TRUE(QFileInfo::exists(s));

    // Cancel stops there: nothing after it is done.
    asked = 0;
    answers = { { ConflictChoice::Cancel, false } };
    r = RunFileOperation(FileOp::Move, sources, dst, false, hooks);
    EXPECT_TRUE(r.cancelled);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(QFileInfo::exists(sources[2]));

    // Without an answer a conflict is skipped: nothing is overwritten silently.
    r = RunFileOperation(FileOp::Copy, sources, dst, false, {});
    EXPECT_EQ(readFile(dst + QStringLiteral("/2.jpg")), QByteArray("old 2.jpg"));
    EXPECT_EQ(r.skipped.size(), 3);
}

TEST_F(FileOps, AFolderIsNeverReplacedByAFileAndACopyOntoItselfKeepsBoth)
{
    const QString src = dir(QStringLiteral("src")), dst = dir(QStringLiteral("dst"));
    writeFile(src + QStringLiteral("/x"), "file");
    writeFile(dst + QStringLiteral("/x/inside.jpg"), "keep");
    FileOperationHooks hooks;
    hooks.conflict = [](const QString &, const QString &) { return ConflictAnswer { ConflictChoice::Replace, false }; };
    FileOperationResult r = RunFileOperation(FileOp::Move, { src + QStringLiteral("/x") }, dst, false, hooks);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(readFile(dst + QStringLiteral("/x/inside.jpg")), QByteArray("keep"));
    EXPECT_EQ(readFile(src + QStringLiteral("/x")), QByteArray("file"));

    // Copied into its own folder with "Replace": it must not destroy itself.
    r = RunFileOperation(FileOp::Copy, { src + QStringLiteral("/x") }, src, false, hooks);
    EXPECT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(readFile(src + QStringLiteral("/x")), QByteArray("file"));
    EXPECT_EQ(readFile(src + QStringLiteral("/x (2)")), QByteArray("file"));
}

TEST_F(FileOps, ACopyCancelledMidwayLeavesNoPartialFile)
{
    const QString big = dir(QStringLiteral("src/big.jpg"));
    writeFile(big, QByteArray(6 << 20, 'z'));
    writeFile(dir(QStringLiteral("src/later.jpg")), "later");
    int calls = 0;
    qint64 seen = 0;
    FileOperationHooks hooks;
    hooks.progress = [&](const QString &, qint64 done, qint64) {
        seen = done;
        return ++calls < 3; // the item, one block, then cancel during the copy
    };
    const FileOperationResult r = RunFileOperation(
        FileOp::Copy, { big, dir(QStringLiteral("src/later.jpg")) }, dir(QStringLiteral("dst")), false, hooks);
    EXPECT_TRUE(r.cancelled);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.done.isEmpty());
    EXPECT_GT(seen, 0);
    EXPECT_TRUE(namesIn(dir(QStringLiteral("dst"))).isEmpty())
        << namesIn(dir(QStringLiteral("dst"))).join(u' ').toStdString();
    EXPECT_EQ(QFileInfo(big).size(), 6 << 20);

    // The same cancel during a move across the folder keeps the source whole.
    calls = 0;
    const FileOperationResult m =
        RunFileOperation(FileOp::Copy, { dir(QStringLiteral("src")) }, dir(QStringLiteral("dst")), false, hooks);
    EXPECT_TRUE(m.cancelled);
    for (const QString &n : namesIn(dir(QStringLiteral("dst/src"))))
        EXPECT_FALSE(n.contains(QLatin1String("v7part"))) << n.toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir(QStringLiteral("dst/src/big.jpg"))));
}

TEST_F(FileOps, DeleteGoesToTheTrashOrWhenPermanentRemovesWithoutFollowingLinks)
{
    const QString a = dir(QStringLiteral("src/a.jpg"));
    writeFile(a, "a");
    FileOperationResult r = RunFileOperation(FileOp::Delete, { a }, QString(), false, {});
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(a));
    EXPECT_EQ(readFile(root() + QStringLiteral("/data/Trash/files/a.jpg")), QByteArray("a"));
    EXPECT_TRUE(QFileInfo::exists(root() + QStringLiteral("/data/Trash/info/a.jpg.trashinfo")));

    writeFile(dir(QStringLiteral("outside/keep.jpg")), "keep");
    writeFile(dir(QStringLiteral("src/tree/b.jpg")), "b");
    ASSERT_EQ(::symlink(QFile::encodeName(dir(QStringLiteral("outside"))).constData(),
                  QFile::encodeName(dir(QStringLiteral("src/tree/link"))).constData()),
        0);
    r = RunFileOperation(FileOp::Delete, { dir(QStringLiteral("src/tree")) }, QString(), true, {});
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir(QStringLiteral("src/tree"))));
    EXPECT_EQ(readFile(dir(QStringLiteral("outside/keep.jpg"))), QByteArray("keep"));
    EXPECT_FALSE(QFileInfo::exists(root() + QStringLiteral("/data/Trash/files/tree")));
}

// A second file system: a tmpfs mounted for the test (we may run as root), else skipped.
class CrossDevice : public FileOps
{
protected:
    QString m_mount;
    void SetUp() override
    {
        FileOps::SetUp();
        m_mount = dir(QStringLiteral("mnt"));
        ASSERT_TRUE(QDir().mkpath(m_mount));
        if (::mount("tmpfs", QFile::encodeName(m_mount).constData(), "tmpfs", 0, "size=64m") != 0)
            GTEST_SKIP() << "mounting a tmpfs is not allowed here (" << std::strerror(errno)
                         << "); the move across file systems is not tested";
    }
    void TearDown() override
    {
        if (!m_mount.isEmpty())
            ::umount2(QFile::encodeName(m_mount).constData(), MNT_DETACH);
        FileOps::TearDown();
    }
};

TEST_F(CrossDevice, AMoveAcrossFileSystemsCopiesVerifiesAndRemoves)
{
    const QString src = dir(QStringLiteral("src"));
    writeFile(src + QStringLiteral("/one.jpg"), QByteArray(2 << 20, 'o'));
    writeFile(src + QStringLiteral("/album/two.jpg"), "two");
    setTimeAndMode(src + QStringLiteral("/one.jpg"), 1200000000, 0604);
    EXPECT_FALSE(SameFileSystem(src, m_mount));
    EXPECT_TRUE(IsMountPoint(m_mount));
    EXPECT_FALSE(RefusalReason(FileOp::Delete, { m_mount }, QString()).isEmpty());
    const FileOperationResult r = RunFileOperation(
        FileOp::Move, { src + QStringLiteral("/one.jpg"), src + QStringLiteral("/album") }, m_mount, false, {});
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.done.size(), 2);
    EXPECT_FALSE(QFileInfo::exists(src + QStringLiteral("/one.jpg")));
    EXPECT_FALSE(QFileInfo::exists(src + QStringLiteral("/album")));
    EXPECT_EQ(readFile(m_mount + QStringLiteral("/one.jpg")), QByteArray(2 << 20, 'o'));
    EXPECT_EQ(readFile(m_mount + QStringLiteral("/album/two.jpg")), QByteArray("two"));
    EXPECT_EQ(statOf(m_mount + QStringLiteral("/one.jpg")).st_mtime, 1200000000);
    EXPECT_EQ(statOf(m_mount + QStringLiteral("/one.jpg")).st_mode & 07777, 0604u);
    // A volume's root is emptied, never removed.
    const QStringList contents = MountRootContents(m_mount);
    EXPECT_EQ(contents, (QStringList { m_mount + QStringLiteral("/album"), m_mount + QStringLiteral("/one.jpg") }));
}
