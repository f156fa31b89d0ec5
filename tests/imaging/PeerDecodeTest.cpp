// Files made by other producers (ImageMagick, GraphicsMagick) decode to the
// pixels those producers decode them to.
#include "ImagingTestUtil.h"
#include "TestEnv.h"
#include "imaging/Codecs.h"
#include "imaging/Draw.h"
#include "imaging/ImageLoad.h"
#include "imaging/ViewState.h"
#include "thumbs/ThumbMain.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTransform>
#include <cstring>
#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

// A BMP file in memory at 8 or 24 bits, through the file writer.
bool encodeBmpForTest(const QImage &img, int bits, QByteArray &out)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("x.bmp"));
    if (!SaveImageDib(path, img, bits, 0))
        return false;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    out = f.readAll();
    return true;
}

struct PeerCase {
    const char *name;
    const char *tool; // "convert" or "gm"
    const char *options; // space-separated, placed before the output name
    const char *output; // "[coder:]file"
    int maxDiff; // largest channel difference allowed
    double maxMean; // mean channel difference allowed
    double minCorrelation = 0; // when set, only the luma correlation is held to this
};

class PeerDecode : public ::testing::TestWithParam<PeerCase>
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir;
        s_source = s_dir->filePath(QStringLiteral("source.ppm"));
        ASSERT_TRUE(makePhoto(203, 131, 11).save(s_source, "PPM"));
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }
    static QTemporaryDir *s_dir;
    static QString s_source;
};
QTemporaryDir *PeerDecode::s_dir = nullptr;
QString PeerDecode::s_source;

TEST_P(PeerDecode, DecodesToThePeersPixels)
{
    const PeerCase c = GetParam();
    const QString tool = QLatin1String(c.tool);
    if (!haveTool(tool))
        GTEST_SKIP() << c.tool << " is not installed (scripts/debian-packages.txt lists it for tests)";
    QString out = QLatin1String(c.output);
    QString file = out.section(QLatin1Char(':'), -1);
    file = s_dir->filePath(QLatin1String(c.name) + QLatin1Char('_') + file);
    const QString target =
        out.contains(QLatin1Char(':')) ? out.section(QLatin1Char(':'), 0, 0) + QLatin1Char(':') + file : file;
    QStringList args;
    if (tool == QLatin1String("gm"))
        args << QStringLiteral("convert");
    args << s_source;
    for (const QString &o : QString::fromLatin1(c.options).split(QLatin1Char(' '), Qt::SkipEmptyParts))
        args << o;
    args << target;
    ASSERT_TRUE(runTool(tool, args)) << args.join(QLatin1Char(' ')).toStdString();

    const QImage peer = peerDecode(file);
    ASSERT_FALSE(peer.isNull());
    const QImage ours = LoadImageDib(file, 24, true);
    ASSERT_FALSE(ours.isNull()) << c.name;
    ASSERT_EQ(ours.size(), peer.size()) << c.name;
    if (c.minCorrelation > 0) {
        EXPECT_GE(lumaCorrelation(ours, peer), c.minCorrelation) << c.name;
    } else {
        EXPECT_LE(maxChannelDiff(ours, peer), c.maxDiff) << c.name;
        EXPECT_LE(meanChannelDiff(ours, peer), c.maxMean) << c.name;
    }
    // The device-bitmap loader shows the same picture.
    EXPECT_LE(maxChannelDiff(LoadImageDdb(file, 32, true), ours), 0) << c.name;
}

