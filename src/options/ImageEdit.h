// The image operations on the shown image: turning it 90 degrees clockwise,
// mirroring it, brightness and contrast, and undoing all of it. They work on the
// held image of the view state (decoded at full size for the purpose), so every
// redraw, zoom and pan of the same file shows them, and a save writes them at
// full resolution. Brightness and contrast are always computed from the reference
// image, so adjustments never build on each other.
//
// Threads: the user-interface thread (the view state is that thread's).
#pragma once

#include "imaging/ViewState.h"

#include <QByteArray>
#include <QImage>
#include <QString>

namespace v7
{

// One of the eight ways to turn and mirror an image: first left and right are
// swapped when mirrored, then the image is turned clockwise by turns quarters.
struct Orientation {
    int turns = 0; // 0 to 3
    bool mirrored = false;
    bool isIdentity() const { return turns == 0 && !mirrored; }
    friend bool operator==(const Orientation &, const Orientation &) = default;
};

// The operations of the window's three buttons.
enum ImageOperation { RotateClockwise = 0, MirrorVertical = 1, MirrorHorizontal = 2 };

// o followed by the operation.
Orientation afterOperation(Orientation o, int operation);
// first, then second.
Orientation combine(Orientation first, Orientation second);
Orientation inverse(Orientation o);
// The EXIF orientation (1 to 8) as the change that makes the stored image upright.
Orientation fromExifOrientation(int exif);
QImage orientImage(const QImage &image, Orientation o);

// The operations on vs's held image. Each decodes the file at full size first when
// only a reduced decode is held. False when nothing changed (no image held, or the
// image could not be made).
bool TransformImage(ViewState &vs, int operation);
// Brightness and contrast from -100 to 100, both from the reference image; both 0
// shows the reference itself.
bool EnhanceImage(ViewState &vs, int brightness, int contrast);
// Back to the held image as first decoded: turns, mirrors and adjustments undone.
bool ResetImageEdits(ViewState &vs);
// The shown image was written over its own file: what is held is now the file as
// decoded, so the edits are done with (a second save must not replay them).
void CommitImageEdits(ViewState &vs);
bool ImageEditActive(const ViewState &vs = viewState());
Orientation editOrientation(const ViewState &vs);

// A decoded (upright) image with the edits applied: the orientation, then
// brightness and contrast.
QImage ApplyImageEdits(const QImage &upright, Orientation o, int brightness, int contrast);

// A JPEG turned and mirrored without decoding: the stored image is changed by
// its EXIF orientation and then by o, the EXIF block kept with its orientation set
// to 1. False when the file is no JPEG or its size does not allow the change
// without touching pixels at the edges (not a whole number of blocks).
bool LosslessJpegTransform(const QByteArray &jpeg, Orientation o, QByteArray &out);
// Sets the EXIF orientation of a JPEG to 1 in place; false when it has none.
bool ResetExifOrientation(QByteArray &jpeg);

enum class SaveOutcome { Failed, NothingToSave, Lossless, Encoded };
// Writes the shown image of source (the held image's file) to target as the
// preview shows it, at full resolution: the edits are replayed on a full-size
// decode. A JPEG that was only turned or mirrored, saved as ".jpg", is turned
// losslessly. outputBits 24, or 8 for a palette image. NothingToSave when the view
// state holds no edits of that file.
SaveOutcome SaveShownImage(
    const QString &source, const QString &target, int outputBits, int jpegQuality, const ViewState &vs = viewState());

} // namespace v7
