#include "thumbs/CacheUpkeep.h"

#include "imaging/ImageLoad.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/Stamps.h"
#include "thumbs/ThumbMain.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace v7
{

using namespace cfb;

namespace
{
    constexpr std::uint32_t kReadRoot = OLEStorage::ModeReadTransacted;
    constexpr std::uint32_t kRead = OLEStorage::ModeRead;
    constexpr std::uint32_t kWrite = OLEStorage::ModeWriteDirect;
    constexpr int kUseRecord = 12; // storage name's CRC value (4), last use (8); then the path

    Status readStream(Storage &parent, const QString &name, qint64 limit, QByteArray *out)
    {
        out->clear();
        Status st;
        Stream s = parent.openStream(name, kRead, &st);
        if (!s.isOpen())
            return st;
        std::uint64_t size = 0;
        if ((st = s.size(&size)) != Status::Ok)
            return st;
        if (size > std::uint64_t(limit))
            return Status::TooLarge;
        return s.readAll(out);
    }

    bool writeStream(Storage &parent, const QString &name, const QByteArray &bytes)
    {
        parent.destroyElement(name);
        Stream s = parent.createStream(name, kWrite);
        // No commit here: the caller commits once, when all of its changes are made.
        return s.isOpen() && s.write(bytes) == Status::Ok;
    }

    // The thumbnail bytes of an entry, when they check cleanly; otherwise the reason.
    QString readEntry(
        Storage &folder, const ThumbIndex &index, const IndexEntry &e, QByteArray *bytes, bool decode = true)
    {
        if (e.StreamId != nameCrcValue(e.Name))
            return QStringLiteral("StreamId is not the name's CRC");
        if (!index.ownsStream(e.Name))
            return QStringLiteral("its stream is another name's");
        const Status st = readStream(folder, QString::number(e.StreamId), ThumbBufferSize, bytes);
        if (st == Status::FileNotFound)
            return QStringLiteral("no stream");
        if (st == Status::TooLarge)
            return QStringLiteral("longer than 65,535 bytes");
        if (st != Status::Ok)
            return QStringLiteral("unreadable");
        if (bytes->size() != e.ByteCount)
            return QStringLiteral("%1 bytes, the index says %2").arg(bytes->size()).arg(e.ByteCount);
        if (decode && DecodeThumbStream(bytes->constData(), std::size_t(bytes->size())).isNull())
            return QStringLiteral("does not decode");
        return {};
    }

    bool readIndexAndStamps(
        Storage &folder, ThumbIndex *index, StampMap *stamps, QStringList *problems, const QString &at)
    {
        QByteArray bytes;
        const Status is = readStream(folder, OLEStorage::IndexStreamName, 64 * 1024 * 1024, &bytes);
        if (is == Status::Ok) {
            parseIndex(bytes, index);
        } else if (is != Status::FileNotFound) {
            problems->push_back(at + QStringLiteral("/Index: unreadable"));
            return false;
        }
        const Status ss = readStream(folder, StampsStreamName, MaxStampsBytes, &bytes);
        if (ss == Status::Ok) {
            if (!parseStamps(bytes, stamps))
                problems->push_back(at + QStringLiteral("/Stamps: malformed"));
        } else if (ss != Status::FileNotFound) {
            problems->push_back(at + QStringLiteral("/Stamps: unreadable"));
        }
        return true;
    }

    std::mutex g_noticeMutex;
    QStringList g_notices;

    QString dateTimeStamp()
    {
        return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    }

    // A name beside path that nothing else uses now.
    QString scratchName(const QString &path, const char *what)
    {
        static std::atomic<int> counter { 0 };
        return path + QLatin1Char('.') + QLatin1String(what) + QLatin1Char('-') + QString::number(::getpid())
            + QLatin1Char('-') + QString::number(counter.fetch_add(1));
    }

    qint64 fileSize(const QString &path)
    {
        return QFileInfo(path).size();
    }

    // Writes the kept folders of src into a new file at tmp. clean, when given, is
    // the set of folder storages that may be copied at all.
    RebuildResult writeRebuilt(Storage &src,
        const QString &tmp,
        const std::function<bool(const QString &)> &keep,
        const QSet<QString> *clean,
        const QHash<QString, QString> &reasons,
        bool decode)
    {
        RebuildResult r;
        std::vector<ElementStat> kids;
        if (src.elements(&kids) != Status::Ok)
            return r;
        Status st;
        Storage dest = Storage::create(tmp, kWrite, &st);
        if (!dest.isOpen())
            return r;
        const UseMap use = loadUse(src);
        UseMap keptUse;
        for (const ElementStat &k : kids) {
            if (k.type != ElementType::Storage)
                continue;
            if (keep && !keep(k.name))
                continue;
            if (clean && !clean->contains(k.name)) {
                r.lost.push_back(k.name + QStringLiteral(": ") + reasons.value(k.name));
                continue;
            }
            int thumbs = 0;
            if (!copyLiveFolder(src, k.name, dest, &thumbs, decode)) {
                r.lost.push_back(k.name + QStringLiteral(": cannot be copied"));
                dest.destroyElement(k.name);
                continue;
            }
            if (thumbs > 0) {
                ++r.folders;
                r.thumbs += thumbs;
                if (use.contains(k.name))
                    keptUse.insert(k.name, use.value(k.name));
            }
        }
        if (!keptUse.isEmpty() && !saveUse(dest, keptUse))
            return r;
        if (dest.commit() != Status::Ok)
            return r;
        dest.release();
        r.ok = true;
        return r;
    }

    // Folders that check cleanly read in this order; a chain that strays into another
    // stream's sectors fails only for the stream read second, so the caller reads twice.
    QSet<QString> cleanFolders(const QString &path, bool reverse, QHash<QString, QString> *reasons)
    {
        QSet<QString> clean;
        Storage root = Storage::open(path, kReadRoot);
        std::vector<ElementStat> kids;
        if (!root.isOpen() || root.elements(&kids) != Status::Ok)
            return clean;
        if (reverse)
            std::reverse(kids.begin(), kids.end());
        for (const ElementStat &k : kids) {
            if (k.type != ElementType::Storage)
                continue;
            const FolderCheck c = checkFolderStorage(root, k.name);
            if (c.problems.isEmpty())
                clean.insert(k.name);
            else if (!reasons->contains(k.name))
                reasons->insert(k.name, c.problems.first());
        }
        return clean;
    }

    // Clears the root entry's class id in a copy of a damaged file: our files keep a
    // checksum of their tables there, and the copy is to be read past the damage
    // that the checksum reports; each folder is then checked on its own.
    bool dropTableChecksum(const QString &path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadWrite))
            return false;
        const QByteArray hdr = f.read(512);
        if (hdr.size() < 512)
            return false;
        auto le = [&](int at, int n) {
            std::uint32_t v = 0;
            for (int i = n - 1; i >= 0; --i)
                v = (v << 8) | std::uint8_t(hdr[at + i]);
            return v;
        };
        const std::uint32_t shift = le(0x1E, 2), firstDir = le(0x30, 4);
        if ((shift != 9 && shift != 12) || firstDir >= 0xFFFFFFFA)
            return false;
        const qint64 at = (qint64(firstDir) + 1) * (qint64(1) << shift) + 80;
        return f.seek(at) && f.write(QByteArray(16, '\0')) == 16 && f.flush();
    }

    // Puts the file at tmp in place at path unless something is there already; then
    // copies its folders that path lacks into it.
    bool installNew(const QString &tmp, const QString &path)
    {
        const QByteArray from = QFile::encodeName(tmp), to = QFile::encodeName(path);
        if (::link(from.constData(), to.constData()) == 0) {
            ::unlink(from.constData());
            return true;
        }
        if (errno != EEXIST) {
            ::unlink(from.constData());
            return false;
        }
        // Another program started a new cache meanwhile: merge into it.
        bool ok = false;
        {
            Storage src = Storage::open(tmp, kReadRoot);
            // Its maker may be writing it: wait a while for its lock.
            Status st = Status::LockViolation;
            Storage dest;
            for (int round = 0; round < 200 && !dest.isOpen() && st == Status::LockViolation; ++round) {
                dest = Storage::open(path, kWrite, &st);
                if (!dest.isOpen() && st == Status::LockViolation)
                    ::usleep(50 * 1000);
            }
            std::vector<ElementStat> kids;
            if (src.isOpen() && dest.isOpen() && src.elements(&kids) == Status::Ok) {
                ok = true;
                for (const ElementStat &k : kids) {
                    if (k.type != ElementType::Storage || dest.openStorage(k.name, kRead).isOpen())
                        continue;
                    Storage source = src.openStorage(k.name, kRead);
                    Storage into = dest.createStorage(k.name, kWrite);
                    ok = source.isOpen() && into.isOpen() && source.copyTo(into) == Status::Ok && ok;
                }
                ok = dest.commit() == Status::Ok && ok;
            }
        }
        ::unlink(from.constData());
        return ok;
    }
} // namespace