// Lossless formats must match exactly. PhotoCD holds PhotoYCC, whose luma reaches
// 1.402 times reference white: we decode it with the standard linear matrix and
// clip, ImageMagick maps it through its own tone curve (and writes with that
// curve's inverse), so the two agree on the picture, not on each level.
INSTANTIATE_TEST_SUITE_P(Producers,
    PeerDecode,
    ::testing::Values(PeerCase { "bmp24", "convert", "", "bmp3:a.bmp", 0, 0 },
        PeerCase { "bmp24v5", "convert", "", "bmp:a.bmp", 0, 0 },
        PeerCase { "bmp8", "convert", "-type palette", "bmp3:a.bmp", 0, 0 },
        PeerCase { "bmp8rle", "convert", "-type palette -compress RLE", "bmp3:a.bmp", 0, 0 },
        PeerCase { "bmp4", "convert", "-colors 16 -type palette", "bmp3:a.bmp", 0, 0 },
        PeerCase { "bmp1", "convert", "-monochrome", "bmp3:a.bmp", 0, 0 },
        PeerCase { "bmp16", "convert", "-define bmp:subtype=RGB565", "bmp:a.bmp", 1, 0.5 },
        PeerCase { "bmp16x555", "convert", "-define bmp:subtype=RGB555", "bmp:a.bmp", 1, 0.5 },
        PeerCase { "bmp32", "convert", "-alpha set", "bmp:a.bmp", 0, 0 },
        PeerCase { "bmpos2", "convert", "", "bmp2:a.bmp", 0, 0 },
        PeerCase { "gif", "convert", "", "a.gif", 0, 0 },
        PeerCase { "gifinterlaced", "convert", "-interlace GIF", "a.gif", 0, 0 },
        PeerCase { "pcx24", "convert", "", "a.pcx", 0, 0 },
        PeerCase { "pcx8", "convert", "-type palette", "a.pcx", 0, 0 },
        PeerCase { "pcx1", "convert", "-monochrome", "a.pcx", 0, 0 },
        PeerCase { "pcx4", "convert", "-colors 16 -type palette", "a.pcx", 0, 0 },
        PeerCase { "png24", "convert", "", "png24:a.png", 0, 0 },
        PeerCase { "png8", "convert", "", "png8:a.png", 0, 0 },
        PeerCase { "pnggray", "convert", "-colorspace gray", "a.png", 0, 0 },
        PeerCase { "png48", "convert", "-depth 16", "png48:a.png", 1, 0.6 },
        PeerCase { "pnginterlaced", "convert", "-interlace PNG", "png24:a.png", 0, 0 },
        PeerCase { "tiff", "convert", "-compress none", "a.tif", 0, 0 },
        PeerCase { "tifflzw", "convert", "-compress lzw", "a.tif", 0, 0 },
        PeerCase { "tiffzip", "convert", "-compress zip", "a.tif", 0, 0 },
        PeerCase { "tiffplanar", "convert", "-interlace plane -compress lzw", "a.tif", 0, 0 },
        PeerCase { "tifftiled", "convert", "-define tiff:tile-geometry=64x64", "a.tif", 0, 0 },
        PeerCase { "tiffpalette", "convert", "-type palette", "a.tif", 1, 1.0 }, // 16-bit colour map rounding
        PeerCase { "tiffgray", "convert", "-colorspace gray", "a.tif", 0, 0 },
        PeerCase { "jpeg", "convert", "-quality 90", "a.jpg", 0, 0 },
        PeerCase { "jpeggray", "convert", "-colorspace gray -quality 90", "a.jpg", 0, 0 },
        PeerCase { "jpegprogressive", "convert", "-interlace JPEG -quality 85", "a.jpg", 0, 0 },
        PeerCase { "pcd", "convert", "", "a.pcd", 255, 255, 0.97 },
        PeerCase { "gmbmp", "gm", "", "a.bmp", 0, 0 },
        PeerCase { "gmgif", "gm", "", "a.gif", 0, 0 },
        PeerCase { "gmpcx", "gm", "", "a.pcx", 0, 0 },
        PeerCase { "gmpng", "gm", "", "a.png", 0, 0 },
        PeerCase { "gmtiff", "gm", "", "a.tif", 0, 0 }),
    [](const auto &p) { return std::string(p.param.name); });

} // namespace

