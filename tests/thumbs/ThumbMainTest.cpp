#include "EngineTestSupport.h"
#include "thumbs/ThumbX.h"

#include <QFile>
#include <QPainter>
#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

using ThumbMainTest = JobHome;

TEST(ThumbScaleSize, Rules)
{
    struct Row {
        int w, h, ew, eh;
    } rows[] = {
        { 4000, 3000, 96, 72 }, // a photo fills the box
        { 1, 1000, 2, 72 }, // a computed 0 becomes 2
        { 2, 1000, 1, 72 }, // 0 became 2, which equals the source: reduced by 1
        { 1000, 2, 96, 1 },
        { 200, 72, 96, 34 }, // the width limits
        { 96, 200, 34, 72 }, // the height limits
        { 97, 72, 96, 71 },
        { 50, 40, 50, 40 }, // smaller than the box: its own size
        { 96, 72, 96, 72 },
    };
    for (const Row &r : rows)
        EXPECT_EQ(thumbScaleSize(r.w, r.h, 96, 72), QSize(r.ew, r.eh)) << r.w << "x" << r.h;
    // Every size fits the box and no side is 0.
    for (int w = 1; w < 400; w += 13)
        for (int h = 1; h < 400; h += 17) {
            const QSize s = thumbScaleSize(w, h, 96, 72);
            EXPECT_TRUE(s.width() >= 1 && s.height() >= 1 && s.width() <= 96 && s.height() <= 72) << w << "x" << h;
        }
}

TEST(PlanPasses, VisibleRowsFirstThenAboveThenBelow)
{
    struct Row {
        const char *what;
        int files, columns, reference, current, top, bottom;
        std::vector<std::pair<int, int>> passes;
        int visibleLast;
    } rows[] = {
        { "one file", 1, 3, 0, 0, 0, 400, { { 0, 0 } }, 0 },
        { "unscrolled: the whole list", 50, 3, 0, 10, 0, 400, { { 0, 49 } }, 49 },
        { "current not beyond the reference", 50, 3, 12, 12, 560, 900, { { 0, 49 } }, 49 },
        // Rows 5..7 are visible (112-pixel cells), two more rows follow.
        { "scrolled", 100, 3, 0, 30, 560, 896, { { 15, 29 }, { 0, 14 }, { 30, 99 } }, 29 },
        { "scrolled to the end", 20, 3, 0, 18, 560, 896, { { 15, 19 }, { 0, 14 } }, 19 },
        { "no files", 0, 3, 0, 0, 0, 0, {}, -1 },
    };
    for (const Row &r : rows) {
        const PassPlan p = planPasses(r.files, r.columns, r.reference, r.current, r.top, r.bottom, 112);
        std::vector<std::pair<int, int>> got;
        for (const auto &pass : p.passes)
            got.push_back({ pass.first, pass.last });
        EXPECT_EQ(got, r.passes) << r.what;
        EXPECT_EQ(p.visibleLast, r.visibleLast) << r.what;
    }
}

TEST_F(ThumbMainTest, FolderWithOneFile)
{
    const QStringList files = makeJpegFolder(m_folder, 1, 400, 300);
    RecordingLink link;
    const auto d = run(files, link);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].index, 0);
    ASSERT_FALSE(d[0].bytes.isEmpty());
    EXPECT_EQ(std::uint8_t(d[0].bytes[0]), 0xFF); // JPEG
    EXPECT_EQ(decodeThumb(d[0].bytes).size(), QSize(96, 72));
    EXPECT_EQ(d[0].progressLength, 100); // (103 - 3) * 1 / 1
    EXPECT_EQ(cachedThumbs(m_folder).value(files[0]), d[0].bytes);
}

TEST_F(ThumbMainTest, ScrolledPaneMakesTheVisibleRowsFirst)
{
    const QStringList files = makeJpegFolder(m_folder, 24, 40, 30);
    RecordingLink link;
    link.pane = { 12, 224, 336 }; // row 2 of 112-pixel cells is visible
    run(files, link);
    std::vector<int> expected;
    for (int i = 6; i <= 14; ++i) // row 2 and the two below it
        expected.push_back(i);
    for (int i = 0; i <= 5; ++i)
        expected.push_back(i);
    for (int i = 15; i <= 23; ++i)
        expected.push_back(i);
    EXPECT_EQ(link.order(), expected);
    for (const auto &d : link.deliveries)
        EXPECT_EQ(d.refresh, d.index == 14) << d.index;
    // The processed count runs on across the passes.
    EXPECT_EQ(link.deliveries.back().progressLength, 100);
    EXPECT_EQ(link.deliveries[11].progressLength, 100 * 12 / 24);
}

