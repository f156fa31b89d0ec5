// The image codec layer: decoders, encoders and bitmap operations that the load
// and save dispatch (ImageLoad.h), the drawing code and the thumbnail engine call.
//
// Bitmaps are QImages. A DIB is a QImage in the image's own depth: Format_Indexed8
// with its colour table at 8 bits or less, Format_RGB888 above. A DDB (device
// bitmap) is a QImage in the display's format: Format_RGB32 on a device of 16 bits
// or more, Format_Indexed8 with a colour table on an 8-bit device. A null QImage
// is the zero handle; the colour table of an Indexed8 image is its palette.
//
// Transparency: a GIF with a transparent colour and a PNG with an alpha channel or
// a transparent colour (tRNS) keep it. Their Indexed8 form has the alpha in its
// colour table; above 8 bits they are Format_ARGB32 rather than RGB888 or RGB32.
// What shows through depends on where the picture is drawn, so whoever draws one
// composites it over that background with flattenOnto (the thumbnails over
// ThumbColor, the preview over ViewColor); the writers put it on white.
//
// Threads: every function may be called from any thread at the same time. Each
// thread keeps its own TurboJPEG handles; nothing else is shared but the
// process-wide values below (screen depth, decoded-pixel limit), which are atomic.
//
// Bad input: every reader checks sizes before it allocates and refuses an image
// of more than maxDecodedPixels() pixels, so a lying header or a decompression
// bomb costs neither time nor memory. Truncated and corrupt data give a null image.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <cstddef>
#include <cstdint>

namespace v7
{

// ---- process-wide values ----

// Colour depth of the screen (bits per pixel). The default comes from the primary
// screen when a QGuiApplication exists, else 24; only the GUI thread reads the screen
// (before it has, other threads get 24). Tests set 8 to model an 8-bit device.
int screenDepth();
// Start-up work of the codec libraries, on the GUI thread before any decode thread
// runs: the screen's depth is read, and libtiff's messages to stderr are silenced.
void InitCodecs();
void setScreenDepth(int bitsPerPixel);

// Upper bound for the pixels of any decoded image (width x height, also for
// intermediate buffers). Default 100 megapixels: 300 MB at 24 bits.
std::int64_t maxDecodedPixels();
void setMaxDecodedPixels(std::int64_t pixels);

// ---- file information ----

// What fileinfo reports. Format is one of "JPEG", "BMP", "GIF", "PCX", "PNG",
// "TIFF", "PCD", "WEBP", "HEIC", "HEIF", "AVIF", "JXL". Width and height are those
// of the upright image (JPEG and WebP files are shown by their EXIF orientation,
// HEIF and JPEG XL files by their own). extra1: the JPEG, WebP or JPEG XL
// orientation 1..8, the PCD rotation code, the BMP compression, the PCX version,
// else 0; extra2: 1.
struct CodecFileInfo {
    QByteArray format;
    int width = 0;
    int height = 0;
    int bitsPerPixel = 0;
    int extra1 = 0;
    int extra2 = 0;
};

// > 0 on success. Looks at the content, never at the name.
int fileinfo(const QString &name, CodecFileInfo &info);
// The same for bytes in memory.
int meminfo(const char *data, std::size_t size, CodecFileInfo &info);

// ---- readers ----
// depth: 24 gives a 24-bit DIB; 8 or less gives an 8-bit DIB with a palette (the
// file's own palette when it has one, else one made by colour reduction).
// Device-bitmap readers (read...file) give the display's format instead.

QImage readjpgfile(const QString &name, int depth, int reductionFactor);
QImage rdjpgfiledib(const QString &name, int depth, int reductionFactor);
QImage readbmpfile(const QString &name, int depth);
QImage rdbmpfiledib(const QString &name, int depth);
QImage readgiffile(const QString &name, int depth);
QImage rdgiffiledib(const QString &name, int depth);
QImage readpcxfile(const QString &name, int depth);
QImage rdpcxfiledib(const QString &name, int depth);
QImage readpngfile(const QString &name, int depth);
QImage rdpngfiledib(const QString &name, int depth);
// resolution: 0 = 192 x 128, 1 = 384 x 256, 2 = the base 768 x 512.
QImage readpcdfile(const QString &name, int depth, int resolution);
QImage readpcdfiledib(const QString &name, int depth, int resolution);
// percent: 100, 60 or 30 (any 1..100 works).
QImage readtiffile(const QString &name, int depth, int percent);
QImage rdjpgstreamdib(const char *data, std::size_t size, int depth, int reductionFactor);
QImage rdbmpstreamdib(const char *data, std::size_t size, int depth);

// ---- writers (true on success; a failed writer leaves no file behind) ----
// bits: 24, or 8 for a palette image (colour reduction when the bitmap has more
// than 256 colours). JPEG always writes 24-bit colour.

bool writejpgfile(const QString &name, int quality, const QImage &ddb);
bool wrjpgfiledib(const QString &name, int quality, const QImage &dib);
bool writebmpfile(const QString &name, int bits, const QImage &ddb);
bool wrbmpfiledib(const QString &name, int bits, const QImage &dib);
bool writegiffile(const QString &name, int bits, const QImage &ddb);
bool wrgiffiledib(const QString &name, int bits, const QImage &dib);
bool writepcxfile(const QString &name, int bits, const QImage &ddb);
bool wrpcxfiledib(const QString &name, int bits, const QImage &dib);
bool writepngfile(const QString &name, int bits, const QImage &ddb);
bool wrpngfiledib(const QString &name, int bits, const QImage &dib);
// WebP: lossy at quality 0..100, or lossless (quality unused); at most 16,383
// pixels a side. AVIF: lossy at quality 0..100.
bool wrwebpfiledib(const QString &name, int quality, bool lossless, const QImage &dib);
bool wraviffiledib(const QString &name, int quality, const QImage &dib);
// To memory (thumbnail bytes): a complete JPEG file (24-bit colour) or a complete
// 24-bit bitmap file. The result replaces out; false leaves out empty.
bool wrjpgstreamdib(const QImage &dib, int quality, QByteArray &out);
bool wrbmpstreamdib(const QImage &dib, QByteArray &out);

// ---- operations ----

// A device bitmap to a DIB at depth (24, or 8 and less for a palette image).
QImage DdbtoDib(const QImage &ddb, int depth);
// A DIB in the device's format.
QImage DibtoDdb(const QImage &dib);
// Smooth resampling to width x height (area averaging when shrinking). 24-bit result.
QImage ScaleDib(const QImage &dib, int width, int height);
// 90 degrees clockwise.
QImage RotateDdb90(const QImage &bitmap);
// horizontal: swap left and right; vertical: swap top and bottom.
QImage ILMirrorBMP(const QImage &bitmap, bool horizontal, bool vertical);
// brightness and contrast from -100 to 100 (0 keeps the image); a new bitmap in
// the input's format.
QImage VEnhanceBMP(const QImage &bitmap, int brightness, int contrast);

// Colour reduction to at most 256 colours: an Indexed8 image. An image with 256
// colours or fewer keeps its exact colours; transparency is kept in the table.
QImage reduceTo8Bits(const QImage &image);

// The picture of an image with transparency as seen over an opaque background
// colour: an Indexed8 image keeps its indices (its colour table is blended), any
// other becomes RGB888. An image without transparency is returned as it is.
QImage flattenOnto(const QImage &image, QRgb background);

// ---- scanning (the scanner back end arrives with the file commands) ----
bool twainavailable();
bool selectsource();
QImage aquireimage();

} // namespace v7
