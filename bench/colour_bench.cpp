// What showing a picture with a colour profile costs: the lcms2 conversion to sRGB of
// a Display P3 picture at the sizes it runs on (a thumbnail, a preview on a 1920 x
// 1080 screen) against the size it would run on before the reduction (12 MP); and a
// 12-MP picture held in its own colours, composed for the preview pane and for the
// viewer at natural size, with the pixels each frame converts.
#include "imaging/ColourManage.h"
#include "imaging/Draw.h"

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

// One frame: the held picture composed for a view, as a new file, window size or
// zoom composes it; the part around the view is converted only where it is shown.
void compose(benchmark::State &state, QSize box, const char *fitMode, bool profile)
{
    v7::ViewState vs;
    vs.current = picture(4000, 3000);
    if (profile)
        vs.currentIcc = displayP3();
    // The first composition turns the held picture to the display format once.
    v7::ComposeFitted(vs, box, QString::fromLatin1(fitMode), {}, false);
    const std::int64_t before = v7::convertedPixelCount();
    for (auto _ : state) {
        v7::ReleaseOffscreen(vs);
        const bool ok = v7::ComposeFitted(vs, box, QString::fromLatin1(fitMode), {}, false);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(vs.offscreen.constBits());
    }
    state.counters["converted_px"] = double(v7::convertedPixelCount() - before) / double(state.iterations());
    state.counters["composed_px"] = double(vs.offscreen.width()) * vs.offscreen.height();
}

} // namespace

// The preview pane (1280 x 800, "FitAuto") and the viewer at natural size on a
// full-HD screen ("FitNormal"), without and with a profile: the difference is the
// conversion's cost per frame, against `convert/4000/3000` for the whole picture.
BENCHMARK_CAPTURE(compose, preview_plain, QSize(1280, 800), "FitAuto", false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(compose, preview_p3, QSize(1280, 800), "FitAuto", true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(compose, viewer_natural_plain, QSize(1920, 1080), "FitNormal", false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(compose, viewer_natural_p3, QSize(1920, 1080), "FitNormal", true)->Unit(benchmark::kMillisecond);

// A thumbnail (96 x 72 and 160 x 120), a preview on a full-HD screen, a 12-MP photo.
BENCHMARK(convert)
    ->Args({ 96, 72 })
    ->Args({ 160, 120 })
    ->Args({ 1920, 1080 })
    ->Args({ 4000, 3000 })
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
