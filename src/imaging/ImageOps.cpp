// Bitmap operations of the codec layer: smooth resampling, rotation, mirroring,
// brightness and contrast, and the EXIF orientation.
#include "imaging/CodecsInternal.h"

#include <QTransform>
#include <algorithm>
#include <array>
#include <vector>

namespace v7
{

namespace
{

    // One output sample's share of the source along one axis: source indices
    // [first, first + weights.size()) with integer weights summing to the source
    // length (output i covers [i * src, (i + 1) * src) in units of 1 / dst pixel).
    struct Span {
        int first = 0;
        std::vector<std::uint32_t> weights;
    };

    std::vector<Span> areaSpans(int src, int dst)
    {
        std::vector<Span> spans(static_cast<std::size_t>(dst));
        for (int i = 0; i < dst; ++i) {
            const std::int64_t lo = std::int64_t(i) * src, hi = lo + src; // in 1/dst units
            const int first = int(lo / dst);
            const int last = int((hi - 1) / dst);
            Span &s = spans[std::size_t(i)];
            s.first = first;
            for (int j = first; j <= last; ++j) {
                const std::int64_t a = std::max<std::int64_t>(lo, std::int64_t(j) * dst);
                const std::int64_t b = std::min<std::int64_t>(hi, std::int64_t(j + 1) * dst);
                s.weights.push_back(std::uint32_t(b - a));
            }
        }
        return spans;
    }

    __extension__ typedef unsigned __int128 Wide;

    // floor(x / d) for any x below 2^40 by one multiplication and a shift (exact:
    // m = ceil(2^(40 + l) / d) with 2^l >= d). The shrink divides once per channel
    // and pixel, and hardware division cost more than all the rest of it.
    class Divider
    {
    public:
        explicit Divider(std::uint64_t d)
        {
            int l = 0;
            while ((std::uint64_t(1) << l) < d)
                ++l;
            m_shift = 40 + l;
            m_mul = std::uint64_t(((Wide(1) << m_shift) + d - 1) / d);
        }
        std::uint64_t operator()(std::uint64_t x) const { return std::uint64_t((Wide(x) * m_mul) >> m_shift); }

    private:
        std::uint64_t m_mul = 0;
        int m_shift = 0;
    };

    // Area averaging of a 24-bit image to a smaller size in both axes: every source
    // pixel counts by the part of it that falls in the output pixel.
    QImage shrinkArea(const QImage &src, int dw, int dh)
    {
        const int sw = src.width(), sh = src.height();
        QImage out(dw, dh, QImage::Format_RGB888);
        if (out.isNull())
            return {};
        const std::vector<Span> xs = areaSpans(sw, dw), ys = areaSpans(sh, dh);
        // Horizontal pass of one source row into 8.8 fixed point; rows shared by two
        // output rows are simply done twice, which costs less than a whole-image buffer.
        std::vector<std::uint16_t> mid(std::size_t(dw) * 3);
        // Numerators stay below 2^40: at most 255 * 256 plus a half, times a side of
        // at most 2^18 pixels.
        const Divider bySw { std::uint64_t(sw) };
        auto horizontal = [&](int y) {
            const uchar *s = src.constScanLine(y);
            for (int x = 0; x < dw; ++x) {
                const Span &sp = xs[std::size_t(x)];
                std::uint32_t r = 0, g = 0, b = 0;
                const uchar *p = s + std::size_t(sp.first) * 3;
                for (std::uint32_t wgt : sp.weights) {
                    r += p[0] * wgt;
                    g += p[1] * wgt;
                    b += p[2] * wgt;
                    p += 3;
                }
                const std::uint64_t half = std::uint32_t(sw) / 2;
                mid[std::size_t(3 * x)] = std::uint16_t(bySw(std::uint64_t(r) * 256 + half));
                mid[std::size_t(3 * x + 1)] = std::uint16_t(bySw(std::uint64_t(g) * 256 + half));
                mid[std::size_t(3 * x + 2)] = std::uint16_t(bySw(std::uint64_t(b) * 256 + half));
            }
        };
        std::vector<std::uint64_t> acc(std::size_t(dw) * 3);
        const std::uint64_t div = std::uint64_t(sh) * 256;
        const Divider byDiv(div);
        for (int y = 0; y < dh; ++y) {
            std::fill(acc.begin(), acc.end(), 0);
            const Span &sp = ys[std::size_t(y)];
            for (std::size_t k = 0; k < sp.weights.size(); ++k) {
                horizontal(sp.first + int(k));
                const std::uint32_t wgt = sp.weights[k];
                for (std::size_t i = 0; i < acc.size(); ++i)
                    acc[i] += std::uint64_t(mid[i]) * wgt;
            }
            uchar *d = out.scanLine(y);
            for (std::size_t i = 0; i < acc.size(); ++i)
                d[i] = uchar(std::min<std::uint64_t>(255, byDiv(acc[i] + div / 2)));
        }
        return out;
    }

