// PCX reading (1, 2, 4 and 8 bits in one plane, 1 bit in 2 to 4 planes, 8 bits in
// 3 or 4 planes; RLE or raw) and writing (8 bits with a 256-colour palette, 24 bits
// in three planes).
#include "imaging/CodecsInternal.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace v7::codec
{

namespace
{

    constexpr std::size_t HeaderSize = 128;
    constexpr std::size_t VgaPaletteSize = 769; // 0x0C then 256 RGB triples

    struct PcxHeader {
        int version = 0;
        bool rle = false;
        int bpp = 0; // bits per pixel in each plane
        int planes = 0;
        int width = 0, height = 0;
        int bytesPerLine = 0;
    };

    bool parseHeader(Bytes b, PcxHeader &h)
    {
        if (b.size < HeaderSize || b.data[0] != 0x0A)
            return false;
        const unsigned char *p = b.data;
        h.version = p[1];
        if (p[2] > 1)
            return false;
        h.rle = p[2] == 1;
        h.bpp = p[3];
        const int xmin = le16(p + 4), ymin = le16(p + 6), xmax = le16(p + 8), ymax = le16(p + 10);
        h.planes = p[65];
        h.bytesPerLine = le16(p + 66);
        if (xmax < xmin || ymax < ymin)
            return false;
        h.width = xmax - xmin + 1;
        h.height = ymax - ymin + 1;
        const bool known = (h.planes == 1 && (h.bpp == 1 || h.bpp == 2 || h.bpp == 4 || h.bpp == 8))
            || (h.bpp == 1 && h.planes >= 2 && h.planes <= 4) || (h.bpp == 8 && (h.planes == 3 || h.planes == 4));
        if (!known)
            return false;
        // Each plane's line must hold the row's pixels.
        return h.bytesPerLine > 0 && std::int64_t(h.bytesPerLine) * 8 >= std::int64_t(h.width) * h.bpp;
    }

    void putRle(QByteArray &out, const uchar *line, int n)
    {
        int i = 0;
        while (i < n) {
            const uchar v = line[i];
            int run = 1;
            while (i + run < n && run < 63 && line[i + run] == v)
                ++run;
            if (run > 1 || v >= 0xC0)
                out.append(char(0xC0 | run));
            out.append(char(v));
            i += run;
        }
    }

} // namespace

bool probePcx(Bytes b, CodecFileInfo &info)
{
    PcxHeader h;
    if (!parseHeader(b, h))
        return false;
    info.format = "PCX";
    info.width = h.width;
    info.height = h.height;
    info.bitsPerPixel = h.bpp * h.planes;
    info.extra1 = h.version;
    info.extra2 = 1;
    return true;
}

QImage decodePcx(Bytes b)
{
    PcxHeader h;
    if (!parseHeader(b, h) || !sizeAllowed(h.width, h.height))
        return {};
    const int w = h.width, ht = h.height;
    const bool vga = h.bpp == 8 && h.planes == 1;
    // A 256-colour file ends with its palette; the pixel data stops before it.
    const bool hasVgaPalette = vga && b.size >= HeaderSize + VgaPaletteSize && b.data[b.size - VgaPaletteSize] == 0x0C;
    const std::size_t dataEnd = hasVgaPalette ? b.size - VgaPaletteSize : b.size;
    const std::size_t lineBytes = std::size_t(h.bytesPerLine) * std::size_t(h.planes);
    // Each stored byte yields at most 63 bytes of a line; refuse a header that
    // claims more than the data can hold before allocating anything.
    const std::size_t avail = dataEnd - HeaderSize;
    const std::size_t needed = lineBytes * std::size_t(ht);
    if ((h.rle ? avail * 63 : avail) < needed)
        return {};

    const bool indexed = h.planes == 1 || h.bpp == 1;
    QImage out(w, ht, indexed ? QImage::Format_Indexed8 : QImage::Format_RGB888);
    if (out.isNull())
        return {};
    if (indexed) {
        QList<QRgb> table;
        if (vga && hasVgaPalette) {
            for (int i = 0; i < 256; ++i) {
                const unsigned char *e = b.data + dataEnd + 1 + i * 3;
                table.append(qRgb(e[0], e[1], e[2]));
            }
        } else if (vga) {
            table = grayTable();
        } else {
            const int colors = 1 << (h.bpp * h.planes);
            for (int i = 0; i < colors; ++i) {
                const unsigned char *e = b.data + 16 + i * 3;
                table.append(qRgb(e[0], e[1], e[2]));
            }
            // Monochrome files often leave the header palette empty: black and white.
            if (colors == 2 && table[0] == table[1])
                table = { qRgb(0, 0, 0), qRgb(255, 255, 255) };
        }
        out.setColorTable(table);
    }

    std::vector<uchar> line(lineBytes);
    std::size_t at = HeaderSize;
    int repeat = 0;
    uchar value = 0;
    for (int y = 0; y < ht; ++y) {
        // The run-length stream may carry a run across a line end; keep its state.
        std::size_t i = 0;
        while (i < lineBytes) {
            if (!h.rle) {
                if (at >= dataEnd)
                    return {};
                line[i++] = b.data[at++];
                continue;
            }
            if (repeat == 0) {
                if (at >= dataEnd)
                    return {};
                const uchar c = b.data[at++];
                if (c >= 0xC0) {
                    if (at >= dataEnd)
                        return {};
                    repeat = c & 0x3F;
                    value = b.data[at++];
                    if (repeat == 0)
                        continue; // an empty run: nothing to place
                } else {
                    repeat = 1;
                    value = c;
                }
            }
            line[i++] = value;
            --repeat;
        }
        uchar *dst = out.scanLine(y);
        const uchar *src = line.data();
        const std::size_t bpl = std::size_t(h.bytesPerLine);
        if (h.planes == 1) {
            switch (h.bpp) {
            case 8:
                std::memcpy(dst, src, std::size_t(w));
                break;
            case 4:
                for (int x = 0; x < w; ++x)
                    dst[x] = (x & 1) ? (src[x / 2] & 0x0F) : (src[x / 2] >> 4);
                break;
            case 2:
                for (int x = 0; x < w; ++x)
                    dst[x] = (src[x / 4] >> (6 - 2 * (x & 3))) & 3;
                break;
            default:
                for (int x = 0; x < w; ++x)
                    dst[x] = (src[x / 8] >> (7 - (x & 7))) & 1;
                break;
            }
        } else if (h.bpp == 1) {
            for (int x = 0; x < w; ++x) {
                int v = 0;
                for (int pl = 0; pl < h.planes; ++pl)
                    v |= ((src[std::size_t(pl) * bpl + std::size_t(x / 8)] >> (7 - (x & 7))) & 1) << pl;
                dst[x] = uchar(v);
            }
        } else {
            for (int x = 0; x < w; ++x) {
                dst[3 * x] = src[std::size_t(x)];
                dst[3 * x + 1] = src[bpl + std::size_t(x)];
                dst[3 * x + 2] = src[2 * bpl + std::size_t(x)];
            }
        }
    }
    if (indexed)
        coverIndices(out);
    return out;
}

bool encodePcx(const QImage &image, int bits, QByteArray &out)
{
    const QImage src = bits <= 8 ? reduceTo8Bits(image) : image.convertToFormat(QImage::Format_RGB888);
    if (src.isNull() || src.width() > 65535 || src.height() > 65535)
        return false;
    const bool indexed = src.format() == QImage::Format_Indexed8;
    const int w = src.width(), h = src.height();
    const int bpl = (w + 1) & ~1; // lines have an even length
    const int planes = indexed ? 1 : 3;
    out = QByteArray(qsizetype(HeaderSize), '\0');
    auto *p = reinterpret_cast<unsigned char *>(out.data());
    auto put16 = [&](std::size_t at, int v) {
        p[at] = uchar(v);
        p[at + 1] = uchar(v >> 8);
    };
    p[0] = 0x0A;
    p[1] = 5;
    p[2] = 1;
    p[3] = 8;
    put16(8, w - 1);
    put16(10, h - 1);
    put16(12, 72);
    put16(14, 72);
    p[65] = uchar(planes);
    put16(66, bpl);
    put16(68, 1);
    out.reserve(qsizetype(HeaderSize) + qsizetype(bpl) * planes * h / 2 + qsizetype(VgaPaletteSize));
    std::vector<uchar> line(std::size_t(bpl), 0);
    for (int y = 0; y < h; ++y) {
        const uchar *s = src.constScanLine(y);
        for (int pl = 0; pl < planes; ++pl) {
            for (int x = 0; x < w; ++x)
                line[std::size_t(x)] = indexed ? s[x] : s[3 * x + pl];
            putRle(out, line.data(), bpl);
        }
    }
    if (indexed) {
        const QList<QRgb> table = src.colorTable();
        out.append(char(0x0C));
        for (int i = 0; i < 256; ++i) {
            const QRgb c = i < table.size() ? table[i] : 0;
            out.append(char(qRed(c)));
            out.append(char(qGreen(c)));
            out.append(char(qBlue(c)));
        }
    }
    return true;
}

} // namespace v7::codec
