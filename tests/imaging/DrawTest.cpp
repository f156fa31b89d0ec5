#include "imaging/Draw.h"

#include "DrawTestImages.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

// A target without a window: records what the drawing forms hand it.
class FakeTarget : public DrawTarget
{
public:
    explicit FakeTarget(QSize size)
        : m_size(size)
        , screen(size, QImage::Format_RGB32)
    {
        screen.fill(Qt::black);
    }
    QSize clientSize() const override { return m_size; }
    void showComposed(const QImage &composed, const TransitionPlan &p, QColor margin) override
    {
        ++shows;
        lastComposed = composed;
        plan = p;
        marginColor = margin;
    }
    void paintOver(const std::function<void(QPainter &)> &paint) override
    {
        QPainter p(&screen);
        paint(p);
    }
    void setTag(const QString &t) override { tag = t; }

    QSize m_size;
    QImage screen;
    int shows = 0;
    QImage lastComposed;
    TransitionPlan plan;
    QColor marginColor;
    QString tag = QString::fromUtf16(NoRepaintTag);
};

class DrawForms : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FreeCurrentImage();
        ReleaseOffscreen();
        images.images["a.png"] = quadrantImage(100, 50);
        images.images["b.png"] = quadrantImage(60, 80);
        cfg.E_Index = 0;
        cfg.ViewColor = 0x00302010;
    }
    void TearDown() override
    {
        FreeCurrentImage();
        ReleaseOffscreen();
    }
    FakeImages images;
    Settings cfg;
};

struct ComposeCase {
    const char *mode;
    std::int64_t zoom;
    QSize expected;
    QRect part; // what is composed of it
};

TEST_F(DrawForms, ComposesAtTheFittedAndZoomedSize)
{
    const ComposeCase rows[] = {
        // The widget test covers the plain cases; these are the edges.
        { "FitNormal", 12500, QSize(125, 62), QRect(0, 0, 125, 62) }, // 62.5 -> 62
        { "FitWidth", 20000, QSize(400, 200), QRect(0, 0, 400, 200) }, // zoom ignored
        // Wider than the view and its margins: only the middle 400 and 100 on each side.
        { "FitHeight", 5000, QSize(800, 400), QRect(100, 0, 600, 400) },
        { "Bogus", 20000, QSize(100, 50), QRect(0, 0, 100, 50) }, // unknown mode: natural size, no zoom
    };
    FakeTarget target(QSize(400, 400));
    for (const ComposeCase &c : rows) {
        ASSERT_TRUE(ShowImageFitted("a.png", target, QString::fromLatin1(c.mode), ZoomFactor::fromScaled(c.zoom), cfg))
            << c.mode;
        EXPECT_EQ(QSize(viewState().imageW, viewState().imageH), c.expected) << c.mode << " " << c.zoom;
        EXPECT_EQ(QRect(viewState().offscreenAt, target.lastComposed.size()), c.part);
        EXPECT_EQ(viewState().viewW, 400);
    }
    EXPECT_EQ(images.loads, 1); // one decode for all re-compositions
}

TEST_F(DrawForms, KeepsTheDecodedImageForTheSameFileOnly)
{
    FakeTarget target(QSize(300, 300));
    ASSERT_TRUE(ShowImageFitted("a.png", target, FitAuto, {}, cfg));
    EXPECT_TRUE(images.lastFullSize);
    ASSERT_TRUE(ShowImageFitted("a.png", target, FitNormal, {}, cfg));
    ASSERT_TRUE(ShowImageFitted(QString(), target, FitWidth, {}, cfg));
    EXPECT_EQ(images.loads, 1);
    ASSERT_TRUE(ShowImageFitted("b.png", target, FitNormal, {}, cfg));
    EXPECT_EQ(images.loads, 2);
    EXPECT_EQ(target.lastComposed.size(), QSize(60, 80));
    FreeCurrentImage();
    ASSERT_TRUE(ShowImageFitted("b.png", target, FitNormal, {}, cfg));
    EXPECT_EQ(images.loads, 3);
}

