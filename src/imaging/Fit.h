// Fit-mode and placement arithmetic: how big an image is drawn and where it
// sits in a view. Plain functions over numbers, so every rule can be tested
// without a display.
//
// Threads: every function here is pure and may be called from any thread.
#pragma once

#include <QRect>
#include <QSize>
#include <QStringView>
#include <cstdint>
#include <vector>

namespace v7
{

inline constexpr char16_t FitNormal[] = u"FitNormal";
inline constexpr char16_t FitAuto[] = u"FitAuto";
inline constexpr char16_t FitWidth[] = u"FitWidth";
inline constexpr char16_t FitHeight[] = u"FitHeight";

// One of the four fit-mode texts.
bool isFitMode(QStringView text);

// num / den rounded to the nearest integer, halves to even (den > 0). Exact in
// integers, so a half is a half however large the operands are.
std::int64_t divRoundHalfEven(std::int64_t num, std::int64_t den);

// Output size for a fit mode. Products are taken in 64 bits so very large
// images cannot overflow. A side that would come out as 0 (an extreme aspect
// ratio) becomes 1, because a surface with an empty axis cannot be drawn.
// Returns false and leaves outW and outH unchanged for an unknown mode, or when
// a size the mode divides by is not positive.
bool ComputeFitSize(QStringView fitMode, int imageW, int imageH, int boxW, int boxH, int &outW, int &outH);

// Where the visible part of an image of imageW x imageH lands in a view:
// centred in an axis where it is smaller, cropped around its centre where it is
// larger. (x, y) is the destination corner in the view, (srcX, srcY) the first
// visible pixel of the image, w x h the visible size.
struct Placement {
    int w = 0;
    int h = 0;
    int x = 0;
    int y = 0;
    int srcX = 0;
    int srcY = 0;
    bool operator==(const Placement &) const = default;
};
Placement PlaceInView(int viewW, int viewH, int imageW, int imageH);

// The areas of the view around a placed image, to be filled with ViewColor:
// left and right bands, then top and bottom bands, each running to the view's
// edge. The far band is there whenever the image stops short of that edge, even
// when centring rounded the near offset to 0, so no row or column is left
// unpainted. Empty when the image covers the view.
std::vector<QRect> marginRects(const Placement &p, QSize view);

// The part of a composed image (composed, its whole size) to compose for a view
// that must show the rectangle needed of it: needed widened by a quarter of the
// view on each side for panning, cut to the image. In an axis where the image is
// no longer than the view and its two margins the part is the whole axis, so an
// image that is not much larger than the view is composed whole.
QRect ComposedWindow(QSize composed, QSize view, const QRect &needed);

// Fit of a decoded thumbnail into a ThumbW x ThumbH cell: the longer relative
// side fills the cell (floor for the other). A fitted side of 0 becomes
// zeroSide (1 when drawing a cell, 2 when making a thumbnail).
QSize fitThumbCell(int imageW, int imageH, int cellW, int cellH, int zeroSide);

// |cellSide - side| / 2, rounded half to even, per axis: the offset that centres
// a picture of this size in the cell.
QPoint cellOffsets(QSize picture, QSize cell);

} // namespace v7
