// Kodak PhotoCD reading: the three uncompressed base resolutions of an image pack
// (192 x 128, 384 x 256 and the base 768 x 512), PhotoYCC to RGB, turned upright
// by the pack's rotation code.
#include "imaging/CodecsInternal.h"

#include <QTransform>
#include <algorithm>
#include <array>
#include <cstring>

namespace v7::codec
{

namespace
{

    constexpr std::size_t SectorSize = 2048;
    constexpr std::size_t RotationAt = 0x0E02;

    struct Resolution {
        int width, height;
        std::size_t offset;
    };
    // Each resolution starts on a fixed sector of the pack.
    constexpr Resolution Resolutions[PcdResolutions] = {
        { 192, 128, 4 * SectorSize },
        { 384, 256, 23 * SectorSize },
        { 768, 512, 96 * SectorSize },
    };

    // Bytes of one resolution: two luma rows, then one row each of C1 and C2 at
    // half width, for every pair of rows.
    constexpr std::size_t planeBytes(const Resolution &r)
    {
        return std::size_t(r.width) * std::size_t(r.height) * 3 / 2;
    }

    struct YccTables {
        std::array<int, 256> y {}, c1b {}, c1g {}, c2g {}, c2r {};
        YccTables()
        {
            // PhotoYCC: luma scaled by 1.3584, chroma centred on 156 (C1) and 137 (C2).
            // Fixed point with 16 fraction bits.
            for (int i = 0; i < 256; ++i) {
                const double yy = 1.3584 * i;
                const double c1 = 2.2179 * (i - 156);
                const double c2 = 1.8215 * (i - 137);
                y[std::size_t(i)] = int(yy * 65536.0);
                c1b[std::size_t(i)] = int(c1 * 65536.0);
                c1g[std::size_t(i)] = int(-0.194 * c1 * 65536.0);
                c2g[std::size_t(i)] = int(-0.509 * c2 * 65536.0);
                c2r[std::size_t(i)] = int(c2 * 65536.0);
            }
        }
    };

    inline uchar clampByte(int v)
    {
        v = (v + 32768) >> 16;
        return uchar(std::clamp(v, 0, 255));
    }

} // namespace

bool probePcd(Bytes b, CodecFileInfo &info)
{
    if (b.size < RotationAt + 1 || std::memcmp(b.data + 0x800, "PCD_IPI", 7) != 0)
        return false;
    const int rotation = b.data[RotationAt] & 3;
    const bool portrait = rotation == 1 || rotation == 3;
    const Resolution &base = Resolutions[2];
    info.format = "PCD";
    info.width = portrait ? base.height : base.width;
    info.height = portrait ? base.width : base.height;
    info.bitsPerPixel = 24;
    info.extra1 = rotation;
    info.extra2 = 1;
    return true;
}

QImage decodePcd(Bytes b, int resolution)
{
    CodecFileInfo info;
    if (!probePcd(b, info))
        return {};
    const Resolution &r = Resolutions[std::clamp(resolution, 0, PcdResolutions - 1)];
    // A pack cut short anywhere before the end of the base image is damaged, even
    // when the smaller resolution asked for is whole.
    const Resolution &base = Resolutions[PcdResolutions - 1];
    if (b.size < base.offset + planeBytes(base) || !sizeAllowed(r.width, r.height))
        return {};
    static const YccTables t;
    QImage out(r.width, r.height, QImage::Format_RGB888);
    if (out.isNull())
        return {};
    const std::size_t w = std::size_t(r.width);
    const unsigned char *pair = b.data + r.offset;
    for (int y = 0; y < r.height; y += 2, pair += w * 3) {
        const unsigned char *c1 = pair + 2 * w;
        const unsigned char *c2 = c1 + w / 2;
        for (int dy = 0; dy < 2; ++dy) {
            const unsigned char *luma = pair + std::size_t(dy) * w;
            uchar *d = out.scanLine(y + dy);
            for (std::size_t x = 0; x < w; ++x, d += 3) {
                const int yy = t.y[luma[x]];
                const unsigned cb = c1[x / 2], cr = c2[x / 2];
                d[0] = clampByte(yy + t.c2r[cr]);
                d[1] = clampByte(yy + t.c1g[cb] + t.c2g[cr]);
                d[2] = clampByte(yy + t.c1b[cb]);
            }
        }
    }
    switch (info.extra1) {
    case 1:
        out = out.transformed(QTransform().rotate(-90));
        break; // stored turned clockwise
    case 2:
        out = out.transformed(QTransform().rotate(180));
        break;
    case 3:
        out = out.transformed(QTransform().rotate(90));
        break;
    default:
        break;
    }
    return out;
}

} // namespace v7::codec