FolderCheck checkFolderStorage(Storage &root, const QString &name)
{
    FolderCheck c;
    c.storage = name;
    const QString at = QLatin1Char('/') + name;
    Status st;
    Storage folder = root.openStorage(name, kRead, &st);
    if (!folder.isOpen()) {
        c.problems.push_back(at + QStringLiteral(": cannot be opened (") + QString::fromLatin1(statusText(st)) + ')');
        return c;
    }
    std::vector<ElementStat> els;
    if (folder.elements(&els) != Status::Ok) {
        c.problems.push_back(at + QStringLiteral(": its elements cannot be listed"));
        return c;
    }
    ThumbIndex index;
    StampMap stamps;
    if (!readIndexAndStamps(folder, &index, &stamps, &c.problems, at))
        return c;
    c.thumbs = index.size();
    index.forEach([&](const IndexEntry &e) {
        QByteArray bytes;
        const QString why = readEntry(folder, index, e, &bytes);
        if (why.isEmpty())
            c.liveBytes += bytes.size();
        else
            c.problems.push_back(
                at + '/' + QString::number(e.StreamId) + QStringLiteral(" (") + e.Name + QStringLiteral("): ") + why);
    });
    for (const ElementStat &e : els) {
        if (e.type != ElementType::Stream) {
            c.problems.push_back(at + '/' + e.name + QStringLiteral(": a storage inside a folder storage"));
            continue;
        }
        if (e.name == OLEStorage::IndexStreamName || e.name == StampsStreamName)
            continue;
        bool numeric = false;
        const int id = e.name.toInt(&numeric);
        if (!numeric || !index.ownerOf(id))
            c.unlisted.push_back(e.name);
    }
    return c;
}

