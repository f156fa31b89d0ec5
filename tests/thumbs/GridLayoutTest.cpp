#include "thumbs/GridLayout.h"

#include <gtest/gtest.h>

using namespace v7;

TEST(GridLayout, CellsColumnsAndRows)
{
    const GridGeometry g = ComputeGrid(96, 72, 20, 20, 500, 7);
    EXPECT_EQ(g.cellW, 136);
    EXPECT_EQ(g.cellH, 112);
    EXPECT_EQ(g.columns, 3);
    EXPECT_EQ(g.rows, 3);
    EXPECT_EQ(CellRect(g, 4, 50), QRect(136, 112 - 50, 136, 112));
    EXPECT_EQ(ThumbArea(g, CellRect(g, 0, 0)), QRect(20, 20, 96, 72));
    EXPECT_EQ(CaptionStrip(g, CellRect(g, 0, 0)), QRect(20, 92, 96, 30));
    EXPECT_EQ(ComputeGrid(96, 72, 20, 20, 40, 5).columns, 1); // narrower than a cell
    EXPECT_EQ(ComputeGrid(96, 72, 20, 20, 0, 0).rows, 1);
    EXPECT_EQ(ContentHeight(g), 336);
    EXPECT_EQ(MaxScroll(g, 300), 36);
    EXPECT_EQ(MaxScroll(g, 400), 0);
}

TEST(GridLayout, HitTestAndCornerMark)
{
    const GridGeometry g = ComputeGrid(96, 72, 20, 20, 420, 7);
    bool mark = true;
    EXPECT_EQ(ThumbHitTest(g, 420, 300, 70, 50, &mark), 6); // column 2, row 1
    EXPECT_FALSE(mark);
    EXPECT_EQ(ThumbHitTest(g, 420, 10, 250, 0), 7);
    EXPECT_EQ(ThumbHitTest(g, 420, 150, 250, 0), 0); // below the last cell
    EXPECT_EQ(ThumbHitTest(g, 420, 415, 10, 0), 0); // right of the last column
    EXPECT_EQ(ThumbHitTest(g, 420, 136 - 5, 3, 0, &mark), 1);
    EXPECT_TRUE(mark);
    EXPECT_EQ(ThumbHitTest(g, 420, 136 - 17, 3, 0, &mark), 1);
    EXPECT_FALSE(mark);
}

TEST(GridLayout, KeyboardMoves)
{
    const GridGeometry g = ComputeGrid(96, 72, 20, 20, 420, 7); // 3 columns, 7 files
    struct Row {
        GridKey key;
        int from, to;
    };
    const Row rows[] = {
        { GridKey::Down, 4, 4 }, // 4 + 3 > 6
        { GridKey::Down, 3, 6 },
        { GridKey::Left, 3, 2 },
        { GridKey::Left, 0, 0 },
        { GridKey::Right, 6, 6 },
        { GridKey::Right, 2, 3 },
        { GridKey::Up, 1, 1 },
        { GridKey::Up, 5, 2 },
        { GridKey::Other, 5, 5 },
    };
    for (const Row &r : rows) {
        int scroll = 0;
        EXPECT_EQ(MoveThumbSelection(g, r.key, r.from, 1000, scroll), r.to) << r.from;
    }
    // Moving down into a row below the box scrolls it into view; Up in the top row
    // of a scrolled grid goes back to the top.
    int scroll = 0;
    EXPECT_EQ(MoveThumbSelection(g, GridKey::Down, 3, 150, scroll), 6);
    EXPECT_EQ(scroll, 3 * 112 - 150);
    EXPECT_EQ(MoveThumbSelection(g, GridKey::Up, 6, 150, scroll), 3);
    EXPECT_LE(scroll, 112);
    EXPECT_GE(scroll + 150, 2 * 112);
    scroll = 40;
    EXPECT_EQ(MoveThumbSelection(g, GridKey::Up, 1, 150, scroll), 1);
    EXPECT_EQ(scroll, 0);
}

TEST(GridLayout, EveryMoveKeepsTheSelectionVisible)
{
    for (int count = 1; count <= 40; count += 3)
        for (int width : { 100, 300, 600 })
            for (int visible : { 120, 200, 500 }) {
                const GridGeometry g = ComputeGrid(96, 72, 20, 20, width, count);
                int scroll = 0, p = 0;
                for (GridKey key : { GridKey::Down,
                         GridKey::Down,
                         GridKey::Right,
                         GridKey::Down,
                         GridKey::Up,
                         GridKey::Left,
                         GridKey::Down,
                         GridKey::Down,
                         GridKey::Up }) {
                    p = MoveThumbSelection(g, key, p, visible, scroll);
                    ASSERT_GE(p, 0);
                    ASSERT_LT(p, count);
                    const QRect cell = CellRect(g, p, scroll);
                    EXPECT_GE(cell.top(), 0) << count << " " << width << " " << visible;
                    if (g.cellH <= visible) {
                        EXPECT_LE(cell.bottom(), visible - 1) << count << " " << width << " " << visible;
                    }
                }
            }
}

