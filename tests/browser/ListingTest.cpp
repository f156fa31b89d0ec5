#include "browser/Listing.h"

#include "TestEnv.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <sys/time.h>

using namespace v7;

namespace
{

std::array<QString, 20> types(const QStringList &list)
{
    std::array<QString, 20> t;
    for (int i = 0; i < list.size() && i < 20; ++i)
        t[size_t(i)] = list[i];
    return t;
}

void touch(const QString &path, qint64 size, const QDateTime &when = QDateTime())
{
    v7test::writeFile(path, QByteArray(size, 'x'));
    if (when.isValid()) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(when, QFileDevice::FileModificationTime));
    }
}

FileEntry entry(const QString &name, std::int64_t size)
{
    FileEntry e;
    e.name = name;
    e.size = size;
    return e;
}

QStringList names(const std::vector<FileEntry> &entries)
{
    QStringList n;
    for (const FileEntry &e : entries)
        n << e.name;
    return n;
}

} // namespace

TEST(Listing, WildcardsFollowTheHostRule)
{
    struct Row {
        const char *pattern, *name;
        bool match;
    };
    const Row rows[] = {
        { "*.JPG", "photo.jpg", true },
        { "*.JPG", "photo.jpeg", false },
        { "*.jpg", "PHOTO.JPG", true },
        { "ab*.JPG", "abc.jpg", true },
        { "ab*.JPG", "xab.jpg", false },
        { "a?c*.PNG", "abc1.png", true },
        { "a?c*.PNG", "ac.png", false },
        { "**.GIF", "x.gif", true },
        { "*", "", true },
        { "*.BMP", "x.bmp.txt", false },
        { "*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false },
        { "\u00c9t\u00e9*.JPG", "\u00e9T\u00c9 1.jpg", true },
    };
    for (const Row &r : rows)
        EXPECT_EQ(WildcardMatch(QString::fromUtf8(r.pattern), QString::fromUtf8(r.name)), r.match)
            << r.pattern << " vs " << r.name;
}

TEST(Listing, TextsOfTheListAndStatusBar)
{
    EXPECT_EQ(FormatThousands(0), QStringLiteral("0"));
    EXPECT_EQ(FormatThousands(999), QStringLiteral("999"));
    EXPECT_EQ(FormatThousands(1250), QStringLiteral("1,250"));
    EXPECT_EQ(FormatThousands(1234567890123), QStringLiteral("1,234,567,890,123"));
    EXPECT_EQ(FormatThousands3(0.13), QStringLiteral("0.130"));
    EXPECT_EQ(FormatThousands3(1234.5), QStringLiteral("1,234.500"));
    EXPECT_EQ(FormatFileDate(QDateTime(QDate(1999, 12, 31), QTime(23, 5))), QStringLiteral("12/31/1999 23:05"));

    EXPECT_EQ(SizeText(1048576), QStringLiteral("1024.00KB")); // exactly one megabyte stays in KB
    EXPECT_EQ(SizeText(1048577), QStringLiteral("1.00MB"));
    EXPECT_EQ(SizeText(1310720), QStringLiteral("1.25MB"));
    EXPECT_EQ(SizeText(831898), QStringLiteral("812.40KB"));
    EXPECT_EQ(SizeText(0), QStringLiteral("0.00KB"));
    EXPECT_EQ(SizeText(std::int64_t(5) << 30), QStringLiteral("5120.00MB")); // past 2 GB, no overflow
    EXPECT_EQ(FolderSummaryText(1310720, 42), QStringLiteral("1.25MB Total files:42"));
    EXPECT_EQ(ListingTimeText(42, 130), QStringLiteral("42 Files listed in 0.130 sec"));
    EXPECT_EQ(PropertiesText(640, 480, 24, true), QStringLiteral("640 x 480 - 24-bit   "));
    EXPECT_EQ(PropertiesText(640, 480, 8, false), QStringLiteral("640 x 480 - 8-bit"));
    EXPECT_EQ(MemoryText(640, 480, 24), QStringLiteral("7,372,800"));
    EXPECT_EQ(CurrentFileText(2, QStringLiteral("a.jpg"), QStringLiteral("1,250"), QString(), false),
        QStringLiteral("# 3 - a.jpg  1,250 bytes  "));
    EXPECT_EQ(CurrentFileText(2, QStringLiteral("a.jpg"), QStringLiteral("1,250"), QStringLiteral("p"), true),
        QStringLiteral("# 3. a.jpg  1,250 bytes  p"));
}

class ListingFolder : public v7test::TempHome
{
};

TEST_F(ListingFolder, TypesFilterAndSlots)
{
    const QString dir = root() + QStringLiteral("/pics");
    touch(dir + QStringLiteral("/beach.jpg"), 10);
    touch(dir + QStringLiteral("/ABC.JPG"), 20);
    touch(dir + QStringLiteral("/abstract.png"), 30);
    touch(dir + QStringLiteral("/notes.txt"), 40);
    touch(dir + QStringLiteral("/x.jpeg"), 50);
    ASSERT_TRUE(QDir().mkpath(dir + QStringLiteral("/folder.jpg"))); // a folder is never a file

    ListingResult r = ListFolderFiles(dir, QString(), types({ "JPG", "PNG" }));
    ASSERT_TRUE(r.folderExists);
    EXPECT_EQ(r.count, 4);
    EXPECT_EQ(r.total, 110);
    QStringList jpgs = names(r.entries).mid(0, 3);
    jpgs.sort();
    EXPECT_EQ(jpgs, QStringList({ "ABC.JPG", "beach.jpg", "x.jpeg" })); // grouped by type: JPG first
    EXPECT_EQ(r.entries[3].name, QStringLiteral("abstract.png"));

    // A two-letter filter lists only names that begin with it; "*" lists everything.
    r = ListFolderFiles(dir, QStringLiteral("ab"), types({ "JPG", "PNG" }));
    EXPECT_EQ(names(r.entries), QStringList({ "ABC.JPG", "abstract.png" }));
    EXPECT_EQ(ListFolderFiles(dir, QStringLiteral("*"), types({ "JPG", "PNG" })).count, 4);

    // Empty and "*" slots are skipped, a type listed twice lists its files twice.
    r = ListFolderFiles(dir, QString(), types({ "", "*", "PNG", "PNG" }));
    EXPECT_EQ(names(r.entries), QStringList({ "abstract.png", "abstract.png" }));

    // A folder that does not exist gives nothing.
    EXPECT_FALSE(ListFolderFiles(dir + QStringLiteral("/gone"), QString(), types({ "JPG" })).folderExists);
}

TEST_F(ListingFolder, DateFilterKeepsFilesOnOrAfterTheDate)
{
    const QString dir = root() + QStringLiteral("/dated");
    touch(dir + QStringLiteral("/old.jpg"), 1, QDateTime(QDate(1999, 12, 30), QTime(23, 59)));
    touch(dir + QStringLiteral("/new.jpg"), 1, QDateTime(QDate(1999, 12, 31), QTime(0, 0)));
    touch(dir + QStringLiteral("/new.jpeg"), 1, QDateTime(QDate(2001, 1, 1), QTime(0, 0)));
    touch(dir + QStringLiteral("/phone.heic"), 1, QDateTime(QDate(2001, 1, 1), QTime(0, 0)));
    touch(dir + QStringLiteral("/older.heic"), 1, QDateTime(QDate(1999, 1, 1), QTime(0, 0)));
    ListingResult r = ListFolderFiles(dir, QStringLiteral("12/31/1999"), types({ "JPG", "JPEG", "HEIC" }));
    // Four-letter types take the date as the three-letter ones do.
    EXPECT_EQ(names(r.entries), QStringList({ "new.jpg", "new.jpeg", "phone.heic" }));
    EXPECT_EQ(r.entries[0].modified(), QDateTime(QDate(1999, 12, 31), QTime(0, 0)));
    // Not a date: the text is a name's start, as without one.
    EXPECT_TRUE(ListFolderFiles(dir, QStringLiteral("12/31/1999x"), types({ "JPG", "HEIC" })).entries.empty());
    EXPECT_TRUE(ParseFilterDate(QStringLiteral("2/3/2004")).has_value());
    EXPECT_FALSE(ParseFilterDate(QStringLiteral("ab")).has_value());
}

TEST_F(ListingFolder, JpgAndTifAlsoListTheirLongerExtensions)
{
    const QString dir = root() + QStringLiteral("/scans");
    const QDateTime before(QDate(2003, 5, 1), QTime(12, 0)), after(QDate(2004, 1, 2), QTime(8, 0));
    touch(dir + QStringLiteral("/photo.jpeg"), 1, after);
    touch(dir + QStringLiteral("/old.JPE"), 2, before);
    touch(dir + QStringLiteral("/a.jpg"), 4, after);
    touch(dir + QStringLiteral("/scan.tiff"), 8, after);
    touch(dir + QStringLiteral("/b.tif"), 16, after);
    touch(dir + QStringLiteral("/c.jpegs"), 32, after);
    touch(dir + QStringLiteral("/d.tiff.bak"), 64, after);
    touch(dir + QStringLiteral("/e.png"), 128, after);

    ListingResult r = ListFolderFiles(dir, QString(), types({ "JPG", "TIF" }));
    EXPECT_EQ(r.count, 5);
    EXPECT_EQ(r.total, 31);
    QStringList jpgs = names(r.entries).mid(0, 3), tifs = names(r.entries).mid(3);
    jpgs.sort();
    tifs.sort();
    EXPECT_EQ(jpgs, QStringList({ "a.jpg", "old.JPE", "photo.jpeg" })); // with their type, in its place
    EXPECT_EQ(tifs, QStringList({ "b.tif", "scan.tiff" }));
    EXPECT_EQ(names(ListFolderFiles(dir, QString(), types({ "TIF" })).entries).size(), 2);
    EXPECT_EQ(ListFolderFiles(dir, QString(), types({ "PNG" })).count, 1);

    // The filter applies to the aliases alike, the date filter too.
    EXPECT_EQ(names(ListFolderFiles(dir, QStringLiteral("ph"), types({ "JPG", "TIF" })).entries),
        QStringList({ "photo.jpeg" }));
    r = ListFolderFiles(dir, QStringLiteral("1/1/2004"), types({ "JPG" }));
    jpgs = names(r.entries);
    jpgs.sort();
    EXPECT_EQ(jpgs, QStringList({ "a.jpg", "photo.jpeg" }));

    // An alias with a slot of its own is listed there, once.
    r = ListFolderFiles(dir, QString(), types({ "JPG", "jpeg" }));
    EXPECT_EQ(names(r.entries).count(QStringLiteral("photo.jpeg")), 1);
    EXPECT_EQ(names(r.entries).last(), QStringLiteral("photo.jpeg"));

    EXPECT_EQ(FileTypeAliases(QStringLiteral("jpg")), QStringList({ "JPEG", "JPE" }));
    EXPECT_EQ(FileTypeAliases(QStringLiteral("TIF")), QStringList({ "TIFF" }));
    EXPECT_TRUE(FileTypeAliases(QStringLiteral("PNG")).isEmpty());
}

TEST(Listing, SortingByValueAndToggling)
{
    std::vector<FileEntry> e(3);
    e[0].name = QStringLiteral("b.jpg");
    e[0].size = 1000000;
    e[0].setModified(QDateTime(QDate(2020, 1, 2), QTime(10, 0)));
    e[1].name = QStringLiteral("A.jpg");
    e[1].size = 999999;
    e[1].setModified(QDateTime(QDate(2021, 1, 1), QTime(9, 0)));
    e[2].name = QStringLiteral("c.jpg");
    e[2].size = 5;
    e[2].setModified(QDateTime(QDate(2020, 1, 2), QTime(9, 59)));

    SortEntries(e, 0, SortOrder::Ascending);
    EXPECT_EQ(names(e), QStringList({ "A.jpg", "b.jpg", "c.jpg" }));
    SortEntries(e, 1, SortOrder::Ascending); // 999,999 before 1,000,000 (not by text)
    EXPECT_EQ(names(e), QStringList({ "c.jpg", "A.jpg", "b.jpg" }));
    SortEntries(e, 2, SortOrder::Descending);
    EXPECT_EQ(names(e), QStringList({ "A.jpg", "b.jpg", "c.jpg" }));
    EXPECT_EQ(FormatFileDate(e[2].modified()), QStringLiteral("01/02/2020 09:59")); // texts unchanged
}

TEST(Listing, TheFileToRestore)
{
    const QString inRun = QStringLiteral("run.jpg");
    EXPECT_EQ(LastFileToRestore("/a", &inRun, "/a", "saved.jpg"), inRun);
    EXPECT_EQ(LastFileToRestore("/a", nullptr, "/a", "saved.jpg"), QStringLiteral("saved.jpg"));
    EXPECT_EQ(LastFileToRestore("/b", nullptr, "/a", "saved.jpg"), QString());
}

TEST_F(ListingFolder, ImagePropertiesInBothForms)
{
    const QString dir = root() + QStringLiteral("/props");
    ASSERT_TRUE(QDir().mkpath(dir));
    QImage rgb(40, 30, QImage::Format_RGB888);
    rgb.fill(Qt::red);
    ASSERT_TRUE(rgb.save(dir + QStringLiteral("/rgb.png")));
    QImage argb(20, 10, QImage::Format_ARGB32);
    argb.fill(QColor(0, 0, 255, 128));
    ASSERT_TRUE(argb.save(dir + QStringLiteral("/alpha.png")));
    v7test::writeFile(dir + QStringLiteral("/broken.jpg"), QByteArray(1234, 'z'));

    FileEntry good = entry(QStringLiteral("rgb.png"), 10);
    ListImagePropertiesOf(good, dir);
    EXPECT_EQ(good.properties, QStringLiteral("40 x 30 - 24-bit   "));
    EXPECT_EQ(good.memory, QStringLiteral("28,800"));

    FileEntry broken = entry(QStringLiteral("broken.jpg"), 1234);
    ListImagePropertiesOf(broken, dir);
    EXPECT_EQ(broken.properties, QStringLiteral("Error in file"));
    EXPECT_EQ(broken.memory, QStringLiteral("1,234")); // the size text
    FileEntry broken2 = entry(QStringLiteral("broken.jpg"), 1234);
    EXPECT_EQ(ReadImagePropertiesOf(broken2, dir, true), QStringLiteral("Error in file"));
    EXPECT_EQ(broken2.memory, QStringLiteral("Error in file"));

    // One at a time: nothing is read without the viewer's flag, and a depth above
    // 24 bits writes nothing; the whole-list form shows it.
    FileEntry one = entry(QStringLiteral("rgb.png"), 10);
    EXPECT_EQ(ReadImagePropertiesOf(one, dir, false), QString());
    EXPECT_TRUE(one.properties.isEmpty());
    EXPECT_EQ(ReadImagePropertiesOf(one, dir, true), QStringLiteral("40 x 30 - 24-bit"));
    FileEntry deep = entry(QStringLiteral("alpha.png"), 10);
    EXPECT_EQ(ReadImagePropertiesOf(deep, dir, true), QString());
    EXPECT_TRUE(deep.properties.isEmpty() && deep.memory.isEmpty());
    ListImagePropertiesOf(deep, dir);
    EXPECT_EQ(deep.properties, QStringLiteral("20 x 10 - 32-bit   "));
}
