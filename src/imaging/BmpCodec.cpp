// BMP reading (1, 4, 8, 16, 24 and 32 bits; RLE4, RLE8 and bit fields; bottom-up
// and top-down; OS/2 and Windows headers) and writing (8 and 24 bits).
#include "imaging/CodecsInternal.h"

#include <algorithm>
#include <cstring>

namespace v7::codec
{

namespace
{

    enum : std::uint32_t { BiRgb = 0, BiRle8 = 1, BiRle4 = 2, BiBitfields = 3, BiAlphaBitfields = 6 };

    struct BmpHeader {
        std::uint32_t offBits = 0;
        std::uint32_t headerSize = 0;
        std::int64_t width = 0;
        std::int64_t height = 0; // positive; topDown says which way rows run
        bool topDown = false;
        int bpp = 0;
        std::uint32_t compression = BiRgb;
        std::uint32_t colorsUsed = 0;
        std::uint32_t masks[3] = { 0, 0, 0 };
        std::size_t paletteAt = 0;
        int paletteEntrySize = 4;
    };

    bool parseHeader(Bytes b, BmpHeader &h)
    {
        if (b.size < 26 || b.data[0] != 'B' || b.data[1] != 'M')
            return false;
        const unsigned char *p = b.data;
        h.offBits = le32(p + 10);
        h.headerSize = le32(p + 14);
        if (h.headerSize == 12) {
            h.width = le16(p + 18);
            h.height = std::int16_t(le16(p + 20));
            h.bpp = le16(p + 24);
            h.paletteEntrySize = 3;
        } else if (h.headerSize >= 40 && h.headerSize <= 1024) {
            if (b.size < 14 + std::size_t(h.headerSize))
                return false;
            h.width = std::int32_t(le32(p + 18));
            h.height = std::int32_t(le32(p + 22));
            h.bpp = le16(p + 28);
            h.compression = le32(p + 30);
            h.colorsUsed = le32(p + 46);
            if (h.headerSize >= 52) {
                h.masks[0] = le32(p + 54);
                h.masks[1] = le32(p + 58);
                h.masks[2] = le32(p + 62);
            }
        } else {
            return false;
        }
        if (h.height < 0) {
            h.topDown = true;
            h.height = -h.height;
        }
        std::size_t afterHeader = 14 + std::size_t(h.headerSize);
        if (h.headerSize == 40 && (h.compression == BiBitfields || h.compression == BiAlphaBitfields)) {
            // The masks follow the short header.
            const std::size_t n = h.compression == BiAlphaBitfields ? 16 : 12;
            if (b.size < afterHeader + n)
                return false;
            h.masks[0] = le32(p + afterHeader);
            h.masks[1] = le32(p + afterHeader + 4);
            h.masks[2] = le32(p + afterHeader + 8);
            afterHeader += n;
        }
        h.paletteAt = afterHeader;
        switch (h.bpp) {
        case 1:
        case 4:
        case 8:
        case 16:
        case 24:
        case 32:
            break;
        default:
            return false;
        }
        const bool okCompression = h.compression == BiRgb || (h.compression == BiRle8 && h.bpp == 8)
            || (h.compression == BiRle4 && h.bpp == 4)
            || ((h.compression == BiBitfields || h.compression == BiAlphaBitfields) && (h.bpp == 16 || h.bpp == 32));
        if (!okCompression || h.width <= 0 || h.height <= 0)
            return false;
        // The pixels must start inside the file, after the headers.
        return h.offBits >= h.paletteAt && h.offBits < b.size;
    }

    // Channel extraction for 16- and 32-bit pixels: shift and width of a mask.
    struct Channel {
        int shift = 0;
        int bits = 0;
        std::uint32_t mask = 0;
        explicit Channel(std::uint32_t m)
            : mask(m)
        {
            if (!m)
                return;
            while (!((m >> shift) & 1))
                ++shift;
            while (shift + bits < 32 && ((m >> (shift + bits)) & 1))
                ++bits;
        }
        uchar get(std::uint32_t v) const
        {
            if (!bits)
                return 0;
            const std::uint32_t x = (v & mask) >> shift;
            if (bits >= 8)
                return uchar(x >> (bits - 8));
            const std::uint32_t max = (1u << bits) - 1;
            return uchar((x * 255 + max / 2) / max);
        }
    };