namespace
{

TEST(PeerDecodeGif, AnimatedFilesShowTheirFirstFrame)
{
    if (!haveTool(QStringLiteral("convert")))
        GTEST_SKIP() << "ImageMagick is needed";
    QTemporaryDir dir;
    const QString a = dir.filePath(QStringLiteral("a.ppm")), b = dir.filePath(QStringLiteral("b.ppm"));
    const QString gif = dir.filePath(QStringLiteral("anim.gif"));
    ASSERT_TRUE(makePhoto(120, 80, 1).save(a, "PPM"));
    ASSERT_TRUE(makePhoto(120, 80, 2).mirrored(true, true).save(b, "PPM"));
    ASSERT_TRUE(runTool(QStringLiteral("convert"), { QStringLiteral("-delay"), QStringLiteral("20"), a, b, gif }));
    const QImage ours = LoadImageDib(gif, 24, true);
    ASSERT_FALSE(ours.isNull());
    EXPECT_EQ(maxChannelDiff(ours, peerDecode(gif)), 0);
    // And not the second.
    QByteArray second;
    ASSERT_TRUE(runTool(QStringLiteral("convert"), { gif + QStringLiteral("[1]"), QStringLiteral("ppm:-") }, &second));
    EXPECT_GT(maxChannelDiff(ours, QImage::fromData(second, "PPM")), 0);
}

// BMP layouts no peer tool here writes: top-down rows and RLE4, made by hand
// from a bottom-up file.
TEST(PeerDecodeBmp, TopDownAndRunLength4)
{
    const QImage src = makePhoto(37, 23, 4);
    for (int bits : { 24, 8 }) {
        QByteArray bmp;
        ASSERT_TRUE(encodeBmpForTest(src, bits, bmp));
        const std::uint32_t off = std::uint32_t(static_cast<unsigned char>(bmp[10]))
            | (std::uint32_t(static_cast<unsigned char>(bmp[11])) << 8);
        const int stride = ((37 * bits + 31) / 32) * 4;
        QByteArray topDown = bmp.left(off);
        for (int y = 22; y >= 0; --y)
            topDown += bmp.mid(off + y * stride, stride);
        const std::int32_t negative = -23;
        std::memcpy(topDown.data() + 22, &negative, 4);
        const QImage a = DecodeThumbStream(bmp.constData(), std::size_t(bmp.size()));
        const QImage b = DecodeThumbStream(topDown.constData(), std::size_t(topDown.size()));
        ASSERT_FALSE(b.isNull()) << bits;
        EXPECT_EQ(maxChannelDiff(a, b), 0) << bits;
    }
    // RLE4, 6 x 2, bottom row first: a run of 5 alternating 1/2, one absolute
    // pixel; then end of line, an absolute run of 3 (3, 4, 5) and end of bitmap.
    const QByteArray pixels("\x05\x12\x00\x03\x60\x00\x00\x00\x00\x03\x34\x50\x00\x01", 14);
    QByteArray rle("BM", 2);
    auto le = [](std::uint32_t v, int n) {
        QByteArray o;
        for (int i = 0; i < n; ++i)
            o += char((v >> (8 * i)) & 0xFF);
        return o;
    };
    const std::uint32_t off = 14 + 40 + 16 * 4;
    rle += le(off + std::uint32_t(pixels.size()), 4) + le(0, 4) + le(off, 4);
    rle += le(40, 4) + le(6, 4) + le(2, 4) + le(1, 2) + le(4, 2) + le(2, 4) + le(0, 4) + le(0, 4) + le(0, 4) + le(16, 4)
        + le(0, 4);
    for (std::uint32_t i = 0; i < 16; ++i)
        rle += le(i * 0x111111, 4); // grey level i * 17 in each channel
    rle += pixels;
    const QImage img = DecodeThumbStream(rle.constData(), std::size_t(rle.size()));
    ASSERT_EQ(img.size(), QSize(6, 2));
    const int bottom[6] = { 1, 2, 1, 2, 1, 6 }, top[3] = { 3, 4, 5 };
    for (int x = 0; x < 6; ++x)
        EXPECT_EQ(qRed(img.pixel(x, 1)), bottom[x] * 17) << x;
    for (int x = 0; x < 3; ++x)
        EXPECT_EQ(qRed(img.pixel(x, 0)), top[x] * 17) << x;
    EXPECT_EQ(qRed(img.pixel(5, 0)), 0); // never written
}

} // namespace

