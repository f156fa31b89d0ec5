// A writer that reaches a file through its sector map. It reads the DIFAT and
// the map whole, but for the leaves that locate the directory's and the mini
// stream's sectors; those, and the directory, FAT and MiniFAT, it reads only
// where it goes, each sector checked against its record when first read.
// Which sectors are in use comes from the FAT itself (every commit writes a FAT
// that marks exactly the sectors of the state it commits), learnt a FAT sector
// at a time; free space comes from the runs the last commit named in the map's
// top sector and from the FAT sectors read. A commit then starts from the
// committed FAT and MiniFAT, clears what this writer freed, links the chains it
// holds, and writes only the sectors whose bytes changed, each to a fresh
// sector while the committed state still holds the old one. The header still
// goes last, after a flush, so a crash leaves the last commit whole.
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
    m_used.assign(m_fileSectors, Unknown);
    m_protected.clear();
    if (Status s = readMapTree(hdr, rootEntry, true); s != Status::Ok)
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
    // The ends of the directory and of the mini stream are always known: the
    // root's sector and the mini stream's start, and the last entries, after
    // which they grow.
    for (int kind : { MapDir, MapMini }) {
        const std::uint64_t n = m_recs[std::size_t(kind)].size();
        if (n > 0)
            if (Status s = needRecs(kind, 0, 0); s != Status::Ok || (s = needRecs(kind, n - 1, n - 1)) != Status::Ok)
                return s;
    }

    // The header (its CRC is in the map's top) must name the tables the map does.
    const char *h = hdr.constData();
    for (std::uint32_t i = 0; i < std::min<std::size_t>(m_fatLocs.size(), HeaderDifat); ++i)
        if (le32(h + 0x4C + 4 * i) != m_fatLocs[i])
            return Status::Corrupt;
    auto firstOf = [](const std::vector<std::uint32_t> &c) { return c.empty() ? EndOfChain : c[0]; };
    if (le32(h + 0x44) != firstOf(m_difatLocs) || le32(h + 0x48) != m_difatLocs.size()
        || le32(h + 0x3C) != firstOf(m_miniFatChain) || le32(h + 0x40) != m_miniFatChain.size())
        return Status::Corrupt;
    if (Status s = readCheckedTable(MapDifat, m_difatLocs, &m_diskDifat); s != Status::Ok)
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

    // The FAT and MiniFAT are read a sector at a time, where the writer needs
    // them: at a million thumbnails they are megabytes, of which a commit
    // changes a few sectors. Each sector is checked against its record when read.
    // Unread sectors of these hold nothing: nothing looks at them before the
    // sector is read (m_fatIn, m_miniFatIn), so they are not even filled.
    m_diskFat = QByteArray(qsizetype(m_fatLocs.size()) * m_ssz, Qt::Uninitialized);
    m_diskMiniFat = QByteArray(qsizetype(m_miniFatChain.size()) * m_ssz, Qt::Uninitialized);
    m_fatIn.assign(m_fatLocs.size(), 0);
    m_miniFatIn.assign(m_miniFatChain.size(), 0);
    m_miniUsed.assign(m_miniCount, Unknown);
    // Free space the last writer knew of, as hints: each is checked when taken.
    const char *top = m_diskTop.constData();
    m_freeKnown.clear();
    m_miniFreeKnown.clear();
    m_rest = { 0, 0 };
    if (std::memcmp(top + kHintsAt, kHintsMagic, 4) == 0) {
        m_rest = { le32(top + kRestAt), le32(top + kRestAt + 4) };
        const std::uint32_t sectorRuns = le16(top + kHintsAt + 4), miniRuns = le16(top + kHintsAt + 6);
        constexpr std::uint32_t kMaxHinted = 65536; // units; more than a commit can use
        for (std::uint32_t i = 0; sectorRuns <= kMaxSectorRuns && miniRuns <= kMaxMiniRuns && i < sectorRuns + miniRuns;
             ++i) {
            const bool mini = i >= sectorRuns;
            std::set<std::uint32_t> &known = mini ? m_miniFreeKnown : m_freeKnown;
            const std::uint64_t end = mini ? m_miniCount : m_fileSectors;
            const std::uint64_t first = le32(top + kHintsAt + 8 + 8 * i), count = le32(top + kHintsAt + 12 + 8 * i);
            for (std::uint64_t u = first; u < std::min(end, first + count); ++u) {
                if (known.size() >= kMaxHinted) { // the rest of the run is read for again
                    m_rest[mini] = std::min(m_rest[mini], std::uint32_t(u));
                    break;
                }
                known.insert(known.end(), std::uint32_t(u));
            }
        }
    }
    // Every commit makes the file cover the sectors it uses: one in use past the
    // end means the file was cut short, and handing the slot out again would
    // join a lost stream's chain to a new one. The FAT sectors over the end say.
    for (std::uint64_t k = m_fileSectors / m_eps; k < m_fatLocs.size(); ++k)
        if (Status s = loadTablePage(false, std::uint32_t(k)); s != Status::Ok)
            return s;

    m_diskFatLocs = m_fatLocs;
    m_diskDifatLocs = m_difatLocs;
    m_diskDirChain = m_dirChain;
    m_diskMiniFatChain = m_miniFatChain;
    m_diskMiniChain = m_miniChain;
    m_diskDir.clear();
    // The free slots the last commit left, as a hint: each is checked when taken.
    const std::uint32_t runs = le32(top + kFreeRunsAt);
    // Files written before the free-space hints list up to twice as many runs:
    // the first ones are kept.
    for (std::uint32_t i = 0; runs <= 2 * kMaxFreeRanges && i < std::min(runs, kMaxFreeRanges); ++i) {
        const std::uint32_t first = le32(top + kFreeRunsAt + 4 + 8 * i);
        const std::uint32_t count = le32(top + kFreeRunsAt + 8 + 8 * i);
        if (first > 0 && count > 0 && first < m_diskEntries && count <= m_diskEntries - first)
            m_freeRanges.emplace_back(first, count);
    }
    m_lazyWriter = true;
    noteDirSector(0, rootEntry);
    // With a reader about, it may still read an older state in any sector of
    // the file: touch none of them until the readers are gone. Otherwise what
    // the committed state uses, known as its FAT sectors are read.
    m_holdAll = readersPresent();
    resetBudgets();
    if (m_holdAll)
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
    // A sector an earlier, failed commit moved is written again where it now is
    // (only a sector whose records were read can have moved).
    for (std::size_t k = nextKnown(MapDir, 0); k < std::min(m_dirChain.size(), oldSectors);
         k = nextKnown(MapDir, k + 1))
        if (m_dirChain[k] != m_diskDirChain[k])
            dirty.insert(std::uint32_t(k));
    while (m_dirChain.size() > std::max(need, oldSectors)) {
        freeSector(m_dirChain.back());
        m_dirChain.pop_back();
    }
    // The chain's links change around every sector that moves: its neighbours'
    // places must be known too.
    for (std::uint32_t k : dirty)
        if (Status s = needRecs(MapDir, k > 0 ? k - 1 : 0, k + 1ULL); s != Status::Ok)
            return s;

    std::vector<MapRec> &recs = m_pendRecs[MapDir];
    knownRecs(MapDir, &recs);
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

