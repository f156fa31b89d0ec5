// A bounded look into a HEIF file's item boxes, made before libheif decodes it.
// libheif sizes a grid's or an overlay's canvas by the size written in the item's
// own data, not by the size it reports for the image, and it offers no pixel limit
// for it: a few hundred bytes could make it allocate gigabytes.
#pragma once

#include "imaging/CodecsInternal.h"

#include <cstdint>
#include <vector>

namespace v7::codec
{

// The canvas sizes that the file's grid ("grid") and overlay ("iovl") items declare,
// in the order of their location entries. Items whose data cannot be found or is
// too short are left out: libheif refuses those itself.
struct HeifCanvas {
    std::uint32_t itemId = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
};
std::vector<HeifCanvas> heifDerivedCanvases(Bytes b);

// False when any derived image's canvas fails sizeAllowed.
bool heifCanvasesAllowed(Bytes b);

} // namespace v7::codec