TEST(GridLayout, DragsStayBetweenTopAndLastRow)
{
    const GridGeometry g = ComputeGrid(96, 72, 20, 20, 420, 30); // 11 rows
    EXPECT_EQ(DragScroll(g, 300, 0, 100, 300), 0); // pulled down at the top: stays
    EXPECT_EQ(DragScroll(g, 300, 0, 300, 100), 200);
    EXPECT_EQ(DragScroll(g, 300, 100, 1500, 0), MaxScroll(g, 300)); // pushed past the last row: stops there
    const GridGeometry shortGrid = ComputeGrid(96, 72, 20, 20, 420, 2);
    EXPECT_EQ(DragScroll(shortGrid, 300, 0, 200, 0), 0); // shorter than its box: no drag
}

TEST(GridLayout, TileStripRows)
{
    const GridGeometry g = ComputeGrid(96, 72, 20, 20, 420, 100);
    EXPECT_EQ(TopRow(g, 0, 0), 0);
    EXPECT_EQ(TopRow(g, 111, 0), 0);
    EXPECT_EQ(TopRow(g, 112, 0), 1);
    EXPECT_EQ(TopRow(g, 112, 20), 0); // a drag moves the view before it moves the offset
    EXPECT_EQ(TopRow(g, 0, 10), -1);
    EXPECT_EQ(StripFirstIndex(g, 3), 3);
    EXPECT_EQ(StripTileCount(g, 300), (4 + 4) * 3);
    EXPECT_EQ(StripUpdateFor(2, 3, true), StripUpdate::ShiftUp);
    EXPECT_EQ(StripUpdateFor(3, 2, true), StripUpdate::ShiftDown);
    EXPECT_EQ(StripUpdateFor(3, 3, true), StripUpdate::None);
    EXPECT_EQ(StripUpdateFor(3, 5, true), StripUpdate::Refill);
    EXPECT_EQ(StripUpdateFor(3, 3, false), StripUpdate::Refill);
}

TEST(GridLayout, CaptionsShortenToFit)
{
    const auto width = [](const QString &s) { return int(s.size()) * 7; }; // 7 pixels a character
    EXPECT_EQ(ShortenCaption(QStringLiteral("short.jpg"), 130, width), QStringLiteral("short.jpg"));
    const QString longName = QStringLiteral("a_really_long_file_name_from_a_camera.jpg");
    const QString cut = ShortenCaption(longName, 130, width);
    EXPECT_TRUE(cut.endsWith(QStringLiteral("...")));
    EXPECT_LE(width(cut), 130);
    EXPECT_GT(width(longName.left(cut.size() - 3 + 1) + QStringLiteral("...")), 130); // the longest that fits
    EXPECT_TRUE(longName.startsWith(cut.left(cut.size() - 3)));
}

TEST(GridLayout, ScrollToShowMovesOnlyAsFarAsNeeded)
{
    const GridGeometry g = ComputeGrid(96, 72, 20, 20, 420, 60); // 3 columns, 21 rows of 112
    const int view = 300; // not quite 3 rows
    EXPECT_EQ(ScrollToShow(g, 4, view, 0), 0); // row 1 is whole already
    EXPECT_EQ(ScrollToShow(g, 7, view, 0), 3 * 112 - view); // row 2: its bottom at the view's bottom
    EXPECT_EQ(ScrollToShow(g, 30, view, 0), 11 * 112 - view);
    EXPECT_EQ(ScrollToShow(g, 30, view, 11 * 112 - view + 5), 11 * 112 - view + 5); // shown: unchanged
    EXPECT_EQ(ScrollToShow(g, 9, view, 5 * 112), 3 * 112); // above: its top at the view's top
    EXPECT_EQ(ScrollToShow(g, 1, view, 500), 0); // the first row: the grid's top
    EXPECT_EQ(ScrollToShow(g, 59, view, 0), 20 * 112 - view); // the last file's row
    EXPECT_EQ(ScrollToShow(g, -1, view, 77), 77); // no selection: no move
}
