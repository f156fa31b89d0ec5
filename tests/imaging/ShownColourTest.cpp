// A picture with a colour profile is held for the screen in its file's colours and
// only what is composed for the screen is turned to sRGB: the pixels shown match a
// whole-picture conversion, the count of converted pixels follows the view, and
// whatever leaves the screen (edits, saves, copies) is sRGB as before.
#include "ImagingTestUtil.h"
#include "app/Settings.h"
#include "imaging/ColourManage.h"
#include "imaging/Draw.h"
#include "imaging/ImageLoad.h"
#include "imaging/Prefetch.h"
#include "options/ImageEdit.h"
#include "viewer/ViewerCache.h"

#include <QColorSpace>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

QString poppies()
{
    return QDir(qEnvironmentVariable("V7_SAMPLES", QStringLiteral(V7_SAMPLES_DIR))).filePath("poppies-p3.jpg");
}

class LastComposed : public DrawTarget
{
public:
    explicit LastComposed(QSize size)
        : m_size(size)
    {
    }
    QSize clientSize() const override { return m_size; }
    void showComposed(const QImage &composed, const TransitionPlan &, QColor) override { shown = composed.copy(); }
    void paintOver(const std::function<void(QPainter &)> &) override { }
    void setTag(const QString &) override { }
    QImage shown;

private:
    QSize m_size;
};

// The part a view composes of a picture already in sRGB, whole.
ViewState composedWhole(const QImage &srgb, QSize box, QStringView fit)
{
    ViewState ref;
    ref.current = srgb;
    EXPECT_TRUE(ComposeFitted(ref, box, fit, ZoomFactor::fromWhole(1), false));
    EXPECT_TRUE(ComposePart(ref, QRect(ref.offscreenAt, ref.offscreen.size())));
    return ref;
}

QImage partOf(const ViewState &vs, const QRect &composedRect)
{
    return vs.offscreen.copy(composedRect.translated(-vs.offscreenAt));
}

} // namespace

TEST(ShownColour, ThePreviewConvertsTheComposedPixelsNotTheHeldPicture)
{
    QByteArray icc;
    const QImage inFileColours = LoadImageDibKeepColour(poppies(), 24, true, &icc);
    ASSERT_EQ(inFileColours.size(), QSize(800, 600));
    ASSERT_TRUE(profileConverts(icc));
    const QImage srgb = LoadImageDib(poppies(), ScreenContext, true);
    ASSERT_GT(meanChannelDiff(srgb, inFileColours), 2.0); // the profile matters

    Settings cfg;
    cfg.E_Index = 0;
    LastComposed target(QSize(640, 480)); // too large for a reduced decode
    for (bool quality : { false, true }) {
        cfg.E_Quality = quality;
        ViewState &vs = viewState();
        ReleaseOffscreen(vs);
        FreeCurrentImage(vs);
        const std::int64_t before = convertedPixelCount();
        ASSERT_TRUE(ShowImageFitted(poppies(), target, FitAuto, {}, cfg));
        EXPECT_EQ(convertedPixelCount() - before, 640 * 480) << quality;
        EXPECT_EQ(vs.currentIcc, icc);
        EXPECT_EQ(maxChannelDiff(vs.current, inFileColours), 0);
        ViewState ref;
        ref.current = srgb;
        ASSERT_TRUE(ComposeFitted(ref, target.clientSize(), FitAuto, {}, quality));
        // The fast stretch picks pixels, so the order does not matter; the smooth
        // scaling averages the file's values, as the thumbnails and the reduced
        // JPEG decodes do, which moves edges between saturated colours a little.
        if (quality)
            EXPECT_LT(meanChannelDiff(target.shown, ref.offscreen), 0.5);
        else
            EXPECT_LE(maxChannelDiff(target.shown, ref.offscreen), 2);
    }
    FreeCurrentImage();
    ReleaseOffscreen();

    // The preview's prefetcher hands the profile on, or sRGB to whoever wants it.
    Prefetcher prefetch(LoadPreviewImage);
    prefetch.prefetch(poppies());
    QByteArray handed;
    EXPECT_EQ(maxChannelDiff(prefetch.take(poppies(), 1, &handed), inFileColours), 0);
    EXPECT_EQ(handed, icc);
    prefetch.prefetch(poppies());
    EXPECT_EQ(maxChannelDiff(prefetch.take(poppies(), 1), srgb), 0);
    // A whole decode prepared ahead and then asked for reduced (the view shrank
    // meanwhile) keeps its profile: nothing is converted at hand-over.
    const DrawServices served = PreviewDrawServices(prefetch, QThread::currentThread());
    prefetch.prefetch(poppies());
    const std::int64_t beforeTake = convertedPixelCount();
    handed.clear();
    EXPECT_EQ(maxChannelDiff(served.loadReduced(poppies(), 2, &handed), inFileColours), 0);
    EXPECT_EQ(handed, icc);
    EXPECT_EQ(convertedPixelCount(), beforeTake);

    // Without a profile nothing is converted.
    QTemporaryDir dir;
    const QString plain = dir.filePath(QStringLiteral("plain.png"));
    ASSERT_TRUE(inFileColours.save(plain));
    const std::int64_t before = convertedPixelCount();
    ASSERT_TRUE(ShowImageFitted(plain, target, FitAuto, {}, cfg));
    EXPECT_EQ(convertedPixelCount(), before);
    EXPECT_TRUE(viewState().currentIcc.isEmpty());
    FreeCurrentImage();
    ReleaseOffscreen();
}

