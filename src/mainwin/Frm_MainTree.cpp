// The main window's folder tree: a node's click lists its folder (after the tree's
// keys come to rest), and the in-place label edits that make and rename folders.
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

void Frm_Main::setHistoryBox(QTreeWidgetItem *node)
{
    Lvw_DirHist->clear();
    if (!node)
        return;
    auto *item = new QListWidgetItem(node->icon(0), FolderTreeWidget::keyOf(node), Lvw_DirHist);
    item->setData(FolderTreeWidget::KeyRole, FolderTreeWidget::keyOf(node));
    item->setData(FolderTreeWidget::TagRole, node->data(0, FolderTreeWidget::TagRole));
}

void Frm_Main::onNodeClicked(QTreeWidgetItem *item)
{
    if (!item || FolderTreeWidget::keyOf(item).isEmpty())
        return; // a placeholder
    m_treeKeyTimer->stop(); // this node is listed now, whatever the keys did before
    QTreeWidgetItemIterator it(Tvw_Dir);
    for (; *it; ++it)
        if ((*it)->data(0, FolderTreeWidget::TagRole).toString().isEmpty())
            (*it)->setIcon(0, FolderTreeWidget::icon(QStringLiteral("closed")));
    if (item->data(0, FolderTreeWidget::TagRole).toString().isEmpty())
        item->setIcon(0, FolderTreeWidget::icon(QStringLiteral("open")));
    Tvw_Dir->setCurrentItem(item);
    setHistoryBox(item);
    ListFolder(FolderTreeWidget::keyOf(item));
}

void Frm_Main::onTreeKeyTimer()
{
    if (Tvw_Dir->keyHeld()) {
        m_treeKeyTimer->start(); // listed once the key is let go
        return;
    }
    const bool activated = m_treeKeyActivated;
    m_treeKeyActivated = false;
    QTreeWidgetItem *node = Tvw_Dir->currentItem();
    if (node && (activated || FolderTreeWidget::keyOf(node) != m_currentFolder))
        onNodeClicked(node);
}

void Frm_Main::Folder_Refresh()
{
    if (QTreeWidgetItem *node = Tvw_Dir->currentItem())
        onNodeClicked(node);
}

QString Frm_Main::NewFolderUnderSelected(const QString &name)
{
    QTreeWidgetItem *parentNode = Tvw_Dir->currentItem();
    if (!parentNode || FolderTreeWidget::keyOf(parentNode).isEmpty())
        return QString();
    QString made;
    const QString message = CreateFolderChecked(FolderTreeWidget::keyOf(parentNode), name, &made);
    if (!message.isEmpty())
        return message;
    parentNode->setExpanded(true);
    if (!Tvw_Dir->findByKey(made))
        Tvw_Dir->addFolderNode(parentNode, made);
    return QString();
}

QString Frm_Main::RenameSelectedFolder(const QString &newName)
{
    QTreeWidgetItem *node = Tvw_Dir->currentItem();
    if (!node || !node->parent())
        return QString(); // volumes are not renamed
    const QString oldPath = FolderTreeWidget::keyOf(node);
    QString renamed;
    const QString message = RenameFolderChecked(oldPath, newName, &renamed);
    if (!message.isEmpty())
        return message;
    // The folder's thumbnails follow it in the cache file.
    OLEStorage::MoveFolderCache(0, oldPath, renamed);
    node->setData(0, FolderTreeWidget::KeyRole, renamed);
    node->setText(0, FolderBaseName(renamed));
    if (m_currentFolder == oldPath)
        m_currentFolder = renamed;
    // Children read before the rename hold the old paths: read them again.
    if (node->childCount() > 0)
        Tvw_Dir->refreshChildren(node);
    return QString();
}

void Frm_Main::showTreeMenu(const QPoint &pos)
{
    showFileOpsMenu(pos);
}

