// A folder tree read one level at a time: volumes at the top, a placeholder child
// under every node whose subfolders are not read yet, re-read from disk on collapse.
// Used by the main window's Tvw_Dir and by the folder picker.
//
// Threads: user-interface thread only.
#pragma once

#include "browser/FolderTree.h"

#include <QTreeWidget>

namespace v7
{

class FolderTreeWidget : public QTreeWidget
{
    Q_OBJECT
public:
    static constexpr int KeyRole = Qt::UserRole; // full folder path; empty for a placeholder
    static constexpr int TagRole = Qt::UserRole + 1; // "Root" for volumes

    explicit FolderTreeWidget(QWidget *parent = nullptr);

    // Rebuilds the volume level. withLabels adds the volume name in parentheses.
    void SetDirTree(bool withLabels = false);
    void setVolumes(const std::vector<Volume> &volumes, bool withLabels = false);
    const std::vector<Volume> &volumes() const { return m_volumes; }

    static QString keyOf(const QTreeWidgetItem *item);
    static bool isPlaceholder(const QTreeWidgetItem *item);
    QTreeWidgetItem *findByKey(const QString &key) const;

    // Reads the subfolders of a node that holds only a placeholder.
    void FillSubfolders(QTreeWidgetItem *item);
    // Expands from the volume down to path (re-reading each level); true when reached.
    // A hidden folder on the way, which the tree does not list, gets a node of its own
    // so that the folders below it can be reached.
    bool ExpandToPath(const QString &path);
    // Collapse: fresh children from disk, shown on the next expansion.
    void refreshChildren(QTreeWidgetItem *item);

    QTreeWidgetItem *addFolderNode(QTreeWidgetItem *parent, const QString &path);
    // A node in name order among its siblings, with the placeholder (the expand arrow)
    // when its folder has subfolders.
    QTreeWidgetItem *insertFolderNode(QTreeWidgetItem *parent, const QString &path);
    // The node under a drag, highlighted until the drag ends or leaves.
    QTreeWidgetItem *dropHighlighted() const { return m_dropNode; }

Q_SIGNALS:
    // Files were dropped on a folder node (copied or moved by the file commands).
    void filesDropped(const QStringList &paths, const QString &targetFolder, Qt::DropAction action);
    // A key moved the current node (activated: Enter or Space, which may leave it in place).
    void keyboardSelected(QTreeWidgetItem *item, bool activated);

public:
    // A key is held down in the tree (its repeats still to come): what it selects is
    // not where it will rest.
    bool keyHeld() const { return m_heldKey != 0; }

protected:
    QMimeData *mimeData(const QList<QTreeWidgetItem *> &items) const override;
    QStringList mimeTypes() const override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

public:
    static QIcon icon(const QString &key); // "closed", "open", "drive", "cd", "disk", "netdrive"

private:
    void onExpanded(QTreeWidgetItem *item);
    void onCollapsed(QTreeWidgetItem *item);
    void addPlaceholder(QTreeWidgetItem *item);

    void setDropNode(QTreeWidgetItem *item);

    std::vector<Volume> m_volumes;
    QTreeWidgetItem *m_dropNode = nullptr;
    bool m_inCollapse = false;
    int m_heldKey = 0; // the key down in the tree and not yet released
};

} // namespace v7
