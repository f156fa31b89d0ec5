// The full-screen viewer in the real main window on the offscreen platform, at
// 1920 x 1080 (run with QT_QPA_PLATFORM=offscreen; the program asks for a screen
// of that size itself):
//   next photo - a key to the next 24-megapixel JPEG after the current one has
//                been looked at for 600 ms, timed until the window has painted it
//                (fit "FitNormal", the first-run default, and "FitAuto");
//   slideshow  - a slideshow at a delay of 1000 ms over 12-megapixel JPEGs: how
//                late each step lands against the schedule of the first;
//   mosaic     - a mosaic of nine 12-megapixel JPEGs drawn from nothing decoded,
//                and the next page (decoded ahead while the first was shown).
//   viewer_bench [WORKDIR [next|slideshow|mosaic]]   (all three without the second)
#include "BenchUtil.h"
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "mainwin/Frm_Main.h"
#include "viewer/Frm_Zoom.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QKeyEvent>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTreeView>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

using namespace v7;

namespace
{
using v7bench::median;

QImage photoLike(int w, int h, quint32 seed)
{
    QImage img(w, h, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, QColor::fromHsv(int(seed * 47 % 360), 160, 200));
    g.setColorAt(1, QColor::fromHsv(int(seed * 91 % 360), 200, 90));
    p.fillRect(img.rect(), g);
    QRandomGenerator rng(seed);
    for (int i = 0; i < 60; ++i) {
        p.setBrush(QColor::fromHsv(rng.bounded(360), 120 + rng.bounded(100), 80 + rng.bounded(170), 160));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPoint(rng.bounded(w), rng.bounded(h)), 20 + rng.bounded(w / 6), 20 + rng.bounded(h / 6));
    }
    // Fine noise, so the files cost what camera files cost to decode.
    for (int y = 0; y < h; y += 2) {
        auto *row = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < w; ++x)
            row[x] ^= rng.generate() & 0x0F0F0F;
    }
    return img;
}

QString makeFolder(const QString &root, const char *name, int files, QSize size)
{
    const QString dir = root + u'/' + QLatin1String(name);
    QDir().mkpath(dir);
    for (int i = 0; i < files; ++i) {
        const QString file = dir + QStringLiteral("/P%1.JPG").arg(i, 3, 10, QLatin1Char('0'));
        if (!QFile::exists(file))
            photoLike(size.width(), size.height(), quint32(7 + i)).save(file, "JPEG", 90);
    }
    return dir;
}

