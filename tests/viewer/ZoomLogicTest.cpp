#include "viewer/ZoomLogic.h"

#include <QImage>
#include <gtest/gtest.h>

using namespace v7;

namespace
{
std::vector<int> itemsOf(const MosaicPage &page)
{
    std::vector<int> items;
    for (const MosaicCell &c : page.cells)
        items.push_back(c.item);
    return items;
}
std::vector<int> range(int from, int to)
{
    std::vector<int> r;
    for (int i = from; i <= to; ++i)
        r.push_back(i);
    return r;
}
} // namespace

TEST(ZoomDelay, LimitsAndLabel)
{
    int delay = DefaultSlideDelayMs;
    EXPECT_EQ(delay, 2000);
    for (int i = 0; i < 40; ++i)
        delay = LongerDelay(delay);
    EXPECT_EQ(delay, 30000);
    EXPECT_EQ(DelayLabelText(delay), QStringLiteral("30 sec."));
    EXPECT_EQ(ShorterDelay(1000), 1000);
    EXPECT_EQ(ShorterDelay(2000), 1000);
    EXPECT_EQ(ShorterDelay(30000), 29000);
    EXPECT_EQ(DelayLabelText(2000), QStringLiteral("2 sec."));
    EXPECT_EQ(DelayLabelBox(30, 13), QRect(QPoint(42, 2), QPoint(76, 15)));
}

TEST(ZoomDelay, OneStepPerDelay)
{
    for (int delay : { 1000, 2000, 30000 }) {
        int ticks = 0, steps = 0, firstStep = -1;
        for (int t = 1; t <= 3 * delay / ZoomTimerIntervalMs; ++t) {
            if (TickDue(ticks, delay)) {
                ++steps;
                if (firstStep < 0)
                    firstStep = t;
            }
        }
        EXPECT_EQ(steps, 3) << delay;
        EXPECT_EQ(firstStep, delay / 200) << delay;
    }
}

TEST(ZoomMosaic, TenFilesFromTheFirst)
{
    const QSize window(300, 300);
    MosaicPage p = MosaicStep(1, 10, window);
    EXPECT_EQ(itemsOf(p), range(2, 10));
    EXPECT_EQ(p.position, 9);
    EXPECT_EQ(p.selectItem, 9);
    p = MosaicStep(p.position, 10, window);
    EXPECT_EQ(itemsOf(p), std::vector<int> { 10 });
    EXPECT_EQ(p.position, 0);
    EXPECT_EQ(p.selectItem, 0);
    p = MosaicStep(p.position, 10, window);
    EXPECT_EQ(itemsOf(p), range(1, 9));
    // The cells: a third of the window each, less 8 pixels on every side.
    ASSERT_EQ(p.cells.size(), 9u);
    EXPECT_EQ(p.cells[0].rect, QRect(8, 8, 84, 84));
    EXPECT_EQ(p.cells[4].rect, QRect(108, 108, 84, 84));
    EXPECT_EQ(p.cells[8].rect, QRect(208, 208, 84, 84));
}

TEST(ZoomMosaic, PreviousNearTheStartShowsTheLastNine)
{
    MosaicPage first = MosaicStep(0, 40, QSize(900, 600));
    EXPECT_EQ(itemsOf(first), range(1, 9));
    // Consecutive steps advance by eight; "&Previous" goes back by eight.
    MosaicPage second = MosaicStep(first.position, 40, QSize(900, 600));
    EXPECT_EQ(itemsOf(second), range(9, 17));
    MosaicPage back = MosaicStep(second.position - MosaicBackStep, 40, QSize(900, 600));
    EXPECT_EQ(itemsOf(back), range(1, 9));
    MosaicPage wrap = MosaicStep(first.position - MosaicBackStep, 40, QSize(900, 600));
    EXPECT_EQ(itemsOf(wrap), range(32, 40));
}

