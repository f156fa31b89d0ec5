// The main window: folder tree, file list, filter and history boxes, the preview
// and thumbnail panes, and the status bar. It restores its saved state when it
// loads and writes it back, with every global setting, when it closes.
//
// Threads: user-interface thread only.
#pragma once

#include "app/WindowState.h"
#include "browser/History.h"
#include "imaging/Zoom.h"
#include "mainwin/MainCommands.h"
#include "mainwin/PaneLayout.h"
#include "mainwin/TaggedSet.h"
#include "thumbs/BitmapStore.h"
#include "viewer/ZoomHost.h"

#include <QHash>
#include <QMainWindow>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QSet>
#include <memory>

class QAction;
class QComboBox;
class QKeyEvent;
class QPrintDialog;
class QPrinter;
class QLabel;
class QListWidget;
class QMenu;
class QTimer;
class QTreeView;
class QTreeWidgetItem;

namespace v7
{

class DrawView;
class Frm_Zoom;
class Prefetcher;
class ThumbBox;
class FileListModel;
class ThumbX;
class FolderTreeWidget;
class MainToolbar;
struct ApplyOutcome;
struct FileEntry;
struct WindowOptions;

class Frm_Main : public QMainWindow, public ThumbDisplayHost, public ZoomHost
{
    Q_OBJECT
public:
    // folderOverride: a folder named on the command line, opened instead of LastFolder.
    explicit Frm_Main(const QString &folderOverride = QString(), QWidget *parent = nullptr);
    // A file named on the command line: made current when its folder (the override) is
    // first listed. Set before Form_Load.
    void setStartFile(const QString &name) { m_startFile = name; }
    ~Frm_Main() override;

    // The window load: restore the state, show, arm the first display, write LastOK 0.
    void Form_Load();

    // Lists the folder selected in the tree again.
    void Folder_Refresh();
    void SetDirTree();
    // Lists one folder into the file list; false when it does not exist.
    bool ListFolder(const QString &folder);
    // Selects the file that was current when this folder was last shown.
    void RestoreLastFile();
    void EnableFileCommands(bool enabled);
    // "List &Image Properties": columns 4 and 5 for every file, column 4 moved next to the name.
    void setImagePropertiesMode(bool on);
    bool imagePropertiesMode() const;
    // The full-screen viewer sets this only around its own ReadImageProperties call.
    QString ReadImageProperties(int row);
    void setReadPropertiesFlag(bool on) { m_readPropertiesFlag = on; }
    // A history menu choice (element i).
    void ChooseHistory(int i);
    // Label edits of the tree: make a folder under the selected node, rename it.
    // They return the message shown (empty on success), so callers and tests see it.
    QString NewFolderUnderSelected(const QString &name);
    QString RenameSelectedFolder(const QString &newName);
    // The in-place forms behind "&New Folder" and "&Rename" of the tree's menu: the
    // label editor opens on the node, and the folder is made or renamed when it closes.
    void BeginNewFolder();
    void BeginRenameFolder();
    // "&Delete" of the tree's menu and the Delete key: the folder goes to the trash
    // after the user confirms; its cached thumbnails go with it. True when deleted.
    bool DeleteFolder(const QString &path);
    // File commands (Frm_MainFileCommands.cpp). operation: 1 move, 2 copy.
    void DeleteSelectedFiles(bool quiet);
    void TakeFolderSnapshot();
    void UpdateFolderTotals();
    bool DropFilesOnFolder(const QStringList &paths, const QString &destination, int operation, int shift);
    bool CopyOrMoveFolder(const QString &path, int operation);
    void FileOpsMenuCommand(int index); // Mnu_FileOps by index, on the drop-highlighted or selected node
    bool SaveImage(const QImage &scanned, bool showDialog);
    void Scan();
    void FileOps_Rename();
    void FileOps_Convert();
    // The batch dialog's other modes and the undo of the last rename (Frm_MainBatch.cpp).
    void FileOps_Save();
    void FileOps_ExportThumbs();
    void FileOps_UndoRename();
    // The list's entries of folder follow renamed files (old name, new name).
    void applyRenamedFiles(const QString &folder, const QList<QPair<QString, QString>> &pairs);
    void setupBatchCommands(); // "&Undo" and "Save &Files..." in the main menu
    QString lastSaveFolder() const { return m_lastSaveFolder; }
    // Commands, menus, toolbar and keys (Frm_MainCommands.cpp, Frm_MainMenus.cpp,
    // Frm_MainKeys.cpp): every menu entry, key and toolbar label runs through RunCommand.
    void RunCommand(CommandId id);
    QAction *commandAction(CommandId id) const;
    QMenu *commandMenu(MenuId id) const;
    MainToolbar *toolbar() const { return m_toolbar; }
    // The key handler that sees a pane's keys first; true when the key is swallowed.
    bool MainKeyDown(QObject *focused, QKeyEvent *event);
    void MainKeyUp(QObject *focused, QKeyEvent *event);
    // F1: the main menu at the window's left, level with the "Menu" label (or labelPos).
    void ShowMainMenu(const QPoint &labelPos = QPoint());
    // The main menu over the file list or a thumbnail, without its last three entries.
    void ShowContextMenu(const QPoint &globalPos);
    // Tagging (Frm_MainTags.cpp). "&Tag Image" (Ctrl+T): every selected file flips
    // between tagged and not. The set is kept across runs.
    void TagSelected();
    QStringList taggedFiles() const { return m_tagged.paths(); }
    const TaggedSet &taggedSet() const { return m_tagged; }
    void ListTagged(); // Ctrl+L
    void OpenLastTaggedList();
    // The full path of a row: a row of a tagged list keeps its own folder.
    QString filePathAt(int row) const;
    // The folder a row's file lives in: its own in a tagged list, else the listed one.
    QString folderOf(const FileEntry &e) const;
    // Hand-off (Frm_MainHandoff.cpp).
    bool CopyToClipboard(); // Ctrl+C: the image and its file on the clipboard
    bool PrintTo(QPrinter &printer, int row); // the page of one file
    void PrintSelected(); // Ctrl+P, through the print dialog
    void OpenForEditing(); // Ctrl+O, Ctrl+Enter
    void OpenHelp();
    static QString helpFile(); // empty when not installed
    void RequestExit(); // Ctrl+X: the window closes on the next tick of its close timer

