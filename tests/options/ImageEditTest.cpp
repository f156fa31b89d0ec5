// The image operations on the held image, and the save of what they show.
#include "options/ImageEdit.h"

#include "ImagingTestUtil.h"
#include "TestEnv.h"
#include "imaging/CodecsInternal.h"
#include "imaging/Draw.h"
#include "imaging/ImageLoad.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTransform>
#include <gtest/gtest.h>
#include <turbojpeg.h>

using namespace v7;
using namespace v7test;

namespace
{

QImage rgb(const QImage &i)
{
    return i.convertToFormat(QImage::Format_RGB888);
}

// A held image of file as the preview would have it.
ViewState heldImage(const QImage &image, const QString &file = QStringLiteral("/x/a.png"))
{
    ViewState vs;
    vs.current = image;
    vs.currentFile = file;
    vs.natural = image.size();
    return vs;
}

TEST(Orientation, CombiningMatchesDoingTheStepsOneByOne)
{
    const QImage src = makePhoto(7, 4);
    // Every sequence of up to four operations.
    for (int code = 0; code < 1 + 3 + 9 + 27 + 81; ++code) {
        int c = code, length = 0, limit = 1;
        while (c >= limit) {
            c -= limit;
            limit *= 3;
            ++length;
        }
        Orientation o;
        QImage stepwise = src;
        for (int k = 0; k < length; ++k, c /= 3) {
            const int op = c % 3;
            o = afterOperation(o, op);
            stepwise = op == RotateClockwise ? RotateDdb90(stepwise)
                                             : ILMirrorBMP(stepwise, op == MirrorHorizontal, op == MirrorVertical);
        }
        ASSERT_EQ(orientImage(src, o), stepwise) << code;
        ASSERT_EQ(orientImage(orientImage(src, o), inverse(o)), src) << code;
    }
    // The EXIF orientations turn a stored image upright as the loaders do.
    for (int exif = 1; exif <= 8; ++exif)
        EXPECT_EQ(orientImage(src, fromExifOrientation(exif)), codec::orientUpright(src, exif)) << exif;
}

TEST(ImageOps, RotatingTurnsTheHeldImageAndTheViewRedrawsItCentred)
{
    ViewState vs = heldImage(makePhoto(640, 480));
    ASSERT_TRUE(TransformImage(vs, RotateClockwise));
    EXPECT_EQ(vs.current.size(), QSize(480, 640));
    ASSERT_TRUE(ComposeFitted(vs, QSize(800, 700), FitNormal, ZoomFactor::fromWhole(1), false));
    EXPECT_EQ(vs.imageW, 480);
    EXPECT_EQ(vs.imageH, 640);
    EXPECT_EQ(vs.srcX, 0); // smaller than the view: centred
    EXPECT_EQ(vs.srcY, 0);
    EXPECT_EQ(vs.natural, QSize(480, 640));
    EXPECT_TRUE(ImageEditActive(vs));
    EXPECT_FALSE(TransformImage(vs, 7)); // no such operation
    ViewState empty;
    EXPECT_FALSE(TransformImage(empty, RotateClockwise));
    EXPECT_FALSE(EnhanceImage(empty, 10, 10));
}

TEST(ImageOps, BrightnessAndContrastDoNotBuildOnEachOther)
{
    const QImage photo = makePhoto(64, 48);
    ViewState a = heldImage(photo), b = heldImage(photo);
    ASSERT_TRUE(EnhanceImage(a, 20, 0));
    ASSERT_TRUE(EnhanceImage(a, 20, 10)); // then the contrast slider
    ASSERT_TRUE(EnhanceImage(b, 0, 10));
    ASSERT_TRUE(EnhanceImage(b, 20, 10)); // the other way round
    EXPECT_EQ(rgb(a.current), rgb(b.current));
    EXPECT_EQ(rgb(a.current), rgb(VEnhanceBMP(photo, 20, 10)));
    // Moving a slider back to 0 shows the image as it was, not the last adjustment.
    ASSERT_TRUE(EnhanceImage(a, 0, 0));
    EXPECT_EQ(rgb(a.current), rgb(photo));
    EXPECT_FALSE(ImageEditActive(a));
}

TEST(ImageOps, ASliderAfterARotationKeepsTheRotation)
{
    const QImage photo = makePhoto(64, 48);
    ViewState vs = heldImage(photo);
    ASSERT_TRUE(EnhanceImage(vs, 30, 0));
    ASSERT_TRUE(TransformImage(vs, RotateClockwise));
    ASSERT_TRUE(TransformImage(vs, MirrorVertical));
    ASSERT_TRUE(EnhanceImage(vs, 30, -20));
    const QImage turned = ILMirrorBMP(RotateDdb90(photo), false, true);
    EXPECT_EQ(vs.current.size(), QSize(48, 64));
    EXPECT_EQ(rgb(vs.current), rgb(VEnhanceBMP(turned, 30, -20)));
    // And a rotation after a slider turns the adjusted picture, which the next
    // slider move recomputes from the turned reference.
    ASSERT_TRUE(TransformImage(vs, MirrorHorizontal));
    EXPECT_EQ(rgb(vs.current), rgb(VEnhanceBMP(ILMirrorBMP(turned, true, false), 30, -20)));
}

TEST(ImageOps, ResetUndoesEverything)
{
    for (const QImage &photo : { makePhoto(64, 48), makePhoto(33, 21).convertToFormat(QImage::Format_Indexed8) }) {
        ViewState vs = heldImage(photo);
        ASSERT_TRUE(TransformImage(vs, RotateClockwise));
        ASSERT_TRUE(EnhanceImage(vs, -40, 25));
        ASSERT_TRUE(TransformImage(vs, MirrorHorizontal));
        ASSERT_TRUE(TransformImage(vs, RotateClockwise));
        ASSERT_TRUE(ResetImageEdits(vs));
        EXPECT_EQ(rgb(vs.current), rgb(photo));
        EXPECT_FALSE(ImageEditActive(vs));
        EXPECT_TRUE(vs.reference.isNull());
        // Rotations alone are undone too.
        ASSERT_TRUE(TransformImage(vs, RotateClockwise));
        ASSERT_TRUE(ResetImageEdits(vs));
        EXPECT_EQ(rgb(vs.current), rgb(photo));
        EXPECT_FALSE(ResetImageEdits(vs)); // nothing left to undo
    }
}

TEST(ImageOps, ANewImageStartsWithoutEdits)
{
    ViewState vs = heldImage(makePhoto(20, 10));
    ASSERT_TRUE(TransformImage(vs, RotateClockwise));
    ASSERT_TRUE(EnhanceImage(vs, 10, 0));
    FreeCurrentImage(vs);
    EXPECT_TRUE(vs.reference.isNull());
    EXPECT_EQ(vs.editTurns, 0);
    EXPECT_EQ(vs.brightness, 0);
    vs.current = makePhoto(20, 10);
    EXPECT_FALSE(ImageEditActive(vs));
}

// ---- saving ----

QByteArray encodeJpeg(const QImage &image, int subsamp)
{
    const QImage src = rgb(image);
    tjhandle h = tjInitCompress();
    unsigned char *buf = nullptr;
    unsigned long size = 0;
    const int rc = tjCompress2(
        h, src.constBits(), src.width(), int(src.bytesPerLine()), src.height(), TJPF_RGB, &buf, &size, subsamp, 90, 0);
    QByteArray out = rc == 0 ? QByteArray(reinterpret_cast<const char *>(buf), qsizetype(size)) : QByteArray();
    tjFree(buf);
    tjDestroy(h);
    return out;
}

QImage tjDecode(const QByteArray &jpeg)
{
    tjhandle h = tjInitDecompress();
    int w = 0, hh = 0, sub = 0, cs = 0;
    const auto *p = reinterpret_cast<const unsigned char *>(jpeg.constData());
    QImage out;
    if (tjDecompressHeader3(h, p, static_cast<unsigned long>(jpeg.size()), &w, &hh, &sub, &cs) == 0) {
        out = QImage(w, hh, QImage::Format_RGB888);
        if (tjDecompress2(
                h, p, static_cast<unsigned long>(jpeg.size()), out.bits(), w, int(out.bytesPerLine()), hh, TJPF_RGB, 0)
            != 0)
            out = QImage();
    }
    tjDestroy(h);
    return out;
}

QByteArray tjTurn(const QByteArray &jpeg, int op)
{
    tjhandle h = tjInitTransform();
    tjtransform xf {};
    xf.op = op;
    unsigned char *dst = nullptr;
    unsigned long size = 0;
    QByteArray out;
    if (tjTransform(h,
            reinterpret_cast<const unsigned char *>(jpeg.constData()),
            static_cast<unsigned long>(jpeg.size()),
            1,
            &dst,
            &size,
            &xf,
            0)
        == 0)
        out = QByteArray(reinterpret_cast<const char *>(dst), qsizetype(size));
    tjFree(dst);
    tjDestroy(h);
    return out;
}

// APP1 with an EXIF block whose only entry is the orientation, put after SOI.
QByteArray withExifOrientation(const QByteArray &jpeg, int orientation, bool bigEndian)
{
    QByteArray tiff = bigEndian ? QByteArray("MM\0\x2a\0\0\0\x08", 8) : QByteArray("II\x2a\0\x08\0\0\0", 8);
    const char count[2] = { bigEndian ? '\0' : '\1', bigEndian ? '\1' : '\0' };
    tiff.append(count, 2);
    const QByteArray entry = bigEndian
        ? QByteArray("\x01\x12\0\x03\0\0\0\x01\0", 9) + char(orientation) + QByteArray(2, '\0')
        : QByteArray("\x12\x01\x03\0\x01\0\0\0", 8) + char(orientation) + QByteArray(3, '\0');
    tiff += entry + QByteArray(4, '\0');
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    const int length = int(payload.size()) + 2;
    QByteArray segment("\xFF\xE1", 2);
    segment += char(length >> 8);
    segment += char(length & 0xFF);
    return jpeg.left(2) + segment + payload + jpeg.mid(2);
}

int exifOrientation(const QByteArray &jpeg)
{
    return codec::jpegOrientation(
        { reinterpret_cast<const unsigned char *>(jpeg.constData()), std::size_t(jpeg.size()) });
}

class SaveShown : public TempHome
{
protected:
    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = root() + QLatin1Char('/') + name;
        writeFile(path, bytes);
        return path;
    }
};

