// The main window's commands that change files: delete, drops on the tree, the
// folder commands, save and save as, and scanning.
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "browser/FolderTreeWidget.h"
#include "browser/Frm_FolderDlg.h"
#include "browser/Listing.h"
#include "fileops/ImageSave.h"
#include "fileops/ShellFileOperation.h"
#include "imaging/ImageLoad.h"
#include "imaging/widgets/DrawView.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/ThumbBox.h"
#include "options/ImageEdit.h"
#include "platform/Scanner.h"
#include "platform/Shell.h"
#include "thumbs/OLEStorage.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTimer>
#include <QTreeView>
#include <atomic>
#include <thread>

namespace v7
{

namespace
{

    // Folders below root (relative paths), so that their cache storages can follow
    // a moved or copied tree. Bounded: a huge tree keeps its deeper thumbnails
    // to be made again rather than stall the window.
    QStringList subfolders(const QString &root)
    {
        QStringList rel;
        QDirIterator it(root, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext() && rel.size() < 2000) {
            const QString p = it.next();
            if (!QFileInfo(p).isSymLink())
                rel << p.mid(root.size() + 1);
        }
        return rel;
    }

    // The cache storages of a moved (operation 1) or copied (2) folder tree follow it
    // from source to target (the folder's new full path).
    void followFolderCache(int operation, const QString &source, const QString &target)
    {
        const bool sameName = QFileInfo(source).fileName() == QFileInfo(target).fileName();
        if (operation == 1)
            OLEStorage::MoveFolderCache(0, source, target);
        else if (sameName)
            OLEStorage::MoveFolderCache(2, source, QFileInfo(target).absolutePath());
        else
            return; // a kept duplicate under another name makes its thumbnails anew
        for (const QString &rel : subfolders(target)) {
            const QString from = JoinPath(source, rel), to = JoinPath(target, rel);
            if (operation == 1)
                OLEStorage::MoveFolderCache(0, from, to);
            else
                OLEStorage::MoveFolderCache(2, from, QFileInfo(to).absolutePath());
        }
    }

    // Runs work on a thread of its own while the window keeps painting.
    template <typename F> void runOffThread(F work)
    {
        std::atomic<bool> finished { false };
        std::thread worker([&] {
            work();
            finished = true;
        });
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (finished)
                loop.quit();
        });
        poll.start(20);
        if (!finished)
            loop.exec();
        worker.join();
    }

    const char *const kSaveFilters[4] = { "Bitmap (*.bmp)", "Gif (*.gif)", "Jpeg (*.jpg)", "Png (*.png)" };

} // namespace

void Frm_Main::buildFileCommands()
{
    // Save, Save As, Delete File(s) and Scan... are entries of the command table
    // (Frm_MainCommands.cpp): keys, menus and toolbar reach them through RunCommand.
    connect(Tvw_Dir,
        &FolderTreeWidget::filesDropped,
        this,
        [this](const QStringList &paths, const QString &target, Qt::DropAction action) {
            const int shift = (QGuiApplication::keyboardModifiers() & Qt::ShiftModifier) ? 1 : 0;
            DropFilesOnFolder(paths, target, action == Qt::MoveAction ? 1 : 2, shift);
        });
}

void Frm_Main::TakeFolderSnapshot()
{
    const ListingResult now = ListFolderFiles(m_currentFolder, Txt_Filter->currentText(), settings().FileTypes);
    m_snapshotCount = now.count;
    m_snapshotTotal = now.total;
}

void Frm_Main::UpdateFolderTotals()
{
    const ListingResult now = ListFolderFiles(m_currentFolder, Txt_Filter->currentText(), settings().FileTypes);
    m_listedCount = std::max(0, m_listedCount - (m_snapshotCount - now.count));
    m_listedTotal = std::max<std::int64_t>(0, m_listedTotal - (m_snapshotTotal - now.total));
    m_panels[2]->setText(FolderSummaryText(m_listedTotal, m_listedCount));
}