    // The options dialog (F4, toolbar "Options"), owned by owner (this window when
    // null), and the image operations window (toolbar "Effects"): Frm_MainOptions.cpp.
    void ShowOptions(QWidget *owner = nullptr);
    void ShowImageOps();
    QWidget *optionsDialog() const { return m_optionsDlg; }
    QWidget *imageOpsWindow() const { return m_imageOps; }
    bool statusInfoShown() const { return m_showInfo; } // "&Show image info on statusbar"
    // A thumbnail's caption lines: the name, and its size, date or image information.
    QPair<QString, QString> thumbCaption(int index);

    QString currentFolder() const { return m_currentFolder; }
    int currentPosition() const { return m_currentPosition; }
    const MainWindowState &state() const { return m_state; }
    const FolderHistory &folderHistory() const { return m_history; }
    QStringList filterHistory() const;
    QString statusPanelText(int panel) const;
    // What the first status panel shows: the progress of the running display.
    QPixmap progressPixmap() const;
    FolderTreeWidget *folderTree() const { return Tvw_Dir; }
    FileListModel *fileList() const { return m_files; }
    QTreeView *fileListView() const { return Lvw_Files; }
    QComboBox *filterBox() const { return Txt_Filter; }
    QAction *viewAction(int index) const { return m_viewActions[index]; }
    const PaneLayoutResult &paneLayout() const { return m_layout; }
    void setSplitX(int p);
    void setViewShown(int index, bool shown);

    // The preview: shows the list's entry at row in Pic_Image with the fit mode and zoom.
    void ShowCurrentImage(int row);
    // What the preview says instead of a picture it could not draw ("name", "Error in
    // file"); empty while it shows a picture or nothing.
    QString previewNotice() const { return m_previewNotice; }
    DrawView *imagePane() const { return Pic_Image; }
    const Prefetcher &prefetcher() const { return *m_prefetch; }
    BitmapStore *store() const { return m_store; }

