#include "thumbs/OLEStorage.h"

#include "app/Settings.h"
#include "core/Text.h"
#include "thumbs/CacheUpkeep.h"
#include "thumbs/Stamps.h"
#include "thumbs/ThumbMain.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <sys/stat.h>

namespace v7
{

using namespace cfb;

const QString OLEStorage::CacheFileName = QStringLiteral("/QLM70.TDB");
const QString OLEStorage::IndexStreamName = QStringLiteral("Index");

namespace
{

    // Index names longer than this cannot be read back (only the low byte of the
    // stored length counts), and would shift every record after them.
    constexpr int kMaxIndexName = 255;

    struct ModuleState {
        Storage root;
        Storage folder;
        ThumbIndex index;
        QString currentFolder;
        bool justCreated = false;
    };

    ModuleState &state()
    {
        thread_local ModuleState s;
        return s;
    }

    bool exists(const QString &path)
    {
        return QFileInfo::exists(path);
    }

    Status readIndexStream(Storage &folder, ThumbIndex *index)
    {
        Status s;
        Stream st = folder.openStream(OLEStorage::IndexStreamName, OLEStorage::ModeRead, &s);
        if (!st.isOpen())
            return s;
        QByteArray bytes;
        if ((s = st.readAll(&bytes)) != Status::Ok)
            return s;
        parseIndex(bytes, index);
        return Status::Ok;
    }

    // Writes the index as a new "Index" stream, replacing any old one.
    bool writeIndexStream(Storage &folder, const ThumbIndex &index)
    {
        // Committed with the job's other changes (stamps, thumbnails) in one commit
        // of the storage or root: a commit here would write the file in between.
        return folder.writeStream(OLEStorage::IndexStreamName, serializeIndex(index), OLEStorage::ModeWriteDirect)
            == Status::Ok;
    }

    std::atomic<int> g_writerWaitMs { 10000 };

    // A folder whose "Stamps" did not read has no trustworthy stamps: before its
    // stamps are written whole again, its thumbnails without a stamp leave the
    // index (and their streams go), so none of them is later taken as current.
    void dropUnstamped(Storage &folder, ThumbIndex &index, const StampMap &stamps)
    {
        std::vector<IndexEntry> gone;
        index.forEach([&](const IndexEntry &e) {
            if (!stamps.contains(e.StreamId))
                gone.push_back(e);
        });
        for (const IndexEntry &e : gone) {
            const bool owned = index.ownsStream(e.Name);
            index.remove(e.Name);
            if (owned)
                folder.destroyElement(QString::number(e.StreamId));
        }
    }

    // Moves a folder storage's thumbnails into one that exists already: the
    // target's own entries win, the source's others join them, and the source goes.
    bool mergeFolderInto(Storage &root, const QString &sourceName, const QString &targetName)
    {
        Storage src = root.openStorage(sourceName, OLEStorage::ModeRead);
        Storage dst = root.openStorage(targetName, OLEStorage::ModeWriteDirect);
        if (!src.isOpen() || !dst.isOpen())
            return false;
        ThumbIndex from, into;
        readIndexStream(src, &from);
        readIndexStream(dst, &into);
        bool fromUnreadable = false, intoUnreadable = false;
        const StampMap fromStamps = loadStamps(src, &fromUnreadable);
        StampMap stamps = loadStamps(dst, &intoUnreadable);
        if (intoUnreadable)
            dropUnstamped(dst, into, stamps);
        bool ok = true;
        from.forEach([&](const IndexEntry &e) {
            if (!ok || fromUnreadable || into.contains(e.Name) || !from.ownsStream(e.Name) || into.ownerOf(e.StreamId))
                return;
            const QString streamName = QString::number(e.StreamId);
            Stream in = src.openStream(streamName, OLEStorage::ModeRead);
            QByteArray bytes;
            if (!in.isOpen() || in.readAll(&bytes) != Status::Ok)
                return; // a thumbnail that does not read is simply not moved
            dst.destroyElement(streamName); // one no entry lists
            Stream out = dst.createStream(streamName, OLEStorage::ModeNewStream);
            if (!out.isOpen() || out.write(bytes) != Status::Ok) {
                ok = false;
                return;
            }
            into.add(e);
            if (const auto st = fromStamps.constFind(e.StreamId); st != fromStamps.constEnd())
                stamps.insert(e.StreamId, *st);
        });
        if (!ok || !writeIndexStream(dst, into))
            return false;
        saveStamps(dst, into, stamps);
        src.release();
        dst.release();
        return root.destroyElement(sourceName) == Status::Ok;
    }

