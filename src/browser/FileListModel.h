// The rows of the file list (Lvw_Files) as an item model: five columns, the sort
// arrow on the header of the sorted column, and file URLs when rows are dragged out.
//
// Threads: user-interface thread.
#pragma once

#include "browser/Listing.h"

#include <QAbstractTableModel>
#include <QIcon>

namespace v7
{

class FileListModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit FileListModel(QObject *parent = nullptr);

    static QStringList headers(); // "File Name", "File Size", "File Date", "Image Properties", "Memory (kb)"

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;
    Qt::DropActions supportedDragActions() const override;

    void setFolder(const QString &folder) { m_folder = folder; }
    QString folder() const { return m_folder; }
    void setEntries(std::vector<FileEntry> entries);
    void clear();
    const std::vector<FileEntry> &entries() const { return m_entries; }
    FileEntry &entry(int row) { return m_entries[size_t(row)]; }
    void entryChanged(int row);
    int findName(const QString &name) const; // exact text; -1 when absent

    // A click on a column toggles the order (also when moving to another column).
    // Returns false when the list is empty and nothing happens.
    bool sortByColumn(int column);
    void sortAgain(); // keeps key and order (a new listing)
    // Key and order as kept from the last run, without an arrow; a key outside 0-4
    // reads as 0. The rows are sorted again.
    void setSortState(int key, SortOrder order);
    int sortKey() const { return m_sortKey; }
    SortOrder sortOrder() const { return m_order; }
    // The arrow shown on the sorted column's header: "Arrow1" (descending), "Arrow2"
    // (ascending), or none.
    QString headerIconKey() const { return m_iconKey; }
    void clearHeaderIcon();

private:
    QString m_folder;
    std::vector<FileEntry> m_entries;
    void sortKeepingSelection();
    int m_sortKey = 0;
    SortOrder m_order = SortOrder::Ascending;
    QString m_iconKey;
    QIcon m_arrowUp, m_arrowDown, m_fileIcon, m_taggedIcon;
};

} // namespace v7
