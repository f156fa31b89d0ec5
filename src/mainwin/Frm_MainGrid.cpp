// The main window's grid and list kept in step: the current file's status line,
// the grid following the current file, the preview's word on a file it cannot
// draw, and the list's sort and column widths carried between runs.
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "imaging/Draw.h"
#include "imaging/widgets/DrawView.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/ThumbBox.h"

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QTreeView>

namespace v7
{

void Frm_Main::ThumbArrived(int index)
{
    for (ThumbBox *box : Pic_Thumb)
        box->thumbArrived(index);
}

void Frm_Main::writeCurrentFileStatus(int row)
{
    if (row < 0 || row >= m_files->rowCount())
        return;
    const FileEntry &e = m_files->entries()[size_t(row)];
    // With the list or the grid hidden the line reads the properties of the file
    // (the " - " form); with both shown it is the grid's line ("# n. name").
    const bool bothShown = m_viewActions[0]->isChecked() && m_viewActions[2]->isChecked();
    // The options' "&Show image info on statusbar" reads them in any case.
    QString properties = (!bothShown && e.properties.isEmpty()) ? ReadImageProperties(row) : e.properties;
    if (m_showInfo && properties.isEmpty())
        properties = ReadImagePropertiesOf(m_files->entry(row), folderOf(e), true);
    m_panels[4]->setText(CurrentFileText(row, e.name, currentFileSizeText(row), properties, bothShown));
}

void Frm_Main::followInGrid(int row)
{
    // The grid shows the current file wherever it was moved from: the list's keys, a
    // restored last file, a history choice.
    if (!m_viewActions[2]->isChecked())
        return;
    Pic_Thumb[m_activeBox]->ensureVisible(row);
}

void Frm_Main::showPreviewNotice(const QString &name)
{
    m_previewNotice = name + QLatin1Char('\n') + QStringLiteral("Error in file");
    const QColor background = colorFromBgr(settings().ViewColor);
    // Text in black or white, whichever stands out from the view colour.
    const QColor ink = qGray(background.rgb()) > 127 ? Qt::black : Qt::white;
    const QRect area = Pic_Image->rect().adjusted(8, 8, -8, -8);
    const QString text = m_previewNotice;
    Pic_Image->painter().paintOver([&](QPainter &p) {
        p.fillRect(Pic_Image->rect(), background);
        p.setPen(ink);
        p.setFont(Pic_Image->font());
        p.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, text);
    });
}

void Frm_Main::restoreListColumns()
{
    m_files->setSortState(m_state.SortColumn, m_state.SortOrder == 1 ? SortOrder::Descending : SortOrder::Ascending);
    QHeaderView *header = Lvw_Files->header();
    for (int c = 0; c < 5; ++c)
        if (m_state.ColumnWidths[c] > 0)
            header->resizeSection(c, m_state.ColumnWidths[c]);
}

void Frm_Main::saveListColumns()
{
    m_state.SortColumn = m_files->sortKey();
    m_state.SortOrder = m_files->sortOrder() == SortOrder::Descending ? 1 : 0;
    QHeaderView *header = Lvw_Files->header();
    for (int c = 0; c < 5; ++c)
        m_state.ColumnWidths[c] = header->sectionSize(c) > 0 ? header->sectionSize(c) : m_state.ColumnWidths[c];
}

} // namespace v7