TEST(ZoomMosaic, EveryPositionShowsOnlyListedItems)
{
    // Fewer than nine files and a step back used to start before the first item.
    for (int count = 0; count <= 30; ++count) {
        for (int position = -40; position <= count; ++position) {
            const MosaicPage p = MosaicStep(position, count, QSize(600, 450));
            ASSERT_LE(p.cells.size(), 9u);
            for (const MosaicCell &c : p.cells) {
                ASSERT_GE(c.item, 1) << count << " " << position;
                ASSERT_LE(c.item, count) << count << " " << position;
            }
            ASSERT_GE(p.position, 0);
            ASSERT_LE(p.selectItem, count);
        }
    }
    EXPECT_EQ(itemsOf(MosaicStep(3 - MosaicBackStep, 5, QSize(300, 300))), range(1, 5));
    EXPECT_TRUE(MosaicStep(0, 0, QSize(300, 300)).cells.empty());
    EXPECT_EQ(MosaicItems(1, 10), range(2, 10));
}

TEST(ZoomModes, SwitchingStopsTheShowAndSetsTheTags)
{
    ZoomShowState s;
    EXPECT_FALSE(s.slideshow || s.mosaic || s.running);
    EXPECT_FALSE(s.singleImageSteps()); // the first state steps mosaics
    EXPECT_EQ(ChooseShowMode(s, true, 4), ModeDrawing::MosaicStep);
    EXPECT_TRUE(s.mosaic);
    EXPECT_FALSE(s.slideshow);
    EXPECT_EQ(s.timerTag, QStringLiteral("1"));
    EXPECT_EQ(s.menuTag, QStringLiteral("1"));
    StartStop(s, 7);
    EXPECT_TRUE(s.running);
    EXPECT_EQ(s.mosaicPosition, 7);
    s.tickCount = 5;
    EXPECT_EQ(ChooseShowMode(s, false, 3), ModeDrawing::SingleImage); // "&Slideshow" while mosaic
    EXPECT_TRUE(s.slideshow);
    EXPECT_FALSE(s.running);
    EXPECT_EQ(s.tickCount, 0);
    EXPECT_EQ(s.mosaicPosition, 3);
    EXPECT_TRUE(s.timerTag.isEmpty());
    EXPECT_TRUE(s.singleItemsEnabled());
    // "&Slideshow" when it is checked turns to the mosaic; so does "&Mosaicshow"
    // when unchecked. Either way the timer steps what is shown.
    EXPECT_EQ(ChooseShowMode(s, false, 3), ModeDrawing::MosaicStep);
    EXPECT_EQ(s.timerTag, QStringLiteral("1"));
    EXPECT_EQ(ChooseShowMode(s, true, 3), ModeDrawing::SingleImage);
    EXPECT_TRUE(s.timerTag.isEmpty());
    StartStop(s, 0);
    EXPECT_EQ(s.mosaicPosition, 3); // no selection keeps the position
}

TEST(ZoomModes, TickResetsTheZoomUnlessLocked)
{
    ZoomShowState s;
    s.delay = 1000;
    TickAction a;
    for (int i = 0; i < 5; ++i)
        a = Tick(s);
    EXPECT_TRUE(a.step);
    EXPECT_TRUE(a.resetZoom);
    EXPECT_FALSE(a.mosaic);
    s.zoomLock = true;
    s.timerTag = QStringLiteral("1");
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(Tick(s).step);
    a = Tick(s);
    EXPECT_TRUE(a.step);
    EXPECT_FALSE(a.resetZoom);
    EXPECT_TRUE(a.mosaic);
}

TEST(ZoomMenu, CaptionsInOrder)
{
    QStringList captions;
    for (const ZoomMenuRow &r : ZoomMenuRows())
        if (r.item != ZoomMenuItem::Info0 && r.item != ZoomMenuItem::Info1)
            captions << r.caption;
    EXPECT_EQ(captions,
        QStringList({ "-",
            "&Slideshow",
            "&Mosaicshow",
            ".....Start",
            "-",
            "Zoom &Lock",
            "-",
            "&Next         [Pg Down or Space]",
            "&Previous   [Pg Up or Alt Space]",
            "-",
            "&Delete",
            "-",
            "Fit Auto",
            "Fit Normal",
            "Fit Width",
            "Fit Height",
            "-",
            "&Options",
            "-",
            "E&xit           [Esc or Enter]" }));
    EXPECT_EQ(ZoomFitMode(0), QStringLiteral("FitAuto"));
    EXPECT_EQ(ZoomFitMode(1), QStringLiteral("FitNormal"));
    EXPECT_EQ(ZoomFitIndex(QStringLiteral("FitHeight")), 3);
    EXPECT_EQ(ZoomFitIndex(QStringLiteral("Fit")), -1);
    EXPECT_EQ(ZoomInfoLines("a.jpg", "1,234", "JPEG 640x480"), QStringList({ "a.jpg", "1,234 bytes,  JPEG 640x480" }));
}