TEST_F(SaveShown, ARotatedJpegIsSavedLosslessly)
{
    // 4:2:0 in whole 16 x 16 blocks, the photograph-like content of a camera.
    const QByteArray original = encodeJpeg(makePhoto(128, 96), TJSAMP_420);
    ASSERT_FALSE(original.isEmpty());
    const QString source = write(QStringLiteral("photo.jpg"), original);
    ViewState vs = heldImage(LoadImageDib(source, 0, true), source);
    ASSERT_TRUE(TransformImage(vs, RotateClockwise));
    const QString target = root() + QStringLiteral("/turned.jpg");
    ASSERT_EQ(SaveShownImage(source, target, 24, 80, vs), SaveOutcome::Lossless);
    const QByteArray saved = readFile(target);
    const QImage decoded = tjDecode(saved);
    const QImage expected = RotateDdb90(tjDecode(original));
    ASSERT_EQ(decoded.size(), QSize(96, 128));
    // The coefficients were only moved: turning them back gives the original's pixels
    // exactly, and the turned file shows the turned picture up to the decoder's rounding.
    EXPECT_EQ(tjDecode(tjTurn(saved, TJXOP_ROT270)), tjDecode(original));
    EXPECT_LE(maxChannelDiff(decoded, expected), 4);
    // A new compression of the turned pixels, at the quality asked for, loses far more.
    const double lossless = meanChannelDiff(decoded, expected);
    EXPECT_LT(lossless, 0.5);
    ASSERT_TRUE(SaveImageDib(root() + QStringLiteral("/encoded.jpg"), expected, 24, 80));
    EXPECT_GT(meanChannelDiff(LoadImageDib(root() + QStringLiteral("/encoded.jpg"), 0, true), expected), 2 * lossless);
}

