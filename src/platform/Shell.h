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

// Moves a folder (or file) to the desktop trash, in the freedesktop trash layout
// that file managers restore from: the home trash ($XDG_DATA_HOME/Trash) for an
// item on its device, else the volume's own $topdir/.Trash/UID or
// $topdir/.Trash-UID. An item on a volume without a usable trash is copied into
// the home trash and then removed. False, with the system's reason in *error,
// when that cannot be done; the item is then left where it was (only a failure
// to remove the original after a complete copy leaves that copy in the trash and
// what could not be removed in place).
bool MoveToTrash(const QString &path, QString *error);

// Whether a process of this user runs the program (named by path or by name): its
// program or, for a script, the script its interpreter runs. This process does not
// count.
bool ProgramRunning(const QString &program);

} // namespace v7
