#include "app/Settings.h"
#include "imaging/Draw.h"
#include "imaging/ViewState.h"
#include "imaging/widgets/DrawView.h"

#include <QTemporaryDir>
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