TEST(ShownColour, AtNaturalSizeOnlyThePartComposedIsConverted)
{
    // A picture three times the view's size, with the sample's P3 profile.
    QByteArray icc;
    QImage big = LoadImageDibKeepColour(poppies(), 24, true, &icc).scaled(2400, 1800);
    big.setColorSpace(QColorSpace::fromIccProfile(icc));
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("big-p3.png"));
    ASSERT_TRUE(big.save(file));
    QByteArray read;
    LoadImageDibKeepColour(file, 24, true, &read);
    ASSERT_TRUE(profileConverts(read));

    const QSize box(800, 600);
    const ViewState ref = composedWhole(LoadImageDib(file, ScreenContext, true), box, FitNormal);
    // The viewer's decode-ahead converts the part it composed (the view and its
    // margin for pans) on its own thread, never the whole picture.
    std::int64_t before = convertedPixelCount();
    PreparedImage p = PrepareViewerImage(file, { box, QStringLiteral("FitNormal"), ZoomFactor() });
    ASSERT_FALSE(p.view.offscreen.isNull());
    ASSERT_EQ(ref.offscreenAt, p.view.offscreenAt);
    ASSERT_EQ(ref.offscreen.size(), p.view.offscreen.size());
    EXPECT_EQ(convertedPixelCount() - before, std::int64_t(p.view.offscreen.width()) * p.view.offscreen.height());
    EXPECT_LT(p.view.offscreen.width() * p.view.offscreen.height(), 2400 * 1800 / 2);
    EXPECT_EQ(p.view.currentIcc, read);
    EXPECT_LE(maxChannelDiff(p.view.offscreen, ref.offscreen), 2);
    // A pan in the viewer then converts nothing more.
    before = convertedPixelCount();
    const QRect visible(p.view.srcX, p.view.srcY, box.width(), box.height());
    ASSERT_TRUE(ComposePart(p.view, visible.translated(100, 0)));
    EXPECT_EQ(convertedPixelCount(), before);

    // Held for the preview, composing converts the view, and a pan the strip it
    // brings into view, once.
    ViewState vs;
    vs.current = LoadImageDibForScreen(file, ScreenContext, true, &vs.currentIcc);
    ASSERT_EQ(vs.currentIcc, read);
    vs.currentFile = file;
    vs.natural = vs.current.size();
    before = convertedPixelCount();
    ASSERT_TRUE(ComposeFitted(vs, box, QStringLiteral("FitNormal"), ZoomFactor(), false));
    EXPECT_EQ(convertedPixelCount() - before, 800 * 600); // the view, not its margin nor the picture
    const QRect shown(vs.srcX, vs.srcY, box.width(), box.height());
    EXPECT_LE(maxChannelDiff(partOf(vs, shown), partOf(ref, shown)), 2);
    const QRect panned = shown.translated(100, 0);
    const std::int64_t beforePan = convertedPixelCount();
    ASSERT_TRUE(ComposePart(vs, panned));
    ASSERT_TRUE(ComposePart(vs, panned));
    EXPECT_EQ(convertedPixelCount() - beforePan, 100 * 600);
    EXPECT_LE(maxChannelDiff(partOf(vs, panned), partOf(ref, panned)), 2);
    // All of the held part, shown bit by bit, ends as the whole conversion gives it.
    ASSERT_TRUE(ComposePart(vs, QRect(vs.offscreenAt, vs.offscreen.size())));
    EXPECT_LE(maxChannelDiff(vs.offscreen, ref.offscreen), 2);
    EXPECT_EQ(convertedPixelCount() - before, std::int64_t(vs.offscreen.width()) * vs.offscreen.height());
}

