#include "platform/CfbFile.h"

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

namespace
{

    const unsigned char kSignature[8] = { 0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1 };

    // Lock bytes far beyond any version-3 file: advisory locks never touch data.
    constexpr off_t kLockWriter = 0x7FFFFFFF0000LL;
    constexpr off_t kLockReaders = kLockWriter + 1;
    constexpr off_t kLockHeader = kLockWriter + 2;

    // A version-3 file may not grow past 2 GB.
    constexpr std::uint64_t kV3Limit = 0x80000000ULL;

    std::uint32_t le32(const char *p)
    {
        const auto *u = reinterpret_cast<const unsigned char *>(p);
        return std::uint32_t(u[0]) | std::uint32_t(u[1]) << 8 | std::uint32_t(u[2]) << 16 | std::uint32_t(u[3]) << 24;
    }
    std::uint16_t le16(const char *p)
    {
        const auto *u = reinterpret_cast<const unsigned char *>(p);
        return std::uint16_t(u[0] | u[1] << 8);
    }
    std::uint64_t le64(const char *p)
    {
        return le32(p) | std::uint64_t(le32(p + 4)) << 32;
    }
    void put32(char *p, std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            p[i] = char(v >> (8 * i));
    }
    void put16(char *p, std::uint16_t v)
    {
        p[0] = char(v);
        p[1] = char(v >> 8);
    }
    void put64(char *p, std::uint64_t v)
    {
        put32(p, std::uint32_t(v));
        put32(p + 4, std::uint32_t(v >> 32));
    }

    std::uint64_t fileTimeNow()
    {
        using namespace std::chrono;
        const auto us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
        return std::uint64_t(us) * 10 + 116444736000000000ULL;
    }

    // The root entry's CLSID carries a checksum of the committed tables: "v7ck",
    // the transaction number it belongs to, and a CRC-32 over the header, FAT,
    // DIFAT, directory (this field as zeros) and MiniFAT. A damaged table then reads
    // as a clean error instead of as a different tree. Files without it (or whose
    // header was since rewritten by another program) are read without the check.
    const char kSumMagic[4] = { 'v', '7', 'c', 'k' };
    constexpr int kClsidAt = 80;

    std::uint32_t tableSum(const QByteArray &hdr,
        const QByteArray &fat,
        const QByteArray &difat,
        const QByteArray &dir,
        const QByteArray &miniFat)
    {
        auto add = [](uLong c, const char *p, std::size_t n) {
            return crc32_z(c, reinterpret_cast<const Bytef *>(p), n);
        };
        const char zeros[16] = {};
        uLong c = crc32_z(0, nullptr, 0);
        c = add(c, hdr.constData(), 512);
        c = add(c, fat.constData(), std::size_t(fat.size()));
        c = add(c, difat.constData(), std::size_t(difat.size()));
        c = add(c, dir.constData(), kClsidAt);
        c = add(c, zeros, 16);
        c = add(c, dir.constData() + kClsidAt + 16, std::size_t(dir.size()) - kClsidAt - 16);
        c = add(c, miniFat.constData(), std::size_t(miniFat.size()));
        return std::uint32_t(c);
    }

    std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b)
    {
        return (a + b - 1) / b;
    }

    Status ioStatus(int err)
    {
        switch (err) {
        case ENOENT:
        case ENOTDIR:
            return Status::FileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return Status::AccessDenied;
        default:
            return Status::IoError;
        }
    }

    // The one-byte ranges of the lock protocol.
    struct flock byteLock(int type, std::uint64_t start)
    {
        struct flock fl = {};
        fl.l_type = short(type);
        fl.l_whence = SEEK_SET;
        fl.l_start = off_t(start);
        fl.l_len = 1;
        return fl;
    }

    // Whether another open file holds a lock on the byte at start; nothing when the
    // system cannot tell.
    std::optional<bool> byteLockedElsewhere(int fd, std::uint64_t start)
    {
        struct flock fl = byteLock(F_WRLCK, start);
        if (fcntl(fd, F_OFD_GETLK, &fl) != 0)
            return std::nullopt;
        return fl.l_type != F_UNLCK;
    }

} // namespace

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
    if (m_writable && !m_transacted && m_dirty && !m_broken)
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
    const std::uint64_t entries = std::uint64_t(m_diskMiniFat.size()) / 4;
    std::uint32_t m = start;
    for (std::uint64_t k = 0; k < needed; ++k) {
        if (m >= entries || m >= m_miniCount || m_miniUsed[m])
            return Status::Corrupt;
        m_miniUsed[m] = 1;
        out->push_back(m);
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
    m_entries.assign(count, Entry {});
    m_parsed.assign(count, 0);
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
    if (std::memcmp(m_diskDir.constData() + kClsidAt, kSumMagic, 4) == 0
        && le32(m_diskDir.constData() + kClsidAt + 4) == m_txSig
        && le32(m_diskDir.constData() + kClsidAt + 8)
            != tableSum(hdr, m_diskFat, m_diskDifat, m_diskDir, m_diskMiniFat))
        return Status::Corrupt;
    Entry &root = m_entries[0];
    // Another producer's class id stays; ours (or none) makes room for the checksum.
    m_sumInClsid = std::all_of(root.clsid.begin(), root.clsid.end(), [](std::uint8_t b) { return b == 0; })
        || std::memcmp(root.clsid.data(), kSumMagic, 4) == 0;
    if (m_sumInClsid)
        root.clsid = {};
    const std::uint64_t rootSize = root.size;
    m_miniCount = std::uint32_t(std::min<std::uint64_t>(ceilDiv(rootSize, MiniSize), m_diskMiniFat.size() / 4));
    m_miniUsed.assign(m_miniCount, 0);
    m_miniChain.clear();
    if (m_miniCount > 0) {
        if (Status s = walk(le32(m_diskDir.constData() + 116),
                ceilDiv(std::uint64_t(m_miniCount) * MiniSize, m_ssz),
                false,
                &m_miniChain);
            s != Status::Ok)
            return s;
    }
    root.size = 0;

    // The sibling trees: every entry is reached once at most; anything else is a
    // cycle. A reader walks a storage's tree, and a stream's chain, when first
    // used, so opening a large file costs little; a writer and the audit walk
    // everything now, to know which sectors are in use.
    m_fileBytes = size;
    m_seen.assign(count, 0);
    m_seen[0] = 1;
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
            if (!m_seen[i] || m_entries[i].type == TypeFree)
                m_entries[i] = Entry {};
    }
    m_diskFatLocs = m_fatLocs;
    m_diskDifatLocs = m_difatLocs;
    m_diskDirChain = m_dirChain;
    m_diskMiniFatChain = m_miniFatChain;
    for (auto &e : m_entries)
        e.gen = m_genBase;
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

