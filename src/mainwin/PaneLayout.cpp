#include "mainwin/PaneLayout.h"

#include <algorithm>
#include <cmath>

namespace v7
{

int ThumbColumnWidth(int thumbsRow, int thumbW, int marginW)
{
    return thumbsRow * (thumbW + 2 * marginW) + 6;
}

double SplitRatioFor(int y, int clientHeight)
{
    const int h = clientHeight - PaneChrome;
    if (h <= 0)
        return 0.5;
    return std::clamp(double(y - PaneTop) / double(h), 0.0, 1.0);
}

int ClampSplitTy(int y, int previous, int areaHeight)
{
    if (y < 0)
        return 0;
    return y < areaHeight - 2 ? y : previous;
}

PaneLayoutResult SizeControlsX(const PaneLayoutInput &in)
{
    PaneLayoutResult out;
    const int h = in.clientHeight - PaneChrome;
    if (h < MinUsableHeight)
        return out;
    out.valid = true;

    int p = std::clamp(in.splitX, 0, std::max(0, in.clientWidth));
    if (in.showTree) {
        const double r = std::clamp(in.splitRatio, 0.0, 1.0);
        const int treeH = int(std::lround(r * h));
        const int w = std::max(0, p - 1);
        out.tree = QRect(0, PaneTop, w, treeH);
        out.files = QRect(0, PaneTop + treeH + 4, w, std::max(0, h - treeH - 4));
        out.splitter = QRect(std::max(0, p - 2), PaneTop, 4, h);
        out.splitY = QRect(0, PaneTop + treeH, w, 4);
        out.base = QRect(p + 3, PaneTop, std::max(0, in.clientWidth - (p + 6)), h);
    } else {
        out.base = QRect(0, PaneTop, std::max(0, in.clientWidth), h);
    }

    const int r = out.base.width();
    const int columnW =
        (in.showImage && in.showThumbs) ? std::min(r, ThumbColumnWidth(in.thumbsRow, in.thumbW, in.marginW)) : 0;
    if (in.showImage)
        out.image = QRect(0, 0, in.showThumbs ? r - columnW : r, h);
    if (in.showThumbs) {
        const int x = in.showImage ? r - columnW : 0;
        const int w = in.showImage ? columnW : r;
        if (in.splitTy >= 0 && in.splitTy < h - 2) {
            out.thumb0 = QRect(x, 0, w, in.splitTy);
            out.thumb1 = QRect(x, in.splitTy + 10, w, std::max(0, h - in.splitTy - 10));
            out.splitTy = QRect(x, in.splitTy, w, 10);
        } else {
            out.thumb0 = QRect(x, 0, w, h);
            out.splitTy = QRect(x, h - 10, w, 10); // parked at the bottom, ready to be pulled up
        }
    }
    return out;
}

} // namespace v7
