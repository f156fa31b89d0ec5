// BMP reader on arbitrary bytes, at both depths.
#include "FuzzImaging.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    v7fuzz::limitPixels();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    v7::CodecFileInfo info;
    v7::meminfo(bytes, size, info);
    v7fuzz::checksum(v7::rdbmpstreamdib(bytes, size, 24));
    v7fuzz::checksum(v7::rdbmpstreamdib(bytes, size, 8));
    return 0;
}
