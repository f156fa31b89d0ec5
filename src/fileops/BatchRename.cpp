#include "fileops/BatchRename.h"

#include "app/Settings.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/ThumbMain.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSet>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace v7
{

QString systemErrorText(int errnoValue)
{
    return QString::fromLocal8Bit(std::strerror(errnoValue));
}

namespace
{

    bool linkThenUnlink(const QByteArray &from, const QByteArray &to, int *err)
    {
        // link() never replaces: an existing target fails with EEXIST.
        if (::link(from.constData(), to.constData()) != 0) {
            *err = errno;
            return false;
        }
        if (::unlink(from.constData()) != 0) {
            *err = errno;
            ::unlink(to.constData()); // the file keeps its old name only
            return false;
        }
        return true;
    }

} // namespace

bool renameNoReplace(const QString &from, const QString &to, QString *error, NoReplaceMethod method)
{
    const QByteArray f = QFile::encodeName(from);
    const QByteArray t = QFile::encodeName(to);
    int err = 0;
    bool ok = false;
    if (method == NoReplaceMethod::Auto) {
        ok = ::renameat2(AT_FDCWD, f.constData(), AT_FDCWD, t.constData(), RENAME_NOREPLACE) == 0;
        err = ok ? 0 : errno;
        // A file system without the flag says EINVAL (an old kernel ENOSYS): the link
        // refuses an existing target just the same.
        if (!ok && (err == EINVAL || err == ENOSYS))
            ok = linkThenUnlink(f, t, &err);
    } else {
        ok = linkThenUnlink(f, t, &err);
    }
    if (!ok && error)
        *error = systemErrorText(err);
    return ok;
}

bool isValidFileName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    if (name.contains(QLatin1Char('/')) || name.contains(QChar(0)))
        return false;
    return QFile::encodeName(name).size() <= 255;
}

std::vector<NameProblem> checkRenames(const std::vector<RenameItem> &items, const QStringList &existing)
{
    std::vector<NameProblem> out(items.size(), NameProblem::None);
    QHash<QString, int> proposed; // how many moving items propose each name
    for (const RenameItem &it : items)
        if (it.newName != it.oldName)
            proposed[it.newName] += 1;
    // The items whose file will leave its name, as the batch decides it: a valid
    // name claimed first, whose target is free or freed by another mover. Whoever
    // waits on a file that stays, stays too, so the set shrinks to a fixed point.
    QHash<QString, int> mover; // old name -> item
    QSet<QString> claimed;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const RenameItem &it = items[i];
        if (it.newName == it.oldName || !isValidFileName(it.newName) || !isValidFileName(it.oldName)
            || claimed.contains(it.newName))
            continue;
        claimed.insert(it.newName);
        mover.insert(it.oldName, int(i));
    }
    const QSet<QString> present(existing.begin(), existing.end());
    const auto targetHeld = [&](const RenameItem &it) {
        return present.contains(it.newName) && !mover.contains(it.newName);
    };
    for (bool changed = true; changed;) {
        changed = false;
        for (auto m = mover.begin(); m != mover.end();) {
            if (targetHeld(items[std::size_t(m.value())])) {
                m = mover.erase(m);
                changed = true;
            } else {
                ++m;
            }
        }
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        const RenameItem &it = items[i];
        if (it.newName == it.oldName)
            continue;
        if (!isValidFileName(it.newName))
            out[i] = NameProblem::Invalid;
        else if (proposed.value(it.newName) > 1)
            out[i] = NameProblem::ClashProposed;
        else if (targetHeld(it))
            out[i] = NameProblem::ClashExisting;
    }
    return out;
}

