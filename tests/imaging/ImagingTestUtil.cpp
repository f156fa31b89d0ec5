#include "ImagingTestUtil.h"

#include <QProcess>
#include <QStandardPaths>
#include <cmath>
#include <cstdint>

namespace v7test
{

QImage makePhoto(int width, int height, unsigned seed)
{
    QImage img(width, height, QImage::Format_RGB888);
    std::uint32_t state = seed * 2654435761u + 12345u;
    auto noise = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return int(state % 17) - 8;
    };
    const double cx = width * 0.6, cy = height * 0.4, rad = std::min(width, height) * 0.3;
    for (int y = 0; y < height; ++y) {
        uchar *p = img.scanLine(y);
        for (int x = 0; x < width; ++x, p += 3) {
            double r = 128 + 100 * std::sin(x * 0.021 + seed) * std::cos(y * 0.017);
            double g = 40 + 180.0 * y / std::max(1, height - 1);
            double b = 60 + 150.0 * x / std::max(1, width - 1);
            const double d = std::hypot(x - cx, y - cy);
            if (d < rad) { // a disc with a soft rim
                r = r * 0.3 + 170;
                g *= 0.5;
            }
            if ((x / 16 + y / 16) % 7 == 0) // hard-edged tiles
                b = 255 - b;
            auto clamp = [](double v) { return uchar(std::lround(std::min(255.0, std::max(0.0, v)))); };
            p[0] = clamp(r + noise());
            p[1] = clamp(g + noise());
            p[2] = clamp(b + noise());
        }
    }
    return img;
}

bool haveTool(const QString &program)
{
    return !QStandardPaths::findExecutable(program).isEmpty();
}

bool runTool(const QString &program, const QStringList &args, QByteArray *stdoutBytes)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(10000) || !p.waitForFinished(120000))
        return false;
    if (stdoutBytes)
        *stdoutBytes = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QImage peerDecode(const QString &file, const QString &tool)
{
    QByteArray out;
    // "[0]" picks the first frame; for PhotoCD it would pick the smallest resolution.
    const bool frames = !file.endsWith(QLatin1String(".pcd"), Qt::CaseInsensitive);
    const QStringList args = { frames ? file + QStringLiteral("[0]") : file,
        QStringLiteral("-depth"),
        QStringLiteral("8"),
        QStringLiteral("ppm:-") };
    bool ok = tool == QLatin1String("gm") ? runTool(tool, QStringList { QStringLiteral("convert") } + args, &out)
                                          : runTool(tool, args, &out);
    if (!ok)
        return {};
    return QImage::fromData(out, "PPM").convertToFormat(QImage::Format_RGB888);
}

namespace
{
    template <typename F> bool eachChannel(const QImage &a0, const QImage &b0, F f)
    {
        if (a0.size() != b0.size() || a0.isNull())
            return false;
        const QImage a = a0.convertToFormat(QImage::Format_RGB888), b = b0.convertToFormat(QImage::Format_RGB888);
        for (int y = 0; y < a.height(); ++y) {
            const uchar *pa = a.constScanLine(y), *pb = b.constScanLine(y);
            for (int i = 0; i < a.width() * 3; ++i)
                f(pa[i], pb[i]);
        }
        return true;
    }
} // namespace

int maxChannelDiff(const QImage &a, const QImage &b)
{
    int m = 0;
    if (!eachChannel(a, b, [&m](int x, int y) { m = std::max(m, std::abs(x - y)); }))
        return -1;
    return m;
}

double meanChannelDiff(const QImage &a, const QImage &b)
{
    double sum = 0;
    std::int64_t n = 0;
    if (!eachChannel(a, b, [&](int x, int y) {
            sum += std::abs(x - y);
            ++n;
        }))
        return 1e9;
    return n ? sum / double(n) : 0;
}

double psnr(const QImage &a, const QImage &b)
{
    double se = 0;
    std::int64_t n = 0;
    if (!eachChannel(a, b, [&](int x, int y) {
            se += double(x - y) * (x - y);
            ++n;
        }))
        return 0;
    if (se == 0)
        return 99;
    return 10 * std::log10(255.0 * 255.0 / (se / double(n)));
}

double lumaCorrelation(const QImage &a0, const QImage &b0)
{
    if (a0.size() != b0.size() || a0.isNull())
        return 0;
    const QImage a = a0.convertToFormat(QImage::Format_RGB888), b = b0.convertToFormat(QImage::Format_RGB888);
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    const double n = double(a.width()) * a.height();
    for (int y = 0; y < a.height(); ++y) {
        const uchar *pa = a.constScanLine(y), *pb = b.constScanLine(y);
        for (int x = 0; x < a.width(); ++x, pa += 3, pb += 3) {
            const double la = 0.299 * pa[0] + 0.587 * pa[1] + 0.114 * pa[2];
            const double lb = 0.299 * pb[0] + 0.587 * pb[1] + 0.114 * pb[2];
            sa += la;
            sb += lb;
            saa += la * la;
            sbb += lb * lb;
            sab += la * lb;
        }
    }
    const double cov = sab / n - (sa / n) * (sb / n);
    const double va = saa / n - (sa / n) * (sa / n), vb = sbb / n - (sb / n) * (sb / n);
    return va > 0 && vb > 0 ? cov / std::sqrt(va * vb) : 0;
}

} // namespace v7test
