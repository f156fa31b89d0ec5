// The sector map: for every FAT, DIFAT, directory and MiniFAT sector its
// location and the CRC-32 of its bytes, and for every sector of the mini stream
// its location. Each kind is a tree of sectors (leaves of records, inner nodes
// of child locations and CRCs) under one top sector, whose location and CRC
// sit in the root entry's class id. A reader then checks a table sector when it
// first reads it, so opening a file costs what the reader touches, not the size
// of the file; a commit rewrites only the map sectors above what it changed.
//
// Map sectors are marked in the FAT as one-sector chains, so other programs
// leave them alone and read the file as usual.
#include "platform/CfbBytes.h"
#include "platform/CfbFile.h"

#include <QByteArray>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace v7::cfb::detail
{

namespace
{

    constexpr std::uint32_t kMaxDepth = 6;

    // Sectors a reader has checked, by file, place and the CRC-32 they were
    // checked against. A later reader that expects the same checksum at the same
    // place would accept exactly these bytes from the disk, so taking them from
    // here vouches for no more than reading does; a place rewritten since is
    // expected with another checksum and read again. Damage that strikes a sector
    // after it was checked is not seen by this process: it keeps reading the
    // bytes the file's state holds.
    class CheckedStore
    {
    public:
        struct Key {
            std::uint64_t dev, ino;
            std::uint32_t loc, crc;
            bool operator==(const Key &o) const { return dev == o.dev && ino == o.ino && loc == o.loc && crc == o.crc; }
        };
        bool find(const Key &k, QByteArray *out)
        {
            std::lock_guard<std::mutex> g(m_mutex);
            const auto it = m_map.find(k);
            if (it == m_map.end())
                return false;
            *out = it->second;
            return true;
        }
        void put(const Key &k, const QByteArray &bytes)
        {
            std::lock_guard<std::mutex> g(m_mutex);
            if (m_map.size() >= kMaxSectors)
                m_map.clear(); // bounded: the hot sectors come back at the next reads
            m_map.emplace(k, bytes);
        }
        void clear()
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_map.clear();
        }

    private:
        static constexpr std::size_t kMaxSectors = 16384; // 8 MB of 512-byte sectors
        struct Hash {
            std::size_t operator()(const Key &k) const
            {
                return std::hash<std::uint64_t>()(
                    k.ino * 0x9E3779B97F4A7C15ULL ^ (std::uint64_t(k.loc) << 32 | k.crc) ^ k.dev);
            }
        };
        std::mutex m_mutex;
        std::unordered_map<Key, QByteArray, Hash> m_map;
    };

    CheckedStore &checkedStore()
    {
        static CheckedStore s;
        return s;
    }

    std::uint32_t mapKey(int kind, std::uint32_t level, std::uint32_t index)
    {
        return std::uint32_t(kind) << 28 | level << 24 | index;
    }

    // Inner levels above the leaves for count records, fanout f.
    std::uint32_t depthFor(std::uint64_t count, std::uint64_t f)
    {
        std::uint32_t d = 0;
        for (std::uint64_t cover = f; cover < count; cover *= f)
            ++d;
        return d;
    }

} // namespace

void EntryTable::reset(std::size_t count, bool sparse, std::uint32_t gen)
{
    m_sparse = sparse;
    m_count = count;
    m_gen = gen;
    m_map.clear();
    m_dense.clear();
    if (!sparse) {
        Entry e;
        e.gen = gen;
        m_dense.assign(count, e);
    }
}

Entry &EntryTable::operator[](std::size_t i)
{
    if (!m_sparse)
        return m_dense[i];
    auto [it, fresh] = m_map.try_emplace(std::uint32_t(i));
    if (fresh)
        it->second.gen = m_gen;
    return it->second;
}

std::uint32_t EntryTable::append(std::uint32_t gen)
{
    if (!m_sparse) {
        m_dense.emplace_back().gen = gen;
        return std::uint32_t(m_dense.size() - 1);
    }
    const auto i = std::uint32_t(m_count++);
    m_map[i].gen = gen;
    return i;
}

