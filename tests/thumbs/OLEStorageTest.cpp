#include "thumbs/OLEStorage.h"

#include "app/Settings.h"
#include "thumbs/Stamps.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

using namespace v7;

// The cache spells its open modes as numbers; they must mean what the compound-file
// layer means by them (a drift in the share bits changes no test's outcome today).
static_assert(OLEStorage::ModeWriteDirect == (cfb::mode::ReadWrite | cfb::mode::ShareExclusive));
static_assert(
    OLEStorage::ModeWriteTransacted == (cfb::mode::ReadWrite | cfb::mode::Transacted | cfb::mode::NoSnapshot));
static_assert(OLEStorage::ModeReadTransacted == (cfb::mode::Read | cfb::mode::Transacted | cfb::mode::NoSnapshot));
static_assert(OLEStorage::ModeRead == (cfb::mode::Read | cfb::mode::ShareExclusive));
static_assert(OLEStorage::ModeNewStream == (cfb::mode::Write | cfb::mode::ShareExclusive));

namespace
{

QByteArray jpegBytes(int seed)
{
    QImage img(24, 18, QImage::Format_RGB32);
    img.fill(QColor::fromHsv(seed * 37 % 360, 200, 200));
    QByteArray b;
    QBuffer buf(&b);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPEG", 75);
    return b;
}

// The bytes cacheThumbs stores for a name.
QByteArray thumbOf(const QString &name)
{
    return jpegBytes(int(nameCrcValue(name) & 0xFF));
}

QString nameAt(int i)
{
    return QStringLiteral("photo%1.jpg").arg(i, 3, 10, QLatin1Char('0'));
}

// Distinct values per name, so a lookup that lands on a neighbour shows.
IndexEntry entryFor(const QString &name, int i)
{
    return { nameCrcValue(name), 1000 + i, name };
}

QStringList namesOf(const ThumbIndex &idx)
{
    QStringList out;
    idx.forEach([&out](const IndexEntry &e) { out << e.Name; });
    return out;
}

// Every name of expect is found with its own entry, nothing else is, and the
// order is expect's.
void expectIndex(const ThumbIndex &idx, const std::vector<IndexEntry> &expect, const QStringList &gone)
{
    ASSERT_EQ(idx.size(), int(expect.size()));
    QStringList order;
    for (const IndexEntry &e : expect) {
        order << e.Name;
        const IndexEntry *f = idx.find(e.Name);
        ASSERT_NE(f, nullptr) << e.Name.toStdString();
        EXPECT_EQ(f->Name, e.Name);
        EXPECT_EQ(f->StreamId, e.StreamId) << e.Name.toStdString();
        EXPECT_EQ(f->ByteCount, e.ByteCount) << e.Name.toStdString();
        EXPECT_TRUE(idx.contains(e.Name));
    }
    EXPECT_EQ(namesOf(idx), order);
    for (const QString &n : gone) {
        EXPECT_FALSE(idx.contains(n)) << n.toStdString();
        EXPECT_EQ(idx.find(n), nullptr) << n.toStdString();
    }
}

// What the display finds: name -> bytes, for every name in the committed index.
std::vector<std::pair<QString, QByteArray>> displayed()
{
    std::vector<std::pair<QString, QByteArray>> out;
    if (OLEStorage::OpenCacheForDisplay()) {
        const QStringList names = namesOf(OLEStorage::CurrentIndex());
        for (const QString &n : names) {
            QByteArray b;
            OLEStorage::ReadThumb(n, &b);
            out.push_back({ n, b });
        }
    }
    OLEStorage::ClearIndex();
    OLEStorage::CloseCache();
    return out;
}

class OLEStorageTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        settings().CacheThumbsDir = m_dir.path();
        settings().CacheThumbs = true;
        startFlags().TransactedCache = false;
        OLEStorage::SetCurrentFolder("/photos/2024");
    }
    void TearDown() override
    {
        OLEStorage::CloseCache();
        OLEStorage::ClearIndex();
    }
    QString cachePath() const { return m_dir.path() + "/QLM70.TDB"; }

    // A thumbnail job's cache work for the current folder: open, write, save, commit, close.
    void cacheThumbs(const QStringList &names)
    {
        ASSERT_TRUE(OLEStorage::OpenCacheForThumbs());
        OLEStorage::LoadIndex();
        for (const QString &n : names) {
            const QByteArray b = thumbOf(n);
            EXPECT_TRUE(OLEStorage::WriteThumbStream(n, b.constData(), int(b.size()))) << n.toStdString();
        }
        OLEStorage::SaveIndex();
        EXPECT_TRUE(OLEStorage::CommitCache());
        OLEStorage::ClearIndex();
        OLEStorage::CloseCache();
    }
    QByteArray displayThumb(const QString &name)
    {
        QByteArray b;
        if (OLEStorage::OpenCacheForDisplay())
            OLEStorage::ReadThumb(name, &b);
        OLEStorage::CloseCache();
        return b;
    }
    QTemporaryDir m_dir;
};

} // namespace

