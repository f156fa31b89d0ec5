// ThumbMain: one thumbnail job. It opens the folder's storage in the cache file,
// takes each cached thumbnail or makes it (load, shrink, encode), visible rows
// first, then the rows above, then the rows below, and hands each one to its store
// through a ThumbJobLink.
//
// Threads: a ThumbMain is made, run and destroyed on one thread (the user-interface
// thread in mode 0, a worker thread in mode 1, the worker program in mode 2); it
// uses that thread's settings. Its cache handles are its own, not the thread's
// cache-module state, so a file command run from the job's yield (mode 0) cannot
// close them or drop its index.
//
// Writing: the job reads the cache without the writer lock and keeps what it
// makes until a commit (every few hundred thumbnails, and at its end), which takes
// the lock only for its span and merges into the file as it stands then, so other
// writers' work stays. A folder renamed while the job runs takes the commit along;
// a file gone or changed since its thumbnail was made is not committed.
//
// With a pool (setPoolSize) the decode and encode also run on helper threads, each
// with a copy of the job thread's settings; the cache is written by the job thread
// alone and thumbnails reach the store in the order of the passes. The link is the
// only way to the store.
#pragma once

#include "thumbs/Stamps.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

namespace v7
{

struct Settings;

// ---- the arithmetic of a job ----

// Thumbnail size for a source of w x h in a box: the side that limits takes the
// box's size, the other is scaled (integer part); a computed 0 becomes 2. A source
// that fits the box keeps its size; a new dimension equal to the source's is
// reduced by 1.
QSize thumbScaleSize(int w, int h, int boxW, int boxH);

struct ThumbPass {
    int first = 0;
    int last = -1; // inclusive; last < first is an empty pass
};

// The passes of a job: the visible range, then the rows above it, then the rows
// below. The first visible row is viewTop div cellHeight; the range runs over the
// visible rows plus two. When currentIndex is not beyond referenceIndex, or
// viewTop <= 0, the whole list is one pass.
struct PassPlan {
    std::vector<ThumbPass> passes;
    int visibleLast = -1; // the last index of the visible range
};
PassPlan planPasses(
    int fileCount, int columns, int referenceIndex, int currentIndex, int viewTop, int viewBottom, int cellHeight);

constexpr int ThumbBufferSize = 65535; // the most bytes a thumbnail may have
constexpr int SmallDibBytes = 1024; // below this a thumbnail is stored as a bitmap file
constexpr int ThumbJpegQuality = 75;
constexpr int PrefillJpegQuality = 70;

// True when an embedded preview of the given size may stand in for the image whose
// thumbnail has the fitted size: at least as large on both sides, and of the
// image's shape within one pixel of the fitted size (black bars or another crop
// are refused).
bool previewServesThumb(QSize preview, QSize fitted);

// Loads a file reduced for the thumbnail box and shrinks it by the rules above.
// With cfg.UseEmbeddedThumbs a JPEG's EXIF preview that serves (previewServesThumb)
// gives the pixels instead; size and placement stay those of the decoded image.
// Null when the file cannot be loaded.
QImage MakeThumbImage(const QString &path, const Settings &cfg);
// Thumbnail bytes of an image: a 24-bit bitmap file when its DIB is below 1,024
// bytes, else a JPEG of the given quality. False when encoding fails or the result
// exceeds ThumbBufferSize.
bool EncodeThumb(const QImage &image, int jpegQuality, QByteArray *out);
// Both, with the calling thread's settings: the bytes a display job stores.
bool MakeThumbBytes(const QString &path, QByteArray *out);

// The counter drawn beside the progress line: "index/count".
QString thumbCounterText(int index, int count);

// A job's file list names its folder's files by name. A list of tagged files from
// several folders names the others by their absolute path: no file name holds "/".
inline bool isForeignName(const QString &name)
{
    return name.startsWith(QLatin1Char('/'));
}
// "folder/name", without doubling the separator; a foreign name as it stands.
QString joinPath(const QString &folder, const QString &name);

// ---- the job's view of its store ----

struct StoreValues {
    int columns = 1;
    int fileCount = 0;
    int referenceIndex = 0;
    int progressWidth = 0;
};
struct PaneValues {
    int currentIndex = 0;
    int viewTop = 0;
    int viewBottom = 0;
};
// One thumbnail with everything the store does for it: the store's current index
// becomes index, the progress line is drawn, then AcceptThumb runs.
struct ThumbDelivery {
    int index = 0;
    QByteArray bytes; // empty: no thumbnail for this file
    bool refresh = false;
    int progressLength = 0;
    int progressHeight = 2;
    QString counterText;
};

class ThumbJobLink
{
public:
    virtual ~ThumbJobLink() = default;
    virtual StoreValues storeValues() = 0; // taken once, when the job starts
    virtual PaneValues paneValues() = 0;
    // False: the job is not to continue.
    virtual bool deliver(const ThumbDelivery &d) = 0;
    virtual bool cancelRequested() = 0;
    virtual void progress(int length, int height) = 0;
    virtual void jobFinished() = 0;
    // Between thumbnails: lets a job on the user-interface thread repaint the window.
    virtual void yield() { }
};

class ThumbMain
{
public:
    // The link must outlive the job.
    explicit ThumbMain(ThumbJobLink *link);
    ~ThumbMain();
    ThumbMain(const ThumbMain &) = delete;
    ThumbMain &operator=(const ThumbMain &) = delete;

    // The folder also becomes the thread's current folder. Files of other folders
    // (isForeignName) are made each time and never enter this folder's storage.
    void setJob(const QString &folder, const QStringList &files);
    // Helper threads for decode and encode; 0 or 1 makes every thumbnail on the
    // job's thread. idealPoolSize() is the machine's core count.
    void setPoolSize(int threads) { m_poolSize = threads; }
    static int idealPoolSize();

    void RunThumbJob();
    void MakeThumbs(bool bypass);
    // Makes one thumbnail (JPEG quality 70) for the job's next commit (PrefillCache).
    bool MakeOneThumb(const QString &name);
    void PrefillCache();
    // A thumbnail made elsewhere: counted, progress drawn, handed to the store.
    // Returns the continue answer.
    bool DeliverThumb(int index, const char *data, int count);
    void ReleaseSurface();

    int processedCount() const { return m_processed; }
    // Some of the job's thumbnails are not in the cache: a commit failed (the lock
    // was not had within the bound, or the file refused them) and no later one
    // of the job took them.
    bool commitFailed() const { return m_commitFailed; }
    bool surfaceHeld() const { return !m_surface.isNull(); }

private:
    void createSurface();
    int progressLength(int k, int total, int width) const;

    // The cache as this job sees it: the last commit, read without the writer
    // lock, and the thumbnails made since, merged into the file in batches.
    struct JobCache;
    std::unique_ptr<JobCache> m_cache;
    // True when the job's folder was renamed meanwhile: m_folder is then its new path.
    bool folderMoved();
    bool commitCache();
    bool m_commitFailed = false;
    bool m_lostThumbs = false; // some were let go uncommitted, in this job or its prefill

    ThumbJobLink *m_link;
    QString m_folder;
    QStringList m_files;
    int m_cellW = 0, m_cellH = 0;
    StoreValues m_values;
    QImage m_surface; // the off-screen surface of one thumbnail
    int m_fileCount = 0;
    int m_processed = 0;
    int m_poolSize = 0;
};

} // namespace v7
