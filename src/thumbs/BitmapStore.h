// BitmapStore: the window's side of one thumbnail display. It keeps the encoded
// bytes of every thumbnail a job delivers, draws any of them on request, shows the
// progress and the completion text, and tells the job when to stop.
//
// Threads: a store lives on the user-interface thread, and every member is called
// there, except the pane values, cancelRequested() and finished(), which any
// thread may read (they are atomic). A job on another thread or in another process
// reaches the store through a link (ThumbX.h) that runs its calls here one at a time.
#pragma once

#include "platform/Cfb.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/Stamps.h"

#include <QByteArray>
#include <QColor>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QPoint>
#include <QSet>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

class QPainter;

namespace v7
{

// Decodes thumbnail bytes into one pixel buffer, sized for a ThumbW x ThumbH
// thumbnail and grown only for a larger one, so painting a grid of thumbnails of
// any mix of sizes allocates no pixels per cell. The image returned wraps that
// buffer: it stays valid until the next decode. One decoder per thread.
class ThumbDecoder
{
public:
    ThumbDecoder();
    ~ThumbDecoder();
    ThumbDecoder(const ThumbDecoder &) = delete;
    ThumbDecoder &operator=(const ThumbDecoder &) = delete;
    // A null image when the bytes are neither a JPEG (0xFF) nor a bitmap file ("B").
    const QImage &decode(const char *data, std::size_t size);

private:
    void *m_handle = nullptr;
    std::vector<unsigned char> m_pixels;
    QImage m_buffer; // m_pixels seen as the last decoded thumbnail
    QImage m_other;
};

// What a store needs of its window; the main window implements it, tests fake it.
class ThumbDisplayHost
{
public:
    virtual ~ThumbDisplayHost() = default;
    // Asks the grid for a repaint (the first refresh, the end of a display).
    virtual void RequestRepaint() = 0;
    // Whether the grid already shows the latest thumbnails; false makes the store
    // request a repaint at the end of a display.
    virtual bool GridUpToDate() { return false; }
    // The window's step after a display has finished.
    virtual void PostDisplay() { }
    // Status bar panel text (panels numbered as the window numbers them; 5 is the
    // listing/completion panel).
    virtual void SetStatusPanelText(int panel, const QString &text) = 0;
    // Width in pixels of the progress area (the first status panel).
    virtual int ProgressWidth() = 0;
    // Draws the progress line: length pixels long, height 2 (a white line over a
    // black one) or 16 (one black bar); counterText, when not empty, beside it.
    virtual void DrawProgress(int length, int height, const QString &counterText) = 0;
    // A thumbnail delivered by the external worker: draw that cell now.
    virtual void ShowDeliveredThumb(int index, int column, int row) = 0;
    // The file name shown at a grid index (for thumbnails read from the cache).
    virtual QString FileNameAt(int index) = 0;
    // The value the window adds to ThumbColorFrame for the caption strip.
    virtual std::uint32_t StripColorOffset() { return 0; }
    // A thumbnail (or the news that a file gave none) has arrived for index: the
    // grid shows it now if that cell is on screen, without waiting for a refresh.
    virtual void ThumbArrived(int /*index*/) { }
};

// The mark of a file that gave no thumbnail (damaged, empty, unreadable), drawn in
// the thumbnail area of a cell whose corner is at origin.
inline const QColor BrokenMarkColor(200, 30, 30);
void DrawBrokenMark(QPainter &painter, QPoint origin);

// The window's grid values that a store copies at creation.
struct GridValues {
    int start = 0;
    int columns = 1;
    int fileCount = 0;
    int expected = 0;
    int referenceIndex = 0;
    int extra = 0;
};

class BitmapStore : public QObject
{
    Q_OBJECT
public:
    // folder: the listed folder (for the display cache). The host outlives the store.
    BitmapStore(ThumbDisplayHost *host, const GridValues &grid, const QString &folder, QObject *parent = nullptr);
    ~BitmapStore() override;

