// Transition plans: the exact list of block copies and pauses that reveal a
// composed image in a view, for each effect. The plan is pure data; a painter
// on the widget side carries it out with the pauses between steps.
//
// Threads: pure functions, any thread (the plans are run on the UI thread).
#pragma once

#include "imaging/Fit.h"

#include <QRect>
#include <QString>
#include <vector>

namespace v7
{

enum class TransitionEffect : int {
    None = 0,
    WipeHorizontalFromCenter = 1,
    WipeVerticalFromCenter = 2,
    WipeVerticalFromTop = 3,
    CurtainHorizontalFromEdge = 4,
    ExpandFromCenter = 5,
};
inline constexpr int TransitionEffectCount = 6;

// The name the options dialog lists for E_Index (empty for an unknown index).
QString transitionEffectName(int effectIndex);

struct TransitionOp {
    enum class Kind { Copy, Pause };
    Kind kind = Kind::Copy;
    QRect rect; // Copy: destination in view coordinates
    int ms = 0; // Pause: milliseconds
    bool operator==(const TransitionOp &) const = default;
};

struct TransitionPlan {
    Placement place; // where the visible image lies in the view
    bool paintMargins = false; // margins are painted before the first copy
    std::vector<TransitionOp> ops;

    // Where a copy to rect reads from in the composed image: the same offset
    // from the source corner as rect has from the destination corner.
    QPoint sourceFor(const QRect &rect) const
    {
        return rect.topLeft() - QPoint(place.x, place.y) + QPoint(place.srcX, place.srcY);
    }
    QRect visibleRect() const { return QRect(place.x, place.y, place.w, place.h); }
};

// The effect's formula, copy by copy, before any clipping: rectangles may reach
// outside the visible image. step is E_Iter, delayMs E_Delay (pauses of 0 ms
// are left out). Effects that divide by step give an empty list for step <= 0;
// an unknown effect gives an empty list.
std::vector<TransitionOp> transitionFormula(int effectIndex, const Placement &p, int step, int delayMs);

inline constexpr int MaxTransitionSetting = 255; // E_Iter and E_Delay

// What is run: the formula with every copy clipped to the visible image (empty
// copies dropped), preceded by the margins when the image does not start at the
// view's corner or stops short of its far edges. A step value that cannot be divided by (0 or less) and an
// unknown effect show the image at once as effect 0. Whatever the formula leaves
// uncovered (the top and bottom of a tall image under "Expand from Center", or
// everything when its step exceeds the width) is copied at the end, so a
// transition always ends with the whole image shown. step and delayMs above 255
// (outside their settings' range) are taken as 255.
TransitionPlan planTransition(int effectIndex, const Placement &p, QSize view, int step, int delayMs);

} // namespace v7