Entry *EntryTable::loaded(std::size_t i)
{
    if (!m_sparse)
        return i < m_dense.size() ? &m_dense[i] : nullptr;
    const auto it = m_map.find(std::uint32_t(i));
    return it == m_map.end() ? nullptr : &it->second;
}

std::vector<std::uint32_t> EntryTable::loadedIds() const
{
    std::vector<std::uint32_t> ids;
    if (!m_sparse) {
        ids.resize(m_dense.size());
        for (std::size_t i = 0; i < ids.size(); ++i)
            ids[i] = std::uint32_t(i);
        return ids;
    }
    ids.reserve(m_map.size());
    for (const auto &kv : m_map)
        ids.push_back(kv.first);
    std::sort(ids.begin(), ids.end());
    return ids;
}

const Entry &EntryTable::operator[](std::size_t i) const
{
    static const Entry none;
    if (!m_sparse)
        return m_dense[i];
    const auto it = m_map.find(std::uint32_t(i));
    return it == m_map.end() ? none : it->second;
}

File::Sums File::sumsOf(const char *rootEntry) const
{
    const char *c = rootEntry + kClsidAt;
    if (std::uint8_t(rootEntry[66]) != TypeRoot || le32(c + 4) != m_txSig)
        return Sums::None; // none, or the file was since written by another program
    if (std::memcmp(c, kMapMagic, 4) == 0)
        return Sums::Map;
    if (std::memcmp(c, kSumMagic, 4) == 0)
        return Sums::Whole;
    return Sums::None;
}

std::uint32_t File::sectorCrc(int kind, std::uint32_t k, const char *bytes) const
{
    if (kind != MapDir || k != 0)
        return crcOf(bytes, m_ssz);
    // The root's class id holds the map's own location and CRC: left out.
    const char zeros[16] = {};
    uLong c = crc32_z(crc32_z(0, nullptr, 0), reinterpret_cast<const Bytef *>(bytes), kClsidAt);
    c = crc32_z(c, reinterpret_cast<const Bytef *>(zeros), 16);
    c = crc32_z(c, reinterpret_cast<const Bytef *>(bytes + kClsidAt + 16), m_ssz - kClsidAt - 16);
    return std::uint32_t(c);
}

Status File::checkedSector(std::uint32_t loc, std::uint32_t crc, QByteArray *out)
{
    if (loc >= m_fileSectors)
        return Status::Corrupt;
    const CheckedStore::Key key { m_dev, m_ino, loc, crc };
    if (checkedStore().find(key, out) && std::uint32_t(out->size()) == m_ssz)
        return Status::Ok;
    QByteArray b(int(m_ssz), 0);
    if (!preadAll(b.data(), m_ssz, sectorOffset(loc)))
        return Status::IoError;
    if (crcOf(b.constData(), m_ssz) != crc)
        return Status::Corrupt;
    checkedStore().put(key, b);
    *out = b;
    return Status::Ok;
}

Status File::mapNode(std::uint32_t loc, std::uint32_t crc, const char **out)
{
    if (const auto it = m_nodeCache.find(loc); it != m_nodeCache.end()) {
        // Checked when read: another reference to the same sector must expect the same bytes.
        *out = it->second.bytes.constData();
        return it->second.crc == crc ? Status::Ok : Status::Corrupt;
    }
    QByteArray b;
    if (Status s = checkedSector(loc, crc, &b); s != Status::Ok)
        return s;
    *out = m_nodeCache.emplace(loc, CheckedSector { b, crc }).first->second.bytes.constData();
    return Status::Ok;
}

Status File::mapRecord(int kind, std::uint32_t i, MapRec *out)
{
    const MapRoot &r = m_mapRoots[std::size_t(kind)];
    if (i >= r.count)
        return Status::Corrupt;
    const std::uint64_t f = m_ssz / 8;
    std::uint64_t span = 1;
    for (std::uint32_t l = 0; l < r.depth; ++l)
        span *= f;
    std::uint32_t loc = r.loc, crc = r.crc;
    for (std::uint32_t level = r.depth + 1; level > 0; --level, span /= f) {
        const char *node = nullptr;
        if (Status s = mapNode(loc, crc, &node); s != Status::Ok)
            return s;
        const std::size_t idx = std::size_t((i / span) % f);
        loc = le32(node + 8 * idx);
        crc = le32(node + 8 * idx + 4);
    }
    *out = { loc, crc };
    return Status::Ok;
}