// After files of the listed folder went away (deleted or moved): their thumbnails
// leave the cache, and the list either drops their entries or keeps them dimmed
// with the prefix ("Deleted - ", "Moved - ").
void Frm_Main::removeListedNames(const QStringList &names, const QString &prefix, bool ask, bool quiet)
{
    if (names.isEmpty())
        return;
    NameMap gone;
    for (const QString &n : names)
        gone.push_back({ n, QString() });
    OLEStorage::SetCurrentFolder(m_currentFolder);
    OLEStorage::RenameThumbs(2, gone);
    bool remove = !m_viewActions[2]->isChecked();
    if (!remove && ask && !quiet)
        remove = QMessageBox::question(dialogOwner(),
                     QStringLiteral("Vorlane7"),
                     QStringLiteral("Update the thumbnail view now?"),
                     QMessageBox::Yes | QMessageBox::No,
                     QMessageBox::No)
            == QMessageBox::Yes;
    if (remove) {
        std::vector<FileEntry> kept;
        for (const FileEntry &e : m_files->entries())
            if (!names.contains(e.name))
                kept.push_back(e);
        if (m_store)
            m_store->RequestCancel();
        m_files->setEntries(std::move(kept));
        m_currentPosition = std::clamp(m_currentPosition, 0, std::max(0, m_files->rowCount() - 1));
        m_lastShownRow = -1;
        if (m_files->rowCount() == 0) {
            EnableFileCommands(false);
            for (ThumbBox *box : Pic_Thumb) {
                box->setFileCount(0);
                box->ReleaseGridSurfaces();
            }
        } else if (m_viewActions[2]->isChecked()) {
            ShowThumbs();
        } else {
            for (ThumbBox *box : Pic_Thumb)
                box->setFileCount(m_files->rowCount());
        }
        return;
    }
    for (int row = 0; row < m_files->rowCount(); ++row) {
        FileEntry &e = m_files->entry(row);
        if (e.dimmed || !names.contains(e.name))
            continue;
        e.name = prefix + e.name;
        e.dimmed = true;
        m_files->entryChanged(row);
        if (m_store)
            m_store->ForgetThumb(row);
        // Its tile is drawn again from the store, which no longer holds the picture.
        for (ThumbBox *box : Pic_Thumb)
            box->thumbArrived(row);
    }
    if (!quiet)
        for (ThumbBox *box : Pic_Thumb) {
            box->ensureVisible(m_currentPosition);
            box->update();
        }
}

void Frm_Main::DeleteSelectedFiles(bool quiet)
{
    TakeFolderSnapshot();
    QList<int> rows;
    for (const QModelIndex &i : Lvw_Files->selectionModel()->selectedRows(0))
        rows << i.row();
    std::sort(rows.begin(), rows.end());
    QStringList sources;
    for (int row : rows) {
        const FileEntry &e = m_files->entries()[size_t(row)];
        if (!e.dimmed) // already gone from disk; a tagged list's row keeps its own folder
            sources << filePathAt(row);
    }
    if (sources.isEmpty())
        return;
    FileOperationResult r;
    ShellFileOperation(dialogOwner(), 3, QString(), sources, &r);
    QStringList names;
    for (const QString &p : std::as_const(r.done))
        names << QFileInfo(p).fileName();
    if (names.isEmpty()) {
        UpdateFolderTotals();
        return;
    }
    removeListedNames(names, DeletedPrefix, true, quiet);
    UpdateFolderTotals();
    Pic_Image->clearView();
    m_previewNotice.clear();
}

bool Frm_Main::DropFilesOnFolder(const QStringList &paths, const QString &destination, int operation, int shift)
{
    if (paths.isEmpty() || destination.isEmpty())
        return false;
    // Files from another volume are copied unless Shift asks for a move.
    for (const QString &p : paths)
        if (!SameFileSystem(p, destination)) {
            operation = shift == 1 ? 1 : 2;
            break;
        }
    QList<bool> isFolder;
    for (const QString &p : paths)
        isFolder << (QFileInfo(p).isDir() && !QFileInfo(p).isSymLink());
    TakeFolderSnapshot();
    FileOperationResult r;
    const bool ok = ShellFileOperation(this, operation, destination, paths, &r);
    QStringList movedHere;
    bool foldersChanged = false;
    for (qsizetype i = 0; i < r.done.size(); ++i) {
        const QString &source = r.done[i];
        const qsizetype at = paths.indexOf(source);
        if (at >= 0 && isFolder[at]) {
            foldersChanged = true;
            followFolderCache(operation, QDir::cleanPath(source), r.targets[i]);
            if (operation == 1)
                delete Tvw_Dir->findByKey(QDir::cleanPath(source));
            if (operation == 1 && (m_currentFolder == source || m_currentFolder.startsWith(source + u'/')))
                m_currentFolder = r.targets[i] + m_currentFolder.mid(source.size());
        } else if (operation == 1 && QFileInfo(source).absolutePath() == m_currentFolder
            && r.targets[i] != QDir::cleanPath(source)) {
            movedHere << QFileInfo(source).fileName();
        }
    }
    if (foldersChanged) {
        if (QTreeWidgetItem *node = Tvw_Dir->findByKey(destination)) {
            // Collapsed and expanded again, so that it shows its new child.
            node->setExpanded(false);
            Tvw_Dir->refreshChildren(node);
            node->setExpanded(true);
        }
    }
    removeListedNames(movedHere, MovedPrefix, true, false);
    UpdateFolderTotals();
    return ok;
}

