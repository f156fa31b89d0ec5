// The "Stamps" stream of a folder storage: for each thumbnail the size and the
// modification time of the file it was made from, so a file edited or replaced
// under the same name gets a new thumbnail. Older readers ignore the stream; the
// "Index" stream is unchanged.
//
// Layout: records of three little-endian signed 64-bit numbers, StreamId (the
// thumbnail stream's NameCrc value), file size in bytes, modification time in
// nanoseconds since 1970-01-01 UTC. No header, no count.
//
// Threads: the functions are pure or act on the storage given; any thread.
#pragma once

#include "platform/Cfb.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <cstdint>
#include <utility>
#include <vector>

namespace v7
{

class ThumbIndex;

struct FileStamp {
    std::int64_t size = 0;
    std::int64_t mtimeNs = 0;
    friend bool operator==(const FileStamp &, const FileStamp &) = default;
};

using StampMap = QHash<std::int32_t, FileStamp>; // StreamId -> stamp

inline const QString StampsStreamName = QStringLiteral("Stamps");
constexpr int StampRecordSize = 24;
// More than this many bytes is not a stamps stream of ours: it is not read.
constexpr std::int64_t MaxStampsBytes = std::int64_t(StampRecordSize) * 4 * 1024 * 1024;

// Fills *out from the bytes. False (and *out empty) for a length that is not a
// whole number of records or a StreamId outside 32 bits; the first record of an
// id wins.
bool parseStamps(const QByteArray &bytes, StampMap *out);
// The stamps of the index's entries, in the index's order; entries without a stamp
// are left out.
QByteArray serializeStamps(const ThumbIndex &index, const StampMap &stamps);

// The stamp of a file on disk; false when it cannot be read.
bool fileStamp(const QString &path, FileStamp *out);

// Reads the folder storage's "Stamps"; a missing or malformed stream gives an empty map.
// *unreadable (when given) is set when the stream is there but does not read whole:
// its folder's thumbnails then have no trustworthy stamps and count as not current.
StampMap loadStamps(cfb::Storage &folder, bool *unreadable = nullptr);
// Replaces the folder storage's "Stamps" with the stamps of the index's entries.
bool saveStamps(cfb::Storage &folder, const ThumbIndex &index, const StampMap &stamps);

// Keeps the stamps in step with renamed or deleted thumbnails: each old name's stamp
// moves to its new StreamId (keep) or is dropped; then the stream is rewritten for
// the index given. Nothing is written when the folder has no stamps.
struct RenameTarget;
bool renameStamps(cfb::Storage &folder,
    const ThumbIndex &index,
    const std::vector<std::pair<QString, RenameTarget>> &renames,
    bool keep);

} // namespace v7