TEST_F(ThumbMainTest, SmallImagesKeepTheirSizeAndTinyOnesAreBitmaps)
{
    ASSERT_TRUE(wrpngfiledib(m_folder + "/small.png", 24, testPicture(50, 40, 1)));
    ASSERT_TRUE(wrpngfiledib(m_folder + "/tiny.png", 24, testPicture(20, 10, 2)));
    ASSERT_TRUE(wrpngfiledib(m_folder + "/tall.png", 24, testPicture(1, 1000, 3)));
    RecordingLink link;
    const auto d = run({ "small.png", "tiny.png", "tall.png" }, link);
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[0].bytes[0], char(0xFF)); // 40 + 152 * 40 bytes as a DIB: JPEG
    EXPECT_EQ(decodeThumb(d[0].bytes).size(), QSize(50, 40));
    EXPECT_EQ(d[1].bytes[0], 'B'); // 640 bytes as a DIB: a bitmap file
    EXPECT_EQ(decodeThumb(d[1].bytes).size(), QSize(20, 10));
    EXPECT_EQ(decodeThumb(d[2].bytes).size(), QSize(2, 72));
}

TEST_F(ThumbMainTest, CachingOffOpensTheFileButWritesNoThumbnail)
{
    const QStringList files = makeJpegFolder(m_folder, 3);
    settings().CacheThumbs = false;
    RecordingLink link;
    const auto d = run(files, link);
    ASSERT_EQ(d.size(), 3u);
    for (const auto &t : d)
        EXPECT_FALSE(t.bytes.isEmpty());
    EXPECT_FALSE(settings().CacheThumbs); // the bypass's temporary "on" is undone
    EXPECT_TRUE(QFile::exists(OLEStorage::cacheFilePath(OLEStorage::CacheFileName)));
    EXPECT_TRUE(cachedThumbs(m_folder).isEmpty());
    QHash<QString, qint64> streams;
    OLEStorage::SetCurrentFolder(m_folder);
    ASSERT_TRUE(OLEStorage::OpenCacheFile(OLEStorage::ModeReadTransacted, OLEStorage::CacheFileName));
    OLEStorage::OpenFolderStorage(OLEStorage::FolderStorageName(m_folder), &streams, OLEStorage::ModeRead);
    OLEStorage::CloseCache();
    EXPECT_TRUE(streams.isEmpty());
}

TEST_F(ThumbMainTest, CancelEndsAllPassesAndSavesTheIndex)
{
    const QStringList files = makeJpegFolder(m_folder, 12, 40, 30);
    RecordingLink link;
    link.pane = { 6, 112, 224 }; // three passes
    link.stopAfter = 4;
    run(files, link);
    EXPECT_EQ(link.deliveries.size(), 4u);
    const auto cached = cachedThumbs(m_folder);
    EXPECT_EQ(cached.size(), 4);
    for (const auto &d : link.deliveries)
        EXPECT_EQ(cached.value(files[d.index]), d.bytes);
}

TEST_F(ThumbMainTest, AFileThatCannotBeLoadedGetsNoThumbnailAndThePassGoesOn)
{
    QStringList files = makeJpegFolder(m_folder, 2);
    writeFile(m_folder + "/broken.jpg", QByteArray("\xFF\xD8\xFF garbage", 12));
    files.insert(1, "broken.jpg");
    files.push_back("missing.jpg");
    RecordingLink link;
    const auto d = run(files, link);
    ASSERT_EQ(d.size(), 4u);
    EXPECT_FALSE(d[0].bytes.isEmpty());
    EXPECT_TRUE(d[1].bytes.isEmpty());
    EXPECT_FALSE(d[2].bytes.isEmpty());
    EXPECT_TRUE(d[3].bytes.isEmpty());
    EXPECT_EQ(cachedThumbs(m_folder).size(), 2);
}