    // Bilinear resampling of a 24-bit image (used when an axis grows). Sample centres
    // are matched, and weights sum to exactly one, so flat areas stay flat.
    QImage resampleBilinear(const QImage &src, int dw, int dh)
    {
        const int sw = src.width(), sh = src.height();
        QImage out(dw, dh, QImage::Format_RGB888);
        if (out.isNull())
            return {};
        struct Tap {
            int i0, i1;
            std::uint32_t f; // weight of i1 in 1/256
        };
        auto taps = [](int s, int d) {
            std::vector<Tap> t(static_cast<std::size_t>(d));
            for (int i = 0; i < d; ++i) {
                const double pos = std::clamp((i + 0.5) * s / d - 0.5, 0.0, double(s - 1));
                const int i0 = int(pos);
                t[std::size_t(i)] = Tap { i0, std::min(i0 + 1, s - 1), std::uint32_t((pos - i0) * 256 + 0.5) };
            }
            return t;
        };
        const std::vector<Tap> xt = taps(sw, dw), yt = taps(sh, dh);
        for (int y = 0; y < dh; ++y) {
            const Tap &ty = yt[std::size_t(y)];
            const uchar *r0 = src.constScanLine(ty.i0), *r1 = src.constScanLine(ty.i1);
            uchar *d = out.scanLine(y);
            for (int x = 0; x < dw; ++x, d += 3) {
                const Tap &tx = xt[std::size_t(x)];
                for (int c = 0; c < 3; ++c) {
                    const std::uint32_t a = r0[3 * tx.i0 + c] * (256 - tx.f) + r0[3 * tx.i1 + c] * tx.f;
                    const std::uint32_t b = r1[3 * tx.i0 + c] * (256 - tx.f) + r1[3 * tx.i1 + c] * tx.f;
                    d[c] = uchar((a * (256 - ty.f) + b * ty.f + 32768) >> 16);
                }
            }
        }
        return out;
    }

} // namespace

QImage ScaleDib(const QImage &dib, int width, int height)
{
    if (dib.isNull() || width <= 0 || height <= 0 || !codec::sizeAllowed(width, height))
        return {};
    const QImage src = dib.format() == QImage::Format_RGB888 ? dib : dib.convertToFormat(QImage::Format_RGB888);
    if (src.isNull())
        return {};
    if (width == src.width() && height == src.height())
        return src;
    if (width <= src.width() && height <= src.height())
        return shrinkArea(src, width, height);
    // Enlarging in at least one axis: average down the axis that shrinks, then
    // interpolate up.
    const int mw = std::min(width, src.width()), mh = std::min(height, src.height());
    const QImage mid = (mw == src.width() && mh == src.height()) ? src : shrinkArea(src, mw, mh);
    if (mid.isNull())
        return {};
    return resampleBilinear(mid, width, height);
}

QImage RotateDdb90(const QImage &bitmap)
{
    if (bitmap.isNull())
        return {};
    return bitmap.transformed(QTransform().rotate(90));
}

QImage ILMirrorBMP(const QImage &bitmap, bool horizontal, bool vertical)
{
    if (bitmap.isNull())
        return {};
    return bitmap.mirrored(horizontal, vertical);
}

QImage VEnhanceBMP(const QImage &bitmap, int brightness, int contrast)
{
    if (bitmap.isNull())
        return {};
    brightness = std::clamp(brightness, -100, 100);
    contrast = std::clamp(contrast, -100, 100);
    // Contrast scales around the middle grey (x0 at -100, x2 at +100); brightness
    // then shifts by up to a full range.
    std::array<uchar, 256> lut {};
    for (int v = 0; v < 256; ++v) {
        const int scaled = (v - 128) * (100 + contrast) / 100 + 128;
        lut[std::size_t(v)] = uchar(std::clamp(scaled + brightness * 255 / 100, 0, 255));
    }
    QImage out = bitmap.copy();
    if (out.format() == QImage::Format_Indexed8) {
        QList<QRgb> table = out.colorTable();
        for (QRgb &c : table)
            c = qRgb(lut[std::size_t(qRed(c))], lut[std::size_t(qGreen(c))], lut[std::size_t(qBlue(c))]);
        out.setColorTable(table);
        return out;
    }
    if (out.format() != QImage::Format_RGB888 && out.format() != QImage::Format_RGB32
        && out.format() != QImage::Format_ARGB32)
        out = out.convertToFormat(QImage::Format_RGB32);
    const int bpp = out.format() == QImage::Format_RGB888 ? 3 : 4;
    for (int y = 0; y < out.height(); ++y) {
        uchar *p = out.scanLine(y);
        for (int x = 0; x < out.width(); ++x, p += bpp) {
            // The three colour bytes come first in both layouts (alpha last in memory).
            p[0] = lut[p[0]];
            p[1] = lut[p[1]];
            p[2] = lut[p[2]];
        }
    }
    return out;
}

namespace codec
{

    QImage orientUpright(QImage image, int orientation)
    {
        switch (orientation) {
        case 2:
            return image.mirrored(true, false);
        case 3:
            return image.mirrored(true, true);
        case 4:
            return image.mirrored(false, true);
        case 5:
            return image.transformed(QTransform().rotate(90)).mirrored(true, false); // transpose
        case 6:
            return image.transformed(QTransform().rotate(90));
        case 7:
            return image.transformed(QTransform().rotate(90)).mirrored(false, true); // transverse
        case 8:
            return image.transformed(QTransform().rotate(-90));
        default:
            return image;
        }
    }

} // namespace codec

} // namespace v7