Status File::tableSector(int kind, std::uint32_t k, const char **out)
{
    const std::uint64_t key = std::uint64_t(kind) << 32 | k;
    if (const auto it = m_sectorCache.find(key); it != m_sectorCache.end()) {
        *out = it->second.constData();
        return Status::Ok;
    }
    MapRec rec;
    if (m_lazyWriter) {
        // A writer holds every record, current after each of its commits.
        if (k >= m_recs[std::size_t(kind)].size())
            return Status::Corrupt;
        if (Status s = loadRecPage(kind, k / recsPerPage()); s != Status::Ok)
            return s;
        rec = m_recs[std::size_t(kind)][k];
    } else if (Status s = mapRecord(kind, k, &rec); s != Status::Ok) {
        return s;
    }
    if (rec.loc >= m_fileSectors)
        return damaged(Status::Corrupt);
    QByteArray b;
    if (kind != MapDir || k != 0) {
        if (Status s = checkedSector(rec.loc, rec.crc, &b); s != Status::Ok)
            return damaged(s);
    } else { // its checksum leaves out the class id that holds the map's own
        b = QByteArray(int(m_ssz), 0);
        if (!preadAll(b.data(), m_ssz, sectorOffset(rec.loc)))
            return Status::IoError;
        if (sectorCrc(kind, k, b.constData()) != rec.crc)
            return damaged(Status::Corrupt);
    }
    if (m_lazyWriter && kind == MapDir)
        noteDirSector(k, b.constData());
    *out = m_sectorCache.emplace(key, b).first->second.constData();
    return Status::Ok;
}

Status File::fatSlot(std::uint32_t s, std::uint32_t *v)
{
    if (!m_mapped || m_lazyWriter) {
        if (s >= std::uint64_t(m_diskFat.size()) / 4)
            return Status::Corrupt;
        if (m_lazyWriter)
            if (Status st = loadTablePage(false, s / m_eps); st != Status::Ok)
                return st;
        *v = le32(m_diskFat.constData() + 4 * std::size_t(s));
        return Status::Ok;
    }
    const char *p = nullptr;
    if (Status st = tableSector(MapFat, s / m_eps, &p); st != Status::Ok)
        return st;
    *v = le32(p + 4 * (s % m_eps));
    return Status::Ok;
}

Status File::miniFatSlot(std::uint32_t m, std::uint32_t *v)
{
    if (!m_mapped || m_lazyWriter) {
        if (m >= std::uint64_t(m_diskMiniFat.size()) / 4)
            return Status::Corrupt;
        if (m_lazyWriter)
            if (Status st = loadTablePage(true, m / m_eps); st != Status::Ok)
                return st;
        *v = le32(m_diskMiniFat.constData() + 4 * std::size_t(m));
        return Status::Ok;
    }
    const char *p = nullptr;
    if (Status st = tableSector(MapMiniFat, m / m_eps, &p); st != Status::Ok)
        return st;
    *v = le32(p + 4 * (m % m_eps));
    return Status::Ok;
}

Status File::dirEntry(std::uint32_t i, const char **p)
{
    if (!m_mapped) {
        if (i >= std::uint64_t(m_diskDir.size()) / EntrySize)
            return Status::Corrupt;
        *p = m_diskDir.constData() + std::size_t(i) * EntrySize;
        return Status::Ok;
    }
    const std::uint32_t per = m_ssz / EntrySize;
    const char *sector = nullptr;
    if (Status st = tableSector(MapDir, i / per, &sector); st != Status::Ok)
        return st;
    *p = sector + std::size_t(i % per) * EntrySize;
    return Status::Ok;
}

