// Shared set-up of the imaging fuzz targets.
#pragma once

#include "imaging/Codecs.h"

#include <QImage>
#include <cstdlib>

namespace v7fuzz
{

// A lower pixel limit keeps each run fast; the limit check itself is what we test.
inline void limitPixels()
{
    v7::setMaxDecodedPixels(4'000'000);
}

// Touches every pixel, so a decoder that hands back a short buffer is caught.
inline unsigned checksum(const QImage &img)
{
    if (img.isNull())
        return 0;
    if (img.width() <= 0 || img.height() <= 0 || std::int64_t(img.width()) * img.height() > 4'000'000)
        std::abort();
    unsigned sum = 0;
    for (int y = 0; y < img.height(); ++y) {
        const uchar *row = img.constScanLine(y);
        for (qsizetype i = 0; i < img.bytesPerLine(); ++i)
            sum += row[i];
    }
    return sum;
}

} // namespace v7fuzz
