#include "mainwin/PaneLayout.h"

#include <gtest/gtest.h>

using namespace v7;

TEST(PaneLayout, TheFormulas)
{
    PaneLayoutInput in;
    in.clientWidth = 1000;
    in.clientHeight = 766; // usable height 700
    in.splitX = 200;
    in.splitRatio = 0.5;
    const PaneLayoutResult r = SizeControlsX(in);
    ASSERT_TRUE(r.valid);
    EXPECT_EQ(r.tree, QRect(0, 46, 199, 350));
    EXPECT_EQ(r.files, QRect(0, 400, 199, 346)); // 4 pixels below the tree, ends 20 above the bottom
    EXPECT_EQ(r.base, QRect(203, 46, 794, 700));
    const int column = 2 * (96 + 40) + 6;
    EXPECT_EQ(ThumbColumnWidth(2, 96, 20), column);
    EXPECT_EQ(r.image, QRect(0, 0, 794 - column, 700));
    EXPECT_EQ(r.thumb0, QRect(794 - column, 0, column, 700));
    EXPECT_TRUE(r.thumb1.isEmpty());

    in.splitTy = 300; // two thumbnail boxes around the bar
    const PaneLayoutResult two = SizeControlsX(in);
    EXPECT_EQ(two.thumb0.height(), 300);
    EXPECT_EQ(two.thumb1, QRect(794 - column, 310, column, 390));
    in.splitTy = 699; // within 2 pixels of the bottom: one box
    EXPECT_TRUE(SizeControlsX(in).thumb1.isEmpty());

    in.clientHeight = 115; // usable height 49: nothing is laid out
    EXPECT_FALSE(SizeControlsX(in).valid);
}

TEST(PaneLayout, EverySizeFitsTheClient)
{
    for (int w = 0; w <= 1200; w += 37)
        for (int p = -10; p <= 1300; p += 53)
            for (int mask = 0; mask < 8; ++mask) {
                PaneLayoutInput in;
                in.clientWidth = w;
                in.clientHeight = 500;
                in.splitX = p;
                in.showTree = mask & 1;
                in.showImage = mask & 2;
                in.showThumbs = mask & 4;
                const PaneLayoutResult r = SizeControlsX(in);
                ASSERT_TRUE(r.valid);
                const QRect client(0, 0, w, 500);
                for (const QRect &rect : { r.tree, r.files, r.base })
                    if (!rect.isEmpty()) {
                        EXPECT_TRUE(client.contains(rect)) << w << " " << p << " " << mask;
                    }
                const QRect area(0, 0, r.base.width(), r.base.height());
                for (const QRect &rect : { r.image, r.thumb0 })
                    if (!rect.isEmpty()) {
                        EXPECT_TRUE(area.contains(rect)) << w << " " << p << " " << mask;
                    }
                EXPECT_GE(r.tree.width(), 0);
                EXPECT_GE(r.image.width(), 0);
            }
}

TEST(PaneLayout, SplitterBars)
{
    EXPECT_DOUBLE_EQ(SplitRatioFor(46 + 175, 766), 0.25); // usable height 700
    EXPECT_DOUBLE_EQ(SplitRatioFor(10, 766), 0.0);
    EXPECT_EQ(ClampSplitTy(300, 100, 700), 300);
    EXPECT_EQ(ClampSplitTy(698, 300, 700), 300); // within 2 pixels of the bottom: stays
    EXPECT_EQ(ClampSplitTy(-5, 300, 700), 0);

    PaneLayoutInput in;
    in.clientWidth = 1000;
    in.clientHeight = 766;
    in.splitRatio = 0.25;
    in.splitTy = 200;
    const PaneLayoutResult r = SizeControlsX(in);
    EXPECT_EQ(r.splitY, QRect(0, 46 + 175, 181, 4));
    EXPECT_EQ(r.splitTy.top(), 200);
    EXPECT_EQ(r.splitTy.height(), 10);
    EXPECT_EQ(r.thumb1.top(), r.splitTy.bottom() + 1);
}