bool copyLiveFolder(Storage &root, const QString &name, Storage &destRoot, int *thumbs, bool decode)
{
    if (thumbs)
        *thumbs = 0;
    Storage folder = root.openStorage(name, kRead);
    if (!folder.isOpen())
        return false;
    ThumbIndex index, live;
    StampMap stamps;
    QStringList ignored;
    if (!readIndexAndStamps(folder, &index, &stamps, &ignored, QString()))
        return false;
    if (!ignored.isEmpty())
        return true; // stamps that do not read: no thumbnail here is known to be current
    Storage dest;
    bool ok = true;
    index.forEach([&](const IndexEntry &e) {
        QByteArray bytes;
        if (!ok || !readEntry(folder, index, e, &bytes, decode).isEmpty())
            return;
        if (!dest.isOpen()) {
            dest = destRoot.createStorage(name, kWrite);
            if (!dest.isOpen()) {
                ok = false;
                return;
            }
        }
        Stream s = dest.createStream(QString::number(e.StreamId), kWrite);
        ok = s.isOpen() && s.write(bytes) == Status::Ok;
        live.add(e);
    });
    if (!ok)
        return false;
    if (live.isEmpty())
        return true; // nothing worth a storage
    if (!writeStream(dest, OLEStorage::IndexStreamName, serializeIndex(live)))
        return false;
    if (!stamps.isEmpty() && !saveStamps(dest, live, stamps))
        return false;
    if (thumbs)
        *thumbs = live.size();
    return true;
}

UseMap loadUse(Storage &root)
{
    UseMap use;
    QByteArray bytes;
    if (readStream(root, UseStreamName, 64 * 1024 * 1024, &bytes) != Status::Ok)
        return use;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype size = bytes.size();
    for (qsizetype at = 0; at + kUseRecord + 2 <= size;) {
        std::uint32_t id = 0;
        std::uint64_t when = 0;
        for (int i = 3; i >= 0; --i)
            id = (id << 8) | p[at + i];
        for (int i = 7; i >= 0; --i)
            when = (when << 8) | p[at + 4 + i];
        const qsizetype n = p[at + 12] | qsizetype(p[at + 13]) << 8;
        if (at + kUseRecord + 2 + n > size)
            return {}; // cut short: not a stream of ours
        use.insert(QString::number(std::int32_t(id)),
            { std::int64_t(when), QString::fromUtf8(bytes.mid(at + kUseRecord + 2, n)) });
        at += kUseRecord + 2 + n;
    }
    return use;
}

bool saveUse(Storage &root, const UseMap &use)
{
    QByteArray bytes;
    for (auto it = use.constBegin(); it != use.constEnd(); ++it) {
        bool numeric = false;
        const std::uint32_t id = std::uint32_t(it.key().toInt(&numeric));
        const QByteArray path = it->path.toUtf8().left(0xFFFF);
        if (!numeric)
            continue;
        for (int i = 0; i < 4; ++i)
            bytes.append(char(id >> (8 * i)));
        for (int i = 0; i < 8; ++i)
            bytes.append(char(std::uint64_t(it->when) >> (8 * i)));
        bytes.append(char(path.size() & 0xFF));
        bytes.append(char(path.size() >> 8));
        bytes.append(path);
    }
    return writeStream(root, UseStreamName, bytes);
}

