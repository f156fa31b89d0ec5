// The main window's display: the preview of the current file, the thumbnail
// display and its store, the progress bar of the status line, the grid's presses,
// the zoom and the fit mode.
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
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QSet>
#include <QShortcut>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <cmath>
#include <memory>
#include <utility>

namespace v7
{

void Frm_Main::ShowCurrentImage(int row)
{
    if (row < 0 || row >= m_files->rowCount())
        return;
    m_panOrigin = QPointF();
    if (m_zoom.isUnset())
        m_zoom = ZoomFactor::fromWhole(1);
    const QString path = filePathAt(row);
    if (!m_viewActions[1]->isChecked())
        return;
    Pic_Image->setDrawSettings(settings());
    m_previewNotice.clear();
    if (!Pic_Image->showImage(path, m_state.Imagefit, m_zoom)) {
        // A damaged or empty file: the pane says which, rather than going blank.
        Pic_Image->clearView();
        showPreviewNotice(m_files->entries()[size_t(row)].name);
    }
    // Prepare the next file the way the user is moving; at the first or last file
    // (Home, End, a restored last file) the only neighbour there is.
    const int step = (m_lastShownRow >= 0 && row < m_lastShownRow) ? -1 : 1;
    m_lastShownRow = row;
    int next = row + step;
    if (next < 0 || next >= m_files->rowCount())
        next = row - step;
    if (next >= 0 && next < m_files->rowCount()) {
        // Decoded at the size this pane will show it, as the preview itself would.
        const QString nextPath = filePathAt(next);
        m_prefetch->prefetch(nextPath, PreviewReductionFor(nextPath, Pic_Image->size(), m_state.Imagefit, m_zoom));
    }
}

BitmapStore *Frm_Main::detachStore(int maxRounds)
{
    BitmapStore *const store = m_store;
    if (!store)
        return nullptr;
    // The grid lets go of the pictures first: the wait repaints it, and by then
    // it may show another listing's names.
    for (ThumbBox *box : Pic_Thumb)
        box->setSources(nullptr, nullptr, {});
    WaitForStore(store, maxRounds);
    if (m_store != store)
        return nullptr; // released while we waited (the window closed meanwhile)
    m_store = nullptr;
    return store;
}

void Frm_Main::releaseStore(int maxRounds)
{
    if (BitmapStore *store = detachStore(maxRounds))
        store->deleteLater();
}

void Frm_Main::dropStandIns()
{
    if (!m_standInStore)
        return;
    for (ThumbBox *box : Pic_Thumb)
        box->setStandIn(nullptr, nullptr);
    m_standInStore->deleteLater();
    m_standInStore = nullptr;
}

void Frm_Main::ShowThumbs()
{
    if (m_closing)
        return; // a display started now would outlive the window
    if (m_files->rowCount() == 0) {
        m_panels[4]->clear();
        return;
    }
    const int current = Lvw_Files->currentIndex().isValid() ? Lvw_Files->currentIndex().row() : -1;
    for (ThumbBox *box : Pic_Thumb) {
        box->setFileCount(m_files->rowCount());
        box->setSelected(current);
    }
    // The current file (a restored last file, say) is on screen from the start.
    Pic_Thumb[m_activeBox]->ensureVisible(current);
    // Only one store works at a time: the previous display ends first. A listing that
    // ran while we waited has started its own display; this one is no longer wanted.
    const int serial = m_listingSerial;
    const bool keepPictures = std::exchange(m_keepPictures, false);
    dropStandIns();
    QPointer<BitmapStore> previous;
    if (keepPictures && m_store) {
        // Its job ends as in a release; the store itself stays for its pictures.
        previous = detachStore(0);
        if (!previous)
            return; // a change that came while we waited has made its own display
    }
    releaseStore(0);
    if (m_closing || serial != m_listingSerial || m_store) {
        if (previous)
            previous->deleteLater();
        return;
    }
    QStringList files;
    files.reserve(m_files->rowCount());
    for (const FileEntry &e : m_files->entries())
        files << (e.folder.isEmpty() || e.folder == m_currentFolder ? e.name : JoinPath(e.folder, e.name));
    // What the previous store was made for, and which of those files changed since.
    const QStringList previousNames = std::exchange(m_storeNames, files);
    const QSet<QString> changed = std::exchange(m_changedSinceStore, {});
    GridValues grid;
    grid.columns = Pic_Thumb[0]->geometry().columns;
    grid.fileCount = m_files->rowCount();
    grid.expected = grid.fileCount;
    // Reference 0: whenever the grid is scrolled to a current file, the job makes the
    // rows on screen first (a reference at the current file made it start at the top).
    grid.referenceIndex = 0;
    m_store = new BitmapStore(this, grid, m_currentFolder, this);
    connect(m_store, &BitmapStore::displayFinished, this, &Frm_Main::thumbDisplayFinished);
    BitmapStore *store = m_store;
    const auto captions = [this](int index) { return thumbCaption(index); };
    for (ThumbBox *box : Pic_Thumb)
        box->setSources([store](QPainter &p, int index, QPoint origin) { store->DrawStoredThumb(p, index, origin); },
            [store](int index) { return store->arrived(index); },
            captions);
    if (previous) {
        m_standInStore = previous;
        // Each row's index in the previous store, found by name: a file neither new nor
        // rewritten since that store was made shows the picture it had there.
        QHash<QString, int> before;
        for (int i = 0; i < previousNames.size(); ++i)
            before.insert(previousNames[i], i);
        auto map = std::make_shared<std::vector<int>>(std::size_t(files.size()), -1);
        for (qsizetype r = 0; r < files.size(); ++r)
            if (!changed.contains(files[r]))
                (*map)[std::size_t(r)] = before.value(files[r], -1);
        const auto oldIndex = [map](int index) {
            return index >= 0 && std::size_t(index) < map->size() ? (*map)[std::size_t(index)] : -1;
        };
        for (ThumbBox *box : Pic_Thumb)
            box->setStandIn(
                [previous, oldIndex](QPainter &p, int index, QPoint origin) {
                    if (BitmapStore *const from = previous.data())
                        from->DrawStoredThumb(p, oldIndex(index), origin);
                },
                [this, previous, oldIndex](int index) {
                    BitmapStore *const from = previous.data();
                    const int old = oldIndex(index);
                    // A row deleted meanwhile ("Deleted - ") shows no picture.
                    return from && old >= 0 && index < m_files->rowCount() && !m_files->entry(index).dimmed
                        && from->hasThumb(old);
                });
        // Once the new display has every picture, the stand-ins have served.
        connect(m_store, &BitmapStore::displayFinished, this, &Frm_Main::dropStandIns);
    }
    updateStorePane();
    m_worker = StartThumbDisplay(
        settings().ThreadMode,
        m_currentFolder,
        files,
        m_store,
        [this](const QString &text, const QString &title) {
            // The job has stopped: its "Processing thumbnail..." is no longer true.
            m_panels[4]->clear();
            QMessageBox::warning(this, title, text);
        },
        this);
}

void Frm_Main::updateStorePane()
{
    // The job makes the visible rows first: it reads where the active box looks, in
    // pixels of the grid.
    if (!m_store)
        return;
    ThumbBox *box = Pic_Thumb[m_activeBox];
    const int top = box->scrollOffset();
    m_store->setPane(std::max(0, box->selected()), top, top + box->height());
}

void Frm_Main::RequestRepaint()
{
    for (ThumbBox *box : Pic_Thumb)
        box->RequestRepaint();
}

void Frm_Main::SetStatusPanelText(int panel, const QString &text)
{
    if (panel >= 1 && panel <= int(m_panels.size()))
        m_panels[size_t(panel - 1)]->setText(text);
}

int Frm_Main::ProgressWidth()
{
    return std::max(16, m_panels[0]->width());
}

void Frm_Main::DrawProgress(int length, int height, const QString &counterText)
{
    // Line, bar and counter all start at the bar position, the area's top left. The
    // counter is shown whole even where the panel is narrower.
    QLabel *panel = m_panels[0];
    const QFontMetrics metrics(panel->font());
    const int textWidth = counterText.isEmpty() ? 0 : metrics.horizontalAdvance(counterText);
    QPixmap bar(std::max(ProgressWidth(), textWidth), 16);
    bar.fill(Qt::transparent);
    QPainter p(&bar);
    if (height >= 16) {
        p.fillRect(QRect(0, 0, length, 16), Qt::black);
    } else {
        p.fillRect(QRect(0, 0, length, 1), Qt::white);
        p.fillRect(QRect(0, 1, length, 2), Qt::black);
    }
    if (textWidth > 0) {
        // Opaque: the line does not run through the digits.
        p.fillRect(QRect(0, 0, textWidth, metrics.height()), panel->palette().color(QPalette::Window));
        p.setFont(panel->font());
        p.setPen(panel->palette().color(QPalette::WindowText));
        p.drawText(0, metrics.ascent(), counterText);
    }
    p.end();
    panel->setPixmap(bar);
}

QPixmap Frm_Main::progressPixmap() const
{
    return m_panels[0]->pixmap();
}

void Frm_Main::ShowDeliveredThumb(int, int, int)
{
    RequestRepaint();
}

QString Frm_Main::FileNameAt(int index)
{
    return index >= 0 && index < m_files->rowCount() ? m_files->entries()[size_t(index)].name : QString();
}

void Frm_Main::onCellPressed(
    int box, int item, Qt::MouseButton button, bool onCornerMark, Qt::KeyboardModifiers modifiers)
{
    if (!m_viewActions[2]->isChecked() || m_files->rowCount() == 0)
        return;
    m_activeBox = box;
    Lvw_Files->setSelectionMode(
        modifiers & Qt::ShiftModifier ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection);
    if (item < 1 || item > m_files->rowCount())
        return;
    const QModelIndex index = m_files->index(item - 1, 0);
    if (button == Qt::LeftButton)
        m_loadOnClick = true; // a click shows the file in the preview
    if (modifiers & Qt::ShiftModifier)
        Lvw_Files->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    if (Lvw_Files->currentIndex() != index)
        Lvw_Files->setCurrentIndex(index);
    else {
        writeCurrentFileStatus(item - 1);
        if (m_loadOnClick)
            reshowSelected();
    }
    Lvw_Files->scrollTo(index);
    m_loadOnClick = false;
    if (onCornerMark || button == Qt::RightButton)
        ShowContextMenu(QCursor::pos());
}

void Frm_Main::reshowSelected()
{
    const QModelIndex current = Lvw_Files->currentIndex();
    if (!current.isValid())
        return;
    m_loadOnClick = true;
    m_pendingPreview = current.row();
    if (!Tmr_LvwClick->isActive())
        Tmr_LvwClick->start();
    m_loadOnClick = false;
}

void Frm_Main::ApplyZoom(ZoomFactor zoom)
{
    if (!zoom.inRange())
        return;
    m_zoom = zoom;
    m_zoomText = m_zoom.text();
    m_panels[3]->setText(m_zoom.statusText());
    reshowSelected();
}

void Frm_Main::chooseFitMode(int index)
{
    const QStringList fits = { "FitNormal", "FitAuto", "FitWidth", "FitHeight" };
    if (index < 0 || index > 3)
        return;
    m_state.Imagefit = fits[index];
    if (m_viewActions[1]->isChecked())
        reshowSelected();
    for (int i = 0; i < 4; ++i)
        m_fitActions[i]->setChecked(i == index);
}

} // namespace v7
