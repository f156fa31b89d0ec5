#include "thumbs/CacheUpkeep.h"

#include "imaging/ImageLoad.h"
#include "platform/CfbSalvage.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/Stamps.h"
#include "thumbs/ThumbMain.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryFile>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <utility>

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
        // No commit here: the caller commits once, when all of its changes are made.
        return parent.writeStream(name, bytes, kWrite) == Status::Ok;
    }

    // The thumbnail bytes of an entry, when they check cleanly; otherwise the reason.
    QString readEntry(
        Storage &folder, const ThumbIndex &index, const IndexEntry &e, QByteArray *bytes, bool decode = true)
    {
        if (!isPlainFileName(e.Name))
            return QStringLiteral("not a plain file name");
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

    // Writes the kept folders of src into a new file at tmp. salvage: src is what
    // was read of a damaged file, and each folder that lost thumbnails is named.
    RebuildResult writeRebuilt(
        Storage &src, const QString &tmp, const std::function<bool(const QString &)> &keep, bool decode, bool salvage)
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
            if (keep && !keep(k.name)) {
                r.dropped.push_back(k.name);
                continue;
            }
            FolderCheck before;
            if (salvage)
                before = checkFolderStorage(src, k.name);
            int thumbs = 0;
            if (!copyLiveFolder(src, k.name, dest, &thumbs, decode)) {
                r.lost.push_back(k.name + QStringLiteral(": cannot be copied"));
                dest.destroyElement(k.name);
                continue;
            }
            if (salvage && (!before.problems.isEmpty() || thumbs < before.thumbs))
                r.lost.push_back(k.name
                    + QStringLiteral(": %1 of %2 thumbnails lost").arg(before.thumbs - thumbs).arg(before.thumbs)
                    + (before.problems.isEmpty() ? QString() : QStringLiteral(" (") + before.problems.first() + ')'));
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

namespace
{
    int openInUseFile(const QString &cacheFile)
    {
        return ::open(
            QFile::encodeName(cacheFile + QStringLiteral(".inuse")).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    }
    struct flock inUseByte(const QString &storageName, short type)
    {
        struct flock fl = {};
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        fl.l_start = off_t(std::uint32_t(storageName.toInt()));
        fl.l_len = 1;
        return fl;
    }
} // namespace

FolderInUse::FolderInUse(const QString &cacheFile, const QString &storageName)
{
    const int fd = openInUseFile(cacheFile);
    if (fd < 0)
        return;
    // Locks of the open file description, not of the process: a tidy thread of
    // this same process sees them too.
    struct flock fl = inUseByte(storageName, F_RDLCK);
    if (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        ::close(fd);
        return;
    }
    m_fd = fd;
}

FolderInUse::~FolderInUse()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

FolderInUse::FolderInUse(FolderInUse &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
{
}

FolderInUse &FolderInUse::operator=(FolderInUse &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

bool folderInUse(const QString &cacheFile, const QString &storageName)
{
    const int fd = openInUseFile(cacheFile);
    if (fd < 0)
        return false;
    struct flock fl = inUseByte(storageName, F_WRLCK);
    const bool held = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

void setShownFolder(const QString &cacheFile, const QString &folderPath)
{
    static std::mutex mutex;
    static FolderInUse shown;
    FolderInUse next = folderPath.isEmpty() ? FolderInUse() : FolderInUse(cacheFile, NameCrc(folderPath));
    std::lock_guard lock(mutex);
    shown = std::move(next);
}

bool cacheFileSound(const QString &path, QStringList *problems, bool *tail)
{
    QStringList found;
    const Status st = Storage::check(path, &found);
    const qsizetype before = found.size();
    found.removeAll(Storage::UncoveredTail);
    if (tail)
        *tail = found.size() != before;
    const bool ok = st == Status::Ok || (st == Status::Corrupt && found.isEmpty() && before > 0);
    if (problems)
        *problems = found;
    return ok;
}

DamageReport inspectDamagedCache(const QString &path)
{
    DamageReport d;
    QTemporaryFile scratch(QDir::tempPath() + QStringLiteral("/vorlane7-check-XXXXXX"));
    if (!scratch.open())
        return d;
    SalvageResult sr;
    if (salvageCompoundFile(path, scratch.fileName(), &sr) != Status::Ok) {
        d.fileProblems = sr.problems;
        return d;
    }
    d.fileProblems = sr.problems;
    d.readable = true;
    Storage root = Storage::open(scratch.fileName(), kReadRoot);
    std::vector<ElementStat> kids;
    if (!root.isOpen() || root.elements(&kids) != Status::Ok)
        return d;
    for (const ElementStat &k : kids) {
        if (k.type == ElementType::Storage)
            d.folders.push_back(checkFolderStorage(root, k.name));
        else if (k.name != UseStreamName)
            d.fileProblems.push_back(QLatin1Char('/') + k.name + QStringLiteral(": a stream in the root"));
    }
    return d;
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
    // What still reads is copied out sector by sector first; each folder of that
    // copy then keeps the thumbnails that check cleanly.
    const QString scratch = scratchName(aside, "read");
    const QString tmp = scratchName(path, "new");
    {
        const bool read = salvageCompoundFile(aside, scratch) == Status::Ok;
        Storage src = read ? Storage::open(scratch, kReadRoot) : Storage();
        if (src.isOpen()) {
            r = writeRebuilt(src, tmp, {}, true, true);
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
                                    "(%2 thumbnails in %3 folders saved; %4 folders lost thumbnails)")
                         .arg(QFileInfo(aside).fileName())
                         .arg(r.thumbs)
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
        r = writeRebuilt(src, tmp, keep, decode, false);
    }
    r.bytesBefore = fileSize(path);
    // A folder dropped while it was free may have been taken up since (a job began
    // on it in another process): then the old file stays.
    for (const QString &d : std::as_const(r.dropped))
        if (r.ok && keep && keep(d))
            r.ok = false;
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
        // A thumbnail costs the file more than its bytes: its entry, the rounding
        // up to whole sectors, the tables and the folder's index. Each folder is
        // counted at the file's own ratio of space in use to thumbnail bytes, so
        // the rewritten file, not just its thumbnails, ends within the bound.
        const qint64 used = std::max(plan.fileBytes - plan.freeBytes, plan.liveBytes);
        const double perByte = plan.liveBytes > 0 ? double(used) / double(plan.liveBytes) : 1.0;
        qint64 live = used;
        const qint64 target = bound / 10 * 9;
        const QString shown = shownFolder.isEmpty() ? QString() : OLEStorage::FolderStorageName(shownFolder);
        for (const Folder &f : folders) {
            if (live <= target)
                break;
            if (f.name == shown || folderInUse(path, f.name))
                continue; // its thumbnails are on screen, or a job writes it
            plan.drop.push_back(f.name);
            live -= qint64(double(f.bytes) * perByte);
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
        path,
        [&drop, &path](const QString &storage) { return !drop.contains(storage) || folderInUse(path, storage); },
        false);
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