Status File::loadTablePage(bool mini, std::uint32_t k)
{
    std::vector<std::uint8_t> &in = mini ? m_miniFatIn : m_fatIn;
    if (k >= in.size() || in[k])
        return Status::Ok;
    const int kind = mini ? MapMiniFat : MapFat;
    const std::vector<MapRec> &recs = m_recs[std::size_t(kind)];
    QByteArray &table = mini ? m_diskMiniFat : m_diskFat;
    if (k >= recs.size() || std::size_t(k + 1) * m_ssz > std::size_t(table.size()))
        return damaged(Status::Corrupt);
    // Read from the disk, not the store of checked sectors: damage struck since
    // another handle checked this sector must stop this writer, not be built on.
    if (recs[k].loc >= m_fileSectors)
        return damaged(Status::Corrupt);
    char *page = table.data() + std::size_t(k) * m_ssz;
    if (!preadAll(page, m_ssz, sectorOffset(recs[k].loc)))
        return Status::IoError;
    if (sectorCrc(kind, k, page) != recs[k].crc) {
        std::memset(page, 0xFF, m_ssz);
        return damaged(Status::Corrupt);
    }
    for (std::uint32_t j = 0; j < m_eps; ++j) {
        const std::uint64_t u = std::uint64_t(k) * m_eps + j;
        const bool used = le32(page + 4 * j) != FreeSect;
        if (!mini && used && u >= m_fileSectors)
            return damaged(Status::Corrupt); // in use past the end: see loadMappedWriter
        std::vector<std::uint8_t> &use = mini ? m_miniUsed : m_used;
        if (u < use.size() && use[u] == Unknown)
            use[u] = used;
        if (u < use.size() && use[u] == 0)
            (mini ? m_miniFreeKnown : m_freeKnown).insert(std::uint32_t(u));
        if (!mini && u < m_protected.size() && m_protected[u] == Unknown)
            m_protected[u] = used;
    }
    in[k] = 1;
    // A table a commit is building took this sector's bytes before they were
    // read; no change of the commit falls in it (buildLazyTable reads those first).
    if (QByteArray *build = mini ? m_miniFatBuild : m_fatBuild;
        build && std::size_t(k + 1) * m_ssz <= std::size_t(build->size()))
        std::memcpy(build->data() + std::size_t(k) * m_ssz, page, m_ssz);
    return Status::Ok;
}

