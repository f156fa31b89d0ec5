// Moving, copying and deleting files and folder trees without any window: the
// rules about what may be touched, the names given to kept duplicates, and the
// work itself with its progress and conflict questions put through callbacks so
// that a dialog (or a test) answers them.
//
// Threads: any; one operation runs on the thread that calls RunFileOperation.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

namespace v7
{

// The operation codes of the file commands.
enum class FileOp { Move = 1, Copy = 2, Delete = 3 };

enum class ConflictChoice { Replace, Skip, KeepBoth, Cancel };
struct ConflictAnswer {
    ConflictChoice choice = ConflictChoice::Skip;
    bool forAll = false; // the same answer for every later conflict of this operation
};

struct FileOperationHooks {
    // Before each file and between blocks of a long copy: the item's name and the
    // bytes done of the whole operation. False cancels.
    std::function<bool(const QString &name, qint64 done, qint64 total)> progress;
    // A target that exists. Without a hook every conflict is skipped.
    std::function<ConflictAnswer(const QString &source, const QString &target)> conflict;
};

struct FileOperationResult {
    bool ok = false; // everything done and nothing cancelled
    bool cancelled = false;
    QStringList done; // the sources that were moved, copied or deleted whole
    QStringList targets; // where each of done went (empty for a delete)
    QStringList skipped; // sources left alone at the user's answer
    QString error; // the first failure, with the system's reason
};

// True for "/" and for every path another file system is mounted on.
bool IsMountPoint(const QString &path);
// Both paths (or their nearest existing parents) are on the same file system.
bool SameFileSystem(const QString &a, const QString &b);
// The name a kept duplicate gets in folder: "name (2).jpg", "name (3).jpg"... the
// first that does not exist there. A folder "a.b" becomes "a.b (2)".
QString KeepBothName(const QString &folder, const QString &name, bool isFolder);
// Why the operation may not run (empty when it may): a source that is "/", the home
// folder or a mount point itself, that holds the home folder (move and delete), that
// does not exist, or a folder moved or copied into itself or its own subtree.
QString RefusalReason(FileOp op, const QStringList &sources, const QString &destination);
// What a delete of a volume's root removes: the entries inside it.
QStringList MountRootContents(const QString &root);

// Runs the operation. A move within one file system renames; across file systems it
// copies, verifies the copy and removes the source. Copies keep modes and times and
// are written under a temporary name, so a cancelled or failed copy leaves nothing
// under the final name. A delete moves to the desktop trash unless permanent.
FileOperationResult RunFileOperation(FileOp op,
    const QStringList &sources,
    const QString &destination,
    bool permanentDelete,
    const FileOperationHooks &hooks);

} // namespace v7