void File::parseEntry(std::uint32_t i)
{
    if (m_parsed[i])
        return;
    m_parsed[i] = 1;
    const char *p = m_diskDir.constData() + std::size_t(i) * EntrySize;
    Entry &e = m_entries[i];
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
    // Version-3 writers have left garbage in the high half of the size.
    e.size = m_major == 3 ? le32(p + 120) : le64(p + 120);
}

Status File::loadChildren(std::uint32_t sid)
{
    if (m_entries[sid].childrenLoaded)
        return Status::Ok;
    m_entries[sid].childrenLoaded = true;
    const std::size_t count = m_seen.size();
    std::vector<std::uint32_t> nodes { m_entries[sid].child };
    while (!nodes.empty()) {
        const std::uint32_t n = nodes.back();
        nodes.pop_back();
        if (n == NoStream)
            continue;
        if (n >= count || m_seen[n])
            return Status::Corrupt;
        m_seen[n] = 1;
        parseEntry(n);
        Entry &e = m_entries[n];
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
        if (e.size > m_fileBytes)
            return Status::Corrupt; // no stream is larger than the file that holds it
        if (!m_lazy)
            if (Status st = loadChain(n); st != Status::Ok)
                return st;
    }
    return Status::Ok;
}

Status File::searchTree(std::uint32_t sid, const Key &key, std::uint32_t *id)
{
    const KeyLess less;
    std::uint32_t n = m_entries[sid].child;
    for (std::size_t steps = 0; n != NoStream && steps < m_seen.size(); ++steps) {
        if (n >= m_seen.size() || n == 0)
            return Status::FileNotFound;
        parseEntry(n);
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
            if (e.type == TypeStream && e.size > m_fileBytes)
                return Status::Corrupt;
            if (e.type == TypeStorage)
                e.size = 0;
            e.parent = sid;
            *id = n;
            return Status::Ok;
        }
    }
    return Status::FileNotFound;
}

