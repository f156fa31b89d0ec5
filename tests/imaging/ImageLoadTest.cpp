// The load and save dispatch: type by content or extension, the reduction for
// thumbnails, the colour-depth rule, PhotoCD resolutions and EXIF orientation.
#include "imaging/ImageLoad.h"

#include "ImagingTestUtil.h"
#include "TestEnv.h"
#include "app/Settings.h"
#include "imaging/Codecs.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

class Dispatch : public ::testing::Test
{
protected:
    void SetUp() override
    {
        settings().ThumbW = 96;
        settings().ThumbH = 72;
        setScreenDepth(24);
    }
    void TearDown() override { setScreenDepth(24); }
    QString save(const QString &name, const QImage &img, int bits = 24)
    {
        const QString path = m_dir.filePath(name);
        EXPECT_TRUE(SaveImageDib(path, img, bits, 90)) << name.toStdString();
        return path;
    }
    QTemporaryDir m_dir;
};

TEST(ReductionTable, BoundariesOfFactorAndPercentage)
{
    struct Row {
        int m, t, factor, percent;
    };
    const Row rows[] = {
        { 191, 96, 1, 100 },
        { 192, 96, 2, 100 },
        { 193, 96, 2, 60 },
        { 383, 96, 2, 60 },
        { 384, 96, 4, 60 },
        { 500, 96, 4, 60 },
        { 671, 96, 4, 60 },
        { 672, 96, 8, 60 },
        { 959, 96, 8, 60 },
        { 960, 96, 8, 30 },
        { 5000, 96, 8, 30 },
        { 10, 0, 1, 100 },
    };
    for (const Row &r : rows) {
        EXPECT_EQ(jpegReductionFactor(r.m, r.t), r.factor) << r.m << " / " << r.t;
        EXPECT_EQ(tiffSizePercent(r.m, r.t), r.percent) << r.m << " / " << r.t;
    }
    EXPECT_EQ(decoderDepth(32), 24);
    EXPECT_EQ(decoderDepth(16), 24);
    EXPECT_EQ(decoderDepth(8), 8);
    EXPECT_EQ(imageTypeOf(QStringLiteral("TIFF")), ImageType::Tiff);
    EXPECT_EQ(imageTypeOf(QStringLiteral("Jpeg")), ImageType::Jpeg);
    EXPECT_EQ(imageTypeOf(QStringLiteral("tga")), ImageType::None);
}

TEST_F(Dispatch, JpegForAThumbnailIsDecodedReduced)
{
    // 500 pixels wide against ThumbW 96: 4 x 96 = 384 <= 500 < 672, factor 4.
    const QString path = save(QStringLiteral("w500.jpg"), makePhoto(500, 200));
    const QImage ddb = LoadImageDdb(path, ScreenContext, false);
    EXPECT_EQ(ddb.size(), QSize(125, 50));
    EXPECT_EQ(ddb.format(), QImage::Format_RGB32);
    EXPECT_EQ(qAlpha(ddb.pixel(7, 7)), 255); // decoded straight into the device layout
    EXPECT_EQ(LoadImageDdb(path, ScreenContext, true).size(), QSize(500, 200));

    // The DIB loader measures the larger side against the larger of ThumbW and ThumbH.
    settings().ThumbW = 40;
    settings().ThumbH = 100; // T = 100: 500 is in [4T, 7T) -> 4
    EXPECT_EQ(LoadImageDib(path, 0, false).size(), QSize(125, 50));
    settings().ThumbH = 72; // T = 72: 500 is in [4T, 7T) -> 4; LoadImageDdb: ThumbW 40, 500 >= 10T -> 8
    EXPECT_EQ(LoadImageDdb(path, ScreenContext, false).size(), QSize(63, 25));
    const QString tall = save(QStringLiteral("tall.jpg"), makePhoto(100, 700)); // m = 700 >= 7 x 96
    settings().ThumbW = 96;
    EXPECT_EQ(LoadImageDib(tall, 0, false).size(), QSize(13, 88));
    EXPECT_EQ(LoadImageDib(tall, 0, true).size(), QSize(100, 700));
}

TEST_F(Dispatch, TypeComesFromTheContentNotTheName)
{
    const QImage img = makePhoto(64, 48);
    const QString jpg = save(QStringLiteral("real.jpg"), img);
    const QString png = save(QStringLiteral("real.png"), img);
    const QString asBmp = m_dir.filePath(QStringLiteral("photo.bmp"));
    const QString asJpg = m_dir.filePath(QStringLiteral("picture.jpg"));
    ASSERT_TRUE(QFile::copy(jpg, asBmp));
    ASSERT_TRUE(QFile::copy(png, asJpg));

    ImageFileInfo info;
    info.fileName = asBmp;
    ASSERT_TRUE(GetImageInfo(info));
    EXPECT_EQ(info.format, QStringLiteral("JPEG"));
    EXPECT_EQ(maxChannelDiff(LoadImageDib(asBmp, 24, true), LoadImageDib(jpg, 24, true)), 0);
    EXPECT_EQ(maxChannelDiff(LoadImageDdb(asJpg, 24, true), img), 0);
}

