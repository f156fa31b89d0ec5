#include "imaging/widgets/DrawView.h"

#include "DrawTestImages.h"
#include "TestEnv.h"

#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

const QColor Margin(0x10, 0x20, 0x30);

class DrawViewTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FreeCurrentImage();
        images.images["quad.png"] = quadrantImage(200, 100);
        images.images["other.png"] = quadrantImage(80, 60);
        images.images["tall.png"] = quadrantImage(40, 200);
        cfg.E_Index = 0;
        cfg.ViewColor = 0x00302010;
        view.resize(400, 300);
        view.setDrawSettings(cfg);
    }
    void TearDown() override { FreeCurrentImage(); }

    FakeImages images;
    Settings cfg;
    DrawView view;
};

struct WidgetCase {
    const char *mode;
    std::int64_t zoom;
    QSize composed;
};

TEST_F(DrawViewTest, EachFitModeAndZoomLandsWhereTheArithmeticSays)
{
    const WidgetCase rows[] = {
        { "FitNormal", 0, QSize(200, 100) }, // centred
        { "FitNormal", 20000, QSize(400, 200) }, // zoom 2: fills the width
        { "FitNormal", 30000, QSize(600, 300) }, // zoom 3: cropped around the centre
        { "FitNormal", 5000, QSize(100, 50) },
        { "FitAuto", 30000, QSize(400, 200) },
        { "FitWidth", 0, QSize(400, 200) },
        { "FitHeight", 0, QSize(600, 300) },
    };
    for (const WidgetCase &c : rows) {
        SCOPED_TRACE(testing::Message() << c.mode << " zoom " << c.zoom);
        ASSERT_TRUE(view.showImage("quad.png", QString::fromLatin1(c.mode), ZoomFactor::fromScaled(c.zoom)));
        EXPECT_TRUE(view.property("tag").toString().isEmpty());
        const QImage shown = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(shown.size(), QSize(400, 300));

        const Placement p = PlaceInView(400, 300, c.composed.width(), c.composed.height());
        const QRect visible(p.x, p.y, p.w, p.h);
        const QImage &composed = viewState().offscreen;
        ASSERT_EQ(composed.size(), c.composed);
        for (int y = 0; y < 300; y += 3)
            for (int x = 0; x < 400; x += 3) {
                const QColor expected =
                    visible.contains(x, y) ? composed.pixelColor(x - p.x + p.srcX, y - p.y + p.srcY) : Margin;
                ASSERT_EQ(shown.pixelColor(x, y), expected) << x << "," << y;
            }
        // The image's centre (where its quadrants meet) is the view's centre
        // whether it is centred or cropped.
        const QPoint mid(p.x + c.composed.width() / 2 - p.srcX, p.y + c.composed.height() / 2 - p.srcY);
        EXPECT_EQ(shown.pixelColor(mid.x() - 1, mid.y() - 1), QuadTopLeft);
        EXPECT_EQ(shown.pixelColor(mid.x(), mid.y()), QuadBottomRight);
        EXPECT_LE(std::abs(mid.x() - 200), 1);
        EXPECT_LE(std::abs(mid.y() - 150), 1);
    }
    EXPECT_EQ(images.loads, 1);
}

TEST_F(DrawViewTest, ResizeRecomposesWithoutDecoding)
{
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    ASSERT_TRUE(view.showImage("quad.png", "FitAuto", {}));
    EXPECT_EQ(viewState().offscreen.size(), QSize(400, 200));
    view.resize(100, 300);
    EXPECT_EQ(viewState().offscreen.size(), QSize(100, 50));
    EXPECT_EQ(images.loads, 1);
    const QImage shown = view.grab().toImage();
    EXPECT_EQ(shown.pixelColor(10, 130), QuadTopLeft);
    EXPECT_EQ(shown.pixelColor(10, 120), Margin);
    // While the tag says NOREPAINT a resize leaves the composition alone.
    view.setProperty("tag", QString::fromUtf16(NoRepaintTag));
    view.resize(200, 300);
    EXPECT_EQ(viewState().offscreen.size(), QSize(100, 50));
    // The part it grew by shows the background until the next drawing.
    EXPECT_EQ(view.grab().toImage().pixelColor(150, 5), view.palette().color(view.backgroundRole()));
}

