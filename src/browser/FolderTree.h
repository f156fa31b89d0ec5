// What the folder tree shows and does, without the tree widget: the volumes at the
// top level, a folder's subfolders, names shown for folders, the ancestor chain used
// to expand the tree down to a folder, and the checked folder create and rename.
//
// Threads: any thread; the tree calls these on the user-interface thread.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

namespace v7
{

enum class DriveType { Fixed, CdRom, Removable, Network };

struct Volume {
    QString path; // the node's key: "/" or the mount point
    QString label; // volume name when known
    DriveType type = DriveType::Fixed;
};

// The tree's icon key of a drive type: "drive", "cd", "disk", "netdrive".
QString DriveIconKey(DriveType t);

// "/" first, then the other real mounted volumes (no pseudo file systems), from a
// mountinfo text (the format of /proc/self/mountinfo).
std::vector<Volume> VolumesFromMountInfo(const QString &mountInfo);
std::vector<Volume> ListVolumes(); // from /proc/self/mountinfo

// The text of a folder node: the last path component with everything from its last
// "." on removed (photos.old shows as photos), a leading "." kept (.local); "/" for
// the root.
QString FolderBaseName(const QString &path);

// Joins a folder and a name without doubling the separator.
QString JoinPath(const QString &folder, const QString &name);

// Full paths of the subfolders of a folder, sorted by name; empty when unreadable.
// Hidden (dot) folders are left out, and HasSubfolders does not count them.
QStringList ListSubfolders(const QString &folder);
bool HasSubfolders(const QString &folder);

// The chain of folders from the volume holding path down to path itself.
QStringList AncestorChain(const QString &path, const std::vector<Volume> &volumes);

// Label edits: the message shown when making or renaming a folder fails (empty on
// success). Lines are separated by an empty line.
QString CreateFolderChecked(const QString &parent, const QString &name, QString *newPath);
QString RenameFolderChecked(const QString &path, const QString &newName, QString *newPath);
inline const char *const TextFolderExists =
    "A folder with the name you specified already exist.\n\nPlease specify a different name.";
inline const char *const TextFolderInvalid = "The name you specified is invalid.\n\nPlease specify a different name.";

} // namespace v7
