// Where the main window's panes go for a client size, a splitter position and the
// three view switches. Numbers in, rectangles out: tested without a window.
//
// Threads: any.
#pragma once

#include <QRect>

namespace v7
{

struct PaneLayoutInput {
    int clientWidth = 0;
    int clientHeight = 0;
    int splitX = 182; // the vertical splitter's position p, pixels
    double splitRatio = 0.5; // r: the tree's share of the left column's height
    bool showTree = true; // folder tree, file list and splitter ("Show Folder && Files")
    bool showImage = true; // "Show Image Preview"
    bool showThumbs = true; // "Show Thumbnails"
    int thumbsRow = 2; // thumbnail columns beside the preview
    int thumbW = 96;
    int marginW = 20;
    int splitTy = -1; // top of the bar between the two thumbnail boxes, in the area; -1: none
};

struct PaneLayoutResult {
    bool valid = false; // false when the usable height is under 50 pixels: nothing moves
    QRect tree, files, splitter;
    QRect splitY; // the bar between the tree and the file list
    QRect splitTy; // the bar between the two thumbnail boxes, relative to the area
    QRect base; // Pic_Base, the right-hand area
    QRect image; // Pic_Image, relative to the area
    QRect thumb0, thumb1; // Pic_Thumb (0) and (1), relative to the area; thumb1 empty when unused
};

constexpr int PaneTop = 46; // below the toolbar strip
constexpr int PaneChrome = 66; // toolbar strip plus status bar
constexpr int MinUsableHeight = 50;
constexpr int MinSplitX = 100; // the vertical splitter never goes further left

PaneLayoutResult SizeControlsX(const PaneLayoutInput &in);

// SplitY released at top position y: the tree's share of the usable height.
double SplitRatioFor(int y, int clientHeight);
// Split_Ty dragged to y in an area of the given height: it moves only while it stays
// more than 2 pixels above the bottom; returns the position to use.
int ClampSplitTy(int y, int previous, int areaHeight);

// The thumbnail column's width beside the preview: ThumbsRow cells and 6 pixels.
int ThumbColumnWidth(int thumbsRow, int thumbW, int marginW);

} // namespace v7
