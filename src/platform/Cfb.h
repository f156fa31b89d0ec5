// Compound files: the published structured-storage format (version 3 written,
// versions 3 and 4 read), with storages, streams, enumeration, rename, destroy,
// copy, commit and revert, and the access-mode values of structured storage.
//
// Crash safety: a commit never overwrites a sector that the last committed state
// uses. New sectors go elsewhere, are flushed with one fdatasync, and only then
// is the header (which names the new FAT, DIFAT, directory and MiniFAT) written
// and flushed. A writer killed at any moment leaves the last committed state.
// The root entry's CLSID carries a CRC-32 of the committed tables, so a damaged
// table reads as Corrupt rather than as a different tree; a file whose root has
// another producer's CLSID keeps it, and goes without the checksum.
//
// Transactions: the file has one. A transacted root keeps every change until
// the root commits (a child's commit only passes its changes up); releasing it
// uncommitted discards them. In direct mode every commit, of any element, and
// the release of the file's last handle write the file.
//
// Sharing: every open for writing takes an exclusive lock on the file (another
// writer, in this process or another, gets LockViolation, or waits for the lock
// when the open is given a wait). Read-only opens take
// a shared lock, read the last committed state and never block the writer; the
// writer keeps the sectors a reader may still be reading until no reader is left.
//
// Threads: a Storage or Stream, and everything opened from the same root, belong
// to the thread that opened the root. Different threads open the file separately.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <vector>

namespace v7::cfb
{

// Access-mode flags, with the values of structured storage.
namespace mode
{
    constexpr std::uint32_t Read = 0x0;
    constexpr std::uint32_t Write = 0x1;
    constexpr std::uint32_t ReadWrite = 0x2;
    constexpr std::uint32_t ShareExclusive = 0x10;
    constexpr std::uint32_t ShareDenyWrite = 0x20;
    constexpr std::uint32_t ShareDenyRead = 0x30;
    constexpr std::uint32_t ShareDenyNone = 0x40;
    constexpr std::uint32_t Create = 0x1000;
    constexpr std::uint32_t Transacted = 0x10000;
    constexpr std::uint32_t NoSnapshot = 0x200000;
} // namespace mode

enum class Status {
    Ok,
    FileNotFound, // the file or the named element does not exist
    FileAlreadyExists, // create without the create flag over an existing element
    AccessDenied, // the open's mode does not allow it
    LockViolation, // another writer holds the file
    InvalidName, // empty, longer than 31 characters, or with / \ : !
    InvalidParameter,
    Corrupt, // the file breaks the format where it matters
    TooLarge, // beyond what version 3 can address (2 GB)
    IoError, // the system refused a read, write or flush
    Reverted, // the handle outlived its element (destroyed or reverted)
    InvalidHandle // a default-constructed or released handle
};
const char *statusText(Status s);

// Readers of files with a sector map keep the map and table sectors they have
// checked in a store shared by the process, keyed by file, place and checksum,
// so the next open of the same state reads them from memory. This empties it
// (a benchmark measures a cold open this way).
void forgetCheckedSectors();

enum class ElementType { Storage = 1, Stream = 2, Root = 5 };

struct ElementStat {
    QString name;
    ElementType type = ElementType::Stream;
    std::uint64_t size = 0; // streams; 0 for storages
    std::uint64_t creationTime = 0; // FILETIME
    std::uint64_t modificationTime = 0; // FILETIME
    std::uint32_t mode = 0; // the mode the handle was opened with
};

// Figures of the whole file, from its committed state or the current one.
struct FileStats {
    int majorVersion = 3;
    std::uint32_t sectorSize = 512;
    std::uint64_t fileBytes = 0;
    std::uint32_t sectors = 0; // sectors after the header
    std::uint32_t freeSectors = 0; // among them
    std::uint32_t fatSectors = 0;
    std::uint32_t difatSectors = 0;
    std::uint32_t directorySectors = 0;
    std::uint32_t miniFatSectors = 0;
    std::uint32_t miniStreamBytes = 0;
    std::uint32_t entries = 0; // storages and streams in use, the root included
};

namespace detail
{
    class File;
}

class Stream
{
public:
    Stream() = default;
    bool isOpen() const { return m_file != nullptr; }
    void release();

