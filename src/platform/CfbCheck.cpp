// The strict audit behind Storage::check: every FAT slot, chain and tree.
#include "platform/CfbBytes.h"
#include "platform/CfbFile.h"

#include <QByteArray>
#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace v7::cfb::detail
{

Status File::audit(const QString &path, QStringList *problems)
{
    std::shared_ptr<File> f;
    if (Status s = open(path, mode::Read | mode::Transacted | mode::NoSnapshot, &f, true); s != Status::Ok) {
        problems->append(QStringLiteral("cannot be read: %1").arg(QString::fromLatin1(statusText(s))));
        return s;
    }
    QByteArray hdr;
    f->readHeader(&hdr);
    const char *h = hdr.constData();
    if (f->m_major == 3 && le32(h + 0x28) != 0)
        problems->append(QStringLiteral("version 3 with a directory-sector count"));
    if (le16(h + 0x22) != 0 || le32(h + 0x24) != 0)
        problems->append(QStringLiteral("reserved header bytes are not zero"));
    if (le32(h + 0x40) != f->m_miniFatChain.size())
        problems->append(QStringLiteral("MiniFAT sector count disagrees with its chain"));
    if (le32(h + 0x48) != f->m_difatLocs.size())
        problems->append(QStringLiteral("DIFAT sector count disagrees with its chain"));
    for (std::uint32_t i = std::uint32_t(f->m_fatLocs.size()); i < HeaderDifat; ++i)
        if (le32(h + 0x4C + 4 * i) != FreeSect)
            problems->append(QStringLiteral("header DIFAT slot %1 is not free").arg(i));

    const std::uint64_t fatSlots = std::uint64_t(f->m_diskFat.size()) / 4;
    std::vector<std::uint8_t> isFat(fatSlots, 0), isDifat(fatSlots, 0);
    for (std::uint32_t s : f->m_fatLocs)
        isFat[s] = 1;
    for (std::uint32_t s : f->m_difatLocs)
        isDifat[s] = 1;
    if (fatSlots < f->m_fileSectors)
        problems->append(Storage::UncoveredTail);
    for (std::uint64_t s = 0; s < fatSlots; ++s) {
        const std::uint32_t v = le32(f->m_diskFat.constData() + 4 * s);
        if (s >= f->m_fileSectors) {
            if (v != FreeSect)
                problems->append(QStringLiteral("FAT slot %1 past the end of the file is not free").arg(s));
            continue;
        }
        if (isFat[s] != (v == FatSect) || isDifat[s] != (v == DifSect))
            problems->append(QStringLiteral("FAT slot %1 misnames a FAT or DIFAT sector").arg(s));
        if (v != FreeSect && !f->m_used[s])
            problems->append(QStringLiteral("sector %1 is leaked").arg(s));
        if (v == FreeSect && f->m_used[s])
            problems->append(QStringLiteral("sector %1 is in use but marked free").arg(s));
    }
    const std::uint64_t miniSlots = std::uint64_t(f->m_diskMiniFat.size()) / 4;
    for (std::uint64_t m = 0; m < miniSlots; ++m) {
        const std::uint32_t v = le32(f->m_diskMiniFat.constData() + 4 * m);
        const bool used = m < f->m_miniUsed.size() && f->m_miniUsed[m];
        if ((v != FreeSect) != used)
            problems->append(QStringLiteral("mini sector %1 is %2").arg(m).arg(used ? "marked free" : "leaked"));
    }

    // Directory entries: allocation state, the fields each kind must have, and the trees.
    const std::size_t count = std::size_t(f->m_diskDir.size()) / EntrySize;
    for (std::size_t i = 0; i < count; ++i) {
        const char *p = f->m_diskDir.constData() + i * EntrySize;
        const Entry &e = f->m_entries[i];
        const std::uint8_t type = std::uint8_t(p[66]);
        if (type != TypeFree && e.type == TypeFree)
            problems->append(QStringLiteral("entry %1 is allocated but unreachable").arg(i));
        if (type == TypeFree)
            continue;
        if (e.name.size() > 31 || le16(p + 64) != (e.name.size() + 1) * 2)
            problems->append(QStringLiteral("entry %1 has a bad name length").arg(i));
        if (f->m_major == 3 && le32(p + 124) != 0)
            problems->append(QStringLiteral("entry %1 has a size above 4 GB in version 3").arg(i));
        if (type == TypeStorage && (le32(p + 116) != 0 || le64(p + 120) != 0))
            problems->append(QStringLiteral("storage %1 has a start sector or size").arg(i));
        if (type == TypeStream && le64(p + 120) == 0 && le32(p + 116) != EndOfChain)
            problems->append(QStringLiteral("empty stream %1 does not start at ENDOFCHAIN").arg(i));
        if (type == TypeRoot && le64(p + 100) != 0)
            problems->append(QStringLiteral("the root has a creation time"));
        if (type == TypeStream && le32(p + 76) != NoStream)
            problems->append(QStringLiteral("stream %1 has a child").arg(i));
        if (type != TypeStorage && type != TypeRoot)
            continue;
        const bool ok = f->validTree(std::uint32_t(i));
        if (!ok)
            problems->append(QStringLiteral("the children of entry %1 are not a red-black tree").arg(i));
    }
    return problems->isEmpty() ? Status::Ok : Status::Corrupt;
}

} // namespace v7::cfb::detail
