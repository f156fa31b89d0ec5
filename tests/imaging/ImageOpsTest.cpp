// Resampling, rotation, mirroring, brightness and contrast, colour reduction.
#include "ImagingTestUtil.h"
#include "imaging/Codecs.h"

#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

TEST(ScaleDib, KeepsAFlatImageFlatAtEverySize)
{
    QImage flat(97, 61, QImage::Format_RGB888);
    flat.fill(qRgb(200, 100, 50));
    for (int w = 1; w <= 140; w += 13) {
        for (int h = 1; h <= 90; h += 11) {
            const QImage out = ScaleDib(flat, w, h);
            ASSERT_EQ(out.size(), QSize(w, h));
            ASSERT_EQ(out.format(), QImage::Format_RGB888);
            for (const QPoint p : { QPoint(0, 0), QPoint(w - 1, h - 1), QPoint(w / 2, h / 2) })
                EXPECT_EQ(out.pixel(p), qRgb(200, 100, 50)) << w << "x" << h;
        }
    }
}

TEST(ScaleDib, AveragesTheAreaEachPixelCovers)
{
    // 3 x 1 to 2 x 1: each output pixel takes 1.5 source pixels.
    QImage src(3, 1, QImage::Format_RGB888);
    src.setPixel(0, 0, qRgb(0, 0, 0));
    src.setPixel(1, 0, qRgb(150, 150, 150));
    src.setPixel(2, 0, qRgb(255, 255, 255));
    const QImage out = ScaleDib(src, 2, 1);
    EXPECT_EQ(qRed(out.pixel(0, 0)), 50); // (0 + 0.5 * 150) / 1.5
    EXPECT_EQ(qRed(out.pixel(1, 0)), 220); // (0.5 * 150 + 255) / 1.5
    // A photo shrunk by whole factors matches the plain block mean.
    const QImage photo = makePhoto(64, 48);
    const QImage half = ScaleDib(photo, 32, 24);
    const QImage rgb = photo.convertToFormat(QImage::Format_RGB888);
    const uchar *a = rgb.constScanLine(10), *b = rgb.constScanLine(11);
    const int mean = (a[30] + a[33] + b[30] + b[33] + 2) / 4; // red of pixels (10,10), (11,10), (10,11), (11,11)
    EXPECT_NEAR(half.constScanLine(5)[15], mean, 1);
    EXPECT_TRUE(ScaleDib(photo, 0, 10).isNull());
    EXPECT_TRUE(ScaleDib(QImage(), 10, 10).isNull());
    EXPECT_EQ(ScaleDib(photo, 200, 100).size(), QSize(200, 100)); // enlarging works too
}

TEST(ImageOps, RotateAndMirrorMovePixelsWhereExpected)
{
    QImage img(640, 480, QImage::Format_RGB32);
    img.fill(qRgb(0, 0, 0));
    img.setPixel(0, 0, qRgb(255, 0, 0)); // top left
    img.setPixel(639, 0, qRgb(0, 255, 0)); // top right
    img.setPixel(0, 479, qRgb(0, 0, 255)); // bottom left
    const QImage r = RotateDdb90(img);
    ASSERT_EQ(r.size(), QSize(480, 640));
    EXPECT_EQ(r.pixel(479, 0), qRgb(255, 0, 0)); // top left goes to top right
    EXPECT_EQ(r.pixel(479, 639), qRgb(0, 255, 0)); // top right goes to bottom right
    EXPECT_EQ(r.pixel(0, 0), qRgb(0, 0, 255)); // bottom left goes to top left

    const QImage h = ILMirrorBMP(img, true, false);
    EXPECT_EQ(h.pixel(639, 0), qRgb(255, 0, 0));
    const QImage v = ILMirrorBMP(img, false, true);
    EXPECT_EQ(v.pixel(0, 479), qRgb(255, 0, 0));
    EXPECT_EQ(RotateDdb90(RotateDdb90(RotateDdb90(RotateDdb90(img)))), img);
}

