// JPEG through the TurboJPEG API: header probe, scaled decoding straight into the
// target image, the EXIF orientation, and encoding to memory.
#include "imaging/CodecsInternal.h"

#include <algorithm>
#include <cstring>
#include <turbojpeg.h>
#include <vector>

namespace v7::codec
{

namespace
{

    // One decompressor and one compressor per thread, kept for the thread's life:
    // creating them costs more than decoding a small thumbnail.
    struct TjHandles {
        tjhandle dec = nullptr;
        tjhandle enc = nullptr;
        unsigned char *encBuf = nullptr;
        unsigned long encCap = 0;
        ~TjHandles()
        {
            if (dec)
                tjDestroy(dec);
            if (enc)
                tjDestroy(enc);
            if (encBuf)
                tjFree(encBuf);
        }
    };

    TjHandles &handles()
    {
        thread_local TjHandles h;
        return h;
    }

    tjhandle decoder()
    {
        auto &h = handles();
        if (!h.dec)
            h.dec = tjInitDecompress();
        return h.dec;
    }

    // TurboJPEG keeps a warning flag and message across calls on a handle, so a bad
    // file would taint every later decode: start afresh after any complaint.
    void resetDecoder()
    {
        auto &h = handles();
        if (h.dec)
            tjDestroy(h.dec);
        h.dec = nullptr;
    }

    tjhandle encoder()
    {
        auto &h = handles();
        if (!h.enc)
            h.enc = tjInitCompress();
        return h.enc;
    }

    struct Header {
        int width = 0, height = 0, subsamp = 0, colorspace = 0;
    };

    bool readHeader(tjhandle h, Bytes b, Header &hd)
    {
        if (!h || b.size < 4 || b.size > 0xFFFFFFFFu)
            return false;
        return tjDecompressHeader3(
                   h, b.data, static_cast<unsigned long>(b.size), &hd.width, &hd.height, &hd.subsamp, &hd.colorspace)
            == 0
            && hd.width > 0 && hd.height > 0;
    }

    // A JPEG needs well over one byte per 4,096 pixels even when every block is flat;
    // a header that claims more pixels than that is a lie we refuse before decoding.
    bool plausibleSize(const Header &hd, std::size_t bytes)
    {
        return std::int64_t(hd.width) * hd.height <= std::int64_t(bytes) * 4096;
    }

    bool orientationFromExif(const unsigned char *p, std::size_t n, int &orientation)
    {
        // p: the TIFF structure inside the APP1 segment (after "Exif\0\0").
        if (n < 8)
            return false;
        const bool little = p[0] == 'I' && p[1] == 'I';
        if (!little && !(p[0] == 'M' && p[1] == 'M'))
            return false;
        auto u16 = [&](std::size_t at) { return little ? le16(p + at) : be16(p + at); };
        auto u32 = [&](std::size_t at) { return little ? le32(p + at) : be32(p + at); };
        if (u16(2) != 42)
            return false;
        const std::uint32_t ifd = u32(4);
        if (ifd < 8 || std::size_t(ifd) + 2 > n)
            return false;
        const unsigned count = u16(ifd);
        for (unsigned i = 0; i < count; ++i) {
            const std::size_t e = std::size_t(ifd) + 2 + std::size_t(i) * 12;
            if (e + 12 > n)
                return false;
            if (u16(e) == 0x0112) {
                const unsigned type = u16(e + 2);
                unsigned v = 0;
                if (type == 3)
                    v = u16(e + 8);
                else if (type == 4)
                    v = u32(e + 8);
                else
                    return false;
                if (v < 1 || v > 8)
                    return false;
                orientation = int(v);
                return true;
            }
        }
        return false;
    }

    // The EXIF preview: IFD1's JPEGInterchangeFormat (0x0201) and its length (0x0202),
    // an offset into the TIFF structure p of n bytes. Empty when anything is off.
    Bytes previewFromExif(const unsigned char *p, std::size_t n)
    {
        if (n < 8)
            return {};
        const bool little = p[0] == 'I' && p[1] == 'I';
        if (!little && !(p[0] == 'M' && p[1] == 'M'))
            return {};
        auto u16 = [&](std::size_t at) { return little ? le16(p + at) : be16(p + at); };
        auto u32 = [&](std::size_t at) { return little ? le32(p + at) : be32(p + at); };
        if (u16(2) != 42)
            return {};
        const std::uint32_t ifd0 = u32(4);
        if (ifd0 < 8 || std::size_t(ifd0) + 2 > n)
            return {};
        const std::size_t next = std::size_t(ifd0) + 2 + std::size_t(u16(ifd0)) * 12;
        if (next + 4 > n)
            return {};
        const std::uint32_t ifd1 = u32(next);
        // IFD1 must lie after IFD0's link: a loop back is refused.
        if (ifd1 < next + 4 || std::size_t(ifd1) + 2 > n)
            return {};
        std::uint64_t offset = 0, length = 0;
        const unsigned count = u16(ifd1);
        for (unsigned i = 0; i < count; ++i) {
            const std::size_t e = std::size_t(ifd1) + 2 + std::size_t(i) * 12;
            if (e + 12 > n)
                break;
            const unsigned tag = u16(e);
            if (tag != 0x0201 && tag != 0x0202)
                continue;
            const unsigned type = u16(e + 2);
            const std::uint64_t v = type == 4 ? u32(e + 8) : type == 3 ? u16(e + 8) : 0;
            (tag == 0x0201 ? offset : length) = v;
        }
        if (offset < 8 || length < 4 || offset + length > n)
            return {};
        const unsigned char *q = p + offset;
        if (q[0] != 0xFF || q[1] != 0xD8)
            return {};
        return Bytes { q, std::size_t(length) };
    }