bool File::unitUsed(bool mini, std::uint32_t u)
{
    std::vector<std::uint8_t> &use = mini ? m_miniUsed : m_used;
    if (use[u] != Unknown)
        return use[u] != 0;
    const std::uint32_t k = u / m_eps;
    if (k >= (mini ? m_miniFatIn : m_fatIn).size()) {
        use[u] = 0; // past what the table covers
        if (!mini && u < m_protected.size() && m_protected[u] == Unknown)
            m_protected[u] = 0;
        return false;
    }
    if (Status st = loadTablePage(mini, k); st != Status::Ok) {
        m_stopped = m_stopped || st != Status::Corrupt;
        return true;
    }
    return use[u] != 0;
}

void File::writeHints(char *p)
{
    // The lowest free units this writer knows of (or was told of and did not
    // check) as runs, and the first it knows of that no run takes.
    struct Hints {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
        std::uint32_t rest = 0xFFFFFFFF;
        void add(std::uint32_t u, std::uint32_t max)
        {
            if (!runs.empty() && runs.back().first + runs.back().second == u)
                ++runs.back().second;
            else if (runs.size() < max)
                runs.emplace_back(u, 1);
            else
                rest = std::min(rest, u);
        }
    };
    Hints sectors, minis;
    auto fromSet = [](Hints *h,
                       const std::vector<std::uint8_t> &use,
                       const std::set<std::uint32_t> &known,
                       const std::vector<std::uint32_t> &freed,
                       std::uint32_t max) {
        std::set<std::uint32_t> all = known;
        all.insert(freed.begin(), freed.end());
        for (std::uint32_t u : all)
            if (u < use.size() && use[u] != 1 && h->rest == 0xFFFFFFFF)
                h->add(u, max);
    };
    if (m_lazyWriter) {
        fromSet(&sectors, m_used, m_freeKnown, m_freedSectors, kMaxSectorRuns);
        fromSet(&minis, m_miniUsed, m_miniFreeKnown, m_freedMinis, kMaxMiniRuns);
        // What it did not read through may still hold free units.
        sectors.rest = std::min(sectors.rest, m_rest[0]);
        minis.rest = std::min(minis.rest, m_rest[1]);
    } else {
        // A full writer knows every unit's use.
        for (std::uint32_t s = 0; s < m_used.size() && sectors.rest == 0xFFFFFFFF; ++s)
            if (!m_used[s])
                sectors.add(s, kMaxSectorRuns);
        for (std::uint32_t m = 0; m < m_miniUsed.size() && minis.rest == 0xFFFFFFFF; ++m)
            if (!m_miniUsed[m])
                minis.add(m, kMaxMiniRuns);
    }
    std::memcpy(p, kHintsMagic, 4);
    put16(p + 4, std::uint16_t(sectors.runs.size()));
    put16(p + 6, std::uint16_t(minis.runs.size()));
    char *r = p + 8;
    for (const Hints *h : { &sectors, &minis })
        for (const auto &run : h->runs) {
            put32(r, run.first);
            put32(r + 4, run.second);
            r += 8;
        }
    put32(p + (kRestAt - kHintsAt), sectors.rest);
    put32(p + (kRestAt - kHintsAt) + 4, minis.rest);
}

