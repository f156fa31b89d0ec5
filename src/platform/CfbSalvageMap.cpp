// The salvage reader's use of the sector map: which directory and MiniFAT
// sectors still hold what the last commit wrote, and the rebuild of a damaged
// MiniFAT sector that the map's CRC confirms.
#include "platform/CfbSalvageInternal.h"

namespace v7::cfb::salvage
{

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

} // namespace v7::cfb::salvage
