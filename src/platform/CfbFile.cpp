#include "platform/CfbFile.h"

#include "platform/CfbBytes.h"

#include <QByteArray>
#include <QChar>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace v7::cfb::detail
{

Key sortKey(const std::u16string &name)
{
    Key k;
    k.n = std::uint8_t(std::min<std::size_t>(name.size(), k.c.size()));
    for (int i = 0; i < k.n; ++i) {
        const char16_t c = name[std::size_t(i)];
        k.c[std::size_t(i)] = c < 0x80 ? (c >= u'a' && c <= u'z' ? char16_t(c - 32) : c)
            : QChar::isSurrogate(c)    ? c
                                       : char16_t(QChar::toUpper(char32_t(c)));
    }
    return k;
}

bool validName(const QString &name)
{
    if (name.isEmpty() || name.size() > MaxNameLength)
        return false;
    for (QChar c : name)
        if (c == u'/' || c == u'\\' || c == u':' || c == u'!' || c.unicode() == 0)
            return false;
    return true;
}

File::~File()
{
    if (m_writable && !m_transacted && m_dirty && !m_broken && !m_damaged && !m_stopped)
        commit();
    if (m_fd >= 0)
        ::close(m_fd); // closing the descriptor drops its locks
}

bool File::lockRange(int type, std::uint64_t start, bool wait) const
{
    struct flock fl = byteLock(type, start);
    for (;;) {
        if (fcntl(m_fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

bool File::readersPresent() const
{
    return byteLockedElsewhere(m_fd, kLockReaders).value_or(true); // cannot tell: keep every old sector
}

bool File::preadAll(char *buf, std::size_t n, std::uint64_t off) const
{
    while (n > 0) {
        const ssize_t r = ::pread(m_fd, buf, n, off_t(off));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (r == 0) { // a file may end inside its last sector
            std::memset(buf, 0, n);
            return true;
        }
        buf += r;
        n -= std::size_t(r);
        off += std::uint64_t(r);
    }
    return true;
}

bool File::pwriteAll(const char *buf, std::size_t n, std::uint64_t off)
{
    while (n > 0) {
        const ssize_t r = ::pwrite(m_fd, buf, n, off_t(off));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        buf += r;
        n -= std::size_t(r);
        off += std::uint64_t(r);
    }
    return true;
}

// ---- opening -------------------------------------------------------------

Status File::create(const QString &path, std::uint32_t mode, std::shared_ptr<File> *out)
{
    if ((mode & 3) == mode::Read)
        return Status::InvalidParameter;
    const QByteArray target = QFile::encodeName(path);
    struct stat st = {};
    const bool exists = ::stat(target.constData(), &st) == 0;
    if (exists && !(mode & mode::Create))
        return Status::FileAlreadyExists;
    if (exists) {
        // Replacing a file that another writer holds would pull it from under that writer.
        const int probe = ::open(target.constData(), O_RDONLY | O_CLOEXEC);
        if (probe >= 0) {
            const bool held = byteLockedElsewhere(probe, kLockWriter).value_or(false);
            ::close(probe);
            if (held)
                return Status::LockViolation;
        }
    }

    // Built under a temporary name and linked into place whole, so a crash during
    // creation never leaves a half-made file under the real name.
    QByteArray tmpl = target + ".XXXXXX";
    const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0)
        return ioStatus(errno);
    std::shared_ptr<File> f = adopt(fd, path, mode, true);
    ::fchmod(fd, 0644);
    f->lockRange(F_WRLCK, kLockWriter, false);
    Entry root;
    root.name = u"Root Entry";
    root.type = TypeRoot;
    root.childrenLoaded = true;
    f->m_entries.push_back(root);
    f->m_dirty = true;
    Status s = f->commit();
    if (s == Status::Ok) {
        if (mode & mode::Create) {
            if (::rename(tmpl.constData(), target.constData()) != 0)
                s = ioStatus(errno);
        } else {
            if (::link(tmpl.constData(), target.constData()) != 0)
                s = errno == EEXIST ? Status::FileAlreadyExists : ioStatus(errno);
            ::unlink(tmpl.constData());
        }
    }
    if (s != Status::Ok) {
        ::unlink(tmpl.constData());
        f->m_broken = true;
        return s;
    }
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    const int dfd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    *out = std::move(f);
    return Status::Ok;
}

std::shared_ptr<File> File::adopt(int fd, const QString &path, std::uint32_t mode, bool writable)
{
    std::shared_ptr<File> f(new File);
    f->m_fd = fd;
    f->m_path = path;
    f->m_mode = mode;
    f->m_writable = writable;
    f->m_transacted = (mode & mode::Transacted) != 0;
    return f;
}

bool File::lockWriter(int waitMs) const
{
    // Polled rather than waited for in the kernel: a blocking wait has no bound.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, waitMs));
    for (int pause = 1;; pause = std::min(pause * 2, 25)) {
        if (lockRange(F_WRLCK, kLockWriter, false))
            return true;
        if (errno != EAGAIN && errno != EACCES)
            return false;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        ::usleep(useconds_t(pause) * 1000);
    }
}

Status File::open(const QString &path, std::uint32_t mode, std::shared_ptr<File> *out, bool fullLoad, int lockWaitMs)
{
    const bool writable = (mode & 3) != mode::Read;
    const int fd = ::open(QFile::encodeName(path).constData(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0)
        return ioStatus(errno);
    std::shared_ptr<File> f = adopt(fd, path, mode, writable);
    f->m_fullLoad = fullLoad;
    if (writable) {
        if (!f->lockWriter(lockWaitMs)) {
            f->m_broken = true;
            return Status::LockViolation;
        }
        // A file renamed over this path while the lock was awaited (a compaction
        // swaps in a rewritten file) would take this writer's commit into the old,
        // unlinked one: open the file the path names now.
        struct stat held = {}, named = {};
        if (::fstat(fd, &held) == 0 && ::stat(QFile::encodeName(path).constData(), &named) == 0
            && (held.st_ino != named.st_ino || held.st_dev != named.st_dev)) {
            f->m_broken = true;
            f.reset();
            return open(path, mode, out, fullLoad, lockWaitMs);
        }
    } else {
        // Taken before the header is read, so a writer that commits after this
        // point sees the reader and keeps the sectors of the state it reads.
        f->lockRange(F_RDLCK, kLockReaders, true);
    }
    const Status s = f->load(writable);
    if (s != Status::Ok) {
        f->m_broken = true;
        return s;
    }
    *out = std::move(f);
    return Status::Ok;
}

bool File::readSectors(const std::vector<std::uint32_t> &locs, char *out) const
{
    // Runs of consecutive sectors in one read each: a large table is mostly one run.
    for (std::size_t i = 0; i < locs.size();) {
        std::size_t j = i + 1;
        while (j < locs.size() && locs[j] == locs[j - 1] + 1 && j - i < 2048)
            ++j;
        if (!preadAll(out + i * m_ssz, (j - i) * m_ssz, sectorOffset(locs[i])))
            return false;
        i = j;
    }
    return true;
}

Status File::readHeader(QByteArray *hdr)
{
    hdr->resize(512);
    if (!m_writable)
        lockRange(F_RDLCK, kLockHeader, true); // never a half-written header
    const bool ok = preadAll(hdr->data(), 512, 0);
    if (!m_writable)
        lockRange(F_UNLCK, kLockHeader, false);
    return ok ? Status::Ok : Status::IoError;
}

Status File::walk(std::uint32_t start, std::uint64_t needed, bool toEnd, std::vector<std::uint32_t> *out)
{
    out->clear();
    const std::uint64_t fatEntries = std::uint64_t(m_diskFat.size()) / 4;
    std::uint32_t s = start;
    for (std::uint64_t k = 0; toEnd || k < needed; ++k) {
        if (toEnd && s == EndOfChain)
            break;
        if (m_mapped) {
            // The map vouches for the FAT; a chain's length comes from its size.
            if (s >= m_fileSectors)
                return Status::Corrupt;
            out->push_back(s);
            if (k + 1 < needed)
                if (Status st = fatSlot(s, &s); st != Status::Ok)
                    return st;
            continue;
        }
        // A chain that runs out, leaves the file or meets itself or another chain.
        if (s >= fatEntries || s >= m_fileSectors || m_used[s])
            return Status::Corrupt;
        m_used[s] = 1;
        out->push_back(s);
        s = le32(m_diskFat.constData() + 4 * std::size_t(s));
    }
    return Status::Ok;
}

Status File::walkMini(std::uint32_t start, std::uint64_t needed, std::vector<std::uint32_t> *out)
{
    out->clear();
    const std::uint64_t entries = m_mapped && !m_lazyWriter ? std::uint64_t(m_mapRoots[MapMiniFat].count) * m_eps
                                                            : std::uint64_t(m_diskMiniFat.size()) / 4;
    std::uint32_t m = start;
    for (std::uint64_t k = 0; k < needed; ++k) {
        if (m >= entries || m >= m_miniCount || (!m_mapped && m_miniUsed[m]))
            return Status::Corrupt;
        out->push_back(m);
        if (m_mapped) {
            if (k + 1 < needed)
                if (Status st = miniFatSlot(m, &m); st != Status::Ok)
                    return st;
            continue;
        }
        m_miniUsed[m] = 1;
        m = le32(m_diskMiniFat.constData() + 4 * std::size_t(m));
    }
    return Status::Ok;
}

Status File::load(bool forWriter)
{
    QByteArray hdr;
    if (Status s = readHeader(&hdr); s != Status::Ok)
        return s;
    const char *h = hdr.constData();
    if (std::memcmp(h, kSignature, 8) != 0 || le16(h + 0x1C) != 0xFFFE)
        return Status::Corrupt;
    m_major = le16(h + 0x1A);
    const unsigned shift = le16(h + 0x1E);
    if (!((m_major == 3 && shift == 9) || (m_major == 4 && shift == 12)) || le16(h + 0x20) != 6
        || le32(h + 0x38) != MiniCutoff)
        return Status::Corrupt;
    m_shift = shift;
    m_ssz = 1u << shift;
    m_eps = m_ssz / 4;
    m_txSig = le32(h + 0x34);
    const std::uint32_t numFat = le32(h + 0x2C), firstDir = le32(h + 0x30), firstMiniFat = le32(h + 0x3C);
    const std::uint32_t firstDifat = le32(h + 0x44), numDifat = le32(h + 0x48);

    struct stat st = {};
    if (fstat(m_fd, &st) != 0)
        return Status::IoError;
    const std::uint64_t size = std::uint64_t(st.st_size);
    if (size < 512)
        return Status::Corrupt;
    m_fileSectors = size > m_ssz ? ceilDiv(size - m_ssz, m_ssz) : 0;
    if (numFat > m_fileSectors || m_fileSectors > MaxRegSect)
        return Status::Corrupt;
    m_fileBytes = size;
    m_dev = std::uint64_t(st.st_dev);
    m_ino = std::uint64_t(st.st_ino);
    m_mapped = false;
    m_nodeCache.clear();
    m_sectorCache.clear();
    m_mapLocs.clear();
    m_shapedFor.reset();
    m_diskTop.clear();
    m_diskMapCrc.clear();
    m_mapWas.clear();
    m_recsKnown = false;
    m_lazyWriter = false;
    m_damaged = false;
    m_stopped = false;
    m_freedSectors.clear();
    m_freedMinis.clear();
    m_freeSlots.clear();
    m_freeRanges.clear();

    // The root entry says how the tables are vouched for. A reader of a file
    // with a sector map reads only what it reaches, each sector checked.
    QByteArray first(int(m_ssz), 0);
    if (firstDir >= m_fileSectors || !preadAll(first.data(), m_ssz, sectorOffset(firstDir)))
        return Status::Corrupt;
    const Sums sums = sumsOf(first.constData());
    if (sums == Sums::Map && !m_fullLoad)
        return forWriter ? loadMappedWriter(hdr, first.constData()) : loadMapped(hdr, first.constData());

    m_used.assign(m_fileSectors, 0);
    // A FAT or DIFAT sector must itself be described by the FAT: one past what the
    // FAT covers is a crafted or damaged file, and would index past every table
    // sized by that coverage.
    const std::uint64_t fatCover = std::uint64_t(numFat) * m_eps;
    auto mark = [this, fatCover](std::uint32_t s) {
        if (s >= m_fileSectors || s >= fatCover || m_used[s])
            return false;
        m_used[s] = 1;
        return true;
    };

    // FAT sector locations: 109 in the header, the rest in the DIFAT chain.
    m_fatLocs.clear();
    m_difatLocs.clear();
    for (std::uint32_t i = 0; i < std::min(numFat, HeaderDifat); ++i) {
        const std::uint32_t s = le32(h + 0x4C + 4 * i);
        if (!mark(s))
            return Status::Corrupt;
        m_fatLocs.push_back(s);
    }
    std::uint32_t d = firstDifat;
    QByteArray sect(int(m_ssz), 0);
    for (std::uint32_t k = 0; k < numDifat && m_fatLocs.size() < numFat; ++k) {
        if (!mark(d))
            return Status::Corrupt;
        m_difatLocs.push_back(d);
        if (!preadAll(sect.data(), m_ssz, sectorOffset(d)))
            return Status::IoError;
        for (std::uint32_t j = 0; j + 1 < m_eps && m_fatLocs.size() < numFat; ++j) {
            const std::uint32_t s = le32(sect.constData() + 4 * j);
            if (!mark(s))
                return Status::Corrupt;
            m_fatLocs.push_back(s);
        }
        d = le32(sect.constData() + m_ssz - 4);
    }
    if (m_fatLocs.size() < numFat)
        return Status::Corrupt;
    m_diskFat.resize(qsizetype(numFat) * m_ssz);
    if (!readSectors(m_fatLocs, m_diskFat.data()))
        return Status::IoError;
    m_diskDifat.clear();
    for (std::uint32_t loc : m_difatLocs) {
        if (!preadAll(sect.data(), m_ssz, sectorOffset(loc)))
            return Status::IoError;
        m_diskDifat += sect;
    }

    // Directory.
    if (Status s = walk(firstDir, 0, true, &m_dirChain); s != Status::Ok)
        return s;
    if (m_dirChain.empty())
        return Status::Corrupt;
    m_diskDir.resize(qsizetype(m_dirChain.size()) * m_ssz);
    if (!readSectors(m_dirChain, m_diskDir.data()))
        return Status::IoError;
    const std::size_t count = std::size_t(m_diskDir.size()) / EntrySize;
    m_diskEntries = std::uint32_t(count);
    m_entries.reset(count, false, m_genBase);
    // A reader decodes an entry when it first reaches it; the checksum below
    // still covers every byte of the directory.
    const bool lazy = !forWriter && !m_fullLoad;
    for (std::size_t i = 0; i < (lazy ? 1 : count); ++i)
        parseEntry(std::uint32_t(i));
    if (m_entries[0].type != TypeRoot)
        return Status::Corrupt;

    // MiniFAT and the mini stream.
    m_miniFatChain.clear();
    m_diskMiniFat.clear();
    if (firstMiniFat != EndOfChain && firstMiniFat != FreeSect) {
        if (Status s = walk(firstMiniFat, 0, true, &m_miniFatChain); s != Status::Ok)
            return s;
        m_diskMiniFat.resize(qsizetype(m_miniFatChain.size()) * m_ssz);
        if (!readSectors(m_miniFatChain, m_diskMiniFat.data()))
            return Status::IoError;
    }
    if (sums == Sums::Whole
        && le32(m_diskDir.constData() + kClsidAt + 8)
            != tableSum(hdr, m_diskFat, m_diskDifat, m_diskDir, m_diskMiniFat))
        return Status::Corrupt;
    Entry &root = m_entries[0];
    // Another producer's class id stays; ours (or none) makes room for the checksum.
    m_sumInClsid = std::all_of(root.clsid.begin(), root.clsid.end(), [](std::uint8_t b) { return b == 0; })
        || std::memcmp(root.clsid.data(), kSumMagic, 4) == 0 || std::memcmp(root.clsid.data(), kMapMagic, 4) == 0;
    if (m_sumInClsid)
        root.clsid = {};
    const std::uint64_t rootSize = root.size;
    m_miniCount = std::uint32_t(std::min<std::uint64_t>(ceilDiv(rootSize, MiniSize), m_diskMiniFat.size() / 4));
    m_miniUsed.assign(m_miniCount, 0);
    m_miniChain.clear();
    if (m_miniCount > 0) {
        if (Status s = walk(root.start, ceilDiv(std::uint64_t(m_miniCount) * MiniSize, m_ssz), false, &m_miniChain);
            s != Status::Ok)
            return s;
    }
    root.size = 0;
    if (sums == Sums::Map)
        if (Status s = readWholeMap(hdr, m_diskDir.constData()); s != Status::Ok)
            return s;

    // The sibling trees: every entry is reached once at most; anything else is a
    // cycle. A reader walks a storage's tree, and a stream's chain, when first
    // used, so opening a large file costs little; a writer and the audit walk
    // everything now, to know which sectors are in use.
    root.seen = true;
    m_lazy = !forWriter && !m_fullLoad;
    if (!m_lazy) {
        std::vector<std::uint32_t> storages { 0 };
        while (!storages.empty()) {
            const std::uint32_t sid = storages.back();
            storages.pop_back();
            if (Status ls = loadChildren(sid); ls != Status::Ok)
                return ls;
            for (const auto &kv : m_entries[sid].children)
                if (m_entries[kv.second].type == TypeStorage)
                    storages.push_back(kv.second);
        }
        for (std::size_t i = 1; i < count; ++i)
            if (!m_entries[i].seen || m_entries[i].type == TypeFree) {
                Entry gone;
                gone.parsed = true;
                gone.gen = m_entries[i].gen;
                m_entries[i] = gone;
            }
    }
    m_diskFatLocs = m_fatLocs;
    m_diskDifatLocs = m_difatLocs;
    m_diskDirChain = m_dirChain;
    m_diskMiniFatChain = m_miniFatChain;
    ++m_genBase;
    m_allocHint = m_miniHint = 0;
    m_entryHint = 1;
    m_dirty = false;
    if (forWriter) {
        // Trees other writers left unbalanced or out of order are rebuilt at the
        // first commit, so what we write is always a proper red-black tree.
        for (std::size_t i = 0; i < count; ++i)
            if ((m_entries[i].type == TypeStorage || m_entries[i].type == TypeRoot) && !validTree(std::uint32_t(i)))
                m_entries[i].treeDirty = true;
        // With a reader about, it may still read an older state in any sector of
        // the file: touch none of them until the readers are gone.
        if (readersPresent())
            m_protected.assign(m_fileSectors, 1);
        else
            m_protected = m_used;
    }
    return Status::Ok;
}

Status File::parseEntry(std::uint32_t i)
{
    Entry &e = m_entries[i];
    if (e.parsed)
        return Status::Ok;
    const char *p = nullptr;
    if (Status s = dirEntry(i, &p); s != Status::Ok)
        return s;
    e.parsed = true;
    e.type = std::uint8_t(p[66]);
    const std::uint16_t nameBytes = le16(p + 64);
    const std::size_t chars = nameBytes >= 2 ? std::min<std::size_t>(nameBytes / 2 - 1, 31) : 0;
    e.name.resize(chars);
    for (std::size_t c = 0; c < chars; ++c)
        e.name[c] = char16_t(le16(p + 2 * c));
    e.color = std::uint8_t(p[67]);
    e.left = le32(p + 68);
    e.right = le32(p + 72);
    e.child = le32(p + 76);
    std::memcpy(e.clsid.data(), p + 80, 16);
    e.state = le32(p + 96);
    e.ctime = le64(p + 100);
    e.mtime = le64(p + 108);
    e.start = le32(p + 116);
    // Version-3 writers have left garbage in the high half of the size.
    e.size = m_major == 3 ? le32(p + 120) : le64(p + 120);
    return Status::Ok;
}

Status File::loadChildren(std::uint32_t sid)
{
    if (m_entries[sid].childrenLoaded)
        return Status::Ok;
    const Status s = walkChildren(sid);
    if (s != Status::Ok && m_lazyWriter) {
        // Never a partial tree to rebuild from: whatever stopped the walk, this
        // writer commits nothing more.
        m_entries[sid].children.clear();
        m_entries[sid].childrenLoaded = false;
        m_stopped = true;
    }
    return damaged(s);
}

Status File::walkChildren(std::uint32_t sid)
{
    m_entries[sid].childrenLoaded = true;
    const std::size_t count = m_diskEntries;
    std::vector<std::uint32_t> nodes { m_entries[sid].child };
    while (!nodes.empty()) {
        const std::uint32_t n = nodes.back();
        nodes.pop_back();
        if (n == NoStream)
            continue;
        if ((n >= count && !madeHere(n)) || m_entries[n].seen)
            return Status::Corrupt;
        if (Status s = parseEntry(n); s != Status::Ok)
            return s;
        Entry &e = m_entries[n];
        e.seen = true;
        if (e.type != TypeStorage && e.type != TypeStream)
            return Status::Corrupt;
        nodes.push_back(e.left);
        nodes.push_back(e.right);
        if (e.name.empty() || !m_entries[sid].children.emplace(sortKey(e.name), n).second) {
            // A nameless or duplicate entry cannot be addressed: drop it, and
            // have a writer rebuild the tree that pointed at it.
            e.type = TypeFree;
            m_entries[sid].treeDirty = true;
            continue;
        }
        e.parent = sid;
        if (e.type == TypeStorage) {
            e.size = 0;
            continue;
        }
        if (!e.chainLoaded && e.size > m_fileBytes)
            return Status::Corrupt; // no stream is larger than the file that holds it
        if (!m_lazy)
            if (Status st = loadChain(n); st != Status::Ok)
                return st;
    }
    // A writer that loads trees as it goes checks each one as it loads it.
    if (m_lazyWriter && !validTree(sid))
        m_entries[sid].treeDirty = true;
    return Status::Ok;
}

bool File::madeHere(std::uint32_t i)
{
    const Entry *e = i >= m_diskEntries ? m_entries.loaded(i) : nullptr;
    return e && e->parsed;
}

Status File::searchTree(std::uint32_t sid, const Key &key, std::uint32_t *id, bool *clean)
{
    const KeyLess less;
    if (clean)
        *clean = false;
    std::uint32_t n = m_entries[sid].child;
    for (std::size_t steps = 0; n != NoStream && steps < m_entries.size(); ++steps) {
        if (n == 0 || (n >= m_diskEntries && !madeHere(n)))
            return Status::FileNotFound;
        if (Status s = parseEntry(n); s != Status::Ok)
            return s;
        Entry &e = m_entries[n];
        if (e.type != TypeStorage && e.type != TypeStream)
            return Status::FileNotFound;
        const Key k = sortKey(e.name);
        if (less(key, k)) {
            n = e.left;
        } else if (less(k, key)) {
            n = e.right;
        } else {
            if (e.name.empty())
                return Status::FileNotFound;
            // No stream read from the file is larger than the file; one written
            // this session may well be.
            if (e.type == TypeStream && !e.chainLoaded && e.size > m_fileBytes)
                return Status::Corrupt;
            if (e.type == TypeStorage)
                e.size = 0;
            e.parent = sid;
            *id = n;
            return Status::Ok;
        }
    }
    if (clean)
        *clean = n == NoStream;
    return Status::FileNotFound;
}

Status File::loadChain(std::uint32_t id)
{
    Entry &e = m_entries[id];
    if (e.chainLoaded || e.type != TypeStream)
        return Status::Ok;
    const Status s = e.size < MiniCutoff ? walkMini(e.start, ceilDiv(e.size, MiniSize), &e.chain)
                                         : walk(e.start, ceilDiv(e.size, m_ssz), false, &e.chain);
    if (s == Status::Ok)
        e.chainLoaded = true;
    else
        e.chain.clear();
    return damaged(s);
}

Status File::children(std::uint32_t id, const std::map<Key, std::uint32_t, KeyLess> **out)
{
    const Status s = loadChildren(id);
    *out = &m_entries[id].children;
    return s;
}

bool File::validTree(std::uint32_t storage) const
{
    // Red-black: ordered, a black top, no red node with a red child, equal black
    // height on every path. Entries were checked for cycles when loaded.
    bool ok = true;
    const KeyLess less;
    auto check = [&](auto &&self, std::uint32_t n, const Key *lo, const Key *hi, bool parentRed, int depth) -> int {
        if (n == NoStream || !ok)
            return 1;
        if (n >= m_entries.size() || depth > 128) {
            ok = false;
            return 1;
        }
        const Entry &x = m_entries[n];
        const Key key = sortKey(x.name);
        if ((lo && !less(*lo, key)) || (hi && !less(key, *hi)))
            ok = false;
        const bool red = x.color == Red;
        if (red && parentRed)
            ok = false;
        const int l = self(self, x.left, lo, &key, red, depth + 1);
        const int r = self(self, x.right, &key, hi, red, depth + 1);
        if (l != r)
            ok = false;
        return l + (red ? 0 : 1);
    };
    const std::uint32_t top = m_entries[storage].child;
    if (top != NoStream && top < m_entries.size() && m_entries[top].color != Black)
        return false;
    check(check, top, nullptr, nullptr, false, 0);
    return ok;
}

bool File::alive(std::uint32_t id, std::uint32_t gen) const
{
    return id < m_entries.size() && m_entries[id].type != TypeFree && m_entries[id].gen == gen;
}

} // namespace v7::cfb::detail
