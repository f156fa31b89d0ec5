// The JPEG outline reader (frame size, EXIF orientation and the EXIF preview's
// place) on arbitrary bytes, then the preview's decode as the thumbnail maker does it.
#include "FuzzImaging.h"
#include "imaging/CodecsInternal.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    v7fuzz::limitPixels();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace v7::codec;
    const Bytes b { data, size };
    JpegOutline o;
    if (!jpegOutline(b, o))
        return 0;
    if (o.width <= 0 || o.height <= 0 || o.orientation < 1 || o.orientation > 8)
        std::abort();
    if (o.preview.size == 0)
        return 0;
    // The preview is a view into the input, never past it.
    if (o.preview.data < data || o.preview.data + o.preview.size > data + size)
        std::abort();
    v7fuzz::checksum(decodeJpeg(o.preview, 24, 1, false, o.orientation));
    return 0;
}