    // The display store's window (ThumbDisplayHost).
    void RequestRepaint() override;
    void SetStatusPanelText(int panel, const QString &text) override;
    int ProgressWidth() override;
    void DrawProgress(int length, int height, const QString &counterText) override;
    void ShowDeliveredThumb(int index, int column, int row) override;
    QString FileNameAt(int index) override;
    void ThumbArrived(int index) override;
    ThumbBox *thumbBox(int i) const { return Pic_Thumb[i]; }
    ZoomFactor zoom() const { return m_zoom; }
    // Sets the zoom factor (ignored outside 0.5 to 10), writes its status text and
    // shows the selected file again.
    void ApplyZoom(ZoomFactor zoom);
    // "FitNormal", "FitAuto", "FitWidth" or "FitHeight" from the fit menu.
    void chooseFitMode(int index);
    QString fitMode() const { return m_state.Imagefit; }

Q_SIGNALS:
    // The tag menu of a thumbnail's corner mark is about to show (for tests).
    void tagMenuShown(QMenu *menu);
    void firstDisplayStarted();
    void optionsApplied(); // the window has taken the settings the options dialog applied
    // A popup menu of the window is about to show; the print dialog is about to show.
    void menuShown(QMenu *menu);
    void printDialogShown(QPrintDialog *dialog);
    // A thumbnail display has made or read every thumbnail it was going to.
    void thumbDisplayFinished();
    void folderListed(const QString &folder, int count);
    // The list asks for this entry to be shown in the preview (after the 10 ms deferral).
    void previewRequested(int position);
    // Enter, or a double-click on the preview: the zoom window for the selected file.
    void zoomWindowRequested(int position);
    // A label edit of the tree has ended (after any message about it).
    void labelEditFinished();

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildWidgets();
    void RestoreWindowState();
    void SaveWindowState();
    void FirstDisplay();
    void SizeControlsX();
    void onNodeClicked(QTreeWidgetItem *item);
    void onColumnClicked(int column);
    void onCurrentRowChanged(int row);
    void onListClickTimer();
    void showHistoryMenu();
    void onFilterEntered();
    void showFocusPane(QObject *control);
    static QPixmap paneIcon(const QString &key);
    void setHistoryBox(QTreeWidgetItem *node);
    void showWindowMenu();
    void showWindowMenuAt(const QPoint &globalPos);
    void showTreeMenu(const QPoint &pos);
    void onLabelEditClosed();
    void showEditFailure(const QString &message, bool withIcon);
    QString currentFileSizeText(int row) const;
    // Grid and list in step (Frm_MainGrid.cpp): the current file's status line, the
    // grid scrolled to the current cell, the list's sort and columns kept between runs.
    void writeCurrentFileStatus(int row);
    void followInGrid(int row);
    void showPreviewNotice(const QString &name);
    void restoreListColumns();
    void saveListColumns();
    QString m_previewNotice;
    // Folders that update themselves (Frm_MainWatch.cpp): the listed folder and the
    // expanded tree nodes are watched; changes made outside reach the list and grid.
    void watchListedFolder(const QString &folder);
    void applyFolderChanges(const QStringList &names, bool rescan);
    void syncTreeNode(QTreeWidgetItem *node);
    // The listed folder went outside the program: lists the nearest one above that exists.
    void leaveVanishedFolder(const QString &gone);
    class FolderWatchLink *m_watchLink = nullptr;

    QString m_folderOverride;
    QString m_startFile;
    MainWindowState m_state;
    FolderHistory m_history;
    QString m_savedLastFolder, m_savedLastFile; // as stored at the last exit
    QString m_currentFolder;
    int m_currentPosition = 0;
    int m_listedCount = 0;
    std::int64_t m_listedTotal = 0;
    QHash<QString, QString> m_lastFileByFolder;
    bool m_loadOnClick = false;
    int m_pendingPreview = -1;
    int m_splitX = DefaultSplitLeft;
    double m_splitRatio = 0.5;
    QString m_zoomText = QStringLiteral("1");
    PaneLayoutResult m_layout;

