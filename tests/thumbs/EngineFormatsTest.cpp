// The engine's byte formats: the "Stamps" stream and the worker program's frames.
#include "EngineTestSupport.h"
#include "platform/ComponentProtocol.h"
#include "thumbs/Stamps.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace v7;
using namespace v7::component;
using namespace v7test;

namespace
{

QByteArray le64(std::int64_t v)
{
    QByteArray b;
    for (int i = 0; i < 8; ++i)
        b.append(char((std::uint64_t(v) >> (8 * i)) & 0xFF));
    return b;
}

TEST(Stamps, ParseAndSerialize)
{
    ThumbIndex index;
    index.add({ -1070025648, 10, "IMG_0001.JPG" });
    index.add({ 891568578, 20, "abc" });
    index.add({ 5, 30, "unstamped" });
    StampMap stamps;
    stamps.insert(891568578, { 1234, 1'700'000'000'123'456'789 });
    stamps.insert(-1070025648, { 1LL << 40, -5 });
    stamps.insert(77, { 1, 1 }); // not in the index: dropped
    const QByteArray bytes = serializeStamps(index, stamps);
    ASSERT_EQ(bytes.size(), 2 * StampRecordSize);
    // Index order; StreamId sign-extended to 64 bits.
    EXPECT_EQ(bytes.left(8), le64(-1070025648));
    EXPECT_EQ(bytes.mid(24, 8), le64(891568578));
    EXPECT_EQ(bytes.mid(32, 8), le64(1234));
    StampMap back;
    ASSERT_TRUE(parseStamps(bytes, &back));
    EXPECT_EQ(back.size(), 2);
    EXPECT_EQ(back.value(891568578), (FileStamp { 1234, 1'700'000'000'123'456'789 }));
    EXPECT_EQ(back.value(-1070025648), (FileStamp { 1LL << 40, -5 }));
}

TEST(Stamps, MalformedStreamsAreRefused)
{
    StampMap m;
    EXPECT_TRUE(parseStamps(QByteArray(), &m));
    EXPECT_TRUE(m.isEmpty());
    EXPECT_FALSE(parseStamps(QByteArray(23, 'x'), &m)); // not whole records
    EXPECT_FALSE(parseStamps(le64(1LL << 40) + le64(1) + le64(1), &m)); // id beyond 32 bits
    EXPECT_TRUE(m.isEmpty());
    // The first record of an id wins.
    ASSERT_TRUE(parseStamps(le64(3) + le64(1) + le64(2) + le64(3) + le64(9) + le64(9), &m));
    EXPECT_EQ(m.value(3), (FileStamp { 1, 2 }));
    // Whole records and a short tail of any length (from 8 bytes on it holds a valid
    // id): no stamps at all, and the map is replaced, not added to.
    const QByteArray whole = le64(11) + le64(100) + le64(1000) + le64(-22) + le64(200) + le64(2000);
    for (int tail = 1; tail < StampRecordSize; ++tail) {
        m.insert(99, {});
        EXPECT_FALSE(parseStamps(whole + (le64(44) + le64(400) + le64(4000)).left(tail), &m)) << tail;
        EXPECT_TRUE(m.isEmpty()) << tail;
    }
}

TEST(Frames, RoundTripsAndSplitDelivery)
{
    ThumbProcessArgs a;
    a.folder = QStringLiteral("/home/u/Bilder/Ürlaub");
    a.cacheThumbsDir = "/tmp/c";
    a.files = { "a.jpg", "b c.png", QString() };
    a.currentIndex = 7;
    a.viewBottom = 300;
    a.poolSize = 2;
    a.useEmbeddedThumbs = false;
    ThumbsDisplayArgs t { 4, true, 55, QByteArray("\xFF\xD8 bytes", 8) };
    const QByteArray stream = encodeFrame(FrameType::ThumbProcess, encodeThumbProcess(a))
        + encodeFrame(FrameType::ThumbsDisplay, encodeThumbsDisplay(t)) + encodeFrame(FrameType::Done, {});
    FrameReader r;
    std::vector<Frame> got;
    for (char c : stream) { // one byte at a time, as a pipe may deliver
        r.feed(&c, 1);
        while (auto f = r.next())
            got.push_back(*f);
    }
    ASSERT_EQ(got.size(), 3u);
    const auto a2 = decodeThumbProcess(got[0].payload);
    ASSERT_TRUE(a2);
    EXPECT_EQ(a2->folder, a.folder);
    EXPECT_EQ(a2->files, a.files);
    EXPECT_EQ(a2->currentIndex, 7);
    EXPECT_EQ(a2->viewBottom, 300);
    EXPECT_EQ(a2->poolSize, 2);
    EXPECT_FALSE(a2->useEmbeddedThumbs);
    const auto t2 = decodeThumbsDisplay(got[1].payload);
    ASSERT_TRUE(t2);
    EXPECT_EQ(t2->index, 4);
    EXPECT_TRUE(t2->refresh);
    EXPECT_EQ(t2->progressLength, 55);
    EXPECT_EQ(t2->bytes, t.bytes);
    EXPECT_EQ(got[2].type, FrameType::Done);
}

TEST(Frames, BadInputFailsClearly)
{
    FrameReader big;
    big.feed(QByteArray("\xFF\xFF\xFF\x7F\x02", 5)); // 2 GB announced
    EXPECT_FALSE(big.next());
    EXPECT_TRUE(big.failed());
    FrameReader type;
    type.feed(QByteArray("\x00\x00\x00\x00\x09", 5));
    EXPECT_FALSE(type.next());
    EXPECT_TRUE(type.failed());

    const QByteArray good = encodeThumbProcess({});
    for (qsizetype cut = 0; cut < good.size(); ++cut)
        EXPECT_FALSE(decodeThumbProcess(good.left(cut))) << cut;
    EXPECT_FALSE(decodeThumbProcess(good + 'x'));
    // A file count that the payload cannot hold is refused before anything is reserved.
    QByteArray lying = good;
    const int countAt = 2 + 4 + 4 + 16;
    lying[countAt + 3] = char(0x7F);
    EXPECT_FALSE(decodeThumbProcess(lying));
    ThumbsDisplayArgs t { 1, false, 0, "xyz" };
    QByteArray d = encodeThumbsDisplay(t);
    d[4] = 2; // a flag is 0 or 1
    EXPECT_FALSE(decodeThumbsDisplay(d));
}

class StampsInStepTest : public EngineHome
{
protected:
    void SetUp() override
    {
        EngineHome::SetUp();
        m_files = makeJpegFolder(m_folder, 3);
        runJob();
    }
    QMap<int, QByteArray> runJob()
    {
        struct Link : ThumbJobLink {
            QMap<int, QByteArray> got;
            StoreValues storeValues() override { return { 3, 3, 0, 100 }; }
            PaneValues paneValues() override { return {}; }
            bool deliver(const ThumbDelivery &d) override
            {
                got.insert(d.index, d.bytes);
                return true;
            }
            bool cancelRequested() override { return false; }
            void progress(int, int) override { }
            void jobFinished() override { }
        } link;
        ThumbMain job(&link);
        job.setJob(m_folder, m_files);
        job.RunThumbJob();
        return link.got;
    }
    StampMap storedStamps()
    {
        OLEStorage::SetCurrentFolder(m_folder);
        OLEStorage::OpenCacheFile(OLEStorage::ModeReadTransacted, OLEStorage::CacheFileName);
        OLEStorage::OpenFolderStorage(OLEStorage::FolderStorageName(m_folder), nullptr, OLEStorage::ModeRead);
        StampMap m = loadStamps(OLEStorage::FolderStorage());
        OLEStorage::CloseCache();
        return m;
    }
    QStringList m_files;
};

TEST_F(StampsInStepTest, RenamesAndDeletesCarryTheStamps)
{
    const QMap<int, QByteArray> before = runJob();
    StampMap stamps = storedStamps();
    ASSERT_EQ(stamps.size(), 3);
    const FileStamp first = stamps.value(nameCrcValue(m_files[0]));

    // Renamed on disk and in the cache: the stamp follows, the thumbnail is kept.
    ASSERT_TRUE(QFile::rename(m_folder + '/' + m_files[0], m_folder + "/renamed.jpg"));
    OLEStorage::SetCurrentFolder(m_folder);
    OLEStorage::RenameThumbs(1, { { m_files[0], "renamed.jpg" } });
    OLEStorage::RenameThumbs(2, { { m_files[1], QString() } });
    stamps = storedStamps();
    EXPECT_EQ(stamps.size(), 2);
    EXPECT_FALSE(stamps.contains(nameCrcValue(m_files[0])));
    EXPECT_FALSE(stamps.contains(nameCrcValue(m_files[1])));
    EXPECT_EQ(stamps.value(nameCrcValue("renamed.jpg")), first);

    m_files[0] = "renamed.jpg";
    const QMap<int, QByteArray> after = runJob();
    EXPECT_EQ(after.value(0), before.value(0));
    EXPECT_EQ(after.value(1), before.value(1)); // made again, same picture
    EXPECT_EQ(storedStamps().size(), 3);
}

} // namespace
