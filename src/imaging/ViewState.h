// The view state: the composed (off-screen) image of the current file, the
// sizes it was composed for, and the decoded image kept between redraws so a
// new fit mode, zoom or window size re-composes without decoding again.
//
// Threads: one set per thread (viewState() returns the calling thread's own);
// in practice only the UI thread draws.
#pragma once

#include "imaging/Fit.h"

#include <QByteArray>
#include <QImage>
#include <QRegion>
#include <QString>

namespace v7
{

// The composed image is the held image scaled to imageW x imageH. Zoomed in, that
// can be far larger than any surface (a 12-megapixel photo at zoom 10 is 1.2
// gigapixels), so only a part of it is held: offscreen covers the rectangle at
// offscreenAt of offscreen's size, the visible part and some margin for panning,
// or the whole image when that is not much larger. Sizes and offsets below are in
// the coordinates of the whole composed image.
struct ViewState {
    QImage offscreen; // the held part of the composed image; null when none is held
    QPoint offscreenAt; // where that part starts in the composed image
    // The parts of offscreen still in the file's colours (profile offscreenIcc): a
    // part is turned to sRGB when first shown (ComposePart), so a pan converts only
    // the strips it brings into view. Empty when all of it is sRGB.
    QRegion offscreenRaw;
    QByteArray offscreenIcc;
    int viewW = 0; // client size of the target window
    int viewH = 0;
    int imageW = 0; // size of the composed image
    int imageH = 0;
    int srcX = 0; // first visible pixel of the composed image; 0 in an axis = centred there
    int srcY = 0;
    int destRight = 0; // used by the framed preview
    int destBottom = 0;
    bool quality = false; // the composed image is resampled smoothly (E_Quality)

    QImage current; // the decoded image of currentFile, kept between redraws
    QString currentFile;
    // The profile of current (and reference) when they are held in the file's
    // colours: each composed part is turned to sRGB, never the whole picture.
    // Empty when current is in sRGB.
    QByteArray currentIcc;
    // current in the display's pixel format, made once per decode when a
    // composition needs it (a 24-bit image is read as it is)
    QImage second;
    // A large JPEG may be held decoded at 1/reduction of its natural size, as far
    // as the fitted size allows; the fit arithmetic always uses the natural size.
    QSize natural;
    int reduction = 1;

    // The memory of the last composed part, reused by the next one of the same
    // size: fresh memory costs a page fault per 4 KB before a pixel is written.
    QImage spare;

    // Image operations on the held image: current shows them; reference is current
    // before brightness and contrast, turned and mirrored as shown, so adjustments
    // never build on each other. Released with the held image.
    QImage reference;
    int editTurns = 0; // quarter turns clockwise, made after the mirror
    bool editMirrored = false; // left and right swapped first
    int brightness = 0;
    int contrast = 0;
};

ViewState &viewState(); // this thread's

// Placement of the composed image in the view; keeps the source offsets in the
// view state (the common start of every transition).
Placement PlaceInView(ViewState &vs);
// Only re-centres the source offsets from the view and image sizes.
void PlaceInViewOffsets(ViewState &vs);

// Releases the composed image (its memory is kept aside for the next one).
void ReleaseOffscreen(ViewState &vs = viewState());
void FreeCurrentImage(ViewState &vs = viewState()); // frees the second block too

} // namespace v7
