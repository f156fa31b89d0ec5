// Run-length BMPs built byte by byte: encoded runs, absolute runs of odd length
// (whose data is padded to a 16-bit boundary), deltas, end of line and end of
// bitmap, for 8 and 4 bits. Every pixel is compared with the picture meant.
#include "imaging/Codecs.h"
#include "imaging/ImageLoad.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <vector>

using namespace v7;

namespace
{

QByteArray le(std::uint32_t v, int n)
{
    QByteArray o;
    for (int i = 0; i < n; ++i)
        o += char((v >> (8 * i)) & 0xFF);
    return o;
}

// Palette entry i: a colour of its own in every channel.
QRgb paletteColour(int i)
{
    return qRgb((i * 37 + 11) & 0xFF, (i * 91 + 5) & 0xFF, (i * 53 + 200) & 0xFF);
}

QByteArray rleBmp(int w, int h, int bits, const QByteArray &pixels)
{
    const int colours = 1 << bits;
    const std::uint32_t off = 14 + 40 + std::uint32_t(colours) * 4;
    QByteArray b("BM", 2);
    b += le(off + std::uint32_t(pixels.size()), 4) + le(0, 4) + le(off, 4);
    b += le(40, 4) + le(std::uint32_t(w), 4) + le(std::uint32_t(h), 4) + le(1, 2) + le(std::uint32_t(bits), 2);
    b += le(bits == 8 ? 1 : 2, 4) + le(std::uint32_t(pixels.size()), 4) + le(2835, 4) + le(2835, 4);
    b += le(std::uint32_t(colours), 4) + le(0, 4);
    for (int i = 0; i < colours; ++i) {
        const QRgb c = paletteColour(i);
        b += char(qBlue(c));
        b += char(qGreen(c));
        b += char(qRed(c));
        b += char(0);
    }
    return b + pixels;
}

// rows[y] lists the palette indices of row y, top row first.
void expectPixels(const QImage &img, const std::vector<std::vector<int>> &rows, const char *what)
{
    ASSERT_FALSE(img.isNull()) << what;
    ASSERT_EQ(img.height(), int(rows.size())) << what;
    for (int y = 0; y < img.height(); ++y) {
        ASSERT_EQ(img.width(), int(rows[std::size_t(y)].size())) << what;
        for (int x = 0; x < img.width(); ++x)
            EXPECT_EQ(img.pixel(x, y), paletteColour(rows[std::size_t(y)][std::size_t(x)]))
                << what << " at " << x << "," << y << " index " << rows[std::size_t(y)][std::size_t(x)];
    }
}

// Decoded through the file reader and through the dispatch that picks by content.
void expectFile(const QByteArray &bmp, const std::vector<std::vector<int>> &rows, const char *what)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("rle.bmp"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bmp);
    f.close();
    expectPixels(rdbmpfiledib(file, 8), rows, what);
    expectPixels(rdbmpfiledib(file, 24), rows, what);
    expectPixels(rdbmpstreamdib(bmp.constData(), std::size_t(bmp.size()), 24), rows, what);
}

} // namespace

TEST(BmpRle, Rle8AbsoluteRunsOfOddLength)
{
    // 9 x 4, bottom row first.
    const QByteArray pixels = QByteArray::fromHex(
        // row 3 (bottom): absolute 3 (1,2,3) + pad, encoded 2 x 4, absolute 4 (5,6,7,8), end of line
        "0003 010203 00  0204  0004 05060708  0000"
        // row 2: absolute 5 (9..13) + pad, encoded 4 x 14, end of line
        "0005 090a0b0c0d 00  040e  0000"
        // row 1: delta right 2, absolute 7 (15,1,2,3,4,5,6) + pad, end of line
        "00020200 0007 0f010203040506 00  0000"
        // row 0 (top): encoded 1 x 7, absolute 3 (8,9,10) + pad, absolute 5 (11..15) + pad, end of bitmap
        "0107  0003 08090a 00  0005 0b0c0d0e0f 00  0001");
    const std::vector<std::vector<int>> rows = {
        { 7, 8, 9, 10, 11, 12, 13, 14, 15 },
        { 0, 0, 15, 1, 2, 3, 4, 5, 6 },
        { 9, 10, 11, 12, 13, 14, 14, 14, 14 },
        { 1, 2, 3, 4, 4, 5, 6, 7, 8 },
    };
    expectFile(rleBmp(9, 4, 8, pixels), rows, "rle8");
}

TEST(BmpRle, Rle4AbsoluteRunsOfOddLength)
{
    // 11 x 3, bottom row first. Absolute runs of 3 (2 bytes), 5 (3 bytes + pad)
    // and 6 (3 bytes + pad); encoded runs of odd length alternate their two nibbles.
    const QByteArray pixels = QByteArray::fromHex(
        // row 2 (bottom): absolute 5 (1,2,3,4,5) + pad, encoded 3 of 6/7, absolute 3 (8,9,a), end of line
        "0005 123450 00  0367  0003 89a0  0000"
        // row 1: absolute 6 (b,c,d,e,f,1) + pad, encoded 5 of 2/3, end of line
        "0006 bcdef1 00  0523  0000"
        // row 0 (top): delta right 1, encoded 1 of 4, absolute 5 (5,6,7,8,9) + pad,
        // absolute 3 (a,b,c), end of bitmap
        "00020100 0140  0005 567890 00  0003 abc0  0001");
    const std::vector<std::vector<int>> rows = {
        { 0, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0 },
        { 11, 12, 13, 14, 15, 1, 2, 3, 2, 3, 2 },
        { 1, 2, 3, 4, 5, 6, 7, 6, 8, 9, 10 },
    };
    expectFile(rleBmp(11, 3, 4, pixels), rows, "rle4");
}

TEST(BmpRle, DeltasMoveRightAndUpAndEarlyEndsLeaveIndexZero)
{
    // 4 x 4, bottom row first: two pixels, a delta of 1 right and 2 up, one pixel,
    // end of line (on the top row), an absolute run of 3 + pad, end of bitmap.
    const QByteArray pixels = QByteArray::fromHex("0205  00020102  0106  0000  0003 070809 00  0001");
    const std::vector<std::vector<int>> rows = {
        { 7, 8, 9, 0 },
        { 0, 0, 0, 6 },
        { 0, 0, 0, 0 },
        { 5, 5, 0, 0 },
    };
    expectFile(rleBmp(4, 4, 8, pixels), rows, "rle8 delta");
}
