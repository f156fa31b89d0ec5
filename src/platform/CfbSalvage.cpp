#include "platform/CfbSalvage.h"

#include "platform/CfbBytes.h"

#include <QFile>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace v7::cfb
{

namespace
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

    std::uint32_t le16(const char *p)
    {
        return std::uint32_t(std::uint8_t(p[0])) | std::uint32_t(std::uint8_t(p[1])) << 8;
    }
    std::uint32_t le32(const char *p)
    {
        return le16(p) | le16(p + 2) << 16;
    }

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

    bool Salvage::readHeader()
    {
        m_hdr.resize(512);
        if (::pread(m_fd, m_hdr.data(), 512, 0) != 512)
            return false;
        static const unsigned char sig[8] = { 0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1 };
        if (std::memcmp(m_hdr.constData(), sig, 8) != 0)
            return false;
        m_shift = le16(m_hdr.constData() + 0x1E);
        if (m_shift != 9 && m_shift != 12)
            return false;
        m_ssz = 1u << m_shift;
        m_eps = m_ssz / 4;
        struct stat st = {};
        if (::fstat(m_fd, &st) != 0 || st.st_size < off_t(m_ssz))
            return false;
        const std::uint64_t after = std::uint64_t(st.st_size) - m_ssz;
        m_sectors = std::uint32_t(std::min<std::uint64_t>((after + m_ssz - 1) / m_ssz, kMaxReg));
        return true;
    }

    void Salvage::readFat()
    {
        std::vector<std::uint32_t> fatLocs;
        const char *h = m_hdr.constData();
        for (std::uint32_t i = 0; i < 109; ++i) {
            const std::uint32_t s = le32(h + 0x4C + 4 * i);
            if (s >= m_sectors)
                break;
            fatLocs.push_back(s);
        }
        // The DIFAT chain: each sector lists FAT sectors and ends with the next one.
        std::vector<std::uint8_t> seen(m_sectors, 0);
        std::vector<char> buf(m_ssz);
        for (std::uint32_t d = le32(h + 0x44); d < m_sectors && !seen[d]; d = le32(buf.data() + m_ssz - 4)) {
            seen[d] = 1;
            m_tableSecs.push_back(d);
            if (!readSector(d, buf.data())) {
                m_r->problems.push_back(QStringLiteral("DIFAT sector %1 does not read").arg(d));
                break;
            }
            for (std::uint32_t i = 0; i + 1 < m_eps; ++i) {
                const std::uint32_t s = le32(buf.data() + 4 * i);
                if (s < m_sectors)
                    fatLocs.push_back(s);
            }
        }
        // Only as much FAT as the file has sectors.
        fatLocs.resize(std::min<std::size_t>(fatLocs.size(), (std::size_t(m_sectors) + m_eps - 1) / m_eps));
        m_next.assign(m_sectors, kUnknown);
        for (std::size_t k = 0; k < fatLocs.size(); ++k) {
            m_tableSecs.push_back(fatLocs[k]);
            if (!readSector(fatLocs[k], buf.data()))
                continue;
            for (std::uint32_t i = 0; i < m_eps && k * m_eps + i < m_sectors; ++i)
                m_next[k * m_eps + i] = le32(buf.data() + 4 * i);
        }
        if (std::size_t(m_sectors) > fatLocs.size() * m_eps)
            m_r->problems.push_back(QStringLiteral("the FAT does not cover the file"));
    }

    bool Salvage::sectorMatches(std::uint32_t s, std::uint32_t crc, bool rootSector) const
    {
        std::vector<char> buf(m_ssz);
        if (!readSector(s, buf.data()))
            return false;
        if (rootSector) // the root's class id holds the map's own place: left out of its sum
            std::memset(buf.data() + detail::kClsidAt, 0, 16);
        return detail::crcOf(buf.data(), m_ssz) == crc;
    }

    // The records of one kind of the sector map, each of its sectors checked
    // against the CRC its parent gives; empty when any of them does not check.
    std::vector<MapRec> Salvage::mapRecords(std::uint32_t kind) const
    {
        std::vector<char> top(m_ssz), buf(m_ssz);
        const char *c = m_first.constData(); // the root entry
        if (!readSector(le32(c + detail::kClsidAt + 8), top.data())
            || detail::crcOf(top.data(), m_ssz) != le32(c + detail::kClsidAt + 12))
            return {};
        const char *r = top.data() + 16 + 16 * kind;
        const std::uint32_t count = le32(r), depth = le32(r + 4);
        const std::uint64_t f = m_ssz / 8;
        if (count == 0 || count > m_sectors || depth > kMapMaxDepth)
            return {};
        // Nodes per level: leaves hold the records, each level above f children.
        std::vector<std::uint64_t> per(depth + 1);
        per[0] = (count + f - 1) / f;
        for (std::uint32_t l = 1; l <= depth; ++l)
            per[l] = (per[l - 1] + f - 1) / f;
        if (per[depth] != 1)
            return {};
        std::vector<MapRec> cur { { le32(r + 8), le32(r + 12) } }, next;
        for (std::uint32_t l = depth + 1; l-- > 0;) {
            const std::uint64_t want = l == 0 ? count : per[l - 1];
            next.clear();
            for (const MapRec &n : cur) {
                if (!readSector(n.loc, buf.data()) || detail::crcOf(buf.data(), m_ssz) != n.crc)
                    return {};
                for (std::uint64_t j = 0; j < f && next.size() < want; ++j)
                    next.push_back({ le32(buf.data() + 8 * j), le32(buf.data() + 8 * j + 4) });
            }
            if (next.size() != want)
                return {};
            cur.swap(next);
        }
        return cur;
    }

    // The map is trusted only when its top sector belongs to this header and this
    // commit, and the first directory sector is the one it records.
    void Salvage::readMap()
    {
        std::vector<char> first(m_ssz), top(m_ssz);
        const std::uint32_t dir0 = le32(m_hdr.constData() + 0x30);
        if (!readSector(dir0, first.data()))
            return;
        const char *c = first.data() + detail::kClsidAt;
        const std::uint32_t tx = le32(m_hdr.constData() + 0x34);
        if (std::uint8_t(first[66]) != 5 || std::memcmp(c, detail::kMapMagic, 4) != 0 || le32(c + 4) != tx)
            return;
        if (!readSector(le32(c + 8), top.data()) || detail::crcOf(top.data(), m_ssz) != le32(c + 12)
            || std::memcmp(top.data(), detail::kTopMagic, 4) != 0 || le32(top.data() + 4) != tx
            || le32(top.data() + 8) != detail::crcOf(m_hdr.constData(), 512) || le32(top.data() + 12) != m_ssz)
            return;
        m_first = QByteArray(first.data(), qsizetype(m_ssz));
        std::vector<MapRec> dir = mapRecords(kMapDir), miniFat = mapRecords(kMapMiniFat);
        if (dir.empty() || dir[0].loc != dir0 || !sectorMatches(dir0, dir[0].crc, true))
            return;
        for (const std::vector<MapRec> *v : { &dir, &miniFat })
            for (const MapRec &rec : *v)
                if (rec.loc >= m_sectors)
                    return;
        m_mapDir = std::move(dir);
        if (miniFat.size() == le32(m_hdr.constData() + 0x40))
            m_mapMiniFat = std::move(miniFat);
    }

    // Chains that start where no slot points and no entry begins: the far side of a break.
    void Salvage::findLooseChains()
    {
        m_pointed.assign(m_sectors, 0);
        for (std::uint32_t s = 0; s < m_sectors; ++s)
            if (m_next[s] < m_sectors)
                m_pointed[m_next[s]] = 1;
        m_loose.clear();
        std::vector<std::uint8_t> seen(m_sectors, 0);
        for (std::uint32_t s = 0; s < m_sectors && m_loose.size() < kMaxLoose; ++s) {
            const std::uint32_t v = m_next[s];
            if (m_pointed[s] || m_isHead[s] || (v != kEnd && v >= m_sectors))
                continue;
            Chain c = m_walk(m_next, s, 0, &seen);
            if (c.whole)
                m_loose.push_back(std::move(c));
        }
        m_looseUsed.assign(m_loose.size(), 0);
    }

    bool Salvage::looksLikeDirectory(const Chain &c) const
    {
        std::vector<char> buf(m_ssz);
        for (std::uint32_t s : c.secs) {
            if (!readSector(s, buf.data()))
                return false;
            for (std::uint32_t e = 0; e < m_ssz / kEntry; ++e) {
                const char *p = buf.data() + e * kEntry;
                const std::uint32_t type = std::uint8_t(p[66]), len = le16(p + 64);
                if (type == 0)
                    continue;
                if ((type != 1 && type != 2 && type != 5) || len < 2 || len > 64 || len % 2)
                    return false;
            }
        }
        return true;
    }

    // Joins a chain that breaks off to the one loose chain whose length makes it
    // whole (with or without the doubtful sector). A directory has no length:
    // the one loose chain that reads as directory sectors is taken.
    bool Salvage::mend(Chain *c, bool dirLike)
    {
        if ((c->needed == 0 && !dirLike) || (c->whole && readablePrefix(*c) == c->secs.size()))
            return false;
        const std::size_t keep = readablePrefix(*c);
        int found = -1;
        bool withDoubtful = false;
        for (std::size_t i = 0; i < m_loose.size(); ++i) {
            if (m_looseUsed[i])
                continue;
            const std::size_t len = m_loose[i].secs.size();
            bool fits = false, withD = false;
            if (dirLike) {
                fits = keep == c->secs.size() && looksLikeDirectory(m_loose[i]);
            } else if (c->needed) {
                fits = keep + len == c->needed;
                if (!fits && c->doubtful != kNone && keep == c->secs.size() && keep + 1 + len == c->needed)
                    fits = withD = true;
            }
            if (!fits)
                continue;
            if (found >= 0)
                return false; // two would do: neither is trusted
            found = int(i);
            withDoubtful = withD;
        }
        if (found < 0)
            return false;
        m_looseUsed[std::size_t(found)] = 1;
        c->secs.resize(keep);
        if (withDoubtful)
            c->secs.push_back(c->doubtful);
        c->secs.insert(c->secs.end(), m_loose[std::size_t(found)].secs.begin(), m_loose[std::size_t(found)].secs.end());
        c->doubtful = kNone;
        c->whole = true;
        return true;
    }

    void Salvage::readDirectory()
    {
        m_dir = m_walk(m_next, le32(m_hdr.constData() + 0x30), 0);
        m_dirBad.clear();
        if (!m_mapDir.empty()) {
            // The map says where every directory sector is, whatever the FAT says,
            // and which of them still hold the bytes that were written.
            m_dir = Chain();
            m_dir.whole = true;
            for (std::size_t k = 0; k < m_mapDir.size(); ++k) {
                m_dir.secs.push_back(m_mapDir[k].loc);
                m_dirBad.push_back(sectorMatches(m_mapDir[k].loc, m_mapDir[k].crc, k == 0) ? 0 : 1);
                if (m_dirBad.back())
                    m_r->problems.push_back(QStringLiteral("directory sector %1 is damaged").arg(k));
            }
        }
        const std::size_t perSector = m_ssz / kEntry;
        if (m_dir.secs.size() > kMaxEntries / perSector)
            m_dir.secs.resize(kMaxEntries / perSector);
        m_nodes.assign(m_dir.secs.size() * perSector, Node());
        std::vector<char> buf(m_ssz);
        for (std::size_t k = 0; k < m_dir.secs.size(); ++k) {
            if ((k < m_dirBad.size() && m_dirBad[k]) || !readSector(m_dir.secs[k], buf.data()))
                continue;
            for (std::size_t e = 0; e < perSector; ++e) {
                const char *p = buf.data() + e * kEntry;
                Node &n = m_nodes[k * perSector + e];
                n.type = std::uint8_t(p[66]);
                const std::uint32_t len = le16(p + 64);
                bool ok = (n.type == 1 || n.type == 2 || (n.type == 5 && k == 0 && e == 0)) && len >= 4 && len <= 64
                    && len % 2 == 0 && std::uint8_t(p[67]) <= 1 && le16(p + len - 2) == 0;
                for (std::uint32_t i = 0; ok && i + 2 < len; i += 2)
                    ok = le16(p + i) != 0;
                n.valid = ok;
                n.left = le32(p + 68);
                n.right = le32(p + 72);
                n.child = le32(p + 76);
                n.start = le32(p + 116);
                n.size = le32(p + 120); // version 3 ignores the high half
                if (m_shift == 12)
                    n.size |= std::uint64_t(le32(p + 124)) << 32;
            }
        }
    }

    QString Salvage::nameOf(std::uint32_t id) const
    {
        const std::size_t perSector = m_ssz / kEntry;
        std::vector<char> buf(m_ssz);
        if (!readSector(m_dir.secs[id / perSector], buf.data()))
            return {};
        const char *p = buf.data() + (id % perSector) * kEntry;
        const std::uint32_t len = le16(p + 64);
        QString name;
        for (std::uint32_t i = 0; i + 2 < len; i += 2)
            name.append(QChar(char16_t(le16(p + i))));
        return name;
    }

    // Entries of a storage's sibling tree, each taken once in the whole file; a
    // node that does not read as an entry ends its branch.
    std::vector<std::uint32_t> Salvage::childrenOf(std::uint32_t id)
    {
        std::vector<std::uint32_t> out, stack { m_nodes[id].child };
        while (!stack.empty()) {
            const std::uint32_t k = stack.back();
            stack.pop_back();
            if (k >= m_nodes.size() || m_reached[k] || !m_nodes[k].valid || m_nodes[k].type == 5)
                continue;
            m_reached[k] = 1;
            out.push_back(k);
            stack.push_back(m_nodes[k].left);
            stack.push_back(m_nodes[k].right);
        }
        return out;
    }

    void Salvage::readMini()
    {
        m_miniChains.assign(m_nodes.size(), Chain());
        const Node &root = m_nodes.empty() ? Node() : m_nodes[0];
        if (m_nodes.empty() || !root.valid || root.type != 5)
            return;
        // The mini stream, as far as its chain reads.
        Chain &ms = m_chains[0];
        const std::size_t keep = readablePrefix(ms);
        if (!ms.whole || keep < ms.secs.size())
            m_r->problems.push_back(
                QStringLiteral("the mini stream breaks off after %1 of %2 sectors").arg(keep).arg(ms.needed));
        const std::uint64_t bytes = std::min<std::uint64_t>(root.size, std::uint64_t(keep) * m_ssz);
        m_miniStream.resize(qsizetype(bytes));
        for (std::size_t k = 0; k < keep && std::uint64_t(k) * m_ssz < bytes; ++k) {
            std::vector<char> buf(m_ssz);
            readSector(ms.secs[k], buf.data());
            const std::uint64_t n = std::min<std::uint64_t>(m_ssz, bytes - std::uint64_t(k) * m_ssz);
            std::memcpy(m_miniStream.data() + k * m_ssz, buf.data(), n);
        }
        // The MiniFAT, as far as its chain reads.
        const Chain &mf = m_miniFat;
        const std::size_t mfKeep = readablePrefix(mf);
        if (!mf.whole || mfKeep < mf.secs.size())
            m_r->problems.push_back(
                QStringLiteral("the MiniFAT breaks off after %1 of %2 sectors").arg(mfKeep).arg(mf.needed));
        const std::uint64_t miniSectors = std::uint64_t(m_miniStream.size()) / kMini;
        m_miniNext.assign(mfKeep * m_eps, kUnknown);
        std::vector<char> buf(m_ssz);
        std::vector<std::size_t> bad;
        for (std::size_t k = 0; k < mfKeep; ++k) {
            if (k < m_mapMiniFat.size() && !sectorMatches(mf.secs[k], m_mapMiniFat[k].crc, false)) {
                m_r->problems.push_back(QStringLiteral("MiniFAT sector %1 is damaged").arg(k));
                bad.push_back(k); // its slots stay unknown unless rebuilt
                continue;
            }
            if (!readSector(mf.secs[k], buf.data()))
                continue;
            for (std::uint32_t i = 0; i < m_eps && k * m_eps + i < m_miniNext.size(); ++i)
                m_miniNext[k * m_eps + i] = le32(buf.data() + 4 * i);
        }
        for (std::size_t i = 0; i < bad.size() && i < kMaxRebuilds; ++i)
            rebuildMiniFatSector(bad[i]);
        // Mini sectors past what the mini stream gives are not there to read.
        m_miniClaims.assign(m_miniNext.size(), 0);
        for (std::size_t m = miniSectors; m < m_miniClaims.size(); ++m)
            m_miniClaims[m] = 2;
        for (std::size_t i = 1; i < m_nodes.size(); ++i) {
            const Node &n = m_nodes[i];
            if (!n.valid || n.type != 2 || n.size == 0 || n.size >= kMiniCutoff)
                continue;
            m_miniChains[i] = m_miniWalk(m_miniNext, n.start, (n.size + kMini - 1) / kMini);
            for (std::uint32_t m : m_miniChains[i].secs)
                if (m_miniClaims[m] < 2)
                    ++m_miniClaims[m];
        }
    }

    // A damaged MiniFAT sector written again from what the rest of the file says:
    // each chain that runs into it goes on to the next mini sector, or else to the
    // one loose chain whose length completes it, and ends where its size does; the
    // other slots are free. Taken only when the result has the CRC-32 the map
    // records for the sector, so a wrong guess is never used.
    void Salvage::rebuildMiniFatSector(std::size_t k)
    {
        const std::size_t n = m_miniNext.size(), base = k * m_eps;
        if (base + m_eps > n || std::size_t(m_eps) * 4 != m_ssz)
            return;
        auto inside = [&](std::size_t m) { return m >= base && m < base + m_eps; };
        std::vector<std::uint8_t> isHead(n, 0), pointed(n, 0), taken(n, 0);
        std::vector<std::pair<std::uint32_t, std::uint64_t>> streams; // start, mini sectors
        for (std::size_t i = 1; i < m_nodes.size(); ++i) {
            const Node &nd = m_nodes[i];
            if (!nd.valid || nd.type != 2 || nd.size == 0 || nd.size >= kMiniCutoff || nd.start >= n)
                continue;
            isHead[nd.start] = 1;
            streams.push_back({ nd.start, (nd.size + kMini - 1) / kMini });
        }
        for (std::size_t m = 0; m < n; ++m)
            if (!inside(m) && m_miniNext[m] < n)
                pointed[m_miniNext[m]] = 1;
        // The length of the known chain from m to its end; 0 when it does not end.
        auto tailLength = [&](std::size_t m) -> std::uint64_t {
            std::uint64_t len = 1;
            for (std::size_t s = m; len <= 64; ++len) {
                const std::uint32_t v = m_miniNext[s];
                if (v == kEnd)
                    return len;
                if (v >= n || inside(v))
                    return 0;
                s = v;
            }
            return 0;
        };
        // Where a chain may go on outside the sector: the start of a known chain
        // nothing else leads to, with its length.
        std::vector<std::pair<std::uint32_t, std::uint64_t>> loose;
        for (std::size_t m = 0; m < n; ++m)
            if (!inside(m) && !pointed[m] && !isHead[m])
                if (const std::uint64_t len = tailLength(m))
                    loose.push_back({ std::uint32_t(m), len });
        std::vector<std::uint32_t> guess(m_eps, kNone);
        for (const auto &[start, needed] : streams) {
            std::size_t s = start;
            for (std::uint64_t c = 0; c + 1 < needed; ++c) {
                if (taken[s])
                    return;
                taken[s] = 1;
                if (!inside(s)) {
                    if (m_miniNext[s] >= n)
                        return;
                    s = m_miniNext[s];
                    continue;
                }
                std::size_t t = s + 1;
                if (t >= n || isHead[t] || taken[t] || (!inside(t) && pointed[t])) {
                    t = n;
                    for (const auto &[m, len] : loose) {
                        if (taken[m] || len != needed - c - 1)
                            continue;
                        if (t != n)
                            return; // two would do
                        t = m;
                    }
                    if (t == n)
                        return;
                }
                guess[s - base] = std::uint32_t(t);
                s = t;
            }
            if (inside(s))
                guess[s - base] = kEnd;
        }
        std::vector<char> bytes(m_ssz);
        for (std::uint32_t i = 0; i < m_eps; ++i)
            for (int b = 0; b < 4; ++b)
                bytes[4 * i + b] = char(guess[i] >> (8 * b));
        if (detail::crcOf(bytes.data(), m_ssz) != m_mapMiniFat[k].crc)
            return;
        std::copy(guess.begin(), guess.end(), m_miniNext.begin() + std::ptrdiff_t(base));
        m_r->problems.push_back(QStringLiteral("MiniFAT sector %1 was rebuilt").arg(k));
    }

    QByteArray Salvage::streamBytes(std::uint32_t id, const QString &where)
    {
        const Node &n = m_nodes[id];
        QByteArray out;
        if (n.size == 0)
            return out;
        std::uint64_t got = 0;
        if (n.size < kMiniCutoff) {
            const Chain &c = m_miniChains[id];
            std::size_t k = 0;
            while (k < c.secs.size() && m_miniClaims[c.secs[k]] < 2)
                ++k;
            got = std::min<std::uint64_t>(n.size, std::uint64_t(k) * kMini);
            out.resize(qsizetype(got));
            for (std::size_t i = 0; std::uint64_t(i) * kMini < got; ++i)
                std::memcpy(out.data() + i * kMini,
                    m_miniStream.constData() + std::uint64_t(c.secs[i]) * kMini,
                    std::size_t(std::min<std::uint64_t>(kMini, got - std::uint64_t(i) * kMini)));
        } else {
            const Chain &c = m_chains[id];
            const std::size_t k = readablePrefix(c);
            got = std::min<std::uint64_t>(n.size, std::uint64_t(k) * m_ssz);
            if (got > 0x7FFF0000)
                got = 0; // more than a byte array holds: not a stream of a cache
            out.resize(qsizetype(got));
            std::vector<char> buf(m_ssz);
            for (std::size_t i = 0; std::uint64_t(i) * m_ssz < got; ++i) {
                readSector(c.secs[i], buf.data());
                std::memcpy(out.data() + i * m_ssz,
                    buf.data(),
                    std::size_t(std::min<std::uint64_t>(m_ssz, got - std::uint64_t(i) * m_ssz)));
            }
        }
        if (got == 0) {
            ++m_r->lostStreams;
            m_r->problems.push_back(where + QStringLiteral(": nothing of it reads"));
        } else if (got < n.size) {
            ++m_r->cutStreams;
            m_r->problems.push_back(where + QStringLiteral(": %1 of %2 bytes read").arg(got).arg(n.size));
        }
        return out;
    }

    bool Salvage::copyStorage(std::uint32_t id, Storage &into, const QString &where, int depth)
    {
        const std::uint32_t rw = mode::ReadWrite | mode::ShareExclusive;
        for (std::uint32_t k : childrenOf(id)) {
            const QString name = nameOf(k), at = where + QLatin1Char('/') + name;
            if (m_nodes[k].type == 1) {
                if (depth > 64)
                    continue;
                Status st;
                Storage sub = into.createStorage(name, rw, &st);
                if (!sub.isOpen()) {
                    m_r->problems.push_back(at + QStringLiteral(": cannot be copied (%1)").arg(statusText(st)));
                    continue;
                }
                ++m_r->storages;
                if (!copyStorage(k, sub, at, depth + 1))
                    return false;
                continue;
            }
            const QByteArray bytes = streamBytes(k, at);
            if (bytes.isEmpty() && m_nodes[k].size > 0)
                continue;
            Status st;
            Stream s = into.createStream(name, rw, &st);
            if (!s.isOpen()) {
                m_r->problems.push_back(at + QStringLiteral(": cannot be copied (%1)").arg(statusText(st)));
                continue;
            }
            if (s.write(bytes) != Status::Ok)
                return false;
            if (qsizetype(m_nodes[k].size) == bytes.size())
                ++m_r->streams;
        }
        return true;
    }

    // Every stream's chain in big sectors (the root's is the mini stream's), and
    // where chains start.
    void Salvage::walkChains()
    {
        m_isHead.assign(m_sectors, 0);
        auto head = [this](std::uint32_t s) {
            if (s < m_sectors)
                m_isHead[s] = 1;
        };
        head(le32(m_hdr.constData() + 0x30));
        head(le32(m_hdr.constData() + 0x3C));
        for (std::uint32_t s : m_dir.secs)
            head(s); // a directory joined again is no longer loose
        m_chains.assign(m_nodes.size(), Chain());
        for (std::size_t i = 0; i < m_nodes.size(); ++i) {
            const Node &n = m_nodes[i];
            if (!n.valid || (n.type != 2 && n.type != 5) || (n.type == 2 && n.size < kMiniCutoff) || n.size == 0)
                continue;
            head(n.start);
            m_chains[i] = m_walk(m_next, n.start, (n.size + m_ssz - 1) / m_ssz);
        }
        m_miniFat = m_walk(m_next, le32(m_hdr.constData() + 0x3C), le32(m_hdr.constData() + 0x40));
        if (!m_mapMiniFat.empty()) {
            m_miniFat = Chain();
            m_miniFat.needed = m_mapMiniFat.size();
            m_miniFat.whole = true;
            for (const MapRec &rec : m_mapMiniFat)
                m_miniFat.secs.push_back(rec.loc);
        }
    }

    void Salvage::countClaims()
    {
        m_claims.assign(m_sectors, 0);
        claim(m_tableSecs, &m_claims);
        claim(m_tableSecs, &m_claims); // table sectors are never a stream's
        claim(m_dir.secs, &m_claims);
        claim(m_miniFat.secs, &m_claims);
        for (const Chain &c : m_chains)
            claim(c.secs, &m_claims);
    }

    Status Salvage::run(const QString &path, const QString &dest)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0 || !readHeader()) {
            m_r->problems.push_back(QStringLiteral("the header does not read"));
            return Status::Corrupt;
        }
        readFat();
        readMap();
        readDirectory();
        walkChains();
        findLooseChains();
        countClaims();
        if (!m_dir.whole && mend(&m_dir, true)) {
            // The far side of the directory: its entries, their chains, the rest loose.
            m_r->problems.push_back(QStringLiteral("the directory broke off and was joined again"));
            readDirectory();
            walkChains();
            findLooseChains();
            countClaims();
        } else if (!m_dir.whole) {
            m_r->problems.push_back(QStringLiteral("the directory breaks off after %1 sectors").arg(m_dir.secs.size()));
        }
        // Mend what broke off, then count the claims again with the mended chains.
        bool mended = mend(&m_miniFat, false);
        for (Chain &c : m_chains)
            mended = mend(&c, false) || mended;
        if (mended) {
            countClaims();
            m_r->problems.push_back(QStringLiteral("broken chains were joined again"));
        }
        readMini();

        Status st;
        Storage out = Storage::create(dest, mode::ReadWrite | mode::ShareExclusive | mode::Create, &st);
        if (!out.isOpen())
            return Status::IoError;
        m_reached.assign(m_nodes.size(), 0);
        const bool haveRoot = !m_nodes.empty() && m_nodes[0].valid && m_nodes[0].type == 5;
        if (!haveRoot)
            m_r->problems.push_back(QStringLiteral("the root entry does not read"));
        else
            m_reached[0] = 1;
        if (haveRoot && !copyStorage(0, out, QString(), 0))
            return Status::IoError;
        // Storages the tree no longer reaches: put in the root, with what they hold.
        int loose = 0;
        for (std::uint32_t i = 0; i < m_nodes.size(); ++i) {
            if (m_reached[i] || !m_nodes[i].valid || m_nodes[i].type != 1)
                continue;
            m_reached[i] = 1;
            const QString name = nameOf(i);
            Storage sub = out.createStorage(name, mode::ReadWrite | mode::ShareExclusive);
            if (!sub.isOpen())
                continue;
            ++loose;
            ++m_r->storages;
            if (!copyStorage(i, sub, QLatin1Char('/') + name, 1))
                return Status::IoError;
        }
        if (loose)
            m_r->problems.push_back(QStringLiteral("%1 storages found outside the directory tree").arg(loose));
        if (out.commit() != Status::Ok)
            return Status::IoError;
        return Status::Ok;
    }
} // namespace

Status salvageCompoundFile(const QString &path, const QString &dest, SalvageResult *out)
{
    SalvageResult local;
    SalvageResult *r = out ? out : &local;
    *r = SalvageResult();
    Salvage s(r);
    const Status st = s.run(path, dest);
    if (st != Status::Ok && st != Status::Corrupt)
        QFile::remove(dest);
    return st;
}

} // namespace v7::cfb