TEST(ZoomPointer, MovedWhereThePlatformAllowsIt)
{
    EXPECT_TRUE(PlatformMovesPointer(QStringLiteral("xcb")));
    EXPECT_TRUE(PlatformMovesPointer(QStringLiteral("offscreen")));
    EXPECT_FALSE(PlatformMovesPointer(QStringLiteral("wayland")));
    EXPECT_FALSE(PlatformMovesPointer(QStringLiteral("wayland-egl")));
    EXPECT_EQ(ViewerPointerAt, QPoint(8, 8));
}

TEST(ZoomKeys, TableRowsAndConditions)
{
    ZoomShowState initial, single, mosaic;
    single.slideshow = true;
    mosaic.mosaic = true;
    const auto cmd = [](int key, Qt::KeyboardModifiers m, const ZoomShowState &s) {
        const auto a = ZoomKeyLookup(key, m, s);
        return a ? int(a->command) : -1;
    };
    // Every row runs its command where its condition holds.
    for (const ZoomKeyRow &r : ZoomKeyTable()) {
        Qt::KeyboardModifiers m;
        if (r.pad == KeyPad::Only)
            m |= Qt::KeypadModifier;
        if (r.alt == AltRule::With)
            m |= Qt::AltModifier;
        const auto a = ZoomKeyLookup(r.key, m, single);
        ASSERT_TRUE(a.has_value()) << r.key;
        EXPECT_EQ(a->command, r.command) << r.key;
        EXPECT_EQ(a->arg, r.arg);
    }
    using C = ZoomCommand;
    EXPECT_EQ(cmd(Qt::Key_Space, {}, initial), int(C::Next));
    EXPECT_EQ(cmd(Qt::Key_Space, Qt::AltModifier, initial), int(C::Previous));
    EXPECT_EQ(cmd(Qt::Key_PageDown, Qt::AltModifier, initial), int(C::Previous));
    EXPECT_EQ(cmd(Qt::Key_PageUp, {}, mosaic), int(C::Previous));
    EXPECT_EQ(cmd(Qt::Key_Delete, {}, initial), int(C::Delete));
    EXPECT_EQ(cmd(Qt::Key_Delete, {}, mosaic), -1);
    // Zoom keys only in single-image mode, and + - * / only from the numeric pad.
    for (const ZoomShowState *s : { &initial, &mosaic }) {
        EXPECT_EQ(cmd(Qt::Key_Plus, Qt::KeypadModifier, *s), -1);
        EXPECT_EQ(cmd(Qt::Key_Minus, Qt::KeypadModifier, *s), -1);
        EXPECT_EQ(cmd(Qt::Key_3, {}, *s), -1);
        EXPECT_EQ(cmd(Qt::Key_5, Qt::KeypadModifier, *s), -1);
    }
    EXPECT_EQ(cmd(Qt::Key_Plus, {}, single), -1);
    EXPECT_EQ(cmd(Qt::Key_Asterisk, {}, single), -1);
    EXPECT_EQ(cmd(Qt::Key_Asterisk, Qt::KeypadModifier, mosaic), int(C::DelayUp));
    EXPECT_EQ(cmd(Qt::Key_Slash, Qt::KeypadModifier, initial), int(C::DelayDown));
    EXPECT_EQ(cmd(Qt::Key_F4, Qt::AltModifier, single), -1);
    EXPECT_EQ(cmd(Qt::Key_Escape, {}, mosaic), int(C::Close));
    EXPECT_EQ(cmd(Qt::Key_Enter, Qt::KeypadModifier, mosaic), int(C::Close));
    EXPECT_EQ(cmd(Qt::Key_A, {}, single), -1);
    const auto digit = ZoomKeyLookup(Qt::Key_4, Qt::KeypadModifier, single);
    ASSERT_TRUE(digit.has_value());
    EXPECT_EQ(digit->arg, 4);
}