TEST_F(DrawViewTest, TransitionRevealsStepByStepWithMarginsFirst)
{
    cfg.E_Index = 1; // wipe from the centre
    cfg.E_Iter = 20;
    cfg.E_Delay = 5;
    view.setDrawSettings(cfg);
    QSignalSpy finished(&view.painter(), &TransitionPainter::finished);
    ASSERT_TRUE(view.showImage("quad.png", "FitNormal", {}));
    // 200 x 100 at (100, 100): first step shows the two centre strips only.
    ASSERT_TRUE(view.painter().isRunning());
    const QImage &screen = view.painter().screen();
    EXPECT_EQ(screen.pixelColor(5, 5), Margin);
    EXPECT_EQ(screen.pixelColor(185, 150), QuadBottomLeft);
    EXPECT_EQ(screen.pixelColor(215, 150), QuadBottomRight);
    EXPECT_NE(screen.pixelColor(101, 150), QuadBottomLeft);
    ASSERT_TRUE(v7test::waitUntil([&] { return finished.count() == 1; }, 5000));
    EXPECT_EQ(view.painter().screen().pixelColor(101, 150), QuadBottomLeft);
    EXPECT_EQ(view.painter().screen().pixelColor(298, 101), QuadTopRight);
    const QImage shown = view.grab().toImage();
    EXPECT_EQ(shown.pixelColor(101, 150), QuadBottomLeft);
}

TEST_F(DrawViewTest, EveryEffectEndsWithTheWholeImageShown)
{
    for (int effect = 0; effect <= 6; ++effect) {
        SCOPED_TRACE(testing::Message() << "effect " << effect);
        cfg.E_Index = effect;
        cfg.E_Iter = 9;
        cfg.E_Delay = 1;
        view.setDrawSettings(cfg);
        QSignalSpy finished(&view.painter(), &TransitionPainter::finished);
        // Tall, so that "Expand from Center" leaves top and bottom to the end.
        ASSERT_TRUE(view.showImage("tall.png", "FitNormal", {}));
        ASSERT_TRUE(v7test::waitUntil([&] { return finished.count() == 1; }, 5000));

        QImage expected(view.size(), QImage::Format_RGB32);
        expected.fill(Qt::white);
        QPainter p(&expected);
        const ViewState &vs = viewState();
        const Placement place = PlaceInView(vs.viewW, vs.viewH, vs.imageW, vs.imageH);
        PaintMargins(p, place, expected.size(), Margin);
        p.drawImage(QPoint(place.x, place.y), vs.offscreen, QRect(place.srcX, place.srcY, place.w, place.h));
        p.end();
        ASSERT_EQ(view.painter().screen(), expected);
        EXPECT_EQ(view.painter().screen().pixelColor(place.x - 1, place.y - 1), Margin);
        view.resize(view.width() == 400 ? 130 : 400, 300);
    }
}

