#include "imaging/Draw.h"

#include "imaging/Codecs.h"
#include "imaging/ColourManage.h"
#include "imaging/ImageLoad.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace v7
{

namespace
{

    // The codec layer: every format of the program, EXIF orientation, bounded memory.
    QImage loadDib(const QString &file, bool fullSize)
    {
        return LoadImageDib(file, ScreenContext, fullSize);
    }
    QImage loadDdb(const QString &file, bool fullSize)
    {
        return LoadImageDdb(file, ScreenContext, fullSize);
    }
    QImage loadShown(const QString &file, QByteArray *icc)
    {
        return LoadImageDibForScreen(file, ScreenContext, true, icc);
    }
    QImage loadReduced(const QString &file, int reduction, QByteArray *icc)
    {
        if (icc)
            icc->clear(); // the reduced decode comes converted
        return rdjpgfiledib(file, decoderDepth(screenDepth()), reduction);
    }

    QImage decodeThumb(const QByteArray &bytes, bool)
    {
        return DecodeThumbStream(bytes.constData(), std::size_t(bytes.size()));
    }

    DrawServices &services()
    {
        static DrawServices s = defaultDrawServices();
        return s;
    }

    // The pixel format composed surfaces use: what the screen paints fastest.
    constexpr QImage::Format DisplayFormat = QImage::Format_RGB32;

    QImage toDisplayFormat(const QImage &image)
    {
        return image.format() == DisplayFormat ? image : image.convertToFormat(DisplayFormat);
    }

    bool composableSize(std::int64_t w, std::int64_t h)
    {
        return w > 0 && h > 0 && w <= MaxComposedSide && h <= MaxComposedSide && w * h <= MaxComposedPixels;
    }

    std::int64_t ceilDiv(std::int64_t num, std::int64_t den)
    {
        return (num + den - 1) / den;
    }

    // Formats the stretch reads as they are; others go through the display copy.
    bool readDirectly(const QImage &image)
    {
        return image.format() == QImage::Format_RGB888 || image.format() == QImage::Format_RGB32;
    }

    // The held image as the composition reads it. A 24-bit decode is read as it is:
    // converting a 24-megapixel image whole would cost more than composing the view.
    const QImage &compositionSource(ViewState &vs, bool displayFormat)
    {
        if (!displayFormat && readDirectly(vs.current))
            return vs.current;
        if (vs.second.isNull()) {
            // A true-colour image loses nothing in the display format, so it is held
            // once in that format; a palette or alpha image keeps its own form
            // beside a display copy.
            if (vs.current.depth() > 8 && !vs.current.hasAlphaChannel())
                vs.current = toDisplayFormat(vs.current);
            vs.second = toDisplayFormat(vs.current);
        }
        return vs.second;
    }

    // A display-format surface of size, in the memory of an earlier composition
    // when no one else holds it.
    QImage surface(ViewState &vs, QSize size)
    {
        for (QImage *held : { &vs.spare, &vs.offscreen }) {
            if (held->size() == size && held->format() == DisplayFormat && held->isDetached()) {
                QImage reused = std::move(*held);
                *held = QImage();
                return reused;
            }
        }
        return QImage(size, DisplayFormat);
    }

    // Nearest pixel: the source index for each of n composed positions from
    // start, on a side of composed pixels drawn from source pixels (pixel centres
    // mapped onto pixel centres).
    void nearestIndex(std::vector<int> &out, std::int64_t start, int n, std::int64_t composed, int source)
    {
        out.resize(std::size_t(n));
        for (int i = 0; i < n; ++i) {
            const std::int64_t at = (2 * (start + i) + 1) * source / (2 * composed);
            out[std::size_t(i)] = int(std::clamp<std::int64_t>(at, 0, source - 1));
        }
    }

    // The rectangle part of source stretched to composed (the fast stretch:
    // eliminated rows and columns dropped, others repeated) into out, which has
    // the part's size. Source is RGB888 or RGB32.
    void stretchPart(const QImage &source, QSize composed, const QRect &part, QImage &out)
    {
        thread_local std::vector<int> xs, ys;
        nearestIndex(xs, part.x(), part.width(), composed.width(), source.width());
        nearestIndex(ys, part.y(), part.height(), composed.height(), source.height());
        const bool rgb888 = source.format() == QImage::Format_RGB888;
        const int w = part.width();
        for (int y = 0; y < part.height(); ++y) {
            auto *dst = reinterpret_cast<QRgb *>(out.scanLine(y));
            if (y > 0 && ys[std::size_t(y)] == ys[std::size_t(y) - 1]) {
                // Zoomed in, a source row makes several rows in a row.
                std::memcpy(dst, out.constScanLine(y - 1), std::size_t(w) * sizeof(QRgb));
                continue;
            }
            const uchar *row = source.constScanLine(ys[std::size_t(y)]);
            if (rgb888) {
                for (int x = 0; x < w; ++x) {
                    const uchar *px = row + 3 * std::size_t(xs[std::size_t(x)]);
                    dst[x] = qRgb(px[0], px[1], px[2]);
                }
            } else {
                const auto *src = reinterpret_cast<const QRgb *>(row);
                for (int x = 0; x < w; ++x)
                    dst[x] = src[xs[std::size_t(x)]] | 0xFF000000u;
            }
        }
    }

    // The rectangle part of source (display format) resampled smoothly to
    // composed: a crop a little wider than the part, resampled at the composed
    // scale. Null when the resampler does not deliver the size asked for.
    QImage resamplePart(const QImage &source, QSize composed, const QRect &part)
    {
        if (part == QRect(QPoint(0, 0), composed))
            return drawServices().resample(source, composed);
        const std::int64_t sw = source.width(), sh = source.height();
        const std::int64_t tw = composed.width(), th = composed.height();
        // Two source pixels of border, so the filter sees the neighbours of the edge.
        const std::int64_t x0 = std::max<std::int64_t>(0, part.x() * sw / tw - 2);
        const std::int64_t y0 = std::max<std::int64_t>(0, part.y() * sh / th - 2);
        const std::int64_t x1 =
            std::min<std::int64_t>(sw, ceilDiv((part.x() + std::int64_t(part.width())) * sw, tw) + 2);
        const std::int64_t y1 =
            std::min<std::int64_t>(sh, ceilDiv((part.y() + std::int64_t(part.height())) * sh, th) + 2);
        const QSize scaled(int(ceilDiv((x1 - x0) * tw, sw)), int(ceilDiv((y1 - y0) * th, sh)));
        if (!composableSize(scaled.width(), scaled.height()))
            return {};
        const QImage crop = source.copy(int(x0), int(y0), int(x1 - x0), int(y1 - y0));
        const QImage resampled = drawServices().resample(crop, scaled);
        if (resampled.size() != scaled)
            return {};
        // Where the part starts in the resampled crop; the crop covers it whole.
        const int ox = part.x() - int(ceilDiv(x0 * tw, sw));
        const int oy = part.y() - int(ceilDiv(y0 * th, sh));
        return resampled.copy(ox, oy, part.width(), part.height());
    }

    // Turns what is still in the file's colours of rect (composed coordinates) of
    // the held part to sRGB.
    void convertShown(ViewState &vs, const QRect &rect)
    {
        if (vs.offscreenRaw.isEmpty() || vs.offscreen.isNull())
            return;
        const QRegion todo = vs.offscreenRaw.intersected(rect);
        for (const QRect &r : todo)
            convertRectToSrgb(vs.offscreen, r.translated(-vs.offscreenAt), vs.offscreenIcc);
        vs.offscreenRaw -= todo;
    }

    // Composes the part of a composed image of size composed that a view of size
    // view needs to show needed, into vs.offscreen.
    bool composeAround(ViewState &vs, QSize composed, QSize view, const QRect &needed, bool quality)
    {
        const QRect part = ComposedWindow(composed, view, needed);
        if (!composableSize(part.width(), part.height()))
            return false;
        QImage out;
        if (quality)
            out = resamplePart(compositionSource(vs, true), composed, part);
        // A resampler that cannot deliver the size asked for falls back to the stretch.
        if (out.isNull()) {
            const QImage &source = compositionSource(vs, false);
            out = surface(vs, part.size());
            if (out.isNull())
                return false;
            stretchPart(source, composed, part, out);
        }
        vs.offscreen = toDisplayFormat(out);
        vs.offscreenAt = part.topLeft();
        vs.offscreenRaw = QRegion();
        vs.offscreenIcc.clear();
        // A picture held in its file's colours is converted on what is composed of
        // it, and of that only the part needed now: the pixels shown, not the decode.
        if (!vs.currentIcc.isEmpty()) {
            vs.offscreenRaw = QRegion(part);
            vs.offscreenIcc = vs.currentIcc;
            convertShown(vs, needed);
        }
        return true;
    }

} // namespace

DrawServices defaultDrawServices()
{
    return { loadDib, loadDdb, decodeThumb, resampleSmooth, loadReduced, loadShown };
}

void setDrawServices(DrawServices s)
{
    DrawServices &cur = services();
    if (s.loadDib) {
        cur.loadDib = std::move(s.loadDib);
        cur.loadShown = nullptr;
    }
    if (s.loadShown)
        cur.loadShown = std::move(s.loadShown);
    if (s.loadDdb)
        cur.loadDdb = std::move(s.loadDdb);
    if (s.decodeThumb)
        cur.decodeThumb = std::move(s.decodeThumb);
    if (s.resample)
        cur.resample = std::move(s.resample);
    if (s.loadReduced)
        cur.loadReduced = std::move(s.loadReduced);
}

const DrawServices &drawServices()
{
    return services();
}

QColor colorFromBgr(std::uint32_t bgr)
{
    return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

QImage resampleSmooth(const QImage &image, QSize size)
{
    if (image.size() == size)
        return image;
    // Qt's smooth scaling averages the source area of each output pixel when
    // shrinking and interpolates when enlarging.
    return image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QImage stretchFast(const QImage &image, QSize size)
{
    if (image.size() == size)
        return image;
    return image.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

int PreviewReduction(QSize natural, QSize composed)
{
    for (int f : { 8, 4, 2 }) {
        const int w = (natural.width() + f - 1) / f, h = (natural.height() + f - 1) / f;
        if (w >= composed.width() && h >= composed.height())
            return f;
    }
    return 1;
}

int PreviewReductionFor(const QString &file, QSize box, QStringView fitMode, ZoomFactor zoom, QSize *natural)
{
    ImageFileInfo info;
    info.fileName = file;
    if (!GetImageInfo(info) || imageTypeOf(info.format) != ImageType::Jpeg)
        return 1;
    if (natural)
        *natural = QSize(info.width, info.height);
    int fw = info.width, fh = info.height;
    ComputeFitSize(fitMode, info.width, info.height, box.width(), box.height(), fw, fh);
    const ZoomFactor z = fitMode == QStringView(FitNormal) ? zoom.effective() : ZoomFactor::fromWhole(1);
    return PreviewReduction(QSize(info.width, info.height), QSize(int(z.apply(fw)), int(z.apply(fh))));
}

bool ComposeFitted(ViewState &vs, QSize box, QStringView fitMode, ZoomFactor zoom, bool quality)
{
    if (vs.current.isNull())
        return false;
    const QSize natural = vs.natural.isValid() ? vs.natural : vs.current.size();
    const int iw = natural.width(), ih = natural.height();
    // An unknown mode draws at natural size rather than at an undefined one.
    int fw = iw, fh = ih;
    if (!ComputeFitSize(fitMode, iw, ih, box.width(), box.height(), fw, fh) && isFitMode(fitMode))
        return false; // nothing to fit into
    const ZoomFactor z = fitMode == QStringView(FitNormal) ? zoom.effective() : ZoomFactor::fromWhole(1);
    const std::int64_t tw = std::max<std::int64_t>(1, z.apply(fw));
    const std::int64_t th = std::max<std::int64_t>(1, z.apply(fh));
    if (tw > MaxComposedImageSide || th > MaxComposedImageSide)
        return false;
    if (vs.reduction > 1 && (vs.current.width() < tw || vs.current.height() < th)) {
        // A larger view, zoom or fit than the reduced decode covers: decode it whole.
        if (LoadShownImage(vs, vs.currentFile)) {
            vs.second = QImage();
            vs.natural = vs.current.size();
            vs.reduction = 1;
        }
    }
    const QSize composed { int(tw), int(th) };
    const Placement centred = PlaceInView(box.width(), box.height(), composed.width(), composed.height());
    if (!composeAround(vs, composed, box, QRect(centred.srcX, centred.srcY, centred.w, centred.h), quality))
        return false;
    vs.viewW = box.width();
    vs.viewH = box.height();
    vs.imageW = composed.width();
    vs.imageH = composed.height();
    vs.srcX = centred.srcX;
    vs.srcY = centred.srcY;
    vs.quality = quality;
    return true;
}

bool ComposePart(ViewState &vs, const QRect &needed)
{
    const QRect want = needed.intersected(QRect(0, 0, vs.imageW, vs.imageH));
    if (!vs.offscreen.isNull() && (want.isEmpty() || QRect(vs.offscreenAt, vs.offscreen.size()).contains(want))) {
        convertShown(vs, want);
        return true;
    }
    if (vs.current.isNull() || want.isEmpty())
        return false;
    return composeAround(vs, QSize(vs.imageW, vs.imageH), QSize(vs.viewW, vs.viewH), want, vs.quality);
}

bool LoadShownImage(ViewState &vs, const QString &file)
{
    const DrawServices &s = drawServices();
    QByteArray icc;
    QImage image = s.loadShown ? s.loadShown(file, &icc) : s.loadDib(file, true);
    if (image.isNull())
        return false;
    vs.current = std::move(image);
    vs.currentIcc = std::move(icc);
    return true;
}

void HoldInSrgb(ViewState &vs)
{
    if (vs.currentIcc.isEmpty())
        return;
    const bool shared = !vs.reference.isNull() && vs.reference.constBits() == vs.current.constBits();
    // A second holder of the same pixels would make the conversion copy them first.
    vs.second = QImage();
    if (shared)
        vs.reference = QImage();
    // Held this way the picture is opaque true colour; a turn may have changed its
    // layout to one the conversion does not read.
    for (QImage *held : { &vs.current, &vs.reference }) {
        if (held->isNull())
            continue;
        if (held->format() != QImage::Format_RGB888 && held->format() != QImage::Format_RGB32)
            *held = held->convertToFormat(QImage::Format_RGB32);
        *held = convertToSrgb(std::move(*held), vs.currentIcc);
    }
    if (shared)
        vs.reference = vs.current;
    vs.currentIcc.clear();
}

bool ShowImageFitted(const QString &file, DrawTarget &target, QStringView fitMode, ZoomFactor zoom, const Settings &cfg)
{
    ViewState &vs = viewState();
    ReleaseOffscreen(vs);
    // The decoded image is kept for redraws of the same file; another file
    // replaces it (an empty name always redraws the held image).
    if (!file.isEmpty() && (vs.current.isNull() || vs.currentFile != file)) {
        FreeCurrentImage(vs);
        // A JPEG is decoded only as large as the view will show it.
        QSize natural;
        const int reduction =
            drawServices().loadReduced ? PreviewReductionFor(file, target.clientSize(), fitMode, zoom, &natural) : 1;
        if (reduction > 1)
            vs.current = drawServices().loadReduced(file, reduction, &vs.currentIcc);
        if (vs.current.isNull())
            LoadShownImage(vs, file);
        if (!vs.current.isNull()) {
            vs.currentFile = file;
            // Transparent parts show the pane's colour.
            vs.current = flattenOnto(vs.current, colorFromBgr(cfg.ViewColor).rgb());
            // The file's own size is the natural one, whatever size a loader hands
            // over (one decoded ahead may be whole, or smaller than asked): the fit,
            // the zoom and the status text then stay true to the picture.
            vs.natural = natural.isValid() ? natural : vs.current.size();
            vs.reduction =
                vs.current.size() == vs.natural ? 1 : std::max(2, vs.natural.width() / std::max(1, vs.current.width()));
        }
    }
    if (vs.current.isNull())
        return false;
    if (!ComposeFitted(vs, target.clientSize(), fitMode, zoom, cfg.E_Quality))
        return false;
    RunTransition(target, vs, cfg);
    target.setTag(QString());
    return true;
}

void RunTransition(DrawTarget &target, ViewState &vs, const Settings &cfg)
{
    if (vs.offscreen.isNull())
        return;
    const Placement p = PlaceInView(vs);
    if (!ComposePart(vs, QRect(p.srcX, p.srcY, p.w, p.h)))
        return;
    // The plan reads from the part held, which starts at offscreenAt.
    Placement inPart = p;
    inPart.srcX -= vs.offscreenAt.x();
    inPart.srcY -= vs.offscreenAt.y();
    target.showComposed(vs.offscreen,
        planTransition(cfg.E_Index, inPart, QSize(vs.viewW, vs.viewH), cfg.E_Iter, cfg.E_Delay),
        colorFromBgr(cfg.ViewColor));
}

void RunPlainCopy(DrawTarget &target, ViewState &vs, std::uint32_t viewColor)
{
    Settings plain;
    plain.E_Index = 0;
    plain.ViewColor = viewColor;
    RunTransition(target, vs, plain);
}

void PaintMargins(QPainter &painter, const Placement &p, QSize view, QColor color)
{
    for (const QRect &r : marginRects(p, view))
        painter.fillRect(r, color);
}

void drawEdge(QPainter &painter, const QRect &rect, EdgeStyle style)
{
    if (rect.width() < 2 || rect.height() < 2)
        return;
    static const QColor highlight(255, 255, 255), light(223, 223, 223), shadow(128, 128, 128), dark(64, 64, 64);
    const bool raised = style == EdgeStyle::Raised;
    const auto frame = [&](QRect r, const QColor &topLeft, const QColor &bottomRight) {
        painter.fillRect(QRect(r.left(), r.top(), r.width(), 1), topLeft);
        painter.fillRect(QRect(r.left(), r.top(), 1, r.height()), topLeft);
        painter.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), bottomRight);
        painter.fillRect(QRect(r.right(), r.top(), 1, r.height()), bottomRight);
    };
    frame(rect, raised ? light : shadow, raised ? dark : highlight);
    frame(rect.adjusted(1, 1, -1, -1), raised ? highlight : dark, raised ? shadow : light);
}

bool DrawImageInRect(const QString &file, QPainter &painter, const QRect &rect, const Settings &cfg)
{
    const QImage image = drawServices().loadDib(file, true);
    if (image.isNull())
        return false;
    int fw = 0, fh = 0;
    if (ComputeFitSize(FitAuto, image.width(), image.height(), rect.width(), rect.height(), fw, fh)
        && composableSize(fw, fh)) {
        const QPoint at = rect.topLeft()
            + QPoint(int(divRoundHalfEven(rect.width() - fw, 2)), int(divRoundHalfEven(rect.height() - fh, 2)));
        const QSize size(fw, fh);
        painter.drawImage(
            at, cfg.E_Quality ? drawServices().resample(toDisplayFormat(image), size) : stretchFast(image, size));
    }
    drawEdge(painter, rect, EdgeStyle::Raised);
    return true;
}

FramedPreviewGeometry framedPreviewGeometry(QSize client, QSize image)
{
    FramedPreviewGeometry g;
    const int boxW = int(divRoundHalfEven(2 * std::int64_t(client.width()), 3));
    const int boxH = int(divRoundHalfEven(2 * std::int64_t(client.height()), 3));
    int w = 0, h = 0;
    if (!ComputeFitSize(FitAuto, image.width(), image.height(), boxW, boxH, w, h))
        return g;
    const int x = int(divRoundHalfEven(client.width() - w, 2));
    const int y = int(divRoundHalfEven(client.height() - h, 2));
    g.image = QRect(x, y, w, h);
    g.frame = g.image.adjusted(-14, -14, 14, 14);
    return g;
}

bool ShowFramedPreview(const QString &file, DrawTarget &target)
{
    const QImage image = drawServices().loadDdb(file, true);
    if (image.isNull())
        return false;
    const FramedPreviewGeometry g = framedPreviewGeometry(target.clientSize(), image.size());
    if (g.image.isEmpty() || !composableSize(g.image.width(), g.image.height()))
        return false;
    ViewState &vs = viewState();
    ReleaseOffscreen(vs);
    vs.offscreen = toDisplayFormat(flattenOnto(stretchFast(image, g.image.size()), FramedPreviewFill.rgb()));
    vs.srcX = g.image.x();
    vs.srcY = g.image.y();
    vs.destRight = g.image.x() + g.image.width();
    vs.destBottom = g.image.y() + g.image.height();
    vs.imageW = vs.viewW = g.image.width();
    vs.imageH = vs.viewH = g.image.height();
    const QImage composed = vs.offscreen;
    target.paintOver([&](QPainter &p) {
        p.fillRect(g.frame, FramedPreviewFill);
        drawEdge(p, g.image.adjusted(-2, -2, 2, 2), EdgeStyle::Sunken);
        drawEdge(p, g.frame, EdgeStyle::Raised);
        p.drawImage(g.image.topLeft(), composed);
    });
    return true;
}

bool DrawThumbCell(const QByteArray &bytes, QPainter &painter, QPoint origin, const Settings &cfg)
{
    if (bytes.isEmpty())
        return false;
    const auto first = static_cast<unsigned char>(bytes.front());
    if (first != 0xFF && first != 'B')
        return false;
    return DrawThumbImage(drawServices().decodeThumb(bytes, first == 0xFF), painter, origin, cfg);
}

bool DrawThumbImage(const QImage &image, QPainter &painter, QPoint origin, const Settings &cfg)
{
    if (image.isNull())
        return false;
    const QSize cell(cfg.ThumbW, cfg.ThumbH);
    const QSize fit = fitThumbCell(image.width(), image.height(), cfg.ThumbW, cfg.ThumbH, 1);
    if (cfg.E_Quality) {
        painter.drawImage(origin + cellOffsets(fit, cell), drawServices().resample(image, fit));
    } else if (2 * image.width() <= fit.width() && 2 * image.height() <= fit.height()) {
        // A small picture is shown at its own size rather than blown up.
        painter.drawImage(origin + cellOffsets(image.size(), cell), image);
    } else {
        painter.drawImage(origin + cellOffsets(fit, cell), stretchFast(image, fit));
    }
    return true;
}

std::int64_t dibByteSize(const QImage &image)
{
    if (image.isNull())
        return 0;
    const int bits = image.depth();
    std::int64_t colors = 0;
    if (bits <= 8)
        colors = image.colorCount() > 0 ? image.colorCount() : (std::int64_t(1) << bits);
    const std::int64_t stride = (std::int64_t(image.width()) * bits + 31) / 32 * 4;
    return 40 + colors * 4 + stride * image.height();
}

QImage MakeThumbnailDib(const QString &file, std::int64_t &outBytes, const Settings &cfg)
{
    outBytes = 0;
    QImage image = flattenOnto(drawServices().loadDib(file, false), colorFromBgr(cfg.ThumbColor).rgb());
    if (image.isNull())
        return {};
    const QSize fit = fitThumbCell(image.width(), image.height(), cfg.ThumbW, cfg.ThumbH, 2);
    if ((cfg.E_Quality || cfg.CacheThumbs) && (image.width() > cfg.ThumbW || image.height() > cfg.ThumbH)) {
        QImage scaled = drawServices().resample(image, fit);
        // A resampled thumbnail is a 24-bit DIB.
        if (!scaled.hasAlphaChannel() && scaled.depth() == 32)
            scaled = scaled.convertToFormat(QImage::Format_RGB888);
        image = scaled;
    }
    outBytes = dibByteSize(image);
    if (!cfg.CacheThumbs)
        return {};
    return image;
}

} // namespace v7