    // The cache file's root; a writer waits for another's commit to end, unless
    // told not to.
    Storage openCacheRoot(const QString &path, std::uint32_t mode, Status *out, bool mayWait = true)
    {
        const bool writer = (mode & 3) != cfb::mode::Read;
        const int wait = writer && mayWait ? g_writerWaitMs.load() : 0;
        Status st;
        Storage root = Storage::open(path, mode, wait, &st);
        if (!root.isOpen() && st == Status::Corrupt && writer) {
            // A damaged cache is never fatal: it is kept aside, and a new file takes
            // its place with every folder that still reads cleanly.
            setAsideDamagedCache(path, nullptr);
            root = Storage::open(path, mode, wait, &st);
        }
        if (out)
            *out = st;
        return root;
    }

} // namespace

// ---- the module -------------------------------------------------------------------

QString OLEStorage::cacheFilePath(const QString &fileName)
{
    return settings().CacheThumbsDir + fileName;
}

void OLEStorage::SetCurrentFolder(const QString &path)
{
    state().currentFolder = path;
}
QString OLEStorage::CurrentFolder()
{
    return state().currentFolder;
}
ThumbIndex &OLEStorage::CurrentIndex()
{
    return state().index;
}
bool OLEStorage::RootOpen()
{
    return state().root.isOpen();
}
bool OLEStorage::FolderOpen()
{
    return state().folder.isOpen();
}
cfb::Storage &OLEStorage::FolderStorage()
{
    return state().folder;
}
bool OLEStorage::CacheJustCreated()
{
    return state().justCreated;
}

QString OLEStorage::FolderStorageName(const QString &path)
{
    return NameCrc(path.isEmpty() ? state().currentFolder : path);
}

bool OLEStorage::OpenCacheFile(std::uint32_t mode, const QString &fileName)
{
    ModuleState &m = state();
    const QString path = cacheFilePath(fileName);
    if (!exists(path))
        return false;
    m.folder.release();
    m.root.release();
    m.justCreated = false;
    m.root = openCacheRoot(path, mode, nullptr);
    return m.root.isOpen();
}

bool OLEStorage::CreateCacheFile(std::uint32_t mode, const QString &fileName)
{
    ModuleState &m = state();
    const QString path = cacheFilePath(fileName);
    if (exists(path))
        return false;
    Storage created = Storage::create(path, mode);
    if (!created.isOpen())
        return false;
    m.folder.release();
    m.root = created;
    m.justCreated = true;
    return true;
}

bool OLEStorage::OpenFolderStorage(const QString &name, QHash<QString, qint64> *streamList, std::uint32_t mode)
{
    ModuleState &m = state();
    if (!m.root.isOpen())
        return false;
    // Found by name at any count: a cap on how many children are looked at would
    // hide the caches of folders past it.
    Status s;
    Storage found = m.root.openStorage(name, mode, &s);
    if (!found.isOpen())
        return false;
    ElementStat st;
    if (found.stat(&st) != Status::Ok || st.name != name)
        return false; // element names match without case; folder names must match exactly
    m.folder = found;
    if (streamList) {
        std::vector<ElementStat> els;
        found.elements(&els);
        for (const auto &e : els)
            if (e.type == ElementType::Stream)
                streamList->insert(e.name, qint64(e.size));
    }
    return true;
}

bool OLEStorage::CreateFolderStorage(const QString &name, std::uint32_t mode)
{
    ModuleState &m = state();
    if (!m.root.isOpen())
        return false;
    Storage created = m.root.createStorage(name, mode);
    if (!created.isOpen())
        return false;
    m.folder = created;
    m.root.commit();
    return true;
}

bool OLEStorage::WriteThumbStream(const QString &fileName, const char *data, int count)
{
    ModuleState &m = state();
    if (!m.folder.isOpen() || count < 0 || ansiBytes(fileName).size() > kMaxIndexName)
        return false;
    const std::int32_t id = nameCrcValue(fileName);
    // A thumbnail the index lists is never replaced: it is this name's (made again
    // only after its entry is dropped) or another name's with the same CRC-32, which
    // then stays uncached rather than take or spoil the other's picture.
    if (m.index.ownerOf(id))
        return false;
    const QString streamName = QString::number(id);
    Status st;
    Stream s = m.folder.createStream(streamName, ModeNewStream, &st);
    if (!s.isOpen() && st == Status::FileAlreadyExists) {
        // Listed by no entry: left by an interrupted job or a merge, free to reuse.
        if (m.folder.destroyElement(streamName) == Status::Ok)
            s = m.folder.createStream(streamName, ModeNewStream);
    }
    if (!s.isOpen())
        return false;
    if (const Status w = s.write(data, std::uint64_t(count)); w != Status::Ok) {
        // Nothing half-written stays; the 2 GB a version-3 file can address is said
        // once rather than met in silence.
        s.release();
        m.folder.destroyElement(streamName);
        if (w == Status::TooLarge)
            queueCacheNotice(QStringLiteral("The thumbnail cache file has reached its 2 GB limit: new thumbnails are "
                                            "not cached (lower CacheMaxMB, or run vorlane7-cache compact)"));
        return false;
    }
    m.index.remove(fileName); // an entry naming another stream is not this name's thumbnail
    m.index.add({ id, count, fileName });
    return true;
}

std::int32_t OLEStorage::LookupThumb(const QString &fileName)
{
    const ThumbIndex &index = state().index;
    return index.ownsStream(fileName) ? index.find(fileName)->StreamId : 0;
}

void OLEStorage::LoadIndex()
{
    ModuleState &m = state();
    m.index.clear();
    if (m.folder.isOpen())
        readIndexStream(m.folder, &m.index);
}

void OLEStorage::SaveIndex()
{
    ModuleState &m = state();
    if (!m.folder.isOpen() || m.index.isEmpty())
        return;
    writeIndexStream(m.folder, m.index);
    m.index.clear();
}

void OLEStorage::ClearIndex()
{
    state().index.clear();
}

qint64 OLEStorage::FolderCacheBytes(const QString &folderName)
{
    const QString path = cacheFilePath(CacheFileName);
    if (!exists(path))
        return 0;
    Storage root = Storage::open(path, ModeReadTransacted);
    Storage folder = root.openStorage(folderName, ModeRead);
    if (!folder.isOpen())
        return 0;
    ThumbIndex index;
    readIndexStream(folder, &index);
    qint64 sum = 0;
    index.forEach([&sum](const IndexEntry &e) { sum += e.ByteCount; });
    return sum;
}

void OLEStorage::LoadFolderIndexInto(const QString &folderName, ThumbIndex &map)
{
    // Its own read-only handles: a writer of this thread keeps its open storages
    // (and their uncommitted changes) while the committed index is read.
    const QString path = cacheFilePath(CacheFileName);
    if (!exists(path))
        return;
    Storage root = Storage::open(path, ModeReadTransacted);
    Storage folder = root.openStorage(folderName, ModeRead);
    if (folder.isOpen())
        readIndexStream(folder, &map);
}

void OLEStorage::ApplyRenames(const RenameMap &renames, bool keep)
{
    if (renames.empty())
        return;
    ModuleState &m = state();
    m.index.clear();
    LoadFolderIndexInto(FolderStorageName(QString()), m.index);
    bool removed = false;
    RenameMap moved; // the entries that owned their stream: their stamps follow or go
    for (const auto &[oldName, target] : renames) {
        if (keep && oldName == target.newName)
            continue;
        const IndexEntry *e = m.index.find(oldName);
        const bool owned = m.index.ownsStream(oldName);
        const std::int32_t bytes = e ? e->ByteCount : 0;
        if (e) {
            m.index.remove(oldName);
            removed = true;
        }
        if (!keep) {
            if (owned)
                moved.push_back({ oldName, target });
            continue;
        }
        // The file now under the new name is the renamed one: whatever that name
        // showed before is gone, whether or not the renamed file had a thumbnail.
        if (m.index.remove(target.newName))
            removed = true;
        if (e && owned && !target.streamIdText.isEmpty()) {
            m.index.add({ target.streamIdText.toInt(), bytes, target.newName });
            moved.push_back({ oldName, target });
        }
    }
    if (!m.root.isOpen()) {
        if (!OpenCacheFile(ModeWriteDirect, CacheFileName)
            || !OpenFolderStorage(FolderStorageName(QString()), nullptr, ModeWriteDirect)) {
            CloseCache();
            return;
        }
    }
    if (removed && m.folder.isOpen())
        renameStamps(m.folder, m.index, moved, keep);
    if (m.index.isEmpty() && removed && m.folder.isOpen()) {
        // The last entries were removed: an index left as it was would still
        // list them (and count their bytes), so it is written empty.
        writeIndexStream(m.folder, m.index);
    } else {
        SaveIndex();
    }
    CommitCache();
    CloseCache();
}

void OLEStorage::RenameThumbs(int operation, const NameMap &names)
{
    if (names.empty() || (operation != 1 && operation != 2))
        return;
    ModuleState &m = state();
    if (!OpenCacheFile(ModeWriteDirect, CacheFileName)
        || !OpenFolderStorage(FolderStorageName(QString()), nullptr, ModeWriteDirect)) {
        CloseCache();
        return;
    }
    // Which stream is whose is the index's word: a name whose CRC-32 another name
    // already uses has no stream of its own, and that other name's is not touched.
    ThumbIndex index;
    readIndexStream(m.folder, &index);
    RenameMap renames;
    renames.reserve(names.size());
    for (const auto &[oldName, newName] : names) {
        const std::int32_t oldId = nameCrcValue(oldName);
        const bool owned = index.ownsStream(oldName);
        const std::int32_t bytes = owned ? index.find(oldName)->ByteCount : 0;
        if (operation == 2) {
            if (owned || !index.ownerOf(oldId)) // its own, or one no entry lists
                m.folder.destroyElement(QString::number(oldId));
            index.remove(oldName);
            renames.push_back({ oldName, {} });
            continue;
        }
        if (oldName == newName)
            continue;
        const std::int32_t newId = nameCrcValue(newName);
        const QString newStream = QString::number(newId);
        const QString *holder = index.ownerOf(newId);
        const bool targetFree = !holder || *holder == newName; // no picture of a third name there
        bool moved = owned && newId == oldId; // two names of one CRC-32: the stream stays
        if (!moved && targetFree)
            m.folder.destroyElement(newStream); // the target's old picture, or a stream no entry lists
        if (owned && !moved) {
            moved = targetFree && m.folder.renameElement(QString::number(oldId), newStream) == Status::Ok;
            if (!moved) // the new name's CRC-32 is a third name's: the renamed file goes uncached
                m.folder.destroyElement(QString::number(oldId));
        }
        index.remove(oldName);
        index.remove(newName);
        if (moved)
            index.add({ newId, bytes, newName });
        renames.push_back({ oldName, { newName, moved ? newStream : QString() } });
    }
    ApplyRenames(renames, operation == 1);
    CloseCache();
}

void OLEStorage::ExportThumbs(const NameMap &targets)
{
    if (targets.empty())
        return;
    ModuleState &m = state();
    // Reading needs no writer: a job that holds the cache is not disturbed.
    if (OpenCacheFile(ModeReadTransacted, CacheFileName)
        && OpenFolderStorage(FolderStorageName(QString()), nullptr, ModeRead)) {
        ThumbIndex index;
        readIndexStream(m.folder, &index);
        for (const auto &[fileName, targetPath] : targets) {
            // Only the name's own stream: with a shared CRC-32 it may be another file's picture.
            if (!index.ownsStream(fileName) || targetPath.isEmpty())
                continue;
            Stream s = m.folder.openStream(NameCrc(fileName), ModeRead);
            QByteArray bytes;
            if (!s.isOpen() || s.readAll(&bytes) != Status::Ok)
                continue;
            QFile::remove(targetPath);
            // A new file only: a link planted at the path in between is not followed.
            QFile out(targetPath);
            if (out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
                out.write(bytes);
        }
    }
    CloseCache();
}

bool OLEStorage::MoveFolderCache(int operation, const QString &source, const QString &target)
{
    if (operation < 0 || operation > 2)
        return false;
    const QString sourceName = FolderStorageName(source);
    // The whole last component: a folder named "a.b" moves to target + "a.b".
    const QString newPath = operation == 0 ? target : joinPath(target, QFileInfo(source).fileName());
    const QString targetName = FolderStorageName(newPath);
    ModuleState &m = state();
    bool ok = OpenCacheFile(ModeWriteDirect, CacheFileName) && OpenFolderStorage(sourceName, nullptr, ModeRead);
    if (ok && operation != 2) {
        m.folder.release();
        const Status r = m.root.renameElement(sourceName, targetName);
        // A job of the moved folder may have committed under the new name first.
        ok = r == Status::Ok || (r == Status::FileAlreadyExists && mergeFolderInto(m.root, sourceName, targetName));
    } else if (ok) {
        m.folder.release();
        ok =
            OpenFolderStorage(targetName, nullptr, ModeWriteDirect) || CreateFolderStorage(targetName, ModeWriteDirect);
        Storage src = ok ? m.root.openStorage(sourceName, ModeRead) : Storage();
        ok = ok && src.isOpen() && src.copyTo(m.folder) == Status::Ok;
    }
    if (ok) {
        // The record of use names the folder's path: it goes with the storage,
        // or prune would take the moved folder for one nothing knows.
        m.folder.release();
        UseMap use = loadUse(m.root);
        if (operation != 2)
            use.remove(sourceName);
        use.insert(targetName, { QDateTime::currentSecsSinceEpoch(), newPath });
        ok = saveUse(m.root, use) && CommitCache();
    }
    CloseCache();
    return ok;
}

bool OLEStorage::DeleteFolderCache(const QString &folderName, const QString &fileName)
{
    ModuleState &m = state();
    if (!OpenCacheFile(ModeWriteTransacted, fileName))
        return false;
    bool ok = m.root.destroyElement(folderName) == Status::Ok;
    ok = m.root.commit() == Status::Ok && ok;
    CloseCache();
    return ok;
}

bool OLEStorage::OpenCacheForThumbs()
{
    const std::uint32_t mode = startFlags().TransactedCache ? ModeWriteTransacted : ModeWriteDirect;
    if (!OpenCacheFile(mode, CacheFileName) && !CreateCacheFile(mode, CacheFileName))
        return false;
    const QString name = FolderStorageName(QString());
    if (CacheJustCreated() || !OpenFolderStorage(name, nullptr, ModeWriteDirect))
        CreateFolderStorage(name, ModeWriteDirect);
    return FolderOpen() && settings().CacheThumbs;
}

bool OLEStorage::OpenCacheForDisplay()
{
    ModuleState &m = state();
    m.index.clear();
    if (!OpenCacheFile(ModeReadTransacted, CacheFileName)
        || !OpenFolderStorage(FolderStorageName(QString()), nullptr, ModeRead))
        return false;
    LoadIndex();
    return true;
}

bool OLEStorage::ReadThumb(const QString &fileName, QByteArray *out)
{
    out->clear();
    ModuleState &m = state();
    const std::int32_t id = LookupThumb(fileName);
    if (id == 0 || !m.folder.isOpen())
        return false;
    Stream s = m.folder.openStream(QString::number(id), ModeRead);
    return s.isOpen() && s.readAll(out) == Status::Ok;
}

bool OLEStorage::CommitCache()
{
    ModuleState &m = state();
    bool ok = true;
    if (m.folder.isOpen())
        ok = m.folder.commit() == Status::Ok;
    if (m.root.isOpen())
        ok = m.root.commit() == Status::Ok && ok;
    return ok;
}

void OLEStorage::CloseCache()
{
    ModuleState &m = state();
    m.folder.release();
    m.root.release();
}

int OLEStorage::WriterWaitMs()
{
    return g_writerWaitMs.load();
}

void OLEStorage::SetWriterWaitMs(int ms)
{
    g_writerWaitMs.store(std::max(0, ms));
}

cfb::Storage OLEStorage::OpenCacheWriter(cfb::Status *st, bool wait)
{
    const std::uint32_t mode = startFlags().TransactedCache ? ModeWriteTransacted : ModeWriteDirect;
    return openCacheRoot(cacheFilePath(CacheFileName), mode, st, wait);
}

bool OLEStorage::CommitThumbs(const QString &folderPath, const std::vector<PendingThumb> &thumbs, bool wait)
{
    const QString path = cacheFilePath(CacheFileName);
    const std::uint32_t mode = startFlags().TransactedCache ? ModeWriteTransacted : ModeWriteDirect;
    Storage root;
    if (!exists(path))
        root = Storage::create(path, mode); // fails when another made it meanwhile
    if (!root.isOpen())
        root = OpenCacheWriter(nullptr, wait);
    if (!root.isOpen())
        return false;
    // The file this writer holds: the open made sure the path names it.
    struct stat held = {};
    const bool known = ::stat(QFile::encodeName(path).constData(), &held) == 0;
    if (commitThumbsInto(root, folderPath, thumbs))
        return true;
    if (!root.metDamage())
        return false;
    // Damage the open did not reach (the writer reads only where it goes): the
    // file is set aside as at a damaged open, and the thumbnails go to the new
    // one. Done under this writer's lock, so a writer waiting for it opens the new
    // file; and only while the path still names the damaged file, since a
    // damaged open elsewhere may have replaced it already.
    struct stat now = {};
    if (known && ::stat(QFile::encodeName(path).constData(), &now) == 0 && now.st_dev == held.st_dev
        && now.st_ino == held.st_ino)
        setAsideDamagedCache(path, nullptr);
    root.release();
    root = OpenCacheWriter(nullptr, wait);
    return root.isOpen() && commitThumbsInto(root, folderPath, thumbs);
}

bool OLEStorage::commitThumbsInto(Storage &root, const QString &folderPath, const std::vector<PendingThumb> &thumbs)
{
    const QString path = cacheFilePath(CacheFileName);
    const QString name = NameCrc(folderPath);
    Storage folder = root.openStorage(name, ModeWriteDirect);
    if (folder.isOpen()) {
        ElementStat st;
        if (folder.stat(&st) != Status::Ok || st.name != name)
            return false; // element names match without case; folder names must match exactly
    } else {
        folder = root.createStorage(name, ModeWriteDirect);
        if (!folder.isOpen())
            return false;
    }
    // Read under the lock: what other writers committed since this job began is
    // the base its thumbnails are added to.
    ThumbIndex index;
    readIndexStream(folder, &index);
    bool stampsUnreadable = false;
    StampMap stamps = loadStamps(folder, &stampsUnreadable);
    bool changed = false;
    for (const PendingThumb &t : thumbs) {
        if (t.bytes.isEmpty() || ansiBytes(t.name).size() > kMaxIndexName)
            continue;
        const std::int32_t id = nameCrcValue(t.name);
        if (const QString *owner = index.ownerOf(id); owner && *owner != t.name)
            continue; // another file's picture under the same CRC-32
        const QString streamName = QString::number(id);
        folder.destroyElement(streamName); // this name's older picture, or one no entry lists
        index.remove(t.name);
        changed = true;
        Stream s = folder.createStream(streamName, ModeNewStream);
        const Status w = s.isOpen() ? s.write(t.bytes) : Status::IoError;
        if (w != Status::Ok) {
            s.release();
            folder.destroyElement(streamName);
            if (w == Status::TooLarge)
                queueCacheNotice(QStringLiteral("The thumbnail cache file has reached its 2 GB limit: new thumbnails "
                                                "are not cached (lower CacheMaxMB, or run vorlane7-cache compact)"));
            break;
        }
        index.add({ id, std::int32_t(t.bytes.size()), t.name });
        if (t.stamped)
            stamps.insert(id, t.stamp);
        else
            stamps.remove(id);
    }
    if (changed) {
        if (stampsUnreadable)
            dropUnstamped(folder, index, stamps);
        saveStamps(folder, index, stamps);
        if (!writeIndexStream(folder, index))
            return false;
    }
    if (settings().CacheThumbs)
        touchFolderUse(root, path, folderPath);
    bool ok = folder.commit() == Status::Ok;
    ok = root.commit() == Status::Ok && ok;
    return ok;
}

} // namespace v7
