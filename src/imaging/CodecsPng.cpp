// PNG through libpng: reading from memory (palette images keep their palette,
// grey images become an 8-bit grey palette, the rest 24-bit; transparency is kept,
// see Codecs.h) and writing 8-bit palette or 24-bit files.
#include "imaging/CodecsInternal.h"

#include <QSysInfo>
#include <csetjmp>
#include <cstring>
#include <png.h>
#include <vector>

namespace v7::codec
{

namespace
{

    struct Reader {
        Bytes in;
        std::size_t at = 0;
    };

    void readFn(png_structp png, png_bytep out, png_size_t n)
    {
        auto *r = static_cast<Reader *>(png_get_io_ptr(png));
        if (n > r->in.size - r->at)
            png_error(png, "truncated");
        std::memcpy(out, r->in.data + r->at, n);
        r->at += n;
    }

    void quietError(png_structp png, png_const_charp)
    {
        png_longjmp(png, 1);
    }
    void quietWarning(png_structp, png_const_charp) { }

    void writeFn(png_structp png, png_bytep data, png_size_t n)
    {
        auto *out = static_cast<QByteArray *>(png_get_io_ptr(png));
        out->append(reinterpret_cast<const char *>(data), qsizetype(n));
    }
    void flushFn(png_structp) { }

    bool readHeader(png_structp png, png_infop info, Reader &r)
    {
        png_set_read_fn(png, &r, readFn);
        png_read_info(png, info);
        return true;
    }

} // namespace

bool probePng(Bytes b, CodecFileInfo &info)
{
    // IHDR is always the first chunk: read it directly.
    if (b.size < 33 || std::memcmp(b.data + 12, "IHDR", 4) != 0)
        return false;
    const std::uint32_t w = be32(b.data + 16), h = be32(b.data + 20);
    const int depth = b.data[24], type = b.data[25];
    int channels = 0;
    switch (type) {
    case 0:
        channels = 1;
        break;
    case 2:
        channels = 3;
        break;
    case 3:
        channels = 1;
        break;
    case 4:
        channels = 2;
        break;
    case 6:
        channels = 4;
        break;
    default:
        return false;
    }
    if (w == 0 || h == 0 || w > 0x7FFFFFFF || h > 0x7FFFFFFF)
        return false;
    info.format = "PNG";
    info.width = int(w);
    info.height = int(h);
    info.bitsPerPixel = depth * channels;
    info.extra2 = 1;
    return true;
}

QImage decodePng(Bytes b)
{
    CodecFileInfo probe;
    if (!probePng(b, probe) || !sizeAllowed(probe.width, probe.height))
        return {};
    // Deflate expands at most about 1,032 times: a file far too small for its
    // pixels is refused before anything is allocated.
    const std::int64_t rawBytes = (std::int64_t(probe.width) * probe.bitsPerPixel + 7) / 8 * probe.height;
    if (rawBytes > std::int64_t(b.size) * 1100)
        return {};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, quietError, quietWarning);
    if (!png)
        return {};
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return {};
    }
    Reader r { b, 0 };
    // Everything that owns memory lives before setjmp: a longjmp from libpng
    // skips the destructors of objects made after it.
    QImage out;
    std::vector<png_bytep> rows;
    QList<QRgb> table;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return {};
    }
    // Ancillary chunks may be compressed too; keep what they can inflate to small.
    png_set_chunk_malloc_max(png, 4u << 20);
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    readHeader(png, info, r);
    png_uint_32 w = 0, h = 0;
    int bitDepth = 0, colorType = 0, interlace = 0;
    png_get_IHDR(png, info, &w, &h, &bitDepth, &colorType, &interlace, nullptr, nullptr);
    if (!sizeAllowed(w, h)) {
        png_destroy_read_struct(&png, &info, nullptr);
        return {};
    }
    const bool palette = colorType == PNG_COLOR_TYPE_PALETTE;
    const bool hasTrns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    // A palette keeps its transparency in the colour table; any other image with an
    // alpha channel or a transparent colour is read as 8-bit RGBA.
    const bool alpha = !palette && ((colorType & PNG_COLOR_MASK_ALPHA) || hasTrns);
    const bool gray = !alpha && colorType == PNG_COLOR_TYPE_GRAY;
    if (bitDepth == 16)
        png_set_strip_16(png);
    if (bitDepth < 8 && !alpha)
        png_set_packing(png);
    if (gray && bitDepth < 8)
        png_set_expand_gray_1_2_4_to_8(png);
    if (alpha) {
        png_set_expand(png); // low grey depths to 8 bits, tRNS to an alpha channel
        if (!(colorType & PNG_COLOR_MASK_COLOR))
            png_set_gray_to_rgb(png);
        // QImage's ARGB32 is one 32-bit word per pixel: B, G, R, A in memory on a
        // little-endian machine, A, R, G, B on a big-endian one.
        if (QSysInfo::ByteOrder == QSysInfo::LittleEndian)
            png_set_bgr(png);
        else
            png_set_swap_alpha(png);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);

    if (palette) {
        png_colorp pal = nullptr;
        int n = 0;
        if (png_get_PLTE(png, info, &pal, &n) == 0 || n <= 0) {
            png_destroy_read_struct(&png, &info, nullptr);
            return {};
        }
        png_bytep trans = nullptr;
        int transCount = 0;
        if (hasTrns && png_get_tRNS(png, info, &trans, &transCount, nullptr) == 0)
            transCount = 0;
        for (int i = 0; i < n; ++i)
            table.append(qRgba(pal[i].red, pal[i].green, pal[i].blue, trans && i < transCount ? trans[i] : 255));
        out = QImage(int(w), int(h), QImage::Format_Indexed8);
    } else if (gray) {
        table = grayTable();
        out = QImage(int(w), int(h), QImage::Format_Indexed8);
    } else if (alpha) {
        out = newImage(int(w), int(h), QImage::Format_ARGB32);
    } else {
        out = newImage(int(w), int(h), QImage::Format_RGB888);
    }
    if (out.isNull() || png_get_rowbytes(png, info) > std::size_t(out.bytesPerLine())) {
        png_destroy_read_struct(&png, &info, nullptr);
        return {};
    }
    if (!table.isEmpty())
        out.setColorTable(table);
    rows.resize(h);
    for (png_uint_32 y = 0; y < h; ++y)
        rows[y] = out.scanLine(int(y));
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    coverIndices(out);
    return out;
}

