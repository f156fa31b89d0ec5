// Bad files never crash, never allocate beyond the decoded-pixel limit, and give
// 0 or false: empty, missing, truncated, corrupt, lying headers, bombs.
#include "ImagingTestUtil.h"
#include "TestEnv.h"
#include "app/Settings.h"
#include "imaging/Codecs.h"
#include "imaging/ImageLoad.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <random>
#include <zlib.h>

using namespace v7;
using namespace v7test;

namespace
{

QByteArray le16(int v)
{
    return QByteArray(1, char(v & 0xFF)) + char((v >> 8) & 0xFF);
}
QByteArray le32(std::uint32_t v)
{
    return le16(int(v & 0xFFFF)) + le16(int(v >> 16));
}
QByteArray be32(std::uint32_t v)
{
    QByteArray b(4, '\0');
    b[0] = char(v >> 24);
    b[1] = char(v >> 16);
    b[2] = char(v >> 8);
    b[3] = char(v);
    return b;
}

QByteArray pngChunk(const char *type, const QByteArray &data)
{
    QByteArray body = QByteArray(type, 4) + data;
    const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(body.constData()), uInt(body.size()));
    return be32(std::uint32_t(data.size())) + body + be32(std::uint32_t(crc));
}

// A real PNG of width x height 1-bit grey pixels, all zero: tiny on disk, huge in memory.
QByteArray pngBomb(std::uint32_t w, std::uint32_t h)
{
    const std::size_t rowBytes = (w + 7) / 8 + 1;
    QByteArray raw(qsizetype(rowBytes * h), '\0');
    uLongf len = compressBound(uLong(raw.size()));
    QByteArray z(qsizetype(len), '\0');
    compress2(reinterpret_cast<Bytef *>(z.data()),
        &len,
        reinterpret_cast<const Bytef *>(raw.constData()),
        uLong(raw.size()),
        9);
    z.resize(qsizetype(len));
    const QByteArray ihdr = be32(w) + be32(h) + QByteArray("\x01\x00\x00\x00\x00", 5);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) + pngChunk("IDAT", z)
        + pngChunk("IEND", QByteArray());
}

// A PNG header for width x height RGB and idatBytes of zeros as its data.
QByteArray pngClaiming(std::uint32_t w, std::uint32_t h, int idatBytes)
{
    return QByteArray("\x89PNG\r\n\x1a\n", 8)
        + pngChunk("IHDR", be32(w) + be32(h) + QByteArray("\x08\x02\x00\x00\x00", 5))
        + pngChunk("IDAT", QByteArray(idatBytes, '\0')) + pngChunk("IEND", QByteArray());
}

// A GIF whose screen and one frame are w x h, with a few bytes of data.
QByteArray gifClaiming(int w, int h)
{
    return QByteArray("GIF89a") + le16(w) + le16(h) + QByteArray("\x80\x00\x00", 3) + QByteArray(6, '\0')
        + QByteArray(",") + le16(0) + le16(0) + le16(w) + le16(h) + QByteArray("\x00\x02\x02\x4c\x01\x00;", 7);
}

QByteArray bmpHeader(std::int32_t w, std::int32_t h, int bpp, std::uint32_t offBits, std::uint32_t fileSize)
{
    return QByteArray("BM") + le32(fileSize) + le32(0) + le32(offBits) + le32(40) + le32(std::uint32_t(w))
        + le32(std::uint32_t(h)) + le16(1) + le16(bpp) + le32(0) + le32(0) + le32(2835) + le32(2835) + le32(0)
        + le32(0);
}

class BadInput : public ::testing::Test
{
protected:
    void SetUp() override
    {
        settings().ThumbW = 96;
        settings().ThumbH = 72;
    }
    QString put(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        writeFile(path, bytes);
        return path;
    }
    // Every loader path refuses the file.
    void expectRefused(const QString &path)
    {
        SCOPED_TRACE(path.toStdString());
        for (bool full : { true, false }) {
            EXPECT_TRUE(LoadImageDib(path, 24, full).isNull());
            EXPECT_TRUE(LoadImageDdb(path, 32, full).isNull());
            EXPECT_TRUE(LoadImageDib(path, 8, full).isNull());
        }
    }
    // Whatever a damaged file gives, it is either nothing or a sane image.
    void expectSane(const QString &path)
    {
        const QImage img = LoadImageDib(path, 24, true);
        if (!img.isNull()) {
            EXPECT_GT(img.width(), 0);
            EXPECT_LE(std::int64_t(img.width()) * img.height(), maxDecodedPixels());
        }
        (void)LoadImageDdb(path, 8, false);
        ImageFileInfo info;
        info.fileName = path;
        if (GetImageInfo(info)) {
            EXPECT_GT(info.width, 0);
            EXPECT_GT(info.height, 0);
        }
    }
    // The image in every writable format and depth; returns the paths.
    QStringList saveEveryWritable(const QImage &img, const QString &prefix)
    {
        QStringList files;
        for (const auto &[suffix, bits] : { std::pair { ".bmp", 24 },
                 { "8.bmp", 8 },
                 { ".gif", 8 },
                 { ".pcx", 24 },
                 { "8.pcx", 8 },
                 { ".png", 24 },
                 { ".jpg", 24 } }) {
            files << m_dir.filePath(prefix + QLatin1String(suffix));
            EXPECT_TRUE(SaveImageDib(files.last(), img, bits, 90));
        }
        return files;
    }
    QTemporaryDir m_dir;
};

