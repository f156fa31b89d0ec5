// A writer that reaches a file through its sector map. The FAT, DIFAT and
// MiniFAT are small beside the directory of a large cache (a few bytes per
// sector against 128 bytes per element), so the writer reads them whole, each
// sector checked against its record; the directory it reads only where it
// goes. Which sectors are in use comes from the FAT itself: every commit writes
// a FAT that marks exactly the sectors of the state it commits. A commit then
// starts from the committed FAT and MiniFAT, clears what this writer freed,
// links the chains it holds, and writes only the directory sectors whose bytes
// changed, each to a fresh sector while the committed state still holds the
// old one. The header still goes last, after a flush, so a crash leaves the
// last commit whole, as before.
#include "platform/CfbBytes.h"
#include "platform/CfbFile.h"

#include <QByteArray>
#include <algorithm>
#include <cstring>

namespace v7::cfb::detail
{

Status File::readCheckedTable(int kind, const std::vector<std::uint32_t> &locs, QByteArray *out)
{
    const std::vector<MapRec> &recs = m_recs[std::size_t(kind)];
    if (recs.size() != locs.size())
        return Status::Corrupt;
    for (std::uint32_t s : locs)
        if (s >= m_fileSectors)
            return Status::Corrupt;
    out->resize(qsizetype(locs.size()) * m_ssz);
    if (!readSectors(locs, out->data()))
        return Status::IoError;
    for (std::size_t i = 0; i < locs.size(); ++i)
        if (sectorCrc(kind, std::uint32_t(i), out->constData() + i * m_ssz) != recs[i].crc)
            return Status::Corrupt;
    return Status::Ok;
}

Status File::loadMappedWriter(const QByteArray &hdr, const char *rootEntry)
{
    if (Status s = loadMapped(hdr, rootEntry); s != Status::Ok)
        return s;
    m_used.assign(m_fileSectors, 0);
    if (Status s = readMapTree(hdr, rootEntry); s != Status::Ok)
        return s;
    auto locsOf = [this](int kind) {
        std::vector<std::uint32_t> locs;
        locs.reserve(m_recs[std::size_t(kind)].size());
        for (const MapRec &r : m_recs[std::size_t(kind)])
            locs.push_back(r.loc);
        return locs;
    };
    m_fatLocs = locsOf(MapFat);
    m_difatLocs = locsOf(MapDifat);
    m_dirChain = locsOf(MapDir);
    m_miniFatChain = locsOf(MapMiniFat);
    m_miniChain = locsOf(MapMini);

    // The header (its CRC is in the map's top) must name the tables the map does.
    const char *h = hdr.constData();
    for (std::uint32_t i = 0; i < std::min<std::size_t>(m_fatLocs.size(), HeaderDifat); ++i)
        if (le32(h + 0x4C + 4 * i) != m_fatLocs[i])
            return Status::Corrupt;
    auto firstOf = [](const std::vector<std::uint32_t> &c) { return c.empty() ? EndOfChain : c[0]; };
    if (le32(h + 0x44) != firstOf(m_difatLocs) || le32(h + 0x48) != m_difatLocs.size()
        || le32(h + 0x3C) != firstOf(m_miniFatChain) || le32(h + 0x40) != m_miniFatChain.size())
        return Status::Corrupt;
    if (Status s = readCheckedTable(MapFat, m_fatLocs, &m_diskFat); s != Status::Ok)
        return s;
    if (Status s = readCheckedTable(MapDifat, m_difatLocs, &m_diskDifat); s != Status::Ok)
        return s;
    if (Status s = readCheckedTable(MapMiniFat, m_miniFatChain, &m_diskMiniFat); s != Status::Ok)
        return s;
    for (std::size_t i = HeaderDifat; i < m_fatLocs.size(); ++i) {
        const std::size_t k = i - HeaderDifat;
        const std::size_t at = (k / (m_eps - 1)) * m_ssz + 4 * (k % (m_eps - 1));
        if (at + 4 > std::size_t(m_diskDifat.size()) || le32(m_diskDifat.constData() + at) != m_fatLocs[i])
            return Status::Corrupt;
    }
    if (m_miniChain.size() < ceilDiv(std::uint64_t(m_miniCount) * MiniSize, m_ssz)
        || (!m_miniChain.empty() && m_entries[0].start != m_miniChain[0]))
        return Status::Corrupt;

    // In use: what the FAT says. The tables' own chains must agree with it, or
    // the FAT is not the one this map was written with.
    const std::uint64_t slotCount = std::uint64_t(m_diskFat.size()) / 4;
    auto slot = [this, slotCount](std::uint32_t s) {
        return s < slotCount ? le32(m_diskFat.constData() + 4 * std::size_t(s)) : FreeSect;
    };
    for (std::uint32_t s = 0; s < m_fileSectors; ++s)
        if (slot(s) != FreeSect)
            m_used[s] = 1;
    // Every commit makes the file cover the sectors it uses: one in use past the
    // end means the file was cut short, and handing the slot out again would
    // join a lost stream's chain to a new one.
    for (std::uint64_t s = m_fileSectors; s < slotCount; ++s)
        if (slot(std::uint32_t(s)) != FreeSect)
            return Status::Corrupt;
    auto chained = [&](const std::vector<std::uint32_t> &c) {
        for (std::size_t i = 0; i < c.size(); ++i)
            if (slot(c[i]) != (i + 1 < c.size() ? c[i + 1] : EndOfChain))
                return false;
        return true;
    };
    if (!chained(m_dirChain) || !chained(m_miniFatChain) || !chained(m_miniChain))
        return Status::Corrupt;
    for (std::uint32_t s : m_fatLocs)
        if (slot(s) != FatSect)
            return Status::Corrupt;
    for (std::uint32_t s : m_difatLocs)
        if (slot(s) != DifSect)
            return Status::Corrupt;
    for (const auto &kv : m_mapLocs)
        if (slot(kv.second) != EndOfChain)
            return Status::Corrupt;
    m_miniUsed.assign(m_miniCount, 0);
    const std::uint64_t miniSlots = std::uint64_t(m_diskMiniFat.size()) / 4;
    for (std::uint32_t m = 0; m < m_miniCount && m < miniSlots; ++m)
        m_miniUsed[m] = le32(m_diskMiniFat.constData() + 4 * std::size_t(m)) != FreeSect;

    m_diskFatLocs = m_fatLocs;
    m_diskDifatLocs = m_difatLocs;
    m_diskDirChain = m_dirChain;
    m_diskMiniFatChain = m_miniFatChain;
    m_diskMiniChain = m_miniChain;
    m_diskDir.clear();
    // The free slots the last commit left, as a hint: each is checked when taken.
    const QByteArray &top = m_diskTop;
    const std::uint32_t runs = le32(top.constData() + kFreeRunsAt);
    for (std::uint32_t i = 0; runs <= kMaxFreeRanges && i < runs; ++i) {
        const std::uint32_t first = le32(top.constData() + kFreeRunsAt + 4 + 8 * i);
        const std::uint32_t count = le32(top.constData() + kFreeRunsAt + 8 + 8 * i);
        if (first > 0 && count > 0 && first < m_diskEntries && count <= m_diskEntries - first)
            m_freeRanges.emplace_back(first, count);
    }
    m_lazyWriter = true;
    noteDirSector(0, rootEntry);
    // With a reader about, it may still read an older state in any sector of
    // the file: touch none of them until the readers are gone.
    if (readersPresent())
        m_protected.assign(m_fileSectors, 1);
    else
        m_protected = m_used;
    m_dirty = false;
    return Status::Ok;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> File::freeSlotRuns()
{
    const auto end = std::uint32_t(m_dirChain.size() * (m_ssz / EntrySize));
    std::vector<std::uint32_t> free;
    auto isFree = [this](std::uint32_t i) {
        const Entry *e = m_entries.loaded(i);
        return e ? (!e->parsed || e->type == TypeFree) : m_lazyWriter; // unknown to a lazy writer: a hint
    };
    if (m_lazyWriter) {
        free.assign(m_freeSlots.begin(), m_freeSlots.end());
        for (const auto &run : m_freeRanges)
            for (std::uint32_t k = 0; k < run.second && free.size() < 65536; ++k)
                free.push_back(run.first + k);
    } else {
        for (std::uint32_t i = 1; i < std::min<std::size_t>(end, m_entries.size()); ++i)
            if (m_entries[i].type == TypeFree)
                free.push_back(i);
    }
    std::sort(free.begin(), free.end());
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
    for (std::uint32_t i : free) {
        if (i == 0 || i >= end || !isFree(i))
            continue;
        if (!runs.empty() && runs.back().first + runs.back().second == i)
            ++runs.back().second;
        else if (!runs.empty() && runs.back().first + runs.back().second > i)
            continue; // a duplicate
        else if (runs.size() < kMaxFreeRanges)
            runs.emplace_back(i, 1);
        else
            break;
    }
    return runs;
}

void File::noteDirSector(std::uint32_t k, const char *bytes)
{
    // Free slots in sectors the writer reads anyway: new elements then land
    // beside the ones it changes, and the directory does not grow.
    const std::uint32_t per = m_ssz / EntrySize;
    for (std::uint32_t j = 0; j < per; ++j) {
        const std::uint32_t i = k * per + j;
        if (i == 0 || std::uint8_t(bytes[j * EntrySize + 66]) != TypeFree)
            continue;
        const Entry *e = m_entries.loaded(i);
        if (!e || !e->parsed)
            m_freeSlots.insert(i);
    }
}

Status File::writeDirectoryLazy(std::map<std::uint32_t, QByteArray> *sectors)
{
    const std::uint32_t per = m_ssz / EntrySize;
    const std::size_t oldSectors = m_diskDirChain.size();
    std::size_t count = m_diskEntries;
    std::set<std::uint32_t> dirty { 0 };
    char buf[EntrySize];
    const std::vector<std::uint32_t> ids = m_entries.loadedIds();
    for (std::uint32_t id : ids) {
        const Entry &e = *m_entries.loaded(id);
        if (!e.parsed)
            continue; // never decoded: the directory's bytes stand
        if (id >= m_diskEntries) {
            if (e.type != TypeFree)
                count = std::max<std::size_t>(count, std::size_t(id) + 1);
            continue;
        }
        const char *disk = nullptr;
        if (Status s = dirEntry(id, &disk); s != Status::Ok)
            return s;
        serializeEntry(id, e, buf);
        if (std::memcmp(buf, disk, EntrySize) != 0)
            dirty.insert(id / per);
    }
    const std::size_t need = ceilDiv(count, per);
    for (std::size_t k = oldSectors; k < need; ++k)
        dirty.insert(std::uint32_t(k));
    // A sector an earlier, failed commit moved is written again where it now is.
    for (std::size_t k = 0; k < std::min(m_dirChain.size(), oldSectors); ++k)
        if (m_dirChain[k] != m_diskDirChain[k])
            dirty.insert(std::uint32_t(k));
    while (m_dirChain.size() > std::max(need, oldSectors)) {
        freeSector(m_dirChain.back());
        m_dirChain.pop_back();
    }

    std::vector<MapRec> &recs = m_pendRecs[MapDir];
    recs = m_recs[MapDir];
    recs.resize(need);
    for (std::uint32_t k : dirty) {
        QByteArray b(int(m_ssz), 0);
        if (k < oldSectors) {
            const char *d = nullptr;
            if (Status s = tableSector(MapDir, k, &d); s != Status::Ok)
                return s;
            std::memcpy(b.data(), d, m_ssz);
        }
        static const Entry none;
        for (std::uint32_t j = 0; j < per; ++j) {
            const std::uint32_t i = k * per + j;
            const Entry *e = m_entries.loaded(i);
            if (e && e->parsed)
                serializeEntry(i, *e, b.data() + j * EntrySize);
            else if (k >= oldSectors)
                serializeEntry(i, none, b.data() + j * EntrySize);
        }
        if (k == 0) {
            // See commit(): the transaction number makes the root's sector new.
            std::memcpy(b.data() + kClsidAt, kMapMagic, 4);
            put32(b.data() + kClsidAt + 4, m_txSig + 1);
            std::memset(b.data() + kClsidAt + 8, 0, 8);
        }
        if (k >= m_dirChain.size() || isProtected(m_dirChain[k])) {
            std::uint32_t s;
            if (Status st = allocSector(&s); st != Status::Ok)
                return st;
            if (k < m_dirChain.size()) {
                freeSector(m_dirChain[k]);
                m_dirChain[k] = s;
            } else {
                m_dirChain.push_back(s);
            }
        }
        if (!pwriteAll(b.constData(), m_ssz, sectorOffset(m_dirChain[k])))
            return Status::IoError;
        m_fileSectors = std::max<std::uint64_t>(m_fileSectors, m_dirChain[k] + 1ULL);
        recs[k] = { m_dirChain[k], sectorCrc(MapDir, k, b.constData()) };
        (*sectors)[k] = std::move(b);
    }
    return Status::Ok;
}

namespace
{

    // The committed table grown or cut to n bytes (new room free, all ones),
    // with the units in freed marked free again.
    QByteArray fitTable(const QByteArray &committed, std::size_t n, const std::vector<std::uint32_t> &freed)
    {
        QByteArray bytes = committed;
        const auto old = std::size_t(bytes.size());
        bytes.resize(qsizetype(n));
        if (n > old)
            std::memset(bytes.data() + old, 0xFF, n - old);
        for (std::uint32_t u : freed)
            if (u < n / 4)
                put32(bytes.data() + 4 * std::size_t(u), FreeSect);
        return bytes;
    }

} // namespace

QByteArray File::lazyTable(bool mini, std::size_t bytes)
{
    QByteArray t = fitTable(mini ? m_diskMiniFat : m_diskFat, bytes, mini ? m_freedMinis : m_freedSectors);
    // Then the chains this writer holds: of mini streams for the MiniFAT, of the rest for the FAT.
    for (std::uint32_t id : m_entries.loadedIds()) {
        const Entry &e = *m_entries.loaded(id);
        if (!e.parsed || !e.chainLoaded || e.type != TypeStream || e.inMini() != mini)
            continue;
        for (std::size_t i = 0; i < e.chain.size(); ++i)
            put32(t.data() + 4 * std::size_t(e.chain[i]), i + 1 < e.chain.size() ? e.chain[i + 1] : EndOfChain);
    }
    return t;
}

} // namespace v7::cfb::detail