TEST(NameCrc, KnownValuesAndSign)
{
    const struct {
        const char *text;
        std::int32_t crc;
    } rows[] = {
        { "abc", 891568578 },
        { "IMG_0001.JPG", -1070025648 },
        { "", 0 },
        { "123456789", std::int32_t(0xCBF43926u) }, // the standard check value
    };
    for (const auto &r : rows) {
        EXPECT_EQ(nameCrcValue(r.text), r.crc) << r.text;
        EXPECT_EQ(NameCrc(r.text), QString::number(r.crc));
    }
    EXPECT_NE(NameCrc("a.jpg"), NameCrc("A.JPG")); // case-sensitive
    // Names are hashed over their UTF-8 bytes, so every file name of the host has its
    // own stream (a byte per character would fold distinct names together).
    EXPECT_EQ(nameCrcValue(QString::fromUtf8("\xC3\xA9.jpg")), -1563612248);
}

TEST(IndexStream, ParseRules)
{
    auto rec = [](std::int32_t id, std::int32_t count, const QByteArray &name, int lenField = -1) {
        QByteArray r(10, 0);
        const int n = lenField < 0 ? int(name.size()) : lenField;
        for (int i = 0; i < 4; ++i) {
            r[i] = char(std::uint32_t(id) >> (8 * i));
            r[4 + i] = char(std::uint32_t(count) >> (8 * i));
        }
        r[8] = char(n);
        r[9] = char(n >> 8);
        return r + name;
    };
    const struct {
        const char *what;
        QByteArray bytes;
        QStringList names;
    } rows[] = {
        { "empty", {}, {} },
        { "two records", rec(1, 10, "a.jpg") + rec(-2, 20, "b.jpg"), { "a.jpg", "b.jpg" } },
        { "first of a name wins", rec(1, 10, "a") + rec(2, 20, "a") + rec(3, 30, "b"), { "a", "b" } },
        { "last record cut short", rec(1, 10, "a") + rec(2, 20, "bbbb").left(12), { "a" } },
        { "header cut short", rec(1, 10, "a") + QByteArray(9, 1), { "a" } },
        // Only the low byte of the length counts: 0x0103 reads as 3.
        { "low byte of the length", rec(5, 50, "abc", 0x0103) + rec(6, 60, "d"), { "abc", "d" } },
        { "empty name", rec(7, 1, ""), { "" } },
    };
    for (const auto &r : rows) {
        ThumbIndex idx;
        parseIndex(r.bytes, &idx);
        QStringList got;
        idx.forEach([&got](const IndexEntry &e) { got << e.Name; });
        EXPECT_EQ(got, r.names) << r.what;
    }
    ThumbIndex idx;
    parseIndex(rec(1, 10, "a") + rec(2, 20, "a"), &idx);
    ASSERT_NE(idx.find("a"), nullptr);
    EXPECT_EQ(idx.find("a")->ByteCount, 10);
}

TEST(IndexStream, SerializeRoundTripsInInsertionOrder)
{
    ThumbIndex idx;
    for (const char *n : { "zeta.jpg", "Alpha.JPG", "mid dle.png", "ünïcödé.gif" })
        idx.add({ nameCrcValue(n), int(qstrlen(n)) * 100, QString::fromUtf8(n) });
    idx.remove("Alpha.JPG");
    const QByteArray bytes = serializeIndex(idx);
    EXPECT_EQ(quint8(bytes[8]), 8u); // "zeta.jpg"
    EXPECT_EQ(bytes.mid(10, 8), "zeta.jpg");
    ThumbIndex back;
    parseIndex(bytes, &back);
    QStringList names;
    back.forEach([&names](const IndexEntry &e) { names << e.Name; });
    EXPECT_EQ(names, QStringList({ "zeta.jpg", "mid dle.png", QString::fromUtf8("ünïcödé.gif") }));
    EXPECT_EQ(back.find("mid dle.png")->StreamId, nameCrcValue("mid dle.png"));
}