namespace
{

// The samples' PhotoCD writer encodes standard PhotoYCC; decoding its packs must
// give the pictures back, at every resolution, up to chroma subsampling.
TEST(PeerDecodePhotoCd, StandardPhotoYccPacksDecodeToTheirPictures)
{
    if (!haveTool(QStringLiteral("python3")))
        GTEST_SKIP() << "python3 is needed for the pack script";
    QTemporaryDir dir;
    const QImage base = makePhoto(768, 512, 21);
    const QImage sizes[3] = { ScaleDib(base, 192, 128), ScaleDib(base, 384, 256), base };
    QStringList args = { QStringLiteral(V7_SAMPLES_DIR "/make-photocd.py") };
    for (int i = 0; i < 3; ++i) {
        args << dir.filePath(QStringLiteral("r%1.ppm").arg(i));
        ASSERT_TRUE(sizes[i].save(args.last(), "PPM"));
    }
    const QString pcd = dir.filePath(QStringLiteral("pack.pcd"));
    args << pcd;
    ASSERT_TRUE(runTool(QStringLiteral("python3"), args));
    for (int r = 0; r < 3; ++r) {
        const QImage ours = readpcdfiledib(pcd, 24, r);
        ASSERT_EQ(ours.size(), sizes[r].size()) << r;
        EXPECT_LT(meanChannelDiff(ours, sizes[r]), 4.0) << r;
        EXPECT_GT(psnr(ours, sizes[r]), 26.0) << r;
    }
    // Rotation code 1: the pack holds a portrait picture turned clockwise.
    QByteArray bytes = v7test::readFile(pcd);
    bytes[0x0E02] = 1;
    const QString turned = dir.filePath(QStringLiteral("turned.pcd"));
    v7test::writeFile(turned, bytes);
    const QImage upright = LoadImageDib(turned, 24, true);
    ASSERT_EQ(upright.size(), QSize(512, 768));
    EXPECT_LT(meanChannelDiff(upright, base.transformed(QTransform().rotate(-90))), 4.0);
    ImageFileInfo info;
    info.fileName = turned;
    ASSERT_TRUE(GetImageInfo(info));
    EXPECT_EQ(QSize(info.width, info.height), QSize(512, 768));
}

} // namespace

