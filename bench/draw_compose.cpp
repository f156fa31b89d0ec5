// Composing a held 24-megapixel image for a 1920 x 1080 view: what a new fit
// mode, zoom or window size costs once the file has been decoded.
#include "imaging/Draw.h"

#include <benchmark/benchmark.h>

namespace
{

QImage cameraLikeImage()
{
    // A gradient with detail, so the scalers cannot take a shortcut.
    QImage img(6000, 4000, QImage::Format_RGB888);
    for (int y = 0; y < img.height(); ++y) {
        uchar *row = img.scanLine(y);
        for (int x = 0; x < img.width(); ++x) {
            row[3 * x] = uchar(x * 255 / img.width());
            row[3 * x + 1] = uchar(y * 255 / img.height());
            row[3 * x + 2] = uchar((x ^ y) & 0xFF);
        }
    }
    return img;
}

const QImage &heldImage()
{
    static const QImage img = cameraLikeImage();
    return img;
}

void composeHeld(benchmark::State &state, const char *fitMode, bool quality)
{
    v7::ViewState vs;
    vs.current = heldImage();
    // The first composition converts the held image to the display format once.
    v7::ComposeFitted(vs, QSize(1920, 1080), QString::fromLatin1(fitMode), {}, quality);
    for (auto _ : state) {
        const bool ok = v7::ComposeFitted(vs, QSize(1920, 1080), QString::fromLatin1(fitMode), {}, quality);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(vs.offscreen.constBits());
    }
    state.counters["out_w"] = vs.imageW;
    state.counters["out_h"] = vs.imageH;
}

// The once-per-decode cost: conversion of a freshly decoded image plus the
// first composition.
void composeFirst(benchmark::State &state, bool quality)
{
    for (auto _ : state) {
        v7::ViewState vs;
        vs.current = heldImage();
        const bool ok = v7::ComposeFitted(vs, QSize(1920, 1080), u"FitAuto", {}, quality);
        benchmark::DoNotOptimize(ok);
    }
}

} // namespace

BENCHMARK_CAPTURE(composeHeld, fit_auto_fast, "FitAuto", false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(composeHeld, fit_auto_smooth, "FitAuto", true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(composeHeld, fit_width_fast, "FitWidth", false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(composeHeld, fit_width_smooth, "FitWidth", true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(composeFirst, fit_auto_fast, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(composeFirst, fit_auto_smooth, true)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
