#include "browser/FolderWatch.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace v7
{

bool IsNetworkFolder(const QString &folder)
{
    struct statfs fs {
    };
    if (::statfs(QFile::encodeName(folder).constData(), &fs) != 0)
        return false;
    // The kernel's magic numbers of remote and user-space file systems.
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969UL: // NFS
    case 0x517BUL: // SMB
    case 0xFF534D42UL: // CIFS
    case 0xFE534D42UL: // SMB2
    case 0x65735546UL: // FUSE (sshfs, rclone, gvfs...)
    case 0x01021997UL: // 9p
    case 0x5346414FUL: // AFS
    case 0x00C36400UL: // Ceph
    case 0x73757245UL: // Coda
        return true;
    default:
        return false;
    }
}

namespace
{
    constexpr std::uint32_t WatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY
        | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
    constexpr int TickMs = 100;
} // namespace

FolderWatch::FolderWatch(QObject *parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
{
    m_clock.start();
    m_timer->setInterval(TickMs);
    connect(m_timer, &QTimer::timeout, this, &FolderWatch::check);
}

FolderWatch::~FolderWatch()
{
    stop();
}

void FolderWatch::setTimings(int quietMs, int settleMs, int maxDelayMs)
{
    m_quietMs = std::max(0, quietMs);
    m_settleMs = std::max(1, settleMs);
    m_maxDelayMs = std::max(m_quietMs, maxDelayMs);
    m_timer->setInterval(std::clamp(std::min(m_quietMs, m_settleMs) / 2, 10, TickMs));
}

void FolderWatch::stop()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd); // drops the watch with it
    m_fd = -1;
    m_wd = -1;
    m_folder.clear();
    m_pending.clear();
    m_settled.clear();
    m_rescan = false;
    m_foldersChanged = false;
    m_firstUnreportedMs = -1;
    m_timer->stop();
}

bool FolderWatch::watch(const QString &folder)
{
    stop();
    if (folder.isEmpty() || IsNetworkFolder(folder))
        return false;
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0)
        return false;
    m_wd = ::inotify_add_watch(m_fd, QFile::encodeName(folder).constData(), WatchMask);
    if (m_wd < 0) {
        // Not a folder, no access, or the user's inotify watches used up.
        stop();
        return false;
    }
    m_folder = folder;
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &FolderWatch::readEvents);
    return true;
}

void FolderWatch::readEvents()
{
    alignas(inotify_event) char buf[16384];
    bool gone = false;
    for (;;) {
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
            at += ssize_t(sizeof(inotify_event)) + ssize_t(e->len);
            if (e->mask & IN_Q_OVERFLOW) {
                m_rescan = true;
                m_foldersChanged = true;
            }
            if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT))
                gone = true;
            if (e->len == 0 || e->wd != m_wd)
                continue;
            const QString name = QFile::decodeName(e->name);
            if (e->mask & IN_ISDIR) {
                if (e->mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO))
                    m_foldersChanged = true;
                continue;
            }
            noteName(name);
        }
    }
    if (gone) {
        stop();
        Q_EMIT folderGone();
        return;
    }
    if ((m_rescan || m_foldersChanged) && m_firstUnreportedMs < 0)
        m_firstUnreportedMs = now();
    arm();
}

void FolderWatch::noteName(const QString &name)
{
    Pending &p = m_pending[name];
    p.lastEventMs = now();
    p.lookedMs = -1; // an event since the last look: the next look starts afresh
    if (m_firstUnreportedMs < 0)
        m_firstUnreportedMs = p.lastEventMs;
}

void FolderWatch::arm()
{
    const bool work = !m_pending.isEmpty() || !m_settled.isEmpty() || m_rescan || m_foldersChanged;
    if (work && !m_timer->isActive())
        m_timer->start();
    else if (!work)
        m_timer->stop();
}

