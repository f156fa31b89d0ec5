// PCX and PhotoCD files built byte by byte, for layouts the peer tools here do
// not write: PCX runs that carry over a plane's or a line's end, 2-bit pixels,
// 1-bit planes; PhotoCD packs under each rotation code.
#include "TestEnv.h"
#include "imaging/Codecs.h"

#include <QTemporaryDir>
#include <cmath>
#include <gtest/gtest.h>
#include <vector>

using namespace v7;

namespace
{

QRgb paletteColour(int i)
{
    return qRgb((i * 37 + 11) & 0xFF, (i * 91 + 5) & 0xFF, (i * 53 + 200) & 0xFF);
}

// Run-length coding over the whole stream, as some writers do: a run goes on
// across the end of a plane and of a line. A lone byte of 0xC0 or more is escaped.
QByteArray rleAcross(const std::vector<uchar> &bytes)
{
    QByteArray out;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const uchar v = bytes[i];
        int run = 1;
        while (i + std::size_t(run) < bytes.size() && run < 63 && bytes[i + std::size_t(run)] == v)
            ++run;
        if (run > 1 || v >= 0xC0)
            out += char(0xC0 | run);
        out += char(v);
        i += std::size_t(run);
    }
    return out;
}

QByteArray pcxHeader(int w, int h, int bpp, int planes, int bpl, bool headerPalette)
{
    QByteArray p(128, '\0');
    p[0] = 0x0A;
    p[1] = 5;
    p[2] = 1;
    p[3] = char(bpp);
    p[8] = char((w - 1) & 0xFF);
    p[9] = char((w - 1) >> 8);
    p[10] = char((h - 1) & 0xFF);
    p[11] = char((h - 1) >> 8);
    if (headerPalette)
        for (int i = 0; i < 16; ++i) {
            p[16 + 3 * i] = char(qRed(paletteColour(i)));
            p[17 + 3 * i] = char(qGreen(paletteColour(i)));
            p[18 + 3 * i] = char(qBlue(paletteColour(i)));
        }
    p[65] = char(planes);
    p[66] = char(bpl & 0xFF);
    p[67] = char(bpl >> 8);
    p[68] = 1;
    return p;
}

QImage decodeFile(const QByteArray &bytes, const char *ext)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("a.") + QLatin1String(ext));
    v7test::writeFile(file, bytes);
    return QString(QLatin1String(ext)) == QLatin1String("pcx") ? rdpcxfiledib(file, 24) : readpcdfiledib(file, 24, 0);
}

void expectIndexed(const QImage &img, const std::vector<std::vector<int>> &rows, const char *what)
{
    ASSERT_FALSE(img.isNull()) << what;
    ASSERT_EQ(img.size(), QSize(int(rows[0].size()), int(rows.size()))) << what;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            EXPECT_EQ(img.pixel(x, y), paletteColour(rows[std::size_t(y)][std::size_t(x)]))
                << what << " at " << x << "," << y;
}

} // namespace

TEST(PcxByHand, EightBitsWithRunsOverLineEnds)
{
    // 5 x 3 in lines of 6 bytes; the padding byte of each line takes part in runs.
    const std::vector<std::vector<int>> rows = { { 3, 3, 3, 3, 3 }, { 3, 3, 7, 8, 197 }, { 197, 197, 1, 2, 9 } };
    const std::vector<uchar> stream = { 3, 3, 3, 3, 3, 3, /**/ 3, 3, 7, 8, 197, 197, /**/ 197, 197, 1, 2, 9, 9 };
    QByteArray file = pcxHeader(5, 3, 8, 1, 6, false) + rleAcross(stream);
    file += char(0x0C);
    for (int i = 0; i < 256; ++i)
        file += QByteArray() + char(qRed(paletteColour(i))) + char(qGreen(paletteColour(i)))
            + char(qBlue(paletteColour(i)));
    expectIndexed(decodeFile(file, "pcx"), rows, "8 bits");
}