TEST(DrawDefaults, ReadFilesWithoutTheCodecLayer)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("quad.png");
    ASSERT_TRUE(quadrantImage(40, 20).save(file));
    Settings cfg;
    cfg.E_Index = 0;
    FakeTarget target(QSize(80, 80));
    FreeCurrentImage();
    ASSERT_TRUE(ShowImageFitted(file, target, FitAuto, {}, cfg));
    EXPECT_EQ(target.lastComposed.size(), QSize(80, 40));
    EXPECT_EQ(target.lastComposed.pixelColor(79, 39), QuadBottomRight);
    FreeCurrentImage();
    std::int64_t bytes = 0;
    cfg.CacheThumbs = true;
    EXPECT_EQ(MakeThumbnailDib(file, bytes, cfg).size(), QSize(40, 20));
}

TEST_F(DrawForms, FailureLeavesTheTargetAsItWas)
{
    FakeTarget target(QSize(300, 300));
    EXPECT_FALSE(ShowImageFitted("missing.png", target, FitAuto, {}, cfg));
    EXPECT_FALSE(ShowImageFitted(QString(), target, FitAuto, {}, cfg));
    EXPECT_EQ(target.shows, 0);
    EXPECT_EQ(target.tag, QString::fromUtf16(NoRepaintTag));
    // A composed size beyond what the offsets can address is refused, not attempted.
    QImage strip(4000000, 1, QImage::Format_RGB888);
    strip.fill(Qt::red);
    images.images["strip.png"] = strip;
    EXPECT_FALSE(ShowImageFitted("strip.png", target, FitHeight, {}, cfg)); // 1.2 billion pixels wide
    EXPECT_EQ(target.shows, 0);
    // An empty client area has nothing to fit into.
    FakeTarget empty(QSize(0, 0));
    EXPECT_FALSE(ShowImageFitted("a.png", empty, FitAuto, {}, cfg));
}

TEST_F(DrawForms, HandsThePlanAndMarginColourToTheTargetAndClearsTheTag)
{
    FakeTarget target(QSize(400, 300));
    cfg.E_Index = 1;
    cfg.E_Iter = 30;
    cfg.E_Delay = 15;
    ASSERT_TRUE(ShowImageFitted("a.png", target, FitNormal, {}, cfg));
    EXPECT_TRUE(target.tag.isEmpty());
    EXPECT_EQ(target.marginColor, QColor(0x10, 0x20, 0x30));
    const Placement expected = PlaceInView(400, 300, 100, 50);
    EXPECT_EQ(target.plan.place, expected);
    EXPECT_TRUE(target.plan.paintMargins);
    const TransitionPlan wipe = planTransition(1, expected, QSize(400, 300), 30, 15);
    EXPECT_EQ(target.plan.ops, wipe.ops);
}

TEST_F(DrawForms, OffsetsAreCentredAgainAfterAPan)
{
    ViewState vs;
    vs.viewW = 100;
    vs.viewH = 100;
    vs.imageW = 301;
    vs.imageH = 80;
    vs.srcX = 7;
    vs.srcY = 3;
    PlaceInViewOffsets(vs);
    EXPECT_EQ(vs.srcX, 100); // 100.5 -> 100
    EXPECT_EQ(vs.srcY, 0); // not taller than the view: centred
}

TEST_F(DrawForms, LargerThanTheViewIsCroppedAroundTheCentre)
{
    FakeTarget target(QSize(150, 40));
    ASSERT_TRUE(ShowImageFitted("a.png", target, FitNormal, ZoomFactor::fromWhole(3), cfg));
    // 300 x 150 in 150 x 40: the visible part starts at (75, 55).
    EXPECT_EQ(viewState().srcX, 75);
    EXPECT_EQ(viewState().srcY, 55);
    // Composed: the visible part and a quarter of the view more on each side
    // (37 columns, 10 rows). The plan reads within that part.
    EXPECT_EQ(QRect(viewState().offscreenAt, target.lastComposed.size()), QRect(38, 45, 224, 60));
    EXPECT_EQ(target.plan.place, (Placement { 150, 40, 0, 0, 37, 10 }));
    EXPECT_FALSE(target.plan.paintMargins);
    // The pane's corners show the quadrants' colours next to the middle.
    const auto shown = [&](QPoint at) { return target.lastComposed.pixelColor(target.plan.sourceFor(QRect(at, at))); };
    EXPECT_EQ(shown(QPoint(0, 0)), QuadTopLeft);
    EXPECT_EQ(shown(QPoint(149, 39)), QuadBottomRight);
    EXPECT_EQ(shown(QPoint(74, 19)), QuadTopLeft);
    EXPECT_EQ(shown(QPoint(75, 20)), QuadBottomRight);
}

