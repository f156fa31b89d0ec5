// Files made by other producers (ImageMagick, GraphicsMagick) decode to the
// pixels those producers decode them to.
#include "ImagingTestUtil.h"
#include "imaging/Codecs.h"
#include "imaging/ImageLoad.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

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
