// WebP, HEIC, AVIF and JPEG XL through the load and save dispatch: the type keys,
// decoding against each format's reference decoder, the writers, the orientation,
// animations, embedded HEIC thumbnails, the pixel limit and damaged files.
#include "ImagingTestUtil.h"
#include "TestEnv.h"
#include "app/Settings.h"
#include "imaging/Codecs.h"
#include "imaging/CodecsInternal.h"
#include "imaging/ImageLoad.h"
#include "thumbs/ThumbMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstring>
#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

QString sample(const char *name)
{
    return QDir(qEnvironmentVariable("V7_SAMPLES", QStringLiteral(V7_SAMPLES_DIR))).filePath(QString::fromLatin1(name));
}

void appendLe32(QByteArray &b, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.append(char((v >> (8 * i)) & 0xFF));
}

QByteArray chunk(const char *fourcc, const QByteArray &payload)
{
    QByteArray c(fourcc, 4);
    appendLe32(c, std::uint32_t(payload.size()));
    c += payload;
    if (payload.size() % 2)
        c.append('\0');
    return c;
}

// A lossless WebP of the image rewrapped in the extended container, with an EXIF
// chunk and/or an ICC profile chunk, as cameras and editors write them.
QByteArray extendedWebp(const QImage &image, const QByteArray &exif, const QByteArray &icc)
{
    QByteArray simple;
    if (!codec::encodeWebp(image, 100, true, simple) || simple.size() < 20)
        return {};
    const QByteArray imageChunks = simple.mid(12);
    QByteArray vp8x;
    vp8x.append(char((icc.isEmpty() ? 0 : 0x20) | (exif.isEmpty() ? 0 : 0x08)));
    vp8x.append(3, '\0');
    for (int v : { image.width() - 1, image.height() - 1 })
        for (int i = 0; i < 3; ++i)
            vp8x.append(char((v >> (8 * i)) & 0xFF));
    QByteArray body = "WEBP" + chunk("VP8X", vp8x);
    if (!icc.isEmpty())
        body += chunk("ICCP", icc);
    body += imageChunks;
    if (!exif.isEmpty())
        body += chunk("EXIF", exif);
    QByteArray out = "RIFF";
    appendLe32(out, std::uint32_t(body.size()));
    return out + body;
}

// An EXIF TIFF structure holding only the orientation.
QByteArray exifWithOrientation(int orientation)
{
    QByteArray t("II*\0\x08\0\0\0", 8);
    t += QByteArray("\x01\0", 2); // one entry
    t += QByteArray("\x12\x01\x03\0\x01\0\0\0", 8); // 0x0112, SHORT, count 1
    t.append(char(orientation));
    t.append(3, '\0');
    t += QByteArray(4, '\0'); // no next directory
    return t;
}

// A picture whose halves differ: left red, right blue.
QImage halves(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, x < w / 2 ? qRgb(230, 20, 20) : qRgb(20, 20, 230));
    return img;
}

struct Modern {
    const char *file;
    const char *format;
    int width, height;
    const char *tool; // the format's reference decoder, writing a PNG
};
const Modern kSamples[] = {
    { "lakeside.webp", "WEBP", 640, 480, "dwebp" },
    { "canyon.heic", "HEIC", 1024, 768, "heif-convert" },
    { "valley.avif", "AVIF", 800, 600, "avifdec" },
    { "reef.jxl", "JXL", 720, 540, "djxl" },
};

QStringList referenceArgs(const QString &tool, const QString &in, const QString &out)
{
    if (tool == QLatin1String("dwebp"))
        return { in, QStringLiteral("-o"), out };
    return { in, out };
}

} // namespace

TEST(ModernFormats, TypeKeysNameTheNewFormats)
{
    EXPECT_EQ(imageTypeOf(QStringLiteral("WEBP")), ImageType::Webp);
    EXPECT_EQ(imageTypeOf(QStringLiteral("heic")), ImageType::Heif);
    EXPECT_EQ(imageTypeOf(QStringLiteral("HEIF")), ImageType::Heif);
    EXPECT_EQ(imageTypeOf(QStringLiteral("Avif")), ImageType::Heif);
    EXPECT_EQ(imageTypeOf(QStringLiteral("jxl")), ImageType::Jxl);
    EXPECT_EQ(imageTypeOf(QStringLiteral("jxr")), ImageType::None);
}