void Frm_Main::BeginNewFolder()
{
    QTreeWidgetItem *node = Tvw_Dir->currentItem();
    if (!node || FolderTreeWidget::keyOf(node).isEmpty())
        return;
    const QString key = FolderTreeWidget::keyOf(node);
    for (const Volume &v : Tvw_Dir->volumes()) // nothing is made on a CD-ROM
        if (v.type == DriveType::CdRom && (key == v.path || key.startsWith(v.path + u'/')))
            return;
    node->setExpanded(true);
    auto *child = new QTreeWidgetItem(node);
    child->setText(0, QStringLiteral("New Folder"));
    child->setIcon(0, FolderTreeWidget::icon(QStringLiteral("closed")));
    child->setFlags(child->flags() | Qt::ItemIsEditable);
    Tvw_Dir->setCurrentItem(child);
    m_treeTag = QStringLiteral("1");
    m_editNode = QPersistentModelIndex(Tvw_Dir->indexFromItem(child));
    Tvw_Dir->editItem(child);
    // The proposed name is selected, so what the user types replaces it.
    if (auto *editor = qobject_cast<QLineEdit *>(Tvw_Dir->itemWidget(child, 0)))
        editor->selectAll();
}

void Frm_Main::BeginRenameFolder()
{
    QTreeWidgetItem *node = Tvw_Dir->currentItem();
    if (!node || !node->parent() || FolderTreeWidget::keyOf(node).isEmpty())
        return;
    m_treeTag = QStringLiteral("2");
    m_editNode = QPersistentModelIndex(Tvw_Dir->indexFromItem(node));
    m_editOldText = node->text(0);
    // The editor shows the folder's real name, extension included.
    node->setText(0, FolderTreeWidget::keyOf(node).section(u'/', -1));
    node->setFlags(node->flags() | Qt::ItemIsEditable);
    Tvw_Dir->editItem(node);
}

void Frm_Main::showEditFailure(const QString &message, bool withIcon)
{
    QMessageBox box(withIcon ? QMessageBox::Critical : QMessageBox::NoIcon,
        QStringLiteral("Vorlane7"),
        message,
        QMessageBox::Ok,
        this);
    box.exec();
}

void Frm_Main::onLabelEditClosed()
{
    struct Finished {
        Frm_Main *w;
        ~Finished() { Q_EMIT w->labelEditFinished(); }
    } finished { this };
    // Collapsing a folder above the edited node re-reads its children, and the node is
    // gone: the edit then ends with nothing changed on disk, as the tree now shows.
    QTreeWidgetItem *node = m_editNode.isValid() ? Tvw_Dir->itemFromIndex(m_editNode) : nullptr;
    const QString tag = m_treeTag;
    m_treeTag.clear();
    m_editNode = QPersistentModelIndex();
    if (!node)
        return;
    node->setFlags(node->flags() & ~Qt::ItemIsEditable);
    if (m_editCancelled) { // Esc: nothing changes on disk
        if (tag == QLatin1String("1"))
            delete node;
        else
            node->setText(0, m_editOldText);
        return;
    }
    const QString text = node->text(0);
    if (tag == QLatin1String("1")) {
        QTreeWidgetItem *parentNode = node->parent();
        QString made;
        const QString message = CreateFolderChecked(FolderTreeWidget::keyOf(parentNode), text, &made);
        if (!message.isEmpty()) {
            delete node;
            const bool known =
                message == QLatin1String(TextFolderExists) || message == QLatin1String(TextFolderInvalid);
            showEditFailure(message, known);
            return;
        }
        node->setData(0, FolderTreeWidget::KeyRole, made);
        node->setText(0, FolderBaseName(made));
    } else if (tag == QLatin1String("2")) {
        Tvw_Dir->setCurrentItem(node);
        const QString message = RenameSelectedFolder(text);
        if (!message.isEmpty()) {
            node->setText(0, m_editOldText);
            showEditFailure(message, true);
            return;
        }
        node->setText(0, FolderBaseName(FolderTreeWidget::keyOf(node)));
    }
}

} // namespace v7