bool Frm_Main::CopyOrMoveFolder(const QString &path, int operation)
{
    const QString chosen = Frm_FolderDlg::pickFolder(this);
    if (chosen.isEmpty())
        return false;
    if (QFileInfo::exists(JoinPath(chosen, QFileInfo(path).fileName())))
        return false; // a folder of that name is there already
    FileOperationResult r;
    const bool ok = ShellFileOperation(this, operation, chosen, { path }, &r);
    if (r.done.isEmpty())
        return false;
    const QString target = r.targets.first();
    followFolderCache(operation, path, target);
    if (operation == 1) {
        const bool wasListed = m_currentFolder == path || m_currentFolder.startsWith(path + u'/');
        delete Tvw_Dir->findByKey(path);
        Tvw_Dir->ExpandToPath(chosen);
        QCoreApplication::processEvents();
        if (Tvw_Dir->ExpandToPath(target))
            onNodeClicked(Tvw_Dir->currentItem());
        else if (wasListed)
            ListFolder(target);
    } else {
        if (QTreeWidgetItem *node = Tvw_Dir->findByKey(chosen))
            Tvw_Dir->refreshChildren(node);
        Tvw_Dir->ExpandToPath(chosen);
    }
    return ok;
}

bool Frm_Main::DeleteFolder(const QString &path)
{
    QTreeWidgetItem *node = Tvw_Dir->findByKey(path);
    if (path.isEmpty() || !node)
        return false;
    const bool volumeRoot = !node->parent();
    if (volumeRoot && IsProtectedFolder(path))
        return false; // "/" (or a volume holding the home folder) is never emptied
    // A volume's root: its contents go, the volume stays.
    const QStringList sources = volumeRoot ? MountRootContents(path) : QStringList { path };
    if (sources.isEmpty())
        return false;
    // Read before they go: the subfolders' cache storages go with them.
    const QStringList below = subfolders(path);
    m_treeTag = QStringLiteral("3");
    FileOperationResult r;
    const bool ok = ShellFileOperation(this, 3, QString(), sources, &r);
    m_treeTag.clear();
    if (r.done.isEmpty())
        return false;
    if (ok || volumeRoot)
        OLEStorage::DeleteFolderCache(OLEStorage::FolderStorageName(path), OLEStorage::CacheFileName);
    for (const QString &rel : below) {
        const QString gone = JoinPath(path, rel);
        if (!QFileInfo::exists(gone)) // a subfolder left by a failed delete keeps its thumbnails
            OLEStorage::DeleteFolderCache(OLEStorage::FolderStorageName(gone), OLEStorage::CacheFileName);
    }
    const bool wasListed = m_currentFolder == path || m_currentFolder.startsWith(path + u'/');
    QTreeWidgetItem *listNode = node;
    if (volumeRoot) {
        node->setExpanded(false);
        Tvw_Dir->refreshChildren(node);
    } else {
        listNode = node->parent();
        delete node;
    }
    if (wasListed) {
        if (m_store)
            m_store->RequestCancel();
        setImagePropertiesMode(false);
        m_files->clear();
        EnableFileCommands(false);
        m_currentPosition = 0;
        Pic_Image->clearView();
        for (ThumbBox *box : Pic_Thumb) {
            box->setFileCount(0);
            box->ReleaseGridSurfaces();
        }
    }
    // One consistent window: the parent folder (or the emptied volume) selected and
    // listed, with its history box entry and its totals. Scrolled to first: a history
    // choice handled during the listing may re-read the tree and delete the node.
    Tvw_Dir->scrollToItem(listNode);
    onNodeClicked(listNode);
    return ok;
}

