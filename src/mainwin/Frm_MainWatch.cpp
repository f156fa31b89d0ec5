// Folders that update themselves: files added, removed, renamed or rewritten by
// other programs in the listed folder reach the list, the grid and the cache without
// a refresh; subfolders added or removed under expanded tree nodes appear and go.
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "browser/FolderTree.h"
#include "browser/FolderTreeWidget.h"
#include "browser/FolderWatch.h"
#include "browser/Listing.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/ThumbBox.h"
#include "thumbs/BitmapStore.h"
#include "thumbs/OLEStorage.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QItemSelectionModel>
#include <QLabel>
#include <QSet>
#include <QTimer>
#include <QTreeView>

namespace v7
{

// The window's watch state, a child of the window.
class FolderWatchLink : public QObject
{
public:
    explicit FolderWatchLink(QObject *parent)
        : QObject(parent)
        , files(new FolderWatch(this))
        , tree(new QFileSystemWatcher(this))
        , retry(new QTimer(this))
        , treeSync(new QTimer(this))
    {
        retry->setSingleShot(true);
        retry->setInterval(500);
        treeSync->setSingleShot(true);
        treeSync->setInterval(400);
    }
    FolderWatch *files;
    QFileSystemWatcher *tree; // expanded nodes and their children
    QTimer *retry; // changes held while a dialog of ours works
    QTimer *treeSync;
    QStringList heldNames;
    bool heldRescan = false;
    QSet<QString> changedNodes;
};

namespace
{
    void unwatchNode(QFileSystemWatcher *w, const QString &key)
    {
        if (!key.isEmpty() && !IsNetworkFolder(key))
            w->removePath(key);
    }

    // An open node's children are watched too, so a folder that gains its first
    // subfolder gets its expand arrow. Past this many, they keep the arrow they have.
    constexpr int kMaxWatchedChildren = 1000;

    void watchFolders(QFileSystemWatcher *w, const QStringList &keys)
    {
        // One look at what is watched already, and one call for the rest.
        const QStringList have = w->directories();
        const QSet<QString> watched(have.cbegin(), have.cend());
        QStringList add;
        for (const QString &key : std::as_const(keys))
            if (!key.isEmpty() && !watched.contains(key) && !IsNetworkFolder(key))
                add << key;
        if (!add.isEmpty())
            w->addPaths(add); // fails silently where a watch cannot be set
    }

    void watchOpenNode(QFileSystemWatcher *w, QTreeWidgetItem *node)
    {
        QStringList keys { FolderTreeWidget::keyOf(node) };
        if (node->childCount() <= kMaxWatchedChildren)
            for (int i = 0; i < node->childCount(); ++i)
                keys << FolderTreeWidget::keyOf(node->child(i));
        watchFolders(w, keys);
    }

    // A closed node stays watched while it shows; what lies below it does not show.
    void unwatchBelow(QFileSystemWatcher *w, const QString &key)
    {
        if (key.isEmpty())
            return;
        const QString prefix = key.endsWith(u'/') ? key : key + u'/';
        QStringList below;
        for (const QString &dir : w->directories())
            if (dir.startsWith(prefix))
                below << dir;
        if (!below.isEmpty())
            w->removePaths(below);
    }