TEST_F(OLEStorageTest, ThumbsWrittenByAJobAreReadByTheDisplay)
{
    EXPECT_FALSE(OLEStorage::OpenCacheForDisplay()); // no file yet
    cacheThumbs({ "IMG_0001.JPG", "b.jpg" });
    ASSERT_TRUE(QFile::exists(cachePath()));
    EXPECT_EQ(displayThumb("IMG_0001.JPG"), thumbOf("IMG_0001.JPG"));
    EXPECT_EQ(quint8(displayThumb("b.jpg").at(0)), 0xFFu);
    EXPECT_TRUE(displayThumb("B.JPG").isEmpty()); // names are case-sensitive
    // The negative CRC names the stream with a leading minus sign.
    cfb::Storage root = cfb::Storage::open(cachePath(), OLEStorage::ModeReadTransacted);
    cfb::Storage folder = root.openStorage(OLEStorage::FolderStorageName("/photos/2024"), OLEStorage::ModeRead);
    ASSERT_TRUE(folder.isOpen());
    EXPECT_TRUE(folder.openStream("-1070025648", OLEStorage::ModeRead).isOpen());
    EXPECT_TRUE(folder.openStream("Index", OLEStorage::ModeRead).isOpen());
}

TEST_F(OLEStorageTest, ExistingStreamFailsAndLeavesTheIndex)
{
    cacheThumbs({ "a.jpg" });
    ASSERT_TRUE(OLEStorage::OpenCacheForThumbs());
    OLEStorage::LoadIndex();
    const IndexEntry before = *OLEStorage::CurrentIndex().find("a.jpg");
    EXPECT_FALSE(OLEStorage::WriteThumbStream("a.jpg", "BMxx", 4));
    EXPECT_EQ(OLEStorage::CurrentIndex().size(), 1);
    EXPECT_EQ(OLEStorage::CurrentIndex().find("a.jpg")->ByteCount, before.ByteCount);
    EXPECT_EQ(OLEStorage::LookupThumb("a.jpg"), nameCrcValue("a.jpg"));
    EXPECT_EQ(OLEStorage::LookupThumb("never.jpg"), 0);
}

TEST_F(OLEStorageTest, FoldersDifferingInCaseAreSeparate)
{
    cacheThumbs({ "x.jpg" });
    OLEStorage::SetCurrentFolder("/Photos/2024");
    EXPECT_TRUE(displayThumb("x.jpg").isEmpty());
    cacheThumbs({ "y.jpg" });
    EXPECT_FALSE(displayThumb("y.jpg").isEmpty());
    OLEStorage::SetCurrentFolder("/photos/2024");
    EXPECT_TRUE(displayThumb("y.jpg").isEmpty());
    EXPECT_FALSE(displayThumb("x.jpg").isEmpty());
}

TEST_F(OLEStorageTest, FolderCacheBytes)
{
    EXPECT_EQ(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName("")), 0); // no file
    cacheThumbs({});
    EXPECT_EQ(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName("")), 0); // nothing cached
    EXPECT_EQ(OLEStorage::FolderCacheBytes(NameCrc("/elsewhere")), 0); // no storage
    cacheThumbs({ "a.jpg", "b.jpg" });
    const qint64 expect = thumbOf("a.jpg").size() + thumbOf("b.jpg").size();
    EXPECT_EQ(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName("")), expect);
}

TEST_F(OLEStorageTest, EmptyIndexIsNotWritten)
{
    cacheThumbs({ "a.jpg" });
    ASSERT_TRUE(OLEStorage::OpenCacheForThumbs());
    OLEStorage::ClearIndex();
    OLEStorage::SaveIndex(); // nothing to save: the old "Index" stays
    OLEStorage::CommitCache();
    OLEStorage::CloseCache();
    EXPECT_FALSE(displayThumb("a.jpg").isEmpty());
}

TEST_F(OLEStorageTest, OpenFolderStorageListsStreams)
{
    cacheThumbs({ "a.jpg", "b.jpg" });
    ASSERT_TRUE(OLEStorage::OpenCacheFile(OLEStorage::ModeReadTransacted, OLEStorage::CacheFileName));
    QHash<QString, qint64> list;
    ASSERT_TRUE(OLEStorage::OpenFolderStorage(OLEStorage::FolderStorageName(""), &list, OLEStorage::ModeRead));
    EXPECT_EQ(list.size(), 3); // two thumbnails and "Index"
    EXPECT_EQ(list.value(NameCrc("a.jpg")), thumbOf("a.jpg").size());
    EXPECT_TRUE(list.contains("Index"));
    EXPECT_FALSE(OLEStorage::OpenFolderStorage(NameCrc("/missing"), nullptr, OLEStorage::ModeRead));
}

