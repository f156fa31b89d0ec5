// What showing a picture with a colour profile costs: the lcms2 conversion to sRGB of
// a Display P3 picture at the sizes it runs on (a thumbnail, a preview on a 1920 x
// 1080 screen) against the size it would run on before the reduction (12 MP).
#include "imaging/ColourManage.h"

#include <benchmark/benchmark.h>

namespace
{

const QByteArray &displayP3()
{
    // Display P3: P3 primaries, D65 white, the sRGB curve.
    static const QByteArray icc = v7::iccFromNclx(
        v7::NclxColour { 12, 13, { 0.680f, 0.320f, 0.265f, 0.690f, 0.150f, 0.060f, 0.3127f, 0.3290f } });
    return icc;
}

QImage picture(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y) {
        uchar *row = img.scanLine(y);
        for (int x = 0; x < w; ++x) {
            row[3 * x] = uchar(x * 255 / w);
            row[3 * x + 1] = uchar(y * 255 / h);
            row[3 * x + 2] = uchar((x ^ y) & 0xFF);
        }
    }
    return img;
}

void convert(benchmark::State &state)
{
    const QImage src = picture(int(state.range(0)), int(state.range(1)));
    if (!v7::profileConverts(displayP3())) {
        state.SkipWithError("the Display P3 profile does not convert");
        return;
    }
    for (auto _ : state) {
        QImage out = v7::convertToSrgb(src, displayP3());
        benchmark::DoNotOptimize(out.constBits());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * state.range(1));
}

} // namespace

// A thumbnail (96 x 72 and 160 x 120), a preview on a full-HD screen, a 12-MP photo.
BENCHMARK(convert)
    ->Args({ 96, 72 })
    ->Args({ 160, 120 })
    ->Args({ 1920, 1080 })
    ->Args({ 4000, 3000 })
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
