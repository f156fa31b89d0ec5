// Tagging: files marked in any folder, listed together in the file list as if they
// were one folder. Each row of such a list keeps its own folder, so a file tagged
// elsewhere shows, opens and is deleted as itself. The set is kept across runs.
#include "browser/FileListModel.h"
#include "browser/FolderTree.h"
#include "browser/FolderTreeWidget.h"
#include "imaging/widgets/DrawView.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/ThumbBox.h"

#include <QAction>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QTreeView>
#include <QTreeWidgetItem>

namespace v7
{

namespace
{

    FileEntry taggedEntry(const TaggedFile &f)
    {
        FileEntry e;
        const QFileInfo info(f.path);
        e.name = info.fileName();
        e.folder = info.path();
        QString digits = f.sizeText;
        digits.remove(u',');
        e.size = digits.toLongLong();
        const QDateTime date = QDateTime::fromString(f.dateText, QStringLiteral("MM/dd/yyyy hh:mm"));
        e.modifiedMs = date.isValid() ? date.toMSecsSinceEpoch() : 0;
        e.tagged = true;
        return e;
    }

} // namespace

QString Frm_Main::folderOf(const FileEntry &e) const
{
    return e.folder.isEmpty() ? m_currentFolder : e.folder;
}

QString Frm_Main::filePathAt(int row) const
{
    if (row < 0 || row >= m_files->rowCount())
        return QString();
    const FileEntry &e = m_files->entries()[size_t(row)];
    return JoinPath(folderOf(e), e.name);
}

void Frm_Main::loadTaggedSet()
{
    m_tagged = TaggedSet::load(TaggedSet::defaultFile());
    updateTagCommands();
}

void Frm_Main::updateTagCommands()
{
    // "Open last tagged list" is of use once there is a list: two tagged files.
    commandAction(CommandId::OpenLastTagged)->setEnabled(m_tagged.size() >= 2);
}

void Frm_Main::TagSelected()
{
    const QModelIndexList rows = Lvw_Files->selectionModel()->selectedRows();
    QList<int> ordered;
    for (const QModelIndex &i : rows)
        ordered << i.row();
    if (ordered.isEmpty() && Lvw_Files->currentIndex().isValid())
        ordered << Lvw_Files->currentIndex().row();
    std::sort(ordered.begin(), ordered.end());
    for (int row : std::as_const(ordered)) {
        FileEntry &e = m_files->entry(row);
        const QString path = filePathAt(row);
        if (!e.tagged) {
            e.tagged = true;
            m_tagged.add(path, FormatThousands(e.size), FormatFileDate(e.modified()));
        } else {
            e.tagged = false;
            m_tagged.remove(path);
        }
        m_files->entryChanged(row);
    }
    m_tagged.save(TaggedSet::defaultFile());
    updateTagCommands();
}

void Frm_Main::showTaggedEntries(const std::vector<TaggedFile> &files)
{
    if (m_store)
        m_store->RequestCancel();
    Pic_Thumb[0]->setFileCount(0);
    Pic_Image->clearView();
    std::vector<FileEntry> entries;
    entries.reserve(files.size());
    for (const TaggedFile &f : files)
        entries.push_back(taggedEntry(f));
    m_files->clear();
    m_currentPosition = 0;
    m_lastShownRow = -1;
    m_files->setEntries(std::move(entries));
    EnableFileCommands(true);
    if (m_viewActions[2]->isChecked())
        ShowThumbs();
}

void Frm_Main::dropVanishedTags()
{
    // A tagged file deleted or moved since is not listed as if it were there.
    if (m_tagged.dropMissing() > 0) {
        m_tagged.save(TaggedSet::defaultFile());
        updateTagCommands();
    }
}

void Frm_Main::ListTagged()
{
    dropVanishedTags();
    if (m_tagged.size() < 2)
        return;
    showTaggedEntries(m_tagged.files());
}

void Frm_Main::OpenLastTaggedList()
{
    dropVanishedTags();
    if (m_tagged.size() < 2)
        return;
    Pic_Thumb[0]->setFileCount(0);
    if (QTreeWidgetItem *node = Tvw_Dir->currentItem()) {
        // Listed with a filter that matches nothing, then the filter is emptied again.
        Txt_Filter->setEditText(QStringLiteral("Tagged files"));
        onNodeClicked(node);
        Txt_Filter->setEditText(QString());
    }
    const std::vector<TaggedFile> here = m_tagged.inFolder(m_currentFolder);
    if (here.empty())
        return;
    showTaggedEntries(here);
}

} // namespace v7