Status File::miniLoc(std::uint32_t k, std::uint32_t *s)
{
    if (!m_mapped || m_lazyWriter) {
        if (k >= m_miniChain.size())
            return Status::Corrupt;
        if (Status st = needRecs(MapMini, k, k); st != Status::Ok)
            return st;
        *s = m_miniChain[k];
        return Status::Ok;
    }
    MapRec rec;
    if (Status st = mapRecord(MapMini, k, &rec); st != Status::Ok)
        return st;
    if (rec.loc >= m_fileSectors)
        return Status::Corrupt;
    *s = rec.loc;
    return Status::Ok;
}

namespace
{

    // The top sector's fields, checked against the header it belongs to.
    Status readTop(const char *top,
        std::uint32_t txSig,
        const QByteArray &hdr,
        std::uint32_t ssz,
        std::uint64_t fileSectors,
        std::array<MapRoot, MapKinds> *roots)
    {
        if (std::memcmp(top, kTopMagic, 4) != 0 || le32(top + 4) != txSig
            || le32(top + 8) != crcOf(hdr.constData(), 512) || le32(top + 12) != ssz)
            return Status::Corrupt;
        const std::uint64_t f = ssz / 8;
        for (int k = 0; k < MapKinds; ++k) {
            const char *p = top + 16 + 16 * k;
            MapRoot &r = (*roots)[std::size_t(k)];
            r = { le32(p), le32(p + 4), le32(p + 8), le32(p + 12) };
            if (r.count > fileSectors || r.depth > kMaxDepth || (r.count > 0 && r.depth != depthFor(r.count, f)))
                return Status::Corrupt;
        }
        return Status::Ok;
    }

} // namespace

Status File::loadMapped(const QByteArray &hdr, const char *rootEntry)
{
    const char *c = rootEntry + kClsidAt;
    const char *top = nullptr;
    if (Status s = mapNode(le32(c + 8), le32(c + 12), &top); s != Status::Ok)
        return s;
    if (Status s = readTop(top, m_txSig, hdr, m_ssz, m_fileSectors, &m_mapRoots); s != Status::Ok)
        return s;
    if (m_mapRoots[MapDir].count == 0 || m_mapRoots[MapFat].count != le32(hdr.constData() + 0x2C))
        return Status::Corrupt;
    m_mapped = true;
    m_lazy = true;
    MapRec first;
    if (Status s = mapRecord(MapDir, 0, &first); s != Status::Ok)
        return s;
    if (first.loc != le32(hdr.constData() + 0x30))
        return Status::Corrupt;
    // The first directory sector, already read for the root entry.
    if (sectorCrc(MapDir, 0, rootEntry) != first.crc)
        return Status::Corrupt;
    m_sectorCache.emplace(std::uint64_t(MapDir) << 32, QByteArray(rootEntry, int(m_ssz)));
    m_diskEntries = m_mapRoots[MapDir].count * (m_ssz / EntrySize);
    m_entries.reset(m_diskEntries, true, m_genBase);
    ++m_genBase;
    if (Status s = parseEntry(0); s != Status::Ok)
        return s;
    Entry &root = m_entries[0];
    if (root.type != TypeRoot)
        return Status::Corrupt;
    m_sumInClsid = true;
    root.clsid = {};
    root.seen = true;
    m_miniCount = std::uint32_t(std::min({ ceilDiv(root.size, MiniSize),
        std::uint64_t(m_mapRoots[MapMiniFat].count) * m_eps,
        std::uint64_t(m_mapRoots[MapMini].count) * (m_ssz / MiniSize) }));
    root.size = 0;
    m_used.clear();
    m_miniUsed.clear();
    m_allocHint = m_miniHint = 0;
    m_entryHint = 1;
    m_dirty = false;
    return Status::Ok;
}

