// Reading what is left of a damaged compound file.
//
// The ordinary reader refuses a file whose tables do not hold together. The
// salvage reader goes sector by sector instead: it follows every chain up to
// the point where it breaks, trusts no sector that two chains claim or whose
// own FAT slot is not a chain's, joins a broken chain to the one loose chain
// whose length makes it whole again, and finds storages the directory tree no
// longer reaches. Everything it can read is written into a new, sound file.
//
// Threads: any; nothing is shared.
#pragma once

#include "platform/Cfb.h"

#include <QString>
#include <QStringList>

namespace v7::cfb
{

struct SalvageResult {
    int storages = 0; // copied, the root not counted
    int streams = 0; // copied whole
    int cutStreams = 0; // copied up to the point where their sectors broke off
    int lostStreams = 0; // nothing of them read
    QStringList problems; // what was found broken, one line each
};

// Copies every storage and stream of the compound file at path that can still
// be read into a new compound file at dest (replaced when present). A stream
// whose sectors break off is copied up to the break, so the new file may hold
// shorter streams than the old one said; a reader checks sizes it knows from
// elsewhere. Storages the directory tree no longer reaches are put in the root.
// Ok when dest was written (even if little was saved); Corrupt when the header
// itself does not read; IoError when dest cannot be written.
Status salvageCompoundFile(const QString &path, const QString &dest, SalvageResult *out = nullptr);

} // namespace v7::cfb
