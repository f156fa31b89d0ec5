#include "browser/FolderTreeWidget.h"

#include <QDragEnterEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QMimeData>
#include <QPainter>
#include <QStorageInfo>
#include <QUrl>

namespace v7
{

FolderTreeWidget::FolderTreeWidget(QWidget *parent)
    : QTreeWidget(parent)
{
    setHeaderHidden(true);
    setColumnCount(1);
    setUniformRowHeights(true);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::CopyAction);
    connect(this, &QTreeWidget::itemExpanded, this, &FolderTreeWidget::onExpanded);
    connect(this, &QTreeWidget::itemCollapsed, this, &FolderTreeWidget::onCollapsed);
}

QIcon FolderTreeWidget::icon(const QString &key)
{
    static QHash<QString, QIcon> cache;
    auto it = cache.find(key);
    if (it != cache.end())
        return *it;
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    if (key == QLatin1String("closed") || key == QLatin1String("open")) {
        p.setPen(QColor(0x9a, 0x7a, 0x20));
        p.setBrush(QColor(0xf0, 0xc8, 0x50));
        p.drawRect(1, 4, 13, 10);
        p.drawRect(1, 2, 6, 2);
        if (key == QLatin1String("open")) {
            p.setBrush(QColor(0xfa, 0xe0, 0x90));
            p.drawPolygon(QPolygon({ QPoint(3, 7), QPoint(15, 7), QPoint(13, 14), QPoint(1, 14) }));
        }
    } else {
        const QColor body = key == QLatin1String("cd") ? QColor(0xc0, 0xc0, 0xd8)
            : key == QLatin1String("disk")             ? QColor(0x70, 0x90, 0xc0)
            : key == QLatin1String("netdrive")         ? QColor(0x70, 0xb0, 0x80)
                                                       : QColor(0xa0, 0xa0, 0xa0);
        p.setPen(Qt::darkGray);
        p.setBrush(body);
        if (key == QLatin1String("cd"))
            p.drawEllipse(1, 1, 14, 14);
        else
            p.drawRect(1, 5, 14, 7);
        p.setBrush(Qt::green);
        p.drawRect(11, 8, 2, 2);
    }
    it = cache.insert(key, QIcon(pm));
    return *it;
}

void FolderTreeWidget::SetDirTree(bool withLabels)
{
    setVolumes(ListVolumes(), withLabels);
}

void FolderTreeWidget::setVolumes(const std::vector<Volume> &volumes, bool withLabels)
{
    clear();
    m_volumes = volumes;
    for (const Volume &v : volumes) {
        auto *item = new QTreeWidgetItem(this);
        QString text = v.path;
        if (withLabels && v.type != DriveType::Removable) {
            const QStorageInfo info(v.path);
            if (info.isReady() && !info.name().isEmpty())
                text += QStringLiteral(" (") + info.name() + u')';
        }
        item->setText(0, text);
        item->setData(0, KeyRole, v.path);
        item->setData(0, TagRole, QStringLiteral("Root"));
        item->setIcon(0, icon(DriveIconKey(v.type)));
        addPlaceholder(item);
    }
}

QString FolderTreeWidget::keyOf(const QTreeWidgetItem *item)
{
    return item ? item->data(0, KeyRole).toString() : QString();
}

bool FolderTreeWidget::isPlaceholder(const QTreeWidgetItem *item)
{
    return item && keyOf(item).isEmpty() && item->data(0, TagRole).toString().isEmpty();
}

QTreeWidgetItem *FolderTreeWidget::findByKey(const QString &key) const
{
    QTreeWidgetItemIterator it(const_cast<FolderTreeWidget *>(this));
    for (; *it; ++it)
        if (keyOf(*it) == key)
            return *it;
    return nullptr;
}

void FolderTreeWidget::addPlaceholder(QTreeWidgetItem *item)
{
    auto *ph = new QTreeWidgetItem(item);
    ph->setIcon(0, icon(QStringLiteral("closed")));
}

QTreeWidgetItem *FolderTreeWidget::addFolderNode(QTreeWidgetItem *parent, const QString &path)
{
    auto *child = new QTreeWidgetItem(parent);
    child->setText(0, FolderBaseName(path));
    child->setData(0, KeyRole, path);
    child->setIcon(0, icon(QStringLiteral("closed")));
    return child;
}

void FolderTreeWidget::FillSubfolders(QTreeWidgetItem *item)
{
    if (!item || item->childCount() != 1)
        return;
    delete item->takeChild(0);
    const QString key = keyOf(item);
    for (const QString &sub : ListSubfolders(key)) {
        QTreeWidgetItem *child = addFolderNode(item, sub);
        if (HasSubfolders(sub))
            addPlaceholder(child);
    }
}

void FolderTreeWidget::onExpanded(QTreeWidgetItem *item)
{
    if (item->parent())
        item->setIcon(0, icon(QStringLiteral("open")));
    if (item->childCount() == 1 && item->child(0)->data(0, TagRole).toString().isEmpty()
        && keyOf(item->child(0)).isEmpty())
        FillSubfolders(item);
}

void FolderTreeWidget::refreshChildren(QTreeWidgetItem *item)
{
    while (item->childCount() > 0)
        delete item->takeChild(0);
    addPlaceholder(item);
    FillSubfolders(item);
}

