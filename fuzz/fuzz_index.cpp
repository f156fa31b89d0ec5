// libFuzzer target for the "Index" stream parser: any bytes give whole records
// only, and what is parsed writes back to bytes that parse to the same index.
#include "core/Text.h"
#include "thumbs/OLEStorage.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    v7::ThumbIndex index;
    v7::parseIndex(bytes, &index);
    if (qsizetype(index.size()) * 10 > bytes.size())
        std::abort(); // every entry takes at least a 10-byte header
    // A name whose bytes pass 255 cannot be read back (only the low byte of its
    // length counts); short of that, writing and reading again changes nothing.
    bool shortNames = true;
    index.forEach(
        [&shortNames](const v7::IndexEntry &e) { shortNames = shortNames && v7::ansiBytes(e.Name).size() < 256; });
    if (!shortNames)
        return 0;
    v7::ThumbIndex again;
    v7::parseIndex(v7::serializeIndex(index), &again);
    if (again.size() != index.size())
        std::abort();
    index.forEach([&again](const v7::IndexEntry &e) {
        const v7::IndexEntry *o = again.find(e.Name);
        if (!o || o->StreamId != e.StreamId || o->ByteCount != e.ByteCount)
            std::abort();
    });
    return 0;
}
