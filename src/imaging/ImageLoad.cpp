// Load and save dispatch over the codec layer.
#include "imaging/ImageLoad.h"

#include "app/Settings.h"
#include "imaging/CodecsInternal.h"
#include "imaging/ColourManage.h"

#include <QFileInfo>
#include <algorithm>

namespace v7
{

using namespace codec;

ImageType imageTypeOf(const QString &formatOrExtension)
{
    const QString k = formatOrExtension.toLower();
    if (k == QLatin1String("jpg") || k == QLatin1String("jpeg"))
        return ImageType::Jpeg;
    if (k == QLatin1String("bmp"))
        return ImageType::Bmp;
    if (k == QLatin1String("gif"))
        return ImageType::Gif;
    if (k == QLatin1String("pcd"))
        return ImageType::Pcd;
    if (k == QLatin1String("pcx"))
        return ImageType::Pcx;
    if (k == QLatin1String("png"))
        return ImageType::Png;
    if (k == QLatin1String("tif") || k == QLatin1String("tiff"))
        return ImageType::Tiff;
    if (k == QLatin1String("webp"))
        return ImageType::Webp;
    if (k == QLatin1String("heic") || k == QLatin1String("heif") || k == QLatin1String("avif"))
        return ImageType::Heif;
    if (k == QLatin1String("jxl"))
        return ImageType::Jxl;
    return ImageType::None;
}

int decoderDepth(int contextBits)
{
    return contextBits >= 16 ? 24 : contextBits;
}

int jpegReductionFactor(int m, int t)
{
    const std::int64_t mm = m, tt = t;
    if (tt <= 0 || mm < 2 * tt)
        return 1;
    if (mm < 4 * tt)
        return 2;
    if (mm < 7 * tt)
        return 4;
    return 8;
}

int tiffSizePercent(int m, int t)
{
    const std::int64_t mm = m, tt = t;
    if (tt <= 0 || mm <= 2 * tt)
        return 100;
    if (mm < 10 * tt)
        return 60;
    return 30;
}

bool GetImageInfo(ImageFileInfo &info)
{
    CodecFileInfo ci;
    if (fileinfo(info.fileName, ci) <= 0)
        return false;
    info.format = QString::fromLatin1(ci.format.left(4));
    info.width = ci.width;
    info.height = ci.height;
    info.bitsPerPixel = ci.bitsPerPixel;
    info.extra1 = ci.extra1;
    info.extra2 = ci.extra2;
    return true;
}

namespace
{

    // The display's format for a device of the given depth.
    QImage toDevice(QImage image, int deviceBits)
    {
        if (image.isNull())
            return image;
        if (deviceBits <= 8)
            return toDepth(std::move(image), 8);
        // Transparency stays for the drawing to composite (see Codecs.h).
        const QImage::Format device = image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32;
        if (image.format() == device)
            return image;
        return image.convertToFormat(device);
    }

    QImage scaledByPercent(QImage image, int percent)
    {
        if (image.isNull() || percent >= 100)
            return image;
        const int w = std::max(1, int(std::int64_t(image.width()) * percent / 100));
        const int h = std::max(1, int(std::int64_t(image.height()) * percent / 100));
        return ScaleDib(image, w, h);
    }

    // The file's bytes and what they are; the loaders read each file once.
    struct Loaded {
        Bytes bytes;
        ImageType type = ImageType::None;
        CodecFileInfo info;
    };

    bool loadFile(const QString &name, Loaded &l)
    {
        auto &buf = threadFileBuffer();
        if (!readFileBytes(name, buf) || buf.empty())
            return false;
        l.bytes = Bytes { buf.data(), buf.size() };
        if (meminfo(reinterpret_cast<const char *>(l.bytes.data), l.bytes.size, l.info) <= 0)
            return false;
        l.type = imageTypeOf(QString::fromLatin1(l.info.format));
        return l.type != ImageType::None;
    }