TEST_F(DrawForms, QualityChoosesTheSmoothResampling)
{
    FakeTarget target(QSize(400, 400));
    cfg.E_Quality = false;
    ASSERT_TRUE(ShowImageFitted("a.png", target, FitAuto, {}, cfg));
    EXPECT_EQ(images.resamples, 0);
    cfg.E_Quality = true;
    ASSERT_TRUE(ShowImageFitted("a.png", target, FitAuto, {}, cfg));
    EXPECT_EQ(images.resamples, 1);
    // A resampler that fails leaves the stretch to do the work.
    DrawServices failing;
    failing.resample = [](const QImage &, QSize) { return QImage(); };
    setDrawServices(failing);
    ASSERT_TRUE(ShowImageFitted("a.png", target, FitAuto, {}, cfg));
    EXPECT_EQ(target.lastComposed.size(), QSize(400, 200));
    // Both scalings keep the quadrants in place.
    const QImage &c = target.lastComposed;
    EXPECT_EQ(c.pixelColor(5, 5), QuadTopLeft);
    EXPECT_EQ(c.pixelColor(c.width() - 5, c.height() - 5), QuadBottomRight);
}

TEST_F(DrawForms, ComposeAtNaturalSizeKeepsEveryPixel)
{
    FakeTarget target(QSize(400, 400));
    ASSERT_TRUE(ShowImageFitted("a.png", target, FitNormal, {}, cfg));
    const QImage original = images.images["a.png"].convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(target.lastComposed.convertToFormat(QImage::Format_RGB32), original);
    // A 24-bit image is composed from as it is, with no display copy of the whole.
    EXPECT_EQ(viewState().current.format(), QImage::Format_RGB888);
    EXPECT_TRUE(viewState().second.isNull());
    // Smooth resampling needs the display format: a true-colour image is then held
    // once, the display copy sharing its pixels.
    cfg.E_Quality = true;
    ASSERT_TRUE(ShowImageFitted(QString(), target, FitNormal, {}, cfg));
    EXPECT_EQ(target.lastComposed, original);
    EXPECT_EQ(viewState().current, original);
    EXPECT_EQ(viewState().current.constBits(), viewState().second.constBits());
    cfg.E_Quality = false;
    // A palette image keeps its palette.
    images.images["indexed.png"] = images.images["a.png"].convertToFormat(QImage::Format_Indexed8);
    ASSERT_TRUE(ShowImageFitted("indexed.png", target, FitNormal, {}, cfg));
    EXPECT_EQ(viewState().current.format(), QImage::Format_Indexed8);
    EXPECT_EQ(viewState().second.format(), QImage::Format_RGB32);
}