Status File::loadChain(std::uint32_t id)
{
    Entry &e = m_entries[id];
    if (e.chainLoaded || e.type != TypeStream)
        return Status::Ok;
    const std::uint32_t start = le32(m_diskDir.constData() + std::size_t(id) * EntrySize + 116);
    const Status s = e.size < MiniCutoff ? walkMini(start, ceilDiv(e.size, MiniSize), &e.chain)
                                         : walk(start, ceilDiv(e.size, m_ssz), false, &e.chain);
    if (s == Status::Ok)
        e.chainLoaded = true;
    return s;
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

// ---- allocation ------------------------------------------------------------

Status File::allocSector(std::uint32_t *out)
{
    std::uint32_t i = m_allocHint;
    const auto n = std::uint32_t(m_used.size());
    while (i < n && (m_used[i] || isProtected(i)))
        ++i;
    if (i == n) {
        const std::uint64_t end = sectorOffset(i) + m_ssz;
        if (i >= MaxRegSect || (m_major == 3 && end > kV3Limit))
            return Status::TooLarge;
        m_used.push_back(0);
    }
    m_used[i] = 1;
    m_allocHint = i + 1;
    *out = i;
    return Status::Ok;
}

std::uint32_t File::firstFree()
{
    const auto n = std::uint32_t(m_used.size());
    while (m_allocHint < n && (m_used[m_allocHint] || isProtected(m_allocHint)))
        ++m_allocHint;
    return m_allocHint;
}

void File::freeSector(std::uint32_t s)
{
    if (s < m_used.size()) {
        m_used[s] = 0;
        // A sector the committed state still holds cannot be taken before the next
        // commit: pulling the search back to it would rescan the file per sector
        // moved by copy-on-write.
        if (!isProtected(s))
            m_allocHint = std::min(m_allocHint, s);
    }
}

Status File::allocMini(std::uint32_t *out)
{
    std::uint32_t m = m_miniHint;
    while (m < m_miniCount && m_miniUsed[m])
        ++m;
    if (m == m_miniCount) {
        // The mini stream lives in regular sectors; grow it by one when full.
        if (std::uint64_t(m_miniCount + 1) * MiniSize > std::uint64_t(m_miniChain.size()) * m_ssz) {
            std::uint32_t s;
            if (Status st = allocSector(&s); st != Status::Ok)
                return st;
            m_miniChain.push_back(s);
        }
        ++m_miniCount;
        m_miniUsed.push_back(0);
    }
    m_miniUsed[m] = 1;
    m_miniHint = m + 1;
    *out = m;
    return Status::Ok;
}

void File::freeMini(std::uint32_t m)
{
    if (m < m_miniUsed.size()) {
        m_miniUsed[m] = 0;
        m_miniHint = std::min(m_miniHint, m);
    }
}

namespace
{

    // Walks a chain of units (sectors or mini sectors) from pos for n bytes in runs of
    // consecutive units, calling step(first unit, offset in it, length, last unit).
    template <class Step>
    Status forEachRun(
        const std::vector<std::uint32_t> &chain, std::uint64_t pos, std::uint64_t n, std::uint32_t unit, Step step)
    {
        while (n > 0) {
            std::size_t idx = std::size_t(pos / unit);
            const std::uint32_t off = std::uint32_t(pos % unit);
            const std::uint32_t first = chain[idx];
            std::uint64_t len = std::min<std::uint64_t>(n, unit - off);
            while (len < n && idx + 1 < chain.size() && chain[idx + 1] == chain[idx] + 1) {
                ++idx;
                len = std::min<std::uint64_t>(n, len + unit);
            }
            if (Status s = step(first, off, len, chain[idx]); s != Status::Ok)
                return s;
            pos += len;
            n -= len;
        }
        return Status::Ok;
    }

} // namespace

// ---- stream data -------------------------------------------------------------

Status File::readChain(const std::vector<std::uint32_t> &chain, std::uint64_t pos, char *buf, std::uint64_t n)
{
    return forEachRun(
        chain, pos, n, m_ssz, [&](std::uint32_t first, std::uint32_t off, std::uint64_t len, std::uint32_t) {
            if (!preadAll(buf, std::size_t(len), sectorOffset(first) + off))
                return Status::IoError;
            buf += len;
            return Status::Ok;
        });
}

Status File::writeChain(std::vector<std::uint32_t> &chain, std::uint64_t pos, const char *data, std::uint64_t n)
{
    if (n == 0)
        return Status::Ok;
    // Sectors the committed state uses are never written: the new bytes go to a
    // fresh sector, with the untouched part of a partly written sector copied over.
    const std::size_t firstIdx = std::size_t(pos >> m_shift), lastIdx = std::size_t((pos + n - 1) >> m_shift);
    QByteArray tmp;
    for (std::size_t idx = firstIdx; idx <= lastIdx; ++idx) {
        const std::uint32_t old = chain[idx];
        if (!isProtected(old))
            continue;
        std::uint32_t fresh;
        if (Status s = allocSector(&fresh); s != Status::Ok)
            return s;
        const std::uint64_t secStart = std::uint64_t(idx) << m_shift;
        const bool whole = pos <= secStart && pos + n >= secStart + m_ssz;
        if (!whole) {
            tmp.resize(m_ssz);
            if (!preadAll(tmp.data(), m_ssz, sectorOffset(old)))
                return Status::IoError;
            const std::uint64_t from = std::max(pos, secStart), to = std::min(pos + n, secStart + m_ssz);
            std::memcpy(tmp.data() + (from - secStart), data + (from - pos), std::size_t(to - from));
            if (!pwriteAll(tmp.constData(), m_ssz, sectorOffset(fresh)))
                return Status::IoError;
        }
        chain[idx] = fresh;
        freeSector(old);
    }
    return forEachRun(
        chain, pos, n, m_ssz, [&](std::uint32_t first, std::uint32_t off, std::uint64_t len, std::uint32_t last) {
            if (!pwriteAll(data, std::size_t(len), sectorOffset(first) + off))
                return Status::IoError;
            m_fileSectors = std::max<std::uint64_t>(m_fileSectors, last + 1ULL);
            data += len;
            return Status::Ok;
        });
}

Status File::readMini(const std::vector<std::uint32_t> &chain, std::uint64_t pos, char *buf, std::uint64_t n)
{
    return forEachRun(
        chain, pos, n, MiniSize, [&](std::uint32_t first, std::uint32_t off, std::uint64_t len, std::uint32_t) {
            const Status s = readChain(m_miniChain, std::uint64_t(first) * MiniSize + off, buf, len);
            buf += len;
            return s;
        });
}

Status File::writeMini(const std::vector<std::uint32_t> &chain, std::uint64_t pos, const char *data, std::uint64_t n)
{
    // Copy-on-write happens one level down, on the sectors that hold the mini stream.
    return forEachRun(
        chain, pos, n, MiniSize, [&](std::uint32_t first, std::uint32_t off, std::uint64_t len, std::uint32_t) {
            const Status s = writeChain(m_miniChain, std::uint64_t(first) * MiniSize + off, data, len);
            data += len;
            return s;
        });
}

void File::freeChain(Entry &e)
{
    for (std::uint32_t s : e.chain)
        e.inMini() ? freeMini(s) : freeSector(s);
    e.chain.clear();
}

Status File::resizeChain(Entry &e, std::uint64_t newSize)
{
    if (newSize == e.size)
        return Status::Ok;
    if (m_major == 3 && newSize > kV3Limit)
        return Status::TooLarge;
    const bool oldMini = e.size < MiniCutoff, newMini = newSize < MiniCutoff;
    if (oldMini == newMini) {
        const std::uint64_t need = ceilDiv(newSize, newMini ? MiniSize : m_ssz);
        while (e.chain.size() > need) {
            newMini ? freeMini(e.chain.back()) : freeSector(e.chain.back());
            e.chain.pop_back();
        }
        while (e.chain.size() < need) {
            std::uint32_t u;
            if (Status s = newMini ? allocMini(&u) : allocSector(&u); s != Status::Ok)
                return s;
            e.chain.push_back(u);
        }
        e.size = newSize;
        return Status::Ok;
    }
    // Crossing 4096 bytes moves the stream between the mini stream and the FAT.
    const std::uint64_t keep = std::min(e.size, newSize);
    QByteArray buf(qsizetype(keep), 0);
    if (keep > 0) {
        const Status s = oldMini ? readMini(e.chain, 0, buf.data(), keep) : readChain(e.chain, 0, buf.data(), keep);
        if (s != Status::Ok)
            return s;
    }
    freeChain(e);
    const std::uint64_t need = ceilDiv(newSize, newMini ? MiniSize : m_ssz);
    for (std::uint64_t i = 0; i < need; ++i) {
        std::uint32_t u;
        if (Status s = newMini ? allocMini(&u) : allocSector(&u); s != Status::Ok) {
            for (std::uint32_t v : e.chain)
                newMini ? freeMini(v) : freeSector(v);
            e.chain.clear();
            e.size = 0;
            return s;
        }
        e.chain.push_back(u);
    }
    e.size = newSize;
    return newMini ? writeMini(e.chain, 0, buf.constData(), keep) : writeChain(e.chain, 0, buf.constData(), keep);
}

Status File::read(std::uint32_t id, std::uint64_t pos, char *buf, std::uint64_t n, std::uint64_t *got)
{
    *got = 0;
    if (Status s = loadChain(id); s != Status::Ok)
        return s;
    Entry &e = m_entries[id];
    const std::uint64_t avail = pos < e.size ? e.size - pos : 0;
    n = std::min(n, avail);
    *got = 0;
    if (n == 0)
        return Status::Ok;
    const Status s = e.inMini() ? readMini(e.chain, pos, buf, n) : readChain(e.chain, pos, buf, n);
    if (s == Status::Ok)
        *got = n;
    return s;
}

Status File::write(std::uint32_t id, std::uint64_t pos, const char *data, std::uint64_t n)
{
    if (n == 0)
        return Status::Ok;
    if (pos + n < pos)
        return Status::InvalidParameter;
    m_dirty = true;
    if (pos + n > m_entries[id].size)
        if (Status s = resizeChain(m_entries[id], pos + n); s != Status::Ok)
            return s;
    Entry &e = m_entries[id];
    return e.inMini() ? writeMini(e.chain, pos, data, n) : writeChain(e.chain, pos, data, n);
}

Status File::setSize(std::uint32_t id, std::uint64_t size)
{
    m_dirty = true;
    return resizeChain(m_entries[id], size);
}

// ---- the element tree ---------------------------------------------------------

Status File::find(std::uint32_t parent, const QString &name, std::uint32_t *id)
{
    if (!validName(name))
        return Status::InvalidName;
    const Key key = sortKey(name.toStdU16String());
    if (m_lazy && !m_entries[parent].childrenLoaded) {
        // A reader looking up one name searches the tree on disk; only a tree
        // that is out of order (it does not find the name) is walked whole.
        if (Status s = searchTree(parent, key, id); s != Status::FileNotFound)
            return s;
    }
    if (Status s = loadChildren(parent); s != Status::Ok)
        return s;
    const auto &ch = m_entries[parent].children;
    const auto it = ch.find(key);
    if (it == ch.end())
        return Status::FileNotFound;
    *id = it->second;
    return Status::Ok;
}

Status File::addChild(std::uint32_t parent, const QString &name, std::uint8_t type, std::uint32_t *id)
{
    if (!validName(name))
        return Status::InvalidName;
    const std::u16string n = name.toStdU16String();
    const Key key = sortKey(n);
    if (m_entries[parent].children.count(key))
        return Status::FileAlreadyExists;
    std::uint32_t slot = std::max<std::uint32_t>(1, m_entryHint);
    while (slot < m_entries.size() && m_entries[slot].type != TypeFree)
        ++slot;
    m_entryHint = slot + 1;
    if (slot == m_entries.size()) {
        if (slot >= MaxRegSect)
            return Status::TooLarge;
        m_entries.emplace_back();
        m_entries.back().gen = m_genBase++;
    }
    Entry &e = m_entries[slot];
    const std::uint32_t gen = e.gen;
    e = Entry {};
    e.gen = gen;
    e.name = n;
    e.type = type;
    e.parent = parent;
    e.childrenLoaded = e.chainLoaded = true;
    if (type == TypeStorage)
        e.ctime = e.mtime = fileTimeNow();
    m_entries[parent].children.emplace(key, slot);
    m_entries[parent].treeDirty = true;
    m_dirty = true;
    *id = slot;
    return Status::Ok;
}

void File::destroyTree(std::uint32_t id)
{
    Entry &e = m_entries[id];
    std::vector<std::uint32_t> kids;
    for (const auto &kv : e.children)
        kids.push_back(kv.second);
    for (std::uint32_t k : kids)
        destroyTree(k);
    Entry &again = m_entries[id];
    freeChain(again);
    const std::uint32_t gen = m_genBase++;
    again = Entry {};
    again.gen = gen;
}

Status File::destroy(std::uint32_t id)
{
    Entry &e = m_entries[id];
    Entry &p = m_entries[e.parent];
    p.children.erase(sortKey(e.name));
    p.treeDirty = true;
    destroyTree(id);
    m_dirty = true;
    return Status::Ok;
}

Status File::rename(std::uint32_t id, const QString &newName)
{
    if (!validName(newName))
        return Status::InvalidName;
    Entry &e = m_entries[id];
    Entry &p = m_entries[e.parent];
    const std::u16string n = newName.toStdU16String();
    const Key key = sortKey(n), oldKey = sortKey(e.name);
    if (key != oldKey && p.children.count(key))
        return Status::FileAlreadyExists;
    p.children.erase(oldKey);
    p.children.emplace(key, id);
    e.name = n;
    p.treeDirty = true;
    m_dirty = true;
    return Status::Ok;
}

Status File::copyInto(std::uint32_t src, File &dst, std::uint32_t dstId)
{
    if (Status s = loadChildren(src); s != Status::Ok)
        return s;
    std::vector<std::uint32_t> kids;
    for (const auto &kv : m_entries[src].children)
        kids.push_back(kv.second);
    for (std::uint32_t k : kids) {
        const QString name = QString::fromStdU16String(m_entries[k].name);
        const std::uint8_t type = m_entries[k].type;
        std::uint32_t target;
        Status s = dst.find(dstId, name, &target);
        if (s == Status::Ok && dst.m_entries[target].type != type) {
            dst.destroy(target);
            s = Status::FileNotFound;
        }
        if (s == Status::FileNotFound)
            s = dst.addChild(dstId, name, type, &target);
        if (s != Status::Ok)
            return s;
        if (type == TypeStorage) {
            if (&dst == this && (target == src || target == k))
                return Status::InvalidParameter;
            if (Status c = copyInto(k, dst, target); c != Status::Ok)
                return c;
            continue;
        }
        QByteArray bytes(qsizetype(m_entries[k].size), 0);
        std::uint64_t got = 0;
        if (Status r = read(k, 0, bytes.data(), std::uint64_t(bytes.size()), &got); r != Status::Ok)
            return r;
        if (Status w = dst.setSize(target, 0); w != Status::Ok)
            return w;
        if (Status w = dst.write(target, 0, bytes.constData(), got); w != Status::Ok)
            return w;
    }
    return Status::Ok;
}

// ---- commit ------------------------------------------------------------------

void File::rebuildTree(std::uint32_t storage)
{
    // A balanced tree from the sorted children: every level full but the last,
    // whose nodes are red, so all paths hold the same number of black nodes.
    Entry &parent = m_entries[storage];
    std::vector<std::uint32_t> ids;
    ids.reserve(parent.children.size());
    for (const auto &kv : parent.children)
        ids.push_back(kv.second);
    const std::size_t n = ids.size();
    int height = 0;
    while ((std::size_t(1) << height) - 1 < n)
        ++height;
    const bool perfect = n == (std::size_t(1) << height) - 1;
    auto build = [&](auto &&self, std::size_t lo, std::size_t hi, int depth) -> std::uint32_t {
        if (lo >= hi)
            return NoStream;
        const std::size_t mid = lo + (hi - lo) / 2;
        Entry &e = m_entries[ids[mid]];
        e.left = self(self, lo, mid, depth + 1);
        m_entries[ids[mid]].right = self(self, mid + 1, hi, depth + 1);
        m_entries[ids[mid]].color = (!perfect && depth == height - 1) ? Red : Black;
        return ids[mid];
    };
    const std::uint32_t top = build(build, 0, n, 0);
    m_entries[storage].child = top;
    m_entries[storage].treeDirty = false;
}

QByteArray File::serializeDirectory()
{
    const std::size_t perSector = m_ssz / EntrySize;
    std::size_t count = m_entries.size();
    while (count > 1 && m_entries[count - 1].type == TypeFree && count > std::size_t(m_diskDir.size()) / EntrySize)
        --count;
    count = ceilDiv(count, perSector) * perSector;
    QByteArray out(qsizetype(count * EntrySize), 0);
    for (std::size_t i = 0; i < count; ++i) {
        char *p = out.data() + i * EntrySize;
        const Entry *e = i < m_entries.size() ? &m_entries[i] : nullptr;
        if (!e || e->type == TypeFree) {
            put32(p + 68, NoStream);
            put32(p + 72, NoStream);
            put32(p + 76, NoStream);
            continue;
        }
        for (std::size_t c = 0; c < e->name.size(); ++c)
            put16(p + 2 * c, e->name[c]);
        put16(p + 64, std::uint16_t((e->name.size() + 1) * 2));
        p[66] = char(e->type);
        p[67] = char(i == 0 ? std::uint8_t(Black) : e->color);
        const bool root = e->type == TypeRoot;
        put32(p + 68, root ? NoStream : e->left);
        put32(p + 72, root ? NoStream : e->right);
        put32(p + 76, e->type == TypeStream ? NoStream : e->child);
        std::memcpy(p + 80, e->clsid.data(), 16);
        put32(p + 96, e->state);
        if (e->type == TypeStorage) { // the root and streams keep zero times
            put64(p + 100, e->ctime);
            put64(p + 108, e->mtime);
        }
        if (root) {
            put32(p + 116, m_miniChain.empty() ? EndOfChain : m_miniChain[0]);
            put64(p + 120, std::uint64_t(m_miniCount) * MiniSize);
        } else if (e->type == TypeStream) {
            put32(p + 116, e->chain.empty() ? EndOfChain : e->chain[0]);
            put64(p + 120, e->size);
        }
    }
    return out;
}

Status File::writeTable(const QByteArray &bytes,
    const QByteArray &onDisk,
    const std::vector<std::uint32_t> &diskLocs,
    std::vector<std::uint32_t> *locs)
{
    const std::size_t n = std::size_t(bytes.size()) / m_ssz;
    while (locs->size() > n) {
        freeSector(locs->back());
        locs->pop_back();
    }
    for (std::size_t i = 0; i < n; ++i) {
        const char *slice = bytes.constData() + i * m_ssz;
        const bool same = i < locs->size() && i < diskLocs.size() && (*locs)[i] == diskLocs[i]
            && std::memcmp(slice, onDisk.constData() + i * m_ssz, m_ssz) == 0;
        // Tables move down when they can, so the end of the file can be given back.
        const bool lower = i < locs->size() && firstFree() < (*locs)[i];
        if (same && !lower)
            continue;
        if (i >= locs->size() || isProtected((*locs)[i]) || lower) {
            std::uint32_t s;
            if (Status st = allocSector(&s); st != Status::Ok)
                return st;
            if (i < locs->size()) {
                freeSector((*locs)[i]);
                (*locs)[i] = s;
            } else {
                locs->push_back(s);
            }
        }
        if (!pwriteAll(slice, m_ssz, sectorOffset((*locs)[i])))
            return Status::IoError;
        m_fileSectors = std::max<std::uint64_t>(m_fileSectors, (*locs)[i] + 1ULL);
    }
    return Status::Ok;
}

Status File::commit()
{
    if (!m_writable)
        return Status::AccessDenied;
    if (!m_dirty)
        return Status::Ok;
    for (std::size_t i = 0; i < m_entries.size(); ++i)
        if (m_entries[i].treeDirty)
            rebuildTree(std::uint32_t(i));

    // Free mini sectors at the end of the mini stream go back to the FAT.
    while (m_miniCount > 0 && !m_miniUsed[m_miniCount - 1]) {
        --m_miniCount;
        m_miniUsed.pop_back();
    }
    m_miniHint = std::min(m_miniHint, m_miniCount);
    while (m_miniChain.size() > ceilDiv(std::uint64_t(m_miniCount) * MiniSize, m_ssz)) {
        freeSector(m_miniChain.back());
        m_miniChain.pop_back();
    }

    QByteArray dir = serializeDirectory();
    if (m_sumInClsid) {
        // Marked before the sectors are written: the first directory sector then
        // differs from the committed one (its transaction number does), so it goes
        // to a fresh sector even when nothing else in it changed, and the checksum
        // can be patched in below without touching a committed sector.
        std::memcpy(dir.data() + kClsidAt, kSumMagic, 4);
        put32(dir.data() + kClsidAt + 4, m_txSig + 1);
    }
    if (Status s = writeTable(dir, m_diskDir, m_diskDirChain, &m_dirChain); s != Status::Ok)
        return s;

    QByteArray miniFat(qsizetype(ceilDiv(std::uint64_t(m_miniCount) * 4, m_ssz) * m_ssz), char(0xFF));
    for (const Entry &e : m_entries) {
        if (!e.inMini() || e.chain.empty())
            continue;
        for (std::size_t i = 0; i < e.chain.size(); ++i)
            put32(miniFat.data() + 4 * std::size_t(e.chain[i]), i + 1 < e.chain.size() ? e.chain[i + 1] : EndOfChain);
    }
    if (Status s = writeTable(miniFat, m_diskMiniFat, m_diskMiniFatChain, &m_miniFatChain); s != Status::Ok)
        return s;

    // The FAT and DIFAT describe themselves, so moving one of their sectors
    // changes them again: repeat until nothing moves. Every move takes a sector
    // out of the protected set, so this ends.
    QByteArray fat, difat;
    for (;;) {
        std::uint64_t cover = m_fileSectors;
        for (std::uint64_t i = m_used.size(); i > cover; --i)
            if (m_used[i - 1]) {
                cover = i;
                break;
            }
        const std::size_t needFat = std::max<std::size_t>(m_fatLocs.size(), ceilDiv(cover, m_eps));
        const std::size_t needDifat = needFat > HeaderDifat ? ceilDiv(needFat - HeaderDifat, m_eps - 1) : 0;
        if (m_fatLocs.size() < needFat || m_difatLocs.size() < needDifat) {
            std::uint32_t s;
            if (Status st = allocSector(&s); st != Status::Ok)
                return st;
            (m_fatLocs.size() < needFat ? m_fatLocs : m_difatLocs).push_back(s);
            continue;
        }
        while (m_difatLocs.size() > needDifat) {
            freeSector(m_difatLocs.back());
            m_difatLocs.pop_back();
        }
        fat = QByteArray(qsizetype(needFat) * m_ssz, char(0xFF));
        auto link = [&fat](const std::vector<std::uint32_t> &c) {
            for (std::size_t i = 0; i < c.size(); ++i)
                put32(fat.data() + 4 * std::size_t(c[i]), i + 1 < c.size() ? c[i + 1] : EndOfChain);
        };
        for (const Entry &e : m_entries)
            if (e.type == TypeStream && !e.inMini())
                link(e.chain);
        link(m_miniChain);
        link(m_dirChain);
        link(m_miniFatChain);
        for (std::uint32_t s : m_fatLocs)
            put32(fat.data() + 4 * std::size_t(s), FatSect);
        for (std::uint32_t s : m_difatLocs)
            put32(fat.data() + 4 * std::size_t(s), DifSect);
        difat = QByteArray(qsizetype(needDifat) * m_ssz, char(0xFF));
        for (std::size_t i = HeaderDifat; i < m_fatLocs.size(); ++i) {
            const std::size_t k = i - HeaderDifat;
            put32(difat.data() + (k / (m_eps - 1)) * m_ssz + 4 * (k % (m_eps - 1)), m_fatLocs[i]);
        }
        for (std::size_t j = 0; j < needDifat; ++j)
            put32(difat.data() + (j + 1) * m_ssz - 4, j + 1 < needDifat ? m_difatLocs[j + 1] : EndOfChain);

        bool moved = false;
        auto relocate = [&](const QByteArray &bytes,
                            const QByteArray &onDisk,
                            const std::vector<std::uint32_t> &diskLocs,
                            std::vector<std::uint32_t> &locs) -> Status {
            for (std::size_t i = 0; i < locs.size(); ++i) {
                const bool same = i < diskLocs.size() && locs[i] == diskLocs[i]
                    && std::memcmp(bytes.constData() + i * m_ssz, onDisk.constData() + i * m_ssz, m_ssz) == 0;
                if (same ? firstFree() >= locs[i] : !isProtected(locs[i]) && firstFree() >= locs[i])
                    continue;
                std::uint32_t s;
                if (Status st = allocSector(&s); st != Status::Ok)
                    return st;
                freeSector(locs[i]);
                locs[i] = s;
                moved = true;
            }
            return Status::Ok;
        };
        if (Status st = relocate(fat, m_diskFat, m_diskFatLocs, m_fatLocs); st != Status::Ok)
            return st;
        if (Status st = relocate(difat, m_diskDifat, m_diskDifatLocs, m_difatLocs); st != Status::Ok)
            return st;
        if (!moved)
            break;
    }
    if (Status s = writeTable(fat, m_diskFat, m_diskFatLocs, &m_fatLocs); s != Status::Ok)
        return s;
    if (Status s = writeTable(difat, m_diskDifat, m_diskDifatLocs, &m_difatLocs); s != Status::Ok)
        return s;

    // Sectors allocated but never written (a stream grown by setSize) must exist
    // in the file, or readers would find chains beyond its end.
    std::uint64_t last = 0;
    for (std::uint64_t i = m_used.size(); i > 0; --i)
        if (m_used[i - 1]) {
            last = i;
            break;
        }
    struct stat st = {};
    if (fstat(m_fd, &st) != 0)
        return Status::IoError;
    if (std::uint64_t(st.st_size) < sectorOffset(std::uint32_t(last)))
        if (::ftruncate(m_fd, off_t(sectorOffset(std::uint32_t(last)))) != 0)
            return ioStatus(errno);

    QByteArray hdr(int(m_major == 3 ? 512 : m_ssz), 0);
    char *h = hdr.data();
    std::memcpy(h, kSignature, 8);
    put16(h + 0x18, 0x3E);
    put16(h + 0x1A, std::uint16_t(m_major));
    put16(h + 0x1C, 0xFFFE);
    put16(h + 0x1E, std::uint16_t(m_shift));
    put16(h + 0x20, 6);
    put32(h + 0x28, m_major == 3 ? 0 : std::uint32_t(m_dirChain.size()));
    put32(h + 0x2C, std::uint32_t(m_fatLocs.size()));
    put32(h + 0x30, m_dirChain[0]);
    put32(h + 0x34, m_txSig + 1);
    put32(h + 0x38, MiniCutoff);
    put32(h + 0x3C, m_miniFatChain.empty() ? EndOfChain : m_miniFatChain[0]);
    put32(h + 0x40, std::uint32_t(m_miniFatChain.size()));
    put32(h + 0x44, m_difatLocs.empty() ? EndOfChain : m_difatLocs[0]);
    put32(h + 0x48, std::uint32_t(m_difatLocs.size()));
    for (std::uint32_t i = 0; i < HeaderDifat; ++i)
        put32(h + 0x4C + 4 * i, i < m_fatLocs.size() ? m_fatLocs[i] : FreeSect);
    // The checksum goes into the root entry, whose sector this commit wrote afresh
    // (its transaction number changed), so patching it touches no committed sector.
    QByteArray dirOut = dir;
    if (m_sumInClsid) {
        char *clsid = dirOut.data() + kClsidAt;
        put32(clsid + 8, tableSum(hdr, fat, difat, dir, miniFat));
        if (isProtected(m_dirChain[0]) || !pwriteAll(clsid, 16, sectorOffset(m_dirChain[0]) + kClsidAt))
            return Status::IoError;
    }
    if (::fdatasync(m_fd) != 0)
        return Status::IoError;

    lockRange(F_WRLCK, kLockHeader, true);
    const bool wrote = pwriteAll(hdr.constData(), std::size_t(hdr.size()), 0);
    lockRange(F_UNLCK, kLockHeader, false);
    if (!wrote || ::fdatasync(m_fd) != 0) {
        // The header may or may not be on disk: both states are whole files, but
        // which one this process holds is unknown, so it stops writing.
        m_broken = true;
        return Status::IoError;
    }
    ++m_txSig;

    m_diskFat = fat;
    m_diskDifat = difat;
    m_diskDir = dirOut;
    m_diskMiniFat = miniFat;
    m_diskFatLocs = m_fatLocs;
    m_diskDifatLocs = m_difatLocs;
    m_diskDirChain = m_dirChain;
    m_diskMiniFatChain = m_miniFatChain;
    protectCommitted(readersPresent());
    m_dirty = false;
    return Status::Ok;
}

void File::protectCommitted(bool keepOld)
{
    if (keepOld) {
        // A reader may still be reading the state before this one.
        m_protected.resize(std::max(m_protected.size(), m_used.size()), 0);
        for (std::size_t i = 0; i < m_used.size(); ++i)
            m_protected[i] |= m_used[i];
        return;
    }
    m_protected = m_used;
    m_allocHint = 0; // sectors of the old state are free to take now
    std::size_t last = m_used.size();
    while (last > 0 && !m_used[last - 1])
        --last;
    // Nobody can read beyond the new state: give the tail back to the file system.
    if (last < m_fileSectors && ::ftruncate(m_fd, off_t(sectorOffset(std::uint32_t(last)))) == 0) {
        m_fileSectors = last;
        m_used.resize(last);
        m_protected.resize(last);
    }
}

Status File::revert()
{
    if (!m_writable || !m_transacted)
        return Status::Ok;
    for (auto &e : m_entries)
        e = Entry {};
    const Status s = load(true);
    if (s != Status::Ok)
        m_broken = true;
    return s;
}

void File::stats(FileStats *out)
{
    // Free sectors are known once every tree and chain has been walked.
    for (std::uint32_t i = 0; m_lazy && i < m_entries.size(); ++i) {
        if (m_entries[i].type == TypeStream && m_seen[i])
            loadChain(i);
        else if ((m_entries[i].type == TypeStorage && m_seen[i]) || i == 0)
            loadChildren(i);
    }
    out->majorVersion = m_major;
    out->sectorSize = m_ssz;
    struct stat st = {};
    out->fileBytes = fstat(m_fd, &st) == 0 ? std::uint64_t(st.st_size) : 0;
    out->sectors = std::uint32_t(m_fileSectors);
    std::uint32_t used = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(m_used.size(), m_fileSectors); ++i)
        used += m_used[i];
    out->freeSectors = std::uint32_t(m_fileSectors) - used;
    out->fatSectors = std::uint32_t(m_fatLocs.size());
    out->difatSectors = std::uint32_t(m_difatLocs.size());
    out->directorySectors = std::uint32_t(m_dirChain.size());
    out->miniFatSectors = std::uint32_t(m_miniFatChain.size());
    out->miniStreamBytes = m_miniCount * MiniSize;
    out->entries = 0;
    for (const Entry &e : m_entries)
        out->entries += e.type != TypeFree;
}

