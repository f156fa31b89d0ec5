// The main window's commands as data: every menu item with its caption and key,
// the toolbar labels with their tooltips, the key map (which key, in which pane,
// under which condition, runs what) and the pane indicator. The window builds its
// menus and toolbar from these tables and its key handler is a lookup in them, so
// the whole map is testable without a window.
//
// Threads: any (plain data and pure functions).
#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>
#include <Qt>
#include <span>
#include <vector>

namespace v7
{

enum class CommandId {
    None,
    Separator,
    // The main menu (Mnu_RClick)
    TagImage,
    ListTagged,
    ExportThumbs,
    CopyToClipboard,
    OpenForEditing,
    Save,
    SaveAs,
    RenameFiles,
    ConvertFiles,
    DeleteFiles,
    ImageProperties,
    Slideshow,
    Scan,
    Print,
    Exit,
    // "ImageView"
    ShowFolderFiles,
    ShowImagePreview,
    ShowThumbnails,
    // "ImageFit"
    ImageFitNormal,
    ImageFitAuto,
    ImageFitWidth,
    ImageFitHeight,
    // "File Control"
    OpenLastTagged,
    ClearTagged,
    NewFolder,
    RenameFolder,
    CopyTo,
    MoveTo,
    DeleteFolder,
    // "Help"
    HelpContents,
    // Toolbar labels that are commands of their own
    Reload,
    Options,
    Effects,
    // The window menu
    CustomWindowStyle,
    RefreshThumbnails,
    Count
};

enum class MenuId { RClick, ImageView, ImageFit, FileOp, Help, Window };

struct MenuEntry {
    CommandId id = CommandId::Separator;
    const char *caption = ""; // exact, with its "&" accelerator
    const char *key = ""; // the key shown beside the caption (the key map runs it)
    bool checkable = false;
    bool checked = false; // at start
    bool enabled = true; // at start
    bool visible = true; // at start
};

// The entries of one menu, in order, separators included.
std::span<const MenuEntry> MenuEntries(MenuId menu);
// The menu's own name ("RClick", "ImageView", "ImageFit", "File Control", "Help").
QString MenuTitle(MenuId menu);
// The first entry of any menu that runs the command; nullptr for none.
const MenuEntry *FindMenuEntry(CommandId id);

// The commands that need a listed file: shown, and enabled or disabled together
// whenever a listing starts or ends.
bool IsFileCommand(CommandId id);

// The entries of the main menu hidden in the context menus over the file list and
// the thumbnails: "List &Image Properties", "Scan...", "E&xit" and the separator
// directly above each (indexes into MenuEntries(MenuId::RClick)).
std::vector<int> ContextHiddenEntries();

// Toolbar: labels 0..8 and icons 0..9.
struct ToolbarEntry {
    const char *caption; // label caption; empty for icon 9
    const char *tooltip; // the icon's tooltip
};
std::span<const ToolbarEntry> ToolbarEntries();
// The part of the zoom label ("-       +") under x: 1 the minus end, 2 the plus end,
// 0 the middle third (nothing happens there).
int ZoomLabelPart(int x, int width);
// The scroll arrows: the list moves one item down (+1) below y 18, up (-1) above
// y 16, not at all between; held over a second, the steps come every 2 ms instead
// of every 50 ms.
int ScrollArrowStep(int y);
int ScrollArrowDelayMs(qint64 heldMs);

// Panes by the name of the focused control.
enum class Pane { Other, Tree, Files, DirHist, Filter, Thumb, Image };
Pane PaneFromName(QStringView controlName);

// Status panel 2 when a pane receives the focus: its title and icon key, chosen
// from the control name with its first four characters dropped, lower-cased.
struct PaneIndicator {
    QString title;
    QString icon;
};
PaneIndicator PaneIndicatorFor(QStringView controlName); // empty title: not a pane

// What a key does.
enum class KeyAction {
    Pass, // not handled: the focused control gets it
    Swallow, // handled by doing nothing
    RunCommand, // the decision's command, when it is enabled (DeleteFiles always)
    PageToList, // the same key to the file list (a page move)
    PrevFile, // wraps from the first to the last
    NextFile, // wraps from the last to the first
    StopStore,
    ThumbShowCurrent, // Space in the thumbnails
    WritePaneName, // Tab: the focused control's name in status panel 2
    MainMenu, // F1
    ReleaseWorker, // F3
    RefreshNode, // F5
    ToggleView, // arg 0..2
    Reload, // F12
    ClearPreview,
    Pan, // arg: the key
    NoEffect, // Home and End in the preview
    ThumbMove, // arg: the key; multiSelect tells whether a modifier was held
    SetZoom, // arg 1..5
    ZoomIn,
    ZoomOut,
    OpenAssociated, // Enter with a modifier
    FilterList,
    HistoryOpen,
    OpenZoom, // the viewer
    AppsMenu,
};

struct KeyState {
    Pane pane = Pane::Other;
    bool fileSelected = false;
    bool treeHasNode = false;
    bool fileListVisible = true;
    bool showThumbnails = true;
    bool previewShown = true; // "Show Image Preview" checked: the zoom keys work only then
};

struct KeyDecision {
    KeyAction action = KeyAction::Pass;
    CommandId command = CommandId::None;
    int arg = 0;
    bool swallow = false; // the key does not reach the focused control
    bool multiSelect = false;
};

// One row of the key map.
enum class PaneCond { Any, ThumbImageFiles, Thumb, Image, NotFilterOrTree, Filter, DirHist, Other, ImageThumbFiles };
enum class ModCond { Any, None, Some, CtrlOnly, NoAlt };
enum class StateCond { None, FileListVisible, TreeHasNode, FileSelected, PreviewShown };
struct KeyRow {
    int key; // Qt::Key
    bool keypad; // only the numeric-pad key
    ModCond mods;
    PaneCond pane;
    StateCond state;
    KeyAction action;
    CommandId command;
    int arg;
    bool swallow;
};
std::span<const KeyRow> KeyMap();

// The first row of the key map that matches. Keys the map does not name pass on.
KeyDecision DispatchKey(int key, Qt::KeyboardModifiers modifiers, const KeyState &state);

// The keyboard pan of the preview: the offsets (x or y, one axis) visited by one
// key press, in 6-pixel steps, at most 11 of them; empty when the image cannot move
// that way. direction -1 toward smaller offsets, +1 toward larger.
std::vector<int> KeyboardPanSteps(int offset, int viewSize, int imageSize, int direction);

// The key of a Ctrl letter: the command it runs (None when it runs nothing).
CommandId CtrlLetterCommand(char letter);

// The program and arguments of the editor setting (StartUp\EditorCommand) for one
// file. The command is split into words as a shell would: blanks separate them,
// '...' is taken as written, "..." keeps blanks and honours \" and \\, and a
// backslash outside quotes takes the next character as it is. "%f" in a word
// stands for the file; with no "%f" the file is the last argument. Empty when the
// command is blank or its quotes are not closed.
QStringList EditorArguments(const QString &command, const QString &file);

} // namespace v7
