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
    if (!vs.offscreen.isNull())
        vs.spare = std::move(vs.offscreen);
    vs.offscreen = QImage();
    vs.offscreenAt = QPoint();
    vs.offscreenRaw = QRegion();
    vs.offscreenIcc.clear();
}

void FreeCurrentImage(ViewState &vs)
{
    vs.current = QImage();
    vs.second = QImage();
    vs.currentFile.clear();
    vs.currentIcc.clear();
    vs.natural = QSize();
    vs.reduction = 1;
    vs.reference = QImage();
    vs.editTurns = vs.brightness = vs.contrast = 0;
    vs.editMirrored = false;
}

} // namespace v7