namespace
{

// Transparent pictures are composited over the colour they are drawn on, as an
// independent reader composites them ("convert FILE -background C -flatten").
struct AlphaCase {
    const char *name;
    const char *options; // ImageMagick options before the output name
    const char *output; // "[coder:]file"
    double maxMean; // mean channel difference allowed against the peer's composite
};

class PeerAlpha : public ::testing::TestWithParam<AlphaCase>
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir;
        // A photo whose alpha runs from 0 (left) to 255 (right), with a fully
        // transparent band whose hidden colours are loud.
        QImage src = makePhoto(150, 100, 17).convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < src.height(); ++y) {
            auto *row = reinterpret_cast<QRgb *>(src.scanLine(y));
            for (int x = 0; x < src.width(); ++x) {
                const int a = y < 20 ? 0 : x * 255 / (src.width() - 1);
                row[x] = y < 20 ? qRgba(255, 0, 255, 0) : qRgba(qRed(row[x]), qGreen(row[x]), qBlue(row[x]), a);
            }
        }
        s_source = s_dir->filePath(QStringLiteral("source.png"));
        ASSERT_TRUE(src.save(s_source, "PNG"));
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }
    // ImageMagick's composite of file over background, 8 bits, optionally resized.
    // The picture is taken as sRGB first: a grey one would otherwise be written out
    // through another transfer curve than it was composited in.
    static QImage peerFlatten(const QString &file, QRgb background, QSize size = QSize())
    {
        QStringList args = { file + QStringLiteral("[0]"),
            QStringLiteral("-colorspace"),
            QStringLiteral("sRGB"),
            QStringLiteral("-background"),
            QStringLiteral("rgb(%1,%2,%3)").arg(qRed(background)).arg(qGreen(background)).arg(qBlue(background)),
            QStringLiteral("-flatten") };
        if (size.isValid())
            args << QStringLiteral("-resize") << QStringLiteral("%1x%2!").arg(size.width()).arg(size.height());
        args << QStringLiteral("-depth") << QStringLiteral("8") << QStringLiteral("ppm:-");
        QByteArray out;
        if (!runTool(QStringLiteral("convert"), args, &out))
            return {};
        return QImage::fromData(out, "PPM").convertToFormat(QImage::Format_RGB888);
    }
    static QTemporaryDir *s_dir;
    static QString s_source;
};
QTemporaryDir *PeerAlpha::s_dir = nullptr;
QString PeerAlpha::s_source;

// Takes what the preview composes.
class CapturingTarget : public DrawTarget
{
public:
    explicit CapturingTarget(QSize size)
        : m_size(size)
    {
    }
    QSize clientSize() const override { return m_size; }
    void showComposed(const QImage &composed, const TransitionPlan &, QColor) override { shown = composed; }
    void paintOver(const std::function<void(QPainter &)> &) override { }
    void setTag(const QString &) override { }
    QImage shown;

private:
    QSize m_size;
};

std::uint32_t toBgr(QRgb c)
{
    return std::uint32_t(qRed(c)) | (std::uint32_t(qGreen(c)) << 8) | (std::uint32_t(qBlue(c)) << 16);
}