TEST(ShownColour, EditsSavesAndCopiesOfTheShownPictureAreInSrgb)
{
    const QImage srgb = LoadImageDib(poppies(), ScreenContext, true);
    QByteArray icc;
    ASSERT_GT(maxChannelDiff(srgb, LoadImageDibKeepColour(poppies(), 32, true, &icc)), 10);
    // The clipboard and the printer load this way: converted whole, as ever.
    EXPECT_EQ(maxChannelDiff(LoadImageDib(poppies(), 32, true), srgb), 0);

    Settings cfg;
    cfg.E_Index = 0;
    LastComposed target(QSize(700, 700));
    ViewState &vs = viewState();
    FreeCurrentImage(vs);
    ASSERT_TRUE(ShowImageFitted(poppies(), target, FitNormal, {}, cfg));
    ASSERT_FALSE(vs.currentIcc.isEmpty());

    // A turn keeps the picture in its own colours; the view shows it in sRGB.
    ASSERT_TRUE(TransformImage(vs, RotateClockwise));
    EXPECT_FALSE(vs.currentIcc.isEmpty());
    ASSERT_TRUE(ComposeFitted(vs, target.clientSize(), FitNormal, {}, false));
    ASSERT_TRUE(ComposePart(vs, QRect(vs.offscreenAt, vs.offscreen.size())));
    const Orientation turned { 1, false };
    const ViewState ref = composedWhole(orientImage(srgb, turned), target.clientSize(), FitNormal);
    EXPECT_LE(maxChannelDiff(vs.offscreen, ref.offscreen), 2);

    // Brightness works on sRGB values: the held picture is converted first.
    ASSERT_TRUE(EnhanceImage(vs, 20, 10));
    EXPECT_TRUE(vs.currentIcc.isEmpty());
    const QImage edited = ApplyImageEdits(srgb, turned, 20, 10);
    EXPECT_LE(maxChannelDiff(vs.current, edited), 2);

    // The saved picture is the sRGB one with the edits, exactly as before.
    QTemporaryDir dir;
    const QString saved = dir.filePath(QStringLiteral("shown.png"));
    ASSERT_EQ(SaveShownImage(poppies(), saved, 24, 90, vs), SaveOutcome::Encoded);
    EXPECT_EQ(maxChannelDiff(
                  LoadImageDib(saved, 24, true), ApplyImageEdits(LoadImageDib(poppies(), 0, true), turned, 20, 10)),
        0);

    FreeCurrentImage(vs);
    ReleaseOffscreen(vs);
}