Status File::readMapTree(const QByteArray &hdr, const char *rootEntry, bool lazyLeaves)
{
    const char *c = rootEntry + kClsidAt;
    const std::uint32_t topLoc = le32(c + 8);
    const char *top = nullptr;
    if (Status s = mapNode(topLoc, le32(c + 12), &top); s != Status::Ok)
        return s;
    std::array<MapRoot, MapKinds> roots;
    if (Status s = readTop(top, m_txSig, hdr, m_ssz, m_fileSectors, &roots); s != Status::Ok)
        return s;
    auto mark = [this](std::uint32_t s) {
        if (s >= m_fileSectors || m_used[s] == 1)
            return false;
        m_used[s] = 1;
        return true;
    };
    if (!mark(topLoc))
        return Status::Corrupt;
    m_mapLocs.clear();
    m_shapedFor.reset();
    m_diskMapCrc.clear();
    std::size_t nodes = 1; // the top, then each level of each tree up to its one root
    for (const MapRoot &r : roots)
        for (std::uint64_t n = r.count; n > 0;) {
            n = ceilDiv(n, m_ssz / 8);
            nodes += std::size_t(n);
            if (n == 1)
                break;
        }
    m_mapLocs.reserve(nodes);
    m_diskMapCrc.reserve(nodes);
    m_mapLocs[MapTopKey] = topLoc;
    m_diskTop = QByteArray(top, int(m_ssz));
    QByteArray node; // each map sector in turn, as the store of checked sectors gives it
    m_diskMapCrc[MapTopKey] = le32(c + 12);
    const std::uint64_t f = m_ssz / 8;
    for (int k = 0; k < MapKinds; ++k) {
        const MapRoot &r = roots[std::size_t(k)];
        const bool lazy = lazyLeaves && (k == MapDir || k == MapMini);
        std::vector<MapRec> &recs = m_recs[std::size_t(k)];
        recs.clear();
        recs.resize(r.count); // at most one per sector of the file, checked above
        m_recIn[std::size_t(k)].assign(ceilDiv(r.count, f), lazy ? 0 : 1);
        if (r.count == 0)
            continue;
        // Each node names its children's places: every leaf's index follows
        // from the path to it, and no sector serves twice (mark).
        struct Node {
            std::uint32_t level, index, loc, crc;
        };
        std::vector<Node> stack { { r.depth, 0, r.loc, r.crc } };
        while (!stack.empty()) {
            const Node n = stack.back();
            stack.pop_back();
            if (!mark(n.loc))
                return Status::Corrupt;
            const std::uint32_t key = mapKey(k, n.level, n.index);
            m_mapLocs[key] = n.loc;
            m_diskMapCrc[key] = n.crc;
            if (lazy && n.level == 0)
                continue; // read when one of its records is needed
            // Through the process's store of checked sectors: the next writer's
            // open in this process then reads and checks none of them again.
            if (Status s = checkedSector(n.loc, n.crc, &node); s != Status::Ok)
                return s;
            const char *p = node.constData();
            std::uint64_t span = 1; // records under one child
            for (std::uint32_t l = 0; l < n.level; ++l)
                span *= f;
            for (std::uint64_t j = 0; j < f; ++j) {
                const std::uint64_t child = std::uint64_t(n.index) * f + j;
                if (child * span >= r.count)
                    break;
                if (n.level > 0)
                    stack.push_back({ n.level - 1, std::uint32_t(child), le32(p + 8 * j), le32(p + 8 * j + 4) });
                else
                    recs[child] = { le32(p + 8 * j), le32(p + 8 * j + 4) };
            }
        }
    }
    m_mapWas.clear();
    m_recsKnown = true;
    return Status::Ok;
}

