// The HEIF reader (HEIC and AVIF) on arbitrary bytes: the brand test, the probe, the
// primary image with its colour data, and the embedded thumbnail.
#include "FuzzImaging.h"
#include "imaging/CodecsInternal.h"
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
    const v7::codec::Bytes b { data, size };
    v7::CodecFileInfo info;
    v7::codec::probeHeif(b, info);
    QByteArray icc;
    v7fuzz::checksum(v7::convertToSrgb(v7::codec::decodeHeif(b, &icc), icc));
    QSize primary;
    v7fuzz::checksum(v7::codec::decodeHeifThumbnail(b, &primary, &icc));
    return 0;
}