TEST_F(Dispatch, SavingPicksTheWriterByExtension)
{
    const QImage img = makePhoto(20, 10);
    struct Row {
        const char *name;
        bool written;
        const char *format;
    };
    const Row rows[] = {
        { "a.jpg", true, "JPEG" },
        { "b.JPG", true, "JPEG" },
        { "c.gif", true, "GIF" },
        { "d.bmp", true, "BMP" },
        { "e.pcx", true, "PCX" },
        { "f.png", true, "PNG" },
        { "g.jpeg", false, "" },
        { "h.tif", false, "" },
        { "i.tiff", false, "" },
        { "j.pcd", false, "" },
        { "k.txt", false, "" },
        { "noextension", false, "" },
    };
    for (const Row &r : rows) {
        const QString path = m_dir.filePath(QLatin1String(r.name));
        EXPECT_EQ(SaveImageDib(path, img, 24, 80), r.written) << r.name;
        EXPECT_EQ(SaveImageDdb(path + QStringLiteral("x"), img, 24, 80), false) << r.name; // "jpgx" and so on
        EXPECT_EQ(QFile::exists(path), r.written) << r.name;
        if (r.written) {
            ImageFileInfo info;
            info.fileName = path;
            ASSERT_TRUE(GetImageInfo(info));
            EXPECT_EQ(info.format, QLatin1String(r.format));
        }
    }
    EXPECT_FALSE(SaveImageDib(m_dir.filePath(QStringLiteral("null.png")), QImage(), 24, 80));
    EXPECT_FALSE(QFile::exists(m_dir.filePath(QStringLiteral("null.png"))));
    EXPECT_FALSE(SaveImageDib(m_dir.filePath(QStringLiteral("no/such/folder/x.png")), img, 24, 80));
}

TEST_F(Dispatch, AnEightBitDeviceGetsPaletteImagesFromEveryLoader)
{
    const QImage img = makePhoto(120, 90);
    QStringList files = { save(QStringLiteral("a.jpg"), img),
        save(QStringLiteral("a.png"), img),
        save(QStringLiteral("a.gif"), img),
        save(QStringLiteral("a.pcx"), img),
        save(QStringLiteral("a.bmp"), img),
        save(QStringLiteral("p.png"), img, 8) };
    if (haveTool(QStringLiteral("convert"))) {
        const QString ppm = m_dir.filePath(QStringLiteral("a.ppm"));
        ASSERT_TRUE(img.save(ppm, "PPM"));
        ASSERT_TRUE(runTool(QStringLiteral("convert"), { ppm, m_dir.filePath(QStringLiteral("a.tif")) }));
        ASSERT_TRUE(runTool(QStringLiteral("convert"), { ppm, m_dir.filePath(QStringLiteral("a.pcd")) }));
        files << m_dir.filePath(QStringLiteral("a.tif")) << m_dir.filePath(QStringLiteral("a.pcd"));
    }
    setScreenDepth(8);
    for (const QString &f : files) {
        for (bool full : { true, false }) {
            const QImage ddb = LoadImageDdb(f, ScreenContext, full);
            const QImage dib = LoadImageDib(f, ScreenContext, full);
            EXPECT_EQ(ddb.format(), QImage::Format_Indexed8) << f.toStdString();
            EXPECT_EQ(dib.format(), QImage::Format_Indexed8) << f.toStdString();
            EXPECT_GT(dib.colorCount(), 1);
            EXPECT_LE(dib.colorCount(), 256);
            // A DIB asked for without a context (depth 0) is 24 bits whatever the screen.
            EXPECT_EQ(LoadImageDib(f, 0, full).format(), QImage::Format_RGB888) << f.toStdString();
        }
    }
    setScreenDepth(32);
    EXPECT_EQ(LoadImageDib(files.first(), ScreenContext, true).format(), QImage::Format_RGB888);
    EXPECT_EQ(LoadImageDdb(files.first(), ScreenContext, true).format(), QImage::Format_RGB32);
}