TEST_F(OLEStorageTest, RenameThumbs)
{
    cacheThumbs({ "a.jpg", "b.jpg", "c.jpg" });
    const QByteArray a = displayThumb("a.jpg");
    OLEStorage::RenameThumbs(1, { { "a.jpg", "renamed.jpg" }, { "never-made.jpg", "other.jpg" } });
    EXPECT_TRUE(displayThumb("a.jpg").isEmpty());
    EXPECT_EQ(displayThumb("renamed.jpg"), a);
    EXPECT_TRUE(displayThumb("other.jpg").isEmpty());
    ThumbIndex idx;
    OLEStorage::LoadFolderIndexInto(OLEStorage::FolderStorageName(""), idx);
    QStringList names;
    idx.forEach([&names](const IndexEntry &e) { names << e.Name; });
    EXPECT_EQ(names, QStringList({ "b.jpg", "c.jpg", "renamed.jpg" })); // renamed entries move to the end
    EXPECT_EQ(idx.find("renamed.jpg")->StreamId, nameCrcValue("renamed.jpg"));

    const qint64 before = OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName(""));
    OLEStorage::RenameThumbs(1, { { "never-made.jpg", "x.jpg" } }); // changes nothing
    EXPECT_EQ(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName("")), before);

    OLEStorage::RenameThumbs(2, { { "b.jpg", {} } });
    EXPECT_TRUE(displayThumb("b.jpg").isEmpty());
    EXPECT_FALSE(displayThumb("c.jpg").isEmpty());
    OLEStorage::RenameThumbs(2, { { "c.jpg", {} }, { "renamed.jpg", {} } });
    // Deleting every thumbnail leaves an index that lists none.
    EXPECT_EQ(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName("")), 0);
}

TEST_F(OLEStorageTest, ExportThumbsWritesTheStreamBytes)
{
    cacheThumbs({ "a.jpg", "b.jpg" });
    const QString target = m_dir.path() + "/out/a_thumb.jpg";
    QDir().mkpath(m_dir.path() + "/out");
    {
        QFile old(target);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(100000, 'x')); // replaced, not overwritten in place
    }
    OLEStorage::ExportThumbs({ { "a.jpg", target }, { "missing.jpg", m_dir.path() + "/out/m.jpg" } });
    QFile f(target);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), thumbOf("a.jpg"));
    EXPECT_FALSE(QFile::exists(m_dir.path() + "/out/m.jpg"));
}

TEST_F(OLEStorageTest, MoveFolderCacheRenameMoveAndCopy)
{
    cacheThumbs({ "a.jpg" });
    // 0: the folder renamed.
    EXPECT_TRUE(OLEStorage::MoveFolderCache(0, "/photos/2024", "/photos/2024-renamed"));
    OLEStorage::SetCurrentFolder("/photos/2024-renamed");
    EXPECT_FALSE(displayThumb("a.jpg").isEmpty());
    EXPECT_FALSE(OLEStorage::MoveFolderCache(0, "/photos/2024", "/x")); // no cache to move
    // 1: moved into another folder; the whole last component, dots and all.
    OLEStorage::SetCurrentFolder("/in/my.album");
    cacheThumbs({ "m.jpg" });
    EXPECT_TRUE(OLEStorage::MoveFolderCache(1, "/in/my.album", "/archive/"));
    OLEStorage::SetCurrentFolder("/archive/my.album");
    EXPECT_FALSE(displayThumb("m.jpg").isEmpty());
    // A target without a trailing separator is joined with one: "/shelf" + "my.album".
    EXPECT_TRUE(OLEStorage::MoveFolderCache(1, "/archive/my.album", "/shelf"));
    OLEStorage::SetCurrentFolder("/shelf/my.album");
    EXPECT_FALSE(displayThumb("m.jpg").isEmpty());
    // 2: copied into a folder that has a cache of its own: merged, the source's index wins.
    OLEStorage::SetCurrentFolder("/dest/2024-renamed");
    cacheThumbs({ "own.jpg" });
    EXPECT_TRUE(OLEStorage::MoveFolderCache(2, "/photos/2024-renamed", "/dest/"));
    cfb::Storage root = cfb::Storage::open(cachePath(), OLEStorage::ModeReadTransacted);
    cfb::Storage folder = root.openStorage(NameCrc("/dest/2024-renamed"), OLEStorage::ModeRead);
    ASSERT_TRUE(folder.isOpen());
    EXPECT_TRUE(folder.openStream(NameCrc("own.jpg"), OLEStorage::ModeRead).isOpen());
    EXPECT_TRUE(folder.openStream(NameCrc("a.jpg"), OLEStorage::ModeRead).isOpen());
    EXPECT_TRUE(root.openStorage(NameCrc("/photos/2024-renamed"), OLEStorage::ModeRead).isOpen()); // source kept
    root.release();
    folder.release();
    EXPECT_FALSE(displayThumb("a.jpg").isEmpty());
    EXPECT_TRUE(displayThumb("own.jpg").isEmpty()); // the target's "Index" is the source's
}

