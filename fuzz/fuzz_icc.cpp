// Colour profiles from outside: finding the profile in JPEG, PNG and TIFF bytes, and
// converting pixels with whatever profile the bytes are.
#include "FuzzImaging.h"
#include "imaging/ColourManage.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    v7fuzz::limitPixels();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray found = v7::embeddedIccProfile(data, size);
    if (found.size() > (16 << 20))
        __builtin_trap();
    QImage img(7, 3, QImage::Format_RGB888);
    img.fill(qRgb(200, 90, 80));
    const QByteArray asProfile(reinterpret_cast<const char *>(data), qsizetype(size));
    const QImage out = v7::convertToSrgb(img, asProfile);
    if (out.size() != img.size())
        __builtin_trap();
    v7fuzz::checksum(out);
    v7fuzz::checksum(v7::convertToSrgb(img.convertToFormat(QImage::Format_ARGB32), found));
    return 0;
}