Status File::loadRecPage(int kind, std::uint32_t page)
{
    if (recPageIn(kind, page))
        return Status::Ok;
    // A leaf not yet read is where the committed map has it: nothing moves or
    // rebuilds a leaf before its records are known (see buildMap).
    const std::uint32_t key = mapKey(kind, 0, page);
    const auto was = m_mapWas.find(key);
    const auto loc = m_mapLocs.find(key);
    const auto crc = m_diskMapCrc.find(key);
    if (crc == m_diskMapCrc.end() || (was == m_mapWas.end() && loc == m_mapLocs.end()))
        return damaged(Status::Corrupt);
    const std::uint32_t at = was != m_mapWas.end() ? was->second : loc->second;
    QByteArray b;
    if (Status s = checkedSector(at, crc->second, &b); s != Status::Ok)
        return damaged(s);
    std::vector<MapRec> &recs = m_recs[std::size_t(kind)];
    std::vector<MapRec> &pend = m_pendRecs[std::size_t(kind)];
    std::vector<std::uint32_t> &chain = kind == MapDir ? m_dirChain : m_miniChain;
    std::vector<std::uint32_t> &disk = kind == MapDir ? m_diskDirChain : m_diskMiniChain;
    const std::uint64_t per = recsPerPage(), first = std::uint64_t(page) * per;
    for (std::uint64_t i = first; i < first + per && i < recs.size(); ++i) {
        const char *p = b.constData() + 8 * (i - first);
        const MapRec r { le32(p), le32(p + 4) };
        if (r.loc >= m_fileSectors)
            return damaged(Status::Corrupt);
        recs[i] = r;
        // A commit being built took this page's records before they were read;
        // none of its changes falls here (they read their pages first).
        if (i < pend.size())
            pend[i] = r;
        if (i < chain.size())
            chain[i] = r.loc;
        if (i < disk.size())
            disk[i] = r.loc;
    }
    m_recIn[std::size_t(kind)][page] = 1;
    return Status::Ok;
}

Status File::needRecs(int kind, std::uint64_t first, std::uint64_t last)
{
    const std::uint64_t per = recsPerPage();
    const std::uint64_t end = std::uint64_t(m_recIn[std::size_t(kind)].size()) * per;
    for (std::uint64_t i = first - first % per; i <= last && i < end; i += per)
        if (Status s = loadRecPage(kind, std::uint32_t(i / per)); s != Status::Ok)
            return s;
    return Status::Ok;
}

void File::knownRecs(int kind, std::vector<MapRec> *out) const
{
    const std::vector<MapRec> &recs = m_recs[std::size_t(kind)];
    out->resize(recs.size());
    const std::size_t per = recsPerPage();
    for (std::size_t i = 0; i < recs.size(); i += per)
        if (recPageIn(kind, i / per))
            std::copy(recs.begin() + std::ptrdiff_t(i),
                recs.begin() + std::ptrdiff_t(std::min(recs.size(), i + per)),
                out->begin() + std::ptrdiff_t(i));
}

Status File::readWholeMap(const QByteArray &hdr, const char *rootEntry)
{
    if (Status s = readMapTree(hdr, rootEntry); s != Status::Ok)
        return s;
    // Every record must name the table sector that is there, with its bytes.
    auto agree = [this](int kind, const std::vector<std::uint32_t> &locs, const QByteArray &bytes) {
        const std::vector<MapRec> &recs = m_recs[std::size_t(kind)];
        if (recs.size() != locs.size())
            return false;
        for (std::size_t i = 0; i < locs.size(); ++i)
            if (recs[i].loc != locs[i]
                || (kind != MapMini && recs[i].crc != sectorCrc(kind, std::uint32_t(i), bytes.constData() + i * m_ssz)))
                return false;
        return true;
    };
    if (!agree(MapFat, m_fatLocs, m_diskFat) || !agree(MapDifat, m_difatLocs, m_diskDifat)
        || !agree(MapDir, m_dirChain, QByteArray(m_diskDir.constData(), int(m_dirChain.size() * m_ssz)))
        || !agree(MapMiniFat, m_miniFatChain, m_diskMiniFat) || !agree(MapMini, m_miniChain, QByteArray()))
        return Status::Corrupt;
    return Status::Ok;
}

// ---- writing the map ------------------------------------------------------------

void File::tableRecords(int kind,
    const QByteArray &bytes,
    const QByteArray &onDisk,
    const std::vector<std::uint32_t> &diskLocs,
    const std::vector<std::uint32_t> &locs)
{
    const std::vector<MapRec> &old = m_recs[std::size_t(kind)];
    std::vector<MapRec> &out = m_pendRecs[std::size_t(kind)];
    out.resize(locs.size());
    // Leaves not read stay as committed, and buildMap keeps them.
    for (std::size_t i = nextKnown(kind, 0); i < locs.size(); i = nextKnown(kind, i + 1)) {
        out[i] = { locs[i], 0 };
        if (kind == MapMini)
            continue;
        const bool same = m_recsKnown && i < old.size() && i < diskLocs.size() && locs[i] == diskLocs[i]
            && old[i].loc == locs[i] && sameAsCommitted(kind, i, bytes, onDisk);
        out[i].crc = same ? old[i].crc : sectorCrc(kind, std::uint32_t(i), bytes.constData() + i * m_ssz);
    }
}