TEST_F(OLEStorageTest, DeleteFolderCache)
{
    EXPECT_FALSE(OLEStorage::DeleteFolderCache(NameCrc("/photos/2024"), OLEStorage::CacheFileName)); // no file
    cacheThumbs({ "a.jpg" });
    EXPECT_TRUE(OLEStorage::DeleteFolderCache(NameCrc("/photos/2024"), OLEStorage::CacheFileName));
    EXPECT_TRUE(displayThumb("a.jpg").isEmpty());
    EXPECT_FALSE(OLEStorage::DeleteFolderCache(NameCrc("/photos/2024"), OLEStorage::CacheFileName));
}

TEST_F(OLEStorageTest, FolderStoragesPastFiveThousandAreFound)
{
    {
        cfb::Storage root = cfb::Storage::create(cachePath(), OLEStorage::ModeWriteDirect);
        for (int i = 0; i < 5200; ++i)
            root.createStorage(NameCrc(QString("/f/%1").arg(i)), OLEStorage::ModeWriteDirect);
    }
    QStringList problems; // 5,200 siblings in one balanced red-black tree
    EXPECT_EQ(cfb::Storage::check(cachePath(), &problems), cfb::Status::Ok) << problems.join('\n').toStdString();
    ASSERT_TRUE(OLEStorage::OpenCacheFile(OLEStorage::ModeReadTransacted, OLEStorage::CacheFileName));
    EXPECT_TRUE(OLEStorage::OpenFolderStorage(NameCrc("/f/5199"), nullptr, OLEStorage::ModeRead));
    EXPECT_TRUE(OLEStorage::OpenFolderStorage(NameCrc("/f/0"), nullptr, OLEStorage::ModeRead));
}

TEST_F(OLEStorageTest, TransactedWriterKeepsNothingWithoutCommit)
{
    startFlags().TransactedCache = true;
    cacheThumbs({ "kept.jpg" }); // commits
    ASSERT_TRUE(OLEStorage::OpenCacheForThumbs());
    OLEStorage::LoadIndex();
    OLEStorage::WriteThumbStream("lost.jpg", "BM", 2);
    OLEStorage::SaveIndex();
    OLEStorage::CloseCache(); // no commit of the root
    EXPECT_FALSE(displayThumb("kept.jpg").isEmpty());
    EXPECT_TRUE(displayThumb("lost.jpg").isEmpty());
}

TEST_F(OLEStorageTest, DisplayReadsWhileAJobWrites)
{
    cacheThumbs({ "a.jpg" });
    ASSERT_TRUE(OLEStorage::OpenCacheForThumbs()); // the job holds the writer
    OLEStorage::LoadIndex();
    OLEStorage::WriteThumbStream("b.jpg", "BMbytes", 7);
    // Another thread's module state: the display side.
    QByteArray a, b;
    std::thread([&] {
        settings().CacheThumbsDir = m_dir.path();
        OLEStorage::SetCurrentFolder("/photos/2024");
        if (OLEStorage::OpenCacheForDisplay()) {
            OLEStorage::ReadThumb("a.jpg", &a);
            OLEStorage::ReadThumb("b.jpg", &b);
        }
        OLEStorage::CloseCache();
        // A second writer waits for the lock a bounded time, then is kept out quietly.
        OLEStorage::SetWriterWaitMs(100);
        EXPECT_FALSE(OLEStorage::DeleteFolderCache(NameCrc("/photos/2024"), OLEStorage::CacheFileName));
        OLEStorage::SetWriterWaitMs(10000);
    }).join();
    EXPECT_FALSE(a.isEmpty());
    EXPECT_TRUE(b.isEmpty()); // not committed yet
    OLEStorage::SaveIndex();
    OLEStorage::CommitCache();
    OLEStorage::CloseCache();
    EXPECT_EQ(displayThumb("b.jpg"), "BMbytes");
}

namespace
{

// Two file names with one CRC-32 (found by a search over random names): in one
// folder they name the same stream.
const QString kTwinA = QStringLiteral("ecylwtxz.jpg");
const QString kTwinB = QStringLiteral("epdnndzu.jpg");

// Writes bytes for names in the current folder as a job does; returns what each write answered.
std::vector<bool> writeThumbs(const std::vector<std::pair<QString, QByteArray>> &thumbs)
{
    std::vector<bool> answers;
    if (!OLEStorage::OpenCacheForThumbs())
        return answers;
    OLEStorage::LoadIndex();
    for (const auto &[name, bytes] : thumbs)
        answers.push_back(OLEStorage::WriteThumbStream(name, bytes.constData(), int(bytes.size())));
    OLEStorage::SaveIndex();
    OLEStorage::CommitCache();
    OLEStorage::ClearIndex();
    OLEStorage::CloseCache();
    return answers;
}

QStringList indexNames()
{
    ThumbIndex idx;
    OLEStorage::LoadFolderIndexInto(OLEStorage::FolderStorageName(""), idx);
    QStringList names;
    idx.forEach([&names](const IndexEntry &e) { names << e.Name; });
    return names;
}

} // namespace