TEST_F(BadInput, EmptyAndMissingFiles)
{
    for (const char *ext : { "jpg", "bmp", "gif", "pcx", "png", "tif", "pcd", "txt" }) {
        const QString empty = put(QStringLiteral("empty.") + QLatin1String(ext), QByteArray());
        ImageFileInfo info;
        info.fileName = empty;
        EXPECT_FALSE(GetImageInfo(info)) << ext;
        expectRefused(empty);
        expectRefused(m_dir.filePath(QStringLiteral("missing.") + QLatin1String(ext)));
    }
    ImageFileInfo folder;
    folder.fileName = m_dir.path();
    EXPECT_FALSE(GetImageInfo(folder));
    expectRefused(m_dir.path());
}

TEST_F(BadInput, TruncatedFilesGiveNothing)
{
    const QImage img = makePhoto(90, 70);
    QStringList files = saveEveryWritable(img, QStringLiteral("t"));
    if (haveTool(QStringLiteral("convert"))) {
        const QString ppm = m_dir.filePath(QStringLiteral("t.ppm"));
        ASSERT_TRUE(img.save(ppm, "PPM"));
        for (const char *out : { "t.tif", "t.pcd" }) {
            ASSERT_TRUE(runTool(QStringLiteral("convert"), { ppm, m_dir.filePath(QLatin1String(out)) }));
            files << m_dir.filePath(QLatin1String(out));
        }
    }
    for (const QString &f : files) {
        const QByteArray whole = readFile(f);
        ASSERT_FALSE(LoadImageDib(f, 24, true).isNull()) << f.toStdString();
        for (qsizetype cut : { qsizetype(1), qsizetype(8), qsizetype(40), whole.size() / 3, whole.size() / 2 }) {
            const QString part =
                put(QStringLiteral("cut_%1_").arg(cut) + f.section(QLatin1Char('/'), -1), whole.left(cut));
            expectRefused(part);
        }
    }
}

TEST_F(BadInput, CorruptBytesNeverCrash)
{
    std::mt19937 rng(1234);
    for (const QString &path : saveEveryWritable(makePhoto(48, 40), QStringLiteral("c"))) {
        const QByteArray whole = readFile(path);
        for (int round = 0; round < 60; ++round) {
            QByteArray bad = whole;
            const int flips = 1 + int(rng() % 8);
            for (int i = 0; i < flips; ++i)
                bad[qsizetype(rng() % std::uint32_t(bad.size()))] = char(rng());
            expectSane(put(QStringLiteral("bad_") + path.section(QLatin1Char('/'), -1), bad));
        }
    }
}

TEST_F(BadInput, HeadersClaimingHugeImagesAreRefusedBeforeAllocating)
{
    // 100,000 x 100,000 pixels would be 30 GB.
    const QByteArray bmp = bmpHeader(100000, 100000, 24, 54, 54 + 64) + QByteArray(64, '\x7f');
    const QByteArray png = pngClaiming(100000, 100000, 16);
    const QByteArray gif = gifClaiming(65535, 65535);
    QByteArray pcx(128, '\0');
    pcx[0] = 0x0A;
    pcx[1] = 5;
    pcx[2] = 1;
    pcx[3] = 8;
    pcx.replace(8, 4, le16(65535) + le16(65535));
    pcx[65] = 3;
    pcx.replace(66, 2, le16(65535));
    pcx += QByteArray(4096, '\xC1');
    // JPEG: a frame header of 65,500 x 65,500 in front of a few bytes.
    QByteArray jpg;
    ASSERT_TRUE(wrjpgstreamdib(makePhoto(16, 16), 80, jpg));
    const qsizetype sof = jpg.indexOf("\xFF\xC0");
    ASSERT_GT(sof, 0);
    jpg.replace(sof + 5, 4, QByteArray("\xFF\xDC\xFF\xDC", 4));

    for (const auto &[name, bytes] : { std::pair { "huge.bmp", bmp },
             { "huge.png", png },
             { "huge.gif", gif },
             { "huge.pcx", pcx },
             { "huge.jpg", jpg } }) {
        const QString path = put(QLatin1String(name), bytes);
        expectRefused(path);
    }
}

