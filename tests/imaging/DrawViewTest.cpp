#include "imaging/widgets/DrawView.h"

#include "DrawTestImages.h"
#include "TestEnv.h"
#include "imaging/Pan.h"

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

TEST_F(DrawViewTest, EveryEffectShowsTheViewOfAPhotoComposedOnlyInPart)
{
    // Zoomed in, the held part starts far inside the composed image; each effect
    // must copy from the part at the view's offsets.
    images.images["photo.png"] = positionImage(1000, 800);
    const ViewState &vs = viewState();
    for (int effect = 0; effect <= 5; ++effect) {
        SCOPED_TRACE(testing::Message() << "effect " << effect);
        cfg.E_Index = effect;
        cfg.E_Iter = 9;
        cfg.E_Delay = 1;
        view.setDrawSettings(cfg);
        QSignalSpy finished(&view.painter(), &TransitionPainter::finished);
        ASSERT_TRUE(view.showImage("photo.png", "FitNormal", ZoomFactor::fromWhole(4)));
        ASSERT_TRUE(v7test::waitUntil([&] { return finished.count() == 1; }, 5000));
        ASSERT_NE(vs.offscreenAt, QPoint(0, 0));
        for (const QPoint at : { QPoint(0, 0), QPoint(399, 0), QPoint(0, 299), QPoint(399, 299), QPoint(200, 150) }) {
            const QPoint c = at + QPoint(vs.srcX, vs.srcY);
            EXPECT_EQ(positionOf(view.painter().screen().pixel(at)),
                QPoint((2 * c.x() + 1) * 1000 / 8000, (2 * c.y() + 1) * 800 / 6400))
                << at.x() << "," << at.y();
        }
    }
    EXPECT_EQ(images.loads, 1);
}

namespace
{
    // w x h pixels, each of its own colour (its index y * w + x in red, green, blue);
    // Indexed8 holds at most 256 of them.
    QImage numberedImage(int w, int h, QImage::Format format)
    {
        const auto colour = [](int id) { return qRgb(id & 0xFF, (id >> 8) & 0xFF, (id >> 16) & 0xFF); };
        if (format == QImage::Format_Indexed8) {
            QImage img(w, h, format);
            QVector<QRgb> table;
            for (int id = 0; id < w * h; ++id)
                table << colour(id);
            img.setColorTable(table);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    img.setPixel(x, y, uint(y * w + x));
            return img;
        }
        QImage img(w, h, format);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                img.setPixel(x, y, colour(y * w + x));
        return img;
    }
} // namespace

TEST_F(DrawViewTest, PansToEveryEdgeShowTheNearestSourcePixelForAnySizeAndFormat)
{
    // The fast stretch reads the source's rows itself: odd widths, one-pixel sides,
    // the zoom's limits and pans against every edge must read only inside them.
    struct Source {
        int w, h;
        QImage::Format format;
    };
    const Source sources[] = {
        { 1, 1, QImage::Format_RGB888 },
        { 1, 7, QImage::Format_RGB888 },
        { 7, 1, QImage::Format_RGB32 },
        { 13, 11, QImage::Format_RGB888 },
        { 13, 11, QImage::Format_Indexed8 },
        { 13, 11, QImage::Format_ARGB32 },
        { 401, 299, QImage::Format_RGB888 }, // odd rows of 1203 bytes
        { 401, 299, QImage::Format_RGB32 },
        { 201, 3, QImage::Format_RGB888 },
    };
    const ViewState &vs = viewState();
    for (const Source &s : sources) {
        images.images["n.png"] = numberedImage(s.w, s.h, s.format);
        for (const char *fit : { "FitNormal", "FitAuto" }) {
            for (const std::int64_t zoom : { std::int64_t(5000), std::int64_t(10000), std::int64_t(100000) }) {
                SCOPED_TRACE(testing::Message()
                    << s.w << "x" << s.h << " format " << int(s.format) << " " << fit << " zoom " << zoom);
                FreeCurrentImage();
                ASSERT_TRUE(view.showImage("n.png", QString::fromLatin1(fit), ZoomFactor::fromScaled(zoom)));
                for (const int toward : { 0, -1, 1 }) {
                    if (toward != 0)
                        view.commitPan(toward * 1000000, toward * 1000000);
                    const PanCopy c = RedrawAtOffset({ 400, 300, vs.imageW, vs.imageH, vs.srcX, vs.srcY }, 0, 0);
                    const QRect drawn = QRect(c.destination, c.source.size()).intersected(QRect(0, 0, 400, 300));
                    ASSERT_FALSE(drawn.isEmpty());
                    for (const QPoint at :
                        { drawn.topLeft(), drawn.topRight(), drawn.bottomLeft(), drawn.bottomRight() }) {
                        const QPoint composed = at - c.destination + c.source.topLeft();
                        const std::int64_t sx =
                            (2 * std::int64_t(composed.x()) + 1) * s.w / (2 * std::int64_t(vs.imageW));
                        const std::int64_t sy =
                            (2 * std::int64_t(composed.y()) + 1) * s.h / (2 * std::int64_t(vs.imageH));
                        const QRgb px = view.painter().screen().pixel(at);
                        EXPECT_EQ(qRed(px) | (qGreen(px) << 8) | (qBlue(px) << 16), sy * s.w + sx)
                            << "toward " << toward << " at " << at.x() << "," << at.y();
                    }
                }
            }
        }
    }
}

TEST_F(DrawViewTest, APanOfAnImageComposedWholeMovesOnlyWhereItIsLarger)
{
    // 200 x 100 at zoom 3: 600 x 300, composed whole for a 400 x 300 pane.
    images.images["p.png"] = positionImage(200, 100);
    ASSERT_TRUE(view.showImage("p.png", "FitNormal", ZoomFactor::fromWhole(3)));
    const ViewState &vs = viewState();
    ASSERT_EQ(QRect(vs.offscreenAt, vs.offscreen.size()), QRect(0, 0, 600, 300));
    EXPECT_EQ(QPoint(vs.srcX, vs.srcY), QPoint(100, 0));
    const auto shownAt = [&](int x, int y) { return positionOf(view.painter().screen().pixel(x, y)); };
    EXPECT_EQ(shownAt(0, 0), QPoint(33, 0)); // composed column 100
    // Dragged right and down as far as it goes: the first column stays just outside,
    // and the rows do not move.
    view.redrawAtOffset(-1000, -1000);
    EXPECT_EQ(shownAt(0, 0), QPoint(0, 0)); // composed column 1
    EXPECT_EQ(shownAt(399, 299), QPoint(133, 99));
    view.commitPan(-1000, -1000);
    EXPECT_EQ(QPoint(vs.srcX, vs.srcY), QPoint(1, 0));
    view.commitPan(1000, 1000);
    EXPECT_EQ(QPoint(vs.srcX, vs.srcY), QPoint(200, 0));
    EXPECT_EQ(shownAt(399, 299), QPoint(199, 99));
    EXPECT_EQ(shownAt(0, 0), QPoint(66, 0));
    // Still the one composition and the one decode.
    EXPECT_EQ(QRect(vs.offscreenAt, vs.offscreen.size()), QRect(0, 0, 600, 300));
    EXPECT_EQ(images.loads, 1);

    // Smaller than the pane: a drag moves nothing.
    ASSERT_TRUE(view.showImage("quad.png", "FitNormal", {}));
    const QImage before = view.painter().screen();
    view.commitPan(-1000, 1000);
    EXPECT_EQ(QPoint(vs.srcX, vs.srcY), QPoint(0, 0));
    EXPECT_EQ(view.painter().screen(), before);
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