TEST_F(OLEStorageTest, RenamingOntoACachedNameGivesTheTargetTheRenamedPicture)
{
    const QByteArray a = jpegBytes(1), b = jpegBytes(200);
    ASSERT_EQ(writeThumbs({ { "a.jpg", a }, { "b.jpg", b }, { "c.jpg", jpegBytes(90) } }),
        std::vector<bool>({ true, true, true }));
    // Stamps follow the picture: the target's old stamp must not vouch for it.
    ASSERT_TRUE(OLEStorage::OpenCacheFile(OLEStorage::ModeWriteDirect, OLEStorage::CacheFileName));
    ASSERT_TRUE(OLEStorage::OpenFolderStorage(OLEStorage::FolderStorageName(""), nullptr, OLEStorage::ModeWriteDirect));
    OLEStorage::LoadIndex();
    const StampMap stamps { { nameCrcValue("a.jpg"), { 11, 111 } }, { nameCrcValue("b.jpg"), { 22, 222 } } };
    ASSERT_TRUE(saveStamps(OLEStorage::FolderStorage(), OLEStorage::CurrentIndex(), stamps));
    OLEStorage::ClearIndex();
    OLEStorage::CommitCache();
    OLEStorage::CloseCache();

    OLEStorage::RenameThumbs(1, { { "a.jpg", "b.jpg" } });
    EXPECT_EQ(displayThumb("b.jpg"), a);
    EXPECT_TRUE(displayThumb("a.jpg").isEmpty());
    EXPECT_EQ(indexNames(), QStringList({ "c.jpg", "b.jpg" }));
    EXPECT_EQ(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName("")), a.size() + jpegBytes(90).size());
    ASSERT_TRUE(OLEStorage::OpenCacheForDisplay());
    const StampMap after = loadStamps(OLEStorage::FolderStorage());
    OLEStorage::CloseCache();
    EXPECT_EQ(after.value(nameCrcValue("b.jpg")), (FileStamp { 11, 111 }));

    // A file without a thumbnail renamed onto one that has a thumbnail: the old
    // picture belonged to the file that was replaced.
    OLEStorage::RenameThumbs(1, { { "never-made.jpg", "c.jpg" } });
    EXPECT_TRUE(displayThumb("c.jpg").isEmpty());
    EXPECT_EQ(indexNames(), QStringList({ "b.jpg" }));
    QStringList problems;
    EXPECT_EQ(cfb::Storage::check(cachePath(), &problems), cfb::Status::Ok) << problems.join('\n').toStdString();
}

TEST_F(OLEStorageTest, TwoNamesWithOneCrcNeverShowEachOthersPicture)
{
    ASSERT_EQ(nameCrcValue(kTwinA), nameCrcValue(kTwinB));
    const QByteArray pa = jpegBytes(3), pb = jpegBytes(150);
    ASSERT_NE(pa, pb);
    // The second name finds its stream name taken: it stays uncached, every time.
    EXPECT_EQ(writeThumbs({ { kTwinA, pa }, { kTwinB, pb } }), std::vector<bool>({ true, false }));
    EXPECT_EQ(writeThumbs({ { kTwinB, pb } }), std::vector<bool>({ false }));
    EXPECT_EQ(displayThumb(kTwinA), pa);
    EXPECT_TRUE(displayThumb(kTwinB).isEmpty());

    // Exporting the uncached twin writes nothing; the cached one exports its own picture.
    QDir().mkpath(m_dir.path() + "/out");
    OLEStorage::ExportThumbs({ { kTwinB, m_dir.path() + "/out/b" }, { kTwinA, m_dir.path() + "/out/a" } });
    EXPECT_FALSE(QFile::exists(m_dir.path() + "/out/b"));
    QFile exported(m_dir.path() + "/out/a");
    ASSERT_TRUE(exported.open(QIODevice::ReadOnly));
    EXPECT_EQ(exported.readAll(), pa);

    // Deleting or renaming the uncached twin leaves the other's thumbnail alone.
    OLEStorage::RenameThumbs(2, { { kTwinB, {} } });
    EXPECT_EQ(displayThumb(kTwinA), pa);
    OLEStorage::RenameThumbs(1, { { kTwinB, "elsewhere.jpg" } });
    EXPECT_EQ(displayThumb(kTwinA), pa);
    EXPECT_TRUE(displayThumb("elsewhere.jpg").isEmpty());

    // Renaming a file onto the twin's name of a cached file: the target is the twin,
    // whose CRC is taken, so the renamed file goes uncached and the twin keeps its own.
    ASSERT_EQ(writeThumbs({ { "x.jpg", pb } }), std::vector<bool>({ true }));
    OLEStorage::RenameThumbs(1, { { "x.jpg", kTwinB } });
    EXPECT_EQ(displayThumb(kTwinA), pa);
    EXPECT_TRUE(displayThumb(kTwinB).isEmpty());
    EXPECT_TRUE(displayThumb("x.jpg").isEmpty());
    // And the twins renamed into each other keep one stream, now under the new name.
    OLEStorage::RenameThumbs(1, { { kTwinA, kTwinB } });
    EXPECT_EQ(displayThumb(kTwinB), pa);
    EXPECT_TRUE(displayThumb(kTwinA).isEmpty());
}