TEST(ImageOps, EnhanceStartsFromItsInputAndClamps)
{
    const QImage photo = makePhoto(50, 40).convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(VEnhanceBMP(photo, 0, 0), photo);
    const QImage brighter = VEnhanceBMP(photo, 20, 0);
    EXPECT_EQ(brighter.format(), QImage::Format_RGB32);
    EXPECT_EQ(qRed(brighter.pixel(3, 3)), std::min(255, qRed(photo.pixel(3, 3)) + 51));
    // Contrast -100 flattens to mid grey; brightness then shifts it.
    const QImage flat = VEnhanceBMP(photo, -10, -100);
    EXPECT_EQ(flat.pixel(7, 9), qRgb(103, 103, 103));
    // Full contrast and brightness saturate without wrapping.
    const QImage harsh = VEnhanceBMP(photo, 100, 100);
    for (int x = 0; x < 50; ++x)
        EXPECT_EQ(qRed(harsh.pixel(x, 5)), 255);
    // Palette images change their palette and keep their pixels.
    const QImage indexed = reduceTo8Bits(photo);
    const QImage e = VEnhanceBMP(indexed, 10, 10);
    ASSERT_EQ(e.format(), QImage::Format_Indexed8);
    EXPECT_EQ(e.pixelIndex(4, 4), indexed.pixelIndex(4, 4));
}

TEST(ColourReduction, ExactUpTo256ColoursAndCloseBeyond)
{
    QImage palette256(16, 16, QImage::Format_RGB888);
    for (int i = 0; i < 256; ++i)
        palette256.setPixel(i % 16, i / 16, qRgb(i, 255 - i, (i * 7) & 255));
    const QImage exact = reduceTo8Bits(palette256);
    ASSERT_EQ(exact.format(), QImage::Format_Indexed8);
    EXPECT_EQ(maxChannelDiff(exact, palette256), 0);

    const QImage photo = makePhoto(200, 150);
    const QImage reduced = reduceTo8Bits(photo);
    ASSERT_EQ(reduced.format(), QImage::Format_Indexed8);
    EXPECT_LE(reduced.colorCount(), 256);
    EXPECT_GT(psnr(reduced, photo), 28.0);
}

} // namespace

namespace
{

TEST(ImageBuffers, LargeDecodesReuseTheBufferOfTheLastImage)
{
    // 2000 x 1500 at 24 bits is 9 MB: large enough for the reused buffers.
    QByteArray jpg;
    ASSERT_TRUE(wrjpgstreamdib(makePhoto(2000, 1500), 80, jpg));
    const void *first = nullptr;
    const void *second = nullptr;
    {
        const QImage a = rdjpgstreamdib(jpg.constData(), std::size_t(jpg.size()), 24, 1);
        ASSERT_EQ(a.size(), QSize(2000, 1500));
        first = a.constBits();
        // While it lives, another decode gets memory of its own.
        const QImage b = rdjpgstreamdib(jpg.constData(), std::size_t(jpg.size()), 24, 1);
        second = b.constBits();
        EXPECT_NE(second, first);
        EXPECT_EQ(a, b);
    }
    const QImage c = rdjpgstreamdib(jpg.constData(), std::size_t(jpg.size()), 24, 1);
    // Both buffers went back to the pool; the next decode takes one of them.
    EXPECT_TRUE(c.constBits() == first || c.constBits() == second);
    // A copy that outlives the decode keeps its pixels when the buffer goes back.
    QImage kept = c.copy(0, 0, 4, 4);
    const QRgb before = kept.pixel(1, 1);
    {
        const QImage d = rdjpgstreamdib(jpg.constData(), std::size_t(jpg.size()), 24, 1);
        EXPECT_FALSE(d.isNull());
    }
    EXPECT_EQ(kept.pixel(1, 1), before);
}

} // namespace
