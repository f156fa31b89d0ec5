// The outline of a window in the custom style: a tab as wide as the title and the
// caption buttons, with the top edge to the right of the tab cut away. Pure arithmetic,
// so the shape is tested without a window.
//
// Threads: any (no shared state).
#pragma once

#include <QPoint>
#include <QPolygon>
#include <array>

namespace v7
{

// The platform's frame metrics that shape the tab, in pixels.
struct OutlineMetrics {
    int captionHeight = 0; // title-bar height
    int frameHeight = 0; // sizing-frame height (top edge above the caption)
    int frameWidth = 0; // sizing-frame width
    int captionButtonWidth = 0;
};

using OutlineVertices = std::array<QPoint, 6>;

// Vertices in window coordinates, clockwise from the top-left corner:
// (0,0) (T,0) (T,C) (W,C) (W,H) (0,H), where
//   C = captionHeight + frameHeight - 2
//   T = frameWidth + captionButtonWidth + titleWidth + 3 * captionButtonWidth, rounded.
// T is kept within the window so a title wider than the window never leaves a hole.
OutlineVertices ComputeOutline(const OutlineMetrics &metrics, int width, int height, double titleWidth);

// Height of the caption band the window keeps free for the tab (C, at least 0).
int OutlineCaptionHeight(const OutlineMetrics &metrics);

QPolygon OutlinePolygon(const OutlineVertices &vertices);

} // namespace v7
