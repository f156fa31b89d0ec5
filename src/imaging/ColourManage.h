// Colour management: pictures that carry an ICC profile, or nclx colour data, are
// shown in sRGB (the colour space the screen is taken to be). The conversion runs
// with lcms2 on pixels that are about to be shown, after any reduction, so its cost
// follows the shown size, not the file's.
//
// A profile that cannot be read, that is not an RGB profile, or that describes sRGB
// itself leaves the pixels as they are: an image is never refused for its profile.
//
// Threads: every function may be called from any thread; each thread keeps its own
// few recent transforms.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <cstddef>
#include <cstdint>

namespace v7
{

// nclx colour data (ITU-T H.273 codes) with the primaries as CIE xy values:
// red, green, blue and white, each x then y.
struct NclxColour {
    int primaries = 2; // 1 BT.709/sRGB, 2 unspecified, 9 BT.2020, 12 Display P3...
    int transfer = 2; // 13 sRGB, 1 BT.709, 8 linear, 16 PQ, 18 HLG...
    float xy[8] = {};
};

// An ICC profile for nclx colour data; empty when the data means sRGB already, or
// when its transfer (such as PQ or HLG) has no display-referred profile here.
QByteArray iccFromNclx(const NclxColour &colour);

// The ICC profile embedded in a JPEG (APP2 chunks), PNG (iCCP) or TIFF (tag 34675)
// file's bytes; empty when there is none or it does not read. At most 16 MB.
QByteArray embeddedIccProfile(const unsigned char *data, std::size_t size);

// The image with its pixels turned from the profile's colours to sRGB. Handles
// RGB888, RGB32, ARGB32, RGBA8888 and Indexed8 (its colour table); any other
// format, an empty or unusable profile, or an sRGB profile gives the image as it is.
QImage convertToSrgb(QImage image, const QByteArray &icc);
// The same in place on the pixels of rect (cut to the image) only, for an
// image in one of those formats but Indexed8.
void convertRectToSrgb(QImage &image, const QRect &rect, const QByteArray &icc);

// True when the profile reads, is an RGB profile, and is not sRGB itself: when
// convertToSrgb would change pixels.
bool profileConverts(const QByteArray &icc);

// Pixels convertToSrgb and convertRectToSrgb have turned so far, on all threads (a
// palette counts its colours): what the conversions cost, for tests and benchmarks.
std::int64_t convertedPixelCount();

} // namespace v7
