// WebP through libwebp: header probe, still and animated decoding (the first frame
// of an animation), the EXIF orientation and ICC profile from the container, and
// lossy or lossless encoding to memory.
#include "imaging/CodecsInternal.h"

#include <cstring>
#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>

namespace v7::codec
{

namespace
{

    // The container's chunks: EXIF (its TIFF structure, sometimes after an "Exif\0\0"
    // header) and ICCP. Both are views into b, empty when absent.
    struct WebpMeta {
        Bytes exif;
        Bytes icc;
    };

    WebpMeta webpMeta(Bytes b)
    {
        WebpMeta m;
        const WebPData data { b.data, b.size };
        WebPDemuxer *demux = WebPDemux(&data);
        if (!demux)
            return m;
        const std::uint32_t flags = WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS);
        WebPChunkIterator it;
        if ((flags & EXIF_FLAG) && WebPDemuxGetChunk(demux, "EXIF", 1, &it)) {
            m.exif = Bytes { it.chunk.bytes, it.chunk.size };
            if (m.exif.size >= 6 && std::memcmp(m.exif.data, "Exif\0\0", 6) == 0)
                m.exif = Bytes { m.exif.data + 6, m.exif.size - 6 };
            WebPDemuxReleaseChunkIterator(&it);
        }
        if ((flags & ICCP_FLAG) && WebPDemuxGetChunk(demux, "ICCP", 1, &it)) {
            m.icc = Bytes { it.chunk.bytes, it.chunk.size };
            WebPDemuxReleaseChunkIterator(&it);
        }
        WebPDemuxDelete(demux);
        return m;
    }

    QImage firstFrame(Bytes b, int width, int height)
    {
        WebPAnimDecoderOptions opts;
        if (!WebPAnimDecoderOptionsInit(&opts))
            return {};
        opts.color_mode = MODE_BGRA; // QImage::Format_ARGB32 in little-endian memory
        opts.use_threads = 0;
        const WebPData data { b.data, b.size };
        WebPAnimDecoder *dec = WebPAnimDecoderNew(&data, &opts);
        if (!dec)
            return {};
        QImage out;
        WebPAnimInfo info;
        uint8_t *buf = nullptr;
        int timestamp = 0;
        if (WebPAnimDecoderGetInfo(dec, &info) && int(info.canvas_width) == width && int(info.canvas_height) == height
            && WebPAnimDecoderGetNext(dec, &buf, &timestamp) && buf) {
            out = newImage(width, height, QImage::Format_ARGB32);
            for (int y = 0; !out.isNull() && y < height; ++y)
                std::memcpy(out.scanLine(y), buf + std::size_t(y) * std::size_t(width) * 4, std::size_t(width) * 4);
        }
        WebPAnimDecoderDelete(dec);
        return out;
    }

    // An animation's frames may leave parts of the canvas transparent; a frame that
    // covers it all is opaque and becomes RGB888 like a still picture.
    QImage dropOpaqueAlpha(QImage image)
    {
        if (image.format() != QImage::Format_ARGB32)
            return image;
        for (int y = 0; y < image.height(); ++y) {
            const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                if (qAlpha(row[x]) != 255)
                    return image;
        }
        return image.convertToFormat(QImage::Format_RGB888);
    }

} // namespace

bool probeWebp(Bytes b, CodecFileInfo &info)
{
    WebPBitstreamFeatures f;
    if (b.size < 12 || WebPGetFeatures(b.data, b.size, &f) != VP8_STATUS_OK || f.width <= 0 || f.height <= 0)
        return false;
    const int o = exifOrientation(webpMeta(b).exif);
    const bool swap = o >= 5;
    info.format = "WEBP";
    info.width = swap ? f.height : f.width;
    info.height = swap ? f.width : f.height;
    info.bitsPerPixel = f.has_alpha ? 32 : 24;
    info.extra1 = o;
    info.extra2 = 1;
    return true;
}

QImage decodeWebp(Bytes b, QByteArray *icc)
{
    if (icc)
        icc->clear();
    WebPBitstreamFeatures f;
    if (b.size < 12 || WebPGetFeatures(b.data, b.size, &f) != VP8_STATUS_OK || !sizeAllowed(f.width, f.height))
        return {};
    QImage out;
    if (f.has_animation) {
        out = dropOpaqueAlpha(firstFrame(b, f.width, f.height));
    } else {
        out = newImage(f.width, f.height, f.has_alpha ? QImage::Format_ARGB32 : QImage::Format_RGB888);
        if (out.isNull())
            return {};
        const std::size_t bytes = std::size_t(out.bytesPerLine()) * std::size_t(out.height());
        const int stride = int(out.bytesPerLine());
        const uint8_t *ok = f.has_alpha ? WebPDecodeBGRAInto(b.data, b.size, out.bits(), bytes, stride)
                                        : WebPDecodeRGBInto(b.data, b.size, out.bits(), bytes, stride);
        if (!ok)
            return {};
    }
    if (out.isNull())
        return {};
    const WebpMeta meta = webpMeta(b);
    if (icc && meta.icc.size > 0)
        *icc = QByteArray(reinterpret_cast<const char *>(meta.icc.data), qsizetype(meta.icc.size));
    return orientUpright(std::move(out), exifOrientation(meta.exif));
}

bool encodeWebp(const QImage &image, int quality, bool lossless, QByteArray &out)
{
    out.clear();
    // The format's own bound on each side.
    if (image.isNull() || image.width() > WEBP_MAX_DIMENSION || image.height() > WEBP_MAX_DIMENSION)
        return false;
    const bool alpha = image.hasAlphaChannel();
    const QImage src = image.convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB888);
    if (src.isNull())
        return false;
    const float q = float(std::clamp(quality, 0, 100));
    const int w = src.width(), h = src.height(), stride = int(src.bytesPerLine());
    uint8_t *bytes = nullptr;
    std::size_t size = 0;
    if (alpha)
        size = lossless ? WebPEncodeLosslessBGRA(src.constBits(), w, h, stride, &bytes)
                        : WebPEncodeBGRA(src.constBits(), w, h, stride, q, &bytes);
    else
        size = lossless ? WebPEncodeLosslessRGB(src.constBits(), w, h, stride, &bytes)
                        : WebPEncodeRGB(src.constBits(), w, h, stride, q, &bytes);
    if (size > 0 && bytes && size <= 0x7FFFFFFF)
        out = QByteArray(reinterpret_cast<const char *>(bytes), qsizetype(size));
    WebPFree(bytes);
    return !out.isEmpty();
}

} // namespace v7::codec
