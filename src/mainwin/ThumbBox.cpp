#include "mainwin/ThumbBox.h"

#include "app/Settings.h"
#include "imaging/Draw.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>

namespace v7
{

namespace
{

    // One-pixel 3D outlines: light on the top and left, dark on the bottom and right
    // for a raised edge, the other way round for a sunken one.
    void edge1(QPainter &p, const QRect &r, bool raised)
    {
        const QColor light(255, 255, 255), dark(128, 128, 128);
        p.setPen(raised ? light : dark);
        p.drawLine(r.topLeft(), r.topRight());
        p.drawLine(r.topLeft(), r.bottomLeft());
        p.setPen(raised ? dark : light);
        p.drawLine(r.bottomLeft(), r.bottomRight());
        p.drawLine(r.topRight(), r.bottomRight());
    }

} // namespace

ThumbBox::ThumbBox(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(false);
}

void ThumbBox::setSources(CellPainter painter, HasThumb hasThumb, CaptionText captions)
{
    m_cellPainter = std::move(painter);
    m_hasThumb = std::move(hasThumb);
    m_captions = std::move(captions);
    ReleaseGridSurfaces();
    update();
}

void ThumbBox::setStandIn(CellPainter painter, HasThumb hasThumb)
{
    m_standInPainter = std::move(painter);
    m_hasStandIn = std::move(hasThumb);
    ReleaseGridSurfaces();
    update();
}

int ThumbBox::tileHeight() const
{
    return m_grid.thumbH + (settings().ShowCaption ? CaptionStripHeight : 0);
}

void ThumbBox::relayout()
{
    const Settings &s = settings();
    m_grid = ComputeGrid(s.ThumbW, s.ThumbH, s.MarginW, s.MarginH, width(), m_fileCount);
    m_scroll = std::clamp(m_scroll, 0, MaxScroll(m_grid, height()));
}

void ThumbBox::setFileCount(int count)
{
    m_fileCount = std::max(0, count);
    m_scroll = 0;
    m_selected = -1;
    m_paintedCells = m_paintedWithThumb = 0; // nothing of the new grid is on screen yet
    relayout();
    ReleaseGridSurfaces();
    update();
}

void ThumbBox::setScrollOffset(int scroll)
{
    m_scroll = std::clamp(scroll, 0, MaxScroll(m_grid, height()));
    update();
}

void ThumbBox::setSelected(int index)
{
    m_selected = (index >= 0 && index < m_fileCount) ? index : -1;
    update();
}

void ThumbBox::ensureVisible(int index)
{
    if (index < 0 || index >= m_fileCount)
        return;
    const int scroll =
        std::clamp(ScrollToShow(m_grid, index, height(), m_scroll), 0, std::max(0, MaxScroll(m_grid, height())));
    if (scroll == m_scroll)
        return;
    m_scroll = scroll;
    update();
    Q_EMIT scrolled(m_scroll);
}

int ThumbBox::moveSelection(GridKey key)
{
    if (m_fileCount == 0)
        return -1;
    int scroll = m_scroll;
    const int p = MoveThumbSelection(m_grid, key, std::max(0, m_selected), height(), scroll);
    m_scroll = std::clamp(scroll, 0, MaxScroll(m_grid, height()));
    m_selected = p;
    update();
    Q_EMIT scrolled(m_scroll);
    return p;
}

int ThumbBox::viewTopIndex() const
{
    return TopRow(m_grid, m_scroll, 0) * m_grid.columns;
}

int ThumbBox::viewBottomIndex() const
{
    const int bottomRow = (m_scroll + std::max(0, height() - 1)) / m_grid.cellH;
    return std::min(m_fileCount - 1, (bottomRow + 1) * m_grid.columns - 1);
}

void ThumbBox::ReleaseGridSurfaces()
{
    m_strip = QImage();
    m_tileState.clear();
    m_fillCount = 0;
}

void ThumbBox::RequestRepaint()
{
    // Tiles painted before their thumbnail arrived are filled again.
    for (size_t t = 0; t < m_tileState.size(); ++t) {
        const int index = StripFirstIndex(m_grid, m_stripTop) + int(t);
        if (m_tileState[t] != Thumb && index >= 0 && index < m_fileCount && m_hasThumb && m_hasThumb(index))
            fillTile(int(t));
    }
    update();
}

void ThumbBox::thumbArrived(int index)
{
    if (m_strip.isNull() || index < 0 || index >= m_fileCount)
        return;
    const int tile = index - StripFirstIndex(m_grid, m_stripTop);
    if (tile < 0 || tile >= int(m_tileState.size()))
        return; // off the strip: decoded when its row comes into view
    fillTile(tile);
    const QRect cell = CellRect(m_grid, index, m_scroll - m_drag);
    if (cell.intersects(rect()))
        update(cell);
}

void ThumbBox::fillTile(int tile)
{
    const int index = StripFirstIndex(m_grid, m_stripTop) + tile;
    const QRect area(tile * m_grid.thumbW, 0, m_grid.thumbW, tileHeight());
    QPainter p(&m_strip);
    p.setClipRect(area);
    p.fillRect(area, colorFromBgr(settings().ThumbColor));
    const bool inList = index >= 0 && index < m_fileCount;
    TileState state = Empty;
    if (inList && m_hasThumb && m_hasThumb(index))
        state = Thumb;
    else if (inList && m_standInPainter && m_hasStandIn && m_hasStandIn(index))
        state = StandIn;
    if (state == StandIn)
        m_standInPainter(p, index, area.topLeft());
    else if (inList && m_cellPainter)
        m_cellPainter(p, index, area.topLeft());
    m_tileState[size_t(tile)] = state;
    ++m_fillCount;
}

void ThumbBox::updateStrip(int topRow)
{
    const int tiles = StripTileCount(m_grid, height());
    const QSize size(tiles * m_grid.thumbW, tileHeight());
    const bool exists = !m_strip.isNull() && m_strip.size() == size;
    const StripUpdate what = StripUpdateFor(m_stripTop, topRow, exists);
    const int rowTiles = m_grid.columns;
    if (what == StripUpdate::None)
        return;
    m_stripTop = topRow;
    if (what == StripUpdate::Refill) {
        m_strip = QImage(size, QImage::Format_RGB32);
        m_tileState.assign(size_t(tiles), Empty);
        for (int t = 0; t < tiles; ++t)
            fillTile(t);
        return;
    }
    // One row: move the decoded tiles along and decode only the row that came in.
    const int shift = rowTiles * m_grid.thumbW;
    const QImage old = m_strip.copy();
    QPainter p(&m_strip);
    if (what == StripUpdate::ShiftUp) {
        p.drawImage(QPoint(0, 0), old, QRect(shift, 0, size.width() - shift, size.height()));
        p.end();
        std::rotate(m_tileState.begin(), m_tileState.begin() + rowTiles, m_tileState.end());
        for (int t = tiles - rowTiles; t < tiles; ++t)
            fillTile(t);
    } else {
        p.drawImage(QPoint(shift, 0), old, QRect(0, 0, size.width() - shift, size.height()));
        p.end();
        std::rotate(m_tileState.rbegin(), m_tileState.rbegin() + rowTiles, m_tileState.rend());
        for (int t = 0; t < rowTiles; ++t)
            fillTile(t);
    }
}

void ThumbBox::DrawCaptions(QPainter &painter, int index, const QRect &cell)
{
    if (!m_captions)
        return;
    // Centred on the cell, below the picture, clipped to the cell.
    const auto [line1, line2] = m_captions(index);
    const QRect picture = ThumbArea(m_grid, cell).translated(0, -10);
    const QRect block(cell.left(), picture.bottom() + 1, cell.width(), CaptionStripHeight);
    painter.save();
    painter.setClipRect(cell);
    painter.setPen(colorFromBgr(settings().ThumbColorText));
    painter.setFont(font());
    const QFontMetrics fm(font());
    const QString name =
        ShortenCaption(line1, m_grid.cellW - 6, [&fm](const QString &s) { return fm.horizontalAdvance(s); });
    // Each line sits on the baseline of the box's font, 2 and 15 pixels below the
    // block's top. A fixed 14-pixel text box would cut the descenders of any line
    // taller than that, as a name set partly in a fallback (CJK) font is.
    const auto line = [&](const QString &text, int top) {
        const int x = block.left() + (block.width() - fm.horizontalAdvance(text)) / 2;
        painter.drawText(QPoint(x, top + fm.ascent()), text);
    };
    line(name, block.top() + 2);
    line(line2, block.top() + 15);
    painter.restore();
}

void ThumbBox::PaintSelection(QPainter &p, int index, int dragOffset)
{
    const QRect cell = CellRect(m_grid, index, m_scroll - dragOffset);
    const QRect thumb = ThumbArea(m_grid, cell).translated(0, settings().ShowCaption ? -10 : 0);
    const QColor frame = colorFromBgr(settings().ThumbColorFrame).darker(160);
    // Bars in the four margins, one pixel inside the cell, stopping short of the
    // picture's two-pixel raised edge (with captions the picture sits 10 pixels higher).
    p.fillRect(
        QRect(cell.left() + 1, cell.top() + 1, cell.width() - 2, std::max(0, thumb.top() - 3 - cell.top())), frame);
    p.fillRect(QRect(thumb.right() + 2, cell.top() + 1, m_grid.marginW - 3, cell.height() - 2), frame);
    p.fillRect(QRect(cell.left() + 1, cell.top() + 1, m_grid.marginW - 3, cell.height() - 2), frame);
    if (!settings().ShowCaption)
        p.fillRect(QRect(cell.left() + 1, thumb.bottom() + 2, cell.width() - 2, m_grid.marginH - 3), frame);
    if (settings().ShowCaption) {
        // The corner mark that opens the tag menu.
        const QRect mark(cell.right() - 17, cell.top() + 2, 16, 16);
        p.fillRect(mark, QColor(250, 220, 90));
        p.setPen(Qt::darkGray);
        p.drawRect(mark.adjusted(0, 0, -1, -1));
    }
    edge1(p, thumb.adjusted(-1, -1, 1, 1), true);
    edge1(p, thumb.adjusted(-2, -2, 2, 2), true);
    if (settings().ShowCaption)
        DrawCaptions(p, index, cell);
}

void ThumbBox::PaintGrid(QPainter &p, int dragOffset)
{
    const Settings &s = settings();
    p.fillRect(rect(), colorFromBgr(s.ThumbColorFrame));
    if (m_fileCount == 0)
        return;
    const int topRow = TopRow(m_grid, m_scroll, dragOffset);
    updateStrip(topRow);
    const int visible = VisibleRows(m_grid, height()) * m_grid.columns;
    const int captionLift = s.ShowCaption ? 10 : 0;
    m_paintedCells = m_paintedWithThumb = 0;
    for (int t = 0; t < visible; ++t) {
        const int index = topRow * m_grid.columns + t;
        if (index >= m_fileCount)
            break;
        if (index < 0)
            continue;
        const QRect cell = CellRect(m_grid, index, m_scroll - dragOffset);
        const QPoint at(cell.left() + m_grid.marginW, cell.top() + m_grid.marginH - captionLift);
        const int tile = 2 * m_grid.columns + t;
        p.drawImage(at, m_strip, QRect(tile * m_grid.thumbW, 0, m_grid.thumbW, tileHeight()));
        if (cell.intersects(rect())) {
            ++m_paintedCells;
            m_paintedWithThumb += m_tileState[size_t(tile)] != Empty ? 1 : 0;
        }
        edge1(p, cell.adjusted(0, 0, -1, -1), true);
        edge1(p, QRect(at, QSize(m_grid.thumbW, m_grid.thumbH + 1)).adjusted(-1, -1, 0, 0), false);
        if (s.ShowCaption)
            DrawCaptions(p, index, cell);
    }
    if (m_selected >= 0 && m_selected < m_fileCount)
        PaintSelection(p, m_selected, dragOffset);
}

void ThumbBox::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    if (property("tag").toString() == QStringView(NoRepaintTag)) {
        return;
    }
    PaintGrid(p, m_drag);
}

