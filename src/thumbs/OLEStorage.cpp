#include "thumbs/OLEStorage.h"

#include "app/Settings.h"
#include "core/Text.h"
#include "thumbs/Stamps.h"

#include <QFile>
#include <QFileInfo>
#include <array>

namespace v7
{

using namespace cfb;

const QString OLEStorage::CacheFileName = QStringLiteral("/QLM70.TDB");
const QString OLEStorage::IndexStreamName = QStringLiteral("Index");

namespace
{

    constexpr std::array<std::uint32_t, 256> makeCrcTable()
    {
        std::array<std::uint32_t, 256> t {};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }
    constexpr auto kCrcTable = makeCrcTable();

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
        folder.destroyElement(OLEStorage::IndexStreamName);
        Status s;
        Stream st = folder.createStream(OLEStorage::IndexStreamName, OLEStorage::ModeWriteDirect, &s);
        if (!st.isOpen())
            return false;
        if (st.write(serializeIndex(index)) != Status::Ok)
            return false;
        return st.commit() == Status::Ok;
    }

} // namespace

// ---- names -------------------------------------------------------------------

std::int32_t nameCrcValue(const QString &text)
{
    const QByteArray b = ansiBytes(text);
    std::uint32_t c = 0xFFFFFFFFu;
    for (char ch : b)
        c = kCrcTable[(c ^ std::uint8_t(ch)) & 0xFF] ^ (c >> 8);
    return std::int32_t(~c);
}

QString NameCrc(const QString &text)
{
    return QString::number(nameCrcValue(text));
}

// ---- the index ------------------------------------------------------------------

const IndexEntry *ThumbIndex::find(const QString &name) const
{
    const auto it = m_pos.constFind(name);
    return it == m_pos.constEnd() ? nullptr : &m_items[*it].first;
}

bool ThumbIndex::add(const IndexEntry &e)
{
    if (m_pos.contains(e.Name))
        return false;
    m_pos.insert(e.Name, m_items.size());
    m_items.emplace_back(e, true);
    return true;
}

bool ThumbIndex::remove(const QString &name)
{
    const auto it = m_pos.find(name);
    if (it == m_pos.end())
        return false;
    m_items[*it].second = false;
    m_pos.erase(it);
    if (m_items.size() > 64 && m_items.size() > 2 * std::size_t(m_pos.size())) { // drop the holes
        std::vector<std::pair<IndexEntry, bool>> kept;
        kept.reserve(std::size_t(m_pos.size()));
        for (auto &item : m_items)
            if (item.second) {
                m_pos[item.first.Name] = kept.size();
                kept.push_back(std::move(item));
            }
        m_items.swap(kept);
    }
    return true;
}

void ThumbIndex::clear()
{
    m_items.clear();
    m_pos.clear();
}

void parseIndex(const QByteArray &bytes, ThumbIndex *index)
{
    const auto *b = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype size = bytes.size();
    qsizetype p = 0;
    while (p + 10 <= size) {
        const std::size_t n = b[p + 8];
        if (p + 10 + qsizetype(n) > size)
            break; // a last record that runs past the end is not taken
        IndexEntry e;
        e.StreamId = std::int32_t(std::uint32_t(b[p]) | std::uint32_t(b[p + 1]) << 8 | std::uint32_t(b[p + 2]) << 16
            | std::uint32_t(b[p + 3]) << 24);
        e.ByteCount = std::int32_t(std::uint32_t(b[p + 4]) | std::uint32_t(b[p + 5]) << 8
            | std::uint32_t(b[p + 6]) << 16 | std::uint32_t(b[p + 7]) << 24);
        e.Name = fromAnsi(bytes.mid(p + 10, qsizetype(n)));
        index->add(e);
        p += 10 + qsizetype(n);
    }
}