TEST_F(SaveShown, SavingOverTheFileTwiceTurnsItOnce)
{
    const QByteArray original = encodeJpeg(makePhoto(128, 96), TJSAMP_420);
    const QString source = write(QStringLiteral("photo.jpg"), original);
    ViewState vs = heldImage(LoadImageDib(source, 0, true), source);
    ASSERT_TRUE(TransformImage(vs, RotateClockwise));
    ASSERT_EQ(SaveShownImage(source, source, 24, 80, vs), SaveOutcome::Lossless);
    CommitImageEdits(vs);
    const QByteArray once = readFile(source);
    EXPECT_EQ(tjDecode(once).size(), QSize(96, 128));
    // The held image is the file now: a second save has nothing to replay.
    EXPECT_FALSE(ImageEditActive(vs));
    EXPECT_EQ(SaveShownImage(source, source, 24, 80, vs), SaveOutcome::NothingToSave);
    EXPECT_EQ(readFile(source), once);
    EXPECT_EQ(vs.current.size(), QSize(96, 128));
}

TEST_F(SaveShown, HalfTurnsAndMirrorsDecodeToExactlyTheTurnedPixels)
{
    // Where the decoder's arithmetic is symmetric (a half turn, a mirror, full-resolution
    // colour) moving the coefficients must give exactly the turned decode of the original.
    const QByteArray original = encodeJpeg(makePhoto(128, 96), TJSAMP_444);
    const QString source = write(QStringLiteral("photo.jpg"), original);
    const QImage decoded = tjDecode(original);
    struct Case {
        std::vector<int> operations;
        QImage expected;
    };
    const Case cases[] = {
        { { RotateClockwise, RotateClockwise }, decoded.transformed(QTransform().rotate(180)) },
        { { MirrorHorizontal }, decoded.mirrored(true, false) },
        { { MirrorVertical }, decoded.mirrored(false, true) },
    };
    for (const Case &c : cases) {
        ViewState vs = heldImage(LoadImageDib(source, 0, true), source);
        for (int op : c.operations)
            ASSERT_TRUE(TransformImage(vs, op));
        const QString target = root() + QStringLiteral("/turned.jpg");
        ASSERT_EQ(SaveShownImage(source, target, 24, 80, vs), SaveOutcome::Lossless);
        EXPECT_EQ(tjDecode(readFile(target)), rgb(c.expected)) << c.operations.size() << " " << c.operations[0];
    }
}

