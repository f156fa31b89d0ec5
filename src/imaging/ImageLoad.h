// Loading and saving image files by type: the information query, the device-bitmap
// and DIB loaders (with the reduction used for thumbnails), the two savers, and the
// decoder of thumbnail bytes held in memory.
//
// Loaders take the type from the file's content, savers from the name's extension.
// Nothing here shows a message: failure is a null image or false, and a failing
// loader or saver leaves nothing behind.
//
// Threads: every function may be called from any thread; the thumbnail size is read
// from the calling thread's settings (v7::settings()).
#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <cstddef>

namespace v7
{

struct ImageFileInfo {
    QString fileName; // the path asked for; set by the caller
    QString format; // the type name, at most 4 characters ("JPEG", "BMP", "TIFF"...)
    int width = 0; // pixels, of the upright image
    int height = 0;
    int bitsPerPixel = 0; // colour depth of the file
    int extra1 = 0; // further numbers the codec layer reports; not used here
    int extra2 = 0;
};

// The image types the loaders and savers know, from a format or extension text.
// Webp: "webp"; Heif: "heic", "heif" and "avif"; Jxl: "jxl".
enum class ImageType { None, Jpeg, Bmp, Gif, Pcd, Pcx, Png, Tiff, Webp, Heif, Jxl };
ImageType imageTypeOf(const QString &formatOrExtension); // matched lower-cased

// Fills info for info.fileName; false when the file is missing or not an image.
bool GetImageInfo(ImageFileInfo &info);

// The context argument of the loaders: the colour depth of the target device, or
// ScreenContext for "no context" (the screen's depth is used).
constexpr int ScreenContext = -1;

// A device bitmap (the display's format) or a null image. fullSize false decodes
// JPEG files reduced for a thumbnail of ThumbW pixels across, PhotoCD files at
// their smallest resolution.
QImage LoadImageDdb(const QString &fileName, int contextDepth, bool fullSize);
// A DIB or a null image. fullSize false decodes JPEG and TIFF files reduced for a
// thumbnail box of ThumbW x ThumbH. A context depth of 0 means 24 bits.
QImage LoadImageDib(const QString &fileName, int contextDepth, bool fullSize);

// Colour: a file with an ICC profile or nclx colour data is shown in sRGB; both
// loaders convert what they return (see ColourManage.h). This one leaves that to
// the caller, who reduces the picture further first: the result is in the file's
// colours and icc receives the profile to give convertToSrgb (empty for none).
QImage LoadImageDibKeepColour(const QString &fileName, int contextDepth, bool fullSize, QByteArray *icc);
// For the screen, where only what is composed needs converting: an opaque
// true-colour picture (RGB888 or RGB32) whose profile converts comes in the file's
// colours with icc receiving that profile; any other comes as LoadImageDib gives
// it, in sRGB, with icc empty. Cropping, turning, mirroring and plain scaling of
// such a picture and then converting gives what converting it first would;
// smooth scaling then averages the file's values, which differs slightly.
QImage LoadImageDibForScreen(const QString &fileName, int contextDepth, bool fullSize, QByteArray *icc);

// A JPEG file's EXIF preview as a 24-bit DIB, upright by the file's orientation,
// and in decodedSize the size LoadImageDib(fileName, 24, false) gives the file for
// a thumbnail box of boxW x boxH. Reads only the file's start. Null when the file
// is no JPEG, has no preview, or its preview does not decode. A HEIC or AVIF file
// gives its largest embedded thumbnail image the same way (the whole file is read).
// The preview is in sRGB.
QImage LoadExifPreviewDib(const QString &fileName, int boxW, int boxH, QSize *decodedSize);

// outputBits: 24, or 8 for a palette image; jpegQuality 0..100. The extension
// chooses the writer: "jpg", "gif", "bmp", "pcx", "png", "webp" (lossy at the
// quality; 100 writes lossless), "avif" (lossy at the quality). Any other (also
// "jpeg", "tif" and "tiff") writes nothing and returns false.
bool SaveImageDdb(const QString &fileName, const QImage &bitmap, int outputBits, int jpegQuality);
bool SaveImageDib(const QString &fileName, const QImage &dib, int outputBits, int jpegQuality);

// Thumbnail bytes to a 24-bit DIB: 0xFF first is a JPEG, "B" first a bitmap file.
QImage DecodeThumbStream(const char *data, std::size_t size);

// ---- the arithmetic behind the loaders ----

// The decoder depth for a device of contextBits bits: 16 or more gives 24.
int decoderDepth(int contextBits);
// JPEG reduction factor for an image dimension m against a thumbnail dimension t:
// 1 below 2t, 2 below 4t, 4 below 7t, 8 from there on.
int jpegReductionFactor(int m, int t);
// TIFF size percentage: 100 up to 2t, 60 above it, 30 from 10t on.
int tiffSizePercent(int m, int t);
// PhotoCD resolution index: 2 (the base 768 x 512) at full size, else 0.
inline int photoCdResolution(bool fullSize)
{
    return fullSize ? 2 : 0;
}

} // namespace v7
