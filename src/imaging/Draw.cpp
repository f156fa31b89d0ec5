#include "imaging/Draw.h"

#include "imaging/Codecs.h"
#include "imaging/ImageLoad.h"

#include <algorithm>

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
    QImage loadReduced(const QString &file, int reduction)
    {
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

} // namespace

DrawServices defaultDrawServices()
{
    return { loadDib, loadDdb, decodeThumb, resampleSmooth, loadReduced };
}

void setDrawServices(DrawServices s)
{
    DrawServices &cur = services();
    if (s.loadDib)
        cur.loadDib = std::move(s.loadDib);
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
    if (!composableSize(tw, th))
        return false;
    const QSize target { int(tw), int(th) };
    if (vs.reduction > 1 && (vs.current.width() < tw || vs.current.height() < th)) {
        // A larger view, zoom or fit than the reduced decode covers: decode it whole.
        QImage full = drawServices().loadDib(vs.currentFile, true);
        if (!full.isNull()) {
            vs.current = std::move(full);
            vs.second = QImage();
            vs.natural = vs.current.size();
            vs.reduction = 1;
        }
    }

    if (vs.second.isNull()) {
        // A true-colour image loses nothing in the display format, so it is held
        // once in that format (a 24-megapixel image would otherwise be held twice);
        // a palette or alpha image keeps its own form beside a display copy.
        if (vs.current.depth() > 8 && !vs.current.hasAlphaChannel())
            vs.current = toDisplayFormat(vs.current);
        vs.second = toDisplayFormat(vs.current);
    }
    QImage composed = quality ? drawServices().resample(vs.second, target) : QImage();
    // A resampler that cannot deliver the size asked for falls back to the stretch.
    if (composed.size() != target)
        composed = stretchFast(vs.second, target);
    if (composed.isNull())
        return false;
    vs.offscreen = toDisplayFormat(composed);
    vs.viewW = box.width();
    vs.viewH = box.height();
    vs.imageW = int(tw);
    vs.imageH = int(th);
    return true;
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
        int reduction =
            drawServices().loadReduced ? PreviewReductionFor(file, target.clientSize(), fitMode, zoom, &natural) : 1;
        if (reduction > 1)
            vs.current = drawServices().loadReduced(file, reduction);
        if (vs.current.isNull()) {
            reduction = 1;
            vs.current = drawServices().loadDib(file, true);
        }
        if (!vs.current.isNull()) {
            vs.currentFile = file;
            // Transparent parts show the pane's colour.
            vs.current = flattenOnto(vs.current, colorFromBgr(cfg.ViewColor).rgb());
            // A loader may hand over the whole image (one decoded ahead) where a
            // reduced one was asked for.
            vs.natural = reduction > 1 ? natural : vs.current.size();
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
    target.showComposed(vs.offscreen,
        planTransition(cfg.E_Index, p, QSize(vs.viewW, vs.viewH), cfg.E_Iter, cfg.E_Delay),
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