TEST_F(OLEStorageTest, AnIndexThatGivesOneStreamTwoNamesServesOnlyTheFirst)
{
    // As an older rename onto a twin's name left it: both entries name one stream.
    const QByteArray pa = jpegBytes(3);
    ASSERT_EQ(writeThumbs({ { kTwinA, pa } }), std::vector<bool>({ true }));
    ASSERT_TRUE(OLEStorage::OpenCacheFile(OLEStorage::ModeWriteDirect, OLEStorage::CacheFileName));
    ASSERT_TRUE(OLEStorage::OpenFolderStorage(OLEStorage::FolderStorageName(""), nullptr, OLEStorage::ModeWriteDirect));
    OLEStorage::LoadIndex();
    OLEStorage::CurrentIndex().add({ nameCrcValue(kTwinB), int(pa.size()), kTwinB });
    OLEStorage::CurrentIndex().add({ nameCrcValue(kTwinA), int(pa.size()), "wrong-id.jpg" });
    OLEStorage::SaveIndex();
    OLEStorage::CommitCache();
    OLEStorage::CloseCache();

    EXPECT_EQ(displayThumb(kTwinA), pa);
    EXPECT_TRUE(displayThumb(kTwinB).isEmpty());
    EXPECT_TRUE(displayThumb("wrong-id.jpg").isEmpty()); // the stream is not named by its CRC
    ASSERT_TRUE(OLEStorage::OpenCacheForDisplay());
    EXPECT_EQ(OLEStorage::LookupThumb(kTwinB), 0);
    EXPECT_EQ(OLEStorage::LookupThumb(kTwinA), nameCrcValue(kTwinA));
    OLEStorage::CloseCache();
    OLEStorage::RenameThumbs(2, { { kTwinB, {} } });
    EXPECT_EQ(displayThumb(kTwinA), pa);

    // Once the owner goes, the stream belongs to nobody and the next write may take it.
    ThumbIndex idx;
    idx.add({ 7, 1, "first" });
    idx.add({ 7, 1, "second" });
    EXPECT_EQ(*idx.ownerOf(7), "first");
    idx.remove("first");
    EXPECT_EQ(*idx.ownerOf(7), "second");
    idx.remove("second");
    EXPECT_EQ(idx.ownerOf(7), nullptr);
}

TEST_F(OLEStorageTest, AStreamNoEntryListsIsReplaced)
{
    ASSERT_EQ(writeThumbs({ { "a.jpg", jpegBytes(1) } }), std::vector<bool>({ true }));
    // As a job killed between writing a stream and saving its index leaves it.
    ASSERT_TRUE(OLEStorage::OpenCacheFile(OLEStorage::ModeWriteDirect, OLEStorage::CacheFileName));
    ASSERT_TRUE(OLEStorage::OpenFolderStorage(OLEStorage::FolderStorageName(""), nullptr, OLEStorage::ModeWriteDirect));
    cfb::Stream orphan = OLEStorage::FolderStorage().createStream(NameCrc("z.jpg"), OLEStorage::ModeWriteDirect);
    ASSERT_TRUE(orphan.isOpen());
    ASSERT_EQ(orphan.write(QByteArray("half a thumbn")), cfb::Status::Ok);
    orphan.release();
    OLEStorage::CommitCache();
    OLEStorage::CloseCache();

    const QByteArray z = jpegBytes(77);
    EXPECT_EQ(writeThumbs({ { "z.jpg", z } }), std::vector<bool>({ true }));
    EXPECT_EQ(displayThumb("z.jpg"), z);
    EXPECT_FALSE(displayThumb("a.jpg").isEmpty());
}