RenameBatchResult runRenameBatch(const QString &folder, const std::vector<RenameItem> &items, const RenameCallbacks &cb)
{
    const int n = int(items.size());
    RenameBatchResult r;
    r.done.assign(items.size(), false);
    for (const RenameItem &it : items) {
        r.finalNames << it.oldName;
        r.errors << QString();
    }
    const auto path = [&folder](const QString &name) { return joinPath(folder, name); };
    int finished = 0;
    bool stop = false;
    const auto fail = [&](int i, const QString &error) {
        r.errors[i] = error;
        if (cb.failed)
            cb.failed(i, error);
    };
    const auto advance = [&] {
        ++finished;
        if (cb.progress && !cb.progress(finished, n))
            stop = true;
    };

    // The items that move; the first to claim a name keeps it.
    std::vector<int> pending;
    QHash<QString, int> claimant; // new name -> item
    for (int i = 0; i < n; ++i) {
        const RenameItem &it = items[size_t(i)];
        if (it.newName == it.oldName) {
            r.done[size_t(i)] = true;
            continue;
        }
        if (!isValidFileName(it.newName) || !isValidFileName(it.oldName)) {
            continue; // reported in list order below, with the others
        }
        if (claimant.contains(it.newName))
            continue;
        claimant.insert(it.newName, i);
        pending.push_back(i);
    }
    // Invalid names and second claimants fail first, touching nothing.
    for (int i = 0; i < n && !stop; ++i) {
        const RenameItem &it = items[size_t(i)];
        if (r.done[size_t(i)]) {
            advance();
        } else if (!isValidFileName(it.newName) || !isValidFileName(it.oldName)) {
            fail(i, systemErrorText(it.newName.toUtf8().size() > 255 ? ENAMETOOLONG : EINVAL));
            advance();
        } else if (claimant.value(it.newName) != i) {
            fail(i, systemErrorText(EEXIST));
            advance();
        }
    }

    QHash<QString, int> occupant; // old name -> pending item whose file still has it
    for (int i : pending)
        occupant.insert(items[size_t(i)].oldName, i);
    QHash<int, QString> atTemp; // item -> the temporary name its file has now

    const auto doRename = [&](int i) {
        const QString from = atTemp.value(i, items[size_t(i)].oldName);
        const QString &to = items[size_t(i)].newName;
        QString error;
        occupant.remove(items[size_t(i)].oldName);
        if (renameNoReplace(path(from), path(to), &error)) {
            r.steps.push_back({ from, to });
            r.finalNames[i] = to;
            r.done[size_t(i)] = true;
        } else if (atTemp.contains(i)) {
            // Its target could not be had: back to its own name, or, when that is
            // taken meanwhile, the file stays safe under the temporary name.
            QString back;
            if (renameNoReplace(path(from), path(items[size_t(i)].oldName), &back)) {
                r.steps.push_back({ from, items[size_t(i)].oldName });
                fail(i, error);
            } else {
                r.finalNames[i] = from;
                fail(i, error + QStringLiteral("\n\n") + path(from));
            }
        } else {
            fail(i, error);
        }
        atTemp.remove(i);
        advance();
    };

    std::vector<bool> handled(items.size(), false);
    std::size_t left = pending.size();
    while (left > 0) {
        // A cycle under way is finished before a stop is honoured.
        if (stop && atTemp.isEmpty()) {
            r.cancelled = true;
            break;
        }
        int ready = -1;
        for (int i : pending) {
            if (handled[size_t(i)])
                continue;
            const int holder = occupant.value(items[size_t(i)].newName, -1);
            if (holder < 0 || holder == i || handled[size_t(holder)]) {
                ready = i;
                break;
            }
        }
        if (ready < 0) {
            // Every item left waits on another: a cycle. The first item of the list
            // in one steps aside to a temporary name so the others can move.
            int first = -1;
            for (int i : pending)
                if (!handled[size_t(i)] && !atTemp.contains(i)) {
                    first = i;
                    break;
                }
            if (first < 0)
                break; // cannot happen: an item at a temporary name frees its old name
            QString temp;
            QString error;
            bool moved = false;
            for (int attempt = 0; attempt < 16 && !moved; ++attempt) {
                temp = QStringLiteral(".v7rename-%1")
                           .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
                moved = renameNoReplace(path(items[size_t(first)].oldName), path(temp), &error);
            }
            if (moved) {
                r.steps.push_back({ items[size_t(first)].oldName, temp });
                atTemp.insert(first, temp);
                occupant.remove(items[size_t(first)].oldName);
            } else {
                handled[size_t(first)] = true;
                --left;
                fail(first, error);
                advance();
            }
            continue;
        }
        handled[size_t(ready)] = true;
        --left;
        doRename(ready);
    }
    return r;
}

// ---- journal ----

