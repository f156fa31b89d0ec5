// The main window's side of the options dialog and of the image operations
// window: opening them, and taking the applied settings into the running window
// (status line, columns beside the preview, colours, the grid's layout, or a new
// display when the thumbnails are to be made at another height).
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "browser/Listing.h"
#include "imaging/Draw.h"
#include "imaging/widgets/DrawView.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/ThumbBox.h"
#include "options/Frm_ImgOps.h"
#include "options/Frm_Options.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/ThumbX.h"

#include <QKeyEvent>
#include <QTreeView>

namespace v7
{

void Frm_Main::ShowOptions(QWidget *owner)
{
    QWidget *const parent = owner ? owner : this;
    if (QWidget *open = m_optionsDlg.data()) {
        if (open->parentWidget() == parent) {
            open->raise();
            open->activateWindow();
            return;
        }
        open->close(); // asked from another window: it opens there instead
    }
    Frm_Options::Host host;
    host.windowOptions = [this] { return WindowOptions { m_state.ThumbsRow, m_showInfo }; };
    host.apply = [this](const ApplyOutcome &outcome, const WindowOptions &w) { ApplyOptions(outcome, w); };
    host.currentFolder = [this] { return m_currentFolder; };
    host.clearFolderHistory = [this] { m_history = FolderHistory(); };
    // The display's job lets go of the cache; the thumbnails it delivered stay on screen.
    host.stopDisplay = [this] { return WaitForStore(m_store); };
    auto *dialog = new Frm_Options(parent, host);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_optionsDlg = dialog;
    dialog->show();
}

void Frm_Main::ShowImageOps()
{
    if (QWidget *open = m_imageOps.data(); open && open->isVisible()) {
        open->raise();
        return;
    }
    Frm_ImgOps::Host host;
    host.imagePane = [this]() -> DrawView * {
        return m_viewActions[1]->isChecked() && Pic_Image->hasImage() ? Pic_Image : nullptr;
    };
    host.fitMode = [this] { return m_state.Imagefit; };
    host.zoom = [this] { return m_zoom; };
    host.helpKey = [this] {
        QKeyEvent f1(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
        MainKeyDown(focusWidget() ? static_cast<QObject *>(focusWidget()) : this, &f1);
    };
    auto *window = new Frm_ImgOps(this, host);
    window->setAttribute(Qt::WA_DeleteOnClose);
    m_imageOps = window;
    window->adjustSize();
    // At the top right of the preview area, inside it.
    const QRect area(Pic_Base->mapToGlobal(QPoint(0, 0)), Pic_Base->size());
    const QSize frame = window->frameGeometry().size().expandedTo(window->sizeHint());
    window->move(ImageOpsWindowPosition(area, frame));
    window->show();
}

QPair<QString, QString> Frm_Main::thumbCaption(int index)
{
    if (index < 0 || index >= m_files->rowCount())
        return {};
    FileEntry &e = m_files->entry(index);
    switch (settings().CaptionLine) {
    case CaptionFileDate:
        return { e.name, FormatFileDate(e.modified()) };
    case CaptionFileInfo:
        // Read once per file; the list's column shows it too from then on.
        if (e.properties.isEmpty())
            ReadImagePropertiesOf(e, folderOf(e), true);
        return { e.name, e.properties };
    default:
        return { e.name, FormatThousands(e.size) + QStringLiteral(" bytes") };
    }
}

void Frm_Main::ApplyOptions(const ApplyOutcome &outcome, const WindowOptions &w)
{
    const Settings &s = settings();
    m_showInfo = w.showInfo;
    m_state.ThumbsRow = w.thumbsRow;
    QPalette pal = Pic_Thumb[0]->palette();
    pal.setColor(QPalette::Window, colorFromBgr(s.ThumbColorFrame));
    for (ThumbBox *box : Pic_Thumb)
        box->setPalette(pal);
    QPalette view = Pic_Image->palette();
    view.setColor(QPalette::Window, colorFromBgr(s.ViewColor));
    Pic_Image->setPalette(view);
    Pic_Image->setDrawSettings(s);

    if (outcome.thumbHChanged && !m_currentFolder.isEmpty()) {
        // The folder's thumbnails were made at the old height: the new display makes
        // them again rather than showing the old ones stretched.
        releaseStore(0);
        OLEStorage::DeleteFolderCache(OLEStorage::FolderStorageName(m_currentFolder), OLEStorage::CacheFileName);
    }
    SizeControlsX(); // the thumbnail column's width follows ThumbW and ThumbsRow; the preview is redrawn
    if (outcome.fileTypesChanged) {
        Folder_Refresh(); // lists by the new types and starts a new display
    } else if (outcome.thumbHChanged) {
        ShowThumbs();
    } else {
        const int current = Lvw_Files->currentIndex().isValid() ? Lvw_Files->currentIndex().row() : -1;
        for (ThumbBox *box : Pic_Thumb) {
            box->setFileCount(m_files->rowCount());
            box->setSelected(current);
        }
        Pic_Thumb[m_activeBox]->ensureVisible(current);
        updateStorePane();
        RequestRepaint();
    }
    if (Lvw_Files->currentIndex().isValid())
        writeCurrentFileStatus(Lvw_Files->currentIndex().row());
    Q_EMIT optionsApplied();
}

} // namespace v7