QByteArray serializeIndex(const ThumbIndex &index)
{
    QByteArray out;
    index.forEach([&out](const IndexEntry &e) {
        const QByteArray name = ansiBytes(e.Name);
        char rec[10];
        for (int i = 0; i < 4; ++i) {
            rec[i] = char(std::uint32_t(e.StreamId) >> (8 * i));
            rec[4 + i] = char(std::uint32_t(e.ByteCount) >> (8 * i));
        }
        rec[8] = char(name.size());
        rec[9] = char(name.size() >> 8);
        out.append(rec, 10);
        out.append(name);
    });
    return out;
}

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
    m.root = Storage::open(path, mode);
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
    Stream s = m.folder.createStream(NameCrc(fileName), ModeNewStream);
    if (!s.isOpen())
        return false; // an existing thumbnail is never replaced
    if (s.write(data, std::uint64_t(count)) != Status::Ok)
        return false;
    m.index.add({ nameCrcValue(fileName), count, fileName });
    return true;
}

std::int32_t OLEStorage::LookupThumb(const QString &fileName)
{
    const IndexEntry *e = state().index.find(fileName);
    return e ? e->StreamId : 0;
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
    for (const auto &[oldName, target] : renames) {
        const IndexEntry *e = m.index.find(oldName);
        if (!e)
            continue;
        const std::int32_t bytes = e->ByteCount;
        m.index.remove(oldName);
        removed = true;
        if (keep)
            m.index.add({ target.streamIdText.toInt(), bytes, target.newName });
    }
    if (!m.root.isOpen()) {
        if (!OpenCacheFile(ModeWriteDirect, CacheFileName)
            || !OpenFolderStorage(FolderStorageName(QString()), nullptr, ModeWriteDirect)) {
            CloseCache();
            return;
        }
    }
    if (removed && m.folder.isOpen())
        renameStamps(m.folder, m.index, renames, keep);
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
    RenameMap renames;
    renames.reserve(names.size());
    for (const auto &[oldName, newName] : names) {
        if (operation == 1) {
            m.folder.renameElement(NameCrc(oldName), NameCrc(newName));
            renames.push_back({ oldName, { newName, NameCrc(newName) } });
        } else {
            m.folder.destroyElement(NameCrc(oldName));
            renames.push_back({ oldName, {} });
        }
    }
    ApplyRenames(renames, operation == 1);
    CloseCache();
}

void OLEStorage::ExportThumbs(const NameMap &targets)
{
    if (targets.empty())
        return;
    ModuleState &m = state();
    if (OpenCacheFile(ModeWriteTransacted, CacheFileName)
        && OpenFolderStorage(FolderStorageName(QString()), nullptr, ModeRead)) {
        for (const auto &[fileName, targetPath] : targets) {
            Stream s = m.folder.openStream(NameCrc(fileName), ModeRead);
            QByteArray bytes;
            if (!s.isOpen() || s.readAll(&bytes) != Status::Ok)
                continue;
            QFile::remove(targetPath);
            QFile out(targetPath);
            if (out.open(QIODevice::WriteOnly))
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
    const QString newPath = operation == 0 ? target : target + QFileInfo(source).fileName();
    const QString targetName = FolderStorageName(newPath);
    ModuleState &m = state();
    bool ok = OpenCacheFile(ModeWriteDirect, CacheFileName) && OpenFolderStorage(sourceName, nullptr, ModeRead);
    if (ok && operation != 2) {
        m.folder.release();
        ok = m.root.renameElement(sourceName, targetName) == Status::Ok;
    } else if (ok) {
        m.folder.release();
        ok =
            OpenFolderStorage(targetName, nullptr, ModeWriteDirect) || CreateFolderStorage(targetName, ModeWriteDirect);
        Storage src = ok ? m.root.openStorage(sourceName, ModeRead) : Storage();
        ok = ok && src.isOpen() && src.copyTo(m.folder) == Status::Ok;
    }
    if (ok)
        ok = CommitCache();
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

} // namespace v7