TEST_F(SaveShown, TheExifBlockStaysWithItsOrientationReset)
{
    for (const bool bigEndian : { false, true }) {
        const QByteArray stored = encodeJpeg(makePhoto(64, 48), TJSAMP_444);
        const QByteArray original = withExifOrientation(stored, 6, bigEndian); // shown turned clockwise
        ASSERT_EQ(exifOrientation(original), 6);
        const QString source = write(QStringLiteral("exif.jpg"), original);
        ViewState vs = heldImage(LoadImageDib(source, 0, true), source);
        ASSERT_EQ(vs.current.size(), QSize(48, 64)); // upright as shown
        ASSERT_TRUE(TransformImage(vs, MirrorHorizontal));
        const QString target = root() + QStringLiteral("/mirrored.jpg");
        ASSERT_EQ(SaveShownImage(source, target, 24, 80, vs), SaveOutcome::Lossless);
        const QByteArray saved = readFile(target);
        EXPECT_EQ(exifOrientation(saved), 1);
        EXPECT_TRUE(saved.contains(QByteArray("Exif\0\0", 6)));
        // What was shown: the stored image turned upright, then mirrored.
        const QImage shown = ILMirrorBMP(RotateDdb90(tjDecode(stored)), true, false);
        EXPECT_LE(maxChannelDiff(tjDecode(saved), shown), 4) << bigEndian;
        EXPECT_LT(meanChannelDiff(tjDecode(saved), shown), 0.5) << bigEndian;
    }
}