// An index that loses most of its entries at once drops its holes on the way;
// every entry left must still be found by its name, with its own values, in the
// order of the stream.
TEST(IndexCompaction, LosingMostEntriesKeepsEveryLookupRight)
{
    // Removal orders that compact at different moments: from the front, from the
    // back, every other entry first, and all but one.
    struct Order {
        const char *what;
        std::function<bool(int)> removed; // by position among 200
    } orders[] = {
        { "front 150", [](int i) { return i < 150; } },
        { "back 150", [](int i) { return i >= 50; } },
        { "all but multiples of 7", [](int i) { return i % 7 != 0; } },
        { "all but the last", [](int i) { return i != 199; } },
        { "all but the first", [](int i) { return i != 0; } },
    };
    for (const Order &o : orders) {
        SCOPED_TRACE(o.what);
        ThumbIndex idx;
        std::vector<IndexEntry> kept;
        QStringList gone;
        for (int i = 0; i < 200; ++i)
            ASSERT_TRUE(idx.add(entryFor(nameAt(i), i)));
        // Odd positions first, then even ones: holes spread before the compaction.
        for (int pass = 0; pass < 2; ++pass)
            for (int i = 1 - pass; i < 200; i += 2)
                if (o.removed(i)) {
                    ASSERT_TRUE(idx.remove(nameAt(i)));
                    EXPECT_FALSE(idx.remove(nameAt(i))); // only once
                    gone << nameAt(i);
                }
        for (int i = 0; i < 200; ++i)
            if (!o.removed(i))
                kept.push_back(entryFor(nameAt(i), i));
        expectIndex(idx, kept, gone);

        // Added after the compaction: found, at the end, and the old ones still right.
        for (int i = 0; i < 3; ++i) {
            const QString n = QStringLiteral("new%1.jpg").arg(i);
            ASSERT_TRUE(idx.add(entryFor(n, 500 + i)));
            kept.push_back(entryFor(n, 500 + i));
        }
        EXPECT_FALSE(idx.add(entryFor(kept.front().Name, 9))); // already present
        expectIndex(idx, kept, gone);
        // A removed name can come back.
        ASSERT_TRUE(idx.add(entryFor(gone.front(), 777)));
        kept.push_back(entryFor(gone.front(), 777));
        gone.removeFirst();
        expectIndex(idx, kept, gone);
    }
}

// A batch delete and a batch rename of most of a folder's thumbnails, each in one
// call, as the file commands make them: the index drops its holes on the way.
TEST_F(OLEStorageTest, BatchDeleteAndRenameOfMostThumbnails)
{
    QStringList all;
    for (int i = 0; i < 200; ++i)
        all << nameAt(i);
    cacheThumbs(all);

    // Delete 130 of 200 in one batch: the index compacts past the 101st.
    NameMap deletes;
    QStringList left;
    for (int i = 0; i < 200; ++i)
        if (i % 3 == 0 && i < 198)
            left << nameAt(i);
        else
            deletes.push_back({ nameAt(i), QString() });
    ASSERT_GT(deletes.size(), 100u);
    OLEStorage::RenameThumbs(2, deletes);
    auto shown = displayed();
    ASSERT_EQ(shown.size(), std::size_t(left.size()));
    qint64 bytes = 0;
    for (int k = 0; k < left.size(); ++k) {
        EXPECT_EQ(shown[std::size_t(k)].first, left[k]);
        EXPECT_EQ(shown[std::size_t(k)].second, thumbOf(left[k])) << left[k].toStdString();
        bytes += thumbOf(left[k]).size();
    }
    EXPECT_EQ(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName(QString())), bytes);

    // Rename all that is left but the first, and drop them all again: a renamed
    // entry keeps its byte count and reads its own stream under the new name.
    NameMap renames;
    for (int k = 1; k < left.size(); ++k)
        renames.push_back({ left[k], "r-" + left[k] });
    OLEStorage::RenameThumbs(1, renames);
    shown = displayed();
    ASSERT_EQ(shown.size(), std::size_t(left.size()));
    EXPECT_EQ(shown[0].first, left[0]);
    for (int k = 1; k < left.size(); ++k) {
        EXPECT_EQ(shown[std::size_t(k)].first, "r-" + left[k]);
        EXPECT_EQ(shown[std::size_t(k)].second, thumbOf(left[k])) << left[k].toStdString();
    }
    ThumbIndex idx;
    OLEStorage::LoadFolderIndexInto(OLEStorage::FolderStorageName(QString()), idx);
    for (int k = 1; k < left.size(); ++k) {
        const IndexEntry *e = idx.find("r-" + left[k]);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->StreamId, nameCrcValue("r-" + left[k]));
        EXPECT_EQ(e->ByteCount, thumbOf(left[k]).size());
    }
    EXPECT_EQ(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName(QString())), bytes);
}
