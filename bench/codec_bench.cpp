// The codec layer's hot paths on camera-like JPEGs, one core, side by side with
// the floor TurboJPEG itself sets and with vipsthumbnail on the same files:
//   - full-size decode (LoadImageDib, LoadImageDdb) and 1/8 decode (rdjpgfiledib)
//   - the thumbnail path: LoadImageDib reduced, shrink to fit ThumbW x ThumbH with
//     ScaleDib, encode as thumbnail bytes (JPEG q75)
//   - the floor: TurboJPEG decode at 1/8 into a reused buffer, nearest-pixel shrink,
//     encode q75
//   - vipsthumbnail -s 96x72 on the same files, one process, one thread
// Usage: codec_bench [FOLDER [ROUNDS]]   (images from bench/codec_make_images.sh)
#include "BenchUtil.h"
#include "app/Settings.h"
#include "imaging/Codecs.h"
#include "imaging/ImageLoad.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <turbojpeg.h>
#include <vector>

namespace
{
using v7bench::median;

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Median milliseconds per file of fn over all files and rounds (one warm-up pass).
double timePerFile(const QStringList &files, int rounds, const std::function<bool(const QString &)> &fn)
{
    for (const QString &f : files)
        if (!fn(f))
            std::fprintf(stderr, "failed: %s\n", qPrintable(f));
    std::vector<double> t;
    for (int r = 0; r < rounds; ++r) {
        for (const QString &f : files) {
            const auto t0 = Clock::now();
            fn(f);
            t.push_back(msSince(t0));
        }
    }
    return median(t);
}

QSize fitBox(QSize s, int bw, int bh)
{
    if (s.width() <= bw && s.height() <= bh)
        return s;
    if (double(s.width()) / bw <= double(s.height()) / bh)
        return QSize(std::max(1, s.width() * bh / s.height()), bh);
    return QSize(bw, std::max(1, s.height() * bw / s.width()));
}

// The thumbnail path of the browser.
bool thumbnailPath(const QString &file, QByteArray &out)
{
    const QImage dib = v7::LoadImageDib(file, 0, false);
    if (dib.isNull())
        return false;
    const QSize fit = fitBox(dib.size(), v7::settings().ThumbW, v7::settings().ThumbH);
    const QImage small = fit == dib.size() ? dib : v7::ScaleDib(dib, fit.width(), fit.height());
    return v7::wrjpgstreamdib(small, 75, out);
}

// What TurboJPEG alone costs for the same job, everything reused.
struct Floor {
    tjhandle dec = tjInitDecompress();
    tjhandle enc = tjInitCompress();
    std::vector<unsigned char> file, pixels, small;
    unsigned char *jpeg = nullptr;
    unsigned long jpegCap = 0;
    ~Floor()
    {
        tjDestroy(dec);
        tjDestroy(enc);
        if (jpeg)
            tjFree(jpeg);
    }
    bool run(const QString &name)
    {
        QFile in(name);
        if (!in.open(QIODevice::ReadOnly))
            return false;
        file.resize(std::size_t(in.size()));
        if (in.read(reinterpret_cast<char *>(file.data()), in.size()) != in.size())
            return false;
        int w = 0, h = 0, ss = 0, cs = 0;
        if (tjDecompressHeader3(dec, file.data(), file.size(), &w, &h, &ss, &cs) != 0)
            return false;
        const int sw = (w + 7) / 8, sh = (h + 7) / 8;
        pixels.resize(std::size_t(sw) * sh * 3);
        if (tjDecompress2(dec, file.data(), file.size(), pixels.data(), sw, sw * 3, sh, TJPF_RGB, 0) != 0)
            return false;
        const QSize fit = fitBox(QSize(sw, sh), 96, 72);
        const int dw = fit.width(), dh = fit.height();
        small.assign(std::size_t(dw) * dh * 3, 0);
        for (int y = 0; y < dh; ++y) { // nearest sample: the cheapest shrink there is
            const unsigned char *row = pixels.data() + std::size_t(y * sh / dh) * sw * 3;
            for (int x = 0; x < dw; ++x)
                std::memcpy(&small[(std::size_t(y) * dw + x) * 3], row + std::size_t(x * sw / dw) * 3, 3);
        }
        const unsigned long need = tjBufSize(dw, dh, TJSAMP_420);
        if (jpegCap < need) {
            if (jpeg)
                tjFree(jpeg);
            jpeg = tjAlloc(int(need));
            jpegCap = need;
        }
        unsigned long size = jpegCap;
        return tjCompress2(enc, small.data(), dw, dw * 3, dh, TJPF_RGB, &jpeg, &size, TJSAMP_420, 75, TJFLAG_NOREALLOC)
            == 0;
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString folder = args.size() > 1 ? args[1] : QStringLiteral("build/bench-images");
    const int rounds = args.size() > 2 ? std::max(1, args[2].toInt()) : 3;
    QStringList files;
    for (const QString &n : QDir(folder).entryList({ QStringLiteral("*.jpg") }, QDir::Files, QDir::Name))
        files << QDir(folder).filePath(n);
    if (files.isEmpty()) {
        std::fprintf(stderr, "no JPEG files in %s; run bench/codec_make_images.sh first\n", qPrintable(folder));
        return 2;
    }
    v7::settings().ThumbW = 96;
    v7::settings().ThumbH = 72;
    v7::setScreenDepth(24);
    const QImage probe = v7::LoadImageDib(files.first(), 0, true);
    std::printf("%lld files like %s (%dx%d), %d rounds, medians per file, one thread\n",
        static_cast<long long>(files.size()),
        qPrintable(QFileInfo(files.first()).fileName()),
        probe.width(),
        probe.height(),
        rounds);

    const double full =
        timePerFile(files, rounds, [](const QString &f) { return !v7::LoadImageDib(f, 0, true).isNull(); });
    const double fullDdb = timePerFile(
        files, rounds, [](const QString &f) { return !v7::LoadImageDdb(f, v7::ScreenContext, true).isNull(); });
    const double eighth =
        timePerFile(files, rounds, [](const QString &f) { return !v7::rdjpgfiledib(f, 24, 8).isNull(); });
    QByteArray bytes;
    const double thumb = timePerFile(files, rounds, [&bytes](const QString &f) { return thumbnailPath(f, bytes); });
    Floor floorJob;
    const double floor = timePerFile(files, rounds, [&floorJob](const QString &f) { return floorJob.run(f); });

    // Two threads, one file each at a time: the throughput of a two-core machine.
    double twoThreads = 0;
    {
        const int total = int(files.size()) * rounds;
        std::atomic<int> next { 0 };
        const auto t0 = Clock::now();
        auto worker = [&] {
            v7::settings().ThumbW = 96;
            v7::settings().ThumbH = 72;
            QByteArray out;
            for (int i; (i = next.fetch_add(1)) < total;)
                thumbnailPath(files[i % files.size()], out);
        };
        std::thread a(worker), b(worker);
        a.join();
        b.join();
        twoThreads = total / (msSince(t0) / 1000.0);
    }

    double vips = -1;
    const QString vipsExe = QStandardPaths::findExecutable(QStringLiteral("vipsthumbnail"));
    if (!vipsExe.isEmpty()) {
        QTemporaryDir out;
        std::vector<double> t;
        for (int r = 0; r < rounds + 1; ++r) {
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("VIPS_CONCURRENCY"), QStringLiteral("1"));
            p.setProcessEnvironment(env);
            QStringList vargs = { QStringLiteral("-s"),
                QStringLiteral("96x72"),
                QStringLiteral("-o"),
                out.path() + QStringLiteral("/%s.jpg[Q=75]") };
            vargs += files;
            const auto t0 = Clock::now();
            p.start(vipsExe, vargs);
            p.waitForFinished(-1);
            if (r > 0) // the first run warms the file cache
                t.push_back(msSince(t0) / double(files.size()));
        }
        vips = median(t);
    }

    std::printf("%-52s %9s %9s\n", "", "ms/file", "files/s");
    auto row = [](const char *what, double ms) { std::printf("%-52s %9.1f %9.1f\n", what, ms, 1000.0 / ms); };
    row("decode full size (LoadImageDib)", full);
    row("decode full size, device bitmap (LoadImageDdb)", fullDdb);
    row("decode at 1/8 (rdjpgfiledib)", eighth);
    row("thumbnail path (LoadImageDib reduced+ScaleDib+q75)", thumb);
    row("TurboJPEG floor (1/8 decode+shrink+q75, reused)", floor);
    if (vips > 0)
        row("vipsthumbnail -s 96x72, one thread (same files)", vips);
    else
        std::printf("vipsthumbnail not found (Debian: libvips-tools)\n");
    std::printf("%-52s %9s %9.1f\n", "thumbnail path, two threads", "", twoThreads);
    std::printf("thumbnail path / floor: %.2f", thumb / floor);
    if (vips > 0)
        std::printf("   thumbnail path / vipsthumbnail: %.2f", thumb / vips);
    std::printf("\n");
    return 0;
}
