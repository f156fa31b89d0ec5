#include "imaging/Pan.h"

#include <gtest/gtest.h>

using namespace v7;

TEST(Pan, OffsetsNeverShowBeyondTheImage)
{
    // Smaller than the pane both ways: nothing moves, the image stays centred.
    const PanGeometry small { 400, 300, 100, 50, 0, 0 };
    EXPECT_EQ(PanOffsets(small, 500, -500), QPoint(0, 0));
    const PanCopy centred = RedrawAtOffset(small, 30, 30);
    EXPECT_EQ(centred.destination, QPoint(150, 125));
    EXPECT_EQ(centred.source, QRect(0, 0, 100, 50));
    EXPECT_TRUE(centred.margins);

    // Wider than the pane: dragging right as far as it goes leaves offset 1 (0 is the
    // centred state), dragging left aligns the right edges; the other axis is centred.
    const PanGeometry wide { 400, 300, 1000, 200, 300, 0 };
    EXPECT_EQ(PanOffsets(wide, -10000, 0), QPoint(1, 0));
    EXPECT_EQ(PanOffsets(wide, 10000, 0), QPoint(600, 0));
    EXPECT_EQ(PanOffsets(wide, 25, 99), QPoint(325, 0));
    const PanGeometry atOne { 400, 300, 1000, 200, 1, 0 };
    EXPECT_EQ(PanOffsets(atOne, 5, 0), QPoint(6, 0)); // a later drag still works
    const PanCopy c = RedrawAtOffset(wide, 25, 0);
    EXPECT_EQ(c.source, QRect(325, 0, 400, 200));
    EXPECT_EQ(c.destination, QPoint(0, 50));
    EXPECT_TRUE(c.margins);

    // Larger both ways: a straight copy, no margins.
    const PanCopy big = RedrawAtOffset({ 400, 300, 800, 900, 200, 300 }, -50, 40);
    EXPECT_EQ(big.source, QRect(150, 340, 400, 300));
    EXPECT_FALSE(big.margins);
}

TEST(Pan, EveryDragStaysInsideTheImage)
{
    for (int image = 50; image <= 900; image += 85)
        for (int start = 0; start <= image; start += 37)
            for (int d = -1000; d <= 1000; d += 111) {
                const PanGeometry g {
                    300, 300, image, image, image > 300 ? std::max(1, std::min(start, image - 300)) : 0, 0
                };
                const PanCopy c = RedrawAtOffset(g, d, d);
                EXPECT_GE(c.source.left(), 0);
                EXPECT_LE(c.source.right(), image - 1);
                if (image > 300) {
                    EXPECT_GE(c.source.left(), 1);
                }
            }
}
