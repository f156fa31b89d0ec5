// The main window's file list: listing a folder, the file that was current there,
// the columns and the image-properties mode, the history and the filter box.
#include "app/CustomFrame.h"
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "browser/FilterBox.h"
#include "browser/FolderTreeWidget.h"
#include "browser/Listing.h"
#include "imaging/Codecs.h"
#include "imaging/Draw.h"
#include "imaging/ImageLoad.h"
#include "imaging/Prefetch.h"
#include "imaging/widgets/DrawView.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/MainToolbar.h"
#include "mainwin/ThumbBox.h"
#include "platform/Shell.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/ThumbX.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <cmath>

namespace v7
{

bool Frm_Main::imagePropertiesMode() const
{
    return Mnu_ImgInfo->isChecked();
}

void Frm_Main::setImagePropertiesMode(bool on)
{
    QHeaderView *header = Lvw_Files->header();
    const QSignalBlocker block(Mnu_ImgInfo);
    Mnu_ImgInfo->setChecked(on);
    if (!on) {
        if (header->visualIndex(3) != 3)
            header->moveSection(header->visualIndex(3), 3);
        return;
    }
    header->moveSection(header->visualIndex(3), 1);
    header->resizeSection(3, 100);
    header->resizeSection(4, 75);
    QCoreApplication::processEvents();
    for (int row = 0; row < m_files->rowCount(); ++row) {
        ListImagePropertiesOf(m_files->entry(row), folderOf(m_files->entry(row)));
        m_files->entryChanged(row);
    }
    QCoreApplication::processEvents();
    Lvw_Files->viewport()->update();
}

QString Frm_Main::ReadImageProperties(int row)
{
    if (row < 0 || row >= m_files->rowCount())
        return QString();
    const QString text =
        ReadImagePropertiesOf(m_files->entry(row), folderOf(m_files->entry(row)), m_readPropertiesFlag);
    m_files->entryChanged(row);
    return text;
}

bool Frm_Main::ListFolder(const QString &folder)
{
    if (m_closing)
        return false;
    // Events run during a listing may start another; the newest one is what is shown.
    const int serial = ++m_listingSerial;
    // A new folder stops the display of the old one at its next thumbnail.
    if (m_store)
        m_store->RequestCancel();
    // "List Image Properties" stays on, its column where the user saw it.
    m_files->clear();
    m_files->clearHeaderIcon();
    for (ThumbBox *box : Pic_Thumb)
        box->setFileCount(0);
    EnableFileCommands(false);
    Pic_Image->clearView();
    m_previewNotice.clear();
    m_panels[2]->clear();
    m_panels[4]->clear();
    m_currentPosition = 0;
    m_lastShownRow = -1; // another folder's rows give no direction
    m_listedCount = 0;
    m_listedTotal = 0;
    Lvw_Files->setSelectionMode(QAbstractItemView::SingleSelection);

    QElapsedTimer clock;
    clock.start();
    if (!QFileInfo(folder).isDir())
        return false;
    m_currentFolder = folder;
    m_files->setFolder(folder);
    watchListedFolder(folder);
    QCoreApplication::processEvents();
    if (m_closing)
        return true;
    if (serial != m_listingSerial)
        return true; // listed over by a newer request, which has shown its own folder

    ListingResult listed = ListFolderFiles(folder, Txt_Filter->currentText(), settings().FileTypes);
    if (listed.count == 0)
        return true;
    m_files->setEntries(std::move(listed.entries));
    if (imagePropertiesMode()) {
        for (int row = 0; row < m_files->rowCount(); ++row)
            ListImagePropertiesOf(m_files->entry(row), folder);
        if (m_files->sortKey() >= 3)
            m_files->sortAgain(); // sorted by the texts just read
    }
    m_listedCount = listed.count;
    m_listedTotal = listed.total;
    const qint64 elapsed = clock.elapsed();
    EnableFileCommands(true);
    m_history.AddFolderToHistory(folder);
    m_panels[2]->setText(FolderSummaryText(m_listedTotal, m_listedCount));
    RestoreLastFile();
    QCoreApplication::processEvents();
    if (m_closing)
        return true;
    if (serial != m_listingSerial)
        return true;
    if (m_viewActions[2]->isChecked())
        ShowThumbs();
    else
        m_panels[4]->setText(ListingTimeText(m_listedCount, elapsed));
    if (m_closing || serial != m_listingSerial)
        return true; // a newer listing ran while the old display let go
    Q_EMIT folderListed(folder, m_listedCount);
    return true;
}

void Frm_Main::RestoreLastFile()
{
    const auto it = m_lastFileByFolder.constFind(m_currentFolder);
    const QString wanted = LastFileToRestore(
        m_currentFolder, it == m_lastFileByFolder.constEnd() ? nullptr : &*it, m_savedLastFolder, m_savedLastFile);
    const int row = wanted.isEmpty() ? -1 : m_files->findName(wanted);
    if (row < 0)
        return;
    Lvw_Files->clearSelection();
    m_loadOnClick = true;
    Lvw_Files->setCurrentIndex(m_files->index(row, 0));
    Lvw_Files->scrollTo(m_files->index(row, 0));
}

void Frm_Main::onColumnClicked(int column)
{
    if (!m_files->sortByColumn(column))
        return;
    // Keep the current file current in its new place.
    const QModelIndex current = Lvw_Files->currentIndex();
    if (current.isValid())
        m_currentPosition = current.row();
    if (m_viewActions[2]->isChecked())
        ShowThumbs(); // the grid follows the list's new order
}

QString Frm_Main::currentFileSizeText(int row) const
{
    return FormatThousands(m_files->entries()[size_t(row)].size);
}

void Frm_Main::onCurrentRowChanged(int row)
{
    m_currentPosition = row;
    for (ThumbBox *box : Pic_Thumb)
        if (box->selected() != row)
            box->setSelected(row);
    followInGrid(row);
    const FileEntry &e = m_files->entries()[size_t(row)];
    m_lastFileByFolder.insert(m_currentFolder, e.name);
    writeCurrentFileStatus(row);
    if (m_loadOnClick) {
        m_pendingPreview = row;
        if (m_viewActions[1]->isChecked() && !Tmr_LvwClick->isActive())
            Tmr_LvwClick->start();
    }
    m_loadOnClick = false;
}

void Frm_Main::onListClickTimer()
{
    Tmr_LvwClick->stop();
    if (m_pendingPreview >= 0)
        Q_EMIT previewRequested(m_pendingPreview);
}

void Frm_Main::ChooseHistory(int i)
{
    if (i < 0 || i >= m_history.items().size())
        return;
    const QString folder = m_history.items()[i];
    if (!m_history.ChooseHistoryFolder(i, QFileInfo(folder).isDir()))
        return;
    if (Tvw_Dir->ExpandToPath(folder))
        onNodeClicked(Tvw_Dir->currentItem());
}

void Frm_Main::onFilterEntered()
{
    Folder_Refresh();
    QStringList items = filterHistory();
    const QString text = Txt_Filter->currentText();
    const int before = items.size();
    AddFilterToHistory(items, text);
    if (items.size() != before) {
        Txt_Filter->insertItem(0, text);
        Txt_Filter->setEditText(text);
    }
}

} // namespace v7
