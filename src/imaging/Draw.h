// Drawing forms: how a decoded image reaches a window, a mosaic cell, the
// framed preview or a thumbnail cell. They compose off-screen with the fit and
// placement arithmetic of Fit.h and hand the result to a DrawTarget (the widget
// side carries out the transition).
//
// Threads: ShowImageFitted, ShowFramedPreview, RunTransition, DrawImageInRect
// and DrawThumbCell run on the UI thread (they use that thread's view state).
// MakeThumbnailDib runs on any thread, including thumbnail workers; the loader
// it calls must therefore be thread-safe. setDrawServices, where used, is called
// before any worker starts.
#pragma once

#include "app/Settings.h"
#include "imaging/Fit.h"
#include "imaging/Transition.h"
#include "imaging/ViewState.h"
#include "imaging/Zoom.h"

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QString>
#include <climits>
#include <cstdint>
#include <functional>

namespace v7
{

// The services the drawing forms need from the codec layer. The defaults are the
// codec layer's loaders and Qt's smooth (area-averaging) scaling; tests replace
// them to count or fake decodes.
struct DrawServices {
    // Decode a file as a DIB (the image's own depth) or as a device bitmap (the
    // display's format); fullSize false allows a reduced decode for thumbnails.
    // A null image is a failure.
    std::function<QImage(const QString &file, bool fullSize)> loadDib;
    std::function<QImage(const QString &file, bool fullSize)> loadDdb;
    // Decodes thumbnail bytes: a JPEG file (first byte 0xFF) or a BMP file ("B").
    std::function<QImage(const QByteArray &bytes, bool jpeg)> decodeThumb;
    // Smooth resampling (E_Quality true) to exactly the given size.
    std::function<QImage(const QImage &image, QSize size)> resample;
    // A JPEG file decoded upright at 1/reduction (2, 4 or 8) of its size, as a DIB.
    // A loader may hand over a larger decode it has ready; icc then receives its
    // profile as for loadShown (empty: sRGB).
    std::function<QImage(const QString &file, int reduction, QByteArray *icc)> loadReduced;
    // A whole decode to hold for the screen (see LoadImageDibForScreen): it may
    // come in the file's colours, with icc receiving the profile that turns what is
    // composed of it to sRGB; an empty icc means sRGB. When empty, loadDib serves.
    std::function<QImage(const QString &file, QByteArray *icc)> loadShown;
};
DrawServices defaultDrawServices();
// Members left empty are not changed, except that a new loadDib given without a
// loadShown also serves the shown picture (the old loadShown would bypass it).
void setDrawServices(DrawServices services);
const DrawServices &drawServices();

// Where composed images go: a window, or a fake in tests.
class DrawTarget
{
public:
    virtual ~DrawTarget() = default;
    virtual QSize clientSize() const = 0;
    // Shows a composed image through a transition plan; margins in marginColor.
    virtual void showComposed(const QImage &composed, const TransitionPlan &plan, QColor marginColor) = 0;
    // Paints straight onto the target (framed preview).
    virtual void paintOver(const std::function<void(QPainter &)> &paint) = 0;
    // The window's tag; "NOREPAINT" suppresses its repaint during a relayout.
    virtual void setTag(const QString &tag) = 0;
};

inline constexpr char16_t NoRepaintTag[] = u"NOREPAINT";

// 0x00BBGGRR as stored in the settings.
QColor colorFromBgr(std::uint32_t bgr);

// The two scalings: smooth area-averaging resampling, and the fast stretch that
// drops eliminated rows and columns (nearest pixel).
QImage resampleSmooth(const QImage &image, QSize size);
QImage stretchFast(const QImage &image, QSize size);

// A surface larger than this is refused rather than exhausting memory. Only the
// part of the composed image near the view is ever made (see ViewState), so this
// bounds views and mosaic cells, not the zoom: a 24-megapixel image at zoom 10
// would need 9.6 GB whole.
inline constexpr std::int64_t MaxComposedPixels = std::int64_t(1) << 27;
inline constexpr int MaxComposedSide = 32767;
// The composed image's own size is only arithmetic, but its offsets must stay
// in int with room for sums.
inline constexpr std::int64_t MaxComposedImageSide = INT32_MAX / 2;

// The largest JPEG reduction (8, 4, 2, else 1) whose decoded size still covers the
// composed size in both axes: the preview decodes no more pixels than it shows.
int PreviewReduction(QSize natural, QSize composed);
// The same for a file shown in a box (1 for anything but a JPEG); *natural gets
// the file's upright size.
int PreviewReductionFor(const QString &file, QSize box, QStringView fitMode, ZoomFactor zoom, QSize *natural = nullptr);

// Steps 4 to 7 of ShowImageFitted on the held image: fit into box, apply the
// zoom in "FitNormal" only, and compose the part of the result around the
// centred view into vs.offscreen (the whole when it is not much larger than the
// view). No decoding happens here, unless a reduced image no longer covers the
// new size: then the file is decoded again at full size. Returns false when no
// image is held or nothing can be composed.
bool ComposeFitted(ViewState &vs, QSize box, QStringView fitMode, ZoomFactor zoom, bool quality);
// Makes vs.offscreen hold the rectangle needed of the composed image (in its
// coordinates; cut to the image), composing a new part around it from the held
// image when the current part does not cover it, as a pan far enough needs.
// False when it cannot be covered. Whatever reads vs.offscreen asks here first:
// of a picture held in its file's colours, only the rectangles asked for so far
// are turned to sRGB.
bool ComposePart(ViewState &vs, const QRect &needed);

// A whole decode of file for vs to hold, through loadShown (or loadDib): vs.current
// may then be in the file's colours, vs.currentIcc says so. Sets only those two;
// false (vs unchanged) when the decode fails.
bool LoadShownImage(ViewState &vs, const QString &file);
// Turns a held picture in its file's colours (current and reference) to sRGB
// whole, for operations whose result depends on the colours.
void HoldInSrgb(ViewState &vs);

// Loads (or reuses, for the same file or an empty name) the current image,
// composes it for the target's client size and shows it through the transition
// chosen by E_Index; clears the target's tag. False when nothing could be drawn
// (the target is left as it was).
bool ShowImageFitted(
    const QString &file, DrawTarget &target, QStringView fitMode, ZoomFactor zoom, const Settings &cfg = settings());

// Runs the chosen transition of the view state's composed image on the target
// (the plan reads from the part held off-screen).
void RunTransition(DrawTarget &target, ViewState &vs, const Settings &cfg = settings());
// The plain copy (effect 0), also used after image operations; viewColor is
// 0x00BBGGRR.
void RunPlainCopy(DrawTarget &target, ViewState &vs, std::uint32_t viewColor);

// Fills the margins around a placed image.
void PaintMargins(QPainter &painter, const Placement &p, QSize view, QColor color);

enum class EdgeStyle { Raised, Sunken };
// A two-pixel 3D edge inside rect.
void drawEdge(QPainter &painter, const QRect &rect, EdgeStyle style);

// One mosaic cell: the file fitted ("FitAuto") and centred in rect, with a
// raised edge around rect. False when the file cannot be loaded (nothing drawn).
bool DrawImageInRect(const QString &file, QPainter &painter, const QRect &rect, const Settings &cfg = settings());

// The framed preview geometry for a client size and an image size: the image
// fitted into two thirds of the client and centred, inside a 14-pixel frame.
struct FramedPreviewGeometry {
    QRect image;
    QRect frame;
};
FramedPreviewGeometry framedPreviewGeometry(QSize client, QSize image);
inline const QColor FramedPreviewFill = QColor(160, 145, 160);

// The framed overlay in the thumbnail pane. False when the file cannot be loaded.
bool ShowFramedPreview(const QString &file, DrawTarget &target);

// Draws thumbnail bytes into a ThumbW x ThumbH cell whose corner is origin.
// False (nothing drawn) unless the bytes are a decodable JPEG or BMP file.
bool DrawThumbCell(const QByteArray &bytes, QPainter &painter, QPoint origin, const Settings &cfg = settings());
// The same for a thumbnail already decoded (the display store decodes into a reused buffer).
bool DrawThumbImage(const QImage &image, QPainter &painter, QPoint origin, const Settings &cfg = settings());

// The byte size of an image stored as a DIB: 40-byte header, colour table,
// rows padded to four bytes.
std::int64_t dibByteSize(const QImage &image);

// A thumbnail-sized image of a file for the cache. outBytes receives its DIB
// size. Returns the image when CacheThumbs is on, else a null image.
QImage MakeThumbnailDib(const QString &file, std::int64_t &outBytes, const Settings &cfg = settings());

} // namespace v7
