// The WebP reader on arbitrary bytes: the probe, still and animated decoding, and the
// container's EXIF and ICC chunks.
#include "FuzzImaging.h"
#include "imaging/CodecsInternal.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    v7fuzz::limitPixels();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const v7::codec::Bytes b { data, size };
    v7::CodecFileInfo info;
    const bool told = v7::codec::probeWebp(b, info);
    QByteArray icc;
    const QImage img = v7::codec::decodeWebp(b, &icc);
    v7fuzz::checksum(img);
    // A picture that decodes had a readable header, of the size it gives.
    if (!img.isNull() && (!told || img.width() != info.width || img.height() != info.height))
        __builtin_trap();
    return 0;
}