// CPU time of the calling thread: what a step costs the user-interface thread
// itself, whatever else the machine runs.
double threadCpuMs()
{
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

void lookFor(int ms)
{
    QElapsedTimer look;
    look.start();
    while (look.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

void press(QWidget *w, int key)
{
    QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(w, &down);
}

// The browser on folder with the viewer open on its first file, full screen.
Frm_Zoom *openViewer(Frm_Main &w, const QString &folder)
{
    w.Form_Load();
    w.showNormal();
    w.resize(1600, 1000);
    lookFor(300);
    w.ListFolder(folder);
    w.fileListView()->setCurrentIndex(w.fileList()->index(0, 0));
    lookFor(800);
    w.ZoomStep(QString());
    Frm_Zoom *zoom = w.zoomWindow();
    if (w.fileList()->rowCount() == 0 || !zoom || !zoom->isVisible()) {
        std::fprintf(stderr, "the viewer did not open on %s\n", qPrintable(folder));
        std::exit(1);
    }
    lookFor(300);
    return zoom;
}

void benchNext(const QString &folder, const char *fit)
{
    Frm_Main w(folder);
    w.SetViewType(QString::fromLatin1(fit));
    Frm_Zoom *zoom = openViewer(w, folder);
    std::printf("viewer window %d x %d\n", zoom->width(), zoom->height());
    zoom->ChooseMode(false);
    std::vector<double> steps, ready, cpu;
    const int served = zoom->cache().served();
    const int files = w.fileList()->rowCount();
    for (int i = 0; i < files + 2; ++i) {
        lookFor(600);
        // Whether the decode ahead had finished: on a loaded machine it may not
        // have, and the step then waits for it.
        const bool done = !zoom->cache().busy();
        const double cpu0 = threadCpuMs();
        QElapsedTimer t;
        t.start();
        press(zoom, Qt::Key_Space);
        QCoreApplication::processEvents(); // the paint
        const double ms = double(t.nsecsElapsed()) / 1e6;
        steps.push_back(ms);
        cpu.push_back(threadCpuMs() - cpu0);
        if (done)
            ready.push_back(ms);
    }
    std::printf("next 24-megapixel JPEG (%s): %.0f ms median, slowest %.0f ms, over %zu steps (%d served ahead, %d "
                "decoded on the spot); %zu steps found the decode ahead finished: %.0f ms median; the user-interface "
                "thread's CPU time per step %.1f ms median\n",
        fit,
        median(steps),
        *std::max_element(steps.begin(), steps.end()),
        steps.size(),
        zoom->cache().served() - served,
        zoom->cache().decodedOnDemand(),
        ready.size(),
        ready.empty() ? 0.0 : median(ready),
        median(cpu));
    press(zoom, Qt::Key_Escape);
    w.close();
}

void benchSlideshow(const QString &folder)
{
    Frm_Main w(folder);
    w.SetViewType(QStringLiteral("FitAuto"));
    Frm_Zoom *zoom = openViewer(w, folder);
    zoom->ChooseMode(false);
    QKeyEvent shorter(QEvent::KeyPress, Qt::Key_Slash, Qt::KeypadModifier);
    QApplication::sendEvent(zoom, &shorter); // 1000 ms
    QElapsedTimer clock;
    clock.start();
    std::vector<double> at;
    QObject::connect(zoom, &Frm_Zoom::drawn, zoom, [&] {
        QCoreApplication::processEvents(); // counted once painted
        at.push_back(double(clock.nsecsElapsed()) / 1e6);
    });
    zoom->StartStop();
    const int steps = 14;
    while (int(at.size()) < steps && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    zoom->StartStop();
    double late = 0;
    for (size_t i = 1; i < at.size(); ++i)
        late = std::max(late, std::abs(at[i] - at[0] - 1000.0 * double(i)));
    std::printf("slideshow at 1000 ms over 12-megapixel JPEGs: %zu steps, latest %.1f ms off schedule (%d decoded on "
                "the spot)\n",
        at.size(),
        late,
        zoom->cache().decodedOnDemand());
    press(zoom, Qt::Key_Escape);
    w.close();
}

void benchMosaic(const QString &folder)
{
    Frm_Main w(folder);
    Frm_Zoom *zoom = openViewer(w, folder);
    std::vector<double> cold, ahead;
    for (int round = 0; round < 3; ++round) {
        zoom->cache().clear();
        zoom->cache().waitIdle();
        QElapsedTimer t;
        t.start();
        zoom->MosaicStep();
        QCoreApplication::processEvents();
        cold.push_back(double(t.nsecsElapsed()) / 1e6);
        lookFor(1500); // the next page decodes meanwhile
        t.start();
        zoom->MosaicStep();
        QCoreApplication::processEvents();
        ahead.push_back(double(t.nsecsElapsed()) / 1e6);
        lookFor(300);
    }
    std::printf("mosaic of nine 12-megapixel JPEGs: %.0f ms median from nothing decoded (slowest %.0f ms), next page "
                "%.0f ms\n",
        median(cold),
        *std::max_element(cold.begin(), cold.end()),
        median(ahead));
    press(zoom, Qt::Key_Escape);
    w.close();
}

} // namespace

int main(int argc, char **argv)
{
    // The offscreen platform's screen, at the size the goals are stated for.
    QTemporaryDir config;
    const QString screens = config.filePath(QStringLiteral("screens.json"));
    {
        QFile f(screens);
        if (f.open(QIODevice::WriteOnly))
            f.write(
                R"({"screens":[{"name":"bench","x":0,"y":0,"width":1920,"height":1080,"logicalDpi":96,"logicalDpiX":96,"logicalDpiY":96}]})");
    }
    if (qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen"))
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + QFile::encodeName(screens));
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.filePath(QStringLiteral("cache"))));
    QApplication app(argc, argv);
    const QString work =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath() + QStringLiteral("/viewer_bench");
    std::printf("making photos in %s ...\n", qPrintable(work));
    std::fflush(stdout);
    const QString big = makeFolder(work, "24mp", 6, QSize(6000, 4000));
    const QString camera = makeFolder(work, "12mp", 12, QSize(4000, 3000));
    settings() = Settings();
    LoadSettings(); // the first run's file types: the list holds the photos
    const QString only = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    if (only.isEmpty() || only == QLatin1String("next")) {
        benchNext(big, "FitNormal");
        benchNext(big, "FitAuto");
    }
    if (only.isEmpty() || only == QLatin1String("slideshow"))
        benchSlideshow(camera);
    if (only.isEmpty() || only == QLatin1String("mosaic"))
        benchMosaic(camera);
    return 0;
}
