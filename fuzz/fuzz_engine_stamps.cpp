// Any bytes as a "Stamps" stream: parsing must not crash, and a parsed stream
// written back for an index of its ids must parse to the same stamps.
#include "thumbs/OLEStorage.h"
#include "thumbs/Stamps.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    v7::StampMap stamps;
    if (!v7::parseStamps(bytes, &stamps))
        return stamps.isEmpty() ? 0 : (std::abort(), 0);
    v7::ThumbIndex index;
    for (auto it = stamps.cbegin(); it != stamps.cend(); ++it)
        index.add({ it.key(), 0, QString::number(it.key()) });
    v7::StampMap again;
    if (!v7::parseStamps(v7::serializeStamps(index, stamps), &again) || again != stamps)
        std::abort();
    return 0;
}
