// The salvage reader's state, shared by the files that implement it: the walk
// of chains and the directory (CfbSalvage.cpp) and the use of the sector map
// (CfbSalvageMap.cpp). Not part of the public interface; see CfbSalvage.h.
#pragma once

#include "platform/CfbBytes.h"
#include "platform/CfbSalvage.h"

#include <QByteArray>
#include <QString>
#include <algorithm>
#include <cstring>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace v7::cfb::salvage
{
constexpr std::uint32_t kMaxReg = 0xFFFFFFFA;
constexpr std::uint32_t kUnknown = 0xFFFFFFFB; // a slot whose table sector was not found
constexpr std::uint32_t kEnd = 0xFFFFFFFE;
constexpr std::uint32_t kNone = 0xFFFFFFFF;
constexpr std::uint32_t kMiniCutoff = 4096, kMini = 64, kEntry = 128;
constexpr std::size_t kMaxEntries = std::size_t(4) << 20; // bounds the memory a crafted file costs
constexpr std::size_t kMaxLoose = 4096; // loose chains considered for a repair
constexpr std::size_t kMaxRebuilds = 8; // damaged MiniFAT sectors a salvage tries to rebuild
// The sector map's kinds read here, and its records: a sector's place and CRC-32.
constexpr std::uint32_t kMapDir = 2, kMapMiniFat = 3, kMapMaxDepth = 6;
struct MapRec {
    std::uint32_t loc = 0, crc = 0;
};

using detail::le16;
using detail::le32;

// A chain of sectors (or mini sectors) as walked through its table.
struct Chain {
    std::vector<std::uint32_t> secs;
    std::uint64_t needed = 0; // sectors its size calls for; 0: unknown
    bool whole = false; // as long as needed, or ended at ENDOFCHAIN when not known
    std::uint32_t doubtful = kNone; // the sector whose own slot led nowhere
};

// Follows next[] from start. A sector whose own slot is not a chain's (free,
// a table's, out of range) may be a stray reached through a damaged slot: it
// is not taken, and the chain stops there. A slot that leads back into the
// chain ends it after the sector that holds it. shared, when given, ends the
// walk at a sector an earlier walk with it reached.
class Walker
{
public:
    Chain operator()(const std::vector<std::uint32_t> &next,
        std::uint32_t start,
        std::uint64_t needed,
        std::vector<std::uint8_t> *shared = nullptr)
    {
        Chain c;
        c.needed = needed;
        const std::uint32_t n = std::uint32_t(next.size());
        if (m_mark.size() != n)
            m_mark.assign(n, 0);
        if (++m_gen == 0) {
            std::fill(m_mark.begin(), m_mark.end(), 0);
            m_gen = 1;
        }
        for (std::uint32_t s = start; s < n;) {
            if (m_mark[s] == m_gen || (shared && (*shared)[s]))
                break;
            m_mark[s] = m_gen;
            if (shared)
                (*shared)[s] = 1;
            const std::uint32_t v = next[s];
            if (v == kEnd || (needed && c.secs.size() + 1 == needed)) {
                c.secs.push_back(s);
                c.whole = needed ? c.secs.size() == needed : v == kEnd;
                return c;
            }
            if (v >= n) {
                c.doubtful = s;
                break;
            }
            c.secs.push_back(s);
            s = v;
        }
        c.whole = needed == 0 && start == kEnd;
        return c;
    }

private:
    std::vector<std::uint32_t> m_mark;
    std::uint32_t m_gen = 0;
};

struct Node {
    std::uint8_t type = 0;
    bool valid = false;
    std::uint32_t left = kNone, right = kNone, child = kNone, start = kEnd;
    std::uint64_t size = 0;
};

class Salvage
{
public:
    explicit Salvage(SalvageResult *r)
        : m_r(r)
    {
    }
    ~Salvage()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Status run(const QString &path, const QString &dest);

private:
    bool readSector(std::uint32_t s, char *out) const
    {
        std::memset(out, 0, m_ssz);
        if (s >= m_sectors)
            return false;
        const off_t at = off_t(std::uint64_t(s) + 1) << m_shift;
        const ssize_t got = ::pread(m_fd, out, m_ssz, at);
        return got > 0;
    }
    bool readHeader();
    void readFat();
    void readMap();
    std::vector<MapRec> mapRecords(std::uint32_t kind) const;
    bool sectorMatches(std::uint32_t s, std::uint32_t crc, bool rootSector) const;
    void rebuildMiniFatSector(std::size_t k);
    void claim(const std::vector<std::uint32_t> &secs, std::vector<std::uint8_t> *claims) const
    {
        for (std::uint32_t s : secs)
            if (s < claims->size() && (*claims)[s] < 2)
                ++(*claims)[s];
    }
    std::size_t readablePrefix(const Chain &c) const
    {
        std::size_t k = 0;
        while (k < c.secs.size() && m_claims[c.secs[k]] < 2)
            ++k;
        return k;
    }
    void findLooseChains();
    bool mend(Chain *c, bool dirLike);
    bool looksLikeDirectory(const Chain &c) const;
    void readDirectory();
    void walkChains();
    void countClaims();
    void readMini();
    QString nameOf(std::uint32_t id) const;
    std::vector<std::uint32_t> childrenOf(std::uint32_t id);
    QByteArray streamBytes(std::uint32_t id, const QString &where);
    bool copyStorage(std::uint32_t id, Storage &into, const QString &where, int depth);

    SalvageResult *m_r;
    int m_fd = -1;
    unsigned m_shift = 9;
    std::uint32_t m_ssz = 512, m_eps = 128;
    std::uint32_t m_sectors = 0; // sectors present after the header
    QByteArray m_hdr;
    std::vector<std::uint32_t> m_next; // the FAT, one slot per sector present
    std::vector<std::uint32_t> m_tableSecs; // FAT and DIFAT sectors
    std::vector<std::uint8_t> m_claims; // chains that claim each sector, up to 2
    std::vector<std::uint8_t> m_pointed; // some slot points at the sector
    std::vector<std::uint8_t> m_isHead; // a chain starts at the sector
    std::vector<Chain> m_loose; // chains nothing points at or starts at
    std::vector<std::uint8_t> m_looseUsed;
    Walker m_walk, m_miniWalk;
    Chain m_dir, m_miniFat;
    std::vector<Node> m_nodes;
    std::vector<Chain> m_chains; // per entry: the big-sector chain of a stream
    std::vector<std::uint8_t> m_reached;
    // The mini stream: its readable bytes, and the MiniFAT as far as it reads.
    QByteArray m_miniStream;
    std::vector<std::uint32_t> m_miniNext;
    std::vector<std::uint8_t> m_miniClaims;
    std::vector<Chain> m_miniChains; // per entry
    // The sector map, when the file has one that checks: where each directory and
    // MiniFAT sector is and the CRC-32 of its bytes. Empty when there is none.
    std::vector<MapRec> m_mapDir, m_mapMiniFat;
    QByteArray m_first; // the first directory sector, as read for the map
    std::vector<std::uint8_t> m_dirBad; // per directory sector: its bytes are not the map's
};

} // namespace v7::cfb::salvage
