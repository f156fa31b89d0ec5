// Every writable format saved and loaded back at 8 and 24 bits, pixel by pixel
// (JPEG by PSNR), through the dispatch and through the memory streams.
#include "ImagingTestUtil.h"
#include "TestEnv.h"
#include "app/Settings.h"
#include "imaging/Codecs.h"
#include "imaging/ImageLoad.h"
#include "thumbs/ThumbMain.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

struct RoundTrip {
    const char *ext;
    int bits;
};

class LosslessRoundTrip : public ::testing::TestWithParam<RoundTrip>
{
};

TEST_P(LosslessRoundTrip, SavesAndLoadsBackTheSamePixels)
{
    const RoundTrip rt = GetParam();
    QTemporaryDir dir;
    // Odd width: rows need padding in BMP and PCX.
    const QImage src = makePhoto(131, 77, 5);
    // GIF holds a palette image whatever depth it is asked for.
    const QImage expected = rt.bits == 8 || QLatin1String(rt.ext) == QLatin1String("gif") ? reduceTo8Bits(src) : src;
    const QString path = dir.filePath(QStringLiteral("rt.") + QLatin1String(rt.ext));

    ASSERT_TRUE(SaveImageDib(path, src, rt.bits, 90));
    ImageFileInfo info;
    info.fileName = path;
    ASSERT_TRUE(GetImageInfo(info));
    EXPECT_EQ(imageTypeOf(info.format), imageTypeOf(QLatin1String(rt.ext)));
    EXPECT_EQ(info.width, 131);
    EXPECT_EQ(info.height, 77);

    const QImage dib24 = LoadImageDib(path, 24, true);
    ASSERT_EQ(dib24.format(), QImage::Format_RGB888);
    EXPECT_EQ(maxChannelDiff(dib24, expected), 0);

    // At 8 bits the file's own palette comes back, so the pixels stay exact.
    if (rt.bits == 8) {
        const QImage dib8 = LoadImageDib(path, 8, true);
        ASSERT_EQ(dib8.format(), QImage::Format_Indexed8);
        EXPECT_EQ(maxChannelDiff(dib8, expected), 0);
    }
    const QImage ddb = LoadImageDdb(path, 32, true);
    ASSERT_EQ(ddb.format(), QImage::Format_RGB32);
    EXPECT_EQ(maxChannelDiff(ddb, expected), 0);

    // The device-bitmap saver writes the same pixels.
    const QString path2 = dir.filePath(QStringLiteral("ddb.") + QLatin1String(rt.ext));
    ASSERT_TRUE(SaveImageDdb(path2, ddb, rt.bits, 90));
    EXPECT_EQ(maxChannelDiff(LoadImageDib(path2, 24, true), expected), 0);
}

INSTANTIATE_TEST_SUITE_P(Formats,
    LosslessRoundTrip,
    ::testing::Values(RoundTrip { "bmp", 24 },
        RoundTrip { "bmp", 8 },
        RoundTrip { "gif", 8 },
        RoundTrip { "gif", 24 },
        RoundTrip { "pcx", 24 },
        RoundTrip { "pcx", 8 },
        RoundTrip { "png", 24 },
        RoundTrip { "png", 8 }),
    [](const auto &p) { return std::string(p.param.ext) + std::to_string(p.param.bits); });

TEST(RoundTrip, PaletteImagesKeepTheirOwnPalette)
{
    // A 16-colour image written at 8 bits must come back with exactly its colours.
    QImage src(33, 21, QImage::Format_Indexed8);
    QList<QRgb> table;
    for (int i = 0; i < 16; ++i)
        table.append(qRgb(i * 16, 255 - i * 10, (i * 77) & 255));
    src.setColorTable(table);
    for (int y = 0; y < src.height(); ++y)
        for (int x = 0; x < src.width(); ++x)
            src.scanLine(y)[x] = uchar((x + 3 * y) % 16);
    QTemporaryDir dir;
    for (const char *ext : { "bmp", "gif", "pcx", "png" }) {
        const QString path = dir.filePath(QStringLiteral("p.") + QLatin1String(ext));
        ASSERT_TRUE(SaveImageDib(path, src, 8, 0)) << ext;
        const QImage back = LoadImageDib(path, 8, true);
        ASSERT_EQ(back.format(), QImage::Format_Indexed8) << ext;
        EXPECT_EQ(maxChannelDiff(back, src), 0) << ext;
    }
}

