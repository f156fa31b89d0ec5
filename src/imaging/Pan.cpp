#include "imaging/Pan.h"

#include "imaging/Fit.h"

#include <algorithm>

namespace v7
{

namespace
{

    int panAxis(int offset, int image, int view, int delta)
    {
        if (offset == 0 || image <= view)
            return offset;
        return std::clamp(offset + delta, 1, image - view);
    }

} // namespace

QPoint PanOffsets(const PanGeometry &g, int dx, int dy)
{
    return { panAxis(g.srcX, g.imageW, g.viewW, dx), panAxis(g.srcY, g.imageH, g.viewH, dy) };
}

PanCopy RedrawAtOffset(const PanGeometry &g, int dx, int dy)
{
    const QPoint o = PanOffsets(g, dx, dy);
    const Placement centred = PlaceInView(g.viewW, g.viewH, g.imageW, g.imageH);
    PanCopy c;
    int x = 0, y = 0, w = g.viewW, h = g.viewH;
    if (o.x() == 0) {
        c.destination.setX(centred.x);
        w = g.imageW;
    } else {
        x = o.x();
    }
    if (o.y() == 0) {
        c.destination.setY(centred.y);
        h = g.imageH;
    } else {
        y = o.y();
    }
    c.source = QRect(x, y, w, h);
    c.margins = c.destination.x() != 0 || c.destination.y() != 0 || w < g.viewW || h < g.viewH;
    return c;
}

} // namespace v7