    bool decodeRle(Bytes b, const BmpHeader &h, QImage &out)
    {
        // Rows are stored bottom-up; a delta or an early end leaves the rest at index 0.
        const int w = int(h.width), ht = int(h.height);
        std::size_t at = h.offBits;
        int x = 0, y = 0; // y counts from the bottom
        const bool rle4 = h.compression == BiRle4;
        auto put = [&](int value) {
            if (x < w && y < ht)
                out.scanLine(ht - 1 - y)[x] = uchar(value);
            ++x;
        };
        while (at + 2 <= b.size) {
            const int n = b.data[at], v = b.data[at + 1];
            at += 2;
            if (n > 0) {
                for (int i = 0; i < n; ++i)
                    put(rle4 ? ((i & 1) ? (v & 0x0F) : (v >> 4)) : v);
                continue;
            }
            if (v == 0) { // end of line
                x = 0;
                ++y;
                if (y >= ht)
                    return true;
            } else if (v == 1) { // end of bitmap
                return true;
            } else if (v == 2) { // delta
                if (at + 2 > b.size)
                    return false;
                x += b.data[at];
                y += b.data[at + 1];
                at += 2;
                if (y >= ht)
                    return true;
            } else { // absolute run of v pixels, padded to a word
                const std::size_t bytes = rle4 ? (std::size_t(v) + 1) / 2 : std::size_t(v);
                if (at + bytes > b.size)
                    return false;
                for (int i = 0; i < v; ++i) {
                    const int byte = b.data[at + std::size_t(rle4 ? i / 2 : i)];
                    put(rle4 ? ((i & 1) ? (byte & 0x0F) : (byte >> 4)) : byte);
                }
                at += (bytes + 1) & ~std::size_t(1);
            }
            if (x > w + 255 * 2)
                return false; // runs far past the row end mean garbage
        }
        return false; // ran out of data without an end marker
    }

} // namespace

bool probeBmp(Bytes b, CodecFileInfo &info)
{
    BmpHeader h;
    if (!parseHeader(b, h) || h.width > 0x7FFFFFFF || h.height > 0x7FFFFFFF)
        return false;
    info.format = "BMP";
    info.width = int(h.width);
    info.height = int(h.height);
    info.bitsPerPixel = h.bpp;
    info.extra1 = int(h.compression);
    info.extra2 = 1;
    return true;
}

QImage decodeBmp(Bytes b)
{
    BmpHeader h;
    if (!parseHeader(b, h) || !sizeAllowed(h.width, h.height))
        return {};
    const int w = int(h.width), ht = int(h.height);
    const bool rle = h.compression == BiRle4 || h.compression == BiRle8;
    const std::size_t stride = ((std::size_t(w) * std::size_t(h.bpp) + 31) / 32) * 4;
    if (!rle) {
        // The last row may lack its padding; anything shorter is a cut file.
        const std::size_t need = stride * std::size_t(ht - 1) + (std::size_t(w) * std::size_t(h.bpp) + 7) / 8;
        if (b.size - h.offBits < need)
            return {};
    } else if (h.topDown) {
        return {};
    }

    QImage out;
    if (h.bpp <= 8) {
        const std::uint32_t maxColors = 1u << h.bpp;
        std::uint32_t n = h.colorsUsed ? std::min(h.colorsUsed, maxColors) : maxColors;
        // The palette sits between the headers and the pixels; never read past either.
        const std::size_t room = (h.offBits - h.paletteAt) / std::size_t(h.paletteEntrySize);
        n = std::uint32_t(std::min<std::size_t>(n, room));
        if (n == 0)
            return {};
        QList<QRgb> table;
        for (std::uint32_t i = 0; i < n; ++i) {
            const unsigned char *e = b.data + h.paletteAt + std::size_t(i) * std::size_t(h.paletteEntrySize);
            table.append(qRgb(e[2], e[1], e[0]));
        }
        out = QImage(w, ht, QImage::Format_Indexed8);
        if (out.isNull())
            return {};
        out.setColorTable(table);
        if (rle) {
            out.fill(0);
            if (!decodeRle(b, h, out))
                return {};
        } else {
            for (int y = 0; y < ht; ++y) {
                const unsigned char *src = b.data + h.offBits + std::size_t(h.topDown ? y : ht - 1 - y) * stride;
                uchar *dst = out.scanLine(y);
                if (h.bpp == 8) {
                    std::memcpy(dst, src, std::size_t(w));
                } else if (h.bpp == 4) {
                    for (int x = 0; x < w; ++x)
                        dst[x] = (x & 1) ? (src[x / 2] & 0x0F) : (src[x / 2] >> 4);
                } else {
                    for (int x = 0; x < w; ++x)
                        dst[x] = (src[x / 8] >> (7 - (x & 7))) & 1;
                }
            }
        }
        coverIndices(out);
        return out;
    }

    out = newImage(w, ht, QImage::Format_RGB888);
    if (out.isNull())
        return {};
    std::uint32_t masks[3] = { h.masks[0], h.masks[1], h.masks[2] };
    if (h.compression == BiRgb) {
        if (h.bpp == 16) {
            masks[0] = 0x7C00;
            masks[1] = 0x03E0;
            masks[2] = 0x001F;
        } else {
            masks[0] = 0xFF0000;
            masks[1] = 0x00FF00;
            masks[2] = 0x0000FF;
        }
    }
    const Channel r(masks[0]), g(masks[1]), bl(masks[2]);
    for (int y = 0; y < ht; ++y) {
        const unsigned char *src = b.data + h.offBits + std::size_t(h.topDown ? y : ht - 1 - y) * stride;
        uchar *dst = out.scanLine(y);
        if (h.bpp == 24) {
            for (int x = 0; x < w; ++x, src += 3, dst += 3) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
            }
        } else if (h.bpp == 16) {
            for (int x = 0; x < w; ++x, src += 2, dst += 3) {
                const std::uint32_t v = le16(src);
                dst[0] = r.get(v);
                dst[1] = g.get(v);
                dst[2] = bl.get(v);
            }
        } else {
            for (int x = 0; x < w; ++x, src += 4, dst += 3) {
                const std::uint32_t v = le32(src);
                dst[0] = r.get(v);
                dst[1] = g.get(v);
                dst[2] = bl.get(v);
            }
        }
    }
    return out;
}