TEST_F(DrawViewTest, ZoomedFarInAPanReachesEveryEdgeOfALargePhoto)
{
    // 12 megapixels at zoom 10: 40000 x 30000 composed, far past any surface.
    images.images["photo.png"] = positionImage(4000, 3000);
    // Shown, as the preview is: grabbing a hidden widget resizes it first, and a
    // resize composes again around the middle.
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    ASSERT_TRUE(view.showImage("photo.png", "FitNormal", ZoomFactor::fromWhole(10)));
    const ViewState &vs = viewState();
    EXPECT_EQ(QSize(vs.imageW, vs.imageH), QSize(40000, 30000));
    EXPECT_LE(std::int64_t(vs.offscreen.width()) * vs.offscreen.height(), 600 * 450);
    const auto shownAt = [&](int x, int y) { return positionOf(view.grab().toImage().pixel(x, y)); };
    EXPECT_EQ(shownAt(200, 150), QPoint(2000, 1500)); // the middle of the photo

    // A drag as far up and left as it goes: the offsets stop at 1.
    view.redrawAtOffset(-100000, -100000);
    EXPECT_EQ(shownAt(0, 0), QPoint(0, 0));
    EXPECT_EQ(shownAt(399, 299), QPoint(40, 30)); // composed (400, 300)
    view.commitPan(-100000, -100000);
    EXPECT_EQ(QPoint(vs.srcX, vs.srcY), QPoint(1, 1));
    EXPECT_EQ(shownAt(399, 299), QPoint(40, 30));
    // And then to the far corner: the photo's last pixel in the pane's last one.
    view.commitPan(100000, 100000);
    EXPECT_EQ(QPoint(vs.srcX, vs.srcY), QPoint(39600, 29700));
    EXPECT_EQ(shownAt(399, 299), QPoint(3999, 2999));
    EXPECT_EQ(shownAt(0, 0), QPoint(3960, 2970));
    EXPECT_LE(std::int64_t(vs.offscreen.width()) * vs.offscreen.height(), 600 * 450);
    EXPECT_EQ(images.loads, 1);
}

TEST_F(DrawViewTest, AnyWidgetCanShowImagesThroughAPainter)
{
    QWidget plain;
    plain.resize(120, 90);
    auto *painter = new TransitionPainter(&plain);
    ASSERT_TRUE(ShowImageFitted("quad.png", *painter, FitAuto, {}, cfg));
    const QImage shown = plain.grab().toImage();
    // 200 x 100 fitted to 120 x 60, 15 rows down.
    EXPECT_EQ(shown.pixelColor(1, 16), QuadTopLeft);
    EXPECT_EQ(shown.pixelColor(118, 73), QuadBottomRight);
    EXPECT_EQ(shown.pixelColor(60, 5), Margin);
    EXPECT_EQ(shown.pixelColor(60, 80), Margin);
}

TEST_F(DrawViewTest, NewImageFinishesTheRunningTransitionFirst)
{
    cfg.E_Index = 3;
    cfg.E_Iter = 50;
    cfg.E_Delay = 200; // ten seconds in all: the test must not wait for it
    view.setDrawSettings(cfg);
    QImage atFirstFinish;
    QSignalSpy finished(&view.painter(), &TransitionPainter::finished);
    QObject::connect(&view.painter(), &TransitionPainter::finished, [&] {
        if (atFirstFinish.isNull())
            atFirstFinish = view.painter().screen().copy();
    });
    ASSERT_TRUE(view.showImage("quad.png", "FitNormal", {}));
    ASSERT_TRUE(view.painter().isRunning());

    cfg.E_Index = 0;
    view.setDrawSettings(cfg);
    ASSERT_TRUE(view.showImage("other.png", "FitNormal", {}));
    EXPECT_EQ(finished.count(), 2);
    EXPECT_FALSE(view.painter().isRunning());
    // The first image was complete when its transition ended.
    ASSERT_FALSE(atFirstFinish.isNull());
    EXPECT_EQ(atFirstFinish.pixelColor(100, 100), QuadTopLeft);
    EXPECT_EQ(atFirstFinish.pixelColor(299, 199), QuadBottomRight);
    // And the second is shown whole, with margins where the first was.
    const QImage shown = view.grab().toImage();
    EXPECT_EQ(shown.pixelColor(160, 120), QuadTopLeft);
    EXPECT_EQ(shown.pixelColor(239, 179), QuadBottomRight);
    EXPECT_EQ(shown.pixelColor(100, 100), Margin);
}

} // namespace
