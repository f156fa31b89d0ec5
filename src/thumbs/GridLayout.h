// The thumbnail grid's arithmetic: cells, rows and columns, the tile strip's rows,
// hit testing, keyboard moves and drag scrolling. Numbers in, numbers out, so the
// grid's rules are tested without a window; the grid painter and the pane's mouse
// handling only gather input and apply the results.
//
// Threads: any.
#pragma once

#include <QRect>
#include <QString>
#include <functional>

namespace v7
{

constexpr int CaptionStripHeight = 30;

struct GridGeometry {
    int thumbW = 96, thumbH = 72, marginW = 20, marginH = 20;
    int cellW = 136, cellH = 112;
    int columns = 1;
    int rows = 1;
    int fileCount = 0;
};

// Cells of ThumbW + 2 MarginW by ThumbH + 2 MarginH; a pane narrower than one cell
// counts as one cell wide, so there is always a column; rows = count / columns + 1.
GridGeometry ComputeGrid(int thumbW, int thumbH, int marginW, int marginH, int paneWidth, int fileCount);

// The cell of file index i with the grid scrolled by scroll pixels.
QRect CellRect(const GridGeometry &g, int index, int scroll);
// The thumbnail area inside a cell, and the caption strip right below it.
QRect ThumbArea(const GridGeometry &g, const QRect &cell);
QRect CaptionStrip(const GridGeometry &g, const QRect &cell);

// Content height (rows x cell height) and the largest scroll offset that still
// shows the last row at the bottom (0 when everything fits).
int ContentHeight(const GridGeometry &g);
int MaxScroll(const GridGeometry &g, int visibleHeight);

// The tile strip: the visible rows plus two above and two below.
int VisibleRows(const GridGeometry &g, int visibleHeight); // rows touching the box
int TopRow(const GridGeometry &g, int scroll, int dragOffset);
int StripTileCount(const GridGeometry &g, int visibleHeight); // (V + 4) x columns
int StripFirstIndex(const GridGeometry &g, int topRow); // file index of tile 0
enum class StripUpdate { None, ShiftDown, ShiftUp, Refill };
// What a new top row asks of a strip whose top row was oldTop: nothing, a shift by
// exactly one row (one new row of tiles to fill), or filling every tile again.
StripUpdate StripUpdateFor(int oldTop, int newTop, bool stripExists);

// The file hit by a press at (x, y) of the box: a 1-based item, or 0 below the last
// cell. onCornerMark tells whether the point lies on the cell's 16 x 16 corner mark.
int ThumbHitTest(const GridGeometry &g, int boxWidth, int x, int y, int scroll, bool *onCornerMark = nullptr);

// The arrow keys in the pane. Returns the new position; scroll is updated so the
// selected cell is wholly visible (Up at the top row only scrolls to the top).
enum class GridKey { Left, Right, Up, Down, Other };
int MoveThumbSelection(const GridGeometry &g, GridKey key, int position, int visibleHeight, int &scroll);
// The scroll offset that shows the whole cell of index, moving as little as possible
// from scroll (to the top for the first row); scroll itself when it already shows it.
int ScrollToShow(const GridGeometry &g, int index, int visibleHeight, int scroll);

// A grab-drag: the scroll offset for a pointer moved by dy since the press, kept
// so that the grid moves exactly between its top and its last row.
int DragScroll(const GridGeometry &g, int visibleHeight, int scrollAtPress, int pressY, int currentY);

// Caption line 1: the name, or its longest prefix that fits with "..." appended,
// within maxWidth as measured by width().
QString ShortenCaption(const QString &text, int maxWidth, const std::function<int(const QString &)> &width);

} // namespace v7