TEST(RoundTrip, JpegKeepsTheImageWithinItsQuality)
{
    QTemporaryDir dir;
    const QImage src = makePhoto(160, 120, 7);
    struct Row {
        int quality;
        double minPsnr;
    };
    for (const Row r : { Row { 95, 36.0 }, Row { 75, 30.0 }, Row { 30, 25.0 } }) {
        const QString path = dir.filePath(QStringLiteral("q%1.jpg").arg(r.quality));
        ASSERT_TRUE(SaveImageDib(path, src, 24, r.quality));
        const QImage back = LoadImageDib(path, 24, true);
        ASSERT_EQ(back.size(), src.size());
        EXPECT_GT(psnr(back, src), r.minPsnr) << "quality " << r.quality;
        // The DIB form always writes colour, even when asked for 8 bits.
        ImageFileInfo info;
        info.fileName = path;
        ASSERT_TRUE(GetImageInfo(info));
        EXPECT_EQ(info.bitsPerPixel, 24);
    }
    // Lower quality, smaller file.
    EXPECT_LT(
        QFile(dir.filePath(QStringLiteral("q30.jpg"))).size(), QFile(dir.filePath(QStringLiteral("q95.jpg"))).size());
}

TEST(RoundTrip, ThumbnailStreamsDecodeByTheirFirstByte)
{
    const QImage src = makePhoto(96, 72, 3);
    QByteArray bmp, jpg;
    ASSERT_TRUE(wrbmpstreamdib(src, bmp));
    ASSERT_TRUE(wrjpgstreamdib(src, 75, jpg));
    ASSERT_EQ(bmp.at(0), 'B');
    ASSERT_EQ(static_cast<unsigned char>(jpg.at(0)), 0xFF);

    const QImage fromBmp = DecodeThumbStream(bmp.constData(), std::size_t(bmp.size()));
    ASSERT_EQ(fromBmp.format(), QImage::Format_RGB888);
    EXPECT_EQ(maxChannelDiff(fromBmp, src), 0);
    const QImage fromJpg = DecodeThumbStream(jpg.constData(), std::size_t(jpg.size()));
    ASSERT_EQ(fromJpg.size(), src.size());
    EXPECT_GT(psnr(fromJpg, src), 28.0);

    // Neither marker: nothing, even if the rest would decode.
    QByteArray other = bmp;
    other[0] = 'X';
    EXPECT_TRUE(DecodeThumbStream(other.constData(), std::size_t(other.size())).isNull());
    EXPECT_TRUE(DecodeThumbStream(bmp.constData(), 0).isNull());
    EXPECT_TRUE(DecodeThumbStream(nullptr, 10).isNull());
    // The stream writer always writes 24 bits, even from a palette image.
    QByteArray fromIndexed;
    ASSERT_TRUE(wrbmpstreamdib(reduceTo8Bits(src), fromIndexed));
    EXPECT_EQ(fromIndexed.at(28), 24);
}

// The longer extensions the file list shows with JPG and TIF (.jpeg, .jpe, .tiff)
// load and make thumbnails through the codec of their content.
TEST(RoundTrip, LongerExtensionsLoadThroughTheirFormatsCodec)
{
    QTemporaryDir dir;
    const QString jpg = dir.filePath(QStringLiteral("photo.jpg"));
    ASSERT_TRUE(SaveImageDib(jpg, makePhoto(300, 200, 9), 24, 90));
    const QString tif = QStringLiteral(V7_SAMPLES_DIR "/glacier.tif");
    Settings cfg;
    cfg.ThumbW = 96;
    cfg.ThumbH = 72;
    cfg.UseEmbeddedThumbs = false;
    for (const auto &[source, copyName, format] : { std::tuple { jpg, "photo.jpeg", "JPEG" },
             std::tuple { jpg, "old.JPE", "JPEG" },
             std::tuple { tif, "scan.tiff", "TIFF" } }) {
        const QString copy = dir.filePath(QLatin1String(copyName));
        ASSERT_TRUE(QFile::copy(source, copy)) << copyName;
        ImageFileInfo info;
        info.fileName = copy;
        ASSERT_TRUE(GetImageInfo(info)) << copyName;
        EXPECT_EQ(info.format, QLatin1String(format));
        const QImage original = LoadImageDib(source, 24, true);
        const QImage loaded = LoadImageDib(copy, 24, true);
        ASSERT_FALSE(loaded.isNull()) << copyName;
        EXPECT_EQ(maxChannelDiff(loaded, original), 0) << copyName;
        EXPECT_EQ(maxChannelDiff(LoadImageDdb(copy, 32, true), original), 0) << copyName;
        const QImage thumb = MakeThumbImage(copy, cfg);
        ASSERT_FALSE(thumb.isNull()) << copyName;
        EXPECT_EQ(maxChannelDiff(thumb, MakeThumbImage(source, cfg)), 0) << copyName;
    }
    // Saving keeps to the writers' own extensions: nothing is written for these.
    EXPECT_FALSE(SaveImageDib(dir.filePath(QStringLiteral("out.jpeg")), makePhoto(8, 8), 24, 90));
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("out.jpeg"))));
}

} // namespace
