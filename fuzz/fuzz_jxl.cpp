// The JPEG XL reader on arbitrary bytes: the probe and the first frame's decode.
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
    const bool told = v7::codec::probeJxl(b, info);
    QByteArray icc;
    const QImage img = v7::codec::decodeJxl(b, &icc);
    v7fuzz::checksum(img);
    if (!img.isNull() && (!told || img.width() != info.width || img.height() != info.height))
        __builtin_trap();
    return 0;
}