TEST_F(ThumbMainTest, ARewrittenFileGetsANewThumbnailOnItsNextDisplay)
{
    const QStringList files = makeJpegFolder(m_folder, 2);
    RecordingLink first;
    run(files, first);
    const auto before = cachedThumbs(m_folder);
    ASSERT_EQ(before.size(), 2);

    // Same name, other picture and size.
    ASSERT_TRUE(wrjpgfiledib(m_folder + '/' + files[0], 90, testPicture(300, 100, 7)));
    RecordingLink second;
    run(files, second);
    ASSERT_EQ(second.deliveries.size(), 2u);
    EXPECT_NE(second.deliveries[0].bytes, first.deliveries[0].bytes);
    EXPECT_EQ(decodeThumb(second.deliveries[0].bytes).size(), QSize(96, 32));
    EXPECT_EQ(second.deliveries[1].bytes, first.deliveries[1].bytes);
    const auto after = cachedThumbs(m_folder);
    EXPECT_EQ(after.value(files[0]), second.deliveries[0].bytes);
    EXPECT_EQ(after.value(files[1]), before.value(files[1]));

    // A third display takes both from the cache unchanged.
    RecordingLink third;
    run(files, third);
    EXPECT_EQ(third.deliveries[0].bytes, second.deliveries[0].bytes);
}

TEST_F(ThumbMainTest, ThumbnailsWithoutStampsAreTrusted)
{
    const QStringList files = makeJpegFolder(m_folder, 1);
    RecordingLink first;
    run(files, first);
    // A cache written before stamps existed: no "Stamps" stream.
    OLEStorage::SetCurrentFolder(m_folder);
    ASSERT_TRUE(OLEStorage::OpenCacheFile(OLEStorage::ModeWriteDirect, OLEStorage::CacheFileName));
    ASSERT_TRUE(
        OLEStorage::OpenFolderStorage(OLEStorage::FolderStorageName(m_folder), nullptr, OLEStorage::ModeWriteDirect));
    ASSERT_EQ(OLEStorage::FolderStorage().destroyElement(StampsStreamName), cfb::Status::Ok);
    OLEStorage::CommitCache();
    OLEStorage::CloseCache();
    ASSERT_TRUE(wrjpgfiledib(m_folder + '/' + files[0], 90, testPicture(300, 100, 7)));
    RecordingLink second;
    run(files, second);
    EXPECT_EQ(second.deliveries[0].bytes, first.deliveries[0].bytes);
}

TEST_F(ThumbMainTest, APoolGivesTheSameBytesInTheSameOrder)
{
    const QStringList files = makeJpegFolder(m_folder, 17, 200, 150);
    RecordingLink single;
    single.pane = { 9, 112, 224 };
    run(files, single);
    const auto cacheSingle = cachedThumbs(m_folder);
    QFile::remove(OLEStorage::cacheFilePath(OLEStorage::CacheFileName));

    RecordingLink pooled;
    pooled.pane = single.pane;
    run(files, pooled, 3);
    EXPECT_EQ(pooled.order(), single.order());
    for (std::size_t k = 0; k < single.deliveries.size(); ++k)
        EXPECT_EQ(pooled.deliveries[k].bytes, single.deliveries[k].bytes) << k;
    EXPECT_EQ(cachedThumbs(m_folder), cacheSingle);

    // Stopped early, the pool's threads end and what was delivered is saved.
    QFile::remove(OLEStorage::cacheFilePath(OLEStorage::CacheFileName));
    RecordingLink stopped;
    stopped.stopAfter = 2;
    run(files, stopped, 3);
    EXPECT_EQ(cachedThumbs(m_folder).size(), 2);
}

TEST_F(ThumbMainTest, CounterTextWithTheSwitch)
{
    const QStringList files = makeJpegFolder(m_folder, 2, 40, 30);
    startFlags().ShowThumbCounter = true;
    RecordingLink link;
    run(files, link);
    EXPECT_EQ(link.deliveries[1].counterText, "1/2");
}

TEST_F(ThumbMainTest, DeliverThumbCountsDrawsAndAnswers)
{
    FakeHost host;
    BitmapStore store(&host, { 0, 3, 2, 2, 0, 0 }, m_folder);
    DirectStoreLink link(&store, false);
    ThumbMain job(&link);
    job.setJob(m_folder, { "a.jpg", "b.jpg" });
    const QByteArray bytes = "\xFFpretend";
    EXPECT_TRUE(job.DeliverThumb(1, bytes.constData(), int(bytes.size())));
    EXPECT_EQ(store.currentIndex(), 1);
    EXPECT_EQ(store.thumbBytes(1), bytes);
    ASSERT_FALSE(host.progress.empty());
    EXPECT_EQ(host.progress.back(), std::make_pair(50, 16));
    store.RequestCancel();
    EXPECT_FALSE(job.DeliverThumb(0, bytes.constData(), int(bytes.size())));
}