void Frm_Main::FileOpsMenuCommand(int index)
{
    QTreeWidgetItem *node = Tvw_Dir->dropHighlighted() ? Tvw_Dir->dropHighlighted() : Tvw_Dir->currentItem();
    if (!node || FolderTreeWidget::keyOf(node).isEmpty())
        return;
    const QString key = FolderTreeWidget::keyOf(node);
    switch (index) {
    case 0:
        // Nothing is made where nothing can be written: a read-only medium or folder.
        if (!QFileInfo(key).isWritable())
            return;
        Tvw_Dir->setCurrentItem(node);
        BeginNewFolder();
        break;
    case 1:
        Tvw_Dir->setCurrentItem(node);
        BeginRenameFolder();
        break;
    case 3:
        CopyOrMoveFolder(key, 2);
        break;
    case 4:
        CopyOrMoveFolder(key, 1);
        break;
    case 6:
        DeleteFolder(key);
        break;
    default:
        break;
    }
}

void Frm_Main::showFileOpsMenu(const QPoint &pos)
{
    // "File Control" of the command table, on the node under the pointer.
    if (QTreeWidgetItem *at = Tvw_Dir->itemAt(pos))
        Tvw_Dir->setCurrentItem(at);
    popupMenu(MenuId::FileOp, Tvw_Dir->viewport()->mapToGlobal(pos));
}

bool Frm_Main::SaveImage(const QImage &scanned, bool showDialog)
{
    const bool scan = !scanned.isNull();
    const QModelIndex current = Lvw_Files->currentIndex();
    if (!scan && (!current.isValid() || m_files->entries()[size_t(current.row())].dimmed))
        return false;
    const QString sourceName = scan ? QString() : m_files->entries()[size_t(current.row())].name;
    // A tagged list's row keeps its own folder: Save rewrites that file, not a namesake here.
    const QString sourcePath = scan ? QString() : filePathAt(current.row());
    const QString proposed = scan ? QStringLiteral("New scanned image") : sourceName;
    const QString proposedExt = scan ? QStringLiteral("jpg") : QFileInfo(sourceName).suffix();
    QString target;
    if (!showDialog) {
        target = scan ? JoinPath(m_currentFolder, proposed) : sourcePath;
    } else {
        for (;;) {
            QFileDialog dlg(this,
                QStringLiteral("Save current image as"),
                m_lastSaveFolder.isEmpty() ? m_currentFolder : m_lastSaveFolder);
            dlg.setObjectName(QStringLiteral("SaveDialog"));
            dlg.setAcceptMode(QFileDialog::AcceptSave);
            dlg.setOption(QFileDialog::DontUseNativeDialog);
            dlg.setOption(QFileDialog::DontConfirmOverwrite); // asked below, in the design's words
            QStringList filters;
            for (const char *f : kSaveFilters)
                filters << QString::fromLatin1(f);
            dlg.setNameFilters(filters);
            dlg.selectNameFilter(filters[2]);
            dlg.setDefaultSuffix(proposedExt);
            dlg.selectFile(proposed.left(256));
            if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
                return false;
            target = dlg.selectedFiles().first();
            m_lastSaveFolder = QFileInfo(target).absolutePath();
            const ImageType type = imageTypeOf(QFileInfo(target).suffix().toLower());
            const bool served = QFileInfo(target).suffix().toLower() == QLatin1String("jpg") || type == ImageType::Gif
                || type == ImageType::Bmp || type == ImageType::Png;
            if (!scan || served)
                break;
            // A scan is not dropped for want of a writer: the user chooses again.
            QMessageBox::warning(this,
                QStringLiteral("Save current image as"),
                QStringLiteral("Files of the type \"%1\" cannot be saved. Choose .jpg, .gif, .bmp or .png.")
                    .arg(QFileInfo(target).suffix()));
        }
    }
    TakeFolderSnapshot();
    const bool existed = QFileInfo::exists(target);
    if (existed
        && QMessageBox::question(this,
               QStringLiteral("File exist"),
               QStringLiteral("File already exist, overwrite existing file"),
               QMessageBox::Yes | QMessageBox::No)
            != QMessageBox::Yes)
        return false;
    bool saved = false;
    if (scan) {
        const bool gif = QFileInfo(target).suffix().toLower() == QLatin1String("gif");
        saved = SaveImageFile(target, scanned, gif ? 8 : 24, 85);
    } else {
        const QString &source = sourcePath;
        ImageFileInfo info;
        info.fileName = source;
        const int depth = GetImageInfo(info) ? SaveDepthFor(info.bitsPerPixel) : 24;
        QApplication::setOverrideCursor(Qt::WaitCursor);
        // The image operations in force are replayed on a full-size decode.
        const SaveOutcome edited =
            ImageEditActive() ? SaveShownImage(source, target, depth, 85) : SaveOutcome::NothingToSave;
        if (edited == SaveOutcome::NothingToSave) {
            const QImage image = ComposeImageForSave(source);
            saved = !image.isNull() && SaveImageFile(target, image, depth, 85, source);
        } else {
            saved = edited != SaveOutcome::Failed;
            if (saved && QFileInfo(target).canonicalFilePath() == QFileInfo(source).canonicalFilePath()) {
                CommitImageEdits(viewState());
                if (m_imageOps) // its sliders and turns spoke of the edits just written
                    m_imageOps->close();
            }
        }
        QApplication::restoreOverrideCursor();
    }
    if (!saved) {
        QMessageBox::warning(
            this, QStringLiteral("Vorlane7"), QStringLiteral("The image could not be saved as \"%1\".").arg(target));
        UpdateFolderTotals();
        return false;
    }
    // The list shows files of its own folder only; a scan leaves it as it is.
    const QFileInfo written(target);
    if (!scan && written.absolutePath() == QDir::cleanPath(m_currentFolder)) {
        const int row = m_files->findName(written.fileName());
        if (row >= 0) { // the entry of the file written, not whichever is selected
            FileEntry &e = m_files->entry(row);
            e.size = written.size();
            e.setModified(written.lastModified());
            m_files->entryChanged(row);
        } else {
            std::vector<FileEntry> entries = m_files->entries();
            FileEntry e;
            e.name = written.fileName();
            e.size = written.size();
            e.setModified(written.lastModified());
            e.tag = true;
            entries.push_back(e);
            m_files->setEntries(std::move(entries));
            const int at = m_files->findName(written.fileName());
            if (at >= 0)
                Lvw_Files->setCurrentIndex(m_files->index(at, 0));
            for (ThumbBox *box : Pic_Thumb)
                box->setFileCount(m_files->rowCount());
        }
    }
    UpdateFolderTotals();
    return true;
}