    FolderTreeWidget *Tvw_Dir = nullptr;
    QTreeView *Lvw_Files = nullptr;
    FileListModel *m_files = nullptr;
    QComboBox *Txt_Filter = nullptr;
    QListWidget *Lvw_DirHist = nullptr;
    QWidget *m_toolStrip = nullptr;
    QWidget *Pic_Base = nullptr;
    DrawView *Pic_Image = nullptr;
    QAction *m_fitActions[4] = { nullptr, nullptr, nullptr, nullptr };
    QWidget *m_fitButton = nullptr;
    ZoomFactor m_zoom = ZoomFactor::fromWhole(1);
    std::unique_ptr<Prefetcher> m_prefetch; // the next file in the direction of travel
    int m_lastShownRow = -1;
    QPointF m_panOrigin;
    void reshowSelected();
    ThumbBox *Pic_Thumb[2] = { nullptr, nullptr };
    int m_activeBox = 0;
    QPointer<BitmapStore> m_store;
    QPointer<ThumbX> m_worker;
    // After a change from outside: the previous display's store, whose pictures stand
    // in for the same files until the new display has them. m_storeNames: the files
    // the current store was made for; m_changedSinceStore: those added or rewritten
    // outside since, whose old pictures must not stand in.
    QPointer<BitmapStore> m_standInStore;
    bool m_keepPictures = false;
    QStringList m_storeNames;
    QSet<QString> m_changedSinceStore;
    void dropStandIns();
    void updateStorePane();
    // Ends the running display's job and takes its store off the boxes; the store
    // is then the caller's. Null when there is none, or another took it meanwhile.
    BitmapStore *detachStore(int maxRounds);
    void releaseStore(int maxRounds);
    void ShowThumbs();
    void onCellPressed(int box, int item, Qt::MouseButton button, bool onCornerMark, Qt::KeyboardModifiers modifiers);
    QWidget *SplitX = nullptr;
    QWidget *SplitY = nullptr;
    QWidget *Split_Ty = nullptr;
    QWidget *m_dragBar = nullptr; // the splitter being dragged
    int m_splitTy = -1;
    QWidget *m_client = nullptr;
    QAction *m_viewActions[3] = { nullptr, nullptr, nullptr };
    QAction *m_customStyle = nullptr;
    QAction *Mnu_ImgInfo = nullptr;
    bool m_readPropertiesFlag = false;
    QList<QAction *> m_fileCommands;
    QTimer *m_firstDisplayTimer = nullptr;
    QTimer *Tmr_LvwClick = nullptr;
    std::vector<QLabel *> m_panels; // status bar panels 1 to 5
    QLabel *m_paneIcon = nullptr; // beside panel 2
    QString m_treeTag; // "1" new folder, "2" rename: the label edit under way
    QPersistentModelIndex m_editNode; // invalid once the node is gone (a collapse re-reads it)
    int m_listingSerial = 0; // the newest ListFolder call; an older one still running gives way
    QTimer *m_treeKeyTimer = nullptr; // lists the node the tree's keys came to rest on
    bool m_treeKeyActivated = false; // Enter or Space: list it even when it is listed already
    void onTreeKeyTimer();
    QString m_editOldText;
    bool m_editCancelled = false;
    QAction *Mnu_TagImage = nullptr;
    // Commands, keys, tagging and hand-off.
    void buildCommands();
    void popupMenu(MenuId id, const QPoint &globalPos);
    KeyState keyState(QObject *focused) const;
    bool handleControlKey(QObject *focused, QKeyEvent *event);
    void sendKeyToList(int key);
    void moveListBy(int step, bool wrap);
    void StopStore();
    void keyboardPan(int key);
    void thumbMove(QObject *focused, int key, bool multiSelect);
    void showImageOverThumbs(int row);
    void loadTaggedSet();
    void updateTagCommands();
    void dropVanishedTags();
    void showTaggedEntries(const std::vector<TaggedFile> &files);
    int selectedRow() const;
    bool deferClose(QCloseEvent *event);
    QAction *m_commands[int(CommandId::Count)] = {};
    QMenu *m_menus[6] = {};
    MainToolbar *m_toolbar = nullptr;
    TaggedSet m_tagged;
    QPointer<QLabel> m_thumbOverlay;
    QTimer *Timer1 = nullptr; // the deferred close
    bool m_closeFromTimer = false;
    bool m_saved = false;
    bool m_closing = false; // closed: no listing or display starts any more

public:
    // The full-screen viewer (Frm_MainViewer.cpp). The zoom step opens it on the
    // selected file unless it is open, then draws the current file there: Enter
    // and a double-click on the preview ("+" and "-" first change PreviewZoom).
    void ZoomStep(const QString &op) override;
    void ZoomImageStep(const QString &op) override; // "+" next, "-" previous, "" again
    Frm_Zoom *zoomWindow() const; // null until first opened
    int ZoomFileCount() const override;
    int ZoomSelectedItem() const override;
    QString ZoomFilePath(int item) const override;
    void ZoomSelectItem(int item) override;
    ZoomFactor PreviewZoom() const override;
    void SetPreviewZoom(ZoomFactor zoom) override;
    QString ViewType() const override;
    void SetViewType(const QString &fitMode) override;
    bool ZoomDeleteShown() override;
    void ZoomWindowClosing() override;
    int LastMouseX = 0; // the pointer's screen position before the viewer opened
    int LastMouseY = 0;

private:
    void wireZoomWindow();
    void openZoomWindow();
    Frm_Zoom *m_zoomWindow = nullptr; // a child window: created on first use, then shown and hidden
    // The window a file command's questions belong to: the viewer while it deletes, so
    // they show above it rather than under a full-screen window.
    QWidget *m_dialogOwner = nullptr;
    QWidget *dialogOwner() { return m_dialogOwner ? m_dialogOwner : this; }
    void ApplyOptions(const ApplyOutcome &outcome, const WindowOptions &w);
    QPointer<QWidget> m_optionsDlg, m_imageOps;
    bool m_showInfo = false;
    // File commands (Frm_MainFileCommands.cpp).
    void buildFileCommands();
    void showFileOpsMenu(const QPoint &pos);
    void removeListedNames(const QStringList &names, const QString &prefix, bool ask, bool quiet);
    QString m_lastSaveFolder;
    int m_snapshotCount = 0;
    std::int64_t m_snapshotTotal = 0;
    QString m_scanSource; // chosen once per run
};

} // namespace v7
