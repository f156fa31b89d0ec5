// The viewer's images decoded ahead: the next and previous photo at the size the
// window will draw them, the photos just shown (within a memory bound), and the
// cells of a mosaic, each decoded at the reduction its cell needs. Decodes run on
// a small pool of threads, so nine mosaic cells decode in parallel and a step
// finds its photo ready.
//
// Threads: every member is called from one thread (the user-interface thread);
// the loaders run on the pool's threads and must be thread-safe.
#pragma once

#include "imaging/ViewState.h"
#include "imaging/Zoom.h"

#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <vector>

namespace v7
{

// What a photo is drawn for: the window's size, the fit mode and the zoom, the
// scaling quality (E_Quality) and the colour under transparent parts.
struct ViewTarget {
    QSize box;
    QString fitMode;
    ZoomFactor zoom;
    bool quality = false;
    QRgb background = 0xFF000000u;
    bool operator==(const ViewTarget &) const = default;
};

struct PreparedImage {
    // null when the file could not be decoded; in the file's colours when
    // view.currentIcc is set (what is composed of it is converted)
    QImage image;
    QSize natural; // the file's own (upright) size
    // The photo composed for target as the drawing layer composes it (the held
    // part, where it starts, the composed size and the centred offsets, and the
    // decode in the display's format), so that showing it only copies; no
    // offscreen when it could not be composed.
    ViewState view;
    qint64 bytes() const;
};

// A photo decoded as large as target needs and no larger (a JPEG at 1/2, 1/4 or
// 1/8 where that still covers the fitted size), transparent parts flattened onto
// the background, and composed for the window.
PreparedImage PrepareViewerImage(const QString &file, const ViewTarget &target);
// A mosaic cell: the photo fitted ("FitAuto") into cell and scaled to that size
// (smoothly when quality is set). A JPEG's embedded preview serves when it is at
// least as large as the fitted size and of the photo's shape; else the JPEG is
// decoded at the largest reduction that covers the cell.
QImage PrepareMosaicCell(const QString &file, QSize cell, bool quality);

class ViewerCache
{
public:
    using Loader = std::function<PreparedImage(const QString &file, const ViewTarget &target)>;
    using CellLoader = std::function<QImage(const QString &file, QSize cell, bool quality)>;
    // threads 0: as many as the machine has cores (at least two).
    explicit ViewerCache(
        Loader loader = PrepareViewerImage, CellLoader cellLoader = PrepareMosaicCell, int threads = 0);
    ~ViewerCache();
    ViewerCache(const ViewerCache &) = delete;
    ViewerCache &operator=(const ViewerCache &) = delete;

    // Photos kept beyond those wanted, in bytes (about three screens).
    void setKeepBytes(qint64 bytes) { m_keepBytes = bytes; }
    qint64 keepBytes() const { return m_keepBytes; }

    // Starts preparing file for target unless it is held or under way. Files
    // prefetched first are decoded first.
    void prefetch(const QString &file, const ViewTarget &target);
    // The files the window will want next (the next and previous photo): they are
    // kept whatever the bound; every other photo is dropped, oldest first, while
    // the kept ones exceed it.
    void setWanted(const QStringList &files);
    // The photo of file for target: the prepared one (waiting for its decode if it
    // is under way), else decoded now. It stays held as a photo just shown.
    PreparedImage take(const QString &file, const ViewTarget &target);

    // Mosaic cells, keyed by file, cell size and quality.
    void prefetchCell(const QString &file, QSize cell, bool quality);
    QImage takeCell(const QString &file, QSize cell, bool quality);
    // Cells of pages other than these are dropped (a page and the next one).
    void keepCellsOf(const QStringList &files);

    // Drops everything (the viewer is closed); decodes under way finish on their own.
    void clear();

    // Counters for tests and benchmarks.
    int decodesStarted() const { return m_started; } // background decodes
    int decodedOnDemand() const { return m_onDemand; } // take() found nothing prepared
    int served() const { return m_served; } // take() answered from a prepared photo
    QStringList heldFiles() const; // photos held or under way, oldest first
    qint64 heldBytes() const; // of the photos finished
    bool busy() const; // some decode still running
    void waitIdle(); // waits for every decode started

private:
    struct Entry {
        QString file;
        ViewTarget target;
        std::shared_future<PreparedImage> image;
    };
    struct Cell {
        QString file;
        QSize cell;
        bool quality = false;
        std::shared_future<QImage> image;
    };
    template <typename T> std::shared_future<T> run(std::function<T()> job);
    void trim();
    static bool ready(const std::shared_future<PreparedImage> &f);

    Loader m_loader;
    CellLoader m_cellLoader;
    QThreadPool m_pool;
    std::list<Entry> m_entries; // oldest first
    std::list<Cell> m_cells;
    QStringList m_wanted;
    qint64 m_keepBytes = qint64(3) * 1920 * 1080 * 4;
    int m_started = 0;
    int m_onDemand = 0;
    int m_served = 0;
    int m_priority = 0; // falls with each job: earlier requests run first
};

} // namespace v7
