// Sector allocation, stream data and edits of the element tree.
#include "platform/CfbBytes.h"
#include "platform/CfbFile.h"

#include <QByteArray>
#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace v7::cfb::detail
{

// ---- allocation ------------------------------------------------------------

Status File::allocSector(std::uint32_t *out)
{
    const std::uint32_t i = firstFree();
    const auto n = std::uint32_t(m_used.size());
    if (i == n) {
        const std::uint64_t end = sectorOffset(i) + m_ssz;
        if (i >= MaxRegSect || (m_major == 3 && end > kV3Limit))
            return Status::TooLarge;
        m_used.push_back(0);
    }
    m_used[i] = 1;
    m_allocHint = i + 1;
    m_freeKnown.erase(i);
    ++m_allocated[0];
    *out = i;
    return Status::Ok;
}

bool File::takeable(std::uint32_t s)
{
    // Protection first: with a reader about every sector is protected, and
    // nothing needs reading to know it.
    if (s < m_protected.size() && m_protected[s] == 1)
        return false;
    return !sectorUsed(s) && !isProtected(s);
}

std::uint32_t File::firstFree()
{
    const auto n = std::uint32_t(m_used.size());
    if (m_lazyWriter) {
        // With a reader about, the file's sectors are all held: new ones go past
        // its end, where this writer knows every sector's use.
        if (m_holdAll) {
            std::uint32_t i = std::max(m_allocHint, std::uint32_t(m_protected.size()));
            while (i < n && m_used[i])
                ++i;
            return m_allocHint = i;
        }
        // Among the sectors it knows may be free first, then reading on through
        // the FAT where the last writer stopped: a commit reads what it needs,
        // not the whole FAT.
        for (;;) {
            for (auto it = m_freeKnown.lower_bound(m_allocHint); it != m_freeKnown.end();) {
                const std::uint32_t s = *it;
                if (s < n && takeable(s))
                    return m_allocHint = s;
                if (s >= n || m_used[s] == 1)
                    it = m_freeKnown.erase(it);
                else
                    ++it; // free but still held by the committed state: the next commit's
            }
            const std::uint32_t from = m_rest[0];
            if (!lookFurther(false))
                return m_allocHint = n;
            m_allocHint = std::min(m_allocHint, from - from % m_eps);
        }
    }
    while (m_allocHint < n && !takeable(m_allocHint))
        ++m_allocHint;
    return m_allocHint;
}

bool File::moveDown(bool same, std::uint32_t loc)
{
    const bool budgeted = same && m_lazyWriter;
    if ((budgeted && m_moveBudget <= 0) || firstFree() >= loc)
        return false;
    if (budgeted)
        --m_moveBudget;
    return true;
}

bool File::lookFurther(bool mini)
{
    std::uint32_t &rest = m_rest[mini];
    const std::uint32_t n = mini ? m_miniCount : std::uint32_t(m_used.size());
    if (rest >= n || m_looked[mini] >= kLookPerCommit + m_allocated[mini] / kAllocsPerLook)
        return false;
    const std::uint32_t k = rest / m_eps;
    if (k >= (mini ? m_miniFatIn : m_fatIn).size()) {
        rest = n; // past what the table covers: all made this session, so all known
        return false;
    }
    ++m_looked[mini];
    if (Status st = loadTablePage(mini, k); st != Status::Ok) {
        m_stopped = m_stopped || st != Status::Corrupt; // and Corrupt marked it damaged
        rest = n;
        return false;
    }
    rest = (k + 1) * m_eps;
    return true;
}

void File::freeSector(std::uint32_t s)
{
    if (s < m_used.size()) {
        m_used[s] = 0;
        if (m_lazyWriter) {
            m_freedSectors.push_back(s);
            m_freeKnown.insert(s);
        }
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
    if (m_lazyWriter) {
        // As firstFree: among those it knows may be free, then reading on.
        for (m = m_miniCount;;) {
            for (auto it = m_miniFreeKnown.lower_bound(m_miniHint); it != m_miniFreeKnown.end();) {
                if (*it < m_miniCount && !miniUsed(*it)) {
                    m = *it;
                    break;
                }
                it = m_miniFreeKnown.erase(it);
            }
            const std::uint32_t from = m_rest[1];
            if (m < m_miniCount || !lookFurther(true))
                break;
            m_miniHint = std::min(m_miniHint, from - from % m_eps);
        }
    } else {
        while (m < m_miniCount && m_miniUsed[m])
            ++m;
    }
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
    m_miniFreeKnown.erase(m);
    ++m_allocated[1];
    *out = m;
    return Status::Ok;
}

void File::freeMini(std::uint32_t m)
{
    if (m < m_miniUsed.size()) {
        m_miniUsed[m] = 0;
        if (m_lazyWriter) {
            m_freedMinis.push_back(m);
            m_miniFreeKnown.insert(m);
        }
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
    if (m_mapped) {
        // The mini stream's sectors are found one by one through the map.
        return forEachRun(
            chain, pos, n, MiniSize, [&](std::uint32_t first, std::uint32_t off, std::uint64_t len, std::uint32_t) {
                std::uint64_t at = std::uint64_t(first) * MiniSize + off;
                while (len > 0) {
                    const std::uint64_t o = at % m_ssz, step = std::min<std::uint64_t>(len, m_ssz - o);
                    std::uint32_t s = 0;
                    if (Status st = miniLoc(std::uint32_t(at / m_ssz), &s); st != Status::Ok)
                        return st;
                    if (!preadAll(buf, std::size_t(step), sectorOffset(s) + o))
                        return Status::IoError;
                    buf += step;
                    at += step;
                    len -= step;
                }
                return Status::Ok;
            });
    }
    return forEachRun(
        chain, pos, n, MiniSize, [&](std::uint32_t first, std::uint32_t off, std::uint64_t len, std::uint32_t) {
            const std::uint64_t at = std::uint64_t(first) * MiniSize + off;
            if (Status s = needRecs(MapMini, at / m_ssz, (at + len - 1) / m_ssz); s != Status::Ok)
                return s;
            const Status s = readChain(m_miniChain, at, buf, len);
            buf += len;
            return s;
        });
}

Status File::writeMini(const std::vector<std::uint32_t> &chain, std::uint64_t pos, const char *data, std::uint64_t n)
{
    // Copy-on-write happens one level down, on the sectors that hold the mini stream.
    return forEachRun(
        chain, pos, n, MiniSize, [&](std::uint32_t first, std::uint32_t off, std::uint64_t len, std::uint32_t) {
            // A sector that moves changes its neighbours' links too.
            const std::uint64_t at = std::uint64_t(first) * MiniSize + off;
            const std::uint64_t from = at / m_ssz;
            if (Status s = needRecs(MapMini, from > 0 ? from - 1 : 0, (at + len - 1) / m_ssz + 1); s != Status::Ok)
                return s;
            const Status s = writeChain(m_miniChain, at, data, len);
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
    if (Status s = loadChain(id); s != Status::Ok)
        return s;
    m_dirty = true;
    if (pos + n > m_entries[id].size)
        if (Status s = resizeChain(m_entries[id], pos + n); s != Status::Ok)
            return s;
    Entry &e = m_entries[id];
    return e.inMini() ? writeMini(e.chain, pos, data, n) : writeChain(e.chain, pos, data, n);
}

Status File::setSize(std::uint32_t id, std::uint64_t size)
{
    if (Status s = loadChain(id); s != Status::Ok)
        return s;
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
        // A reader looking up one name searches the tree on disk. Only a tree
        // that may be out of order is walked whole when the search misses: one
        // under a sector map was written by us, always as a proper tree, and
        // its sectors are checked as they are read, so a miss there is a miss.
        if (Status s = searchTree(parent, key, id); s != Status::FileNotFound || m_mapped)
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
    // A lazy writer puts a child into a tree it has not loaded along the search
    // path alone: loading a tree of ten thousand folders to add one would read
    // and write them all.
    bool pathOnly = false;
    if (m_lazyWriter && !m_entries[parent].childrenLoaded && !m_entries[parent].treeDirty) {
        std::uint32_t there = NoStream;
        const Status s = searchTree(parent, key, &there, &pathOnly);
        if (s == Status::Ok)
            return Status::FileAlreadyExists;
        if (s != Status::FileNotFound)
            return s;
    }
    if (!pathOnly) {
        if (Status s = loadChildren(parent); s != Status::Ok)
            return s;
        if (m_entries[parent].children.count(key))
            return Status::FileAlreadyExists;
    }
    std::uint32_t slot = NoStream;
    if (m_lazyWriter) {
        // Only slots known to be free: scanning the directory for one would read it whole.
        auto take = [this](std::uint32_t c) {
            return c > 0 && c < m_entries.size() && (c >= m_diskEntries || parseEntry(c) == Status::Ok)
                && m_entries[c].type == TypeFree;
        };
        while (slot == NoStream && !m_freeSlots.empty()) {
            const std::uint32_t c = *m_freeSlots.begin();
            m_freeSlots.erase(m_freeSlots.begin());
            if (take(c))
                slot = c;
        }
        while (slot == NoStream && !m_freeRanges.empty()) {
            auto &run = m_freeRanges.front();
            const std::uint32_t c = run.first++;
            if (--run.second == 0)
                m_freeRanges.erase(m_freeRanges.begin());
            if (take(c))
                slot = c;
        }
    } else {
        slot = std::max<std::uint32_t>(1, m_entryHint);
        while (slot < m_entries.size() && m_entries[slot].type != TypeFree)
            ++slot;
        m_entryHint = slot + 1;
    }
    if (slot == NoStream || slot == m_entries.size()) {
        if (m_entries.size() >= MaxRegSect)
            return Status::TooLarge;
        slot = m_entries.append(m_genBase++);
    }
    Entry &e = m_entries[slot];
    const std::uint32_t gen = e.gen;
    e = Entry {};
    e.gen = gen;
    e.parsed = true; // its state is this, not what the directory held
    e.name = n;
    e.type = type;
    e.parent = parent;
    e.childrenLoaded = e.chainLoaded = true;
    if (type == TypeStorage)
        e.ctime = e.mtime = fileTimeNow();
    if (!pathOnly) // else the children are found by walking the tree when first needed
        m_entries[parent].children.emplace(key, slot);
    // A lazy writer's trees were checked when loaded (or are ours, under the
    // map): one insert keeps the rest of the tree, and the directory sectors
    // that hold it, as they are.
    if (!m_lazyWriter || m_entries[parent].treeDirty) {
        m_entries[parent].treeDirty = true;
    } else if (Status s = insertIntoTree(parent, slot); s != Status::Ok) {
        // A tree left half turned is no state to commit.
        m_stopped = true;
        return damaged(s);
    }
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
    again.parsed = true; // free now, whatever the directory held
    if (m_lazyWriter)
        m_freeSlots.insert(id);
}

Status File::loadSubtree(std::uint32_t id)
{
    if (m_entries[id].type == TypeStream)
        return loadChain(id);
    if (Status s = loadChildren(id); s != Status::Ok)
        return s;
    std::vector<std::uint32_t> kids;
    for (const auto &kv : m_entries[id].children)
        kids.push_back(kv.second);
    for (std::uint32_t k : kids)
        if (Status s = loadSubtree(k); s != Status::Ok)
            return s;
    return Status::Ok;
}

Status File::destroy(std::uint32_t id)
{
    // Everything it frees must be known, and the parent's tree loaded to be rebuilt.
    if (Status s = loadChildren(m_entries[id].parent); s != Status::Ok)
        return s;
    if (Status s = loadSubtree(id); s != Status::Ok)
        return s;
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
    if (Status s = loadChildren(m_entries[id].parent); s != Status::Ok)
        return s;
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

} // namespace v7::cfb::detail
