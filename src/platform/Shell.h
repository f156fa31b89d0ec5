// File operations of the shell: the checks and the moves themselves, without
// dialogs (the window asks the user first).
//
// Threads: any.
#pragma once

#include <QString>

namespace v7
{

// Folders no folder command may remove: the root, the user's home folder and
// any folder that holds either.
bool IsProtectedFolder(const QString &path);

// Moves a folder (or file) to the desktop trash; false, with the system's reason in
// *error, when that cannot be done (nothing is then changed).
bool MoveToTrash(const QString &path, QString *error);

} // namespace v7
