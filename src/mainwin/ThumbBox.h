// One thumbnail box (Pic_Thumb): paints the grid of cells from a tile strip that
// holds the decoded thumbnails of the visible rows and two rows on either side,
// and turns presses, drags, the wheel and keys into grid actions. The arithmetic
// is GridLayout's; the thumbnails come from the display store through a callback.
//
// Threads: user-interface thread only.
#pragma once

#include "thumbs/GridLayout.h"

#include <QImage>
#include <QWidget>
#include <functional>
#include <vector>

namespace v7
{

class ThumbBox : public QWidget
{
    Q_OBJECT
public:
    explicit ThumbBox(QWidget *parent = nullptr);

    // Draws one thumbnail cell (ThumbW x ThumbH + caption strip) at origin; the
    // display store's DrawStoredThumb.
    using CellPainter = std::function<void(QPainter &, int index, QPoint origin)>;
    using HasThumb = std::function<bool(int index)>;
    // Caption lines 1 and 2 of a file index.
    using CaptionText = std::function<QPair<QString, QString>(int index)>;
    void setSources(CellPainter painter, HasThumb hasThumb, CaptionText captions);
    // What a cell shows until its own thumbnail arrives: after a change from outside,
    // the previous display's picture of the same file, so the grid does not blink
    // blank while the new display reads the cache. Null painter: none.
    void setStandIn(CellPainter painter, HasThumb hasThumb);

    // Layout for a file count with the current settings (ThumbW, ShowCaption...).
    void setFileCount(int count);
    const GridGeometry &geometry() const { return m_grid; }
    int scrollOffset() const { return m_scroll; }
    void setScrollOffset(int scroll);
    int selected() const { return m_selected; }
    int fileCount() const { return m_fileCount; }
    void setSelected(int index); // -1 for none; scrolls nothing
    // Scrolls as little as needed to show the whole cell of index.
    void ensureVisible(int index);
    // Keyboard move; returns the new position and scrolls it into view.
    int moveSelection(GridKey key);
    // The rows shown now: first index of the top row and last index of the bottom row.
    int viewTopIndex() const;
    int viewBottomIndex() const;

    // The store has new thumbnails: fill the tiles that were waiting and repaint.
    void RequestRepaint();
    // One cell's thumbnail has arrived: its tile is filled and, when the cell is on
    // screen, repainted at the next paint.
    void thumbArrived(int index);
    // Frees the tile strip (a new display, settings change, window close).
    void ReleaseGridSurfaces();
    bool hasStrip() const { return !m_strip.isNull(); }
    int stripTopRow() const { return m_stripTop; }
    int tilesFilled() const { return m_fillCount; } // tiles decoded since the strip was made
    // What the last paint put on screen: the visible cells, and how many of them
    // showed a picture (their thumbnail, the broken mark or a stand-in) rather than an
    // empty cell.
    int paintedCells() const { return m_paintedCells; }
    int paintedWithThumb() const { return m_paintedWithThumb; }

Q_SIGNALS:
    // A press on a cell: 1-based item (0 below the last cell), with the corner mark flag.
    void cellPressed(int item, Qt::MouseButton button, bool onCornerMark, Qt::KeyboardModifiers modifiers);
    void keyPressed(QKeyEvent *event);
    void scrolled(int offset);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    int tileHeight() const;
    void relayout();
    void updateStrip(int topRow);
    void fillTile(int tile);
    void PaintGrid(QPainter &painter, int dragOffset);
    void PaintSelection(QPainter &painter, int index, int dragOffset);
    void DrawCaptions(QPainter &painter, int index, const QRect &cell);

    GridGeometry m_grid;
    int m_fileCount = 0;
    int m_scroll = 0;
    int m_drag = 0; // drag offset while the left button is held
    int m_pressY = 0;
    bool m_dragging = false;
    int m_selected = -1;
    CellPainter m_cellPainter;
    HasThumb m_hasThumb;
    CaptionText m_captions;
    CellPainter m_standInPainter;
    HasThumb m_hasStandIn;

    QImage m_strip;
    int m_stripTop = 0;
    enum TileState : unsigned char { Empty, StandIn, Thumb };
    std::vector<TileState> m_tileState;
    int m_fillCount = 0;
    int m_paintedCells = 0, m_paintedWithThumb = 0;
};

} // namespace v7
