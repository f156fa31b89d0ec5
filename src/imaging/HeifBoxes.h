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
// in the order of their location entries. doubtful: the boxes could be read in more
// than one way (two "meta" boxes, an item ID given twice, a descriptor split
// oddly, in another file or cut short...), so what libheif will allocate is not
// known; such a file is not decoded.
struct HeifCanvas {
    std::uint32_t itemId = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
};
struct HeifDerived {
    bool doubtful = false;
    std::vector<HeifCanvas> canvases;
};
HeifDerived heifDerivedItems(Bytes b);

// False when the file is doubtful or any derived image's canvas fails sizeAllowed:
// the check before decoding the primary image, which may be made of the others.
bool heifCanvasesAllowed(Bytes b);
// The same for decoding one item alone (an embedded thumbnail): a coded item
// passes whatever the others declare; a derived one needs every canvas to fit.
bool heifItemCanvasAllowed(Bytes b, std::uint32_t itemId);

} // namespace v7::codec
