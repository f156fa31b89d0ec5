// The main window's side of the batch dialog: opening it in each mode with the
// right files, and bringing the list, the thumbnails and the folder up to date
// after it has renamed or written files; the undo of the last rename batch.
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "browser/FolderTree.h"
#include "fileops/BatchRename.h"
#include "fileops/Frm_FileOps.h"
#include "mainwin/Frm_Main.h"
#include "thumbs/ThumbMain.h"

#include <QAction>
#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMessageBox>
#include <QTreeView>
#include <algorithm>

namespace v7
{

namespace
{

    Frm_FileOps::Entry entryOf(const FileEntry &e, int row)
    {
        return { e.name, FormatThousands(e.size), FormatFileDate(e.modified()), row };
    }

} // namespace

void Frm_Main::setupBatchCommands()
{
    auto *undo = new QAction(QStringLiteral("&Undo"), this);
    undo->setObjectName(QStringLiteral("Mnu_UndoRename"));
    undo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    undo->setShortcutContext(Qt::WindowShortcut);
    undo->setShortcutVisibleInContextMenu(true);
    addAction(undo);
    connect(undo, &QAction::triggered, this, &Frm_Main::FileOps_UndoRename);
    auto *save = new QAction(QStringLiteral("Save &Files..."), this);
    save->setObjectName(QStringLiteral("Mnu_SaveFiles"));
    connect(save, &QAction::triggered, this, &Frm_Main::FileOps_Save);
    // Beside the commands they belong with, in whatever main menu the window has.
    for (QMenu *menu : findChildren<QMenu *>()) {
        const QList<QAction *> actions = menu->actions();
        for (int i = 0; i < actions.size(); ++i) {
            if (actions[i]->text() == QLatin1String("Con&vert File(s)")) {
                menu->insertAction(i + 1 < actions.size() ? actions[i + 1] : nullptr, undo);
                // Shown greyed when there is no batch to undo; the shortcut stays
                // live (with nothing to undo it does nothing).
                connect(menu, &QMenu::aboutToShow, undo, [undo] {
                    undo->setEnabled(QFileInfo::exists(renameJournalPath()));
                });
                connect(menu, &QMenu::aboutToHide, undo, [undo] { undo->setEnabled(true); });
            } else if (actions[i]->text() == QLatin1String("Save &As")) {
                menu->insertAction(i + 1 < actions.size() ? actions[i + 1] : nullptr, save);
            }
        }
    }
}

namespace
{

    // The selected rows of the list, in list order.
    std::vector<int> selectedRowsOf(QTreeView *view)
    {
        std::vector<int> rows;
        for (const QModelIndex &i : view->selectionModel()->selectedRows())
            rows.push_back(i.row());
        std::sort(rows.begin(), rows.end());
        return rows;
    }

} // namespace

static void openBatch(Frm_Main *window, Frm_FileOps::Mode mode, const std::vector<int> &rows)
{
    if (rows.empty() || window->currentFolder().isEmpty())
        return;
    // The dialog works in one folder: that of the first file. A tagged list may hold
    // files of other folders too; those are left out rather than looked for, under
    // their names, in the wrong folder.
    const QString folder = QFileInfo(window->filePathAt(rows.front())).path();
    std::vector<Frm_FileOps::Entry> entries;
    const auto &files = window->fileList()->entries();
    for (int r : rows)
        if (r >= 0 && std::size_t(r) < files.size() && QFileInfo(window->filePathAt(r)).path() == folder)
            entries.push_back(entryOf(files[std::size_t(r)], r));
    Frm_FileOps dialog(mode, folder, entries, window);
    QObject::connect(&dialog, &Frm_FileOps::filesRenamed, window, &Frm_Main::applyRenamedFiles);
    QObject::connect(&dialog, &Frm_FileOps::filesWritten, window, [window](const QStringList &paths) {
        // New files in the listed folder are listed with it.
        for (const QString &p : paths)
            if (QFileInfo(p).absolutePath() == window->currentFolder()) {
                window->Folder_Refresh();
                return;
            }
    });
    dialog.exec();
}

void Frm_Main::FileOps_Rename()
{
    openBatch(this, Frm_FileOps::Mode::FileRename, selectedRowsOf(Lvw_Files));
}

void Frm_Main::FileOps_Convert()
{
    openBatch(this, Frm_FileOps::Mode::FileConvert, selectedRowsOf(Lvw_Files));
}

void Frm_Main::FileOps_Save()
{
    openBatch(this, Frm_FileOps::Mode::FileSave, selectedRowsOf(Lvw_Files));
}

void Frm_Main::FileOps_ExportThumbs()
{
    // Every file of the list, each checked.
    std::vector<int> rows(std::size_t(m_files->rowCount()));
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i] = int(i);
    openBatch(this, Frm_FileOps::Mode::ThumbExport, rows);
}

void Frm_Main::applyRenamedFiles(const QString &folder, const QList<QPair<QString, QString>> &pairs)
{
    if (pairs.isEmpty())
        return;
    // All at once, so a swap does not rename an entry twice.
    QHash<QString, QString> to;
    for (const auto &p : pairs)
        to.insert(p.first, p.second);
    // Tags follow their files, whether or not a row shows them, each in its place in
    // the order of tagging (a stale entry under a new name gives way).
    bool tagsMoved = false;
    TaggedSet retagged;
    for (const TaggedFile &f : m_tagged.files()) {
        const QFileInfo at(f.path);
        const auto it = at.path() == folder ? to.constFind(at.fileName()) : to.constEnd();
        tagsMoved = tagsMoved || it != to.constEnd();
        retagged.add(it != to.constEnd() ? JoinPath(folder, *it) : f.path, f.sizeText, f.dateText);
    }
    if (tagsMoved) {
        m_tagged = retagged;
        m_tagged.save(TaggedSet::defaultFile());
    }
    // The rows of that folder only: a tagged list may hold a namesake from another.
    bool shown = false;
    for (int row = 0; row < m_files->rowCount(); ++row) {
        FileEntry &e = m_files->entry(row);
        if (folderOf(e) != folder)
            continue;
        const auto it = to.constFind(e.name);
        if (it == to.constEnd())
            continue;
        e.name = *it;
        m_files->entryChanged(row);
        shown = true;
    }
    if (shown && m_viewActions[2]->isChecked())
        ShowThumbs();
}

void Frm_Main::FileOps_UndoRename()
{
    RenameCallbacks cb;
    cb.failed = [this](int, const QString &error) {
        QMessageBox::critical(this, QCoreApplication::applicationName(), error, QMessageBox::Ok | QMessageBox::Cancel);
    };
    QString folder;
    std::vector<std::pair<QString, QString>> renamed;
    if (!undoLastRenameBatch(cb, &folder, &renamed))
        return;
    QList<QPair<QString, QString>> pairs;
    for (const auto &[o, n] : renamed)
        pairs.append({ o, n });
    applyRenamedFiles(folder, pairs);
}

} // namespace v7
