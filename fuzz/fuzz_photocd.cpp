// PhotoCD reader on arbitrary bytes, every resolution.
#include "FuzzImaging.h"
#include "imaging/CodecsInternal.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    v7fuzz::limitPixels();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // A whole image pack is 786 KB; small inputs whose first byte is odd are
    // repeated out to that length so the pixel paths run without giant seeds.
    static std::vector<std::uint8_t> padded;
    v7::codec::Bytes b { data, size };
    if (size >= 16 && (data[0] & 1)) {
        padded.resize(0x30000 + 768 * 512 * 3 / 2 + (data[1] & 0x3F));
        for (std::size_t i = 0; i < padded.size(); ++i)
            padded[i] = i < size ? data[i] : data[i % size] ^ std::uint8_t(i >> 11);
        b = v7::codec::Bytes { padded.data(), padded.size() };
    }
    v7::CodecFileInfo info;
    v7::codec::probePcd(b, info);
    // One resolution per input (index out of range included): decoding all of
    // them made each run five times slower for no new paths.
    const int resolution = size > 2 ? int(data[2] % 5) - 1 : 0;
    v7fuzz::checksum(v7::codec::decodePcd(b, resolution));
    return 0;
}
