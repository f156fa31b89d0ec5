// Browsing a folder end to end, in the real main window (offscreen):
//   cold  - a folder of 1,000 images with an empty cache: time from the listing to
//           the moment every visible cell holds its thumbnail in the store, and to
//           the moment the grid has painted every visible cell with it;
//   warm  - the same folder again, thumbnails in the cache;
//   photos - 295 camera-sized photos (up to 4000 x 3000) with an empty cache in a
//           1600 x 1000 window: visible cells in the store, on screen, and the
//           whole display;
//   scroll - painting the grid row by row from top to bottom, rows per second;
//   next preview - stepping to the next 24-megapixel JPEG in the preview, with the
//           next file prepared in the background while the current one is looked at.
//   grid_bench [WORKDIR [preview]]
#include "BenchUtil.h"
#include "app/Settings.h"
#include "app/Startup.h"
#include "browser/FileListModel.h"
#include "imaging/Prefetch.h"
#include "imaging/widgets/DrawView.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/ThumbBox.h"
#include "thumbs/ThumbX.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QItemSelectionModel>
#include <QPainter>
#include <QRandomGenerator>
#include <QSignalBlocker>
#include <QTemporaryDir>
#include <QThread>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <unistd.h>
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
    p.end();
    // Grain, so the encoder works as it does on a photograph.
    for (int y = 0; y < h; ++y) {
        auto *row = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int n = int(rng.bounded(17)) - 8;
            const QRgb c = row[x];
            row[x] = qRgb(
                std::clamp(qRed(c) + n, 0, 255), std::clamp(qGreen(c) + n, 0, 255), std::clamp(qBlue(c) + n, 0, 255));
        }
    }
    return img;
}

bool visibleFilled(Frm_Main &w)
{
    ThumbBox *box = w.thumbBox(0);
    const BitmapStore *store = w.store();
    if (!store)
        return false;
    const int last = box->viewBottomIndex();
    for (int i = box->viewTopIndex(); i <= last; ++i)
        if (!store->hasThumb(i))
            return false;
    return last >= 0;
}

// What the last paint of the grid showed: every visible cell with its thumbnail.
bool visiblePainted(Frm_Main &w)
{
    ThumbBox *box = w.thumbBox(0);
    return box->paintedCells() > 0 && box->paintedWithThumb() == box->paintedCells();
}

struct VisibleTimes {
    double inStore = 0, onScreen = 0, finished = 0; // ms after the listing started
    int cells = 0;
};