void FolderWatch::check()
{
    if (!active()) {
        m_timer->stop();
        return;
    }
    const std::int64_t t = now();
    std::int64_t lastEvent = -1;
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        Pending &p = it.value();
        lastEvent = std::max(lastEvent, p.lastEventMs);
        if (t - p.lastEventMs < m_quietMs && t - m_firstUnreportedMs < m_maxDelayMs) {
            ++it;
            continue;
        }
        if (p.lookedMs >= 0 && t - p.lookedMs < m_settleMs) {
            ++it;
            continue;
        }
        struct stat st {
        };
        const QByteArray path = QFile::encodeName(m_folder + QLatin1Char('/') + it.key());
        std::int64_t size = -1, mtime = 0;
        if (::stat(path.constData(), &st) == 0) {
            size = std::int64_t(st.st_size);
            mtime = std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        }
        // A file that is gone needs no settling; one that is there must look the
        // same twice.
        const bool settled = size < 0 || (p.lookedMs >= 0 && p.size == size && p.mtimeNs == mtime);
        if (settled) {
            m_settled << it.key();
            it = m_pending.erase(it);
            continue;
        }
        p.size = size;
        p.mtimeNs = mtime;
        p.lookedMs = t;
        ++it;
    }
    const bool something = !m_settled.isEmpty() || m_rescan || m_foldersChanged;
    const bool quiet = lastEvent < 0 || t - lastEvent >= m_quietMs;
    if (something && !m_held && (quiet || t - m_firstUnreportedMs >= m_maxDelayMs))
        flush();
    arm();
}

void FolderWatch::flush()
{
    const QStringList names = m_settled;
    const bool rescan = m_rescan;
    const bool folders = m_foldersChanged;
    m_settled.clear();
    m_rescan = false;
    m_foldersChanged = false;
    m_firstUnreportedMs = m_pending.isEmpty() ? -1 : now();
    if (!names.isEmpty() || rescan)
        Q_EMIT filesChanged(names, rescan);
    if (folders)
        Q_EMIT foldersChanged();
}

void FolderWatch::release()
{
    m_held = false;
    if (!m_settled.isEmpty() || m_rescan || m_foldersChanged)
        m_timer->start(); // reported on the next tick once the folder is quiet
}

ListingMerge MergeListing(const std::vector<FileEntry> &shown, std::vector<FileEntry> fresh)
{
    ListingMerge m;
    QHash<QString, const FileEntry *> before;
    for (const FileEntry &e : shown)
        if (!e.dimmed && e.folder.isEmpty())
            before.insert(e.name, &e);
    QSet<QString> seen;
    m.entries.reserve(fresh.size() + shown.size());
    for (FileEntry &e : fresh) {
        seen.insert(e.name);
        const auto it = before.constFind(e.name);
        if (it == before.constEnd()) {
            m.added << e.name;
            m.entries.push_back(std::move(e));
            continue;
        }
        const FileEntry &old = **it;
        if (old.size == e.size && old.modifiedMs == e.modifiedMs) {
            m.entries.push_back(old);
            continue;
        }
        // Rewritten: its properties are read again; the user's marks stay.
        m.changed << e.name;
        e.tag = old.tag;
        e.tagged = old.tagged;
        m.entries.push_back(std::move(e));
    }
    // The name a dimmed row had before it went ("Deleted - a.jpg" was a.jpg).
    auto oldName = [](const QString &name) {
        for (const QString &prefix : { DeletedPrefix, MovedPrefix })
            if (name.startsWith(prefix))
                return name.mid(prefix.size());
        return name;
    };
    for (const FileEntry &e : shown) {
        if (e.dimmed && e.folder.isEmpty() && seen.contains(oldName(e.name)))
            continue; // the file came back (from the trash, say): its own row stands for it
        if (e.dimmed || !e.folder.isEmpty())
            m.entries.push_back(e); // the user's own "Deleted - " rows stay until relisted
        else if (!seen.contains(e.name))
            m.removed << e.name;
    }
    return m;
}

} // namespace v7