Status File::audit(const QString &path, QStringList *problems)
{
    std::shared_ptr<File> f;
    if (Status s = open(path, mode::Read | mode::Transacted | mode::NoSnapshot, &f, true); s != Status::Ok) {
        problems->append(QStringLiteral("cannot be read: %1").arg(QString::fromLatin1(statusText(s))));
        return s;
    }
    QByteArray hdr;
    f->readHeader(&hdr);
    const char *h = hdr.constData();
    if (f->m_major == 3 && le32(h + 0x28) != 0)
        problems->append(QStringLiteral("version 3 with a directory-sector count"));
    if (le16(h + 0x22) != 0 || le32(h + 0x24) != 0)
        problems->append(QStringLiteral("reserved header bytes are not zero"));
    if (le32(h + 0x40) != f->m_miniFatChain.size())
        problems->append(QStringLiteral("MiniFAT sector count disagrees with its chain"));
    if (le32(h + 0x48) != f->m_difatLocs.size())
        problems->append(QStringLiteral("DIFAT sector count disagrees with its chain"));
    for (std::uint32_t i = std::uint32_t(f->m_fatLocs.size()); i < HeaderDifat; ++i)
        if (le32(h + 0x4C + 4 * i) != FreeSect)
            problems->append(QStringLiteral("header DIFAT slot %1 is not free").arg(i));

    const std::uint64_t fatSlots = std::uint64_t(f->m_diskFat.size()) / 4;
    std::vector<std::uint8_t> isFat(fatSlots, 0), isDifat(fatSlots, 0);
    for (std::uint32_t s : f->m_fatLocs)
        isFat[s] = 1;
    for (std::uint32_t s : f->m_difatLocs)
        isDifat[s] = 1;
    if (fatSlots < f->m_fileSectors)
        problems->append(QStringLiteral("the FAT does not cover the file"));
    for (std::uint64_t s = 0; s < fatSlots; ++s) {
        const std::uint32_t v = le32(f->m_diskFat.constData() + 4 * s);
        if (s >= f->m_fileSectors) {
            if (v != FreeSect)
                problems->append(QStringLiteral("FAT slot %1 past the end of the file is not free").arg(s));
            continue;
        }
        if (isFat[s] != (v == FatSect) || isDifat[s] != (v == DifSect))
            problems->append(QStringLiteral("FAT slot %1 misnames a FAT or DIFAT sector").arg(s));
        if (v != FreeSect && !f->m_used[s])
            problems->append(QStringLiteral("sector %1 is leaked").arg(s));
        if (v == FreeSect && f->m_used[s])
            problems->append(QStringLiteral("sector %1 is in use but marked free").arg(s));
    }
    const std::uint64_t miniSlots = std::uint64_t(f->m_diskMiniFat.size()) / 4;
    for (std::uint64_t m = 0; m < miniSlots; ++m) {
        const std::uint32_t v = le32(f->m_diskMiniFat.constData() + 4 * m);
        const bool used = m < f->m_miniUsed.size() && f->m_miniUsed[m];
        if ((v != FreeSect) != used)
            problems->append(QStringLiteral("mini sector %1 is %2").arg(m).arg(used ? "marked free" : "leaked"));
    }

    // Directory entries: allocation state, the fields each kind must have, and the trees.
    const std::size_t count = std::size_t(f->m_diskDir.size()) / EntrySize;
    for (std::size_t i = 0; i < count; ++i) {
        const char *p = f->m_diskDir.constData() + i * EntrySize;
        const Entry &e = f->m_entries[i];
        const std::uint8_t type = std::uint8_t(p[66]);
        if (type != TypeFree && e.type == TypeFree)
            problems->append(QStringLiteral("entry %1 is allocated but unreachable").arg(i));
        if (type == TypeFree)
            continue;
        if (e.name.size() > 31 || le16(p + 64) != (e.name.size() + 1) * 2)
            problems->append(QStringLiteral("entry %1 has a bad name length").arg(i));
        if (f->m_major == 3 && le32(p + 124) != 0)
            problems->append(QStringLiteral("entry %1 has a size above 4 GB in version 3").arg(i));
        if (type == TypeStorage && (le32(p + 116) != 0 || le64(p + 120) != 0))
            problems->append(QStringLiteral("storage %1 has a start sector or size").arg(i));
        if (type == TypeStream && le64(p + 120) == 0 && le32(p + 116) != EndOfChain)
            problems->append(QStringLiteral("empty stream %1 does not start at ENDOFCHAIN").arg(i));
        if (type == TypeRoot && le64(p + 100) != 0)
            problems->append(QStringLiteral("the root has a creation time"));
        if (type == TypeStream && le32(p + 76) != NoStream)
            problems->append(QStringLiteral("stream %1 has a child").arg(i));
        if (type != TypeStorage && type != TypeRoot)
            continue;
        const bool ok = f->validTree(std::uint32_t(i));
        if (!ok)
            problems->append(QStringLiteral("the children of entry %1 are not a red-black tree").arg(i));
    }
    return problems->isEmpty() ? Status::Ok : Status::Corrupt;
}

} // namespace v7::cfb::detail
