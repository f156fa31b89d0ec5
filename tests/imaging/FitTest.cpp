#include "imaging/Fit.h"

#include <QRegion>
#include <QString>
#include <cmath>
#include <gtest/gtest.h>

using namespace v7;

namespace
{

struct FitCase {
    const char *mode;
    int iw, ih, bw, bh;
    int ow, oh;
};

class FitSizeTable : public ::testing::TestWithParam<FitCase>
{
};

TEST_P(FitSizeTable, GivesTheTabledSize)
{
    const FitCase c = GetParam();
    int w = -1, h = -1;
    ASSERT_TRUE(ComputeFitSize(QString::fromLatin1(c.mode), c.iw, c.ih, c.bw, c.bh, w, h));
    EXPECT_EQ(w, c.ow);
    EXPECT_EQ(h, c.oh);
}

INSTANTIATE_TEST_SUITE_P(Examples,
    FitSizeTable,
    // The sweep below holds FitAuto, FitWidth and FitHeight to the box, the aspect
    // and the rounding; these rows pin what it cannot: FitNormal, ties at halves and
    // sizes whose products pass 32 bits.
    ::testing::Values(FitCase { "FitNormal", 800, 600, 400, 400, 800, 600 },
        FitCase { "FitNormal", 100, 50, 400, 400, 100, 50 }, // small images are enlarged by FitAuto only
        // halves go to the even neighbour
        FitCase { "FitWidth", 4, 3, 2, 9, 2, 2 },
        FitCase { "FitWidth", 4, 5, 2, 9, 2, 2 },
        FitCase { "FitWidth", 4, 7, 2, 9, 2, 4 },
        FitCase { "FitHeight", 5, 4, 9, 2, 2, 2 },
        FitCase { "FitHeight", 7, 4, 9, 2, 4, 2 },
        FitCase { "FitWidth", 70000, 50000, 60000, 10, 60000, 42857 },
        FitCase { "FitAuto", 70000, 50000, 60000, 60000, 60000, 42857 }));

TEST(ComputeFitSize, UnknownModeOrNothingToDivideByLeavesOutputUnchanged)
{
    for (const auto &[mode, bw, bh] : { std::tuple { "fitauto", 10, 10 },
             std::tuple { "", 10, 10 },
             std::tuple { "FitAuto", 0, 10 },
             std::tuple { "FitWidth", 0, 10 },
             std::tuple { "FitHeight", 10, -1 } }) {
        int w = 7, h = 9;
        EXPECT_FALSE(ComputeFitSize(QString::fromLatin1(mode), 100, 50, bw, bh, w, h)) << mode;
        EXPECT_EQ(w, 7);
        EXPECT_EQ(h, 9);
    }
}

TEST(ComputeFitSize, SweepFitsTheBoxAndNoAxisIsZero)
{
    for (int iw = 1; iw <= 48; iw += 1)
        for (int ih = 1; ih <= 48; ih += 3)
            for (const auto &[bw, bh] :
                { std::pair { 16, 16 }, std::pair { 40, 9 }, std::pair { 7, 33 }, std::pair { 96, 72 } }) {
                SCOPED_TRACE(testing::Message() << iw << "x" << ih << " in " << bw << "x" << bh);
                int w = 0, h = 0;
                ASSERT_TRUE(ComputeFitSize(u"FitAuto", iw, ih, bw, bh, w, h));
                EXPECT_TRUE((w == bw && h <= bh) || (h == bh && w <= bw));
                EXPECT_GE(w, 1);
                EXPECT_GE(h, 1);
                // The other axis is the largest that keeps the aspect ratio.
                if (w == bw && h > 1) {
                    EXPECT_LE(std::int64_t(h) * iw, std::int64_t(ih) * bw);
                }
                if (w == bw) {
                    EXPECT_GT(std::int64_t(h + 1) * iw, std::int64_t(ih) * bw);
                }
                if (h == bh && w > 1) {
                    EXPECT_LE(std::int64_t(w) * ih, std::int64_t(iw) * bh);
                }
                if (h == bh) {
                    EXPECT_GT(std::int64_t(w + 1) * ih, std::int64_t(iw) * bh);
                }

                ASSERT_TRUE(ComputeFitSize(u"FitWidth", iw, ih, bw, bh, w, h));
                EXPECT_EQ(w, bw);
                EXPECT_GE(h, 1);
                EXPECT_LE(std::abs(h - double(ih) * bw / iw), 0.5 + (h == 1 ? 1 : 0));

                ASSERT_TRUE(ComputeFitSize(u"FitHeight", iw, ih, bw, bh, w, h));
                EXPECT_EQ(h, bh);
                EXPECT_GE(w, 1);
                EXPECT_LE(std::abs(w - double(iw) * bh / ih), 0.5 + (w == 1 ? 1 : 0));
            }
}

struct PlaceCase {
    int vw, vh, iw, ih;
    Placement expected;
};

TEST(PlaceInView, CentresSmallerAndCropsLargerAroundTheCentre)
{
    const PlaceCase rows[] = {
        { 400, 400, 400, 300, { 400, 300, 0, 50, 0, 0 } },
        { 400, 400, 100, 50, { 100, 50, 150, 175, 0, 0 } },
        { 400, 400, 800, 600, { 400, 400, 0, 0, 200, 100 } },
        { 400, 300, 600, 200, { 400, 200, 0, 50, 100, 0 } },
        // rounding of the centring: 25.5 -> 26, 26.5 -> 26, 24.5 -> 24
        { 101, 10, 50, 10, { 50, 10, 26, 0, 0, 0 } },
        { 103, 10, 50, 10, { 50, 10, 26, 0, 0, 0 } },
        { 100, 10, 51, 10, { 51, 10, 24, 0, 0, 0 } },
        // and of the crop: 0.5 -> 0, 1.5 -> 2
        { 100, 10, 101, 10, { 100, 10, 0, 0, 0, 0 } },
        { 100, 10, 103, 10, { 100, 10, 0, 0, 2, 0 } },
    };
    for (const PlaceCase &c : rows) {
        const Placement p = PlaceInView(c.vw, c.vh, c.iw, c.ih);
        EXPECT_EQ(p, c.expected) << c.iw << "x" << c.ih << " in " << c.vw << "x" << c.vh << ": got " << p.w << "x"
                                 << p.h << " at " << p.x << "," << p.y << " from " << p.srcX << "," << p.srcY;
    }
}

TEST(MarginRects, SweepMarginsAndImageTileTheView)
{
    for (int vw = 1; vw <= 24; ++vw)
        for (int vh = 1; vh <= 24; vh += 5)
            for (int iw = 1; iw <= 30; iw += 2)
                for (int ih = 1; ih <= 30; ih += 3) {
                    const Placement p = PlaceInView(vw, vh, iw, ih);
                    const QRect view(0, 0, vw, vh);
                    const QRect image(p.x, p.y, p.w, p.h);
                    ASSERT_TRUE(view.contains(image)) << vw << "x" << vh << " " << iw << "x" << ih;
                    ASSERT_TRUE(QRect(0, 0, iw, ih).contains(QRect(p.srcX, p.srcY, p.w, p.h)));
                    QRegion margins;
                    for (const QRect &r : marginRects(p, QSize(vw, vh)))
                        margins += r;
                    ASSERT_TRUE(margins.intersected(image).isEmpty()) << vw << "x" << vh << " " << iw << "x" << ih;
                    ASSERT_EQ(margins + image, QRegion(view)) << vw << "x" << vh << " " << iw << "x" << ih;
                }
}

TEST(ComposedWindow, TheVisiblePartWithAQuarterViewAroundItOrTheWhole)
{
    const QSize view(400, 300);
    // Not much larger than the view: whole.
    EXPECT_EQ(ComposedWindow(QSize(600, 450), view, QRect(100, 75, 400, 300)), QRect(0, 0, 600, 450));
    EXPECT_EQ(ComposedWindow(QSize(200, 100), view, QRect(0, 0, 200, 100)), QRect(0, 0, 200, 100));
    // Larger in one axis only.
    EXPECT_EQ(ComposedWindow(QSize(601, 300), view, QRect(100, 0, 400, 300)), QRect(0, 0, 600, 300));
    EXPECT_EQ(ComposedWindow(QSize(602, 300), view, QRect(101, 0, 400, 300)), QRect(1, 0, 600, 300));
    // Far inside a huge image, and against its edges.
    EXPECT_EQ(ComposedWindow(QSize(40000, 30000), view, QRect(19800, 14850, 400, 300)), QRect(19700, 14775, 600, 450));
    EXPECT_EQ(ComposedWindow(QSize(40000, 30000), view, QRect(1, 1, 400, 300)), QRect(0, 0, 501, 376));
    EXPECT_EQ(ComposedWindow(QSize(40000, 30000), view, QRect(39600, 29700, 400, 300)), QRect(39500, 29625, 500, 375));
    // Nothing visible (an empty pane) still gives a part to compose.
    EXPECT_EQ(ComposedWindow(QSize(2000, 1000), QSize(0, 0), QRect(1000, 500, 0, 0)), QRect(1000, 500, 1, 1));
    // Invariant: the part covers what is needed, stays in the image and never
    // exceeds the view with its margins.
    for (int w = 1; w <= 5000; w += 397)
        for (int x = 0; x + 400 <= std::max(w, 400); x += 173) {
            const QRect needed = QRect(x, 0, std::min(400, w), 300).intersected(QRect(0, 0, w, 300));
            const QRect part = ComposedWindow(QSize(w, 300), view, needed);
            ASSERT_TRUE(part.contains(needed)) << w << " " << x;
            ASSERT_TRUE(QRect(0, 0, w, 300).contains(part)) << w << " " << x;
            ASSERT_LE(part.width(), 600) << w << " " << x;
        }
}

TEST(FitThumbCell, CellFitsAndZeroSides)
{
    EXPECT_EQ(fitThumbCell(30, 20, 96, 72, 1), QSize(96, 64));
    EXPECT_EQ(fitThumbCell(20, 30, 96, 72, 1), QSize(48, 72));
    EXPECT_EQ(fitThumbCell(960, 720, 96, 72, 1), QSize(96, 72));
    EXPECT_EQ(fitThumbCell(1000, 1, 96, 72, 1), QSize(96, 1));
    EXPECT_EQ(fitThumbCell(1000, 1, 96, 72, 2), QSize(96, 2));
    EXPECT_EQ(fitThumbCell(1, 1000, 96, 72, 2), QSize(2, 72));
    EXPECT_EQ(cellOffsets(QSize(30, 20), QSize(96, 72)), QPoint(33, 26));
    EXPECT_EQ(cellOffsets(QSize(96, 64), QSize(96, 72)), QPoint(0, 4));
    EXPECT_EQ(cellOffsets(QSize(91, 67), QSize(96, 72)), QPoint(2, 2)); // 2.5 -> 2
    for (int iw = 1; iw <= 300; iw += 7)
        for (int ih = 1; ih <= 300; ih += 11) {
            const QSize f = fitThumbCell(iw, ih, 96, 72, 1);
            EXPECT_TRUE(f.width() >= 1 && f.height() >= 1 && f.width() <= 96 && f.height() <= 72) << iw << "x" << ih;
            EXPECT_TRUE(f.width() == 96 || f.height() == 72);
        }
}

} // namespace