Status File::shapeMap(bool *changed)
{
    const std::uint64_t f = m_ssz / 8;
    const std::array<std::uint64_t, MapKinds> counts = {
        m_fatLocs.size(), m_difatLocs.size(), m_dirChain.size(), m_miniFatChain.size(), m_miniChain.size()
    };
    // Which map sectors there are follows from the tables' sizes alone.
    if (m_shapedFor == counts)
        return Status::Ok;
    m_shapedFor.reset();
    auto nodesAt = [&](int k, std::uint32_t level) -> std::uint64_t {
        if (counts[std::size_t(k)] == 0 || level > depthFor(counts[std::size_t(k)], f))
            return 0;
        std::uint64_t nodes = counts[std::size_t(k)];
        for (std::uint32_t l = 0; l <= level; ++l)
            nodes = ceilDiv(nodes, f);
        return nodes;
    };
    std::size_t needed = 0;
    auto keep = [&](std::uint32_t key) -> Status {
        ++needed;
        if (m_mapLocs.count(key))
            return Status::Ok;
        std::uint32_t s;
        if (Status st = allocSector(&s); st != Status::Ok)
            return st;
        setMapLoc(key, s);
        *changed = true;
        return Status::Ok;
    };
    if (Status s = keep(MapTopKey); s != Status::Ok)
        return s;
    for (int k = 0; k < MapKinds; ++k)
        for (std::uint32_t level = 0; nodesAt(k, level) > 0; ++level)
            for (std::uint64_t i = 0, n = nodesAt(k, level); i < n; ++i)
                if (Status s = keep(mapKey(k, level, std::uint32_t(i))); s != Status::Ok)
                    return s;
    if (m_mapLocs.size() > needed) {
        auto isNeeded = [&](std::uint32_t key) {
            const auto k = int(key >> 28);
            return key == MapTopKey || (k < MapKinds && (key & 0xFFFFFFu) < nodesAt(k, (key >> 24) & 0xFu));
        };
        std::vector<std::uint32_t> unneeded;
        for (const auto &kv : m_mapLocs)
            if (!isNeeded(kv.first))
                unneeded.push_back(kv.first);
        for (std::uint32_t key : unneeded) {
            freeSector(m_mapLocs.at(key));
            setMapLoc(key, NoStream);
            *changed = true;
        }
    }
    m_shapedFor = counts;
    return Status::Ok;
}

void File::setMapLoc(std::uint32_t key, std::uint32_t loc)
{
    const auto it = m_mapLocs.find(key);
    m_mapWas.emplace(key, it == m_mapLocs.end() ? NoStream : it->second); // kept if already noted
    if (loc == NoStream)
        m_mapLocs.erase(key);
    else
        m_mapLocs[key] = loc;
}