    QImage cmykToRgb(const std::vector<unsigned char> &cmyk, int w, int h)
    {
        QImage out(w, h, QImage::Format_RGB888);
        if (out.isNull())
            return {};
        // Adobe writes CMYK JPEGs inverted: a stored value of 255 means no ink.
        for (int y = 0; y < h; ++y) {
            const unsigned char *s = cmyk.data() + std::size_t(y) * std::size_t(w) * 4;
            uchar *d = out.scanLine(y);
            for (int x = 0; x < w; ++x, s += 4, d += 3) {
                const unsigned k = s[3];
                d[0] = uchar((s[0] * k + 127) / 255);
                d[1] = uchar((s[1] * k + 127) / 255);
                d[2] = uchar((s[2] * k + 127) / 255);
            }
        }
        return out;
    }

} // namespace

int exifOrientation(Bytes tiff)
{
    int o = 1;
    if (!tiff.data || !orientationFromExif(tiff.data, tiff.size, o))
        return 1;
    return o;
}

int jpegOrientation(Bytes b)
{
    const unsigned char *p = b.data;
    const std::size_t n = b.size;
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8)
        return 1;
    std::size_t at = 2;
    while (at + 4 <= n) {
        if (p[at] != 0xFF)
            return 1;
        while (at < n && p[at] == 0xFF)
            ++at;
        if (at + 3 > n)
            return 1;
        const unsigned marker = p[at++];
        if (marker == 0xD9 || marker == 0xDA)
            return 1; // the EXIF segment comes before the image data
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue;
        const std::size_t len = be16(p + at);
        if (len < 2 || at + len > n)
            return 1;
        if (marker == 0xE1 && len >= 2 + 6 + 8 && std::memcmp(p + at + 2, "Exif\0\0", 6) == 0) {
            int o = 1;
            if (orientationFromExif(p + at + 8, len - 8, o))
                return o;
        }
        at += len;
    }
    return 1;
}

bool jpegOutline(Bytes b, JpegOutline &out)
{
    out = JpegOutline();
    const unsigned char *p = b.data;
    const std::size_t n = b.size;
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8)
        return false;
    bool oriented = false;
    std::size_t at = 2;
    while (at + 4 <= n) {
        if (p[at] != 0xFF)
            return false;
        while (at < n && p[at] == 0xFF)
            ++at;
        if (at + 3 > n)
            return false;
        const unsigned marker = p[at++];
        if (marker == 0xD9 || marker == 0xDA)
            return false; // image data before any frame header
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue;
        const std::size_t len = be16(p + at);
        if (len < 2 || at + len > n)
            return false;
        // SOF0..SOF15 without DHT (C4), JPG (C8) and DAC (CC).
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (len < 8)
                return false;
            out.height = be16(p + at + 3);
            out.width = be16(p + at + 5);
            return out.width > 0 && out.height > 0;
        }
        // The first EXIF segment that has each one counts, as jpegOrientation reads it.
        if (marker == 0xE1 && len >= 2 + 6 + 8 && std::memcmp(p + at + 2, "Exif\0\0", 6) == 0) {
            int o = 1;
            if (!oriented && orientationFromExif(p + at + 8, len - 8, o)) {
                out.orientation = o;
                oriented = true;
            }
            if (out.preview.size == 0)
                out.preview = previewFromExif(p + at + 8, len - 8);
        }
        at += len;
    }
    return false;
}

bool probeJpeg(Bytes b, CodecFileInfo &info)
{
    Header hd;
    if (!readHeader(decoder(), b, hd)) {
        resetDecoder();
        return false;
    }
    const int o = jpegOrientation(b);
    const bool swap = o >= 5;
    info.format = "JPEG";
    info.width = swap ? hd.height : hd.width;
    info.height = swap ? hd.width : hd.height;
    info.bitsPerPixel = hd.colorspace == TJCS_GRAY ? 8 : 24;
    info.extra1 = o;
    info.extra2 = 1;
    return true;
}