TEST_P(PeerAlpha, TransparentPartsShowTheBackgroundTheyAreDrawnOn)
{
    const AlphaCase c = GetParam();
    if (!haveTool(QStringLiteral("convert")))
        GTEST_SKIP() << "ImageMagick is needed (scripts/debian-packages.txt lists it for tests)";
    QString out = QLatin1String(c.output);
    const QString file = s_dir->filePath(QLatin1String(c.name) + QLatin1Char('_') + out.section(u':', -1));
    const QString target = out.contains(u':') ? out.section(u':', 0, 0) + u':' + file : file;
    QStringList args = { s_source };
    for (const QString &o : QString::fromLatin1(c.options).split(u' ', Qt::SkipEmptyParts))
        args << o;
    args << target;
    ASSERT_TRUE(runTool(QStringLiteral("convert"), args)) << args.join(u' ').toStdString();

    const QRgb grid = qRgb(40, 190, 90), pane = qRgb(20, 20, 110);
    for (const QRgb background : { grid, pane }) {
        const QImage peer = peerFlatten(file, background);
        ASSERT_FALSE(peer.isNull()) << c.name;
        // The decoders keep the transparency; the composite matches the peer's.
        const QImage dib = LoadImageDib(file, 24, true);
        ASSERT_TRUE(dib.hasAlphaChannel()) << c.name;
        EXPECT_LE(meanChannelDiff(flattenOnto(dib, background), peer), c.maxMean) << c.name;
        EXPECT_LE(maxChannelDiff(flattenOnto(LoadImageDdb(file, 32, true), background), peer), 1) << c.name;
        const QImage dib8 = LoadImageDib(file, 8, true);
        ASSERT_EQ(dib8.format(), QImage::Format_Indexed8) << c.name;
        EXPECT_LE(meanChannelDiff(flattenOnto(dib8, background), peer), c.maxMean + 3.0) << c.name;
        // Written files hold no transparency: the writers put white behind it.
        const QString saved = s_dir->filePath(QLatin1String(c.name) + QStringLiteral("_saved.bmp"));
        ASSERT_TRUE(SaveImageDib(saved, dib, 24, 90));
        EXPECT_LE(meanChannelDiff(LoadImageDib(saved, 24, true), peerFlatten(file, qRgb(255, 255, 255))), c.maxMean)
            << c.name;
    }

    // The grid's thumbnail is composited over ThumbColor before it is shrunk and stored.
    Settings cfg;
    cfg.ThumbW = 96;
    cfg.ThumbH = 72;
    cfg.ThumbColor = toBgr(grid);
    const QImage thumb = MakeThumbImage(file, cfg);
    ASSERT_FALSE(thumb.isNull()) << c.name;
    EXPECT_FALSE(thumb.hasAlphaChannel());
    EXPECT_LE(meanChannelDiff(thumb, peerFlatten(file, grid, thumb.size())), 5.0) << c.name;
    QByteArray bytes;
    ASSERT_TRUE(EncodeThumb(thumb, 90, &bytes));
    const QImage stored = DecodeThumbStream(bytes.constData(), std::size_t(bytes.size()));
    EXPECT_LE(meanChannelDiff(stored, peerFlatten(file, grid, thumb.size())), 5.0) << c.name;

    // The preview composes it over ViewColor.
    Settings view;
    view.ViewColor = toBgr(pane);
    view.E_Index = 0;
    CapturingTarget preview(QSize(150, 100));
    FreeCurrentImage(viewState());
    ASSERT_TRUE(ShowImageFitted(file, preview, FitNormal, ZoomFactor::fromWhole(1), view)) << c.name;
    FreeCurrentImage(viewState());
    ASSERT_EQ(preview.shown.size(), QSize(150, 100));
    EXPECT_LE(meanChannelDiff(preview.shown, peerFlatten(file, pane)), c.maxMean) << c.name;
}

// The palette and GIF forms keep one level of transparency (ImageMagick cuts the
// ramp at half), so both readers see the same pixels. The full alpha forms differ
// only by the rounding of the blend.
INSTANTIATE_TEST_SUITE_P(Transparency,
    PeerAlpha,
    ::testing::Values(AlphaCase { "rgba", "", "png32:a.png", 0.6 },
        AlphaCase { "rgba16", "", "png64:a.png", 0.8 },
        AlphaCase { "greyalpha", "-colorspace gray -define png:color-type=4", "a.png", 0.6 },
        AlphaCase { "palettetrns", "", "png8:a.png", 0.3 },
        AlphaCase { "gif", "", "a.gif", 0.3 },
        AlphaCase { "gifinterlaced", "-interlace GIF", "a.gif", 0.3 }),
    [](const auto &p) { return std::string(p.param.name); });

TEST(PeerAlphaOpaque, AnOpaqueImageIsLeftAsItIs)
{
    const QImage photo = makePhoto(31, 17, 3).convertToFormat(QImage::Format_RGB888);
    const QImage flat = flattenOnto(photo, qRgb(1, 2, 3));
    EXPECT_EQ(flat.format(), QImage::Format_RGB888);
    EXPECT_EQ(maxChannelDiff(flat, photo), 0);
    QImage indexed = reduceTo8Bits(photo);
    EXPECT_EQ(flattenOnto(indexed, qRgb(1, 2, 3)).colorTable(), indexed.colorTable());
    // A half-transparent palette entry is blended, the indices stay.
    QList<QRgb> table = indexed.colorTable();
    table[0] = qRgba(200, 100, 0, 128);
    indexed.setColorTable(table);
    const QImage blended = flattenOnto(indexed, qRgb(0, 0, 255));
    EXPECT_EQ(blended.format(), QImage::Format_Indexed8);
    EXPECT_EQ(blended.colorTable()[0], qRgb(100, 50, 127));
}

} // namespace
