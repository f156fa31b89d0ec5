// Watching the listed folder, so files added, removed, renamed or rewritten by other
// programs reach the list and the grid without a refresh.
//
// FolderWatch follows one folder through inotify. A change is reported only once
// the file has settled: its size and time were seen unchanged twice, a settle time
// apart, with no event in between, so a photo still being copied is not read half
// way. Changes are gathered: one report when the folder has been quiet for a short
// while, and at most one a second while a burst (a camera import) goes on. A folder
// that cannot be watched (missing, on a network file system, out of inotify
// watches) is simply not watched; nothing is said.
//
// MergeListing puts a fresh listing beside the shown one: it keeps what the shown
// entries know (properties read, tags) for unchanged files and says which names came,
// went and changed.
//
// Threads: the user-interface thread (the object lives on a QSocketNotifier).
#pragma once

#include "browser/Listing.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace v7
{

// True for folders on a file system whose changes inotify does not see or whose
// watch could stall the window (NFS, SMB, FUSE, 9p and the like).
bool IsNetworkFolder(const QString &folder);

class FolderWatch : public QObject
{
    Q_OBJECT
public:
    explicit FolderWatch(QObject *parent = nullptr);
    ~FolderWatch() override;

    // Follows folder instead of the one before; false (and no watching) when the
    // watch cannot be set.
    bool watch(const QString &folder);
    void stop();
    QString folder() const { return m_folder; }
    bool active() const { return m_fd >= 0 && m_wd >= 0; }

    // quiet: the pause after the last event before the names are looked at; settle:
    // the time between the two looks that must agree; maxDelay: the longest a change
    // waits for the folder to go quiet.
    void setTimings(int quietMs, int settleMs, int maxDelayMs);

    // While held, settled changes are kept, not reported; release() reports them.
    void hold() { m_held = true; }
    void release();
    bool held() const { return m_held; }

Q_SIGNALS:
    // Names (in the folder) added, removed or rewritten, each settled. rescan: the
    // kernel dropped events, so any file may have changed.
    void filesChanged(const QStringList &names, bool rescan);
    // A subfolder was added, removed or renamed.
    void foldersChanged();
    // The folder itself was removed or moved away; the watch has ended.
    void folderGone();

private:
    struct Pending {
        std::int64_t size = -2; // -1: missing; -2: not looked at yet
        std::int64_t mtimeNs = 0;
        std::int64_t lastEventMs = 0;
        std::int64_t lookedMs = -1; // when size/mtime were taken; -1 not yet
    };
    void readEvents();
    void noteName(const QString &name);
    void check();
    void arm();
    void flush();
    std::int64_t now() const { return m_clock.elapsed(); }

    QString m_folder;
    int m_fd = -1;
    int m_wd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_timer = nullptr;
    QElapsedTimer m_clock;
    QHash<QString, Pending> m_pending;
    QStringList m_settled; // settled, not yet reported
    bool m_rescan = false;
    bool m_foldersChanged = false;
    bool m_held = false;
    std::int64_t m_firstUnreportedMs = -1; // the oldest change not reported yet
    int m_quietMs = 250;
    int m_settleMs = 300;
    int m_maxDelayMs = 1000;
};

struct ListingMerge {
    std::vector<FileEntry> entries; // the fresh listing, with what the shown ones knew
    QStringList added, removed, changed;
};
// shown: the list's entries (dimmed ones stay as they are); fresh: a new listing of
// the same folder. A file counts as rewritten when its size or time differs: a
// report for a file whose stamps did not move (reading it changed its access
// time) changes nothing.
ListingMerge MergeListing(const std::vector<FileEntry> &shown, std::vector<FileEntry> fresh);

} // namespace v7
