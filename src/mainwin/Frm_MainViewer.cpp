// The main window's side of the full-screen viewer: the zoom step that opens it,
// the single-image step it draws through, and what the window takes back when
// the viewer closes (the shared view geometry, the pointer, the layout).
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "browser/FolderTree.h"
#include "browser/Listing.h"
#include "imaging/ViewState.h"
#include "imaging/widgets/DrawView.h"
#include "mainwin/Frm_Main.h"
#include "viewer/Frm_Zoom.h"
#include "viewer/ZoomLogic.h"

#include <QApplication>
#include <QCursor>
#include <QFileInfo>
#include <QLabel>
#include <QScreen>
#include <QTreeView>

namespace v7
{

void Frm_Main::wireZoomWindow()
{
    connect(this, &Frm_Main::zoomWindowRequested, this, [this] { ZoomStep(QString()); });
}

Frm_Zoom *Frm_Main::zoomWindow() const
{
    return m_zoomWindow;
}

int Frm_Main::ZoomFileCount() const
{
    return m_files->rowCount();
}

int Frm_Main::ZoomSelectedItem() const
{
    const QModelIndex current = Lvw_Files->currentIndex();
    return current.isValid() ? current.row() + 1 : 0;
}

QString Frm_Main::ZoomFilePath(int item) const
{
    if (item < 1 || item > m_files->rowCount())
        return QString();
    return filePathAt(item - 1); // a tagged list's row keeps its own folder
}

void Frm_Main::ZoomSelectItem(int item)
{
    if (item < 1 || item > m_files->rowCount())
        return;
    const QModelIndex index = m_files->index(item - 1, 0);
    // Only the list follows: the preview is drawn again when the viewer closes.
    m_loadOnClick = false;
    Lvw_Files->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    Lvw_Files->scrollTo(index);
}

void Frm_Main::ZoomImageStep(const QString &op)
{
    const int count = m_files->rowCount();
    if (count == 0 || !m_zoomWindow)
        return;
    int row = std::max(0, ZoomSelectedItem() - 1);
    const int step = op == QLatin1String("+") ? 1 : op == QLatin1String("-") ? -1 : 0;
    // Files deleted or moved away while the view was left as it was stay listed,
    // dimmed: a step passes over them to the next file that is there.
    for (int n = 0; step != 0 && n < count; ++n) {
        row = (row + step + count) % count;
        if (!m_files->entries()[size_t(row)].dimmed)
            break;
    }
    if (step != 0 && m_files->entries()[size_t(row)].dimmed) {
        // Every listed file is gone: nothing is left to show.
        m_zoomWindow->view()->clearView();
        m_zoomWindow->setInfo({});
        return;
    }
    ZoomSelectItem(row + 1);
    setReadPropertiesFlag(true);
    const QString properties = ReadImageProperties(row);
    setReadPropertiesFlag(false);
    const FileEntry &e = m_files->entries()[size_t(row)];
    m_zoomWindow->setInfo(ZoomInfoLines(e.name, FormatThousands(e.size), properties));
    if (m_zoom.isUnset())
        m_zoom = ZoomFactor::fromWhole(1);
    m_zoomWindow->showItem(row + 1, m_state.Imagefit, m_zoom);
}

void Frm_Main::ZoomStep(const QString &op)
{
    m_zoom = m_zoom.effective().stepped(op);
    if (!m_zoomWindow || !m_zoomWindow->isVisible()) {
        if (!Lvw_Files->currentIndex().isValid())
            return; // nothing to show
        openZoomWindow();
    }
    ZoomImageStep(QString());
    m_zoomText = m_zoom.text();
    m_panels[3]->setText(m_zoom.statusText());
}

void Frm_Main::openZoomWindow()
{
    if (!m_zoomWindow) {
        m_zoomWindow = new Frm_Zoom(this, this);
        connect(m_zoomWindow, &Frm_Zoom::optionsRequested, this, [this] { ShowOptions(m_zoomWindow); });
    }
    // The pointer goes to the corner, out of the photo's way, and comes back on
    // close. Where the desktop does not let a program move it, it just stays.
    const QPoint pointer = QCursor::pos();
    LastMouseX = pointer.x();
    LastMouseY = pointer.y();
    QScreen *where = screen() ? screen() : QGuiApplication::primaryScreen();
    if (where && PlatformMovesPointer(QGuiApplication::platformName()))
        QCursor::setPos(where, where->geometry().topLeft() + ViewerPointerAt);
    m_zoomWindow->setTag(QString::fromUtf16(NoRepaintTag));
    const int row = Lvw_Files->currentIndex().row();
    const FileEntry &e = m_files->entries()[size_t(row)];
    m_zoomWindow->setInfo(ZoomInfoLines(e.name, FormatThousands(e.size), e.properties));
    m_zoomWindow->showOn(where);
    QCoreApplication::processEvents();
    m_zoomWindow->setTag(QString());
}

ZoomFactor Frm_Main::PreviewZoom() const
{
    return m_zoom;
}

void Frm_Main::SetPreviewZoom(ZoomFactor zoom)
{
    m_zoom = zoom;
}

QString Frm_Main::ViewType() const
{
    return m_state.Imagefit;
}

void Frm_Main::SetViewType(const QString &fitMode)
{
    const int index = ZoomFitIndex(fitMode);
    if (index < 0)
        return;
    m_state.Imagefit = fitMode;
    // The preview's fit menu shows the same mode (its order differs: Normal first).
    const QStringList fits = { "FitNormal", "FitAuto", "FitWidth", "FitHeight" };
    for (int i = 0; i < 4; ++i)
        if (m_fitActions[i])
            m_fitActions[i]->setChecked(fits[i] == fitMode);
}

bool Frm_Main::ZoomDeleteShown()
{
    const int item = ZoomSelectedItem();
    if (item == 0)
        return false;
    const QString path = ZoomFilePath(item);
    const int countBefore = m_files->rowCount();
    // The shown file alone, whatever else was selected in the list.
    ZoomSelectItem(item);
    m_dialogOwner = m_zoomWindow;
    DeleteSelectedFiles(false);
    m_dialogOwner = nullptr;
    if (QFileInfo::exists(path))
        return false; // refused or failed
    const int count = m_files->rowCount();
    if (count > 0 && count < countBefore) {
        // Its entry left the list: the entry before the gap is current, so that the
        // next step lands on the file that followed the deleted one.
        const int before = (item - 2 + count) % count;
        ZoomSelectItem(before + 1);
    }
    return true;
}

void Frm_Main::ZoomWindowClosing()
{
    // The view geometry is the preview's again.
    ViewState &vs = viewState();
    vs.viewW = Pic_Image->width();
    vs.viewH = Pic_Image->height();
    PlaceInViewOffsets(vs);
    QScreen *where = screen() ? screen() : QGuiApplication::primaryScreen();
    if (where && PlatformMovesPointer(QGuiApplication::platformName()))
        QCursor::setPos(where, QPoint(LastMouseX, LastMouseY));
    // The relayout of the view toggles puts every pane back and composes the held
    // photo for the preview; a mosaic may have moved the list on to another file.
    SizeControlsX();
    const QModelIndex current = Lvw_Files->currentIndex();
    if (current.isValid() && ZoomFilePath(current.row() + 1) != vs.currentFile)
        ShowCurrentImage(current.row());
    QCoreApplication::processEvents();
}

} // namespace v7
