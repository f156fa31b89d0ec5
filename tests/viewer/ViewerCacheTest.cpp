#include "viewer/ViewerCache.h"

#include "imaging/ImageLoad.h"

#include <QMutex>
#include <QTemporaryDir>
#include <QWaitCondition>
#include <atomic>
#include <gtest/gtest.h>

using namespace v7;

namespace
{
// Counts decodes; each image is 10 x 10 pixels (400 bytes) in the file's own grey.
struct Counting {
    std::atomic<int> calls { 0 };
    ViewerCache::Loader loader()
    {
        return [this](const QString &file, const ViewTarget &) {
            ++calls;
            QImage img(10, 10, QImage::Format_RGB32);
            img.fill(QColor(file.size() * 10, 0, 0));
            PreparedImage p;
            p.image = img;
            p.natural = QSize(100, 100);
            return p;
        };
    }
};
const ViewTarget screenA { QSize(1920, 1080), QStringLiteral("FitAuto"), ZoomFactor::fromWhole(1) };
const ViewTarget screenB { QSize(1920, 1080), QStringLiteral("FitNormal"), ZoomFactor::fromWhole(1) };
} // namespace

TEST(ViewerCache, PreparedPhotoServesTheStep)
{
    Counting c;
    ViewerCache cache(c.loader(), {}, 2);
    cache.prefetch(QStringLiteral("b"), screenA);
    cache.prefetch(QStringLiteral("b"), screenA); // under way: not twice
    cache.waitIdle();
    EXPECT_EQ(c.calls, 1);
    const PreparedImage p = cache.take(QStringLiteral("b"), screenA);
    EXPECT_EQ(p.natural, QSize(100, 100));
    EXPECT_EQ(cache.served(), 1);
    EXPECT_EQ(cache.decodedOnDemand(), 0);
    EXPECT_EQ(c.calls, 1);
    // Taken again (Page Up back to it): still held.
    cache.take(QStringLiteral("b"), screenA);
    EXPECT_EQ(c.calls, 1);
    // Another fit mode needs another decode.
    cache.take(QStringLiteral("b"), screenB);
    EXPECT_EQ(cache.decodedOnDemand(), 1);
    EXPECT_EQ(c.calls, 2);
}

TEST(ViewerCache, KeepsWantedAndRecentPhotosWithinTheBound)
{
    Counting c;
    ViewerCache cache(c.loader(), {}, 2);
    cache.setKeepBytes(2 * 400); // two photos
    for (const char *f : { "a", "bb", "ccc", "dddd" })
        cache.take(QString::fromLatin1(f), screenA);
    // The two most recent stay; the older ones went.
    EXPECT_EQ(cache.heldFiles(), QStringList({ "ccc", "dddd" }));
    // The next and previous photos are kept whatever the bound.
    cache.setWanted({ "eeeee", "ffffff" });
    cache.prefetch(QStringLiteral("eeeee"), screenA);
    cache.prefetch(QStringLiteral("ffffff"), screenA);
    cache.waitIdle();
    cache.setWanted({ "eeeee", "ffffff" }); // trims now that both are done
    EXPECT_TRUE(cache.heldFiles().contains("eeeee"));
    EXPECT_TRUE(cache.heldFiles().contains("ffffff"));
    EXPECT_TRUE(cache.heldFiles().contains("dddd")); // the one on screen
    EXPECT_LE(cache.heldBytes(), 4 * 400);
    const int before = c.calls;
    cache.take(QStringLiteral("eeeee"), screenA);
    EXPECT_EQ(c.calls, before);
}

TEST(ViewerCache, MosaicCellsDecodeInParallel)
{
    // Each cell waits until a second one is decoding beside it: cells decoded one
    // after the other would never meet (and would give up after a long wait).
    QMutex mutex;
    QWaitCondition met;
    int inside = 0;
    std::atomic<int> together { 0 };
    ViewerCache cache(
        {},
        [&](const QString &, QSize cell, bool) {
            QMutexLocker lock(&mutex);
            ++inside;
            met.wakeAll();
            if (inside < 2)
                met.wait(&mutex, 20000);
            if (inside >= 2)
                ++together;
            QImage img(cell, QImage::Format_RGB32);
            img.fill(Qt::green);
            return img;
        },
        2);
    cache.prefetchCell(QStringLiteral("1"), QSize(50, 40), false);
    cache.prefetchCell(QStringLiteral("2"), QSize(50, 40), false);
    EXPECT_EQ(cache.takeCell(QStringLiteral("1"), QSize(50, 40), false).size(), QSize(50, 40));
    EXPECT_EQ(cache.takeCell(QStringLiteral("2"), QSize(50, 40), false).size(), QSize(50, 40));
    EXPECT_EQ(together, 2);
    EXPECT_EQ(cache.decodedOnDemand(), 0);
    cache.keepCellsOf({ "2" });
    cache.takeCell(QStringLiteral("1"), QSize(50, 40), false);
    EXPECT_EQ(cache.decodedOnDemand(), 1); // dropped with its page
}

TEST(ViewerCache, RealPhotosDecodeAtTheSizeTheyAreDrawn)
{
    QTemporaryDir dir;
    const QString jpg = dir.filePath(QStringLiteral("wide.jpg"));
    QImage photo(1600, 1200, QImage::Format_RGB888);
    photo.fill(QColor(200, 120, 40));
    ASSERT_TRUE(SaveImageDib(jpg, photo, 24, 90));
    // Fitted into 400 x 300 a quarter of the photo covers the view.
    const PreparedImage p = PrepareViewerImage(jpg, { QSize(400, 300), QStringLiteral("FitAuto"), ZoomFactor() });
    EXPECT_EQ(p.natural, QSize(1600, 1200));
    EXPECT_EQ(p.image.size(), QSize(400, 300));
    // Composed for the view ahead: the whole fitted photo, centred, in the display's format.
    EXPECT_EQ(p.view.offscreen.size(), QSize(400, 300));
    EXPECT_EQ(QSize(p.view.imageW, p.view.imageH), QSize(400, 300));
    EXPECT_EQ(QSize(p.view.viewW, p.view.viewH), QSize(400, 300));
    EXPECT_EQ(p.view.reduction, 4);
    EXPECT_TRUE(qAbs(p.view.offscreen.pixelColor(200, 150).red() - 200) < 8);
    // Wider than the view at natural size: the part around the centre is held, offset to it.
    const PreparedImage natural =
        PrepareViewerImage(jpg, { QSize(400, 300), QStringLiteral("FitNormal"), ZoomFactor::fromWhole(1) });
    EXPECT_EQ(QSize(natural.view.imageW, natural.view.imageH), QSize(1600, 1200));
    EXPECT_EQ(natural.view.srcX, 600);
    EXPECT_TRUE(QRect(natural.view.offscreenAt, natural.view.offscreen.size()).contains(QRect(600, 450, 400, 300)));
    // Natural size: decoded whole.
    const PreparedImage whole = PrepareViewerImage(jpg, { QSize(400, 300), QStringLiteral("FitNormal"), ZoomFactor() });
    EXPECT_EQ(whole.image.size(), QSize(1600, 1200));
    // A mosaic cell comes scaled to its fitted size.
    const QImage cell = PrepareMosaicCell(jpg, QSize(200, 100), true);
    EXPECT_EQ(cell.size(), QSize(133, 100));
    EXPECT_TRUE(PrepareMosaicCell(dir.filePath(QStringLiteral("missing.jpg")), QSize(200, 100), false).isNull());
    EXPECT_TRUE(PrepareViewerImage(dir.filePath(QStringLiteral("missing.jpg")), {}).image.isNull());
}