void ThumbBox::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const int columns = m_grid.columns;
    relayout();
    if (columns != m_grid.columns || StripTileCount(m_grid, height()) * m_grid.thumbW != m_strip.width())
        ReleaseGridSurfaces();
}

void ThumbBox::mousePressEvent(QMouseEvent *event)
{
    if (m_fileCount == 0)
        return;
    setFocus();
    bool mark = false;
    const QPoint pos = event->position().toPoint();
    const int item = ThumbHitTest(m_grid, width(), pos.x(), pos.y(), m_scroll, &mark);
    if (event->button() == Qt::LeftButton) {
        m_pressY = pos.y();
        m_dragging = true;
        setCursor(Qt::ClosedHandCursor);
    }
    Q_EMIT cellPressed(item, event->button(), mark && settings().ShowCaption, event->modifiers());
}

void ThumbBox::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_dragging || !(event->buttons() & Qt::LeftButton))
        return;
    // The grid follows the pointer, held between its top and its last row.
    const int target = DragScroll(m_grid, height(), m_scroll, m_pressY, int(event->position().y()));
    m_drag = m_scroll - target;
    update();
}

void ThumbBox::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_dragging) {
        update();
        return;
    }
    m_dragging = false;
    unsetCursor();
    m_scroll = DragScroll(m_grid, height(), m_scroll, m_pressY, int(event->position().y()));
    m_drag = 0;
    update();
    Q_EMIT scrolled(m_scroll);
}

void ThumbBox::wheelEvent(QWheelEvent *event)
{
    // A notch scrolls one row.
    const int notches = event->angleDelta().y() / 120;
    if (notches == 0 || m_fileCount == 0)
        return;
    setScrollOffset(m_scroll - notches * m_grid.cellH);
    Q_EMIT scrolled(m_scroll);
    event->accept();
}

void ThumbBox::keyPressEvent(QKeyEvent *event)
{
    Q_EMIT keyPressed(event);
}

} // namespace v7
