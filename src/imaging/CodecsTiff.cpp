// TIFF through libtiff, read from memory: any layout libtiff's RGBA interface
// understands, drawn upright into a 24-bit image.
#include "imaging/CodecsInternal.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <tiffio.h>
#include <vector>

namespace v7::codec
{

namespace
{

    struct Stream {
        Bytes in;
        toff_t at = 0;
    };

    tmsize_t readProc(thandle_t h, void *buf, tmsize_t n)
    {
        auto *s = static_cast<Stream *>(h);
        if (n <= 0 || s->at >= s->in.size)
            return 0;
        const std::size_t take = std::min<std::size_t>(std::size_t(n), s->in.size - std::size_t(s->at));
        std::memcpy(buf, s->in.data + s->at, take);
        s->at += take;
        return tmsize_t(take);
    }
    tmsize_t writeProc(thandle_t, void *, tmsize_t)
    {
        return 0;
    }
    toff_t seekProc(thandle_t h, toff_t off, int whence)
    {
        auto *s = static_cast<Stream *>(h);
        toff_t base = 0;
        if (whence == SEEK_CUR)
            base = s->at;
        else if (whence == SEEK_END)
            base = s->in.size;
        const toff_t to = base + off;
        if (to > (toff_t(1) << 62))
            return toff_t(-1);
        s->at = to;
        return to;
    }
    int closeProc(thandle_t)
    {
        return 0;
    }
    toff_t sizeProc(thandle_t h)
    {
        return static_cast<Stream *>(h)->in.size;
    }
    int mapProc(thandle_t, void **, toff_t *)
    {
        return 0;
    }
    void unmapProc(thandle_t, void *, toff_t) { }

    TIFF *openTiff(Stream &s)
    {
        initTiff();
        if (s.in.size < 8)
            return nullptr;
        // "m": no memory mapping (we already hold the bytes); "h": header only first.
        return TIFFClientOpen(
            "memory", "rm", &s, readProc, writeProc, seekProc, closeProc, sizeProc, mapProc, unmapProc);
    }

} // namespace

void initTiff()
{
    // libtiff reports to stderr by default; a browser meets broken files all day.
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
    });
}

bool probeTiff(Bytes b, CodecFileInfo &info)
{
    Stream s { b, 0 };
    TIFF *tif = openTiff(s);
    if (!tif)
        return false;
    std::uint32_t w = 0, h = 0;
    std::uint16_t bps = 1, spp = 1;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFClose(tif);
    if (w == 0 || h == 0 || w > 0x7FFFFFFF || h > 0x7FFFFFFF)
        return false;
    info.format = "TIFF";
    info.width = int(w);
    info.height = int(h);
    info.bitsPerPixel = int(bps) * int(spp);
    info.extra2 = 1;
    return true;
}

QImage decodeTiff(Bytes b)
{
    Stream s { b, 0 };
    TIFF *tif = openTiff(s);
    if (!tif)
        return {};
    std::uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    QImage out;
    char emsg[1024] = "";
    // The RGBA raster and the result together: count both against the limit.
    if (sizeAllowed(w, std::int64_t(h) * 2) && TIFFRGBAImageOK(tif, emsg)) {
        std::vector<std::uint32_t> raster;
        try {
            raster.resize(std::size_t(w) * h);
        } catch (const std::bad_alloc &) {
            TIFFClose(tif);
            return {};
        }
        if (TIFFReadRGBAImageOriented(tif, w, h, raster.data(), ORIENTATION_TOPLEFT, 1)) {
            out = newImage(int(w), int(h), QImage::Format_RGB888);
            if (!out.isNull()) {
                for (std::uint32_t y = 0; y < h; ++y) {
                    const std::uint32_t *src = raster.data() + std::size_t(y) * w;
                    uchar *dst = out.scanLine(int(y));
                    for (std::uint32_t x = 0; x < w; ++x, dst += 3) {
                        dst[0] = uchar(TIFFGetR(src[x]));
                        dst[1] = uchar(TIFFGetG(src[x]));
                        dst[2] = uchar(TIFFGetB(src[x]));
                    }
                }
            }
        }
    }
    TIFFClose(tif);
    return out;
}

} // namespace v7::codec