QString renameJournalPath()
{
    return OLEStorage::cacheFilePath(QStringLiteral("/LastRenames.json"));
}

bool writeRenameJournal(const RenameJournal &journal, const QString &path)
{
    if (journal.renames.empty())
        return !QFile::exists(path) || QFile::remove(path);
    QJsonArray list;
    for (const auto &[oldPath, newPath] : journal.renames)
        list.append(QJsonObject { { QStringLiteral("old"), oldPath }, { QStringLiteral("new"), newPath } });
    const QJsonObject root { { QStringLiteral("kind"), QStringLiteral("vorlane7-renames") },
        { QStringLiteral("folder"), journal.folder },
        { QStringLiteral("renames"), list } };
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(QJsonDocument(root).toJson(QJsonDocument::Indented));
    return f.commit();
}

bool readRenameJournal(RenameJournal *journal, const QString &path)
{
    *journal = {};
    constexpr qint64 MaxJournalBytes = 64 * 1024 * 1024;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() > MaxJournalBytes)
        return false;
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll());
    const QJsonObject root = doc.object();
    if (root.value(QStringLiteral("kind")).toString() != QLatin1String("vorlane7-renames"))
        return false;
    journal->folder = root.value(QStringLiteral("folder")).toString();
    for (const QJsonValue &v : root.value(QStringLiteral("renames")).toArray()) {
        const QJsonObject o = v.toObject();
        const QString oldPath = o.value(QStringLiteral("old")).toString();
        const QString newPath = o.value(QStringLiteral("new")).toString();
        if (!oldPath.isEmpty() && !newPath.isEmpty())
            journal->renames.push_back({ oldPath, newPath });
    }
    return !journal->folder.isEmpty() && !journal->renames.empty();
}

std::vector<RenameItem> undoItems(const RenameJournal &journal)
{
    std::vector<RenameItem> out;
    for (const auto &[oldPath, newPath] : journal.renames) {
        const QString oldName = QFileInfo(oldPath).fileName();
        const QString newName = QFileInfo(newPath).fileName();
        if (joinPath(journal.folder, oldName) != oldPath || joinPath(journal.folder, newName) != newPath)
            continue;
        out.push_back({ newName, oldName });
    }
    return out;
}

std::vector<std::pair<QString, QString>> finishRenameBatch(
    const QString &folder, const std::vector<RenameItem> &items, const RenameBatchResult &result, bool journal)
{
    std::vector<std::pair<QString, QString>> renamed;
    for (std::size_t i = 0; i < items.size() && i < std::size_t(result.finalNames.size()); ++i)
        if (result.finalNames[qsizetype(i)] != items[i].oldName)
            renamed.push_back({ items[i].oldName, result.finalNames[qsizetype(i)] });
    if (!result.steps.empty()) {
        NameMap steps(result.steps.begin(), result.steps.end());
        // The cache's operations act on the thread's current folder.
        const QString previous = OLEStorage::CurrentFolder();
        OLEStorage::SetCurrentFolder(folder);
        OLEStorage::RenameThumbs(1, steps);
        OLEStorage::SetCurrentFolder(previous);
    }
    if (journal && !renamed.empty()) {
        RenameJournal j;
        j.folder = folder;
        for (const auto &[oldName, newName] : renamed)
            j.renames.push_back({ joinPath(folder, oldName), joinPath(folder, newName) });
        writeRenameJournal(j);
    }
    return renamed;
}

bool undoLastRenameBatch(const RenameCallbacks &cb,
    QString *folder,
    std::vector<std::pair<QString, QString>> *renamed,
    RenameBatchResult *result)
{
    RenameJournal j;
    if (!readRenameJournal(&j))
        return false;
    *folder = j.folder;
    const std::vector<RenameItem> items = undoItems(j);
    const RenameBatchResult r = runRenameBatch(j.folder, items, cb);
    *renamed = finishRenameBatch(j.folder, items, r, false);
    // What could not go back stays for another try.
    RenameJournal left;
    left.folder = j.folder;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!r.done[i])
            left.renames.push_back(
                { joinPath(j.folder, items[i].newName), joinPath(j.folder, r.finalNames[qsizetype(i)]) });
    writeRenameJournal(left);
    if (result)
        *result = r;
    return true;
}

} // namespace v7
