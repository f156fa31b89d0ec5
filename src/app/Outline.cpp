#include "app/Outline.h"

#include <algorithm>
#include <cmath>

namespace v7
{

int OutlineCaptionHeight(const OutlineMetrics &metrics)
{
    return std::max(0, metrics.captionHeight + metrics.frameHeight - 2);
}

OutlineVertices ComputeOutline(const OutlineMetrics &metrics, int width, int height, double titleWidth)
{
    const int w = std::max(0, width);
    const int h = std::max(0, height);
    const int c = std::min(OutlineCaptionHeight(metrics), h);
    const double exact =
        metrics.frameWidth + metrics.captionButtonWidth + std::max(0.0, titleWidth) + 3.0 * metrics.captionButtonWidth;
    // Round half away from zero, as a whole-pixel width would be read off a ruler.
    const int t = std::clamp(static_cast<int>(std::lround(exact)), 0, w);
    return { QPoint(0, 0), QPoint(t, 0), QPoint(t, c), QPoint(w, c), QPoint(w, h), QPoint(0, h) };
}

QPolygon OutlinePolygon(const OutlineVertices &vertices)
{
    QPolygon polygon;
    for (const QPoint &p : vertices)
        polygon << p;
    return polygon;
}

} // namespace v7