    // Whether a or b lies below node (re-reading its children would delete them).
    bool holdsAny(const QTreeWidgetItem *node, const QTreeWidgetItem *a, const QTreeWidgetItem *b)
    {
        for (const QTreeWidgetItem *at : { a, b })
            for (at = at ? at->parent() : nullptr; at; at = at->parent())
                if (at == node)
                    return true;
        return false;
    }
} // namespace

void Frm_Main::watchListedFolder(const QString &folder)
{
    if (!m_watchLink) {
        m_watchLink = new FolderWatchLink(this);
        FolderWatchLink *link = m_watchLink;
        connect(link->files, &FolderWatch::filesChanged, this, &Frm_Main::applyFolderChanges);
        // The listed folder itself was removed or moved away outside: its files are no
        // longer there, so the nearest folder above it that still exists is listed.
        connect(link->files, &FolderWatch::folderGone, this, [this] { leaveVanishedFolder(m_currentFolder); });
        connect(link->retry, &QTimer::timeout, this, [this, link] {
            if (QApplication::activeModalWidget() || QApplication::activePopupWidget()) {
                link->retry->start();
                return;
            }
            link->files->release(); // what it kept comes on its next tick
            applyFolderChanges({}, false);
        });
        // The tree reads a node's children on its own expand signal, connected first.
        connect(Tvw_Dir, &QTreeWidget::itemExpanded, link, [link](QTreeWidgetItem *item) {
            watchOpenNode(link->tree, item);
        });
        connect(Tvw_Dir, &QTreeWidget::itemCollapsed, link, [link](QTreeWidgetItem *item) {
            unwatchBelow(link->tree, FolderTreeWidget::keyOf(item));
            if (!item->parent() || !item->parent()->isExpanded())
                unwatchNode(link->tree, FolderTreeWidget::keyOf(item));
        });
        connect(link->tree, &QFileSystemWatcher::directoryChanged, link, [link](const QString &path) {
            link->changedNodes.insert(path);
            link->treeSync->start(); // a burst of changes syncs once
        });
        connect(link->treeSync, &QTimer::timeout, this, [this, link] {
            const QSet<QString> nodes = std::exchange(link->changedNodes, {});
            for (const QString &key : nodes) {
                QTreeWidgetItem *node = Tvw_Dir->findByKey(key);
                if (!node)
                    continue;
                if (node->isExpanded()) {
                    syncTreeNode(node);
                } else if (!holdsAny(node, Tvw_Dir->currentItem(), Tvw_Dir->dropHighlighted())) {
                    // A closed node's children are read again, as on its collapse: the
                    // arrow comes with its first subfolder and goes with its last.
                    Tvw_Dir->refreshChildren(node);
                }
            }
        });
        // Nodes opened before the first listing (the start-up path).
        for (QTreeWidgetItemIterator it(Tvw_Dir); *it; ++it)
            if ((*it)->isExpanded())
                watchOpenNode(link->tree, *it);
    }
    m_watchLink->heldNames.clear();
    m_watchLink->heldRescan = false;
    m_watchLink->retry->stop();
    m_watchLink->files->release();
    m_watchLink->files->watch(folder);
}

void Frm_Main::applyFolderChanges(const QStringList &names, bool rescan)
{
    FolderWatchLink *link = m_watchLink;
    if (!link || m_closing)
        return;
    link->heldNames << names;
    link->heldRescan = link->heldRescan || rescan;
    if (link->files->folder() != m_currentFolder) {
        link->heldNames.clear();
        return;
    }
    // A question, a progress dialog or a batch of ours is at work on the list: the
    // changes wait for it and are applied after.
    if (QApplication::activeModalWidget() || QApplication::activePopupWidget()) {
        link->files->hold();
        link->retry->start();
        return;
    }
    // A tagged list shows files of their own; the folder's changes are not its rows.
    for (const FileEntry &e : m_files->entries())
        if (!e.folder.isEmpty()) {
            link->heldNames.clear();
            return;
        }
    // The names only say that something happened; the stamps say what (reading a
    // file moves its access time, which changes nothing here).
    link->heldNames.clear();
    link->heldRescan = false;

    ListingResult now = ListFolderFiles(m_currentFolder, Txt_Filter->currentText(), settings().FileTypes);
    const int count = now.count;
    const std::int64_t total = now.total;
    ListingMerge merge = MergeListing(m_files->entries(), std::move(now.entries));
    if (merge.added.isEmpty() && merge.removed.isEmpty() && merge.changed.isEmpty())
        return;
    const QModelIndex currentIndex = Lvw_Files->currentIndex();
    const QString currentName =
        currentIndex.isValid() ? m_files->entries()[size_t(currentIndex.row())].name : QString();
    const bool wasEmpty = m_files->rowCount() == 0;
    // What the user has selected and where the grid is scrolled stay as they were: a
    // camera import into this folder must not keep throwing the view back.
    QStringList selectedNames;
    for (const QModelIndex &i : Lvw_Files->selectionModel()->selectedRows())
        selectedNames << m_files->entries()[size_t(i.row())].name;
    std::vector<int> scrolls;
    for (const ThumbBox *box : Pic_Thumb)
        scrolls.push_back(box->scrollOffset());

    if (m_store)
        m_store->RequestCancel();
    // Thumbnails of files gone leave the cache; rewritten files are made again, as
    // their stamps no longer match.
    if (!merge.removed.isEmpty()) {
        NameMap gone;
        for (const QString &n : merge.removed)
            gone.push_back({ n, QString() });
        OLEStorage::SetCurrentFolder(m_currentFolder);
        OLEStorage::RenameThumbs(2, gone);
    }
    // Files new or rewritten may not show an earlier picture of the same name.
    for (const QString &n : std::as_const(merge.changed))
        m_changedSinceStore.insert(n);
    for (const QString &n : std::as_const(merge.added))
        m_changedSinceStore.insert(n);
    m_files->setEntries(std::move(merge.entries));
    if (imagePropertiesMode()) {
        for (int row = 0; row < m_files->rowCount(); ++row)
            if (m_files->entry(row).properties.isEmpty())
                ListImagePropertiesOf(m_files->entry(row), folderOf(m_files->entry(row)));
    }
    m_listedCount = count;
    m_listedTotal = total;
    m_panels[2]->setText(FolderSummaryText(m_listedTotal, m_listedCount));
    const int row = currentName.isEmpty() ? -1 : m_files->findName(currentName);
    if (row >= 0) {
        m_loadOnClick = false; // the same file stays current; no new preview for it
        Lvw_Files->setCurrentIndex(m_files->index(row, 0));
    }
    QItemSelection keep;
    for (const QString &name : std::as_const(selectedNames)) {
        const int r = m_files->findName(name);
        if (r >= 0 && r != row)
            keep.select(m_files->index(r, 0), m_files->index(r, 0));
    }
    if (!keep.isEmpty())
        Lvw_Files->selectionModel()->select(keep, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    m_currentPosition = std::clamp(row >= 0 ? row : m_currentPosition, 0, std::max(0, m_files->rowCount() - 1));
    m_lastShownRow = -1;
    if (m_files->rowCount() == 0) {
        EnableFileCommands(false);
        for (ThumbBox *box : Pic_Thumb) {
            box->setFileCount(0);
            box->ReleaseGridSurfaces();
        }
        return;
    }
    if (wasEmpty)
        EnableFileCommands(true);
    if (m_viewActions[2]->isChecked()) {
        m_keepPictures = true; // the others keep theirs while the new display reads the cache
        ShowThumbs();
        for (std::size_t i = 0; i < scrolls.size() && i < std::size(Pic_Thumb); ++i)
            Pic_Thumb[i]->setScrollOffset(scrolls[i]);
        updateStorePane(); // the job makes the rows on screen first
    } else {
        for (ThumbBox *box : Pic_Thumb)
            box->setFileCount(m_files->rowCount());
    }
    // The picture on show was rewritten: show what the file holds now.
    if (row >= 0 && merge.changed.contains(currentName) && m_viewActions[1]->isChecked())
        Q_EMIT previewRequested(row);
}

void Frm_Main::leaveVanishedFolder(const QString &gone)
{
    // After the events in hand: a folder command of ours that removed or moved the
    // folder takes the window elsewhere itself, and a dialog at work is let finish.
    QTimer::singleShot(300, this, [this, gone] {
        if (m_closing || gone.isEmpty() || m_currentFolder != gone || QFileInfo(gone).isDir())
            return;
        if (QApplication::activeModalWidget() || QApplication::activePopupWidget()) {
            leaveVanishedFolder(gone);
            return;
        }
        QString up = QFileInfo(gone).absolutePath();
        while (!QFileInfo(up).isDir() && up != QFileInfo(up).absolutePath())
            up = QFileInfo(up).absolutePath();
        if (Tvw_Dir->ExpandToPath(up))
            onNodeClicked(Tvw_Dir->currentItem());
    });
}

void Frm_Main::syncTreeNode(QTreeWidgetItem *node)
{
    // Children not read yet are read when the node opens; nothing to keep in step.
    if (!node || !node->isExpanded() || FolderTreeWidget::keyOf(node).isEmpty())
        return;
    const QString key = FolderTreeWidget::keyOf(node);
    const QStringList subs = ListSubfolders(key);
    const QSet<QString> onDisk(subs.cbegin(), subs.cend());
    // The node on display and the nodes above it are not taken away under the user;
    // a listed folder removed outside is left for the folder above through its own watch.
    QSet<const QTreeWidgetItem *> keep;
    for (const QTreeWidgetItem *at = Tvw_Dir->currentItem(); at; at = at->parent())
        keep.insert(at);
    QSet<QString> shown;
    for (int i = node->childCount() - 1; i >= 0; --i) {
        QTreeWidgetItem *child = node->child(i);
        const QString childKey = FolderTreeWidget::keyOf(child);
        if (childKey.isEmpty())
            continue; // a placeholder
        shown.insert(childKey);
        if (!onDisk.contains(childKey) && !keep.contains(child) && child != Tvw_Dir->dropHighlighted())
            delete node->takeChild(i);
    }
    QStringList added;
    for (const QString &sub : subs)
        if (!shown.contains(sub))
            added << sub;
    // New folders are watched before they are read: a subfolder made in one
    // meanwhile (mkdir -p) then still brings its expand arrow.
    if (m_watchLink && node->childCount() + added.size() <= kMaxWatchedChildren)
        watchFolders(m_watchLink->tree, added);
    // A folder moved in with subfolders of its own shows its arrow at once.
    for (const QString &sub : std::as_const(added))
        Tvw_Dir->insertFolderNode(node, sub);
    if (m_watchLink)
        watchOpenNode(m_watchLink->tree, node);
}

} // namespace v7