TEST(ModernFormats, SamplesReportTheirFormatAndSize)
{
    for (const Modern &m : kSamples) {
        SCOPED_TRACE(m.file);
        ImageFileInfo info;
        info.fileName = sample(m.file);
        ASSERT_TRUE(GetImageInfo(info));
        EXPECT_EQ(info.format, QLatin1String(m.format));
        EXPECT_EQ(info.width, m.width);
        EXPECT_EQ(info.height, m.height);
        EXPECT_EQ(info.bitsPerPixel, 24);
    }
}

TEST(ModernFormats, SamplesDecodeAsTheirReferenceDecodersDo)
{
    QTemporaryDir dir;
    for (const Modern &m : kSamples) {
        SCOPED_TRACE(m.file);
        const QImage ours = LoadImageDib(sample(m.file), 24, true);
        ASSERT_FALSE(ours.isNull());
        EXPECT_EQ(ours.size(), QSize(m.width, m.height));
        const QImage ddb = LoadImageDdb(sample(m.file), 32, true);
        EXPECT_EQ(ddb.size(), QSize(m.width, m.height));
        const QString tool = QString::fromLatin1(m.tool);
        if (!haveTool(tool)) {
            ADD_FAILURE() << "reference decoder missing: " << m.tool;
            continue;
        }
        const QString png = dir.filePath(QString::fromLatin1(m.file) + QStringLiteral(".png"));
        ASSERT_TRUE(runTool(tool, referenceArgs(tool, sample(m.file), png)));
        const QImage ref = QImage(png).convertToFormat(QImage::Format_RGB888);
        ASSERT_EQ(ref.size(), ours.size());
        // Decoders of the same file may round YCbCr differently by a step or two.
        EXPECT_LT(meanChannelDiff(ours, ref), 1.5);
        EXPECT_GT(psnr(ours, ref), 38.0);
    }
}

TEST(ModernFormats, WritersRoundTripThroughTheDispatch)
{
    QTemporaryDir dir;
    const QImage photo = makePhoto(160, 120, 7).convertToFormat(QImage::Format_RGB888);

    const QString lossless = dir.filePath(QStringLiteral("a.webp"));
    ASSERT_TRUE(SaveImageDib(lossless, photo, 24, 100));
    EXPECT_EQ(maxChannelDiff(LoadImageDib(lossless, 24, true), photo), 0) << "quality 100 writes lossless WebP";

    const QString lossy = dir.filePath(QStringLiteral("b.webp"));
    ASSERT_TRUE(SaveImageDib(lossy, photo, 24, 80));
    EXPECT_LT(QFileInfo(lossy).size(), QFileInfo(lossless).size());
    EXPECT_GT(psnr(LoadImageDib(lossy, 24, true), photo), 28.0);

    const QString avif = dir.filePath(QStringLiteral("c.avif"));
    ASSERT_TRUE(SaveImageDib(avif, photo, 24, 80));
    ImageFileInfo info;
    info.fileName = avif;
    ASSERT_TRUE(GetImageInfo(info));
    EXPECT_EQ(info.format, QLatin1String("AVIF"));
    EXPECT_GT(psnr(LoadImageDib(avif, 24, true), photo), 28.0);

    // A palette image is written in colour; nothing is left where writing fails.
    ASSERT_TRUE(SaveImageDib(dir.filePath(QStringLiteral("p.webp")), reduceTo8Bits(photo), 8, 100));
    EXPECT_EQ(LoadImageDib(dir.filePath(QStringLiteral("p.webp")), 24, true).size(), photo.size());
    const QString missing = dir.filePath(QStringLiteral("no/such/folder/d.webp"));
    EXPECT_FALSE(SaveImageDib(missing, photo, 24, 80));
    EXPECT_FALSE(QFile::exists(missing));
    EXPECT_FALSE(
        wrwebpfiledib(dir.filePath(QStringLiteral("wide.webp")), 80, false, QImage(16384, 1, QImage::Format_RGB888)));
}