bool encodePng(const QImage &image, int bits, QByteArray &out)
{
    const QImage src = bits <= 8 ? reduceTo8Bits(image) : image.convertToFormat(QImage::Format_RGB888);
    if (src.isNull())
        return false;
    out.clear();
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, quietError, quietWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    std::vector<png_color> pal;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        out.clear();
        return false;
    }
    png_set_write_fn(png, &out, writeFn, flushFn);
    const bool indexed = src.format() == QImage::Format_Indexed8;
    png_set_IHDR(png,
        info,
        png_uint_32(src.width()),
        png_uint_32(src.height()),
        8,
        indexed ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB,
        PNG_INTERLACE_NONE,
        PNG_COMPRESSION_TYPE_DEFAULT,
        PNG_FILTER_TYPE_DEFAULT);
    if (indexed) {
        const QList<QRgb> table = src.colorTable();
        for (qsizetype i = 0; i < table.size() && i < 256; ++i)
            pal.push_back(
                png_color { png_byte(qRed(table[i])), png_byte(qGreen(table[i])), png_byte(qBlue(table[i])) });
        if (pal.empty())
            pal.push_back(png_color { 0, 0, 0 });
        png_set_PLTE(png, info, pal.data(), int(pal.size()));
    }
    png_write_info(png, info);
    for (int y = 0; y < src.height(); ++y)
        png_write_row(png, const_cast<png_bytep>(src.constScanLine(y)));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace v7::codec