    // The profile of a format whose decoder does not hand one out.
    QByteArray fileProfile(const Loaded &l)
    {
        return embeddedIccProfile(l.bytes.data, l.bytes.size);
    }

} // namespace

QImage LoadImageDdb(const QString &fileName, int contextDepth, bool fullSize)
{
    Loaded l;
    if (!loadFile(fileName, l))
        return {};
    QByteArray icc;
    const int deviceBits = contextDepth > 0 ? contextDepth : screenDepth();
    const int depth = decoderDepth(deviceBits);
    const int t = settings().ThumbW;
    const int m = l.info.width;
    QImage image;
    switch (l.type) {
    case ImageType::Jpeg:
        image = decodeJpeg(l.bytes, depth, fullSize ? 1 : jpegReductionFactor(m, t));
        break;
    case ImageType::Bmp:
        // The bitmap reader works at the file's own depth.
        image = toDepth(decodeBmp(l.bytes), decoderDepth(l.info.bitsPerPixel));
        break;
    case ImageType::Gif:
        image = toDepth(decodeGif(l.bytes), depth);
        break;
    case ImageType::Pcd:
        image = toDepth(decodePcd(l.bytes, photoCdResolution(fullSize)), depth);
        break;
    case ImageType::Pcx:
        image = toDepth(decodePcx(l.bytes), depth);
        break;
    case ImageType::Png:
        image = toDepth(decodePng(l.bytes), depth);
        break;
    case ImageType::Tiff:
        image = toDepth(decodeTiff(l.bytes), depth);
        break;
    case ImageType::Webp:
        image = toDepth(decodeWebp(l.bytes, &icc), depth);
        break;
    case ImageType::Heif:
        image = toDepth(decodeHeif(l.bytes, &icc), depth);
        break;
    case ImageType::Jxl:
        image = toDepth(decodeJxl(l.bytes, &icc), depth);
        break;
    case ImageType::None:
        break;
    }
    if (l.type == ImageType::Jpeg || l.type == ImageType::Png || l.type == ImageType::Tiff)
        icc = fileProfile(l);
    return convertToSrgb(toDevice(std::move(image), deviceBits), icc);
}

QImage LoadExifPreviewDib(const QString &fileName, int boxW, int boxH, QSize *decodedSize)
{
    // The EXIF segment is at most 64 KB and comes first; the frame header follows it
    // and sometimes an ICC profile. A file laid out otherwise is decoded whole instead.
    constexpr std::size_t PrefixBytes = 256 * 1024;
    auto &buf = threadFileBuffer();
    if (!readFileBytes(fileName, buf, PrefixBytes) || buf.empty())
        return {};
    if (isHeif(Bytes { buf.data(), buf.size() })) {
        // The thumbnail's place is anywhere in the file.
        if (buf.size() == PrefixBytes && !readFileBytes(fileName, buf))
            return {};
        QSize primary;
        QByteArray icc;
        QImage thumb = decodeHeifThumbnail(Bytes { buf.data(), buf.size() }, &primary, &icc);
        if (thumb.isNull())
            return {};
        if (decodedSize)
            *decodedSize = primary;
        return convertToSrgb(flattenOnto(thumb, 0xFFFFFFFFu), icc);
    }
    JpegOutline o;
    if (!jpegOutline(Bytes { buf.data(), buf.size() }, o) || o.preview.size == 0)
        return {};
    const bool swap = o.orientation >= 5;
    const int w = swap ? o.height : o.width;
    const int h = swap ? o.width : o.height;
    // The size the scaled decode gives: each side divided by the factor, rounded up.
    const int f = jpegReductionFactor(std::max(w, h), std::max(boxW, boxH));
    const int dw = (w + f - 1) / f;
    const int dh = (h + f - 1) / f;
    if (!sizeAllowed(dw, dh))
        return {};
    QImage preview = decodeJpeg(o.preview, 24, 1, false, o.orientation);
    if (preview.isNull())
        return {};
    if (decodedSize)
        *decodedSize = QSize(dw, dh);
    // The preview shows the picture in the picture's colours.
    return convertToSrgb(std::move(preview), embeddedIccProfile(buf.data(), buf.size()));
}

QImage LoadImageDib(const QString &fileName, int contextDepth, bool fullSize)
{
    QByteArray icc;
    QImage image = LoadImageDibKeepColour(fileName, contextDepth, fullSize, &icc);
    return convertToSrgb(std::move(image), icc);
}

QImage LoadImageDibForScreen(const QString &fileName, int contextDepth, bool fullSize, QByteArray *icc)
{
    QByteArray scratch;
    if (!icc)
        icc = &scratch;
    QImage image = LoadImageDibKeepColour(fileName, contextDepth, fullSize, icc);
    if (icc->isEmpty())
        return image;
    // A palette converts its table, cheaply, and alpha is flattened in sRGB: both
    // are done here, as every other case whose colours the composition would change.
    const bool opaqueTrueColour = image.format() == QImage::Format_RGB888 || image.format() == QImage::Format_RGB32;
    if (!opaqueTrueColour || !profileConverts(*icc)) {
        image = convertToSrgb(std::move(image), *icc);
        icc->clear();
    }
    return image;
}

QImage LoadImageDibKeepColour(const QString &fileName, int contextDepth, bool fullSize, QByteArray *icc)
{
    QByteArray scratch;
    if (!icc)
        icc = &scratch;
    icc->clear();
    Loaded l;
    if (!loadFile(fileName, l))
        return {};
    if (l.type == ImageType::Jpeg || l.type == ImageType::Png || l.type == ImageType::Tiff)
        *icc = fileProfile(l);
    int depth = 24;
    if (contextDepth == ScreenContext)
        depth = decoderDepth(screenDepth());
    else if (contextDepth > 0)
        depth = decoderDepth(contextDepth);
    const int t = std::max(settings().ThumbW, settings().ThumbH);
    const int m = std::max(l.info.width, l.info.height);
    switch (l.type) {
    case ImageType::Jpeg:
        return decodeJpeg(l.bytes, depth, fullSize ? 1 : jpegReductionFactor(m, t));
    case ImageType::Bmp:
        return toDepth(decodeBmp(l.bytes), depth);
    case ImageType::Gif:
        return toDepth(decodeGif(l.bytes), depth);
    case ImageType::Png:
        return toDepth(decodePng(l.bytes), depth);
    case ImageType::Pcx:
        return toDepth(decodePcx(l.bytes), depth);
    case ImageType::Pcd:
        return toDepth(decodePcd(l.bytes, photoCdResolution(fullSize)), depth);
    case ImageType::Tiff:
        return toDepth(scaledByPercent(decodeTiff(l.bytes), fullSize ? 100 : tiffSizePercent(m, t)), depth);
    case ImageType::Webp:
        return toDepth(decodeWebp(l.bytes, icc), depth);
    case ImageType::Heif:
        return toDepth(decodeHeif(l.bytes, icc), depth);
    case ImageType::Jxl:
        return toDepth(decodeJxl(l.bytes, icc), depth);
    case ImageType::None:
        break;
    }
    return {};
}

namespace
{

