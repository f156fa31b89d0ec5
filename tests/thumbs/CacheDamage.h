// Damaging a cache file on purpose, at places found by reading the file's own
// tables: a FAT slot of a stream or of the mini stream, a MiniFAT sector, a
// directory sector.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cstdint>
#include <vector>

namespace v7test
{

inline std::uint32_t le32At(const QByteArray &b, qsizetype at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | std::uint8_t(b[at + i]);
    return v;
}

// Changes one byte of the FAT slot that follows the first sector of the stream
// named streamName (a stream of 4,096 bytes or more, held in regular sectors) in
// the version-3 file at path. False when no such stream is found.
inline bool damageFatSlotOf(const QString &path, const QString &streamName)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    QByteArray file = f.readAll();
    if (file.size() < 1024)
        return false;
    auto sectorAt = [](std::uint32_t s) { return qsizetype(s + 1) * 512; };
    const std::uint32_t numFat = le32At(file, 0x2C);
    std::vector<std::uint32_t> fatLocs;
    for (std::uint32_t i = 0; i < numFat && i < 109; ++i)
        fatLocs.push_back(le32At(file, 0x4C + 4 * i));
    auto next = [&](std::uint32_t s) -> std::uint32_t {
        const std::uint32_t loc = fatLocs.at(s / 128);
        return le32At(file, sectorAt(loc) + 4 * (s % 128));
    };
    const QByteArray wanted(reinterpret_cast<const char *>(streamName.utf16()), streamName.size() * 2);
    for (std::uint32_t d = le32At(file, 0x30), guard = 0; d < 0xFFFFFFFA && guard < 100000; d = next(d), ++guard) {
        for (int e = 0; e < 4; ++e) {
            const qsizetype at = sectorAt(d) + e * 128;
            const int nameBytes = std::uint8_t(file[at + 64]) | std::uint8_t(file[at + 65]) << 8;
            if (file[at + 66] != 2 || nameBytes != wanted.size() + 2 || file.mid(at, wanted.size()) != wanted)
                continue;
            if (le32At(file, at + 120) < 4096)
                return false;
            const std::uint32_t first = le32At(file, at + 116);
            const qsizetype slot = sectorAt(fatLocs.at(first / 128)) + 4 * (first % 128);
            return f.seek(slot) && f.write(QByteArray(1, char(file[slot] ^ 0x01))) == 1;
        }
    }
    return false;
}

// The version-3 file at path, with its FAT read, for damaging it in place.
struct CfbBytes {
    QByteArray file;
    std::vector<std::uint32_t> fatLocs;
    explicit CfbBytes(const QString &path)
    {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            file = f.readAll();
        for (std::uint32_t i = 0; file.size() >= 1024 && i < le32At(file, 0x2C) && i < 109; ++i)
            fatLocs.push_back(le32At(file, 0x4C + 4 * i));
    }
    static qsizetype at(std::uint32_t s) { return qsizetype(s + 1) * 512; }
    qsizetype slot(std::uint32_t s) const { return at(fatLocs.at(s / 128)) + 4 * (s % 128); }
    std::vector<std::uint32_t> chain(std::uint32_t s) const
    {
        std::vector<std::uint32_t> out;
        for (; s < 0xFFFFFFFA && out.size() < 1000000; s = le32At(file, slot(s)))
            out.push_back(s);
        return out;
    }
    void put(qsizetype where, const QByteArray &bytes) { file.replace(where, bytes.size(), bytes); }
    bool save(const QString &path) const
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(file) == file.size();
    }
};

// Flips a byte of the directory entry of the element named name (its creation
// time, which no reader decodes: only the directory's checksums see it).
inline bool damageEntryOf(const QString &path, const QString &name)
{
    CfbBytes b(path);
    const QByteArray wanted(reinterpret_cast<const char *>(name.utf16()), name.size() * 2);
    for (std::uint32_t d : b.chain(le32At(b.file, 0x30)))
        for (int e = 0; e < 4; ++e) {
            const qsizetype at = CfbBytes::at(d) + e * 128;
            const int nameBytes = std::uint8_t(b.file[at + 64]) | std::uint8_t(b.file[at + 65]) << 8;
            if (nameBytes != wanted.size() + 2 || b.file.mid(at, wanted.size()) != wanted)
                continue;
            b.put(at + 100, QByteArray(1, char(b.file[at + 100] ^ 0x10)));
            return b.save(path);
        }
    return false;
}

// Marks the FAT slot of the middle sector of the mini stream's chain free.
inline bool damageMiniStreamChain(const QString &path)
{
    CfbBytes b(path);
    const std::vector<std::uint32_t> dir = b.chain(le32At(b.file, 0x30));
    if (dir.empty())
        return false;
    const std::vector<std::uint32_t> mini = b.chain(le32At(b.file, CfbBytes::at(dir[0]) + 116));
    if (mini.size() < 3)
        return false;
    b.put(b.slot(mini[mini.size() / 2]), QByteArray(4, char(0xFF)));
    return b.save(path);
}

// Fills the middle sector of the MiniFAT, or of the directory, with noise.
inline bool damageTableSector(const QString &path, bool directory)
{
    CfbBytes b(path);
    const std::vector<std::uint32_t> c = b.chain(le32At(b.file, directory ? 0x30 : 0x3C));
    if (c.size() < 3)
        return false;
    QByteArray noise(512, '\0');
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 73 + 41) ^ (i >> 3));
    b.put(CfbBytes::at(c[c.size() / 2]), noise);
    return b.save(path);
}

} // namespace v7test
