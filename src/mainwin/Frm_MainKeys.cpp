// The main window's key handler: every key of a pane passes here first, is looked
// up in the key map with the focused pane and the window's state, and runs what
// the map says. Keys the map does not name go on to the focused control.
#include "browser/FileListModel.h"
#include "browser/FolderTreeWidget.h"
#include "imaging/ImageLoad.h"
#include "imaging/ViewState.h"
#include "imaging/widgets/DrawView.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/ThumbBox.h"
#include "thumbs/GridLayout.h"
#include "thumbs/ThumbX.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QStatusBar>
#include <QTreeView>

namespace v7
{

namespace
{
    // The key-up rule keeps the list's current row this far inside its edges.
    constexpr int ListKeepInView = 18;
    constexpr int AppsMenuInset = 16; // pixels inside the list's right edge
    constexpr int AppsMenuDown = 900 / 15; // 900 twips below its top
    constexpr int StopStoreRounds = 101;
} // namespace

KeyState Frm_Main::keyState(QObject *focused) const
{
    if (focused == Txt_Filter->lineEdit())
        focused = Txt_Filter;
    KeyState s;
    s.pane = focused ? PaneFromName(focused->objectName()) : Pane::Other;
    s.fileSelected = Lvw_Files->currentIndex().isValid();
    s.treeHasNode = Tvw_Dir->currentItem() != nullptr;
    s.fileListVisible = Lvw_Files->isVisible();
    s.showThumbnails = m_viewActions[2]->isChecked();
    s.previewShown = m_viewActions[1]->isChecked();
    return s;
}

bool Frm_Main::MainKeyDown(QObject *focused, QKeyEvent *event)
{
    delete m_thumbOverlay;
    const KeyDecision d = DispatchKey(event->key(), event->modifiers(), keyState(focused));
    const QModelIndex current = Lvw_Files->currentIndex();
    switch (d.action) {
    case KeyAction::Pass:
        return handleControlKey(focused, event);
    case KeyAction::Swallow:
    case KeyAction::NoEffect:
        break;
    case KeyAction::RunCommand: {
        QAction *a = commandAction(d.command);
        // A Ctrl shortcut runs only while its menu entry is enabled; Ctrl+D, Delete
        // and the function keys always.
        const bool ctrl = event->modifiers() & Qt::ControlModifier;
        if (a && ctrl && d.command != CommandId::DeleteFiles && !a->isEnabled())
            break;
        if (a && a->isCheckable())
            a->trigger();
        else
            RunCommand(d.command);
        break;
    }
    case KeyAction::PageToList:
        m_loadOnClick = true;
        sendKeyToList(d.arg);
        break;
    case KeyAction::PrevFile:
    case KeyAction::NextFile:
        moveListBy(d.action == KeyAction::NextFile ? 1 : -1, true);
        break;
    case KeyAction::StopStore:
        StopStore();
        break;
    case KeyAction::ThumbShowCurrent:
        if (m_viewActions[1]->isChecked())
            reshowSelected();
        else if (current.isValid())
            showImageOverThumbs(current.row());
        break;
    case KeyAction::WritePaneName:
        if (focused)
            m_panels[1]->setText(focused == Txt_Filter->lineEdit() ? Txt_Filter->objectName() : focused->objectName());
        break;
    case KeyAction::MainMenu:
        ShowMainMenu();
        break;
    case KeyAction::ReleaseWorker:
        m_worker = nullptr;
        break;
    case KeyAction::RefreshNode:
        Folder_Refresh();
        break;
    case KeyAction::ToggleView:
        m_viewActions[d.arg]->toggle();
        break;
    case KeyAction::Reload:
        RunCommand(CommandId::Reload);
        break;
    case KeyAction::ClearPreview:
        Pic_Image->clearView();
        FreeCurrentImage();
        ReleaseOffscreen();
        m_lastShownRow = -1;
        break;
    case KeyAction::Pan:
        keyboardPan(d.arg);
        break;
    case KeyAction::ThumbMove:
        thumbMove(focused, d.arg, d.multiSelect);
        break;
    case KeyAction::SetZoom:
        ApplyZoom(ZoomFactor::fromWhole(d.arg));
        break;
    case KeyAction::ZoomIn:
        if (m_zoom.effective().scaled() < ZoomFactor::Max)
            ApplyZoom(m_zoom.stepped(u"+"));
        break;
    case KeyAction::ZoomOut:
        if (m_zoom.effective().scaled() > ZoomFactor::Min)
            ApplyZoom(m_zoom.stepped(u"-"));
        break;
    case KeyAction::OpenAssociated:
        OpenForEditing();
        break;
    case KeyAction::FilterList:
        break; // the filter box lists the folder itself
    case KeyAction::HistoryOpen:
        showHistoryMenu();
        break;
    case KeyAction::OpenZoom:
        if (current.isValid())
            Q_EMIT zoomWindowRequested(current.row());
        break;
    case KeyAction::AppsMenu:
        ShowContextMenu(Lvw_Files->mapToGlobal(QPoint(Lvw_Files->width() - AppsMenuInset, AppsMenuDown)));
        break;
    }
    return d.swallow;
}

bool Frm_Main::handleControlKey(QObject *focused, QKeyEvent *event)
{
    // Keys the map leaves to the panes, with the panes' own meaning.
    const int key = event->key();
    if (focused == Tvw_Dir && key == Qt::Key_Delete) {
        if (QTreeWidgetItem *node = Tvw_Dir->currentItem())
            DeleteFolder(FolderTreeWidget::keyOf(node));
        return true;
    }
    if (focused == Lvw_Files)
        m_loadOnClick = true;
    if (focused == Lvw_DirHist && (key == Qt::Key_Space || key == Qt::Key_Down)) {
        showHistoryMenu();
        return true;
    }
    return false;
}

void Frm_Main::MainKeyUp(QObject *focused, QKeyEvent *event)
{
    const int key = event->key();
    if (key < Qt::Key_Left || key > Qt::Key_Down || keyState(focused).pane != Pane::Thumb)
        return;
    const QModelIndex current = Lvw_Files->currentIndex();
    if (!current.isValid())
        return;
    const QRect r = Lvw_Files->visualRect(current);
    if (r.top() < ListKeepInView || r.top() > Lvw_Files->viewport()->height() + ListKeepInView)
        Lvw_Files->scrollTo(current);
}

void Frm_Main::sendKeyToList(int key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(Lvw_Files, &press);
}

void Frm_Main::moveListBy(int step, bool wrap)
{
    const int rows = m_files->rowCount();
    if (rows == 0 || step == 0)
        return;
    const QModelIndex current = Lvw_Files->currentIndex();
    const int row = current.isValid() ? current.row() : -1;
    int key = step > 0 ? Qt::Key_Down : Qt::Key_Up;
    if (wrap && step > 0 && row == rows - 1)
        key = Qt::Key_Home;
    else if (wrap && step < 0 && row <= 0)
        key = Qt::Key_End;
    m_loadOnClick = true;
    sendKeyToList(key);
}

void Frm_Main::StopStore()
{
    BitmapStore *const store = m_store;
    if (store) {
        store->RequestCancel();
        // The flag is the store's own; yield until it reads back as set, for at most
        // as many rounds as the close allows, so a store that never answers cannot
        // hold the window in this loop.
        QPointer<BitmapStore> guard(store);
        for (int round = 0; round < StopStoreRounds && guard && !guard->cancelRequested(); ++round)
            QCoreApplication::processEvents();
    }
    statusBar()->update();
}

void Frm_Main::keyboardPan(int key)
{
    ViewState &vs = viewState();
    if (!Pic_Image->hasImage())
        return;
    const bool horizontal = key == Qt::Key_Left || key == Qt::Key_Right;
    const int direction = (key == Qt::Key_Right || key == Qt::Key_Down) ? 1 : -1;
    const std::vector<int> steps = horizontal ? KeyboardPanSteps(vs.srcX, vs.viewW, vs.imageW, direction)
                                              : KeyboardPanSteps(vs.srcY, vs.viewH, vs.imageH, direction);
    for (int offset : steps) {
        const int from = horizontal ? vs.srcX : vs.srcY;
        const int delta = offset - from;
        Pic_Image->commitPan(horizontal ? delta : 0, horizontal ? 0 : delta);
        Pic_Image->repaint();
        if ((horizontal ? vs.srcX : vs.srcY) != offset)
            break; // the pane kept the image's edge in view: no further to go
    }
}

void Frm_Main::thumbMove(QObject *focused, int key, bool multiSelect)
{
    int box = 0;
    if (focused == Pic_Thumb[1])
        box = 1;
    Lvw_Files->setSelectionMode(
        multiSelect ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection);
    if (m_files->rowCount() == 0)
        return;
    GridKey gridKey = GridKey::Other;
    switch (key) {
    case Qt::Key_Left:
        gridKey = GridKey::Left;
        break;
    case Qt::Key_Right:
        gridKey = GridKey::Right;
        break;
    case Qt::Key_Up:
        gridKey = GridKey::Up;
        break;
    case Qt::Key_Down:
        gridKey = GridKey::Down;
        break;
    default:
        break;
    }
    m_activeBox = box;
    const int p = Pic_Thumb[box]->moveSelection(gridKey);
    if (p < 0)
        return;
    const QModelIndex index = m_files->index(p, 0);
    m_loadOnClick = true;
    if (multiSelect)
        Lvw_Files->selectionModel()->setCurrentIndex(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    else
        Lvw_Files->setCurrentIndex(index);
    m_loadOnClick = false;
    Lvw_Files->scrollTo(index);
    const FileEntry &e = m_files->entries()[size_t(p)];
    m_panels[4]->setText(CurrentFileText(p, e.name, currentFileSizeText(p), e.properties, true));
}

void Frm_Main::showImageOverThumbs(int row)
{
    // The preview is hidden: the image is shown over the grid instead, until the
    // next key or click there.
    ThumbBox *box = Pic_Thumb[m_activeBox];
    const QImage image = LoadImageDib(filePathAt(row), 32, true);
    if (image.isNull() || box->width() <= 0 || box->height() <= 0)
        return;
    delete m_thumbOverlay;
    m_thumbOverlay = new QLabel(box);
    m_thumbOverlay->setAlignment(Qt::AlignCenter);
    m_thumbOverlay->setAutoFillBackground(true);
    m_thumbOverlay->setGeometry(box->rect());
    m_thumbOverlay->setPixmap(
        QPixmap::fromImage(image.scaled(box->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    m_thumbOverlay->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_thumbOverlay->show();
}

} // namespace v7