// cacheDir: emptied before the timed listing (a cold run), or empty to keep it.
// noPreview: the thumbnails take the preview's place too, so many rows are visible.
VisibleTimes timeToVisible(const QString &folder, QSize window, const QString &cacheDir, bool noPreview = false)
{
    Frm_Main w(folder);
    bool firstDisplay = false;
    QObject::connect(&w, &Frm_Main::firstDisplayStarted, [&] { firstDisplay = true; });
    w.Form_Load();
    w.showNormal();
    w.resize(window); // Form_Load restores the last run's geometry
    w.setViewShown(1, !noPreview);
    // The window's own first display is stopped: the timed listing below is the one.
    QElapsedTimer wait;
    wait.start();
    while (!firstDisplay && wait.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (w.store())
        WaitForStore(w.store());
    if (!cacheDir.isEmpty()) {
        QDir(cacheDir).removeRecursively();
        QDir().mkpath(cacheDir + QStringLiteral("/Vorlane7"));
    }
    VisibleTimes r;
    QElapsedTimer t;
    t.start();
    w.ListFolder(folder);
    while ((r.inStore == 0 || r.onScreen == 0) && t.elapsed() < 120000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const double now = double(t.nsecsElapsed()) / 1e6;
        if (r.inStore == 0 && visibleFilled(w))
            r.inStore = now;
        if (r.onScreen == 0 && visiblePainted(w))
            r.onScreen = now;
    }
    r.cells = w.thumbBox(0)->paintedCells();
    // Let the rest of the job finish so the cache is complete for the warm run.
    while (w.store() && !w.store()->finished() && t.elapsed() < 300000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    r.finished = double(t.nsecsElapsed()) / 1e6;
    w.setViewShown(1, true); // the next window restores what this one saves
    w.close();
    return r;
}

} // namespace

// The next-preview part, below main.
void benchNextPreview(const QString &work);

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir tmp;
    const QString work = argc > 1 ? QString::fromLocal8Bit(argv[1]) : tmp.path();
    // Settings and cache of our own, so the user's are not touched.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(work + QStringLiteral("/config")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(work + QStringLiteral("/cache")));
    SetThreadHasWindow(true);
    RegisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid()))); // worker threads may start
    LoadSettings();
    std::printf("ThreadMode %d, %d cores\n", settings().ThreadMode, QThread::idealThreadCount());
    // "grid_bench WORKDIR preview" measures only the next preview.
    if (argc > 2 && QByteArray(argv[2]) == "preview") {
        benchNextPreview(work);
        return 0;
    }

    // 1,000 camera-sized JPEGs (1600 x 1200, 10 different pictures).
    const QString folder = work + QStringLiteral("/folder1000");
    QDir().mkpath(folder);
    if (QDir(folder).count() < 1002) {
        std::vector<QByteArray> pictures;
        for (quint32 s = 1; s <= 10; ++s) {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            photoLike(1600, 1200, s).save(&buffer, "JPEG", 88);
            pictures.push_back(bytes);
        }
        for (int i = 0; i < 1000; ++i) {
            QFile f(folder + QStringLiteral("/IMG_%1.JPG").arg(i, 4, 10, QLatin1Char('0')));
            if (f.open(QIODevice::WriteOnly))
                f.write(pictures[size_t(i % 10)]);
        }
    }
    const QString cache = work + QStringLiteral("/cache");
    const VisibleTimes cold = timeToVisible(folder, QSize(1280, 900), cache);
    std::vector<double> warmStore, warmScreen;
    for (int i = 0; i < 3; ++i) {
        const VisibleTimes warm = timeToVisible(folder, QSize(1280, 900), QString());
        warmStore.push_back(warm.inStore);
        warmScreen.push_back(warm.onScreen);
    }
    std::printf("1,000 files of 1600 x 1200, %d visible cells: cold %.0f ms in the store, %.0f ms on screen; "
                "warm %.1f ms in the store, %.1f ms on screen (median of 3)\n",
        cold.cells,
        cold.inStore,
        cold.onScreen,
        median(warmStore),
        median(warmScreen));

    // Scrolling the whole grid row by row, each row painted.
    {
        Frm_Main w(folder);
        w.resize(1280, 900);
        w.Form_Load();
        w.ListFolder(folder);
        QElapsedTimer wait;
        wait.start();
        while (w.store() && !w.store()->finished() && wait.elapsed() < 120000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        ThumbBox *box = w.thumbBox(0);
        const int rows = box->geometry().rows;
        QImage surface(box->size(), QImage::Format_RGB32);
        QElapsedTimer t;
        t.start();
        for (int r = 0; r <= rows; ++r) {
            box->setScrollOffset(r * box->geometry().cellH);
            box->render(&surface);
        }
        const double secs = double(t.nsecsElapsed()) / 1e9;
        std::printf("scrolling %d rows, each painted: %.0f rows a second\n", rows, rows / secs);
        w.close();
    }

    // Camera-sized photos, as a user's folder holds them: 295 files of up to 4000 x
    // 3000 in a 1600 x 1000 window with the preview hidden (rows 1 to 8 visible),
    // empty cache.
    {
        const QString photos = work + QStringLiteral("/photos295");
        QDir().mkpath(photos);
        if (QDir(photos).count() < 297) {
            const QSize sizes[] = {
                { 4000, 3000 }, { 3000, 4000 }, { 4000, 2250 }, { 3264, 2448 }, { 2592, 1944 }, { 4000, 2667 }
            };
            std::vector<QByteArray> pictures;
            for (quint32 s = 0; s < 6; ++s) {
                QByteArray bytes;
                QBuffer buffer(&bytes);
                buffer.open(QIODevice::WriteOnly);
                photoLike(sizes[s].width(), sizes[s].height(), 200 + s).save(&buffer, "JPEG", 90);
                pictures.push_back(bytes);
            }
            for (int i = 0; i < 295; ++i) {
                QFile f(photos + QStringLiteral("/DSC%1.JPG").arg(i, 5, 10, QLatin1Char('0')));
                if (f.open(QIODevice::WriteOnly))
                    f.write(pictures[size_t(i % 6)]);
            }
        }
        const VisibleTimes p = timeToVisible(photos, QSize(1600, 1000), cache, true);
        std::printf("295 photos up to 4000 x 3000, empty cache, %d visible cells: %.0f ms in the store, %.0f ms on "
                    "screen, all 295 after %.0f ms\n",
            p.cells,
            p.inStore,
            p.onScreen,
            p.finished);
    }

    benchNextPreview(work);
    return 0;
}

