// A "Stamps" stream of whole records followed by a short tail is not ours: it
// reads as no stamps at all, without reading past its end; the folder's cached
// thumbnails then count as not current and the next job makes them and the
// stamps stream whole again.
#include "EngineTestSupport.h"
#include "thumbs/Stamps.h"

#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

void appendLe64(QByteArray &out, std::int64_t value)
{
    for (int i = 0; i < 8; ++i)
        out.append(char((std::uint64_t(value) >> (8 * i)) & 0xFF));
}

QByteArray record(std::int64_t id, std::int64_t size, std::int64_t mtime)
{
    QByteArray b;
    appendLe64(b, id);
    appendLe64(b, size);
    appendLe64(b, mtime);
    return b;
}

class NoJobLink : public ThumbJobLink
{
public:
    StoreValues storeValues() override { return values; }
    PaneValues paneValues() override { return {}; }
    bool deliver(const ThumbDelivery &d) override
    {
        delivered.push_back(d);
        return true;
    }
    bool cancelRequested() override { return false; }
    void progress(int, int) override { }
    void jobFinished() override { }
    StoreValues values { 3, 0, 0, 103 };
    std::vector<ThumbDelivery> delivered;
};

} // namespace

TEST(StampsTail, WholeRecordsAndAShortTailReadAsNoStamps)
{
    QByteArray whole = record(11, 100, 1000) + record(-22, 200, 2000) + record(33, 300, 3000);
    StampMap map;
    ASSERT_TRUE(parseStamps(whole, &map));
    ASSERT_EQ(map.size(), 3);
    EXPECT_EQ(map.value(-22), (FileStamp { 200, 2000 }));
    // Tails of every short length; from 8 bytes on the tail holds a valid id, so a
    // reader that takes it as a record would show a fourth stamp.
    for (int tail = 1; tail < StampRecordSize; ++tail) {
        const QByteArray bytes = whole + record(44, 400, 4000).left(tail);
        map.insert(99, {}); // the map is replaced, not added to
        EXPECT_FALSE(parseStamps(bytes, &map)) << tail;
        EXPECT_TRUE(map.isEmpty()) << tail;
    }
    EXPECT_FALSE(parseStamps(QByteArray("\x01", 1), &map));
    EXPECT_TRUE(map.isEmpty());
    EXPECT_TRUE(parseStamps(QByteArray(), &map));
    EXPECT_TRUE(map.isEmpty());
}

class StampsTailJob : public EngineHome
{
protected:
    void SetUp() override
    {
        EngineHome::SetUp();
        settings().CacheThumbs = true;
        startFlags() = {};
    }
    void runJob(const QStringList &files)
    {
        NoJobLink link;
        link.values.fileCount = int(files.size());
        ThumbMain job(&link);
        job.setJob(m_folder, files);
        job.RunThumbJob();
        ASSERT_EQ(link.delivered.size(), std::size_t(files.size()));
    }
    QString cachePath() const { return OLEStorage::cacheFilePath(OLEStorage::CacheFileName); }
    QByteArray stampsBytes()
    {
        cfb::Storage root = cfb::Storage::open(cachePath(), OLEStorage::ModeReadTransacted);
        cfb::Storage folder = root.openStorage(NameCrc(m_folder), OLEStorage::ModeRead);
        cfb::Stream s = folder.openStream(StampsStreamName, OLEStorage::ModeRead);
        QByteArray b;
        EXPECT_TRUE(s.isOpen());
        if (s.isOpen()) {
            EXPECT_EQ(s.readAll(&b), cfb::Status::Ok);
        }
        return b;
    }
};

TEST_F(StampsTailJob, AJobOverADamagedStampsStreamWritesItWholeAgain)
{
    QStringList files = makeJpegFolder(m_folder, 3);
    runJob(files);
    const QByteArray first = stampsBytes();
    ASSERT_EQ(first.size(), 3 * StampRecordSize);

    // A short tail after the whole records.
    {
        cfb::Storage root = cfb::Storage::open(cachePath(), OLEStorage::ModeWriteDirect);
        cfb::Storage folder = root.openStorage(NameCrc(m_folder), OLEStorage::ModeWriteDirect);
        ASSERT_TRUE(folder.isOpen());
        cfb::Stream s = folder.openStream(StampsStreamName, OLEStorage::ModeWriteDirect);
        ASSERT_TRUE(s.isOpen());
        ASSERT_EQ(s.seek(0, cfb::Stream::End), cfb::Status::Ok);
        ASSERT_EQ(s.write(record(nameCrcValue(files[0]), 1, 1).left(13)), cfb::Status::Ok);
        EXPECT_TRUE(loadStamps(folder).isEmpty());
        ASSERT_EQ(root.commit(), cfb::Status::Ok);
    }
    ASSERT_EQ(stampsBytes().size(), 3 * StampRecordSize + 13);

    // Stamps that do not read vouch for nothing: a file replaced meanwhile under
    // the same name must not show its old picture, so every cached thumbnail of
    // the folder is made again, and the stamps stream is whole again.
    const QMap<QString, QByteArray> before = cachedThumbs(m_folder);
    ASSERT_EQ(before.size(), 3);
    const QString replaced = m_folder + '/' + files[0];
    ASSERT_TRUE(wrjpgfiledib(replaced, 90, testPicture(160, 120, 77)));
    ASSERT_TRUE(wrjpgfiledib(m_folder + "/new.jpg", 90, testPicture(160, 120, 9)));
    files << QStringLiteral("new.jpg");
    runJob(files);
    const QByteArray after = stampsBytes();
    EXPECT_EQ(after.size(), 4 * StampRecordSize);
    StampMap map;
    ASSERT_TRUE(parseStamps(after, &map));
    for (const QString &f : files) {
        FileStamp stamp;
        ASSERT_TRUE(fileStamp(m_folder + '/' + f, &stamp));
        EXPECT_EQ(map.value(nameCrcValue(f)), stamp) << f.toStdString();
    }
    const QMap<QString, QByteArray> now = cachedThumbs(m_folder);
    EXPECT_EQ(now.size(), 4);
    EXPECT_NE(now.value(files[0]), before.value(files[0])) << "the replaced file kept its old picture";
}

TEST_F(StampsTailJob, AFolderWithoutAStampsStreamKeepsItsThumbnails)
{
    // A cache written before stamps has no "Stamps" at all: its thumbnails are used.
    QStringList files = makeJpegFolder(m_folder, 2);
    runJob(files);
    const QMap<QString, QByteArray> before = cachedThumbs(m_folder);
    ASSERT_EQ(before.size(), 2);
    {
        cfb::Storage root = cfb::Storage::open(cachePath(), OLEStorage::ModeWriteDirect);
        cfb::Storage folder = root.openStorage(NameCrc(m_folder), OLEStorage::ModeWriteDirect);
        ASSERT_TRUE(folder.isOpen());
        ASSERT_EQ(folder.destroyElement(StampsStreamName), cfb::Status::Ok);
        ASSERT_EQ(folder.commit(), cfb::Status::Ok);
        ASSERT_EQ(root.commit(), cfb::Status::Ok);
    }
    NoJobLink link;
    link.values.fileCount = int(files.size());
    ThumbMain job(&link);
    job.setJob(m_folder, files);
    job.RunThumbJob();
    ASSERT_EQ(link.delivered.size(), std::size_t(files.size()));
    EXPECT_EQ(cachedThumbs(m_folder), before);
}
