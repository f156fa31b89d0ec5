#include "app/Settings.h"
#include "imaging/Draw.h"
#include "imaging/Prefetch.h"
#include "imaging/ViewState.h"
#include "imaging/widgets/DrawView.h"

#include <QPainter>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

using namespace v7;

TEST(PreviewReduction, TheLargestFactorThatStillCoversTheView)
{
    struct Row {
        QSize natural, composed;
        int factor;
    };
    const Row rows[] = {
        { { 6000, 4000 }, { 1620, 1080 }, 2 }, // 1500 wide at 1/4 would not cover 1620
        { { 6000, 4000 }, { 750, 500 }, 8 },
        { { 6000, 4000 }, { 751, 500 }, 4 },
        { { 1601, 1201 }, { 201, 150 }, 8 }, // the decoder rounds sizes up
        { { 1600, 1200 }, { 1600, 1200 }, 1 },
        { { 1600, 1200 }, { 3200, 2400 }, 1 },
    };
    for (const Row &r : rows)
        EXPECT_EQ(PreviewReduction(r.natural, r.composed), r.factor)
            << r.natural.width() << "x" << r.natural.height() << " -> " << r.composed.width();
}

TEST(PreviewReduction, ALargeJpegIsDecodedSmallAndWholeWhenNeeded)
{
    QTemporaryDir dir;
    const QString file = dir.path() + QStringLiteral("/big.jpg");
    QImage img(1600, 1200, QImage::Format_RGB32);
    img.fill(QColor(30, 140, 200));
    ASSERT_TRUE(img.save(file, "JPEG", 90));
    const QString png = dir.path() + QStringLiteral("/big.png");
    ASSERT_TRUE(img.save(png, "PNG"));
    EXPECT_EQ(PreviewReductionFor(png, QSize(400, 300), u"FitAuto", ZoomFactor::fromWhole(1)), 1); // JPEG only

    Settings cfg;
    DrawView view;
    view.setDrawSettings(cfg);
    view.resize(400, 300);
    ASSERT_TRUE(view.showImage(file, QStringLiteral("FitAuto"), ZoomFactor::fromWhole(1)));
    ViewState &vs = viewState();
    EXPECT_EQ(vs.reduction, 4);
    EXPECT_EQ(vs.current.size(), QSize(400, 300));
    EXPECT_EQ(vs.natural, QSize(1600, 1200));
    EXPECT_EQ(QSize(vs.imageW, vs.imageH), QSize(400, 300)); // the size the whole image would give

    // Natural size needs every pixel: the file is decoded again, whole.
    ASSERT_TRUE(view.showImage(file, QStringLiteral("FitNormal"), ZoomFactor::fromWhole(1)));
    EXPECT_EQ(vs.reduction, 1);
    EXPECT_EQ(vs.current.size(), QSize(1600, 1200));
    EXPECT_EQ(QSize(vs.imageW, vs.imageH), QSize(1600, 1200));
    FreeCurrentImage(vs);
}

TEST(PreviewReduction, APreparedImageIsDrawnAtItsTrueSizeAfterTheFitOrZoomChanged)
{
    // White inside a wide black border: at its own size the 400 x 300 pane shows
    // only the white middle; drawn shrunk, the border shows in the pane's corners.
    QTemporaryDir dir;
    const QString file = dir.path() + QStringLiteral("/next.jpg");
    QImage img(1600, 1200, QImage::Format_RGB32);
    img.fill(Qt::black);
    QPainter(&img).fillRect(QRect(200, 200, 1200, 800), Qt::white);
    ASSERT_TRUE(img.save(file, "JPEG", 90));

    Prefetcher prefetch(LoadPreviewImage);
    setDrawServices(PreviewDrawServices(prefetch, QThread::currentThread()));
    struct Restore {
        ~Restore() { setDrawServices(defaultDrawServices()); }
    } restore;
    Settings cfg;
    cfg.E_Index = 0;
    DrawView view;
    view.setDrawSettings(cfg);
    view.resize(400, 300);

    // A full-size request never gets the reduced image prepared for a fitted view.
    prefetch.prefetch(file, PreviewReductionFor(file, view.size(), u"FitAuto", ZoomFactor::fromWhole(1)));
    EXPECT_EQ(drawServices().loadDib(file, true).size(), QSize(1600, 1200));

    struct Row {
        const char *preparedFit;
        int preparedZoom; // x 10 000
        const char *shownFit;
        int shownZoom;
        QSize composed;
        bool whiteCorner;
    };
    const Row rows[] = {
        { "FitAuto", 10000, "FitNormal", 10000, { 1600, 1200 }, true }, // prepared at 1/4
        { "FitNormal", 5000, "FitNormal", 20000, { 3200, 2400 }, true }, // prepared at 1/2
        { "FitNormal", 2500, "FitNormal", 10000, { 1600, 1200 }, true }, // prepared at 1/4
        { "FitAuto", 10000, "FitHeight", 10000, { 400, 300 }, false }, // 1/4 covers it: served
    };
    ViewState &vs = viewState();
    for (const Row &r : rows) {
        SCOPED_TRACE(
            testing::Message() << r.preparedFit << " " << r.preparedZoom << " -> " << r.shownFit << " " << r.shownZoom);
        FreeCurrentImage(vs);
        const int served = prefetch.served();
        const int reduction = PreviewReductionFor(
            file, view.size(), QString::fromLatin1(r.preparedFit), ZoomFactor::fromScaled(r.preparedZoom));
        ASSERT_GT(reduction, 1);
        prefetch.prefetch(file, reduction);
        ASSERT_TRUE(view.showImage(file, QString::fromLatin1(r.shownFit), ZoomFactor::fromScaled(r.shownZoom)));
        EXPECT_EQ(vs.natural, QSize(1600, 1200));
        EXPECT_EQ(QSize(vs.imageW, vs.imageH), r.composed);
        // The held image covers what is drawn.
        EXPECT_GE(vs.current.width(), std::min(r.composed.width(), 1600));
        const QImage shown = view.grab().toImage();
        EXPECT_EQ(qGray(shown.pixel(3, 3)) > 128, r.whiteCorner);
        EXPECT_EQ(prefetch.served(), served + (r.composed.width() <= 400 ? 1 : 0));
    }
    FreeCurrentImage(vs);
}