void Frm_Main::Scan()
{
    std::vector<ScanDevice> devices;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    runOffThread([&] { devices = ScanDevices(); });
    QApplication::restoreOverrideCursor();
    if (devices.empty()) {
        // Said rather than nothing at all: the user would not know why no scan came.
        QMessageBox::information(this,
            QStringLiteral("Scan"),
            QStringLiteral("No scanner was found.\n\nCheck that the scanner is connected and switched on, and that "
                           "its SANE backend is installed (\"scanimage -L\" lists it)."));
        return;
    }
    // The source is chosen once per run; a cancelled choice asks again next time.
    bool known = false;
    for (const ScanDevice &d : devices)
        known = known || d.name == m_scanSource;
    if (!known) {
        QStringList labels;
        for (const ScanDevice &d : devices)
            labels << d.label();
        bool ok = false;
        const QString chosen = QInputDialog::getItem(
            this, QStringLiteral("Select Source"), QStringLiteral("Sources:"), labels, 0, false, &ok);
        const qsizetype i = labels.indexOf(chosen);
        if (!ok || i < 0)
            return;
        m_scanSource = devices[size_t(i)].name;
    }
    std::atomic<bool> cancel { false };
    std::atomic<int> percent { 0 };
    ScanRequest request;
    request.device = m_scanSource;
    request.cancel = &cancel;
    request.percent = &percent;
    QProgressDialog progress(QStringLiteral("Scanning..."), QStringLiteral("Cancel"), 0, 100, this);
    progress.setObjectName(QStringLiteral("ScanProgress"));
    progress.setWindowTitle(QStringLiteral("Scan"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    QTimer tick;
    connect(&tick, &QTimer::timeout, &progress, [&] { progress.setValue(std::min(99, percent.load())); });
    connect(&progress, &QProgressDialog::canceled, &progress, [&] { cancel = true; });
    tick.start(100);
    ScanResult result;
    runOffThread([&] { result = ScanImage(request); });
    tick.stop();
    progress.close();
    if (result.image.isNull()) {
        if (!result.cancelled && !result.error.isEmpty()) {
            m_scanSource.clear(); // the next scan lets the user choose again
            QMessageBox::warning(this, QStringLiteral("Scan"), result.error);
        }
        return;
    }
    SaveImage(result.image, true);
}

} // namespace v7
