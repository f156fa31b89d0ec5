#include "imaging/Fit.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace v7
{

std::int64_t divRoundHalfEven(std::int64_t num, std::int64_t den)
{
    std::int64_t q = num / den;
    std::int64_t r = num % den;
    if (r == 0)
        return q;
    // Work on magnitudes: C++ truncates towards zero.
    const bool negative = (num < 0) != (den < 0);
    const std::int64_t twiceR = 2 * std::abs(r);
    const std::int64_t absDen = std::abs(den);
    const bool awayFromZero = twiceR > absDen || (twiceR == absDen && (std::abs(q) % 2) == 1);
    if (awayFromZero)
        q += negative ? -1 : 1;
    return q;
}

bool isFitMode(QStringView text)
{
    return text == QStringView(FitNormal) || text == QStringView(FitAuto) || text == QStringView(FitWidth)
        || text == QStringView(FitHeight);
}

namespace
{

    int atLeastOne(std::int64_t v)
    {
        return static_cast<int>(std::clamp<std::int64_t>(v, 1, INT32_MAX));
    }

} // namespace

bool ComputeFitSize(QStringView fitMode, int imageW, int imageH, int boxW, int boxH, int &outW, int &outH)
{
    const std::int64_t iw = imageW, ih = imageH, bw = boxW, bh = boxH;
    if (fitMode == QStringView(FitNormal)) {
        outW = imageW;
        outH = imageH;
        return true;
    }
    if (fitMode == QStringView(FitAuto)) {
        if (iw <= 0 || ih <= 0 || bw <= 0 || bh <= 0)
            return false;
        // iw / bw > ih / bh, compared exactly by cross-multiplying; ties take
        // the height-filling branch.
        if (iw * bh > ih * bw) {
            outW = boxW;
            outH = atLeastOne(ih * bw / iw);
        } else {
            outW = atLeastOne(iw * bh / ih);
            outH = boxH;
        }
        return true;
    }
    if (fitMode == QStringView(FitWidth)) {
        if (iw <= 0 || bw <= 0)
            return false;
        outW = boxW;
        outH = atLeastOne(divRoundHalfEven(ih * bw, iw));
        return true;
    }
    if (fitMode == QStringView(FitHeight)) {
        if (ih <= 0 || bh <= 0)
            return false;
        outW = atLeastOne(divRoundHalfEven(iw * bh, ih));
        outH = boxH;
        return true;
    }
    return false;
}

Placement PlaceInView(int viewW, int viewH, int imageW, int imageH)
{
    Placement p;
    p.w = imageW;
    p.h = imageH;
    p.x = static_cast<int>(divRoundHalfEven(std::int64_t(viewW) - imageW, 2));
    p.y = static_cast<int>(divRoundHalfEven(std::int64_t(viewH) - imageH, 2));
    if (imageW > viewW) {
        p.x = 0;
        p.srcX = static_cast<int>(divRoundHalfEven(std::int64_t(imageW) - viewW, 2));
        p.w = viewW;
    }
    if (imageH > viewH) {
        p.y = 0;
        p.srcY = static_cast<int>(divRoundHalfEven(std::int64_t(imageH) - viewH, 2));
        p.h = viewH;
    }
    return p;
}

std::vector<QRect> marginRects(const Placement &p, QSize view)
{
    std::vector<QRect> out;
    const QRect viewRect(QPoint(0, 0), view);
    const auto add = [&](const QRect &r) {
        const QRect clipped = r.intersected(viewRect);
        if (!clipped.isEmpty())
            out.push_back(clipped);
    };
    const int vw = view.width(), vh = view.height();
    // Each band runs to the view's edge: centring rounds, so the far band can
    // be a pixel wider than the near one, or be there when the near one is not.
    if (p.x > 0)
        add(QRect(0, 0, p.x, vh));
    if (p.x + p.w < vw)
        add(QRect(p.x + p.w, 0, vw - p.x - p.w, vh));
    if (p.y > 0)
        add(QRect(0, 0, vw, p.y));
    if (p.y + p.h < vh)
        add(QRect(0, p.y + p.h, vw, vh - p.y - p.h));
    return out;
}

namespace
{

    // [start, end) of one axis of ComposedWindow.
    std::pair<int, int> windowAxis(int composed, int view, int from, int length)
    {
        const std::int64_t margin = std::max(view, 0) / 4;
        if (composed <= std::int64_t(std::max(view, 0)) + 2 * margin)
            return { 0, composed };
        const std::int64_t start = std::clamp<std::int64_t>(std::int64_t(from) - margin, 0, composed);
        const std::int64_t end =
            std::clamp<std::int64_t>(std::int64_t(from) + std::max(length, 0) + margin, 0, composed);
        if (end <= start) {
            // Nothing visible (an empty view): one pixel still makes a surface.
            const std::int64_t at = std::clamp<std::int64_t>(from, 0, std::max(composed, 1) - 1);
            return { int(at), int(at + 1) };
        }
        return { int(start), int(end) };
    }

} // namespace

QRect ComposedWindow(QSize composed, QSize view, const QRect &needed)
{
    const auto [x0, x1] = windowAxis(composed.width(), view.width(), needed.x(), needed.width());
    const auto [y0, y1] = windowAxis(composed.height(), view.height(), needed.y(), needed.height());
    return QRect(x0, y0, x1 - x0, y1 - y0);
}

QSize fitThumbCell(int imageW, int imageH, int cellW, int cellH, int zeroSide)
{
    const std::int64_t iw = imageW, ih = imageH, cw = cellW, ch = cellH;
    if (iw <= 0 || ih <= 0 || cw <= 0 || ch <= 0)
        return QSize(zeroSide, zeroSide);
    std::int64_t fw, fh;
    if (iw * ch > ih * cw) {
        fw = cw;
        fh = ih * cw / iw;
    } else {
        fw = iw * ch / ih;
        fh = ch;
    }
    return QSize(fw == 0 ? zeroSide : int(fw), fh == 0 ? zeroSide : int(fh));
}

QPoint cellOffsets(QSize picture, QSize cell)
{
    return QPoint(int(divRoundHalfEven(std::abs(std::int64_t(picture.width()) - cell.width()), 2)),
        int(divRoundHalfEven(std::abs(std::int64_t(picture.height()) - cell.height()), 2)));
}

} // namespace v7
