// The folder index: which stream holds which file's thumbnail, and the names
// of those streams.
#include "core/Text.h"
#include "thumbs/OLEStorage.h"

#include <array>

namespace v7
{

namespace
{

    constexpr std::array<std::uint32_t, 256> makeCrcTable()
    {
        std::array<std::uint32_t, 256> t {};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }
    constexpr auto kCrcTable = makeCrcTable();

} // namespace

// ---- names -------------------------------------------------------------------

std::int32_t nameCrcValue(const QString &text)
{
    const QByteArray b = ansiBytes(text);
    std::uint32_t c = 0xFFFFFFFFu;
    for (char ch : b)
        c = kCrcTable[(c ^ std::uint8_t(ch)) & 0xFF] ^ (c >> 8);
    return std::int32_t(~c);
}

QString NameCrc(const QString &text)
{
    return QString::number(nameCrcValue(text));
}

// ---- the index ------------------------------------------------------------------

const IndexEntry *ThumbIndex::find(const QString &name) const
{
    const auto it = m_pos.constFind(name);
    return it == m_pos.constEnd() ? nullptr : &m_items[*it].first;
}

bool ThumbIndex::add(const IndexEntry &e)
{
    if (m_pos.contains(e.Name))
        return false;
    m_pos.insert(e.Name, m_items.size());
    if (m_owner.contains(e.StreamId))
        m_sharedIds = true;
    else
        m_owner.insert(e.StreamId, m_items.size());
    m_items.emplace_back(e, true);
    return true;
}

const QString *ThumbIndex::ownerOf(std::int32_t streamId) const
{
    const auto it = m_owner.constFind(streamId);
    return it == m_owner.constEnd() ? nullptr : &m_items[*it].first.Name;
}

bool ThumbIndex::ownsStream(const QString &name) const
{
    const IndexEntry *e = find(name);
    if (!e || e->StreamId != nameCrcValue(name))
        return false;
    const QString *owner = ownerOf(e->StreamId);
    return owner && *owner == name;
}

void ThumbIndex::rebuildOwners()
{
    m_owner.clear();
    m_sharedIds = false;
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        if (!m_items[i].second)
            continue;
        if (m_owner.contains(m_items[i].first.StreamId))
            m_sharedIds = true;
        else
            m_owner.insert(m_items[i].first.StreamId, i);
    }
}

bool ThumbIndex::remove(const QString &name)
{
    const auto it = m_pos.find(name);
    if (it == m_pos.end())
        return false;
    const std::size_t at = *it;
    m_items[at].second = false;
    m_pos.erase(it);
    const std::int32_t id = m_items[at].first.StreamId;
    const auto own = m_owner.constFind(id);
    bool rebuild = false;
    if (own != m_owner.constEnd() && *own == at) {
        m_owner.erase(own);
        rebuild = m_sharedIds; // another entry may claim the stream now
    }
    if (m_items.size() > 64 && m_items.size() > 2 * std::size_t(m_pos.size())) { // drop the holes
        std::vector<std::pair<IndexEntry, bool>> kept;
        kept.reserve(std::size_t(m_pos.size()));
        for (auto &item : m_items)
            if (item.second) {
                m_pos[item.first.Name] = kept.size();
                kept.push_back(std::move(item));
            }
        m_items.swap(kept);
        rebuild = true;
    }
    if (rebuild)
        rebuildOwners();
    return true;
}

void ThumbIndex::clear()
{
    m_items.clear();
    m_pos.clear();
    m_owner.clear();
    m_sharedIds = false;
}

bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

void parseIndex(const QByteArray &bytes, ThumbIndex *index)
{
    const auto *b = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype size = bytes.size();
    qsizetype p = 0;
    while (p + 10 <= size) {
        const std::size_t n = b[p + 8];
        if (p + 10 + qsizetype(n) > size)
            break; // a last record that runs past the end is not taken
        IndexEntry e;
        e.StreamId = std::int32_t(std::uint32_t(b[p]) | std::uint32_t(b[p + 1]) << 8 | std::uint32_t(b[p + 2]) << 16
            | std::uint32_t(b[p + 3]) << 24);
        e.ByteCount = std::int32_t(std::uint32_t(b[p + 4]) | std::uint32_t(b[p + 5]) << 8
            | std::uint32_t(b[p + 6]) << 16 | std::uint32_t(b[p + 7]) << 24);
        e.Name = fromAnsi(bytes.mid(p + 10, qsizetype(n)));
        index->add(e);
        p += 10 + qsizetype(n);
    }
}

QByteArray serializeIndex(const ThumbIndex &index)
{
    QByteArray out;
    index.forEach([&out](const IndexEntry &e) {
        const QByteArray name = ansiBytes(e.Name);
        char rec[10];
        for (int i = 0; i < 4; ++i) {
            rec[i] = char(std::uint32_t(e.StreamId) >> (8 * i));
            rec[4 + i] = char(std::uint32_t(e.ByteCount) >> (8 * i));
        }
        rec[8] = char(name.size());
        rec[9] = char(name.size() >> 8);
        out.append(rec, 10);
        out.append(name);
    });
    return out;
}

} // namespace v7