TEST_F(Dispatch, JpegLoadsUprightByItsExifOrientation)
{
    if (!haveTool(QStringLiteral("exiftool")) || !haveTool(QStringLiteral("convert")))
        GTEST_SKIP() << "exiftool and ImageMagick are needed";
    const QString base = save(QStringLiteral("base.jpg"), makePhoto(400, 250, 9));
    for (int o = 1; o <= 8; ++o) {
        const QString path = m_dir.filePath(QStringLiteral("o%1.jpg").arg(o));
        ASSERT_TRUE(QFile::copy(base, path));
        ASSERT_TRUE(runTool(QStringLiteral("exiftool"),
            { QStringLiteral("-q"),
                QStringLiteral("-n"),
                QStringLiteral("-Orientation=%1").arg(o),
                QStringLiteral("-overwrite_original"),
                path }));
        QByteArray upright;
        ASSERT_TRUE(runTool(
            QStringLiteral("convert"), { path, QStringLiteral("-auto-orient"), QStringLiteral("ppm:-") }, &upright));
        const QImage peer = QImage::fromData(upright, "PPM");
        const bool swapped = o >= 5;
        const QSize want = swapped ? QSize(250, 400) : QSize(400, 250);
        ASSERT_EQ(peer.size(), want) << o;

        ImageFileInfo info;
        info.fileName = path;
        ASSERT_TRUE(GetImageInfo(info));
        EXPECT_EQ(QSize(info.width, info.height), want) << o;
        EXPECT_EQ(maxChannelDiff(LoadImageDib(path, 24, true), peer), 0) << "orientation " << o;
        EXPECT_EQ(maxChannelDiff(LoadImageDdb(path, 32, true), peer), 0) << "orientation " << o;
        // Reduced (factor 4 for 400 against 96) keeps the orientation.
        const QImage reduced = LoadImageDib(path, 24, false);
        EXPECT_EQ(reduced.size(), swapped ? QSize(63, 100) : QSize(100, 63)) << o;
        EXPECT_LT(meanChannelDiff(reduced, ScaleDib(peer, reduced.width(), reduced.height())), 6.0) << o;
    }
}

TEST_F(Dispatch, ReadersForTheWrongTypeGiveNothing)
{
    const QString png = save(QStringLiteral("x.png"), makePhoto(30, 20));
    EXPECT_TRUE(rdjpgfiledib(png, 24, 1).isNull());
    EXPECT_TRUE(rdbmpfiledib(png, 24).isNull());
    EXPECT_TRUE(rdgiffiledib(png, 24).isNull());
    EXPECT_TRUE(rdpcxfiledib(png, 24).isNull());
    EXPECT_TRUE(readpcdfiledib(png, 24, 2).isNull());
    EXPECT_TRUE(readtiffile(png, 24, 100).isNull());
    EXPECT_FALSE(rdpngfiledib(png, 24).isNull());
}

} // namespace

namespace
{

TEST(Samples, EveryShippedSampleLoadsUprightThroughBothLoaders)
{
    // The harness's environment list reaches only its first entry through
    // gtest_discover_tests, so the source path is compiled in as a fallback.
    const QString dir = qEnvironmentVariable("V7_SAMPLES", QStringLiteral(V7_SAMPLES_DIR));
    // The thumbnail sizes: JPEG reduced by its factor (the DIB loader measures the
    // larger side, the device-bitmap loader the width), TIFF by its percentage (the
    // device-bitmap loader reads TIFF whole), PhotoCD at its smallest resolution,
    // the rest whole.
    struct Row {
        const char *file;
        const char *format;
        int width, height, bits;
        QSize dibThumb, ddbThumb;
    };
    const Row rows[] = {
        { "landscape.jpg", "JPEG", 1600, 1200, 24, { 200, 150 }, { 200, 150 } },
        { "portrait-exif6.jpg", "JPEG", 600, 800, 24, { 75, 100 }, { 150, 200 } }, // the DDB measures the width
        { "meadow.png", "PNG", 560, 420, 24, { 560, 420 }, { 560, 420 } },
        { "harbour.gif", "GIF", 480, 360, 8, { 480, 360 }, { 480, 360 } },
        { "dunes-8bit.bmp", "BMP", 400, 300, 8, { 400, 300 }, { 400, 300 } },
        { "forest-24bit.bmp", "BMP", 320, 240, 24, { 320, 240 }, { 320, 240 } },
        { "sunset.pcx", "PCX", 360, 270, 8, { 360, 270 }, { 360, 270 } },
        { "glacier.tif", "TIFF", 440, 330, 24, { 264, 198 }, { 440, 330 } },
        { "kodak.pcd", "PCD", 768, 512, 24, { 192, 128 }, { 192, 128 } },
    };
    settings().ThumbW = 96;
    settings().ThumbH = 72;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.file);
        ImageFileInfo info;
        info.fileName = dir + QLatin1Char('/') + QLatin1String(r.file);
        ASSERT_TRUE(GetImageInfo(info));
        EXPECT_EQ(info.format, QLatin1String(r.format));
        EXPECT_EQ(QSize(info.width, info.height), QSize(r.width, r.height));
        EXPECT_EQ(info.bitsPerPixel, r.bits);
        EXPECT_EQ(LoadImageDib(info.fileName, 0, true).size(), QSize(r.width, r.height));
        EXPECT_EQ(LoadImageDdb(info.fileName, ScreenContext, true).size(), QSize(r.width, r.height));
        EXPECT_EQ(LoadImageDib(info.fileName, 0, false).size(), r.dibThumb);
        EXPECT_EQ(LoadImageDdb(info.fileName, ScreenContext, false).size(), r.ddbThumb);
    }
}

} // namespace