bool encodeBmp(const QImage &image, int bits, QByteArray &out)
{
    const QImage src = bits <= 8 ? reduceTo8Bits(image) : image.convertToFormat(QImage::Format_RGB888);
    if (src.isNull())
        return false;
    const bool indexed = src.format() == QImage::Format_Indexed8;
    const int w = src.width(), h = src.height();
    const std::size_t stride = ((std::size_t(w) * (indexed ? 8 : 24) + 31) / 32) * 4;
    const std::size_t colors = indexed ? std::size_t(std::max<qsizetype>(src.colorCount(), 1)) : 0;
    const std::size_t offBits = 14 + 40 + colors * 4;
    const std::size_t total = offBits + stride * std::size_t(h);
    if (total > 0x7FFFFFFF)
        return false;
    out = QByteArray(qsizetype(total), '\0');
    auto *p = reinterpret_cast<unsigned char *>(out.data());
    auto put16 = [&](std::size_t at, std::uint32_t v) {
        p[at] = uchar(v);
        p[at + 1] = uchar(v >> 8);
    };
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        put16(at, v & 0xFFFF);
        put16(at + 2, v >> 16);
    };
    p[0] = 'B';
    p[1] = 'M';
    put32(2, std::uint32_t(total));
    put32(10, std::uint32_t(offBits));
    put32(14, 40);
    put32(18, std::uint32_t(w));
    put32(22, std::uint32_t(h));
    put16(26, 1);
    put16(28, indexed ? 8 : 24);
    put32(30, BiRgb);
    put32(34, std::uint32_t(stride * std::size_t(h)));
    put32(38, 2835); // 72 dpi
    put32(42, 2835);
    put32(46, std::uint32_t(colors));
    if (indexed) {
        const QList<QRgb> table = src.colorTable();
        for (std::size_t i = 0; i < colors; ++i) {
            const QRgb c = i < std::size_t(table.size()) ? table[qsizetype(i)] : 0;
            unsigned char *e = p + 54 + i * 4;
            e[0] = uchar(qBlue(c));
            e[1] = uchar(qGreen(c));
            e[2] = uchar(qRed(c));
        }
    }
    for (int y = 0; y < h; ++y) {
        const uchar *s = src.constScanLine(y);
        unsigned char *d = p + offBits + std::size_t(h - 1 - y) * stride;
        if (indexed) {
            std::memcpy(d, s, std::size_t(w));
        } else {
            for (int x = 0; x < w; ++x, s += 3, d += 3) {
                d[0] = s[2];
                d[1] = s[1];
                d[2] = s[0];
            }
        }
    }
    return true;
}

} // namespace v7::codec
