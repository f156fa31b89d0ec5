// The commands of vorlane7-cache over the thumbnail engine: ls, prefill, export,
// check. Each takes the arguments after its name and returns the exit code:
//   0 done; 1 the work failed (no cache file, unreadable folder, write error);
//   2 the cache file is damaged (check); 64 bad arguments.
#pragma once

#include <QStringList>

namespace v7::cachetool
{

// True when the command is one of those below; *exitCode then holds its result.
bool runEngineCommand(const QString &command, const QStringList &args, int *exitCode);
// The help text of the engine commands.
const char *engineUsage();

} // namespace v7::cachetool
