// Upkeep of the thumbnail cache file: checking folder storages, setting a damaged
// file aside and saving what still reads, rewriting the live thumbnails into a
// new file (repair, compact), pruning what no folder needs, and the record of
// when each folder was last used, which decides what gives way under CacheMaxMB.
//
// A rebuilt file is written beside the cache under another name, committed, and
// renamed over it while the old file's writer lock is held, so a reader or a
// crash sees the old file or the new one, never a mixture.
//
// Threads: the functions act on the files and storages given; any thread. The
// notice queue is process-wide.
#pragma once

#include "platform/Cfb.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <vector>

namespace v7
{

// The root stream that records, per folder storage, when it was last used.
inline const QString UseStreamName = QStringLiteral("Use");

// What a look at one folder storage found.
struct FolderCheck {
    QString storage; // the storage's name
    QStringList problems; // "/storage/...: what", empty when it checks cleanly
    QStringList unlisted; // thumbnail streams no index entry gives a name
    int thumbs = 0; // entries in its index
    qint64 liveBytes = 0; // bytes of the thumbnails that check cleanly
};

// Reads the folder storage's index and stamps and every thumbnail they list: the
// stream exists, is the name's own, has the size the index gives, holds at most
// 65,535 bytes and decodes.
FolderCheck checkFolderStorage(cfb::Storage &root, const QString &name);

// Copies the folder storage's live content into destRoot under the same name: the
// thumbnails that check cleanly, an "Index" listing just them, and their stamps.
// Unlisted streams and broken entries stay behind; decode: a thumbnail must also
// decode to count as live. False on a read or write error.
bool copyLiveFolder(
    cfb::Storage &root, const QString &name, cfb::Storage &destRoot, int *thumbs = nullptr, bool decode = true);

// When each folder storage was last used and for which folder, from the root's
// "Use" stream: records of the storage name's CRC value (4 bytes), the time in
// seconds since 1970 UTC (8), the path's length (2) and its UTF-8 bytes, all
// little-endian. A missing or malformed stream gives an empty map.
struct FolderUse {
    std::int64_t when = 0;
    QString path;
};
using UseMap = QHash<QString, FolderUse>; // storage name -> use
UseMap loadUse(cfb::Storage &root);
bool saveUse(cfb::Storage &root, const UseMap &use);
// Records the use of a folder in the open writable root, once per folder per run
// of the program (later calls for the same folder and file do nothing). True when
// it wrote.
bool touchFolderUse(cfb::Storage &root, const QString &cacheFile, const QString &folderPath);

// A folder storage in use, while this object lives: a job writing it or a display
// showing it. Size-bound tidying, in this process or any other, leaves it alone.
// The marks are shared locks on a byte (the storage name's CRC value) of the file
// cacheFile + ".inuse", so a process that ends or is killed lets go of its marks.
class FolderInUse
{
public:
    FolderInUse() = default;
    FolderInUse(const QString &cacheFile, const QString &storageName);
    ~FolderInUse();
    FolderInUse(FolderInUse &&other) noexcept;
    FolderInUse &operator=(FolderInUse &&other) noexcept;
    FolderInUse(const FolderInUse &) = delete;
    FolderInUse &operator=(const FolderInUse &) = delete;
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
// True when a FolderInUse of any process (this one included) holds the storage.
bool folderInUse(const QString &cacheFile, const QString &storageName);
// The folder this process shows, marked in use until another is shown (empty: none).
void setShownFolder(const QString &cacheFile, const QString &folderPath);

struct RebuildResult {
    bool ok = false;
    int folders = 0; // folder storages in the new file
    int thumbs = 0;
    QStringList lost; // folder storages left out, with the reason
    QStringList dropped; // folder storages left out because keep said so
    qint64 bytesBefore = 0, bytesAfter = 0;
};

// What is left of a damaged cache file: the damage found in its tables, and a
// check of each folder storage as far as it still reads (what a salvage keeps).
struct DamageReport {
    bool readable = false; // the header read; false: nothing can be saved
    QStringList fileProblems;
    std::vector<FolderCheck> folders;
};
DamageReport inspectDamagedCache(const QString &path);

// Sets the damaged cache file at path aside as path + ".damaged-DATE-TIME" and puts
// a new file in its place holding every thumbnail that still reads and checks
// cleanly, read up to the damage: a broken chain or table costs the thumbnails it
// held, not the file. *keptAs receives the name it was kept under; lost names each
// folder that lost thumbnails. Also queues the notice.
RebuildResult setAsideDamagedCache(const QString &path, QString *keptAs);

// Rewrites the live content of an intact cache file into a new file and swaps it
// in: the file shrinks to what is used, and unlisted streams and broken entries go.
// keep decides per folder storage whether it is kept (null: all); a folder dropped
// this way is not counted as lost. keep is asked again just before the swap, and
// the swap is given up when it now keeps a folder it dropped.
RebuildResult rebuildCache(
    const QString &path, const std::function<bool(const QString &storage)> &keep = {}, bool decode = true);

// What CacheMaxMB and the free space call for: folders to drop, least recently
// used first, until the live thumbnails fit in nine tenths of the bound, and a
// rewrite when folders are dropped or more than half of a file of 4 MB or more
// is free space.
struct TidyPlan {
    bool rewrite = false;
    QStringList drop; // folder storages that give way
    qint64 fileBytes = 0, freeBytes = 0, liveBytes = 0;
};
// The storage of shownFolder (the folder on display) and folders in use never give way.
TidyPlan planTidy(const QString &path, int maxMB, const QString &shownFolder = {});
// Carries the plan out; ok is false when there was nothing to do or it failed.
RebuildResult tidyCache(const QString &path, int maxMB, const QString &shownFolder = {});
// Runs tidyCache on a thread of its own unless one is running already; returns at
// once. The program calls it when a display's job has ended.
void startCacheTidy(const QString &path, int maxMB, const QString &shownFolder = {});
bool cacheTidyRunning();

// True when the compound file at path opens and its tables are sound. Sectors
// past what the FAT covers are no damage: a writer that ended without
// committing (released, reverted or killed) leaves them, no table names them,
// and the next commit gives them back. *tail says whether there are some.
bool cacheFileSound(const QString &path, QStringList *problems = nullptr, bool *tail = nullptr);

// Queues the notice for each damaged file that another process (the worker
// program) set aside beside path since the given time.
void noticeCachesSetAsideSince(const QString &path, std::int64_t sinceSecs);

// One-time messages for the status bar ("the cache was damaged ..."); empty when none.
// A text is said once per run, unless every time is asked for (an event such as a
// damaged file set aside, which can happen again).
void queueCacheNotice(const QString &text, bool everyTime = false);
QString takeCacheNotice();

} // namespace v7
