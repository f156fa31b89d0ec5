// Shared pieces of the codec layer: format detection, per-format decoders and
// encoders on bytes in memory, and helpers for depth, limits and files.
// Not part of the public interface; see Codecs.h for threads and ownership.
#pragma once

#include "imaging/Codecs.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace v7::codec
{

// A view of bytes in memory.
struct Bytes {
    const unsigned char *data = nullptr;
    std::size_t size = 0;
};

enum class Kind { Unknown, Jpeg, Bmp, Gif, Pcx, Png, Tiff, Pcd, Webp, Heif, Jxl };

Kind sniff(Bytes b);

// True when a width x height image may be decoded: both positive, each at most
// 65,535 * 4 and the product within maxDecodedPixels().
bool sizeAllowed(std::int64_t width, std::int64_t height);

// Files larger than this are not read at all (no image this browser shows is
// anywhere near it).
constexpr std::uint64_t MaxFileBytes = 1ull << 30;

// Reads a whole file into buf (a buffer the calling thread reuses). maxBytes
// limits how much is read; false for a missing or unreadable file, one over
// MaxFileBytes, and a file longer than 4 KB whose start is no known image.
bool readFileBytes(const QString &name, std::vector<unsigned char> &buf, std::size_t maxBytes = SIZE_MAX);
// The calling thread's reusable file buffer.
std::vector<unsigned char> &threadFileBuffer();
// Writes bytes to name atomically; on failure nothing is left behind.
bool writeFileBytes(const QString &name, const QByteArray &bytes);

// A new image for a decoder to fill. Large ones come from a small pool of
// reused, huge-page-backed buffers: the first touch of fresh memory costs more
// than decoding into it. Null when the memory cannot be had.
QImage newImage(int width, int height, QImage::Format format);

// Converts a decoded image to the depth a caller asked for: 24 (RGB888, or ARGB32
// for an image with transparency) or 8 and less (Indexed8). Indexed images stay as
// they are at 8 bits.
QImage toDepth(QImage image, int depth);
// Gives an Indexed8 image a colour table that covers every index it uses.
void coverIndices(QImage &image);
// The 256 greys of an 8-bit grey image, black to white.
QList<QRgb> grayTable();
// Little-endian and big-endian reads; the caller has checked the bounds.
inline std::uint16_t le16(const unsigned char *p)
{
    return std::uint16_t(p[0] | (p[1] << 8));
}
inline std::uint32_t le32(const unsigned char *p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}
inline std::uint16_t be16(const unsigned char *p)
{
    return std::uint16_t((p[0] << 8) | p[1]);
}
inline std::uint32_t be32(const unsigned char *p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
}

// ---- per format: probe (header only), decode, encode ----

void initTiff(); // once per process; also done by the first TIFF read

bool probeJpeg(Bytes b, CodecFileInfo &info);
// factor 1, 2, 4 or 8; depth as in Codecs.h. Upright by the EXIF orientation.
// device: decode straight into the 32-bit device format (depth above 8 only).
// orientation: 1..8 applies that one instead of the bytes' own (for an embedded
// preview, which is stored as the sensor saw it, like its parent image).
QImage decodeJpeg(Bytes b, int depth, int factor, bool device = false, int orientation = 0);
// The EXIF orientation (1..8) of a JPEG, 1 when there is none or it is unreadable.
int jpegOrientation(Bytes b);

// What the start of a JPEG tells without decoding: the stored frame size, the EXIF
// orientation and the EXIF preview (IFD1's JPEG), a view into b.
struct JpegOutline {
    int width = 0; // as stored, before the orientation
    int height = 0;
    int orientation = 1;
    Bytes preview; // empty when there is none or its place lies outside the segment
};
// False when b is no JPEG or its frame header is not within b.
bool jpegOutline(Bytes b, JpegOutline &out);
bool encodeJpeg(const QImage &image, int quality, QByteArray &out);

bool probeBmp(Bytes b, CodecFileInfo &info);
QImage decodeBmp(Bytes b); // Indexed8 at 8 bits or less, RGB888 above
bool encodeBmp(const QImage &image, int bits, QByteArray &out);

bool probeGif(Bytes b, CodecFileInfo &info);
QImage decodeGif(Bytes b); // first frame, Indexed8 (the transparent colour with alpha 0)
bool encodeGif(const QImage &image, QByteArray &out);

bool probePcx(Bytes b, CodecFileInfo &info);
QImage decodePcx(Bytes b);
bool encodePcx(const QImage &image, int bits, QByteArray &out);

bool probePng(Bytes b, CodecFileInfo &info);
QImage decodePng(Bytes b); // Indexed8, RGB888, or ARGB32 when it has transparency
bool encodePng(const QImage &image, int bits, QByteArray &out);

bool probeTiff(Bytes b, CodecFileInfo &info);
QImage decodeTiff(Bytes b); // RGB888

constexpr int PcdResolutions = 3;
bool probePcd(Bytes b, CodecFileInfo &info);
QImage decodePcd(Bytes b, int resolution); // RGB888

// ---- WebP, HEIF (HEIC, AVIF) and JPEG XL, through their libraries ----
// Each decoder gives RGB888, or ARGB32 when the picture has transparency, upright
// (WebP by its EXIF orientation, HEIF by its own turn and mirror properties, JPEG XL
// by its header), and in icc the colour profile of the pixels: empty for sRGB or
// none. Sizes are checked against sizeAllowed before any pixel buffer is made.

bool probeWebp(Bytes b, CodecFileInfo &info);
QImage decodeWebp(Bytes b, QByteArray *icc = nullptr); // an animation gives its first frame
// quality 0..100 for lossy; lossless ignores it. Transparency is kept.
bool encodeWebp(const QImage &image, int quality, bool lossless, QByteArray &out);

bool isHeif(Bytes b); // an ISO base media file with a HEIF or AVIF brand
bool probeHeif(Bytes b, CodecFileInfo &info); // format "HEIC", "AVIF" or "HEIF"
QImage decodeHeif(Bytes b, QByteArray *icc = nullptr); // the primary image
// The primary image's largest embedded thumbnail and, in primarySize, the primary's
// upright size; null when there is none.
QImage decodeHeifThumbnail(Bytes b, QSize *primarySize, QByteArray *icc = nullptr);
bool encodeAvif(const QImage &image, int quality, QByteArray &out); // quality 0..100

bool isJxl(Bytes b); // a bare codestream or the container
bool probeJxl(Bytes b, CodecFileInfo &info);
QImage decodeJxl(Bytes b, QByteArray *icc = nullptr); // the first frame

// The orientation (1..8) an EXIF TIFF structure gives; 1 when it has none.
int exifOrientation(Bytes tiff);

// Applies an EXIF orientation (1..8) so that the result is upright.
QImage orientUpright(QImage image, int orientation);

} // namespace v7::codec
