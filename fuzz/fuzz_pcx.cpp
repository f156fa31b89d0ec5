// PCX reader on arbitrary bytes.
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
    v7::codec::probePcx(b, info);
    const QImage img = v7::codec::decodePcx(b);
    v7fuzz::checksum(img);
    // Whatever decodes must encode again.
    if (!img.isNull() && img.width() * img.height() < 4096) {
        QByteArray out;
        if (!v7::codec::encodePcx(img, 24, out))
            __builtin_trap();
    }
    return 0;
}
