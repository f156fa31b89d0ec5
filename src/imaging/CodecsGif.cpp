// GIF through giflib: the first frame of a file (interlaced or not) drawn on its
// logical screen, its transparent colour kept, and writing an 8-bit file.
#include "imaging/CodecsInternal.h"

#include <algorithm>
#include <cstring>
#include <gif_lib.h>
#include <vector>

namespace v7::codec
{

namespace
{

    struct Reader {
        Bytes in;
        std::size_t at = 0;
    };

    int readFn(GifFileType *gif, GifByteType *out, int n)
    {
        auto *r = static_cast<Reader *>(gif->UserData);
        const std::size_t take = std::min<std::size_t>(std::size_t(std::max(n, 0)), r->in.size - r->at);
        std::memcpy(out, r->in.data + r->at, take);
        r->at += take;
        return int(take);
    }

    int writeFn(GifFileType *gif, const GifByteType *data, int n)
    {
        static_cast<QByteArray *>(gif->UserData)->append(reinterpret_cast<const char *>(data), n);
        return n;
    }

    struct GifCloser {
        GifFileType *gif;
        ~GifCloser()
        {
            int err = 0;
            if (gif)
                DGifCloseFile(gif, &err);
        }
    };

} // namespace

bool probeGif(Bytes b, CodecFileInfo &info)
{
    if (b.size < 13)
        return false;
    const int w = le16(b.data + 6), h = le16(b.data + 8);
    if (w == 0 || h == 0)
        return false;
    info.format = "GIF";
    info.width = w;
    info.height = h;
    info.bitsPerPixel = (b.data[10] & 0x80) ? (b.data[10] & 7) + 1 : 8;
    info.extra2 = 1;
    return true;
}

QImage decodeGif(Bytes b)
{
    if (b.size < 13 || b.size > 0x7FFFFFFF)
        return {};
    Reader r { b, 0 };
    int err = 0;
    GifFileType *gif = DGifOpen(&r, readFn, &err);
    if (!gif)
        return {};
    GifCloser closer { gif };

    int transparent = -1;
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR)
            return {};
        if (type == TERMINATE_RECORD_TYPE)
            return {}; // no image at all
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType *ext = nullptr;
            if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR)
                return {};
            if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4) {
                GraphicsControlBlock gcb;
                if (DGifExtensionToGCB(ext[0], ext + 1, &gcb) == GIF_OK)
                    transparent = gcb.TransparentColor;
            }
            while (ext) {
                if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR)
                    return {};
            }
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE)
            continue;

        if (DGifGetImageDesc(gif) == GIF_ERROR)
            return {};
        const GifImageDesc &d = gif->Image;
        if (d.Width <= 0 || d.Height <= 0 || d.Left < 0 || d.Top < 0 || !sizeAllowed(d.Width, d.Height))
            return {};
        // The logical screen is the canvas; a frame that pokes out of it widens it.
        // One LZW code of at least 3 bits stands for at most 4,096 pixels, so the
        // bytes left bound what the frame can really fill.
        if (std::int64_t(d.Width) * d.Height > std::int64_t(b.size - std::min(r.at, b.size)) * 11000)
            return {};
        const int cw = std::max(gif->SWidth, d.Left + d.Width);
        const int ch = std::max(gif->SHeight, d.Top + d.Height);
        if (!sizeAllowed(cw, ch))
            return {};
        const ColorMapObject *map = d.ColorMap ? d.ColorMap : gif->SColorMap;
        QList<QRgb> table;
        if (map && map->Colors) {
            for (int i = 0; i < map->ColorCount; ++i)
                table.append(qRgb(map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue));
        } else {
            table = grayTable();
        }
        QImage out(cw, ch, QImage::Format_Indexed8);
        if (out.isNull())
            return {};
        int background = gif->SColorMap && gif->SBackGroundColor < table.size() ? gif->SBackGroundColor : 0;
        if (transparent >= 0 && transparent < table.size()) {
            // The transparent colour is shown as whatever lies beneath (see Codecs.h).
            table[transparent] &= 0x00FFFFFFu;
            background = transparent;
        }
        out.fill(uint(background));
        out.setColorTable(table);

        std::vector<GifPixelType> line(static_cast<std::size_t>(d.Width));
        auto putRow = [&](int row) {
            uchar *dst = out.scanLine(d.Top + row) + d.Left;
            for (int x = 0; x < d.Width; ++x) {
                if (int(line[std::size_t(x)]) != transparent)
                    dst[x] = line[std::size_t(x)];
            }
        };
        if (d.Interlace) {
            static constexpr int start[4] = { 0, 4, 2, 1 };
            static constexpr int step[4] = { 8, 8, 4, 2 };
            for (int pass = 0; pass < 4; ++pass) {
                for (int row = start[pass]; row < d.Height; row += step[pass]) {
                    if (DGifGetLine(gif, line.data(), d.Width) == GIF_ERROR)
                        return {};
                    putRow(row);
                }
            }
        } else {
            for (int row = 0; row < d.Height; ++row) {
                if (DGifGetLine(gif, line.data(), d.Width) == GIF_ERROR)
                    return {};
                putRow(row);
            }
        }
        coverIndices(out);
        return out;
    }
}

bool encodeGif(const QImage &image, QByteArray &out)
{
    const QImage src = reduceTo8Bits(image);
    if (src.isNull() || src.width() > 65535 || src.height() > 65535)
        return false;
    out.clear();
    QList<QRgb> table = src.colorTable();
    // A GIF colour map has a power-of-two size.
    int bits = 1;
    while ((1 << bits) < table.size())
        ++bits;
    std::vector<GifColorType> colors(std::size_t(1) << bits, GifColorType { 0, 0, 0 });
    for (qsizetype i = 0; i < table.size(); ++i)
        colors[std::size_t(i)] =
            GifColorType { GifByteType(qRed(table[i])), GifByteType(qGreen(table[i])), GifByteType(qBlue(table[i])) };
    ColorMapObject *map = GifMakeMapObject(1 << bits, colors.data());
    if (!map)
        return false;
    int err = 0;
    GifFileType *gif = EGifOpen(&out, writeFn, &err);
    if (!gif) {
        GifFreeMapObject(map);
        return false;
    }
    bool ok = EGifPutScreenDesc(gif, src.width(), src.height(), bits, 0, map) == GIF_OK
        && EGifPutImageDesc(gif, 0, 0, src.width(), src.height(), false, nullptr) == GIF_OK;
    for (int y = 0; ok && y < src.height(); ++y)
        ok = EGifPutLine(gif, const_cast<GifPixelType *>(src.constScanLine(y)), src.width()) == GIF_OK;
    ok = EGifCloseFile(gif, &err) == GIF_OK && ok;
    GifFreeMapObject(map);
    if (!ok)
        out.clear();
    return ok;
}

} // namespace v7::codec