TEST_F(BadInput, FramesTooLargeForTheirDataAreRefused)
{
    // Within the pixel limit, but no compressed stream this short can fill them.
    expectRefused(put(QStringLiteral("short.png"), pngClaiming(4000, 4000, 64)));
    expectRefused(put(QStringLiteral("short.gif"), gifClaiming(3000, 3000)));
    // A long file that does not start like an image is no image, whatever its name.
    expectRefused(put(QStringLiteral("notes.jpg"), QByteArray(100000, 'x')));
}

TEST_F(BadInput, DecompressionBombsStopAtThePixelLimit)
{
    // 30,000 x 30,000 is 900 megapixels over the 100-megapixel limit, in ~110 KB.
    const QString bomb = put(QStringLiteral("bomb.png"), pngBomb(30000, 30000));
    ImageFileInfo info;
    info.fileName = bomb;
    ASSERT_TRUE(GetImageInfo(info)); // the header is honest; the decode is what we refuse
    EXPECT_EQ(info.width, 30000);
    expectRefused(bomb);

    // The limit is what bounds memory: lowered, it refuses a file that decodes fine.
    const QString modest = put(QStringLiteral("modest.png"), pngBomb(2000, 1000));
    EXPECT_EQ(LoadImageDib(modest, 24, true).size(), QSize(2000, 1000));
    const std::int64_t old = maxDecodedPixels();
    setMaxDecodedPixels(1'000'000);
    expectRefused(modest);
    const QString gif = m_dir.filePath(QStringLiteral("modest.gif"));
    setMaxDecodedPixels(old);
    ASSERT_TRUE(SaveImageDib(gif, makePhoto(1200, 900), 8, 0));
    setMaxDecodedPixels(1'000'000);
    expectRefused(gif);
    setMaxDecodedPixels(old);
    EXPECT_FALSE(LoadImageDib(gif, 24, true).isNull());
}

TEST_F(BadInput, BmpOffsetsOutsideTheFileAreRefused)
{
    QByteArray good;
    ASSERT_TRUE(wrbmpstreamdib(makePhoto(8, 8), good));
    ASSERT_FALSE(DecodeThumbStream(good.constData(), std::size_t(good.size())).isNull());
    struct Row {
        const char *what;
        std::uint32_t offBits;
    };
    for (const Row r : { Row { "past the end", std::uint32_t(good.size()) + 100 },
             Row { "at the end", std::uint32_t(good.size()) },
             Row { "inside the header", 20 },
             Row { "far away", 0xFFFFFFF0u } }) {
        QByteArray bad = good;
        bad.replace(10, 4, le32(r.offBits));
        EXPECT_TRUE(DecodeThumbStream(bad.constData(), std::size_t(bad.size())).isNull()) << r.what;
        expectRefused(put(QStringLiteral("off.bmp"), bad));
    }
    // An 8-bit file whose palette would run into the pixels or out of the file.
    QByteArray pal = bmpHeader(4, 4, 8, 54 + 8, 54 + 8 + 16) + QByteArray(8 + 16, '\x01');
    const QImage two = DecodeThumbStream(pal.constData(), std::size_t(pal.size()));
    ASSERT_FALSE(two.isNull()); // two palette entries fit; pixels use index 1
    EXPECT_EQ(two.pixel(0, 0), qRgb(1, 1, 1));
    // A header size that runs past the file.
    QByteArray longHeader = good;
    longHeader.replace(14, 4, le32(1000));
    expectRefused(put(QStringLiteral("hdr.bmp"), longHeader));
}

TEST_F(BadInput, RunLengthDataThatOverrunsIsClipped)
{
    // RLE8, 4 x 2: a run of 200 pixels, a delta far outside, then end of bitmap.
    QByteArray pixels = QByteArray("\xC8\x01\x00\x02\x50\x50\x02\x02\x00\x01", 10);
    QByteArray bmp = bmpHeader(4, 2, 8, 54 + 8, 54 + 8 + std::uint32_t(pixels.size()));
    bmp.replace(30, 4, le32(1)); // BI_RLE8
    bmp += le32(0x000000) + le32(0xFFFFFF) + pixels;
    const QImage img = DecodeThumbStream(bmp.constData(), std::size_t(bmp.size()));
    ASSERT_FALSE(img.isNull());
    EXPECT_EQ(img.size(), QSize(4, 2));
    EXPECT_EQ(img.pixel(0, 1), qRgb(255, 255, 255)); // bottom row, from the run
    EXPECT_EQ(img.pixel(3, 1), qRgb(255, 255, 255));
    EXPECT_EQ(img.pixel(0, 0), qRgb(0, 0, 0)); // untouched
}

} // namespace