QImage decodeJpeg(Bytes b, int depth, int factor, bool device, int orientation)
{
    tjhandle h = decoder();
    Header hd;
    if (!readHeader(h, b, hd)) {
        resetDecoder();
        return {};
    }
    if (!plausibleSize(hd, b.size))
        return {};
    if (factor != 2 && factor != 4 && factor != 8)
        factor = 1;
    const tjscalingfactor sf { 1, factor };
    const int w = TJSCALED(hd.width, sf);
    const int ht = TJSCALED(hd.height, sf);
    if (!sizeAllowed(w, ht))
        return {};

    // Progressive files with thousands of scans are a known way to burn time.
    const int flags = TJFLAG_LIMITSCANS;
    const bool cmyk = hd.colorspace == TJCS_CMYK || hd.colorspace == TJCS_YCCK;
    const bool gray8 = hd.colorspace == TJCS_GRAY && depth <= 8;
    QImage out;
    int rc = 0;
    if (cmyk) {
        std::vector<unsigned char> tmp;
        try {
            tmp.resize(std::size_t(w) * std::size_t(ht) * 4);
        } catch (const std::bad_alloc &) {
            return {};
        }
        rc = tjDecompress2(h, b.data, static_cast<unsigned long>(b.size), tmp.data(), w, w * 4, ht, TJPF_CMYK, flags);
        if (rc == 0 || tjGetErrorCode(h) == TJERR_WARNING)
            out = cmykToRgb(tmp, w, ht);
    } else {
        // Straight into the target's layout: no conversion pass afterwards.
        const bool bgrx = !gray8 && device && depth > 8;
        out = newImage(w, ht, gray8 ? QImage::Format_Indexed8 : bgrx ? QImage::Format_RGB32 : QImage::Format_RGB888);
        if (out.isNull())
            return {};
        if (gray8)
            out.setColorTable(grayTable());
        rc = tjDecompress2(h,
            b.data,
            static_cast<unsigned long>(b.size),
            out.bits(),
            w,
            int(out.bytesPerLine()),
            ht,
            gray8      ? TJPF_GRAY
                : bgrx ? TJPF_BGRX
                       : TJPF_RGB,
            flags);
    }
    if (rc != 0) {
        // Warnings (stray bytes between markers and the like) are common in camera
        // files and the picture is whole; a file cut short is not.
        const bool fatal =
            tjGetErrorCode(h) != TJERR_WARNING || std::strstr(tjGetErrorStr2(h), "Premature end") != nullptr;
        resetDecoder();
        if (fatal)
            return {};
    }
    if (out.isNull())
        return {};
    out = orientUpright(std::move(out), orientation >= 1 && orientation <= 8 ? orientation : jpegOrientation(b));
    if (out.format() == QImage::Format_RGB32)
        return out;
    return toDepth(std::move(out), depth);
}

bool encodeJpeg(const QImage &image, int quality, QByteArray &out)
{
    if (image.isNull())
        return false;
    tjhandle h = encoder();
    if (!h)
        return false;
    QImage src = image;
    int pf = TJPF_RGB;
    switch (src.format()) {
    case QImage::Format_RGB888:
        pf = TJPF_RGB;
        break;
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
        pf = TJPF_BGRX;
        break; // 0xAARRGGBB in little-endian memory
    default:
        src = src.convertToFormat(QImage::Format_RGB888);
        pf = TJPF_RGB;
        break;
    }
    if (src.isNull())
        return false;
    quality = std::clamp(quality, 1, 100);
    const int samp = quality >= 90 ? TJSAMP_444 : TJSAMP_420;
    auto &hs = handles();
    const unsigned long need = tjBufSize(src.width(), src.height(), samp);
    if (need == static_cast<unsigned long>(-1) || need > 0x7FFFFFFFul)
        return false;
    if (hs.encCap < need) {
        if (hs.encBuf)
            tjFree(hs.encBuf);
        hs.encBuf = tjAlloc(int(need));
        hs.encCap = hs.encBuf ? need : 0;
        if (!hs.encBuf)
            return false;
    }
    unsigned char *buf = hs.encBuf;
    unsigned long size = hs.encCap;
    const int rc = tjCompress2(h,
        src.constBits(),
        src.width(),
        int(src.bytesPerLine()),
        src.height(),
        pf,
        &buf,
        &size,
        samp,
        quality,
        TJFLAG_NOREALLOC);
    if (rc != 0)
        return false;
    out = QByteArray(reinterpret_cast<const char *>(buf), qsizetype(size));
    return true;
}

} // namespace v7::codec