TEST(ModernFormats, WebpIsShownByItsExifOrientation)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("turned.webp"));
    // Stored 40 x 20, left red and right blue; orientation 6 turns it clockwise.
    writeFile(path, extendedWebp(halves(40, 20), exifWithOrientation(6), {}));
    ImageFileInfo info;
    info.fileName = path;
    ASSERT_TRUE(GetImageInfo(info));
    EXPECT_EQ(QSize(info.width, info.height), QSize(20, 40));
    const QImage shown = LoadImageDib(path, 24, true);
    ASSERT_EQ(shown.size(), QSize(20, 40));
    EXPECT_EQ(shown.pixel(10, 5), qRgb(230, 20, 20));
    EXPECT_EQ(shown.pixel(10, 35), qRgb(20, 20, 230));

    // Without the EXIF chunk the same pixels stay as stored.
    writeFile(path, extendedWebp(halves(40, 20), {}, {}));
    EXPECT_EQ(LoadImageDib(path, 24, true).size(), QSize(40, 20));
}

TEST(ModernFormats, AnimatedWebpShowsItsFirstFrame)
{
    if (!haveTool(QStringLiteral("img2webp")))
        GTEST_SKIP() << "img2webp (Debian: webp) not installed";
    QTemporaryDir dir;
    QImage red(48, 32, QImage::Format_RGB888), blue(48, 32, QImage::Format_RGB888);
    red.fill(qRgb(220, 30, 30));
    blue.fill(qRgb(30, 30, 220));
    ASSERT_TRUE(red.save(dir.filePath(QStringLiteral("1.png"))));
    ASSERT_TRUE(blue.save(dir.filePath(QStringLiteral("2.png"))));
    const QString anim = dir.filePath(QStringLiteral("anim.webp"));
    ASSERT_TRUE(runTool(QStringLiteral("img2webp"),
        { QStringLiteral("-lossless"),
            dir.filePath(QStringLiteral("1.png")),
            dir.filePath(QStringLiteral("2.png")),
            QStringLiteral("-o"),
            anim }));
    const QImage shown = LoadImageDib(anim, 24, true);
    ASSERT_EQ(shown.size(), QSize(48, 32));
    EXPECT_FALSE(shown.hasAlphaChannel()) << "an opaque first frame needs no alpha";
    EXPECT_EQ(shown.pixel(24, 16), qRgb(220, 30, 30));
}

TEST(ModernFormats, HeicThumbnailComesFromTheEmbeddedImage)
{
    QSize decoded;
    const QImage thumb = LoadExifPreviewDib(sample("canyon.heic"), 96, 72, &decoded);
    ASSERT_FALSE(thumb.isNull());
    EXPECT_EQ(thumb.width(), 320);
    EXPECT_EQ(decoded, QSize(1024, 768));

    // The thumbnail made from it and one made from the whole picture agree.
    Settings cfg = settings();
    cfg.ThumbW = 96;
    cfg.ThumbH = 72;
    cfg.UseEmbeddedThumbs = true;
    const QImage fromPreview = MakeThumbImage(sample("canyon.heic"), cfg);
    cfg.UseEmbeddedThumbs = false;
    const QImage fromPicture = MakeThumbImage(sample("canyon.heic"), cfg);
    ASSERT_EQ(fromPreview.size(), QSize(96, 72));
    ASSERT_EQ(fromPicture.size(), QSize(96, 72));
    EXPECT_LT(meanChannelDiff(fromPreview, fromPicture), 6.0);

    // A HEIF file without a thumbnail image offers none.
    QTemporaryDir dir;
    const QString avif = dir.filePath(QStringLiteral("plain.avif"));
    ASSERT_TRUE(SaveImageDib(avif, makePhoto(64, 48), 24, 70));
    EXPECT_TRUE(LoadExifPreviewDib(avif, 96, 72, &decoded).isNull());
}

