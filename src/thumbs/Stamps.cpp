#include "thumbs/Stamps.h"

#include "thumbs/OLEStorage.h"

#include <QFile>
#include <cstring>
#include <limits>
#include <sys/stat.h>

namespace v7
{

namespace
{
    std::int64_t readLe64(const char *p)
    {
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i)
            v = (v << 8) | std::uint8_t(p[i]);
        return std::int64_t(v);
    }

    void appendLe64(QByteArray &out, std::int64_t value)
    {
        const std::uint64_t v = std::uint64_t(value);
        for (int i = 0; i < 8; ++i)
            out.append(char((v >> (8 * i)) & 0xFF));
    }
} // namespace

bool parseStamps(const QByteArray &bytes, StampMap *out)
{
    out->clear();
    if (bytes.size() % StampRecordSize != 0 || bytes.size() > MaxStampsBytes)
        return false;
    const char *p = bytes.constData();
    for (qsizetype at = 0; at < bytes.size(); at += StampRecordSize) {
        const std::int64_t id = readLe64(p + at);
        if (id < std::numeric_limits<std::int32_t>::min() || id > std::numeric_limits<std::int32_t>::max()) {
            out->clear();
            return false;
        }
        if (!out->contains(std::int32_t(id)))
            out->insert(std::int32_t(id), { readLe64(p + at + 8), readLe64(p + at + 16) });
    }
    return true;
}

QByteArray serializeStamps(const ThumbIndex &index, const StampMap &stamps)
{
    QByteArray out;
    out.reserve(index.size() * StampRecordSize);
    index.forEach([&](const IndexEntry &e) {
        const auto it = stamps.constFind(e.StreamId);
        if (it == stamps.constEnd())
            return;
        appendLe64(out, e.StreamId);
        appendLe64(out, it->size);
        appendLe64(out, it->mtimeNs);
    });
    return out;
}

bool fileStamp(const QString &path, FileStamp *out)
{
    struct stat st {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    out->size = std::int64_t(st.st_size);
    out->mtimeNs = std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

StampMap loadStamps(cfb::Storage &folder, bool *unreadable)
{
    StampMap map;
    if (unreadable)
        *unreadable = false;
    if (!folder.isOpen())
        return map;
    cfb::Stream s = folder.openStream(StampsStreamName, cfb::mode::Read | cfb::mode::ShareExclusive);
    if (!s.isOpen())
        return map; // no stamps at all: a cache from before stamps
    std::uint64_t size = 0;
    std::uint64_t got = 0;
    QByteArray bytes;
    bool ok = s.size(&size) == cfb::Status::Ok && size <= std::uint64_t(MaxStampsBytes);
    if (ok) {
        bytes.resize(qsizetype(size));
        ok = s.read(bytes.data(), size, &got) == cfb::Status::Ok && got == size && parseStamps(bytes, &map);
    }
    if (!ok) {
        map.clear();
        if (unreadable)
            *unreadable = true;
    }
    return map;
}

bool saveStamps(cfb::Storage &folder, const ThumbIndex &index, const StampMap &stamps)
{
    if (!folder.isOpen())
        return false;
    const QByteArray bytes = serializeStamps(index, stamps);
    // Not committed here: in direct mode a stream's commit writes the whole file,
    // and a kill between it and the index's commit would pair new stamps with an
    // old index. The caller's one commit takes both.
    return folder.writeStream(StampsStreamName, bytes, cfb::mode::ReadWrite | cfb::mode::ShareExclusive)
        == cfb::Status::Ok;
}

bool renameStamps(cfb::Storage &folder,
    const ThumbIndex &index,
    const std::vector<std::pair<QString, RenameTarget>> &renames,
    bool keep)
{
    StampMap stamps = loadStamps(folder);
    if (stamps.isEmpty())
        return false;
    for (const auto &[oldName, target] : renames) {
        const auto it = stamps.constFind(nameCrcValue(oldName));
        if (it == stamps.constEnd())
            continue;
        const FileStamp stamp = *it;
        stamps.erase(it);
        if (keep && !target.streamIdText.isEmpty())
            stamps.insert(std::int32_t(target.streamIdText.toInt()), stamp);
    }
    return saveStamps(folder, index, stamps);
}

} // namespace v7
