#include "platform/CfbSalvage.h"

#include "platform/CfbSalvageInternal.h"

#include <QFile>
#include <fcntl.h>
#include <sys/stat.h>

namespace v7::cfb
{

namespace salvage
{
    bool Salvage::readHeader()
    {
        m_hdr.resize(512);
        if (::pread(m_fd, m_hdr.data(), 512, 0) != 512)
            return false;
        if (std::memcmp(m_hdr.constData(), detail::kSignature, 8) != 0)
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
            m_r->problems.push_back(Storage::UncoveredTail);
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
} // namespace salvage

Status salvageCompoundFile(const QString &path, const QString &dest, SalvageResult *out)
{
    SalvageResult local;
    SalvageResult *r = out ? out : &local;
    *r = SalvageResult();
    salvage::Salvage s(r);
    const Status st = s.run(path, dest);
    if (st != Status::Ok && st != Status::Corrupt)
        QFile::remove(dest);
    return st;
}

} // namespace v7::cfb