TEST(ModernFormats, PixelLimitRefusesBeforeDecoding)
{
    const std::int64_t old = maxDecodedPixels();
    setMaxDecodedPixels(200'000);
    for (const Modern &m : kSamples) {
        SCOPED_TRACE(m.file);
        EXPECT_TRUE(LoadImageDib(sample(m.file), 24, true).isNull());
        ImageFileInfo info;
        info.fileName = sample(m.file);
        EXPECT_TRUE(GetImageInfo(info)) << "the size can still be told";
    }
    setMaxDecodedPixels(old);
    EXPECT_FALSE(LoadImageDib(sample("reef.jxl"), 24, true).isNull());
}

TEST(ModernFormats, DamagedFilesFailCleanly)
{
    QTemporaryDir dir;
    for (const Modern &m : kSamples) {
        SCOPED_TRACE(m.file);
        QFile f(sample(m.file));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray whole = f.readAll();
        const QString path = dir.filePath(QStringLiteral("damaged"));
        // A file cut after its first bytes gives no picture (its size may still read).
        writeFile(path, whole.left(40));
        EXPECT_TRUE(LoadImageDib(path, 24, true).isNull());
        EXPECT_TRUE(LoadImageDdb(path, 32, false).isNull());
        // Eight bytes hold a whole JPEG XL header, but no other format's.
        writeFile(path, whole.left(8));
        ImageFileInfo info;
        info.fileName = path;
        EXPECT_EQ(GetImageInfo(info), std::strcmp(m.format, "JXL") == 0);
        // Cut short or with bytes overwritten, a file gives a picture or none, and
        // the thumbnail maker copes either way.
        for (const double part : { 0.3, 0.7, 0.95 }) {
            writeFile(path, whole.left(qsizetype(double(whole.size()) * part)));
            const QImage img = LoadImageDib(path, 24, false);
            EXPECT_TRUE(img.isNull() || img.size() == QSize(m.width, m.height));
        }
        QByteArray scrambled = whole;
        for (qsizetype i = 64; i < scrambled.size(); i += 97)
            scrambled[i] = char(scrambled[i] ^ 0x5A);
        writeFile(path, scrambled);
        const QImage img = LoadImageDib(path, 24, true);
        EXPECT_TRUE(img.isNull() || img.size() == QSize(m.width, m.height));
    }
}

TEST(ModernFormats, UnknownNclxCodesShowThePictureUnconverted)
{
    QFile f(sample("valley.avif"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QByteArray bytes = f.readAll();
    // colr box: "nclx", primaries, transfer, matrix (16 bits each), full-range flag.
    const qsizetype at = bytes.indexOf("colrnclx");
    ASSERT_GE(at, 0);
    bytes[at + 10] = char(0x00);
    bytes[at + 11] = char(0xEE); // a transfer code that does not exist
    QByteArray icc("not cleared");
    const QImage img = codec::decodeHeif(
        codec::Bytes { reinterpret_cast<const uchar *>(bytes.constData()), std::size_t(bytes.size()) }, &icc);
    // Never refused for its colour data; nothing to convert with (the sanitizer
    // build also checks that the colour data handed out with the error is freed).
    EXPECT_EQ(img.size(), QSize(800, 600));
    EXPECT_TRUE(icc.isEmpty());
}

TEST(ModernFormats, TypeComesFromContentNotName)
{
    QTemporaryDir dir;
    const QString misnamed = dir.filePath(QStringLiteral("photo.jpg"));
    ASSERT_TRUE(QFile::copy(sample("reef.jxl"), misnamed));
    EXPECT_EQ(LoadImageDib(misnamed, 24, true).size(), QSize(720, 540));
    // 8-bit displays get a palette image like every other format.
    EXPECT_EQ(LoadImageDib(sample("lakeside.webp"), 8, true).format(), QImage::Format_Indexed8);
}