    // One thumbnail from a job: the continue answer (false once cancelled).
    bool AcceptThumb(int index, const char *data, int count, bool refresh);
    // One thumbnail from the external worker: kept like AcceptThumb's and drawn at
    // once in the cell that the arrival order gives.
    bool ThumbsDisplay(int index, const QByteArray &bytes);
    // Background, caption strip and, when held, the thumbnail, with the cell's
    // corner at origin.
    void DrawStoredThumb(QPainter &painter, int index, QPoint origin = {});
    // As DrawStoredThumb, with the bytes read from the cache file.
    void DrawCachedThumb(QPainter &painter, int index, QPoint origin = {});
    void ForgetThumb(int index);
    bool OpenDisplayCache();

    // The progress area the job draws in.
    int progressWidth() const { return m_progressWidth; }
    void drawProgress(int length, int height, const QString &counterText);

    // Values.
    const GridValues &grid() const { return m_grid; }
    int cellWidth() const { return m_cellW; }
    int cellHeight() const { return m_cellH; }
    int processed() const { return m_processed; }
    int expected() const { return m_expected; }
    void setExpected(int n) { m_expected = n; }
    bool painted() const { return m_painted; }
    bool hasThumb(int index) const { return m_slotMap.contains(index); }
    // The job reached index and it gave no thumbnail: a damaged or unreadable file.
    bool isBroken(int index) const { return m_broken.contains(index); }
    // A thumbnail or the broken mark is there to draw.
    bool arrived(int index) const { return hasThumb(index) || isBroken(index); }
    QByteArray thumbBytes(int index) const;

    // Any thread.
    void setPane(int currentIndex, int viewTop, int viewBottom);
    int currentIndex() const { return m_currentIndex.load(); }
    int viewTop() const { return m_viewTop.load(); }
    int viewBottom() const { return m_viewBottom.load(); }
    void setCurrentIndex(int i) { m_currentIndex.store(i); }
    void RequestCancel() { m_cancel.store(true); }
    bool cancelRequested() const { return m_cancel.load(); }
    bool finished() const { return m_finished.load(); }
    // Set by the job at its end (or by the link when the worker is lost).
    void setFinished();
    // Shows a queued cache notice (takeCacheNotice) in status panel 5, if any.
    void showCacheNotice();
    // A job works for this store and holds the cache until it lets go: finished
    // (every thumbnail arrived) comes before the job's last commit, released after
    // it. A store without a job is released once finished. A new display waits
    // for released.
    void setJobHolds(bool holds) { m_jobHolds.store(holds); }
    bool released() const { return m_finished.load() && !m_jobHolds.load(); }

    // "25 Thumbnails processed in 1.500 sec".
    static QString completionText(int processed, std::int64_t elapsedMs);
    // Milliseconds since creation; tests may replace the clock.
    void setClockForTest(std::int64_t (*clock)())
    {
        m_clock = clock;
        m_clockStart = clock();
    }

signals:
    // Emitted once, when the store becomes finished.
    void displayFinished();

private:
    void complete();
    std::int64_t elapsedMs() const;

    ThumbDisplayHost *m_host;
    GridValues m_grid;
    QString m_folder;
    int m_cellW = 0, m_cellH = 0;
    int m_expected = 0;
    int m_processed = 0;
    QElapsedTimer m_start;
    std::int64_t (*m_clock)() = nullptr;
    std::int64_t m_clockStart = 0;
    bool m_painted = false;
    bool m_completed = false;
    std::atomic<int> m_currentIndex { 0 }, m_viewTop { 0 }, m_viewBottom { 0 };
    std::atomic<bool> m_cancel { false }, m_finished { false }, m_jobHolds { false };
    std::vector<std::pair<int, QByteArray>> m_slots;
    QHash<int, int> m_slotMap;
    QSet<int> m_broken;
    int m_progressWidth = 0;
    // The cache opened for display: its own handles, apart from the module state.
    cfb::Storage m_root, m_folderStorage;
    ThumbIndex m_index;
    StampMap m_stamps; // a cached picture is drawn only while its file is unchanged
    bool m_stampsUnreadable = false; // then no cached picture is drawn
    bool m_cacheTried = false;
    ThumbDecoder m_decoder; // one reused decode target for every cell painted
    QByteArray m_readBuffer; // the bytes of a cached thumbnail, reused likewise
};

} // namespace v7