TEST_F(ThumbMainTest, PrefillCacheStoresMissingThumbnailsThenRunsTheJob)
{
    const QStringList files = makeJpegFolder(m_folder, 3);
    // PrefillCache works only on an existing cache file.
    OLEStorage::SetCurrentFolder(m_folder);
    ASSERT_TRUE(OLEStorage::CreateCacheFile(OLEStorage::ModeWriteDirect, OLEStorage::CacheFileName));
    OLEStorage::CloseCache();
    RecordingLink link;
    link.values.fileCount = 3;
    ThumbMain job(&link);
    job.setJob(m_folder, files);
    job.PrefillCache();
    EXPECT_EQ(link.deliveries.size(), 3u);
    const auto cached = cachedThumbs(m_folder);
    EXPECT_EQ(cached.size(), 3);
    for (const auto &d : link.deliveries)
        EXPECT_EQ(d.bytes, cached.value(files[d.index])); // the job took them from the cache

    // The prefilled thumbnails carry stamps: a file rewritten since is made again.
    ASSERT_TRUE(wrjpgfiledib(m_folder + '/' + files[1], 90, testPicture(300, 100, 7)));
    RecordingLink later;
    run(files, later);
    ASSERT_EQ(later.deliveries.size(), 3u);
    EXPECT_EQ(decodeThumb(later.deliveries[1].bytes).size(), QSize(96, 32));
    EXPECT_EQ(later.deliveries[0].bytes, cached.value(files[0]));
}

TEST_F(ThumbMainTest, PrefillCacheFinishesItsStoreWhenThereIsNoCacheFile)
{
    const QStringList files = makeJpegFolder(m_folder, 2);
    RecordingLink missing;
    {
        ThumbMain job(&missing);
        job.setJob(m_folder, files);
        job.PrefillCache();
    }
    EXPECT_EQ(missing.finished, 1);
    EXPECT_TRUE(missing.deliveries.empty());
}

// The grid's repaint from the cache draws a file's picture only while the stamps
// vouch for it: not for a file rewritten or gone, nor when the stamps do not read.
TEST_F(ThumbMainTest, TheGridsRepaintFromTheCacheHonoursStamps)
{
    settings().ThumbColor = 0x000000FF; // red around a picture, and instead of one
    const QStringList files = makeJpegFolder(m_folder, 3, 40, 30);
    FakeHost host;
    host.files = files;
    const GridValues grid { 0, 3, 3, 3, 0, 0 };
    {
        BitmapStore store(&host, grid, m_folder);
        DirectStoreLink link(&store, false);
        ThumbMain job(&link);
        job.setJob(m_folder, files);
        job.RunThumbJob();
    }
    auto drawn = [&](int index) {
        BitmapStore store(&host, grid, m_folder);
        QImage cell(96, 102, QImage::Format_RGB32);
        cell.fill(Qt::black);
        QPainter p(&cell);
        store.DrawCachedThumb(p, index);
        p.end();
        return cell.pixelColor(48, 36) != QColor(255, 0, 0);
    };
    ASSERT_TRUE(drawn(0) && drawn(1) && drawn(2));
    ASSERT_TRUE(wrjpgfiledib(m_folder + '/' + files[0], 90, testPicture(50, 20, 9)));
    QFile::remove(m_folder + '/' + files[1]);
    EXPECT_FALSE(drawn(0));
    EXPECT_FALSE(drawn(1));
    EXPECT_TRUE(drawn(2));
    // A short tail: the stamps vouch for nothing, so the picture may be another's.
    {
        cfb::Storage root = cfb::Storage::open(cachePath(), OLEStorage::ModeWriteDirect);
        cfb::Storage folder = root.openStorage(NameCrc(m_folder), OLEStorage::ModeWriteDirect);
        cfb::Stream st = folder.openStream(StampsStreamName, OLEStorage::ModeWriteDirect);
        ASSERT_TRUE(st.isOpen());
        ASSERT_EQ(st.seek(0, cfb::Stream::End), cfb::Status::Ok);
        ASSERT_EQ(st.write(QByteArray(5, '\1')), cfb::Status::Ok);
        st.release();
        ASSERT_EQ(folder.commit(), cfb::Status::Ok);
        ASSERT_EQ(root.commit(), cfb::Status::Ok);
    }
    EXPECT_FALSE(drawn(2));
}

} // namespace
