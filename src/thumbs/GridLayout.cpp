#include "thumbs/GridLayout.h"

#include <algorithm>

namespace v7
{

GridGeometry ComputeGrid(int thumbW, int thumbH, int marginW, int marginH, int paneWidth, int fileCount)
{
    GridGeometry g;
    g.thumbW = thumbW;
    g.thumbH = thumbH;
    g.marginW = marginW;
    g.marginH = marginH;
    g.cellW = std::max(1, thumbW + 2 * marginW);
    g.cellH = std::max(1, thumbH + 2 * marginH);
    g.columns = std::max(1, std::max(paneWidth, g.cellW) / g.cellW);
    g.fileCount = std::max(0, fileCount);
    g.rows = g.fileCount / g.columns + 1;
    return g;
}

QRect CellRect(const GridGeometry &g, int index, int scroll)
{
    const int column = index % g.columns, row = index / g.columns;
    return QRect(column * g.cellW, row * g.cellH - scroll, g.cellW, g.cellH);
}

QRect ThumbArea(const GridGeometry &g, const QRect &cell)
{
    return QRect(cell.left() + g.marginW, cell.top() + g.marginH, g.thumbW, g.thumbH);
}

QRect CaptionStrip(const GridGeometry &g, const QRect &cell)
{
    const QRect thumb = ThumbArea(g, cell);
    return QRect(thumb.left(), thumb.bottom() + 1, g.thumbW, CaptionStripHeight);
}

int ContentHeight(const GridGeometry &g)
{
    return g.rows * g.cellH;
}

int MaxScroll(const GridGeometry &g, int visibleHeight)
{
    return std::max(0, ContentHeight(g) - visibleHeight);
}

int VisibleRows(const GridGeometry &g, int visibleHeight)
{
    // A row cut at the top and one cut at the bottom are both on screen.
    return std::max(1, (std::max(0, visibleHeight) + g.cellH - 1) / g.cellH + 1);
}

int TopRow(const GridGeometry &g, int scroll, int dragOffset)
{
    const int top = scroll - dragOffset;
    return top >= 0 ? top / g.cellH : -((-top + g.cellH - 1) / g.cellH);
}

int StripTileCount(const GridGeometry &g, int visibleHeight)
{
    return (VisibleRows(g, visibleHeight) + 4) * g.columns;
}

int StripFirstIndex(const GridGeometry &g, int topRow)
{
    return (topRow - 2) * g.columns;
}

StripUpdate StripUpdateFor(int oldTop, int newTop, bool stripExists)
{
    if (!stripExists)
        return StripUpdate::Refill;
    if (newTop == oldTop)
        return StripUpdate::None;
    if (newTop == oldTop + 1)
        return StripUpdate::ShiftUp; // tiles move up in the strip, a new row comes in at the bottom
    if (newTop == oldTop - 1)
        return StripUpdate::ShiftDown;
    return StripUpdate::Refill;
}

int ThumbHitTest(const GridGeometry &g, int boxWidth, int x, int y, int scroll, bool *onCornerMark)
{
    if (onCornerMark)
        *onCornerMark = false;
    const int columns = std::max(1, boxWidth / g.cellW);
    if (x < 0 || x >= columns * g.cellW || scroll + y < 0)
        return 0;
    const int column = x / g.cellW;
    const int row = (scroll + y) / g.cellH;
    const int item = row * columns + column + 1;
    if (item > g.fileCount)
        return 0;
    if (onCornerMark) {
        const int cellRight = (column + 1) * g.cellW;
        const int cellTop = row * g.cellH - scroll;
        *onCornerMark = x >= cellRight - 16 && x < cellRight && y >= cellTop && y < cellTop + 16;
    }
    return item;
}

int MoveThumbSelection(const GridGeometry &g, GridKey key, int position, int visibleHeight, int &scroll)
{
    const int n = g.fileCount, c = g.columns;
    int p = position;
    switch (key) {
    case GridKey::Left:
        if (p > 0)
            --p;
        break;
    case GridKey::Right:
        if (p < n - 1)
            ++p;
        break;
    case GridKey::Up:
        if (p - c < 0) {
            scroll = 0; // already in the top row: show the top of the grid
            return p;
        }
        p -= c;
        break;
    case GridKey::Down:
        if (p + c <= n - 1)
            p += c;
        break;
    case GridKey::Other:
        break;
    }
    scroll = ScrollToShow(g, p, visibleHeight, scroll);
    return p;
}

int ScrollToShow(const GridGeometry &g, int index, int visibleHeight, int scroll)
{
    if (index < 0 || g.columns <= 0)
        return scroll;
    const int row = index / g.columns;
    const int top = row * g.cellH, bottom = (row + 1) * g.cellH;
    if (row == 0)
        scroll = 0;
    else if (top < scroll)
        scroll = top;
    else if (bottom - scroll > visibleHeight)
        scroll = std::min(bottom - visibleHeight, std::max(0, MaxScroll(g, visibleHeight)));
    return std::max(0, scroll);
}

int DragScroll(const GridGeometry &g, int visibleHeight, int scrollAtPress, int pressY, int currentY)
{
    return std::clamp(scrollAtPress + (pressY - currentY), 0, MaxScroll(g, visibleHeight));
}

QString ShortenCaption(const QString &text, int maxWidth, const std::function<int(const QString &)> &width)
{
    if (width(text) <= maxWidth)
        return text;
    const QString dots = QStringLiteral("...");
    // Widths grow with the prefix, so the longest fitting prefix is found by bisection.
    int lo = 0, hi = int(text.size());
    while (lo < hi) {
        const int mid = (lo + hi + 1) / 2;
        if (width(text.left(mid) + dots) <= maxWidth)
            lo = mid;
        else
            hi = mid - 1;
    }
    return text.left(lo) + dots;
}

} // namespace v7