TEST(ZoomPan, KeyboardSteps)
{
    // 21 steps of 4 pixels at most.
    std::vector<int> steps = KeyboardPanOffsets(100, 200, 1000, 1, 4, 21);
    ASSERT_EQ(steps.size(), 21u);
    EXPECT_EQ(steps.front(), 104);
    EXPECT_EQ(steps.back(), 184);
    // Never to 0: the run stops while the offset is still at least 1.
    EXPECT_EQ(KeyboardPanOffsets(10, 200, 1000, -1, 4, 21), (std::vector<int> { 6, 2 }));
    EXPECT_TRUE(KeyboardPanOffsets(4, 200, 1000, -1, 4, 21).empty());
    // Never past the far edge.
    EXPECT_EQ(KeyboardPanOffsets(795, 200, 1000, 1, 4, 21), (std::vector<int> { 799 }));
    EXPECT_TRUE(KeyboardPanOffsets(800, 200, 1000, 1, 4, 21).empty());
    // A centred axis does not move.
    EXPECT_TRUE(KeyboardPanOffsets(0, 400, 300, 1, 4, 21).empty());
    EXPECT_TRUE(KeyboardPanOffsets(0, 400, 300, -1, 4, 21).empty());
    // Home and End on a short image do nothing.
    EXPECT_FALSE(TopOffset(500, 600).has_value());
    EXPECT_FALSE(BottomOffset(600, 600).has_value());
    EXPECT_EQ(TopOffset(1000, 600), 1);
    EXPECT_EQ(BottomOffset(1000, 600), 400);
}

namespace
{
// The view as a full redraw shows it: each image pixel is its own colour, margins 0.
QImage render(const PanGeometry &g)
{
    QImage view(g.viewW, g.viewH, QImage::Format_RGB32);
    view.fill(0u);
    const PanCopy c = RedrawAtOffset(g, 0, 0);
    for (int y = 0; y < c.source.height(); ++y)
        for (int x = 0; x < c.source.width(); ++x) {
            const QPoint at = c.destination + QPoint(x, y);
            if (view.rect().contains(at))
                view.setPixel(at, 0xFF000000u | uint((c.source.y() + y) * 4096 + c.source.x() + x + 1));
        }
    return view;
}
} // namespace

TEST(ZoomPan, IncrementalPanEqualsAFullRedraw)
{
    const PanGeometry shapes[] = {
        { 40, 30, 100, 80, 30, 25 }, // pans both ways
        { 40, 30, 100, 20, 30, 0 }, // centred vertically
        { 40, 30, 30, 90, 0, 40 }, // centred horizontally
        { 40, 30, 41, 31, 1, 1 }, // one pixel of room
    };
    const QPoint moves[] = { { 3, 0 }, { -5, 2 }, { 0, -7 }, { 60, 60 }, { -60, 1 }, { 1, 1 }, { 0, 0 } };
    for (const PanGeometry &g : shapes) {
        for (const QPoint &m : moves) {
            const QImage before = render(g);
            const PanScroll s = IncrementalPan(g, m.x(), m.y());
            EXPECT_EQ(s.offsets, PanOffsets(g, m.x(), m.y()));
            PanGeometry after = g;
            after.srcX = s.offsets.x();
            after.srcY = s.offsets.y();
            const QImage full = render(after);
            // The block copy (what it does not reach keeps its pixels: margins), then
            // the strips from the composed image.
            QImage shown = before.copy();
            for (int y = 0; y < shown.height(); ++y)
                for (int x = 0; x < shown.width(); ++x) {
                    const QPoint from = QPoint(x, y) - s.shift;
                    if (before.rect().contains(from))
                        shown.setPixel(x, y, before.pixel(from));
                }
            int stripPixels = 0;
            for (const QRect &r : s.strips) {
                stripPixels += r.width() * r.height();
                for (int y = r.top(); y <= r.bottom(); ++y)
                    for (int x = r.left(); x <= r.right(); ++x) {
                        const QPoint src = QPoint(x, y) + s.origin;
                        shown.setPixel(x, y, 0xFF000000u | uint(src.y() * 4096 + src.x() + 1));
                    }
            }
            EXPECT_EQ(shown, full) << g.imageW << "x" << g.imageH << " move " << m.x() << "," << m.y();
            // Only what the move uncovered is drawn anew.
            const QPoint d = s.offsets - QPoint(g.srcX, g.srcY);
            EXPECT_LE(stripPixels, std::abs(d.x()) * g.viewH + std::abs(d.y()) * g.viewW);
        }
    }
}
