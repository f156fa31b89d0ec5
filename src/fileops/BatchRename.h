// Renaming a batch of files in one folder without ever replacing a file: the
// check of the proposed names, the order of the renames (chains first, cycles
// through a temporary name), the rename itself, and the journal of the last batch
// that lets it be undone.
//
// Threads: any; the batch runs on the calling thread and calls its callbacks there.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <utility>
#include <vector>

namespace v7
{

// How renameNoReplace refuses an existing target: the kernel's no-replace rename
// (falling back to the link when the file system does not take it), or the link
// followed by an unlink alone (kept reachable for tests).
enum class NoReplaceMethod { Auto, LinkUnlink };

// Renames the file from to to (full paths) unless to exists; an existing target
// fails with the system's "File exists". False with the system's error text.
bool renameNoReplace(
    const QString &from, const QString &to, QString *error, NoReplaceMethod method = NoReplaceMethod::Auto);

// The system's text for an errno value ("File exists").
QString systemErrorText(int errnoValue);

// A name the file system can take inside a folder: not empty, not "." or "..", no
// "/" or NUL, at most 255 bytes in the file system's encoding.
bool isValidFileName(const QString &name);

struct RenameItem {
    QString oldName; // the file's current name in the folder
    QString newName; // the proposed name
};

enum class NameProblem {
    None,
    Invalid, // the file system cannot take it
    ClashProposed, // another entry proposes the same name
    ClashExisting, // a file of that name exists and is not renamed away by the batch
};

// The trouble of each item's proposed name before anything is touched. existing
// lists the names present in the folder; items whose new name equals their old
// name have no trouble. Of several items proposing one name all are marked.
std::vector<NameProblem> checkRenames(const std::vector<RenameItem> &items, const QStringList &existing);

struct RenameCallbacks {
    // An item failed with the system's error text; the batch goes on.
    std::function<void(int item, const QString &error)> failed;
    // After each item (done of total); false asks the batch to stop before the
    // next one (a cycle under way is finished first, so no file keeps a temporary name).
    std::function<bool(int done, int total)> progress;
};

struct RenameBatchResult {
    // Per item: the name the file has now (its new name on success, the old one on
    // failure); error empty on success.
    QStringList finalNames;
    QStringList errors;
    std::vector<bool> done;
    // The renames done on disk, in order, temporary names included: applying them
    // one after another to the thumbnail cache moves each picture with its file.
    std::vector<std::pair<QString, QString>> steps;
    bool cancelled = false;
};

// Renames every item in folder. The first item (in list order) proposing a name
// claims it; every other item proposing it fails with "File exists" untouched.
// A target held by another item's file is renamed once that file has moved away
// (a chain a -> b, b -> c is done from its end); a cycle (a <-> b) goes through a
// temporary name in the folder. A target held by any other file fails with
// "File exists". Items whose new name equals the old one are done without a step.
RenameBatchResult runRenameBatch(
    const QString &folder, const std::vector<RenameItem> &items, const RenameCallbacks &cb = {});

// ---- the journal of the last batch ----

struct RenameJournal {
    QString folder;
    std::vector<std::pair<QString, QString>> renames; // old full path, new full path
};

// The journal beside the thumbnail cache (in CacheThumbsDir).
QString renameJournalPath();
// Writes the journal whole (an empty one removes the file). False on failure.
bool writeRenameJournal(const RenameJournal &journal, const QString &path = renameJournalPath());
// Reads it; false (and an empty journal) when missing, too large or not ours.
bool readRenameJournal(RenameJournal *journal, const QString &path = renameJournalPath());

// After a batch in folder: the thumbnail cache follows the steps (pictures and
// stamps move with their files, so none is made again) and, when journal is set,
// the journal records the batch (replacing the last one). Returns the pairs (old
// name, name now) of the items whose file changed name.
std::vector<std::pair<QString, QString>> finishRenameBatch(
    const QString &folder, const std::vector<RenameItem> &items, const RenameBatchResult &result, bool journal);

// Renames the journal's last batch back, with the same no-replace rule, and keeps in
// the journal only what could not be undone. *folder receives the batch's folder and
// *renamed the pairs (name before the undo, name now). False when there is no journal.
bool undoLastRenameBatch(const RenameCallbacks &cb,
    QString *folder,
    std::vector<std::pair<QString, QString>> *renamed,
    RenameBatchResult *result = nullptr);

// The items that undo a journal: each new name back to its old name, in its folder.
// Pairs outside the journal's folder are left out.
std::vector<RenameItem> undoItems(const RenameJournal &journal);

} // namespace v7
