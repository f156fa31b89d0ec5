// Any bytes as the worker program's output or input: the frame reader and the two
// payload decoders must not crash, and what decodes must survive encoding and
// decoding again unchanged (names that are not UTF-8 change once, on the first decode).
#include "platform/ComponentProtocol.h"

#include <cstdint>
#include <cstdlib>

using namespace v7::component;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FrameReader reader;
    // Fed in two pieces, as a pipe may split it.
    const std::size_t half = size / 2;
    reader.feed(reinterpret_cast<const char *>(data), qsizetype(half));
    reader.feed(reinterpret_cast<const char *>(data) + half, qsizetype(size - half));
    while (auto f = reader.next()) {
        if (f->type == FrameType::ThumbProcess) {
            if (auto a = decodeThumbProcess(f->payload)) {
                const QByteArray once = encodeThumbProcess(*a);
                const auto again = decodeThumbProcess(once);
                if (!again || encodeThumbProcess(*again) != once)
                    std::abort();
            }
        } else if (f->type == FrameType::ThumbsDisplay) {
            if (auto t = decodeThumbsDisplay(f->payload); t && encodeThumbsDisplay(*t) != f->payload)
                std::abort();
        }
    }
    return 0;
}
