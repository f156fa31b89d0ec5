#include "thumbs/ThumbMain.h"

#include "app/Settings.h"
#include "imaging/Codecs.h"
#include "imaging/ColourManage.h"
#include "imaging/Draw.h"
#include "imaging/ImageLoad.h"
#include "thumbs/CacheUpkeep.h"
#include "thumbs/OLEStorage.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace v7
{

QSize thumbScaleSize(int w, int h, int boxW, int boxH)
{
    if (w <= 0 || h <= 0 || boxW <= 0 || boxH <= 0)
        return {};
    if (w <= boxW && h <= boxH)
        return QSize(w, h);
    std::int64_t nw, nh;
    // rw <= rh, i.e. w / boxW <= h / boxH: the height limits.
    if (std::int64_t(w) * boxH <= std::int64_t(h) * boxW) {
        nh = boxH;
        nw = std::int64_t(w) * boxH / h;
    } else {
        nw = boxW;
        nh = std::int64_t(h) * boxW / w;
    }
    if (nw == 0)
        nw = 2;
    if (nh == 0)
        nh = 2;
    if (nw == w)
        --nw;
    if (nh == h)
        --nh;
    return QSize(int(std::max<std::int64_t>(nw, 1)), int(std::max<std::int64_t>(nh, 1)));
}

PassPlan planPasses(
    int fileCount, int columns, int referenceIndex, int currentIndex, int viewTop, int viewBottom, int cellHeight)
{
    PassPlan plan;
    if (fileCount <= 0)
        return plan;
    const int last = fileCount - 1;
    const int n = std::max(1, columns);
    if (currentIndex <= referenceIndex || viewTop <= 0 || cellHeight <= 0) {
        plan.passes.push_back({ 0, last });
        plan.visibleLast = last;
        return plan;
    }
    // The range starts at the first visible row, whatever the current index, so the
    // screen fills before anything off it is made.
    const std::int64_t firstRow = viewTop / cellHeight;
    const std::int64_t rows = (std::int64_t(std::max(0, viewBottom - viewTop)) + cellHeight - 1) / cellHeight;
    const std::int64_t first = std::min<std::int64_t>(firstRow * n, last);
    const std::int64_t end = std::min<std::int64_t>(first + n * (rows + 2) - 1, last);
    plan.passes.push_back({ int(first), int(end) });
    plan.visibleLast = int(end);
    if (first > 0)
        plan.passes.push_back({ 0, int(first) - 1 });
    if (end < last)
        plan.passes.push_back({ int(end) + 1, last });
    return plan;
}

QString thumbCounterText(int index, int count)
{
    return QString::number(index) + QLatin1Char('/') + QString::number(count);
}

QString joinPath(const QString &folder, const QString &name)
{
    if (isForeignName(name))
        return name;
    if (folder.endsWith(QLatin1Char('/')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}

bool previewServesThumb(QSize preview, QSize fitted)
{
    if (fitted.isEmpty() || preview.width() < fitted.width() || preview.height() < fitted.height())
        return false;
    // Scaled to the fitted width its height is ph * fw / pw, to the fitted height its
    // width pw * fh / ph; each must land within one pixel of the fitted side.
    const std::int64_t pw = preview.width(), ph = preview.height();
    const std::int64_t d = ph * fitted.width() - std::int64_t(fitted.height()) * pw;
    return std::abs(d) <= std::min(pw, ph);
}

namespace
{
    QImage thumbFromPreview(const QString &path, const Settings &cfg)
    {
        QSize decoded;
        const QImage preview = LoadExifPreviewDib(path, cfg.ThumbW, cfg.ThumbH, &decoded);
        if (preview.isNull())
            return {};
        const QSize fitted = thumbScaleSize(decoded.width(), decoded.height(), cfg.ThumbW, cfg.ThumbH);
        if (!previewServesThumb(preview.size(), fitted))
            return {};
        if (preview.size() == fitted)
            return preview;
        return ScaleDib(preview, fitted.width(), fitted.height());
    }
} // namespace

QImage MakeThumbImage(const QString &path, const Settings &cfg)
{
    if (cfg.UseEmbeddedThumbs) {
        QImage thumb = thumbFromPreview(path, cfg);
        if (!thumb.isNull())
            return thumb;
    }
    // Transparent parts show the grid's cell colour, as they will be drawn on it.
    // A colour profile is applied to the thumbnail's few pixels, after the shrink.
    QByteArray icc;
    QImage image = flattenOnto(LoadImageDibKeepColour(path, 24, false, &icc), colorFromBgr(cfg.ThumbColor).rgb());
    if (image.isNull())
        return {};
    const QSize size = thumbScaleSize(image.width(), image.height(), cfg.ThumbW, cfg.ThumbH);
    if (size.isEmpty())
        return {};
    if (image.width() > cfg.ThumbW || image.height() > cfg.ThumbH)
        return convertToSrgb(ScaleDib(image, size.width(), size.height()), icc);
    return convertToSrgb(std::move(image), icc);
}

bool EncodeThumb(const QImage &image, int jpegQuality, QByteArray *out)
{
    out->clear();
    if (image.isNull())
        return false;
    const bool ok =
        dibByteSize(image) < SmallDibBytes ? wrbmpstreamdib(image, *out) : wrjpgstreamdib(image, jpegQuality, *out);
    if (!ok || out->size() > ThumbBufferSize) {
        out->clear();
        return false;
    }
    return true;
}

bool MakeThumbBytes(const QString &path, QByteArray *out)
{
    return EncodeThumb(MakeThumbImage(path, settings()), ThumbJpegQuality, out);
}

namespace
{
    // Reads a thumbnail stream of at most ThumbBufferSize bytes; false otherwise.
    bool readCachedThumb(cfb::Storage &folder, std::int32_t streamId, QByteArray *out)
    {
        out->clear();
        cfb::Stream s = folder.openStream(QString::number(streamId), OLEStorage::ModeRead);
        std::uint64_t size = 0;
        if (!s.isOpen() || s.size(&size) != cfb::Status::Ok || size > std::uint64_t(ThumbBufferSize))
            return false;
        out->resize(qsizetype(size));
        std::uint64_t got = 0;
        if (s.read(out->data(), size, &got) != cfb::Status::Ok || got != size) {
            out->clear();
            return false;
        }
        return true;
    }

    // Decode and encode ahead of the job thread on helper threads. Results are taken
    // in order; helpers stay at most `window` items ahead of the taker so a cancel
    // wastes little work.
    class MakeAhead
    {
    public:
        MakeAhead(std::vector<QString> paths, int threads, const Settings &cfg, const StartFlags &flags)
            : m_paths(std::move(paths))
            , m_results(m_paths.size())
            , m_window(std::max<std::size_t>(4, std::size_t(threads) * 3))
        {
            for (int t = 0; t < threads; ++t)
                m_threads.emplace_back([this, cfg, flags] {
                    settings() = cfg;
                    startFlags() = flags;
                    work();
                });
        }
        ~MakeAhead()
        {
            {
                std::lock_guard lock(m_mutex);
                m_stop = true;
            }
            m_cv.notify_all();
            for (auto &t : m_threads)
                t.join();
        }
        // The result of item k (taken in increasing order).
        bool take(std::size_t k, QByteArray *out)
        {
            std::unique_lock lock(m_mutex);
            m_taken = k;
            m_cv.notify_all();
            m_done.wait(lock, [&] { return m_results[k].ready; });
            *out = std::move(m_results[k].bytes);
            return m_results[k].ok;
        }

    private:
        struct Result {
            bool ready = false;
            bool ok = false;
            QByteArray bytes;
        };
        void work()
        {
            for (;;) {
                std::size_t k;
                {
                    std::unique_lock lock(m_mutex);
                    m_cv.wait(lock, [&] { return m_stop || m_next >= m_paths.size() || m_next < m_taken + m_window; });
                    if (m_stop || m_next >= m_paths.size())
                        return;
                    k = m_next++;
                }
                QByteArray bytes;
                const bool ok = MakeThumbBytes(m_paths[k], &bytes);
                {
                    std::lock_guard lock(m_mutex);
                    m_results[k] = { true, ok, std::move(bytes) };
                }
                m_done.notify_all();
            }
        }

        std::vector<QString> m_paths;
        std::vector<Result> m_results;
        std::size_t m_window;
        std::size_t m_next = 0, m_taken = 0;
        bool m_stop = false;
        std::mutex m_mutex;
        std::condition_variable m_cv, m_done;
        std::vector<std::thread> m_threads;
    };
} // namespace

// ---- the job's cache ----

namespace
{
    // Thumbnails kept before a commit: a few hundred, a few megabytes at most.
    constexpr std::size_t kCommitEvery = 256;
    constexpr qint64 kCommitBytes = 4 * 1024 * 1024;
    // What a job keeps for a later try while the file stays busy; past this the
    // oldest batch is let go (made again next time).
    constexpr qint64 kKeptBytes = 32 * 1024 * 1024;

    // The first job of a folder in this run commits even with nothing new, so the
    // folder's storage and its record of use are there.
    bool firstUseThisRun(const QString &key)
    {
        static std::mutex mutex;
        static QSet<QString> seen;
        std::lock_guard lock(mutex);
        if (seen.contains(key))
            return false;
        seen.insert(key);
        return true;
    }
} // namespace

struct ThumbMain::JobCache {
    cfb::Storage root, folder; // read-only: the commit that was last when the job began
    ThumbIndex index;
    StampMap stamps;
    bool stampsUnreadable = false; // every cached thumbnail is then remade
    QSet<QString> streams; // the folder storage's stream names
    QString folderPath; // where commits go; follows a rename of the folder
    bool identified = false; // the folder's device and inode are known
    dev_t dev = 0;
    ino_t ino = 0;
    bool mustCommit = false; // no storage yet, or first use in this run
    std::vector<OLEStorage::PendingThumb> pending;
    qint64 pendingBytes = 0;
    // When the next commit is tried: after each batch, and after another whole
    // batch when the last try found the file busy.
    std::size_t commitAt = kCommitEvery;
    qint64 commitBytesAt = kCommitBytes;
    bool lost = false; // thumbnails were let go uncommitted
    FolderInUse inUse; // no tidying anywhere drops the folder while the job runs

    // Opens the cache file (made when missing) for reading. False when it can
    // neither be opened nor made.
    bool open(const QString &folderName)
    {
        folderPath = folderName;
        const QString path = OLEStorage::cacheFilePath(OLEStorage::CacheFileName);
        inUse = FolderInUse(path, OLEStorage::FolderStorageName(folderPath));
        if (!QFileInfo::exists(path)) {
            // Made at once, so a job with caching off still leaves the file.
            const std::uint32_t mode =
                startFlags().TransactedCache ? OLEStorage::ModeWriteTransacted : OLEStorage::ModeWriteDirect;
            cfb::Storage::create(path, mode); // fails quietly when another made it first
        }
        cfb::Status st;
        root = cfb::Storage::open(path, OLEStorage::ModeReadTransacted, &st);
        if (!root.isOpen() && st == cfb::Status::Corrupt) {
            // A writer's open sets a damaged file aside and puts a sound one in its place.
            OLEStorage::OpenCacheWriter();
            root = cfb::Storage::open(path, OLEStorage::ModeReadTransacted, &st);
        }
        if (!root.isOpen())
            return false;
        const QString name = OLEStorage::FolderStorageName(folderPath);
        folder = root.openStorage(name, OLEStorage::ModeRead);
        cfb::ElementStat es;
        if (folder.isOpen() && (folder.stat(&es) != cfb::Status::Ok || es.name != name))
            folder.release(); // element names match without case; folder names must match exactly
        if (folder.isOpen()) {
            cfb::Stream is = folder.openStream(OLEStorage::IndexStreamName, OLEStorage::ModeRead);
            QByteArray bytes;
            if (is.isOpen() && is.readAll(&bytes) == cfb::Status::Ok)
                parseIndex(bytes, &index);
            stamps = loadStamps(folder, &stampsUnreadable);
            std::vector<cfb::ElementStat> els;
            folder.elements(&els);
            for (const auto &e : els)
                if (e.type == cfb::ElementType::Stream)
                    streams.insert(e.name);
        }
        struct stat sb = {};
        if (::stat(QFile::encodeName(folderPath).constData(), &sb) == 0 && S_ISDIR(sb.st_mode)) {
            identified = true;
            dev = sb.st_dev;
            ino = sb.st_ino;
        }
        mustCommit = !folder.isOpen() || firstUseThisRun(path + QLatin1Char('|') + folderPath);
        return true;
    }

    // The stream of a name the index gives it, and that exists; 0 otherwise.
    std::int32_t cachedId(const QString &name) const
    {
        if (!index.ownsStream(name))
            return 0;
        const std::int32_t id = index.find(name)->StreamId;
        return streams.contains(QString::number(id)) ? id : 0;
    }

    void add(const QString &name, const QByteArray &bytes, bool stamped, const FileStamp &stamp)
    {
        pending.push_back({ name, bytes, stamped, stamp });
        pendingBytes += bytes.size();
    }
    bool full() const { return pending.size() >= commitAt || pendingBytes >= commitBytesAt; }

    // The folder's path now: the same folder renamed in place is found among its
    // siblings by its inode; empty when it is gone.
    QString currentFolder()
    {
        if (!identified)
            return folderPath;
        auto same = [this](const QString &p) {
            struct stat sb = {};
            return ::stat(QFile::encodeName(p).constData(), &sb) == 0 && S_ISDIR(sb.st_mode) && sb.st_dev == dev
                && sb.st_ino == ino;
        };
        if (same(folderPath))
            return folderPath;
        const QString parent = QFileInfo(folderPath).absolutePath();
        const QStringList names = QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
        for (const QString &n : names) {
            const QString candidate = joinPath(parent, n);
            if (same(candidate)) {
                folderPath = candidate;
                return folderPath;
            }
        }
        return {};
    }

    // Merges what was made since the last commit into the file. Thumbnails of
    // files gone or changed since (a file command meanwhile) are left out.
    bool commit()
    {
        if (pending.empty() && !mustCommit)
            return true;
        const QString target = currentFolder();
        std::vector<OLEStorage::PendingThumb> live;
        live.reserve(pending.size());
        for (auto &t : pending) {
            FileStamp now;
            if (identified && (!fileStamp(joinPath(target, t.name), &now) || (t.stamped && !(now == t.stamp))))
                continue;
            live.push_back(std::move(t));
        }
        pending.clear();
        pendingBytes = 0;
        if (target.isEmpty()) {
            lost = lost || !live.empty();
            return false; // the folder is gone: its thumbnails have no place
        }
        if (live.empty()) {
            // Only the folder's storage and its record of use: never worth a wait,
            // which would keep a cached folder's display from its thumbnails (a
            // new display waits for this job to let go). A busy file is left alone.
            OLEStorage::CommitThumbs(target, live, false);
            mustCommit = false;
            return true;
        }
        const bool ok = OLEStorage::CommitThumbs(target, live);
        if (ok) {
            mustCommit = false;
            commitAt = kCommitEvery;
            commitBytesAt = kCommitBytes;
            return true;
        }
        // The file stayed busy (or could not take them): they are kept for the
        // next try, after another batch, as far as the bound allows.
        std::size_t from = 0;
        qint64 bytes = 0;
        for (const auto &t : live)
            bytes += t.bytes.size();
        for (; from < live.size() && bytes > kKeptBytes; ++from)
            bytes -= live[from].bytes.size();
        lost = lost || from > 0;
        pending.assign(
            std::make_move_iterator(live.begin() + std::ptrdiff_t(from)), std::make_move_iterator(live.end()));
        pendingBytes = bytes;
        commitAt = pending.size() + kCommitEvery;
        commitBytesAt = pendingBytes + kCommitBytes;
        return false;
    }
};

ThumbMain::ThumbMain(ThumbJobLink *link)
    : m_link(link)
{
    const Settings &cfg = settings();
    m_cellW = cfg.ThumbW + 2 * cfg.MarginW;
    m_cellH = cfg.ThumbH + 2 * cfg.MarginH;
}

ThumbMain::~ThumbMain()
{
    ReleaseSurface();
}

int ThumbMain::idealPoolSize()
{
    return std::max(1, QThread::idealThreadCount());
}

void ThumbMain::setJob(const QString &folder, const QStringList &files)
{
    m_folder = folder;
    m_files = files;
    OLEStorage::SetCurrentFolder(folder);
}

void ThumbMain::createSurface()
{
    const Settings &cfg = settings();
    m_surface = QImage(std::max(1, cfg.ThumbW), std::max(1, cfg.ThumbH), QImage::Format_RGB888);
    m_surface.fill(colorFromBgr(defaultButtonFaceColor()));
}

void ThumbMain::ReleaseSurface()
{
    m_surface = QImage();
}

int ThumbMain::progressLength(int k, int total, int width) const
{
    if (total <= 0)
        return 0;
    return int(std::int64_t(std::max(0, width - 3)) * k / total);
}

void ThumbMain::RunThumbJob()
{
    OLEStorage::SetCurrentFolder(m_folder);
    auto cache = std::make_unique<JobCache>();
    if (cache->open(m_folder)) {
        m_cache = std::move(cache);
        if (settings().CacheThumbs) {
            MakeThumbs(false);
        } else {
            // The loader shrinks only while caching is on.
            Settings &cfg = settings();
            const bool saved = cfg.CacheThumbs;
            cfg.CacheThumbs = true;
            MakeThumbs(true);
            cfg.CacheThumbs = saved;
        }
    }
    ReleaseSurface();
    // Let go before the store hears of the end: the job is then released, not just
    // finished, and the next display starts on a cache nobody of ours holds.
    m_cache.reset();
    m_link->jobFinished();
}

void ThumbMain::MakeThumbs(bool bypass)
{
    m_fileCount = int(m_files.size());
    if (m_fileCount == 0)
        return;
    const Settings &cfg = settings();
    m_cellW = cfg.ThumbW + 2 * cfg.MarginW;
    m_cellH = cfg.ThumbH + 2 * cfg.MarginH;
    createSurface();
    m_values = m_link->storeValues();
    const PaneValues pane = m_link->paneValues();
    const PassPlan plan = planPasses(m_fileCount,
        m_values.columns,
        m_values.referenceIndex,
        pane.currentIndex,
        pane.viewTop,
        pane.viewBottom,
        m_cellH);

    const bool caching = !bypass && m_cache;
    const StampMap noStamps;
    const StampMap &stamps = caching ? m_cache->stamps : noStamps;

    // What each index of the passes needs: its cached stream, or making.
    struct Item {
        int index = 0;
        bool refresh = false;
        bool make = false;
        bool stale = false; // cached, but its file changed since
        std::int32_t streamId = 0;
        FileStamp stamp;
        bool stamped = false;
        bool foreign = false; // another folder's file: made, never cached here
    };
    std::vector<Item> items;
    items.reserve(std::size_t(m_fileCount));
    const int refreshAtEnd = m_values.referenceIndex + 3 * std::max(1, m_values.columns) - 1;
    for (std::size_t p = 0; p < plan.passes.size(); ++p) {
        const bool lastPass = p + 1 == plan.passes.size();
        for (int i = plan.passes[p].first; i <= plan.passes[p].last; ++i) {
            Item it;
            it.index = i;
            it.refresh = (p == 0 && i == plan.visibleLast) || (lastPass && i == refreshAtEnd);
            const QString &name = m_files[i];
            it.foreign = isForeignName(name);
            it.stamped = !bypass && !it.foreign && fileStamp(joinPath(m_folder, name), &it.stamp);
            it.streamId = caching && !it.foreign ? m_cache->cachedId(name) : 0;
            if (it.streamId != 0 && caching && m_cache->stampsUnreadable) {
                it.stale = true; // no stamp tells that its picture is current
            } else if (it.streamId != 0 && it.stamped) {
                const auto s = stamps.constFind(it.streamId);
                it.stale = s != stamps.constEnd() && !(*s == it.stamp);
            }
            it.make = !caching || it.streamId == 0 || it.stale;
            items.push_back(it);
        }
    }

    std::unique_ptr<MakeAhead> pool;
    std::vector<std::size_t> poolSlot(items.size(), 0);
    if (m_poolSize > 1) {
        std::vector<QString> paths;
        for (std::size_t k = 0; k < items.size(); ++k)
            if (items[k].make) {
                poolSlot[k] = paths.size();
                paths.push_back(joinPath(m_folder, m_files[items[k].index]));
            }
        if (paths.size() > 1)
            pool = std::make_unique<MakeAhead>(std::move(paths), m_poolSize, cfg, startFlags());
    }

    m_processed = 0;
    QByteArray buffer;
    buffer.reserve(ThumbBufferSize);
    for (std::size_t k = 0; k < items.size(); ++k) {
        const Item &it = items[k];
        const QString &name = m_files[it.index];
        if (!it.make) {
            readCachedThumb(m_cache->folder, it.streamId, &buffer);
        } else {
            bool ok = pool ? pool->take(poolSlot[k], &buffer)
                           : EncodeThumb(MakeThumbImage(joinPath(m_folder, name), cfg), ThumbJpegQuality, &buffer);
            if (!ok && folderMoved()) // renamed under the job: its files are found at the new path
                ok = EncodeThumb(MakeThumbImage(joinPath(m_folder, name), cfg), ThumbJpegQuality, &buffer);
            if (!ok)
                buffer.clear();
            if (ok && caching && !it.foreign) {
                // A changed file's stream is replaced by the commit.
                m_cache->add(name, buffer, it.stamped, it.stamp);
                if (m_cache->full())
                    commitCache();
            }
        }
        ++m_processed;
        ThumbDelivery d;
        d.index = it.index;
        d.bytes = buffer;
        d.refresh = it.refresh;
        d.progressLength = progressLength(m_processed, m_fileCount, m_values.progressWidth);
        d.progressHeight = 2;
        if (startFlags().ShowThumbCounter)
            d.counterText = thumbCounterText(it.index, m_fileCount);
        const bool go = m_link->deliver(d);
        if (!go)
            break;
        m_link->yield();
    }
    pool.reset();

    // A cancelled job still commits what it made.
    if (caching)
        commitCache();
}

bool ThumbMain::commitCache()
{
    const bool ok = m_cache && m_cache->commit();
    // Failed means thumbnails went uncommitted: let go, or still waiting after
    // the job's last try. A try that failed but was made good later does not count.
    m_lostThumbs = m_lostThumbs || !m_cache || m_cache->lost;
    m_commitFailed = m_lostThumbs || !m_cache->pending.empty();
    return ok;
}

bool ThumbMain::folderMoved()
{
    if (!m_cache)
        return false;
    const QString now = m_cache->currentFolder();
    if (now.isEmpty() || now == m_folder)
        return false;
    m_folder = now;
    return true;
}

bool ThumbMain::MakeOneThumb(const QString &name)
{
    if (!m_cache || isForeignName(name))
        return false;
    // Stamped like a display job's thumbnails, so an edited file is made again.
    FileStamp stamp;
    const bool stamped = fileStamp(joinPath(m_folder, name), &stamp);
    QImage image = MakeThumbImage(joinPath(m_folder, name), settings());
    if (image.isNull() && folderMoved())
        image = MakeThumbImage(joinPath(m_folder, name), settings());
    if (image.isNull())
        return false;
    QByteArray bytes;
    if (!wrjpgstreamdib(image, PrefillJpegQuality, bytes) || bytes.size() > ThumbBufferSize)
        return false;
    m_cache->add(name, bytes, stamped, stamp);
    if (m_cache->full())
        commitCache();
    return true;
}

void ThumbMain::PrefillCache()
{
    OLEStorage::SetCurrentFolder(m_folder);
    auto cache = std::make_unique<JobCache>();
    if (!QFileInfo::exists(OLEStorage::cacheFilePath(OLEStorage::CacheFileName)) || !cache->open(m_folder)) {
        // Nothing is made, but the store must still hear that the job is over, or
        // its display never finishes.
        m_link->jobFinished();
        return;
    }
    m_cache = std::move(cache);
    QStringList todo;
    for (const QString &name : m_files)
        if (!isForeignName(name) && m_cache->cachedId(name) == 0) // a stream no entry lists does not count as made
            todo.push_back(name);
    const int width = todo.isEmpty() ? 0 : m_link->storeValues().progressWidth;
    for (int k = 0; k < todo.size(); ++k) {
        MakeOneThumb(todo[k]);
        const int denominator = std::max(1, int(todo.size()) - 1);
        m_link->progress(int(std::int64_t(std::max(0, width - 3)) * k / denominator), 16);
        m_link->yield();
        if (m_link->cancelRequested())
            break;
    }
    commitCache();
    m_cache.reset();
    RunThumbJob();
}

bool ThumbMain::DeliverThumb(int index, const char *data, int count)
{
    ++m_processed;
    ThumbDelivery d;
    d.index = index;
    if (data && count > 0)
        d.bytes = QByteArray(data, count);
    const int total = m_fileCount > 0 ? m_fileCount : int(m_files.size());
    d.progressLength = progressLength(m_processed, total, m_link->storeValues().progressWidth);
    d.progressHeight = 16;
    m_link->deliver(d);
    return !m_link->cancelRequested();
}

} // namespace v7
