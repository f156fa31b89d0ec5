// Panning the preview: where the held image is copied from and to for a pan of
// (dx, dy), and the offsets a finished pan leaves. Offset 0 in an axis means the
// image is centred there and does not move in that axis.
//
// Threads: any.
#pragma once

#include <QPoint>
#include <QRect>

namespace v7
{

struct PanGeometry {
    int viewW = 0, viewH = 0; // the pane
    int imageW = 0, imageH = 0; // the composed image
    int srcX = 0, srcY = 0; // current offsets
};

// Offsets after moving by (dx, dy). The pointer could only move as far as the image
// can scroll, so each offset stays within 1 .. image - view; an axis at 0 stays at 0.
QPoint PanOffsets(const PanGeometry &g, int dx, int dy);

struct PanCopy {
    QRect source; // in the composed image
    QPoint destination; // in the pane
    bool margins = false; // the pane is filled with the view colour first
};
// The copy that shows the image at the offsets moved by (dx, dy).
PanCopy RedrawAtOffset(const PanGeometry &g, int dx, int dy);

} // namespace v7