bool touchFolderUse(Storage &root, const QString &cacheFile, const QString &folderPath)
{
    static std::mutex mutex;
    static QSet<QString> touched; // cache file + "|" + folder: once per run
    {
        std::lock_guard lock(mutex);
        const QString key = cacheFile + QLatin1Char('|') + folderPath;
        if (touched.contains(key))
            return false;
        touched.insert(key);
    }
    UseMap use = loadUse(root);
    use.insert(NameCrc(folderPath), { QDateTime::currentSecsSinceEpoch(), folderPath });
    return saveUse(root, use);
}

bool cacheFileSound(const QString &path, QStringList *problems)
{
    QStringList found;
    const bool ok = Storage::check(path, &found) == Status::Ok;
    if (problems)
        *problems = found;
    return ok;
}

RebuildResult setAsideDamagedCache(const QString &path, QString *keptAs)
{
    RebuildResult r;
    r.bytesBefore = fileSize(path);
    const QString stamp = dateTimeStamp();
    QString aside = path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(aside) || QFileInfo(aside).isSymLink(); ++n)
        aside = path + QStringLiteral(".damaged-") + stamp + '-' + QString::number(n);
    // Renamed first: a second program that meets the damage now finds nothing to
    // rename and opens the new file instead.
    if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) != 0)
        return r;
    if (keptAs)
        *keptAs = aside;
    const QString scratch = scratchName(aside, "read");
    QHash<QString, QString> reasons;
    QSet<QString> clean;
    if (QFile::copy(aside, scratch) && dropTableChecksum(scratch)) {
        clean = cleanFolders(scratch, false, &reasons);
        clean.intersect(cleanFolders(scratch, true, &reasons));
    }
    const QString tmp = scratchName(path, "new");
    {
        Storage src = Storage::open(scratch, kReadRoot);
        if (src.isOpen()) {
            r = writeRebuilt(src, tmp, {}, &clean, reasons, true);
        } else {
            // Nothing of it reads: an empty cache.
            Storage fresh = Storage::create(tmp, kWrite);
            r.ok = fresh.isOpen() && fresh.commit() == Status::Ok;
            r.lost.push_back(QStringLiteral("(all): the file cannot be read"));
        }
    }
    QFile::remove(scratch);
    r.bytesBefore = fileSize(aside);
    r.ok = r.ok && installNew(tmp, path);
    if (!r.ok)
        QFile::remove(tmp);
    r.bytesAfter = fileSize(path);
    queueCacheNotice(QStringLiteral("The thumbnail cache was damaged: it was kept as %1 and a new one was started "
                                    "(%2 folders of thumbnails saved, %3 lost)")
                         .arg(QFileInfo(aside).fileName())
                         .arg(r.folders)
                         .arg(r.lost.size()),
        true);
    return r;
}

RebuildResult rebuildCache(const QString &path, const std::function<bool(const QString &)> &keep, bool decode)
{
    RebuildResult r;
    // The writer lock of the old file is held throughout: no commit lands in it
    // while it is copied, and none after it is replaced.
    Status st;
    Storage lockHolder = Storage::open(path, kWrite, 10000, &st); // a commit in progress ends first
    if (!lockHolder.isOpen())
        return r;
    const QString tmp = scratchName(path, "new");
    {
        Storage src = Storage::open(path, kReadRoot);
        if (!src.isOpen())
            return r;
        r = writeRebuilt(src, tmp, keep, nullptr, {}, decode);
    }
    r.bytesBefore = fileSize(path);
    if (r.ok)
        r.ok = ::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(path).constData()) == 0;
    if (!r.ok)
        QFile::remove(tmp);
    r.bytesAfter = fileSize(path);
    lockHolder.revert();
    return r;
}

void noticeCachesSetAsideSince(const QString &path, std::int64_t sinceSecs)
{
    const QFileInfo info(path);
    const QString prefix = info.fileName() + QStringLiteral(".damaged-");
    const QStringList found = QDir(info.absolutePath()).entryList({ prefix + '*' }, QDir::Files);
    for (const QString &name : found) {
        // The name carries when it was set aside: DATE-TIME, maybe with "-N".
        const QDateTime when = QDateTime::fromString(name.mid(prefix.size(), 15), QStringLiteral("yyyyMMdd-hhmmss"));
        if (when.isValid() && when.toSecsSinceEpoch() >= sinceSecs)
            queueCacheNotice(QStringLiteral("The thumbnail cache was damaged: it was kept as %1 and a new one was "
                                            "started")
                                 .arg(name));
    }
}

