// The whole load dispatch on arbitrary bytes: the information query, both loaders
// at full size and reduced, an 8-bit device, and the thumbnail-stream decoder.
#include "FuzzImaging.h"
#include "app/Settings.h"
#include "imaging/ImageLoad.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace
{
QString g_path;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    v7fuzz::limitPixels();
    v7::settings().ThumbW = 96;
    v7::settings().ThumbH = 72;
    // The loaders read files: one scratch file per process, rewritten per input.
    g_path = QStringLiteral("/tmp/v7fuzz_dispatch_%1.img").arg(::getpid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray path = g_path.toLocal8Bit();
    FILE *f = std::fopen(path.constData(), "wb");
    if (!f)
        return 0;
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);

    v7::ImageFileInfo info;
    info.fileName = g_path;
    v7::GetImageInfo(info);
    v7fuzz::checksum(v7::LoadImageDib(g_path, 0, true));
    v7fuzz::checksum(v7::LoadImageDib(g_path, 0, false));
    v7::setScreenDepth(size % 2 ? 8 : 32);
    v7fuzz::checksum(v7::LoadImageDdb(g_path, v7::ScreenContext, size % 3 == 0));
    v7fuzz::checksum(v7::DecodeThumbStream(reinterpret_cast<const char *>(data), size));
    return 0;
}