    // Reads up to n bytes at the position and advances it; *got receives the count.
    Status read(char *buf, std::uint64_t n, std::uint64_t *got = nullptr);
    Status readAll(QByteArray *out); // from offset 0, the whole stream; keeps the position
    // Writes at the position, growing the stream as needed, and advances it.
    Status write(const char *data, std::uint64_t n);
    Status write(const QByteArray &b) { return write(b.constData(), std::uint64_t(b.size())); }
    enum Origin { Set = 0, Current = 1, End = 2 };
    Status seek(std::int64_t offset, Origin origin = Set, std::uint64_t *newPos = nullptr);
    std::uint64_t position() const { return m_pos; }
    Status setSize(std::uint64_t size);
    Status size(std::uint64_t *out) const;
    Status stat(ElementStat *out) const;
    Status commit();
    Status revert();

private:
    friend class Storage;
    std::shared_ptr<detail::File> m_file;
    std::uint32_t m_id = 0, m_gen = 0, m_mode = 0;
    std::uint64_t m_pos = 0;
};

class Storage
{
public:
    Storage() = default;
    bool isOpen() const { return m_file != nullptr; }
    // Releasing the last handle of a file opened for direct writing commits it;
    // a transacted open that was not committed is discarded.
    void release();

    // A new compound file (version 3). Without mode::Create an existing file
    // fails with FileAlreadyExists; with it the file is replaced.
    static Storage create(const QString &path, std::uint32_t mode, Status *st = nullptr);
    static Storage open(const QString &path, std::uint32_t mode, Status *st = nullptr);
    // As open; an open for writing that finds another writer waits up to waitMs for
    // it to let go before it gives LockViolation.
    static Storage open(const QString &path, std::uint32_t mode, int waitMs, Status *st = nullptr);

    Storage createStorage(const QString &name, std::uint32_t mode, Status *st = nullptr);
    Storage openStorage(const QString &name, std::uint32_t mode, Status *st = nullptr);
    Stream createStream(const QString &name, std::uint32_t mode, Status *st = nullptr);
    Stream openStream(const QString &name, std::uint32_t mode, Status *st = nullptr);
    // Makes bytes the whole content of the stream name: one that is there is
    // written over in place, only where it differs (destroying and creating it
    // would put it into this storage's tree anew), else it is created, in place
    // of a storage of that name. Not committed.
    Status writeStream(const QString &name, const QByteArray &bytes, std::uint32_t mode);

    // Children in the order of the format (name length, then upper-cased name).
    Status elements(std::vector<ElementStat> *out) const;
    Status destroyElement(const QString &name);
    Status renameElement(const QString &oldName, const QString &newName);
    // Copies every child into dest: streams replace same-named streams, storages merge.
    Status copyTo(Storage &dest) const;
    Status commit();
    Status revert();
    Status stat(ElementStat *out) const;

    Status fileStats(FileStats *out) const;
    // A writer reads the directory only where it goes, so damage elsewhere is met
    // only when reached: true once it has been. Such a writer commits nothing more.
    bool metDamage() const;
    // A strict audit of the file as committed on disk: every FAT slot, chain and
    // sibling tree. Returns Ok or Corrupt with the findings in *problems.
    static Status check(const QString &path, QStringList *problems);
    // check's finding for a file longer than its FAT covers: sectors no table
    // names, as a writer that ended without committing leaves them.
    static inline const QString UncoveredTail = QStringLiteral("the FAT does not cover the file");

private:
    // The root storage of a file just made or opened with result r.
    static Storage rootOf(Status r, const std::shared_ptr<detail::File> &f, std::uint32_t mode, Status *st);
    // The shared steps of the four calls above: H is Storage or Stream.
    // The handle of child id of this storage, opened with mode.
    template <class H> H childHandle(std::uint32_t id, std::uint32_t mode, Status *st) const;
    template <class H> H createChild(const QString &name, std::uint32_t mode, std::uint8_t type, Status *st);
    template <class H> H openChild(const QString &name, std::uint32_t mode, std::uint8_t type, Status *st);

    std::shared_ptr<detail::File> m_file;
    std::uint32_t m_id = 0, m_gen = 0, m_mode = 0;
};

// Names longer than this many UTF-16 code units are refused.
constexpr int MaxNameLength = 31;

} // namespace v7::cfb