TEST_F(DrawForms, EveryZoomDrawsALargePhotoComposingOnlyAroundTheView)
{
    // 12 megapixels: from about zoom 3.4 the whole composed image would pass any
    // surface's bounds.
    images.images["photo.png"] = positionImage(4000, 3000);
    FakeTarget target(QSize(400, 300));
    const ViewState &vs = viewState();
    for (std::int64_t z = ZoomFactor::Min; z <= ZoomFactor::Max; z += ZoomFactor::Step) {
        SCOPED_TRACE(testing::Message() << "zoom " << z);
        const ZoomFactor zoom = ZoomFactor::fromScaled(z);
        ASSERT_TRUE(ShowImageFitted("photo.png", target, FitNormal, zoom, cfg));
        const std::int64_t tw = zoom.apply(4000), th = zoom.apply(3000);
        ASSERT_EQ(vs.imageW, tw);
        ASSERT_EQ(vs.imageH, th);
        // The view and a quarter of it on each side, no more.
        EXPECT_LE(target.lastComposed.width(), 600);
        EXPECT_LE(target.lastComposed.height(), 450);
        // Every corner and the middle of the pane show the photo's pixel that the
        // stretch maps there (pixel centres onto pixel centres).
        const TransitionPlan &plan = target.plan;
        const QRect visible = plan.visibleRect();
        for (const QPoint at :
            { visible.topLeft(), visible.topRight(), visible.bottomLeft(), visible.bottomRight(), visible.center() }) {
            const QPoint composed = at - QPoint(plan.place.x, plan.place.y) + QPoint(vs.srcX, vs.srcY);
            const QPoint expected(
                int((2 * composed.x() + 1) * 4000 / (2 * tw)), int((2 * composed.y() + 1) * 3000 / (2 * th)));
            EXPECT_EQ(positionOf(target.lastComposed.pixel(plan.sourceFor(QRect(at, at)))), expected)
                << at.x() << "," << at.y();
        }
    }
    EXPECT_EQ(images.loads, 1);

    // Smooth resampling works on the part too.
    QImage quad(4000, 3000, QImage::Format_RGB888);
    {
        QPainter p(&quad);
        p.fillRect(0, 0, 2000, 1500, QuadTopLeft);
        p.fillRect(2000, 0, 2000, 1500, QuadTopRight);
        p.fillRect(0, 1500, 2000, 1500, QuadBottomLeft);
        p.fillRect(2000, 1500, 2000, 1500, QuadBottomRight);
    }
    images.images["quad.png"] = quad;
    cfg.E_Quality = true;
    for (const int z : { 4, 10 }) {
        ASSERT_TRUE(ShowImageFitted("quad.png", target, FitNormal, ZoomFactor::fromWhole(z), cfg)) << z;
        EXPECT_LE(target.lastComposed.width(), 600);
        const auto shown = [&](QPoint at) {
            return target.lastComposed.pixelColor(target.plan.sourceFor(QRect(at, at)));
        };
        EXPECT_EQ(shown(QPoint(5, 5)), QuadTopLeft) << z;
        EXPECT_EQ(shown(QPoint(394, 5)), QuadTopRight) << z;
        EXPECT_EQ(shown(QPoint(5, 294)), QuadBottomLeft) << z;
        EXPECT_EQ(shown(QPoint(394, 294)), QuadBottomRight) << z;
    }
    EXPECT_EQ(images.resamples, 2);
}