TEST_F(SaveShown, WhatCannotBeTurnedLosslesslyIsEncodedAtFullSize)
{
    // Not whole blocks: the edge would be lost, so the pixels are written instead.
    const QByteArray odd = encodeJpeg(makePhoto(65, 49), TJSAMP_420);
    const QString source = write(QStringLiteral("odd.jpg"), odd);
    ViewState vs = heldImage(LoadImageDib(source, 0, true), source);
    ASSERT_TRUE(TransformImage(vs, RotateClockwise));
    const QString target = root() + QStringLiteral("/odd-turned.jpg");
    ASSERT_EQ(SaveShownImage(source, target, 24, 95, vs), SaveOutcome::Encoded);
    const QImage back = LoadImageDib(target, 0, true);
    EXPECT_EQ(back.size(), QSize(49, 65));
    EXPECT_GT(psnr(back, RotateDdb90(tjDecode(odd))), 30.0);

    // Brightness changes pixels: a full-size decode adjusted, whatever the preview held.
    const QByteArray whole = encodeJpeg(makePhoto(128, 96), TJSAMP_420);
    const QString second = write(QStringLiteral("whole.jpg"), whole);
    ViewState reduced = heldImage(ScaleDib(tjDecode(whole), 32, 24), second);
    reduced.reduction = 4;
    reduced.natural = QSize(128, 96);
    ASSERT_TRUE(EnhanceImage(reduced, 25, 0));
    EXPECT_EQ(reduced.current.size(), QSize(128, 96)); // decoded whole for the purpose
    const QString brighter = root() + QStringLiteral("/brighter.png");
    ASSERT_EQ(SaveShownImage(second, brighter, 24, 80, reduced), SaveOutcome::Encoded);
    EXPECT_LE(maxChannelDiff(LoadImageDib(brighter, 0, true), VEnhanceBMP(LoadImageDib(second, 0, true), 25, 0)), 1);

    // Nothing edited, or another file: nothing to save here.
    EXPECT_EQ(SaveShownImage(second, brighter, 24, 80, heldImage(tjDecode(whole), second)), SaveOutcome::NothingToSave);
    EXPECT_EQ(SaveShownImage(source, brighter, 24, 80, reduced), SaveOutcome::NothingToSave);
}

TEST(ExifOrientation, DamagedJpegStartsAreRefusedSafely)
{
    const QByteArray good = withExifOrientation(encodeJpeg(makePhoto(16, 16), TJSAMP_444), 8, false);
    QByteArray copy = good;
    ASSERT_TRUE(ResetExifOrientation(copy));
    EXPECT_EQ(exifOrientation(copy), 1);
    // Every truncation and a byte changed anywhere in the first segments: no crash,
    // and nothing outside the value is changed.
    for (qsizetype n = 0; n < 80; ++n) {
        QByteArray cut = good.left(n);
        const QByteArray before = cut;
        const bool reset = ResetExifOrientation(cut);
        EXPECT_EQ(cut.size(), before.size());
        if (!reset) {
            EXPECT_EQ(cut, before);
        }
    }
    for (qsizetype i = 2; i < 60; ++i) {
        for (const char v : { '\0', '\xFF', '\x7F' }) {
            QByteArray damaged = good;
            damaged[i] = v;
            ResetExifOrientation(damaged);
            QByteArray out;
            LosslessJpegTransform(damaged, { 1, false }, out);
        }
    }
    QByteArray out;
    EXPECT_FALSE(LosslessJpegTransform(QByteArray("not a jpeg"), {}, out));
    EXPECT_FALSE(LosslessJpegTransform(QByteArray(), {}, out));
}

} // namespace
