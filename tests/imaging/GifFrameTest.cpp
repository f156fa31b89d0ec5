// A GIF whose first frame covers only part of its logical screen: the frame is
// drawn at its own place, the rest of the screen shows the background colour.
#include "TestEnv.h"
#include "imaging/Codecs.h"

#include <QTemporaryDir>
#include <gif_lib.h>
#include <gtest/gtest.h>
#include <vector>

using namespace v7;

namespace
{

QRgb paletteColour(int i)
{
    return qRgb((i * 37 + 11) & 0xFF, (i * 91 + 5) & 0xFF, (i * 53 + 200) & 0xFF);
}

int appendBytes(GifFileType *gif, const GifByteType *data, int n)
{
    static_cast<QByteArray *>(gif->UserData)->append(reinterpret_cast<const char *>(data), n);
    return n;
}

// A screen of sw x sh with background index bg, and one frame of fw x fh at (left, top)
// whose pixel (x, y) has index 1 + (x + y * fw) % 7.
QByteArray gifWithFrame(int sw, int sh, int bg, int left, int top, int fw, int fh, bool interlaced)
{
    std::vector<GifColorType> colours(8);
    for (int i = 0; i < 8; ++i)
        colours[std::size_t(i)] = { GifByteType(qRed(paletteColour(i))),
            GifByteType(qGreen(paletteColour(i))),
            GifByteType(qBlue(paletteColour(i))) };
    ColorMapObject *map = GifMakeMapObject(8, colours.data());
    QByteArray out;
    int err = 0;
    GifFileType *gif = EGifOpen(&out, appendBytes, &err);
    bool ok = gif && EGifPutScreenDesc(gif, sw, sh, 3, bg, map) == GIF_OK
        && EGifPutImageDesc(gif, left, top, fw, fh, interlaced, nullptr) == GIF_OK;
    // An interlaced frame's rows are written in pass order.
    std::vector<int> order;
    if (interlaced) {
        for (int start : { 0, 4, 2, 1 })
            for (int y = start; y < fh; y += start == 0 ? 8 : start == 4 ? 8 : start == 2 ? 4 : 2)
                order.push_back(y);
    } else {
        for (int y = 0; y < fh; ++y)
            order.push_back(y);
    }
    std::vector<GifPixelType> line(static_cast<std::size_t>(fw));
    for (int y : order) {
        for (int x = 0; x < fw; ++x)
            line[std::size_t(x)] = GifPixelType(1 + (x + y * fw) % 7);
        ok = ok && EGifPutLine(gif, line.data(), fw) == GIF_OK;
    }
    if (gif)
        ok = EGifCloseFile(gif, &err) == GIF_OK && ok;
    GifFreeMapObject(map);
    EXPECT_TRUE(ok);
    return out;
}

} // namespace

TEST(GifFrame, AFramePlacedInsideTheScreenIsDrawnAtItsPlace)
{
    struct Case {
        const char *what;
        int left, top, fw, fh;
        bool interlaced;
    } cases[] = {
        { "inside", 3, 2, 4, 3, false },
        { "inside, interlaced", 1, 1, 5, 11, true },
        { "at the right and bottom edges", 6, 10, 4, 6, false },
    };
    QTemporaryDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const QString file = dir.filePath(QStringLiteral("f.gif"));
        v7test::writeFile(file, gifWithFrame(10, 16, 0, c.left, c.top, c.fw, c.fh, c.interlaced));
        const QImage img = rdgiffiledib(file, 24);
        ASSERT_EQ(img.size(), QSize(10, 16));
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 10; ++x) {
                const int fx = x - c.left, fy = y - c.top;
                const bool inFrame = fx >= 0 && fx < c.fw && fy >= 0 && fy < c.fh;
                const int index = inFrame ? 1 + (fx + fy * c.fw) % 7 : 0;
                ASSERT_EQ(img.pixel(x, y), paletteColour(index)) << x << "," << y;
            }
    }
}