namespace
{

void lookFor(int ms)
{
    QElapsedTimer look;
    look.start();
    while (look.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

} // namespace

// Stepping through 24-megapixel JPEGs in the preview of a 1600 x 1000 window,
// each looked at for 800 ms while the next one is prepared in the background. The
// step is timed from the call that shows the file to the composed image handed to
// the pane (effect 0, so the pane has it at once). Three rounds: no change, a fit
// change (Normal <-> Auto) while each file is looked at, a zoom change (0.5 <-> 2,
// fit Normal) likewise; after a change the file is looked at for another 800 ms.
void benchNextPreview(const QString &work)
{
    constexpr int Files = 6;
    const QString big = work + QStringLiteral("/big");
    QDir().mkpath(big);
    for (int i = 0; i < Files; ++i) {
        const QString name = big + QStringLiteral("/P%1.JPG").arg(i);
        if (!QFile::exists(name))
            photoLike(6000, 4000, quint32(100 + i)).save(name, "JPEG", 90);
    }
    struct Round {
        const char *name;
        std::function<void(Frm_Main &, int)> change; // before stepping to file i
    };
    const Round rounds[] = {
        { "next ones", {} },
        { "after a fit change between files (Normal <-> Auto), next ones",
            [](Frm_Main &w, int i) { w.chooseFitMode(i % 2 ? 1 : 0); } },
        { "after a zoom change between files (0.5 <-> 2, fit Normal), next ones",
            [](Frm_Main &w, int i) { w.ApplyZoom(ZoomFactor::fromScaled(i % 2 ? 5000 : 20000)); } },
    };
    for (const Round &round : rounds) {
        Frm_Main w(big);
        w.Form_Load();
        w.showNormal();
        w.resize(1600, 1000); // Form_Load restores the last run's geometry
        w.chooseFitMode(0);
        w.ApplyZoom(ZoomFactor::fromWhole(1));
        lookFor(200);
        w.ListFolder(big);
        // The window's own first display and the restored last file come first, so
        // they do not show another file or turn the direction of travel mid-round.
        lookFor(800);
        std::vector<double> steps;
        for (int i = 0; i < Files; ++i) {
            if (i > 0 && round.change) {
                round.change(w, i);
                lookFor(800);
            }
            {
                // The list's current entry follows, as when the user steps in it, so a
                // fit or zoom change shows this file again; without the deferred preview
                // a change of the current entry starts.
                QItemSelectionModel *selection = w.fileListView()->selectionModel();
                const QSignalBlocker quiet(selection);
                selection->setCurrentIndex(w.fileList()->index(i, 0), QItemSelectionModel::NoUpdate);
            }
            QElapsedTimer t;
            t.start();
            w.ShowCurrentImage(i);
            steps.push_back(double(t.nsecsElapsed()) / 1e6);
            lookFor(800);
        }
        std::printf("preview of a 24-megapixel JPEG, %s %.0f ms median, slowest %.0f ms (first %.0f ms, decoded on "
                    "the spot; %d prepared images served)\n",
            round.name,
            median(std::vector<double>(steps.begin() + 1, steps.end())),
            *std::max_element(steps.begin() + 1, steps.end()),
            steps[0],
            w.prefetcher().served());
        w.close();
    }
}
