// The thumbnail cache file: one compound file ("/QLM70.TDB" in CacheThumbsDir)
// with a child storage per image folder, named by NameCrc of the folder path;
// in it a stream per thumbnail, named by NameCrc of the file name, and the
// folder's "Index" stream.
//
// Threads: every thread that runs thumbnail work has its own module state (open
// root, open folder storage, current index, current folder); the functions act
// on the calling thread's state and may be called from any thread. No operation
// reports an error: failures end quietly with false, 0 or an unchanged index.
#pragma once

#include "platform/Cfb.h"
#include "thumbs/Stamps.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <cstdint>
#include <utility>
#include <vector>

namespace v7
{

// Signed decimal text of the CRC-32 of the name's ANSI bytes.
QString NameCrc(const QString &text);
std::int32_t nameCrcValue(const QString &text);

struct IndexEntry {
    std::int32_t StreamId = 0;
    std::int32_t ByteCount = 0;
    QString Name;
};

// File name -> entry, kept in insertion order; names are case-sensitive.
class ThumbIndex
{
public:
    bool contains(const QString &name) const { return m_pos.contains(name); }
    const IndexEntry *find(const QString &name) const;
    bool add(const IndexEntry &e); // false (and no change) when the name is present
    bool remove(const QString &name);
    void clear();
    int size() const { return int(m_pos.size()); }
    bool isEmpty() const { return m_pos.isEmpty(); }
    // The name the index gives the stream: the first present entry with that
    // StreamId, or null when no entry lists it.
    const QString *ownerOf(std::int32_t streamId) const;
    // True when the stream NameCrc(name) is name's own: the entry for name has that
    // StreamId and no earlier entry claims it. Two names sharing a CRC-32 share one
    // stream name; only its owner may use, replace, delete or export it.
    bool ownsStream(const QString &name) const;
    template <typename F> void forEach(F f) const
    {
        for (const auto &e : m_items)
            if (e.second)
                f(e.first);
    }

private:
    void rebuildOwners();
    std::vector<std::pair<IndexEntry, bool>> m_items; // entry, still present
    QHash<QString, std::size_t> m_pos;
    QHash<std::int32_t, std::size_t> m_owner; // StreamId -> item of its first present entry
    bool m_sharedIds = false; // some StreamId is claimed by more than one entry
};

// The "Index" stream: records of StreamId, ByteCount (little-endian), a 16-bit
// name length and the name's ANSI bytes. Reading takes only the low byte of the
// length; the first record of a name wins; a record running past the end ends it.
void parseIndex(const QByteArray &bytes, ThumbIndex *index);
QByteArray serializeIndex(const ThumbIndex &index);
// Whether an index name can only name a file directly inside its folder: not
// empty, "." or "..", and without "/" or NUL. Index names come from the file,
// so nothing else is trusted as a file name.
bool isPlainFileName(const QString &name);

struct RenameTarget {
    QString newName;
    QString streamIdText; // decimal text of the new StreamId
};
using RenameMap = std::vector<std::pair<QString, RenameTarget>>; // old name -> target, in order
using NameMap = std::vector<std::pair<QString, QString>>; // in order

class OLEStorage
{
public:
    // Open modes of the cache.
    static constexpr std::uint32_t ModeWriteDirect = 0x12; // read/write, share-exclusive
    static constexpr std::uint32_t ModeWriteTransacted = 0x210002; // read/write, transacted, no snapshot
    static constexpr std::uint32_t ModeReadTransacted = 0x210000; // read, transacted, no snapshot
    static constexpr std::uint32_t ModeRead = 0x10; // read, share-exclusive
    static constexpr std::uint32_t ModeNewStream = 0x11; // write, share-exclusive
    static const QString CacheFileName; // "/QLM70.TDB"
    static const QString IndexStreamName; // "Index"

    static QString cacheFilePath(const QString &fileName); // CacheThumbsDir + fileName

    static bool OpenCacheFile(std::uint32_t mode, const QString &fileName);
    static bool CreateCacheFile(std::uint32_t mode, const QString &fileName);
    static bool OpenFolderStorage(const QString &name, QHash<QString, qint64> *streamList, std::uint32_t mode);
    static bool CreateFolderStorage(const QString &name, std::uint32_t mode);
    static bool WriteThumbStream(const QString &fileName, const char *data, int count);
    static std::int32_t LookupThumb(const QString &fileName);
    static void LoadIndex();
    static void SaveIndex();
    static void ClearIndex();
    static qint64 FolderCacheBytes(const QString &folderName);
    static void LoadFolderIndexInto(const QString &folderName, ThumbIndex &map);
    static void ApplyRenames(const RenameMap &renames, bool keep);
    static void RenameThumbs(int operation, const NameMap &names);
    static void ExportThumbs(const NameMap &targets);
    static bool MoveFolderCache(int operation, const QString &source, const QString &target);
    static bool DeleteFolderCache(const QString &folderName, const QString &fileName);
    static QString FolderStorageName(const QString &path);

    // The opening sequence of a thumbnail job: true when the cache is to be used.
    static bool OpenCacheForThumbs();
    // The opening sequence of the display: true when the folder's index is loaded.
    static bool OpenCacheForDisplay();
    // A cached thumbnail's bytes through the current index; false means not cached.
    static bool ReadThumb(const QString &fileName, QByteArray *out);
    // Commits the folder storage and then the root (the end of a job that saved its index).
    static bool CommitCache();
    // Releases the folder storage and the root.
    static void CloseCache();

    // Writers take the file's lock only for the span of one commit; one that finds
    // it taken waits this long (milliseconds) for it, then gives up quietly. The
    // bound is process-wide; tests shorten it.
    static int WriterWaitMs();
    static void SetWriterWaitMs(int ms);
    // Opens the cache file for writing with that wait (TransactedCache picks the
    // mode); wait false: not at all.
    static cfb::Storage OpenCacheWriter(cfb::Status *st = nullptr, bool wait = true);

    // A thumbnail a job made and has not committed yet.
    struct PendingThumb {
        QString name;
        QByteArray bytes;
        bool stamped = false;
        FileStamp stamp;
    };
    // Merges a job's thumbnails into the folder's storage as the file stands now:
    // takes the writer lock (waiting as above), creates the folder storage when
    // missing, replaces each name's stream, adds the names to the committed "Index"
    // and "Stamps" (whatever another writer committed meanwhile stays), commits and
    // lets go. A stream whose name another entry owns (a shared CRC-32) is left
    // alone. With no thumbnails it only makes sure the storage exists. The calling
    // thread's module state is not touched. True when committed. wait false: a
    // writer lock taken elsewhere is not waited for (the commit is then not made).
    static bool CommitThumbs(const QString &folderPath, const std::vector<PendingThumb> &thumbs, bool wait = true);

    // The calling thread's state.
    static void SetCurrentFolder(const QString &path);
    static QString CurrentFolder();
    static ThumbIndex &CurrentIndex();
    static bool RootOpen();
    static bool FolderOpen();
    static bool CacheJustCreated(); // set by CreateCacheFile, cleared by OpenCacheFile
    // The calling thread's open folder storage, for streams kept beside "Index" ("Stamps").
    static cfb::Storage &FolderStorage();

private:
    static bool commitThumbsInto(
        cfb::Storage &root, const QString &folderPath, const std::vector<PendingThumb> &thumbs);
};

} // namespace v7