void FolderTreeWidget::onCollapsed(QTreeWidgetItem *item)
{
    if (m_inCollapse)
        return;
    m_inCollapse = true;
    if (item->parent() && item->icon(0).cacheKey() == icon(QStringLiteral("open")).cacheKey())
        item->setIcon(0, icon(QStringLiteral("closed")));
    refreshChildren(item);
    m_inCollapse = false;
}

QTreeWidgetItem *FolderTreeWidget::insertFolderNode(QTreeWidgetItem *parent, const QString &path)
{
    // In name order among its siblings, as the parent's listing would have put it.
    const QString name = path.section(u'/', -1);
    int at = 0;
    while (at < parent->childCount()
        && QString::compare(keyOf(parent->child(at)).section(u'/', -1), name, Qt::CaseInsensitive) < 0)
        ++at;
    auto *child = new QTreeWidgetItem;
    child->setText(0, FolderBaseName(path));
    child->setData(0, KeyRole, path);
    child->setIcon(0, icon(QStringLiteral("closed")));
    parent->insertChild(at, child);
    if (HasSubfolders(path))
        addPlaceholder(child);
    return child;
}

void FolderTreeWidget::keyPressEvent(QKeyEvent *event)
{
    // The first repeat of a held key comes only after the desktop's repeat delay
    // (about 0.6 s), longer than a pause between single presses.
    if (!event->isAutoRepeat())
        m_heldKey = event->key();
    QTreeWidgetItem *before = currentItem();
    QTreeWidget::keyPressEvent(event);
    const int key = event->key();
    const bool activated = key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space;
    if (currentItem() && (activated || currentItem() != before))
        Q_EMIT keyboardSelected(currentItem(), activated);
}

void FolderTreeWidget::keyReleaseEvent(QKeyEvent *event)
{
    if (!event->isAutoRepeat() && event->key() == m_heldKey)
        m_heldKey = 0;
    QTreeWidget::keyReleaseEvent(event);
}

void FolderTreeWidget::focusOutEvent(QFocusEvent *event)
{
    m_heldKey = 0; // its release goes elsewhere
    QTreeWidget::focusOutEvent(event);
}

bool FolderTreeWidget::ExpandToPath(const QString &path)
{
    const QStringList chain = AncestorChain(path, m_volumes);
    QTreeWidgetItem *node = nullptr;
    for (const QString &p : chain) {
        QTreeWidgetItem *next = nullptr;
        if (!node) {
            for (int i = 0; i < topLevelItemCount() && !next; ++i)
                if (keyOf(topLevelItem(i)) == p)
                    next = topLevelItem(i);
        } else {
            for (int i = 0; i < node->childCount() && !next; ++i)
                if (keyOf(node->child(i)) == p)
                    next = node->child(i);
        }
        if (!next && node && QFileInfo(p).isDir())
            next = insertFolderNode(node, p);
        if (!next)
            return false;
        if (next->isExpanded())
            next->setExpanded(false); // re-reads it from disk
        next->setExpanded(true);
        node = next;
    }
    if (node) {
        setCurrentItem(node);
        scrollToItem(node);
    }
    return node != nullptr;
}

} // namespace v7

namespace v7
{

QStringList FolderTreeWidget::mimeTypes() const
{
    return { QStringLiteral("text/plain") };
}

QMimeData *FolderTreeWidget::mimeData(const QList<QTreeWidgetItem *> &items) const
{
    // A node dragged out offers its folder's path as text.
    auto *mime = new QMimeData;
    if (!items.isEmpty()) {
        mime->setText(keyOf(items.first()));
        // As a file URL too: the folder can be dropped on another node or in other programs.
        mime->setUrls({ QUrl::fromLocalFile(keyOf(items.first())) });
    }
    return mime;
}

void FolderTreeWidget::setDropNode(QTreeWidgetItem *item)
{
    if (m_dropNode == item)
        return;
    if (m_dropNode)
        m_dropNode->setBackground(0, QBrush());
    m_dropNode = item;
    if (m_dropNode)
        m_dropNode->setBackground(0, palette().highlight().color().lighter(160));
}

void FolderTreeWidget::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
    else
        event->ignore();
}

void FolderTreeWidget::dragMoveEvent(QDragMoveEvent *event)
{
    QTreeWidgetItem *item = itemAt(event->position().toPoint());
    if (!event->mimeData()->hasUrls() || !item || keyOf(item).isEmpty()) {
        setDropNode(nullptr);
        event->ignore();
        return;
    }
    setDropNode(item);
    event->acceptProposedAction();
}

void FolderTreeWidget::dragLeaveEvent(QDragLeaveEvent *event)
{
    setDropNode(nullptr);
    event->accept();
}

void FolderTreeWidget::dropEvent(QDropEvent *event)
{
    QTreeWidgetItem *item = itemAt(event->position().toPoint());
    setDropNode(nullptr);
    if (!item || keyOf(item).isEmpty() || !event->mimeData()->hasUrls()) {
        event->ignore();
        return;
    }
    QStringList paths;
    for (const QUrl &url : event->mimeData()->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    event->acceptProposedAction();
    if (!paths.isEmpty())
        Q_EMIT filesDropped(paths, keyOf(item), event->dropAction());
}

} // namespace v7