TEST_F(DrawForms, MosaicCellCentresTheFittedImageInsideARaisedEdge)
{
    QImage canvas(200, 200, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    {
        QPainter painter(&canvas);
        ASSERT_TRUE(DrawImageInRect("a.png", painter, QRect(10, 10, 100, 100), cfg));
        EXPECT_FALSE(DrawImageInRect("missing.png", painter, QRect(120, 120, 50, 50), cfg));
    }
    // 100 x 50 fits at 100 x 50, 25 rows down.
    EXPECT_EQ(canvas.pixelColor(30, 40), QuadTopLeft);
    EXPECT_EQ(canvas.pixelColor(90, 80), QuadBottomRight);
    EXPECT_EQ(canvas.pixelColor(50, 30), QColor(Qt::black)); // above the image
    EXPECT_EQ(canvas.pixelColor(10, 50), QColor(223, 223, 223)); // outer light edge
    EXPECT_EQ(canvas.pixelColor(109, 50), QColor(64, 64, 64)); // outer dark edge
    EXPECT_EQ(canvas.pixelColor(11, 50), QColor(255, 255, 255)); // inner highlight
    EXPECT_EQ(canvas.pixelColor(130, 130), QColor(Qt::black)) << "failed load drew"; // nothing drawn
}

TEST_F(DrawForms, FramedPreviewAtTwoThirdsInsideItsFrame)
{
    const FramedPreviewGeometry g = framedPreviewGeometry(QSize(300, 300), QSize(100, 50));
    EXPECT_EQ(g.image, QRect(50, 100, 200, 100));
    EXPECT_EQ(g.frame, QRect(36, 86, 228, 128));
    EXPECT_EQ(
        framedPreviewGeometry(QSize(100, 100), QSize(10, 10)).image, QRect(16, 16, 67, 67)); // 66.67 -> 67, 16.5 -> 16

    FakeTarget target(QSize(300, 300));
    ASSERT_TRUE(ShowFramedPreview("a.png", target));
    EXPECT_EQ(images.ddbLoads, 1);
    EXPECT_EQ(target.screen.pixelColor(60, 110), QuadTopLeft);
    EXPECT_EQ(target.screen.pixelColor(240, 190), QuadBottomRight);
    EXPECT_EQ(target.screen.pixelColor(42, 92), FramedPreviewFill);
    EXPECT_EQ(target.screen.pixelColor(20, 20), QColor(Qt::black));
    const ViewState &vs = viewState();
    EXPECT_EQ(QRect(vs.srcX, vs.srcY, vs.imageW, vs.imageH), g.image);
    EXPECT_EQ(vs.destRight, 250);
    EXPECT_EQ(vs.destBottom, 200);
    EXPECT_FALSE(ShowFramedPreview("missing.png", target));
}

class ThumbCell : public DrawForms
{
protected:
    // Draws bytes into a 96 x 72 cell at (4, 4) of a grey canvas; returns the
    // rectangle that changed.
    QRect drawnRect(const QByteArray &bytes, bool *drawn = nullptr)
    {
        QImage canvas(104, 80, QImage::Format_RGB32);
        canvas.fill(QColor(9, 9, 9));
        {
            QPainter painter(&canvas);
            const bool ok = DrawThumbCell(bytes, painter, QPoint(4, 4), cfg);
            if (drawn)
                *drawn = ok;
        }
        QRect r;
        for (int y = 0; y < canvas.height(); ++y)
            for (int x = 0; x < canvas.width(); ++x)
                if (canvas.pixelColor(x, y) != QColor(9, 9, 9))
                    r |= QRect(x, y, 1, 1);
        return r;
    }
};

TEST_F(ThumbCell, SmallPicturesCentredLargerStretchedOnlyJpegAndBmpDrawn)
{
    bool drawn = false;
    EXPECT_EQ(drawnRect(encoded(quadrantImage(30, 20), "BMP"), &drawn), QRect(4 + 33, 4 + 26, 30, 20)); // not enlarged
    EXPECT_TRUE(drawn);
    EXPECT_EQ(drawnRect(encoded(quadrantImage(192, 128), "BMP")), QRect(4, 8, 96, 64));
    EXPECT_EQ(drawnRect(encoded(quadrantImage(200, 400), "JPEG")), QRect(4 + 30, 4, 36, 72));
    for (const QByteArray &bytes : { encoded(quadrantImage(30, 20), "PNG"), QByteArray(), QByteArray("BMgarbage") }) {
        drawn = true;
        EXPECT_TRUE(drawnRect(bytes, &drawn).isNull());
        EXPECT_FALSE(drawn);
    }
    // Quality enlarges a small picture to the cell fit, through the smooth resampler.
    cfg.E_Quality = true;
    EXPECT_EQ(drawnRect(encoded(quadrantImage(30, 20), "BMP")), QRect(4, 8, 96, 64));
    EXPECT_EQ(images.resamples, 1);
}

TEST_F(DrawForms, DibSizes)
{
    QImage indexed(3, 2, QImage::Format_Indexed8);
    indexed.setColorCount(256);
    EXPECT_EQ(dibByteSize(indexed), 40 + 1024 + 4 * 2);
    EXPECT_EQ(dibByteSize(QImage(3, 1, QImage::Format_RGB888)), 40 + 12);
    EXPECT_EQ(dibByteSize(QImage(96, 64, QImage::Format_RGB888)), 40 + 288 * 64);
    EXPECT_EQ(dibByteSize(QImage()), 0);
}

TEST_F(DrawForms, ThumbnailDibFitsTheCellWhenCaching)
{
    images.images["big.png"] = quadrantImage(300, 200);
    images.images["small.png"] = quadrantImage(30, 20);
    images.images["line.png"] = quadrantImage(1000, 1);
    cfg.CacheThumbs = true;
    std::int64_t bytes = 0;
    QImage dib = MakeThumbnailDib("big.png", bytes, cfg);
    EXPECT_FALSE(images.lastFullSize);
    EXPECT_EQ(dib.size(), QSize(96, 64));
    EXPECT_EQ(bytes, dibByteSize(dib));
    EXPECT_EQ(dib.pixelColor(2, 2), QuadTopLeft);
    EXPECT_EQ(MakeThumbnailDib("small.png", bytes, cfg).size(), QSize(30, 20));
    EXPECT_EQ(MakeThumbnailDib("line.png", bytes, cfg).size(), QSize(96, 2));
    EXPECT_TRUE(MakeThumbnailDib("missing.png", bytes, cfg).isNull());
    EXPECT_EQ(bytes, 0);

    cfg.CacheThumbs = false;
    cfg.E_Quality = true;
    dib = MakeThumbnailDib("big.png", bytes, cfg);
    EXPECT_TRUE(dib.isNull());
    EXPECT_EQ(bytes, 40 + 288 * 64);
}

} // namespace