TEST(PcxByHand, TwoBitAndPlanarOneBitPixels)
{
    // 2 bits, one plane: 7 x 2, 2 bytes a line.
    {
        const std::vector<std::vector<int>> rows = { { 0, 1, 2, 3, 2, 1, 0 }, { 3, 2, 1, 0, 1, 2, 3 } };
        const std::vector<uchar> stream = { 0x1B, 0x90, 0xE4, 0x6C };
        expectIndexed(decodeFile(pcxHeader(7, 2, 2, 1, 2, true) + rleAcross(stream), "pcx"), rows, "2 bits");
    }
    // 1 bit in 4 planes (16 colours): 10 x 3, 2 bytes a plane line; plane p holds
    // bit p. Rows 1 and 2 are alike, so runs carry over planes and lines.
    {
        const std::vector<std::vector<int>> rows = {
            { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9 },
            { 15, 15, 15, 15, 15, 15, 15, 15, 15, 15 },
            { 15, 15, 15, 15, 15, 15, 15, 15, 15, 15 },
        };
        std::vector<uchar> stream;
        for (const auto &row : rows)
            for (int p = 0; p < 4; ++p) {
                uchar b[2] = { 0, 0 };
                for (int x = 0; x < 10; ++x)
                    if ((row[std::size_t(x)] >> p) & 1)
                        b[x / 8] |= uchar(0x80 >> (x % 8));
                if (row[0] == 15)
                    b[1] = 0xFF; // padding bits set, to run on into the next plane
                stream.push_back(b[0]);
                stream.push_back(b[1]);
            }
        expectIndexed(decodeFile(pcxHeader(10, 3, 1, 4, 2, true) + rleAcross(stream), "pcx"), rows, "4 planes");
    }
}

TEST(PcxByHand, TwentyFourBitsWithRunsOverPlaneAndLineEnds)
{
    // 3 x 2 in three planes of 4 bytes; each plane's padding byte equals the next
    // plane's first byte, so a run crosses every boundary.
    const QRgb px[2][3] = {
        { qRgb(10, 20, 30), qRgb(10, 20, 30), qRgb(10, 20, 60) },
        { qRgb(60, 60, 60), qRgb(70, 70, 70), qRgb(200, 1, 2) },
    };
    std::vector<uchar> stream;
    for (int y = 0; y < 2; ++y)
        for (int c = 0; c < 3; ++c) {
            for (int x = 0; x < 3; ++x)
                stream.push_back(uchar(c == 0 ? qRed(px[y][x]) : c == 1 ? qGreen(px[y][x]) : qBlue(px[y][x])));
            stream.push_back(0); // padding, set below
        }
    for (std::size_t i = 3; i < stream.size(); i += 4)
        stream[i] = i + 1 < stream.size() ? stream[i + 1] : 0;
    const QImage img = decodeFile(pcxHeader(3, 2, 8, 3, 4, false) + rleAcross(stream), "pcx");
    ASSERT_EQ(img.size(), QSize(3, 2));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(img.pixel(x, y), px[y][x]) << x << "," << y;
}

// The smallest resolution of a pack (192 x 128) holds a grey picture whose every
// pixel tells where it is; each rotation code must turn it upright.
TEST(PhotoCdByHand, EveryRotationCodeTurnsThePictureUpright)
{
    constexpr int W = 192, H = 128;
    auto luma = [](int x, int y) { return (x * 3 + y * 7) % 181; }; // stays below clipping
    QByteArray pack(96 * 2048 + 768 * 512 * 3 / 2, '\0');
    pack.replace(0x800, 7, "PCD_IPI");
    std::size_t at = 4 * 2048;
    for (int y = 0; y < H; y += 2) {
        for (int dy = 0; dy < 2; ++dy)
            for (int x = 0; x < W; ++x)
                pack[qsizetype(at++)] = char(luma(x, y + dy));
        for (int x = 0; x < W / 2; ++x)
            pack[qsizetype(at++)] = char(156); // no chroma
        for (int x = 0; x < W / 2; ++x)
            pack[qsizetype(at++)] = char(137);
    }
    auto grey = [&](int x, int y) { return int(std::lround(1.3584 * luma(x, y))); };
    for (int code = 0; code < 4; ++code) {
        SCOPED_TRACE(code);
        pack[0x0E02] = char(code);
        const QImage img = decodeFile(pack, "pcd");
        ASSERT_EQ(img.size(), code % 2 ? QSize(H, W) : QSize(W, H));
        for (int y = 0; y < img.height(); y += 5)
            for (int x = 0; x < img.width(); x += 3) {
                // Where the upright pixel (x, y) lies in the stored picture.
                int sx = x, sy = y;
                if (code == 1) { // stored turned clockwise
                    sx = W - 1 - y;
                    sy = x;
                } else if (code == 2) {
                    sx = W - 1 - x;
                    sy = H - 1 - y;
                } else if (code == 3) { // stored turned counter-clockwise
                    sx = y;
                    sy = H - 1 - x;
                }
                const QRgb c = img.pixel(x, y);
                ASSERT_NEAR(qGreen(c), grey(sx, sy), 1) << x << "," << y;
                ASSERT_NEAR(qRed(c), qBlue(c), 1) << x << "," << y;
            }
    }
}
