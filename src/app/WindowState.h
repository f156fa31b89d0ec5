// The main window's saved state: what it restores when it loads and writes back
// when it closes. Plain values, so the rules are tested without a window.
//
// Threads: user-interface thread (the main window's state is only kept there).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace v7
{

constexpr int TwipsPerPixel = 15;
constexpr int MinWindowTwips = 3000;
constexpr int DefaultSplitLeft = 182;
constexpr int HistoryListLimit = 2020; // stored bytes: a history list stays below this

struct MainWindowState {
    bool LastOK = true;
    QString LastFolder; // the folder to open
    QString LastFile;
    QString LastFilter;
    QStringList FolderHistory;
    QStringList FilterHistory;
    int ThumbsRow = 2;
    QString Imagefit = QStringLiteral("FitNormal");
    int SplitLeft = DefaultSplitLeft; // pixels
    bool Treeview = true;
    bool Imageview = true;
    bool Thumbview = true;
    // The file list: sort column (0-4), order (0 ascending, 1 descending) and the five
    // column widths in pixels (0: the list's own width).
    int SortColumn = 0;
    int SortOrder = 0;
    int ColumnWidths[5] = { 0, 0, 0, 0, 0 };
    int WindowState = 2; // 0 normal, 1 minimised, 2 maximised
    int Left = 0, Top = 0, Width = 0, Height = 0; // twips
};

// Reads the stored state with the defaults of a first run. screenW/H (twips) are the
// defaults of Width and Height. A stored folder that no longer exists becomes the home
// folder; a width or height under 3000 twips becomes 3000.
MainWindowState RestoreWindowStateValues(int screenWidthTwips, int screenHeightTwips);

// Writes the state in its stored types (LastOK as 1), then every global setting.
// The rectangle is written only when the window is in the normal state.
void SaveWindowStateValues(const MainWindowState &state);

// The bytes of a stored history list: each entry's UTF-8 bytes followed by NUL, skipping
// empty entries and any that would make the list 2020 bytes or longer.
QByteArray BuildHistoryList(const QStringList &entries);
// Splits a stored list at NUL, dropping empty entries.
QStringList SplitHistoryList(const QString &stored);

// SplitLeft to store: the splitter's left edge, or 182 when the tree pane is collapsed.
int StoredSplitLeft(int splitterLeftEdge);

} // namespace v7