    bool saveBy(const QString &fileName, const QImage &image, int outputBits, int jpegQuality)
    {
        if (image.isNull())
            return false;
        const QString ext = QFileInfo(fileName).suffix().toLower();
        const int bits = outputBits <= 8 ? 8 : 24;
        if (ext == QLatin1String("jpg"))
            return wrjpgfiledib(fileName, jpegQuality, image);
        if (ext == QLatin1String("gif"))
            return wrgiffiledib(fileName, bits, image);
        if (ext == QLatin1String("bmp"))
            return wrbmpfiledib(fileName, bits, image);
        if (ext == QLatin1String("pcx"))
            return wrpcxfiledib(fileName, bits, image);
        if (ext == QLatin1String("png"))
            return wrpngfiledib(fileName, bits, image);
        if (ext == QLatin1String("webp"))
            return wrwebpfiledib(fileName, jpegQuality, jpegQuality >= 100, image);
        if (ext == QLatin1String("avif"))
            return wraviffiledib(fileName, jpegQuality, image);
        return false;
    }

} // namespace

bool SaveImageDdb(const QString &fileName, const QImage &bitmap, int outputBits, int jpegQuality)
{
    return saveBy(fileName, bitmap, outputBits, jpegQuality);
}

bool SaveImageDib(const QString &fileName, const QImage &dib, int outputBits, int jpegQuality)
{
    return saveBy(fileName, dib, outputBits, jpegQuality);
}

QImage DecodeThumbStream(const char *data, std::size_t size)
{
    if (!data || size == 0)
        return {};
    const auto first = static_cast<unsigned char>(data[0]);
    if (first == 0xFF)
        return rdjpgstreamdib(data, size, 24, 1);
    if (first == 'B')
        return rdbmpstreamdib(data, size, 24);
    return {};
}

} // namespace v7