Status File::buildLazyTable(
    bool mini, std::size_t bytes, const std::vector<std::pair<std::uint32_t, std::uint32_t>> &puts, QByteArray *out)
{
    // Every table sector a change falls in is read before the copy is taken, so
    // the copy's unread sectors are exactly the committed ones.
    const std::vector<std::uint32_t> &freed = mini ? m_freedMinis : m_freedSectors;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links;
    for (std::uint32_t id : m_entries.loadedIds()) {
        const Entry &e = *m_entries.loaded(id);
        if (!e.parsed || !e.chainLoaded || e.type != TypeStream || e.inMini() != mini)
            continue;
        for (std::size_t i = 0; i < e.chain.size(); ++i)
            links.emplace_back(e.chain[i], i + 1 < e.chain.size() ? e.chain[i + 1] : EndOfChain);
    }
    auto read = [this, mini, bytes](
                    std::uint32_t u) { return u < bytes / 4 ? loadTablePage(mini, u / m_eps) : Status::Ok; };
    for (std::uint32_t u : freed)
        if (Status s = read(u); s != Status::Ok)
            return s;
    for (const auto &p : links)
        if (Status s = read(p.first); s != Status::Ok)
            return s;
    for (const auto &p : puts)
        if (Status s = read(p.first); s != Status::Ok)
            return s;

    // Only the sectors read are copied: the others stand for the committed
    // bytes, and are read (into the table built) before anything looks at them.
    const QByteArray &committed = mini ? m_diskMiniFat : m_diskFat;
    const std::vector<std::uint8_t> &in = mini ? m_miniFatIn : m_fatIn;
    QByteArray &t = *out;
    t = QByteArray(qsizetype(bytes), Qt::Uninitialized);
    const auto old = std::size_t(committed.size());
    for (std::size_t k = 0; k < in.size() && (k + 1) * m_ssz <= std::min(old, bytes); ++k)
        if (in[k])
            std::memcpy(t.data() + k * m_ssz, committed.constData() + k * m_ssz, m_ssz);
    if (bytes > old)
        std::memset(t.data() + old, 0xFF, bytes - old);
    auto set = [&t, bytes](std::uint32_t u, std::uint32_t v) {
        if (u < bytes / 4)
            put32(t.data() + 4 * std::size_t(u), v);
    };
    for (std::uint32_t u : freed)
        set(u, FreeSect);
    for (const auto &p : links)
        set(p.first, p.second);
    for (const auto &p : puts)
        set(p.first, p.second);
    (mini ? m_miniFatBuild : m_fatBuild) = out;
    return Status::Ok;
}

} // namespace v7::cfb::detail
