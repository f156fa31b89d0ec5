// Byte order, lock ranges and small helpers shared by the compound-file engine.
#pragma once

#include "platform/Cfb.h"

#include <QByteArray>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <zlib.h>

namespace v7::cfb::detail
{

inline const unsigned char kSignature[8] = { 0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1 };

// Lock bytes far beyond any version-3 file: advisory locks never touch data.
constexpr off_t kLockWriter = 0x7FFFFFFF0000LL;
constexpr off_t kLockReaders = kLockWriter + 1;
constexpr off_t kLockHeader = kLockWriter + 2;

// A version-3 file may not grow past 2 GB.
constexpr std::uint64_t kV3Limit = 0x80000000ULL;

inline std::uint32_t le32(const char *p)
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return std::uint32_t(u[0]) | std::uint32_t(u[1]) << 8 | std::uint32_t(u[2]) << 16 | std::uint32_t(u[3]) << 24;
}
inline std::uint16_t le16(const char *p)
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return std::uint16_t(u[0] | u[1] << 8);
}
inline std::uint64_t le64(const char *p)
{
    return le32(p) | std::uint64_t(le32(p + 4)) << 32;
}
inline void put32(char *p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = char(v >> (8 * i));
}
inline void put16(char *p, std::uint16_t v)
{
    p[0] = char(v);
    p[1] = char(v >> 8);
}
inline void put64(char *p, std::uint64_t v)
{
    put32(p, std::uint32_t(v));
    put32(p + 4, std::uint32_t(v >> 32));
}

inline std::uint64_t fileTimeNow()
{
    using namespace std::chrono;
    const auto us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return std::uint64_t(us) * 10 + 116444736000000000ULL;
}

// The root entry's CLSID carries a checksum of the committed tables: "v7ck",
// the transaction number it belongs to, and a CRC-32 over the header, FAT,
// DIFAT, directory (this field as zeros) and MiniFAT. A damaged table then reads
// as a clean error instead of as a different tree. Files without it (or whose
// header was since rewritten by another program) are read without the check.
inline const char kSumMagic[4] = { 'v', '7', 'c', 'k' };
constexpr int kClsidAt = 80;

// The sector map's mark in the root's class id: "v7sm", the transaction number,
// then the location and CRC-32 of the map's top sector.
inline const char kMapMagic[4] = { 'v', '7', 's', 'm' };
// The top sector begins with "v7mt".
inline const char kTopMagic[4] = { 'v', '7', 'm', 't' };
// After the roots of its five trees the top lists free directory slots: a
// count at this offset, then that many (first slot, number of slots) pairs.
constexpr int kFreeRunsAt = 96;
constexpr std::uint32_t kMaxFreeRanges = 24;
// Then free sectors and mini sectors, the lowest the last writer knew of:
// "v7fh", two 16-bit counts (sector runs, mini sector runs), the runs as
// (first, number) pairs, sectors first, and then for sectors and for mini
// sectors the lowest one that may be free and is in no run (all ones: none).
// A writer takes free space from the runs and from the FAT sectors it reads
// anyway; only when those run out does it read on from there, a sector of the
// FAT at a time, so it never reads the whole FAT at once.
inline const char kHintsMagic[4] = { 'v', '7', 'f', 'h' };
constexpr int kHintsAt = kFreeRunsAt + 4 + 8 * int(kMaxFreeRanges);
constexpr std::uint32_t kMaxSectorRuns = 16, kMaxMiniRuns = 8;
constexpr int kRestAt = kHintsAt + 8 + 8 * int(kMaxSectorRuns + kMaxMiniRuns);
static_assert(kRestAt + 8 <= 512, "the hints fit the top sector");

inline std::uint32_t crcOf(const char *p, std::size_t n)
{
    return std::uint32_t(crc32_z(crc32_z(0, nullptr, 0), reinterpret_cast<const Bytef *>(p), n));
}

inline std::uint32_t tableSum(const QByteArray &hdr,
    const QByteArray &fat,
    const QByteArray &difat,
    const QByteArray &dir,
    const QByteArray &miniFat)
{
    auto add = [](uLong c, const char *p, std::size_t n) { return crc32_z(c, reinterpret_cast<const Bytef *>(p), n); };
    const char zeros[16] = {};
    uLong c = crc32_z(0, nullptr, 0);
    c = add(c, hdr.constData(), 512);
    c = add(c, fat.constData(), std::size_t(fat.size()));
    c = add(c, difat.constData(), std::size_t(difat.size()));
    c = add(c, dir.constData(), kClsidAt);
    c = add(c, zeros, 16);
    c = add(c, dir.constData() + kClsidAt + 16, std::size_t(dir.size()) - kClsidAt - 16);
    c = add(c, miniFat.constData(), std::size_t(miniFat.size()));
    return std::uint32_t(c);
}

inline std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b)
{
    return (a + b - 1) / b;
}

inline Status ioStatus(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return Status::FileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return Status::AccessDenied;
    default:
        return Status::IoError;
    }
}

// The one-byte ranges of the lock protocol.
inline struct flock byteLock(int type, std::uint64_t start)
{
    struct flock fl = {};
    fl.l_type = short(type);
    fl.l_whence = SEEK_SET;
    fl.l_start = off_t(start);
    fl.l_len = 1;
    return fl;
}

// Whether another open file holds a lock on the byte at start; nothing when the
// system cannot tell.
inline std::optional<bool> byteLockedElsewhere(int fd, std::uint64_t start)
{
    struct flock fl = byteLock(F_WRLCK, start);
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0)
        return std::nullopt;
    return fl.l_type != F_UNLCK;
}

} // namespace v7::cfb::detail
