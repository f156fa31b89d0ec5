// Saving an image file from the browser: the picture decoded at full size with the
// adjustments in force, written through a temporary file so that a failed save
// never harms the file it was meant to replace, and a JPEG saved from a JPEG keeps
// its EXIF block.
//
// Threads: any.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

namespace v7
{

// The file decoded whole (never the reduced preview), upright.
QImage ComposeImageForSave(const QString &path);

// The writer's bit depth for a bitmap of bitsPerPixel: 24 above 8, else as it is.
int SaveDepthFor(int bitsPerPixel);

// Writes image to target by the target's extension. When target is a JPEG and
// exifSource is a JPEG with an EXIF block, the block goes along with its
// orientation set to 1 (the pixels are upright) and its pixel size updated; its
// embedded preview is dropped when the pixels no longer match it. False (and the
// target untouched) when nothing could be written.
bool SaveImageFile(const QString &target,
    const QImage &image,
    int outputBits,
    int jpegQuality,
    const QString &exifSource = QString(),
    bool pixelsChanged = false);

// The first EXIF segment's payload ("Exif\0\0" and the TIFF data) of JPEG bytes;
// empty when there is none.
QByteArray JpegExifPayload(const QByteArray &jpeg);
// The payload rewritten for upright pixels of width x height; empty when it does not parse.
QByteArray UprightExifPayload(const QByteArray &payload, int width, int height, bool dropPreview);
// JPEG bytes with the payload inserted as an APP1 segment after SOI (and a JFIF
// APP0), replacing any EXIF segment there; the input unchanged when it cannot be.
QByteArray WithExifPayload(const QByteArray &jpeg, const QByteArray &payload);

} // namespace v7
