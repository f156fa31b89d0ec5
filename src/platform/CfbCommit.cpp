// The two-step commit: new tables to fresh sectors, one flush, then the header.
#include "platform/CfbBytes.h"
#include "platform/CfbFile.h"

#include <QByteArray>
#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace v7::cfb::detail
{

#include <sys/stat.h>

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

Status File::insertIntoTree(std::uint32_t storage, std::uint32_t id)
{
    const KeyLess less;
    const Key key = sortKey(m_entries[id].name);
    std::vector<std::uint32_t> path; // from the top down to the new node
    for (std::uint32_t n = m_entries[storage].child; n != NoStream;) {
        path.push_back(n);
        const Entry &e = m_entries[n];
        n = less(key, sortKey(e.name)) ? e.left : e.right;
    }
    Entry &x = m_entries[id];
    x.left = x.right = NoStream;
    x.color = Red;
    if (path.empty()) {
        m_entries[storage].child = id;
    } else {
        Entry &up = m_entries[path.back()];
        (less(key, sortKey(up.name)) ? up.left : up.right) = id;
    }
    path.push_back(id);
    // The link that points at path[k]: its parent's, or the storage's own.
    auto linkTo = [&](std::size_t k) -> std::uint32_t & {
        if (k == 0)
            return m_entries[storage].child;
        Entry &up = m_entries[path[k - 1]];
        return up.left == path[k] ? up.left : up.right;
    };
    auto red = [&](std::uint32_t n) { return n != NoStream && m_entries[n].color == Red; };
    for (std::size_t i = path.size() - 1; i >= 2 && red(path[i - 1]);) {
        const std::uint32_t pid = path[i - 1], gid = path[i - 2];
        Entry &g = m_entries[gid];
        const bool onLeft = g.left == pid;
        const std::uint32_t uncle = onLeft ? g.right : g.left;
        // Off the search path: a tree not loaded whole has not decoded it yet.
        if (uncle != NoStream)
            if (Status s = parseEntry(uncle); s != Status::Ok)
                return s;
        if (red(uncle)) { // recolour and go on two levels up
            m_entries[pid].color = Black;
            m_entries[uncle].color = Black;
            g.color = Red;
            i -= 2;
            continue;
        }
        std::uint32_t top = pid; // what takes the grandparent's place
        if ((onLeft ? m_entries[pid].right : m_entries[pid].left) == path[i]) {
            // The inner case: the new node first turns about its parent.
            Entry &p = m_entries[pid];
            Entry &z = m_entries[path[i]];
            if (onLeft) {
                p.right = z.left;
                z.left = pid;
                g.left = path[i];
            } else {
                p.left = z.right;
                z.right = pid;
                g.right = path[i];
            }
            top = path[i];
        }
        std::uint32_t &link = linkTo(i - 2);
        Entry &t = m_entries[top];
        if (onLeft) {
            g.left = t.right;
            t.right = gid;
        } else {
            g.right = t.left;
            t.left = gid;
        }
        link = top;
        t.color = Black;
        g.color = Red;
        break;
    }
    m_entries[m_entries[storage].child].color = Black;
    return Status::Ok;
}

void File::serializeEntry(std::uint32_t i, const Entry &e, char *p) const
{
    std::memset(p, 0, EntrySize);
    if (e.type == TypeFree) {
        put32(p + 68, NoStream);
        put32(p + 72, NoStream);
        put32(p + 76, NoStream);
        return;
    }
    for (std::size_t c = 0; c < e.name.size(); ++c)
        put16(p + 2 * c, e.name[c]);
    put16(p + 64, std::uint16_t((e.name.size() + 1) * 2));
    p[66] = char(e.type);
    p[67] = char(i == 0 ? std::uint8_t(Black) : e.color);
    const bool root = e.type == TypeRoot;
    put32(p + 68, root ? NoStream : e.left);
    put32(p + 72, root ? NoStream : e.right);
    put32(p + 76, e.type == TypeStream ? NoStream : e.child);
    std::memcpy(p + 80, e.clsid.data(), 16);
    put32(p + 96, e.state);
    if (e.type == TypeStorage) { // the root and streams keep zero times
        put64(p + 100, e.ctime);
        put64(p + 108, e.mtime);
    }
    if (root) {
        put32(p + 116, m_miniChain.empty() ? EndOfChain : m_miniChain[0]);
        put64(p + 120, std::uint64_t(m_miniCount) * MiniSize);
    } else if (e.type == TypeStream) {
        // A chain never walked is where the directory said it was.
        put32(p + 116, !e.chainLoaded ? e.start : e.chain.empty() ? EndOfChain : e.chain[0]);
        put64(p + 120, e.size);
    }
}

QByteArray File::serializeDirectory()
{
    const std::size_t perSector = m_ssz / EntrySize;
    std::size_t count = m_entries.size();
    while (count > 1 && m_entries[count - 1].type == TypeFree && count > std::size_t(m_diskDir.size()) / EntrySize)
        --count;
    count = ceilDiv(count, perSector) * perSector;
    QByteArray out(qsizetype(count * EntrySize), 0);
    static const Entry none;
    for (std::size_t i = 0; i < count; ++i)
        serializeEntry(std::uint32_t(i), i < m_entries.size() ? m_entries[i] : none, out.data() + i * EntrySize);
    return out;
}

Status File::writeTable(QByteArray &bytes,
    const QByteArray &onDisk,
    const std::vector<std::uint32_t> &diskLocs,
    std::vector<std::uint32_t> *locs,
    int kind)
{
    const std::size_t n = std::size_t(bytes.size()) / m_ssz;
    while (locs->size() > n) {
        freeSector(locs->back());
        locs->pop_back();
    }
    for (std::size_t i = 0; i < n; ++i) {
        const char *slice = bytes.constData() + i * m_ssz;
        const bool same = i < locs->size() && i < diskLocs.size() && (*locs)[i] == diskLocs[i]
            && sameAsCommitted(kind, i, bytes, onDisk);
        // Tables move down when they can, so the end of the file can be given back.
        const bool lower = i < locs->size() && moveDown(same, (*locs)[i]);
        if (same && !lower)
            continue;
        if (Status st = readBeforeMove(kind, i); st != Status::Ok)
            return st;
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

QByteArray File::buildHeader() const
{
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
    return hdr;
}

Status File::commit()
{
    if (!m_writable)
        return Status::AccessDenied;
    if (m_damaged)
        return Status::Corrupt;
    // Stopped, or broken: a header that may or may not have reached the disk, or
    // a revert that could not read the file again, leaves no state to build on.
    if (m_stopped || m_broken)
        return Status::IoError;
    if (!m_dirty)
        return Status::Ok;
    for (std::uint32_t i : m_entries.loadedIds())
        if (m_entries[i].treeDirty)
            rebuildTree(i);
    // The tables being built live only as long as this call.
    struct BuildsEnd {
        File *f;
        ~BuildsEnd() { f->m_fatBuild = f->m_miniFatBuild = nullptr; }
    } buildsEnd { this };

    // Free mini sectors at the end of the mini stream go back to the FAT.
    while (m_miniCount > 0 && !miniUsed(m_miniCount - 1)) {
        --m_miniCount;
        m_miniUsed.pop_back();
    }
    m_miniHint = std::min(m_miniHint, m_miniCount);
    while (m_miniChain.size() > ceilDiv(std::uint64_t(m_miniCount) * MiniSize, m_ssz)) {
        // The entries given up, and the new last one, whose link changes.
        if (Status s = needRecs(MapMini, m_miniChain.size() > 1 ? m_miniChain.size() - 2 : 0, m_miniChain.size() - 1);
            s != Status::Ok)
            return s;
        freeSector(m_miniChain.back());
        m_miniChain.pop_back();
    }

    QByteArray dir;
    std::map<std::uint32_t, QByteArray> dirSectors; // a lazy writer's changed ones
    if (m_lazyWriter) {
        if (Status s = writeDirectoryLazy(&dirSectors); s != Status::Ok)
            return s;
    } else {
        dir = serializeDirectory();
        if (m_sumInClsid) {
            // Marked before the sectors are written: the first directory sector then
            // differs from the committed one (its transaction number does), so it goes
            // to a fresh sector even when nothing else in it changed, and the checksum
            // can be patched in below without touching a committed sector.
            std::memcpy(dir.data() + kClsidAt, kMapMagic, 4);
            put32(dir.data() + kClsidAt + 4, m_txSig + 1);
        }
        if (Status s = writeTable(dir, m_diskDir, m_diskDirChain, &m_dirChain); s != Status::Ok)
            return s;
        if (m_sumInClsid)
            tableRecords(MapDir, dir, m_diskDir, m_diskDirChain, m_dirChain);
    }

    QByteArray miniFat;
    if (m_lazyWriter) {
        if (Status s = buildLazyTable(true, ceilDiv(std::uint64_t(m_miniCount) * 4, m_ssz) * m_ssz, {}, &miniFat);
            s != Status::Ok)
            return s;
    } else {
        miniFat = QByteArray(qsizetype(ceilDiv(std::uint64_t(m_miniCount) * 4, m_ssz) * m_ssz), char(0xFF));
        for (const Entry &e : m_entries) {
            if (!e.inMini() || e.chain.empty())
                continue;
            for (std::size_t i = 0; i < e.chain.size(); ++i)
                put32(
                    miniFat.data() + 4 * std::size_t(e.chain[i]), i + 1 < e.chain.size() ? e.chain[i + 1] : EndOfChain);
        }
    }
    if (Status s = writeTable(miniFat, m_diskMiniFat, m_diskMiniFatChain, &m_miniFatChain, MapMiniFat); s != Status::Ok)
        return s;
    if (m_sumInClsid)
        tableRecords(MapMiniFat, miniFat, m_diskMiniFat, m_diskMiniFatChain, m_miniFatChain);

    // The FAT and DIFAT describe themselves, so moving one of their sectors
    // changes them again: repeat until nothing moves. Every move takes a sector
    // out of the protected set, so this ends.
    QByteArray fat, difat, hdr;
    std::map<std::uint32_t, QByteArray> map;
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
        if (m_sumInClsid) {
            bool changed = false;
            if (Status st = shapeMap(&changed); st != Status::Ok)
                return st;
            if (changed)
                continue;
        }
        // The slots to set, in order (a later one wins): a lazy writer starts
        // from the committed FAT and sets only the slots that differ from it.
        std::vector<std::pair<std::uint32_t, std::uint32_t>> puts;
        auto link = [&puts](const std::vector<std::uint32_t> &c) {
            for (std::size_t i = 0; i < c.size(); ++i)
                puts.emplace_back(c[i], i + 1 < c.size() ? c[i + 1] : EndOfChain);
        };
        if (!m_lazyWriter)
            for (const Entry &e : m_entries)
                if (e.type == TypeStream && !e.inMini())
                    link(e.chain);
        // kind: the map's kind whose records give the chain, whose leaves not
        // read stand as committed (their neighbours' pages are read where the
        // chain changed, see needRecs).
        auto relink = [&](const std::vector<std::uint32_t> &c, const std::vector<std::uint32_t> &was, int kind) {
            if (!m_lazyWriter)
                return link(c);
            auto next = [](const std::vector<std::uint32_t> &v, std::size_t i) {
                return i + 1 < v.size() ? v[i + 1] : EndOfChain;
            };
            auto fix = [&](std::size_t i) {
                if (i >= was.size() || c[i] != was[i] || next(c, i) != next(was, i))
                    puts.emplace_back(c[i], next(c, i));
            };
            // A long chain changes at a few places (the directory's first sector
            // moves at every commit): a link differs only where an element does,
            // or before one, so blocks equal in both are passed over.
            const std::size_t n = std::min(c.size(), was.size());
            const std::size_t block = kind >= 0 ? recsPerPage() : 256;
            for (std::size_t b = 0; b < n; b += block) {
                const std::size_t e = std::min(n, b + block);
                if ((kind >= 0 && !recPageIn(kind, b / block))
                    || std::memcmp(c.data() + b, was.data() + b, (e - b) * sizeof(std::uint32_t)) == 0)
                    continue;
                for (std::size_t i = b; i < e; ++i)
                    if (c[i] != was[i]) {
                        if (i > 0)
                            fix(i - 1);
                        fix(i);
                    }
            }
            if (n > 0)
                fix(n - 1);
            for (std::size_t i = n; i < c.size(); ++i)
                fix(i);
        };
        // Sectors marked as one thing, where they differ from where they were.
        auto mark =
            [&](const std::vector<std::uint32_t> &locs, const std::vector<std::uint32_t> &was, std::uint32_t v) {
                for (std::size_t i = 0; i < locs.size(); ++i)
                    if (!m_lazyWriter || i >= was.size() || locs[i] != was[i])
                        puts.emplace_back(locs[i], v);
            };
        relink(m_miniChain, m_diskMiniChain, m_lazyWriter ? MapMini : -1);
        if (m_lazyWriter) {
            for (const auto &kv : m_mapWas) // the others are marked so in the committed FAT
                if (const auto it = m_mapLocs.find(kv.first); it != m_mapLocs.end())
                    puts.emplace_back(it->second, EndOfChain);
        } else {
            for (const auto &kv : m_mapLocs)
                puts.emplace_back(kv.second, EndOfChain);
        }
        relink(m_dirChain, m_diskDirChain, m_lazyWriter ? MapDir : -1);
        relink(m_miniFatChain, m_diskMiniFatChain, -1);
        mark(m_fatLocs, m_diskFatLocs, FatSect);
        mark(m_difatLocs, m_diskDifatLocs, DifSect);
        if (m_lazyWriter) {
            if (Status st = buildLazyTable(false, needFat * m_ssz, puts, &fat); st != Status::Ok)
                return st;
        } else {
            fat = QByteArray(qsizetype(needFat) * m_ssz, char(0xFF));
            for (const auto &p : puts)
                put32(fat.data() + 4 * std::size_t(p.first), p.second);
        }
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
                            std::vector<std::uint32_t> &locs,
                            int kind) -> Status {
            for (std::size_t i = 0; i < locs.size(); ++i) {
                const bool same =
                    i < diskLocs.size() && locs[i] == diskLocs[i] && sameAsCommitted(kind, i, bytes, onDisk);
                if (same ? !moveDown(true, locs[i]) : !isProtected(locs[i]) && firstFree() >= locs[i])
                    continue;
                if (Status st = readBeforeMove(kind, i); st != Status::Ok)
                    return st;
                std::uint32_t s;
                if (Status st = allocSector(&s); st != Status::Ok)
                    return st;
                freeSector(locs[i]);
                locs[i] = s;
                moved = true;
            }
            return Status::Ok;
        };
        if (Status st = relocate(fat, m_diskFat, m_diskFatLocs, m_fatLocs, MapFat); st != Status::Ok)
            return st;
        if (Status st = relocate(difat, m_diskDifat, m_diskDifatLocs, m_difatLocs, -1); st != Status::Ok)
            return st;
        if (moved)
            continue;
        hdr = buildHeader();
        if (m_sumInClsid)
            if (Status st = buildMap(hdr, fat, difat, &map, &moved); st != Status::Ok)
                return st;
        if (!moved)
            break;
    }
    if (Status s = writeTable(fat, m_diskFat, m_diskFatLocs, &m_fatLocs, MapFat); s != Status::Ok)
        return s;
    if (Status s = writeTable(difat, m_diskDifat, m_diskDifatLocs, &m_difatLocs); s != Status::Ok)
        return s;
    for (const auto &kv : map) {
        const std::uint32_t loc = m_mapLocs.at(kv.first);
        if (isProtected(loc) || !pwriteAll(kv.second.constData(), m_ssz, sectorOffset(loc)))
            return Status::IoError;
        m_fileSectors = std::max<std::uint64_t>(m_fileSectors, loc + 1ULL);
    }

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

    // The map's top goes into the root entry, whose sector this commit wrote afresh
    // (its transaction number changed), so patching it touches no committed sector.
    QByteArray dirOut = dir;
    if (m_sumInClsid) {
        char *clsid = (m_lazyWriter ? dirSectors.at(0).data() : dirOut.data()) + kClsidAt;
        put32(clsid + 8, m_mapLocs.at(MapTopKey));
        put32(clsid + 12, crcOf(map.at(MapTopKey).constData(), m_ssz));
        if (isProtected(m_dirChain[0]) || !pwriteAll(clsid, 16, sectorOffset(m_dirChain[0]) + kClsidAt))
            return Status::IoError;
    }
    // A table sector read on the way may have been damaged, or unreadable.
    if (m_damaged)
        return Status::Corrupt;
    if (m_stopped)
        return Status::IoError;
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
    m_fatBuild = m_miniFatBuild = nullptr; // built and committed: sectors read from now on are the next commit's

    m_diskFat = fat;
    m_diskDifat = difat;
    // What this commit built is all known: the sectors it added, and those it read.
    m_fatIn.resize(std::size_t(fat.size()) / m_ssz, 1);
    m_miniFatIn.resize(std::size_t(miniFat.size()) / m_ssz, 1);
    if (m_lazyWriter) {
        for (auto &kv : dirSectors)
            m_sectorCache[std::uint64_t(MapDir) << 32 | kv.first] = std::move(kv.second);
        m_diskEntries = std::uint32_t(m_dirChain.size() * (m_ssz / EntrySize));
        m_freedSectors.clear();
        m_freedMinis.clear();
        m_diskMiniChain = m_miniChain;
    } else {
        m_diskDir = dirOut;
    }
    m_diskMiniFat = miniFat;
    m_diskFatLocs = m_fatLocs;
    m_diskDifatLocs = m_difatLocs;
    m_diskDirChain = m_dirChain;
    m_diskMiniFatChain = m_miniFatChain;
    if (m_sumInClsid) {
        // Sectors this commit did not rebuild stay as they were.
        for (const auto &kv : m_pendMapCrc)
            m_diskMapCrc[kv.first] = kv.second;
        for (const auto &kv : m_mapWas)
            if (!m_mapLocs.count(kv.first))
                m_diskMapCrc.erase(kv.first);
        m_mapWas.clear();
        m_recs.swap(m_pendRecs); // every commit builds all of them afresh, where they were read
        m_recsKnown = true;
        // Leaves this commit added hold only records it made.
        for (int k = 0; k < MapKinds; ++k)
            m_recIn[std::size_t(k)].resize(ceilDiv(m_recs[std::size_t(k)].size(), recsPerPage()), 1);
    }
    protectCommitted(readersPresent());
    resetBudgets();
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
    m_holdAll = false;
    m_allocHint = 0; // sectors of the old state are free to take now
    // A lazy writer reads the FAT sectors over a free tail: what it reads is
    // what it gives back.
    std::size_t last = m_used.size();
    while (last > 0 && !(m_lazyWriter ? sectorUsed(std::uint32_t(last - 1)) : m_used[last - 1] != 0))
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
    if (m_mapped) {
        // A reader that read only what it reached knows no totals: they come
        // from a full reading of the same file.
        std::shared_ptr<File> full;
        if (open(m_path, mode::Read | mode::Transacted | mode::NoSnapshot, &full, true) == Status::Ok) {
            full->stats(out);
            return;
        }
    }
    // Free sectors are known once every tree and chain has been walked.
    for (std::uint32_t i = 0; m_lazy && i < m_entries.size(); ++i) {
        if (m_entries[i].type == TypeStream && m_entries[i].seen)
            loadChain(i);
        else if ((m_entries[i].type == TypeStorage && m_entries[i].seen) || i == 0)
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

} // namespace v7::cfb::detail
