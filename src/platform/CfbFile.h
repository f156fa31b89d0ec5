// The engine under Storage and Stream: one open compound file, its tables in
// memory, copy-on-write sector allocation and the two-step commit.
//
// Threads: one File belongs to the thread that opened it (see Cfb.h).
#pragma once

#include "platform/Cfb.h"

#include <QStringList>
#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace v7::cfb::detail
{

constexpr std::uint32_t MaxRegSect = 0xFFFFFFFA;
constexpr std::uint32_t DifSect = 0xFFFFFFFC;
constexpr std::uint32_t FatSect = 0xFFFFFFFD;
constexpr std::uint32_t EndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t FreeSect = 0xFFFFFFFF;
constexpr std::uint32_t NoStream = 0xFFFFFFFF;
constexpr std::uint32_t MiniCutoff = 4096;
constexpr std::uint32_t MiniSize = 64;
constexpr std::uint32_t HeaderDifat = 109;
constexpr std::uint32_t EntrySize = 128;

enum : std::uint8_t { TypeFree = 0, TypeStorage = 1, TypeStream = 2, TypeRoot = 5 };
enum : std::uint8_t { Red = 0, Black = 1 };

// An upper-cased name held inline: building the maps of a large directory
// then allocates nothing per key.
struct Key {
    std::uint8_t n = 0;
    std::array<char16_t, 31> c {};
    bool operator==(const Key &o) const { return n == o.n && std::equal(c.begin(), c.begin() + n, o.c.begin()); }
    bool operator!=(const Key &o) const { return !(*this == o); }
};
// Sibling order: shorter names first, then upper-cased UTF-16 code units.
struct KeyLess {
    bool operator()(const Key &a, const Key &b) const
    {
        if (a.n != b.n)
            return a.n < b.n;
        for (int i = 0; i < a.n; ++i)
            if (a.c[i] != b.c[i])
                return a.c[i] < b.c[i];
        return false;
    }
};
Key sortKey(const std::u16string &name);
bool validName(const QString &name);

struct Entry {
    std::u16string name;
    std::uint8_t type = TypeFree;
    std::uint8_t color = Black;
    std::uint32_t left = NoStream, right = NoStream, child = NoStream;
    std::array<std::uint8_t, 16> clsid {};
    std::uint32_t state = 0;
    std::uint64_t ctime = 0, mtime = 0;
    std::uint64_t size = 0;
    // Sectors of a stream, or mini sectors while size < 4096.
    std::vector<std::uint32_t> chain;
    std::uint32_t parent = NoStream;
    std::uint32_t gen = 0; // bumped when the entry is freed, so old handles see Reverted
    std::map<Key, std::uint32_t, KeyLess> children;
    bool treeDirty = false;
    bool childrenLoaded = false; // a reader walks a storage's tree on first use
    bool chainLoaded = false; // and a stream's chain
    bool parsed = false; // decoded from the committed directory
    bool seen = false; // reached from the root
    std::uint32_t start = EndOfChain; // first sector (or mini sector) on disk
    bool inMini() const { return type == TypeStream && size < MiniCutoff; }
};

// The directory entries of a handle: all of them for a writer, only those
// reached so far for a reader of a large file.
class EntryTable
{
public:
    void reset(std::size_t count, bool sparse, std::uint32_t gen);
    std::size_t size() const { return m_sparse ? m_count : m_dense.size(); }
    Entry &operator[](std::size_t i);
    const Entry &operator[](std::size_t i) const;
    void push_back(const Entry &e) { m_dense.push_back(e); }
    Entry &emplace_back() { return m_dense.emplace_back(); }
    Entry &back() { return m_dense.back(); }
    // A new entry past the end, for a table of either kind; returns its index.
    std::uint32_t append(std::uint32_t gen);
    // The entry at i if it is in memory (always, for a dense table).
    Entry *loaded(std::size_t i);
    // The indexes of the entries in memory: all of a dense table.
    std::vector<std::uint32_t> loadedIds() const;
    // Iteration covers the dense table only; a sparse table is never iterated.
    std::vector<Entry>::iterator begin() { return m_dense.begin(); }
    std::vector<Entry>::iterator end() { return m_dense.end(); }

private:
    bool m_sparse = false;
    std::size_t m_count = 0;
    std::uint32_t m_gen = 0;
    std::vector<Entry> m_dense;
    std::unordered_map<std::uint32_t, Entry> m_map;
};

// The sector map: where every table sector is and the CRC-32 of its bytes,
// kept in sectors of its own (see CfbMap.cpp).
enum MapKind : int { MapFat = 0, MapDifat = 1, MapDir = 2, MapMiniFat = 3, MapMini = 4, MapKinds = 5 };
constexpr std::uint32_t MapTopKey = 0xF0000000u; // the top sector's key among the map's sectors
struct MapRec {
    std::uint32_t loc = 0, crc = 0;
};
static_assert(sizeof(MapRec) == 8, "records are compared as bytes");
struct MapRoot {
    std::uint32_t count = 0, depth = 0, loc = EndOfChain, crc = 0;
};

class File
{
public:
    ~File();
    static Status create(const QString &path, std::uint32_t mode, std::shared_ptr<File> *out);
    static Status open(
        const QString &path, std::uint32_t mode, std::shared_ptr<File> *out, bool fullLoad = false, int lockWaitMs = 0);

    bool writable() const { return m_writable; }
    bool metDamage() const { return m_damaged; }
    bool transacted() const { return m_transacted; }
    std::uint32_t rootMode() const { return m_mode; }
    bool alive(std::uint32_t id, std::uint32_t gen) const;
    Entry &entry(std::uint32_t id) { return m_entries[id]; }
    const Entry &entry(std::uint32_t id) const { return m_entries[id]; }

    Status find(std::uint32_t parent, const QString &name, std::uint32_t *id);
    Status children(std::uint32_t id, const std::map<Key, std::uint32_t, KeyLess> **out);
    Status addChild(std::uint32_t parent, const QString &name, std::uint8_t type, std::uint32_t *id);
    Status destroy(std::uint32_t id);
    Status rename(std::uint32_t id, const QString &newName);
    Status copyInto(std::uint32_t src, File &dstFile, std::uint32_t dst);

    Status read(std::uint32_t id, std::uint64_t pos, char *buf, std::uint64_t n, std::uint64_t *got);
    Status write(std::uint32_t id, std::uint64_t pos, const char *data, std::uint64_t n);
    Status setSize(std::uint32_t id, std::uint64_t size);

    Status commit();
    Status revert();
    void stats(FileStats *out);
    static Status audit(const QString &path, QStringList *problems);

private:
    File() = default;
    // A handle on fd (taken over) for the given open mode.
    static std::shared_ptr<File> adopt(int fd, const QString &path, std::uint32_t mode, bool writable);
    Status load(bool forWriter);
    // A writer of a file with a sector map (CfbLazy.cpp): it reads the DIFAT
    // and the map's upper levels whole, and the directory, FAT, MiniFAT and the
    // map's leaves over the directory and mini stream only where it goes, each
    // sector checked against its record, so opening and committing cost what
    // the writer touches rather than the number of entries in the file.
    Status loadMappedWriter(const QByteArray &hdr, const char *rootEntry);
    Status readCheckedTable(int kind, const std::vector<std::uint32_t> &locs, QByteArray *out);
    // A lazy writer's FAT (or MiniFAT) sector k, read and checked the first time
    // something needs its slots; those slots' use then becomes known.
    Status loadTablePage(bool mini, std::uint32_t k);
    // Whether sector s (mini sector m) is in use, reading its table sector if
    // that is not yet known. A failed read counts it in use and stops commits.
    bool unitUsed(bool mini, std::uint32_t u);
    bool sectorUsed(std::uint32_t s) { return unitUsed(false, s); }
    bool miniUsed(std::uint32_t m) { return unitUsed(true, m); }
    // The free sectors and mini sectors to name in the top once this commit
    // lands, written at p.
    void writeHints(char *p);
    // The FAT or MiniFAT being committed: the committed one with the given
    // slots set, after reading every table sector the changes fall in.
    Status buildLazyTable(bool mini,
        std::size_t bytes,
        const std::vector<std::pair<std::uint32_t, std::uint32_t>> &puts,
        QByteArray *out);
    // Loads what destroying id frees: a storage's whole subtree, a stream's chain.
    Status loadSubtree(std::uint32_t id);
    void serializeEntry(std::uint32_t i, const Entry &e, char *p) const;
    // The changed directory sectors, written copy-on-write, with their records.
    Status writeDirectoryLazy(std::map<std::uint32_t, QByteArray> *sectors);
    // Notes the free slots of directory sector k, read: new elements go there.
    void noteDirSector(std::uint32_t k, const char *bytes);
    // Free slots of the directory being committed, as at most kMaxFreeRanges runs.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> freeSlotRuns();
    Status readHeader(QByteArray *hdr);
    Status walk(std::uint32_t start, std::uint64_t needed, bool toEnd, std::vector<std::uint32_t> *out);
    // Decodes directory entry i from the committed directory, once.
    Status parseEntry(std::uint32_t i);
    Status loadChildren(std::uint32_t storage);
    Status walkChildren(std::uint32_t storage);
    Status loadChain(std::uint32_t stream);
    // FileNotFound with *clean set when the search ran off the tree's edge, so
    // the name is not there; unset when it met something that is no proper node.
    Status searchTree(std::uint32_t storage, const Key &key, std::uint32_t *id, bool *clean = nullptr);
    // An element made this session, beyond the committed directory.
    bool madeHere(std::uint32_t i);
    Status walkMini(std::uint32_t start, std::uint64_t needed, std::vector<std::uint32_t> *out);

    std::uint64_t sectorOffset(std::uint32_t s) const { return std::uint64_t(s + 1) << m_shift; }
    bool preadAll(char *buf, std::size_t n, std::uint64_t off) const;
    // The sectors at locs, in order, into out (locs.size() sectors long).
    bool readSectors(const std::vector<std::uint32_t> &locs, char *out) const;
    bool pwriteAll(const char *buf, std::size_t n, std::uint64_t off);

    Status allocSector(std::uint32_t *s);
    void freeSector(std::uint32_t s);
    std::uint32_t firstFree();
    // Reads the next FAT (mini: MiniFAT) sector from m_rest, so its free slots
    // become known; false at the end.
    bool lookFurther(bool mini);
    // Whether a table sector at loc goes to a lower free sector; same: its
    // bytes do not change, so only to give the file's tail back.
    bool moveDown(bool same, std::uint32_t loc);
    // A FAT or MiniFAT sector a lazy writer has not read: the table it builds
    // holds the committed bytes there, so they need no comparing.
    bool unread(int kind, std::size_t k) const
    {
        const std::vector<std::uint8_t> &in = kind == MapFat ? m_fatIn : m_miniFatIn;
        return m_lazyWriter && (kind == MapFat || kind == MapMiniFat) && k < in.size() && !in[k];
    }
    // Whether table sector i of kind (-1: a table read whole) holds what the
    // committed one at the same index does: an unread one stands for it.
    bool sameAsCommitted(int kind, std::size_t i, const QByteArray &bytes, const QByteArray &onDisk) const
    {
        return unread(kind, i)
            || std::memcmp(bytes.constData() + i * m_ssz, onDisk.constData() + i * m_ssz, m_ssz) == 0;
    }
    // A lazy writer's FAT or MiniFAT sector i is read before it is written
    // elsewhere, so its real bytes go with it (into the table being built).
    Status readBeforeMove(int kind, std::size_t i)
    {
        const bool table = kind == MapFat || kind == MapMiniFat;
        return table && m_lazyWriter ? loadTablePage(kind == MapMiniFat, std::uint32_t(i)) : Status::Ok;
    }
    // Free in the current state and not held by the committed one (or a reader).
    bool takeable(std::uint32_t s);
    Status allocMini(std::uint32_t *m);
    void freeMini(std::uint32_t m);
    bool isProtected(std::uint32_t s) const { return s < m_protected.size() && m_protected[s]; }

    Status readChain(const std::vector<std::uint32_t> &chain, std::uint64_t pos, char *buf, std::uint64_t n);
    Status writeChain(std::vector<std::uint32_t> &chain, std::uint64_t pos, const char *data, std::uint64_t n);
    Status readMini(const std::vector<std::uint32_t> &chain, std::uint64_t pos, char *buf, std::uint64_t n);
    Status writeMini(const std::vector<std::uint32_t> &chain, std::uint64_t pos, const char *data, std::uint64_t n);
    Status resizeChain(Entry &e, std::uint64_t newSize);
    void freeChain(Entry &e);
    void destroyTree(std::uint32_t id);

    void rebuildTree(std::uint32_t storage);
    // Puts a new child into its storage's red-black tree, changing only entries
    // on its path (and their siblings' colours), where a rebuild changes them all.
    Status insertIntoTree(std::uint32_t storage, std::uint32_t id);
    bool validTree(std::uint32_t storage) const;
    QByteArray serializeDirectory();
    // kind names a lazy writer's FAT or MiniFAT, whose unread sectors are read
    // before they move.
    Status writeTable(QByteArray &bytes,
        const QByteArray &onDisk,
        const std::vector<std::uint32_t> &diskLocs,
        std::vector<std::uint32_t> *locs,
        int kind = -1);
    bool readersPresent() const;
    bool lockRange(int type, std::uint64_t start, bool wait) const;
    // The writer lock, waited for up to waitMs while another writer holds it.
    bool lockWriter(int waitMs) const;
    void protectCommitted(bool keepOld);
    // The header of the state being committed.
    QByteArray buildHeader() const;

    // The sector map (CfbMap.cpp). A reader of a file that has one reads each
    // table sector when first needed and checks it against its recorded CRC.
    enum class Sums { None, Whole, Map };
    Sums sumsOf(const char *rootEntry) const;
    Status loadMapped(const QByteArray &hdr, const char *rootEntry);
    Status readWholeMap(const QByteArray &hdr, const char *rootEntry);
    // Every map sector into m_recs, m_mapLocs and m_diskMapCrc, each marked in use.
    // lazyLeaves: the leaves of the directory's and the mini stream's trees are
    // only located, and read when a record of theirs is needed (loadRecPage).
    Status readMapTree(const QByteArray &hdr, const char *rootEntry, bool lazyLeaves = false);
    // A lazy writer's records of kind (and its chain's entries) under map leaf
    // page, read and checked the first time something needs them.
    Status loadRecPage(int kind, std::uint32_t page);
    // The records first..last of kind, as far as the committed map has them.
    Status needRecs(int kind, std::uint64_t first, std::uint64_t last);
    // Whether the records under map leaf page of kind are known: read, made by
    // this writer, or beyond what the committed map holds.
    bool recPageIn(int kind, std::size_t page) const
    {
        const std::vector<std::uint8_t> &in = m_recIn[std::size_t(kind)];
        return page >= in.size() || in[page];
    }
    std::uint32_t recsPerPage() const { return m_ssz / 8; }
    // The first record of kind from i on whose leaf is known: the records under
    // leaves not read stand as committed, and are passed over.
    std::size_t nextKnown(int kind, std::size_t i) const
    {
        const std::size_t per = recsPerPage();
        while (!recPageIn(kind, i / per))
            i = (i / per + 1) * per;
        return i;
    }
    // The records of kind the commit under way starts from: the committed ones,
    // where they are known.
    void knownRecs(int kind, std::vector<MapRec> *out) const;
    Status mapNode(std::uint32_t loc, std::uint32_t crc, const char **out);
    // The sector at loc whose bytes have the CRC-32 crc (checked when read), from
    // the process's store of checked sectors or the file.
    Status checkedSector(std::uint32_t loc, std::uint32_t crc, QByteArray *out);
    Status mapRecord(int kind, std::uint32_t i, MapRec *out);
    Status tableSector(int kind, std::uint32_t k, const char **out);
    Status fatSlot(std::uint32_t s, std::uint32_t *v);
    Status miniFatSlot(std::uint32_t m, std::uint32_t *v);
    Status dirEntry(std::uint32_t i, const char **p);
    Status miniLoc(std::uint32_t k, std::uint32_t *s);
    std::uint32_t sectorCrc(int kind, std::uint32_t k, const char *bytes) const;
    // Records of one table as it is about to be committed; slices that match the
    // committed ones keep their CRC.
    void tableRecords(int kind,
        const QByteArray &bytes,
        const QByteArray &onDisk,
        const std::vector<std::uint32_t> &diskLocs,
        const std::vector<std::uint32_t> &locs);
    // Allocates the map's sectors for the current table sizes; true when any moved.
    Status shapeMap(bool *changed);
    // Fills the map's sectors bottom up, moving those that may not be written in place.
    Status buildMap(const QByteArray &hdr,
        const QByteArray &fat,
        const QByteArray &difat,
        std::map<std::uint32_t, QByteArray> *out,
        bool *moved);

    QString m_path;
    int m_fd = -1;
    std::uint32_t m_mode = 0;
    bool m_writable = false, m_transacted = false, m_dirty = false, m_broken = false;
    int m_major = 3;
    unsigned m_shift = 9;
    std::uint32_t m_ssz = 512, m_eps = 128; // sector size, 4-byte entries per sector
    std::uint32_t m_txSig = 0;
    std::uint64_t m_fileSectors = 0; // sectors present in the file (after the header)
    std::uint64_t m_dev = 0, m_ino = 0; // the file, for the store of checked sectors

    EntryTable m_entries;
    std::vector<std::uint32_t> m_miniChain; // sectors of the mini stream
    std::uint32_t m_miniCount = 0; // mini sectors in the mini stream
    // Sectors in use by the current state. A lazy writer learns a sector's use
    // when it reads the FAT sector that holds its slot: until then, Unknown.
    static constexpr std::uint8_t Unknown = 2;
    std::vector<std::uint8_t> m_used;
    std::vector<std::uint8_t> m_protected; // sectors the committed state (or a reader) uses
    std::vector<std::uint8_t> m_miniUsed;
    std::uint32_t m_allocHint = 0, m_miniHint = 0, m_entryHint = 1;

    // The committed tables as they are on disk, and where they are.
    std::vector<std::uint32_t> m_fatLocs, m_difatLocs, m_dirChain, m_miniFatChain;
    std::vector<std::uint32_t> m_diskFatLocs, m_diskDifatLocs, m_diskDirChain, m_diskMiniFatChain;
    QByteArray m_diskFat, m_diskDifat, m_diskDir, m_diskMiniFat;
    std::uint32_t m_genBase = 1;
    std::uint32_t m_diskEntries = 0; // directory entries in the committed directory
    std::uint64_t m_fileBytes = 0;
    bool m_lazy = false, m_fullLoad = false;
    bool m_lazyWriter = false; // a writer that reached the file through its map
    // Damage a lazy writer met where it went: it commits nothing more, since what
    // it holds of the tree there may be partial.
    bool m_damaged = false;
    bool m_stopped = false; // a tree walk failed otherwise (a read error): no more commits either
    Status damaged(Status s)
    {
        if (s == Status::Corrupt && m_lazyWriter)
            m_damaged = true;
        return s;
    }
    // What a lazy writer freed since the last commit (cleared from the FAT and
    // MiniFAT it builds), and directory slots it knows to be free.
    std::vector<std::uint32_t> m_freedSectors, m_freedMinis;
    std::set<std::uint32_t> m_freeSlots;
    // Free directory slots the committed map's top names (start, count): where a
    // later writer puts new elements, so freed slots are taken up again.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_freeRanges;
    bool m_sumInClsid = true; // the root's class id is ours to hold the checksum

    bool m_mapped = false; // tables are read through the sector map, when needed
    std::array<MapRoot, MapKinds> m_mapRoots;
    struct CheckedSector {
        QByteArray bytes;
        std::uint32_t crc = 0; // what the bytes were checked against when read
    };
    std::unordered_map<std::uint32_t, CheckedSector> m_nodeCache; // map sectors read, by location
    std::unordered_map<std::uint64_t, QByteArray> m_sectorCache; // table sectors read, by kind and index
    // A writer's copy of the committed map: every record, and each map sector's
    // location by key (kind, level, index; the top has its own key).
    std::array<std::vector<MapRec>, MapKinds> m_recs;
    bool m_recsKnown = false;
    // Per map leaf of each kind: whether its records are in m_recs (and its
    // entries in the chain the kind describes). A lazy writer reads the
    // directory's and the mini stream's leaves as it needs them: at a million
    // thumbnails they are megabytes, of which a commit changes a few.
    std::array<std::vector<std::uint8_t>, MapKinds> m_recIn;
    std::unordered_map<std::uint32_t, std::uint32_t> m_mapLocs;
    // Map sectors whose location changed since the last commit, with the
    // committed location (NoStream: none, the sector is new). Only these are
    // compared at a commit, not every map sector of the file.
    std::unordered_map<std::uint32_t, std::uint32_t> m_mapWas;
    // Sets (NoStream: drops) a map sector's location, noting the committed one.
    void setMapLoc(std::uint32_t key, std::uint32_t loc);
    std::optional<std::array<std::uint64_t, MapKinds>> m_shapedFor; // the table sizes m_mapLocs has sectors for
    QByteArray m_diskTop; // the committed map's top sector
    // The CRC-32 of each committed map sector, and of those the commit under way
    // builds: a sector whose records did not change is kept without being rebuilt.
    std::unordered_map<std::uint32_t, std::uint32_t> m_diskMapCrc, m_pendMapCrc;
    std::vector<std::uint32_t> m_diskMiniChain; // the committed mini stream's sectors (lazy writer)
    std::array<std::vector<MapRec>, MapKinds> m_pendRecs; // the records of the commit under way
    // A lazy writer's FAT and MiniFAT sectors read so far (the rest of
    // m_diskFat and m_diskMiniFat holds nothing yet), the tables a commit is
    // building, which take each sector read while they are built.
    std::vector<std::uint8_t> m_fatIn, m_miniFatIn;
    QByteArray *m_fatBuild = nullptr, *m_miniFatBuild = nullptr;
    // Sectors and mini sectors a lazy writer may find free: the committed
    // top's hints, free slots of the FAT sectors it read, and what it freed.
    // Each is checked against its FAT sector before it is taken.
    std::set<std::uint32_t> m_freeKnown, m_miniFreeKnown;
    // The lowest sector and mini sector that may be free beyond those: where
    // the writer reads on through the FAT (MiniFAT) when they run out.
    std::array<std::uint32_t, 2> m_rest {};
    bool m_holdAll = false; // a reader was about at open: every sector of the file is held
    // What one commit of a lazy writer spends beyond its changes: FAT (and
    // MiniFAT) sectors read in search of free sectors (mini sectors), a few and
    // one more for every kAllocsPerLook it allocates, so a large commit finds as
    // much freed space as it needs; and unchanged table sectors moved down so
    // the file's tail can be given back. Past these, new sectors go at the end,
    // and compaction gives the space back.
    static constexpr int kLookPerCommit = 16, kAllocsPerLook = 32, kMovesPerCommit = 8;
    std::array<std::uint64_t, 2> m_looked {}, m_allocated {}; // sectors, mini sectors
    int m_moveBudget = kMovesPerCommit;
    void resetBudgets()
    {
        m_looked = m_allocated = {};
        m_moveBudget = kMovesPerCommit;
    }
};

} // namespace v7::cfb::detail