void queueCacheNotice(const QString &text, bool everyTime)
{
    static QSet<QString> said; // each notice once per run
    std::lock_guard lock(g_noticeMutex);
    if (said.contains(text) && !everyTime)
        return;
    said.insert(text);
    g_notices.push_back(text);
}

TidyPlan planTidy(const QString &path, int maxMB, const QString &shownFolder)
{
    TidyPlan plan;
    Storage root = Storage::open(path, kReadRoot);
    FileStats fs;
    if (!root.isOpen() || root.fileStats(&fs) != Status::Ok)
        return plan;
    plan.fileBytes = qint64(fs.fileBytes);
    plan.freeBytes = qint64(fs.freeSectors) * qint64(fs.sectorSize);
    const qint64 bound = qint64(std::max(0, maxMB)) * 1024 * 1024;
    if (bound > 0 && plan.fileBytes > bound) {
        std::vector<ElementStat> kids;
        root.elements(&kids);
        const UseMap use = loadUse(root);
        struct Folder {
            QString name;
            std::int64_t when;
            qint64 bytes;
        };
        std::vector<Folder> folders;
        for (const ElementStat &k : kids) {
            if (k.type != ElementType::Storage)
                continue;
            Storage folder = root.openStorage(k.name, kRead);
            QByteArray bytes;
            ThumbIndex index;
            if (folder.isOpen()
                && readStream(folder, OLEStorage::IndexStreamName, 64 * 1024 * 1024, &bytes) == Status::Ok)
                parseIndex(bytes, &index);
            qint64 sum = 0;
            index.forEach([&sum](const IndexEntry &e) { sum += std::max(0, e.ByteCount); });
            // Folders never recorded as used are the oldest of all.
            folders.push_back({ k.name, use.value(k.name).when, sum });
            plan.liveBytes += sum;
        }
        std::stable_sort(
            folders.begin(), folders.end(), [](const Folder &a, const Folder &b) { return a.when < b.when; });
        qint64 live = plan.liveBytes;
        const qint64 target = bound / 10 * 9;
        const QString shown = shownFolder.isEmpty() ? QString() : OLEStorage::FolderStorageName(shownFolder);
        for (const Folder &f : folders) {
            if (live <= target)
                break;
            if (f.name == shown)
                continue; // its thumbnails are on screen, and read from it
            plan.drop.push_back(f.name);
            live -= f.bytes;
        }
    }
    plan.rewrite = !plan.drop.isEmpty() || (plan.fileBytes >= 4 * 1024 * 1024 && plan.freeBytes * 2 > plan.fileBytes);
    return plan;
}

RebuildResult tidyCache(const QString &path, int maxMB, const QString &shownFolder)
{
    const TidyPlan plan = planTidy(path, maxMB, shownFolder);
    if (!plan.rewrite)
        return {};
    const QSet<QString> drop(plan.drop.begin(), plan.drop.end());
    // Decoding every thumbnail is for repair; here sizes and names are checked.
    return rebuildCache(
        path, [&drop](const QString &storage) { return !drop.contains(storage); }, false);
}

namespace
{
    // The one tidying thread of the process; joined when the program ends.
    class TidyThread
    {
    public:
        ~TidyThread()
        {
            std::lock_guard lock(m_mutex);
            if (m_thread.joinable())
                m_thread.join();
        }
        void start(const QString &path, int maxMB, const QString &shownFolder)
        {
            std::lock_guard lock(m_mutex);
            if (m_running.load())
                return;
            if (m_thread.joinable())
                m_thread.join(); // finished: only collected here
            m_running.store(true);
            m_thread = std::thread([this, path, maxMB, shownFolder] {
                tidyCache(path, maxMB, shownFolder);
                m_running.store(false);
            });
        }
        bool running() const { return m_running.load(); }

    private:
        std::mutex m_mutex;
        std::thread m_thread;
        std::atomic<bool> m_running { false };
    };
    TidyThread &tidyThread()
    {
        static TidyThread t;
        return t;
    }
} // namespace

void startCacheTidy(const QString &path, int maxMB, const QString &shownFolder)
{
    tidyThread().start(path, maxMB, shownFolder);
}

bool cacheTidyRunning()
{
    return tidyThread().running();
}

QString takeCacheNotice()
{
    std::lock_guard lock(g_noticeMutex);
    return g_notices.isEmpty() ? QString() : g_notices.takeFirst();
}

} // namespace v7
