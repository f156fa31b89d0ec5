// Any bytes as a settings file: parsing must not crash, and what parses must
// survive its own serialisation unchanged.
#include "platform/Hive.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto parsed = v7::HiveData::parse(bytes);
    if (!parsed)
        return 0;
    const QByteArray again = parsed->serialize();
    const auto reparsed = v7::HiveData::parse(again);
    if (!reparsed || reparsed->serialize() != again)
        std::abort();
    return 0;
}
