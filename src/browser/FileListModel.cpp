#include "browser/FileListModel.h"

#include "browser/FolderTree.h"

#include <QColor>
#include <QHash>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QPolygon>
#include <QUrl>

namespace v7
{

namespace
{

    QIcon arrowIcon(bool up)
    {
        QPixmap pm(12, 12);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(Qt::darkGray);
        p.setPen(Qt::NoPen);
        const QPolygon tri = up ? QPolygon({ QPoint(6, 2), QPoint(11, 10), QPoint(1, 10) })
                                : QPolygon({ QPoint(1, 2), QPoint(11, 2), QPoint(6, 10) });
        p.drawPolygon(tri);
        return QIcon(pm);
    }

    QIcon taggedIcon()
    {
        QPixmap pm(16, 16);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setPen(QColor(0x50, 0x50, 0x50));
        p.setBrush(QColor(0xfa, 0xdc, 0x5a));
        p.drawRect(2, 1, 11, 13);
        p.fillRect(4, 6, 7, 6, QColor(0xc0, 0x40, 0x30));
        return QIcon(pm);
    }

    QIcon fileIcon()
    {
        QPixmap pm(16, 16);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setPen(QColor(0x50, 0x50, 0x50));
        p.setBrush(QColor(0xe8, 0xf0, 0xff));
        p.drawRect(2, 1, 11, 13);
        p.fillRect(4, 6, 7, 6, QColor(0x4a, 0x90, 0x60));
        p.fillRect(4, 3, 3, 2, QColor(0xe0, 0xb0, 0x30));
        return QIcon(pm);
    }

} // namespace

FileListModel::FileListModel(QObject *parent)
    : QAbstractTableModel(parent)
    , m_arrowUp(arrowIcon(true))
    , m_arrowDown(arrowIcon(false))
    , m_fileIcon(fileIcon())
    , m_taggedIcon(taggedIcon())
{
}

QStringList FileListModel::headers()
{
    return { QStringLiteral("File Name"),
        QStringLiteral("File Size"),
        QStringLiteral("File Date"),
        QStringLiteral("Image Properties"),
        QStringLiteral("Memory (kb)") };
}

int FileListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

int FileListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 5;
}

QVariant FileListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_entries.size()))
        return {};
    const FileEntry &e = m_entries[size_t(index.row())];
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case 0:
            return e.name;
        case 1:
            return FormatThousands(e.size);
        case 2:
            return FormatFileDate(e.modified());
        case 3:
            return e.properties;
        case 4:
            return e.memory;
        default:
            return {};
        }
    }
    if (role == Qt::DecorationRole && index.column() == 0)
        return e.tagged ? m_taggedIcon : m_fileIcon;
    if (role == Qt::ForegroundRole && e.dimmed)
        return QColor(Qt::gray);
    if (role == Qt::TextAlignmentRole && (index.column() == 1 || index.column() == 4))
        return int(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::DisplayRole && section >= 0 && section < 5)
        return headers()[section];
    if (role == Qt::DecorationRole && section == m_sortKey && !m_iconKey.isEmpty())
        return m_iconKey == QLatin1String("Arrow2") ? m_arrowUp : m_arrowDown;
    return {};
}

Qt::ItemFlags FileListModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

QStringList FileListModel::mimeTypes() const
{
    return { QStringLiteral("text/uri-list") };
}

QMimeData *FileListModel::mimeData(const QModelIndexList &indexes) const
{
    QList<QUrl> urls;
    QList<int> rows;
    for (const QModelIndex &i : indexes) {
        if (i.isValid() && !rows.contains(i.row())) {
            rows << i.row();
            urls << QUrl::fromLocalFile(
                JoinPath(m_entries[size_t(i.row())].folder.isEmpty() ? m_folder : m_entries[size_t(i.row())].folder,
                    m_entries[size_t(i.row())].name));
        }
    }
    auto *mime = new QMimeData;
    mime->setUrls(urls);
    return mime;
}

Qt::DropActions FileListModel::supportedDragActions() const
{
    return Qt::CopyAction | Qt::MoveAction;
}

void FileListModel::setEntries(std::vector<FileEntry> entries)
{
    beginResetModel();
    m_entries = std::move(entries);
    SortEntries(m_entries, m_sortKey, m_order);
    endResetModel();
}

void FileListModel::clear()
{
    beginResetModel();
    m_entries.clear();
    endResetModel();
}

void FileListModel::entryChanged(int row)
{
    Q_EMIT dataChanged(index(row, 0), index(row, 4));
}

int FileListModel::findName(const QString &name) const
{
    for (size_t i = 0; i < m_entries.size(); ++i)
        if (m_entries[i].name == name)
            return int(i);
    return -1;
}

bool FileListModel::sortByColumn(int column)
{
    if (m_entries.empty())
        return false;
    m_sortKey = column;
    if (m_order == SortOrder::Descending) {
        m_order = SortOrder::Ascending;
        m_iconKey = QStringLiteral("Arrow2");
    } else {
        m_order = SortOrder::Descending;
        m_iconKey = QStringLiteral("Arrow1");
    }
    sortKeepingSelection();
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, 4); // the arrow may have left another column
    return true;
}

void FileListModel::setSortState(int key, SortOrder order)
{
    m_sortKey = (key >= 0 && key <= 4) ? key : 0;
    m_order = order;
    m_iconKey.clear();
    sortKeepingSelection();
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, 4);
}

void FileListModel::sortAgain()
{
    sortKeepingSelection();
}

void FileListModel::sortKeepingSelection()
{
    Q_EMIT layoutAboutToBeChanged();
    std::vector<QString> oldNames;
    oldNames.reserve(m_entries.size());
    for (const FileEntry &e : m_entries)
        oldNames.push_back(e.name);
    SortEntries(m_entries, m_sortKey, m_order);
    // The selection and the current entry follow their files to the new rows (names
    // are unique within a folder).
    QHash<QString, int> newRow;
    newRow.reserve(qsizetype(m_entries.size()));
    for (size_t i = 0; i < m_entries.size(); ++i)
        newRow.insert(m_entries[i].name, int(i));
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex &i : before)
        after << index(newRow.value(oldNames[size_t(i.row())], i.row()), i.column());
    changePersistentIndexList(before, after);
    Q_EMIT layoutChanged();
}

void FileListModel::clearHeaderIcon()
{
    m_iconKey.clear();
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, 4);
}

} // namespace v7
