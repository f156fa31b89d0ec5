#include "imaging/ViewState.h"

namespace v7
{

ViewState &viewState()
{
    thread_local ViewState state;
    return state;
}

Placement PlaceInView(ViewState &vs)
{
    const Placement p = PlaceInView(vs.viewW, vs.viewH, vs.imageW, vs.imageH);
    vs.srcX = p.srcX;
    vs.srcY = p.srcY;
    return p;
}

void PlaceInViewOffsets(ViewState &vs)
{
    PlaceInView(vs);
}

void ReleaseOffscreen(ViewState &vs)
{
    vs.offscreen = QImage();
}

void FreeCurrentImage(ViewState &vs)
{
    vs.current = QImage();
    vs.second = QImage();
    vs.currentFile.clear();
    vs.natural = QSize();
    vs.reduction = 1;
}

} // namespace v7