Status File::buildMap(const QByteArray &hdr,
    const QByteArray &fat,
    const QByteArray &difat,
    std::map<std::uint32_t, QByteArray> *out,
    bool *moved)
{
    out->clear();
    tableRecords(MapFat, fat, m_diskFat, m_diskFatLocs, m_fatLocs);
    tableRecords(MapDifat, difat, m_diskDifat, m_diskDifatLocs, m_difatLocs);
    tableRecords(MapMini, QByteArray(), QByteArray(), {}, m_miniChain);
    const std::uint64_t f = m_ssz / 8;
    // A sector whose bytes change goes elsewhere when the committed state (or a
    // reader) still holds it, or when a lower sector is free.
    auto place = [&](std::uint32_t key, const QByteArray &bytes) -> Status {
        (*out)[key] = bytes;
        const std::uint32_t loc = m_mapLocs.at(key);
        // Only sectors over changed records are built, so their bytes are new.
        if (!isProtected(loc) && firstFree() >= loc)
            return Status::Ok;
        std::uint32_t s;
        if (Status st = allocSector(&s); st != Status::Ok)
            return st;
        freeSector(loc);
        setMapLoc(key, s);
        *moved = true;
        return Status::Ok;
    };
    QByteArray top(int(m_ssz), 0);
    std::memcpy(top.data(), kTopMagic, 4);
    put32(top.data() + 4, m_txSig + 1);
    put32(top.data() + 8, crcOf(hdr.constData(), 512));
    put32(top.data() + 12, m_ssz);
    m_pendMapCrc.clear();
    for (int k = 0; k < MapKinds; ++k) {
        const std::vector<MapRec> &leaves = m_pendRecs[std::size_t(k)];
        std::vector<MapRec> above; // the records of the level being built on, past the leaves
        MapRoot root;
        root.count = std::uint32_t(leaves.size());
        root.depth = depthFor(leaves.size(), f);
        // Which items of the level below changed since the committed map: a map
        // sector over none of them, still where it was, is kept as it is.
        const std::vector<MapRec> &old = m_recs[std::size_t(k)];
        std::size_t oldN = m_recsKnown ? old.size() : 0;
        std::vector<std::uint8_t> changed;
        for (std::uint32_t l = 0; !leaves.empty() && l <= root.depth; ++l) {
            const std::vector<MapRec> &level = l == 0 ? leaves : above;
            std::vector<MapRec> up(ceilDiv(level.size(), f));
            std::vector<std::uint8_t> upChanged(up.size());
            for (std::size_t i = 0; i < up.size(); ++i) {
                const std::uint32_t key = mapKey(k, l, std::uint32_t(i));
                const std::size_t lo = i * f, hi = std::min<std::size_t>((i + 1) * f, std::max(level.size(), oldN));
                bool dirty = hi > level.size() || hi > oldN;
                if (!dirty && l == 0) // records of the leaves compare as bytes, where they were read
                    dirty = recPageIn(k, i) && std::memcmp(&level[lo], &old[lo], (hi - lo) * sizeof(MapRec)) != 0;
                for (std::size_t j = lo; !dirty && l > 0 && j < hi; ++j)
                    dirty = changed[j];
                const auto crc = m_diskMapCrc.find(key);
                if (!dirty && crc != m_diskMapCrc.end() && !m_mapWas.count(key)) {
                    up[i] = { m_mapLocs.at(key), crc->second };
                    continue;
                }
                // A leaf is only rebuilt from records that were read.
                if (l == 0 && !recPageIn(k, i))
                    return Status::Corrupt;
                QByteArray b(int(m_ssz), 0);
                for (std::size_t j = 0; j < f && i * f + j < level.size(); ++j) {
                    put32(b.data() + 8 * j, level[i * f + j].loc);
                    put32(b.data() + 8 * j + 4, level[i * f + j].crc);
                }
                if (Status s = place(key, b); s != Status::Ok)
                    return s;
                up[i] = { m_mapLocs.at(key), crcOf(b.constData(), m_ssz) };
                m_pendMapCrc[key] = up[i].crc;
                upChanged[i] = 1;
            }
            oldN = ceilDiv(oldN, f);
            above.swap(up);
            changed.swap(upChanged);
        }
        if (!above.empty()) {
            root.loc = above[0].loc;
            root.crc = above[0].crc;
        }
        char *p = top.data() + 16 + 16 * k;
        put32(p, root.count);
        put32(p + 4, root.depth);
        put32(p + 8, root.loc);
        put32(p + 12, root.crc);
    }
    const auto runs = freeSlotRuns();
    put32(top.data() + kFreeRunsAt, std::uint32_t(runs.size()));
    for (std::size_t i = 0; i < runs.size(); ++i) {
        put32(top.data() + kFreeRunsAt + 4 + 8 * i, runs[i].first);
        put32(top.data() + kFreeRunsAt + 8 + 8 * i, runs[i].second);
    }
    writeHints(top.data() + kHintsAt);
    m_pendMapCrc[MapTopKey] = crcOf(top.constData(), m_ssz);
    return place(MapTopKey, top);
}

} // namespace v7::cfb::detail

void v7::cfb::forgetCheckedSectors()
{
    detail::checkedStore().clear();
}
