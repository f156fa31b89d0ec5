#include "mainwin/MainCommands.h"

#include <array>

namespace v7
{

namespace
{

    using C = CommandId;
    constexpr MenuEntry Sep {};

    constexpr MenuEntry kRClick[] = {
        { C::TagImage, "&Tag Image", "Ctrl+T" },
        { C::ListTagged, "&List tagged images", "Ctrl+L" },
        Sep,
        { C::ExportThumbs, "&Export Thumbnails", "" },
        Sep,
        { C::CopyToClipboard, "&Copy to clipboard", "Ctrl+C" },
        Sep,
        { C::OpenForEditing, "&Open for Editing", "Ctrl+O" },
        Sep,
        { C::Save, "&Save", "Ctrl+S" },
        { C::SaveAs, "Save &As", "Ctrl+A" },
        { C::RenameFiles, "&Rename File(s)", "Ctrl+R" },
        { C::ConvertFiles, "Con&vert File(s)", "Ctrl+V" },
        Sep,
        { C::DeleteFiles, "&Delete File(s)", "Ctrl+D" },
        Sep,
        { C::ImageProperties, "List &Image Properties", "Ctrl+I", true },
        Sep,
        { C::Slideshow, "Slidesho&w         [Enter]", "", false, false, true, false },
        Sep,
        { C::Scan, "Scan...", "" },
        Sep,
        { C::Print, "&Print", "Ctrl+P" },
        Sep,
        { C::Exit, "E&xit", "Ctrl+X" },
    };
    constexpr MenuEntry kImageView[] = {
        { C::ShowFolderFiles, "Show Folder && Files", "F9", true, true },
        { C::ShowImagePreview, "Show Image Preview", "F10", true, true },
        { C::ShowThumbnails, "Show Thumbnails", "F11", true, true },
    };
    constexpr MenuEntry kImageFit[] = {
        { C::ImageFitNormal, "Normal", "", true, true },
        { C::ImageFitAuto, "Auto", "", true },
        { C::ImageFitWidth, "Fit Width", "", true },
        { C::ImageFitHeight, "Fit Height", "", true },
    };
    constexpr MenuEntry kFileOp[] = {
        { C::OpenLastTagged, "Open last tagged list", "", false, false, false },
        { C::ClearTagged, "^Clear tagged list", "", false, false, true, false },
        Sep,
        { C::NewFolder, "&New Folder", "" },
        { C::RenameFolder, "&Rename", "" },
        Sep,
        { C::CopyTo, "Copy To...", "" },
        { C::MoveTo, "Move To...", "" },
        Sep,
        { C::DeleteFolder, "&Delete", "" },
    };
    constexpr MenuEntry kHelp[] = {
        { C::HelpContents, "Contents...", "" },
    };
    constexpr MenuEntry kWindow[] = {
        Sep,
        { C::CustomWindowStyle, "   Custom &windows style", "", true },
        Sep,
        { C::RefreshThumbnails, "   Refresh thumbnails", "" },
    };

    constexpr ToolbarEntry kToolbar[] = {
        { "Menu", "Shows the apllication main menu" },
        { "View", "Show or hide controls" },
        { "Image Fit", "Adjusts how the image is sized" },
        { "Zoom", "Zoom In or Out" },
        { "Reload", "Refresh the thumbnail display" },
        { "Options", "Display the options dialog" },
        { "Effects", "Adjust or modify current image" },
        { "Help", "Adjust or modify current image" },
        { "-       +", "Scroll up or down" },
        { "", "Scroll up or down" },
    };

    using K = KeyAction;
    using P = PaneCond;
    using M = ModCond;
    using S = StateCond;

    // First match wins: the rows of one key go from the narrowest condition to the widest.
    constexpr KeyRow kKeys[] = {
        { Qt::Key_Delete, false, M::Any, P::ThumbImageFiles, S::None, K::RunCommand, C::DeleteFiles, 0, true },
        { Qt::Key_PageUp, false, M::Any, P::Thumb, S::FileListVisible, K::PageToList, C::None, Qt::Key_PageUp, true },
        { Qt::Key_PageDown,
            false,
            M::Any,
            P::Thumb,
            S::FileListVisible,
            K::PageToList,
            C::None,
            Qt::Key_PageDown,
            true },
        { Qt::Key_PageUp, false, M::Any, P::Image, S::None, K::PrevFile, C::None, 0, true },
        { Qt::Key_PageDown, false, M::Any, P::Image, S::None, K::NextFile, C::None, 0, true },
        { Qt::Key_Escape, false, M::Any, P::Any, S::None, K::StopStore, C::None, 0, false },
        // Alt+Space is the window menu's key.
        { Qt::Key_Space, false, M::NoAlt, P::Image, S::None, K::NextFile, C::None, 0, true },
        { Qt::Key_0, true, M::Any, P::Image, S::None, K::NextFile, C::None, 0, true },
        { Qt::Key_Space, false, M::NoAlt, P::Thumb, S::None, K::ThumbShowCurrent, C::None, 0, true },
        { Qt::Key_0, true, M::Any, P::Thumb, S::None, K::ThumbShowCurrent, C::None, 0, true },
        { Qt::Key_Tab, false, M::Any, P::Any, S::None, K::WritePaneName, C::None, 0, false },
        { Qt::Key_Backtab, false, M::Any, P::Any, S::None, K::WritePaneName, C::None, 0, false },
        { Qt::Key_F1, false, M::Any, P::Any, S::None, K::MainMenu, C::None, 0, true },
        { Qt::Key_F2, false, M::Any, P::Any, S::None, K::RunCommand, C::RenameFiles, 0, true },
        { Qt::Key_F3, false, M::Any, P::Any, S::None, K::ReleaseWorker, C::None, 0, true },
        { Qt::Key_F4, false, M::None, P::Any, S::None, K::RunCommand, C::Options, 0, true },
        { Qt::Key_F5, false, M::Any, P::Any, S::TreeHasNode, K::RefreshNode, C::None, 0, true },
        { Qt::Key_F9, false, M::Any, P::Any, S::None, K::ToggleView, C::None, 0, true },
        { Qt::Key_F10, false, M::Any, P::Any, S::None, K::ToggleView, C::None, 1, true },
        { Qt::Key_F11, false, M::Any, P::Any, S::None, K::ToggleView, C::None, 2, true },
        { Qt::Key_F12, false, M::Any, P::Any, S::None, K::Reload, C::None, 0, true },
        { Qt::Key_Backspace, false, M::Any, P::ImageThumbFiles, S::None, K::ClearPreview, C::None, 0, true },
        { Qt::Key_Left, false, M::Any, P::Image, S::None, K::Pan, C::None, Qt::Key_Left, true },
        { Qt::Key_Up, false, M::Any, P::Image, S::None, K::Pan, C::None, Qt::Key_Up, true },
        { Qt::Key_Right, false, M::Any, P::Image, S::None, K::Pan, C::None, Qt::Key_Right, true },
        { Qt::Key_Down, false, M::Any, P::Image, S::None, K::Pan, C::None, Qt::Key_Down, true },
        { Qt::Key_Home, false, M::Any, P::Image, S::None, K::NoEffect, C::None, 0, true },
        { Qt::Key_End, false, M::Any, P::Image, S::None, K::NoEffect, C::None, 0, true },
        { Qt::Key_Left, false, M::Any, P::Thumb, S::None, K::ThumbMove, C::None, Qt::Key_Left, true },
        { Qt::Key_Up, false, M::Any, P::Thumb, S::None, K::ThumbMove, C::None, Qt::Key_Up, true },
        { Qt::Key_Right, false, M::Any, P::Thumb, S::None, K::ThumbMove, C::None, Qt::Key_Right, true },
        { Qt::Key_Down, false, M::Any, P::Thumb, S::None, K::ThumbMove, C::None, Qt::Key_Down, true },
        { Qt::Key_Home, false, M::Any, P::Thumb, S::None, K::ThumbMove, C::None, Qt::Key_Home, true },
        { Qt::Key_End, false, M::Any, P::Thumb, S::None, K::ThumbMove, C::None, Qt::Key_End, true },
        { Qt::Key_1, false, M::Any, P::NotFilterOrTree, S::PreviewShown, K::SetZoom, C::None, 1, true },
        { Qt::Key_2, false, M::Any, P::NotFilterOrTree, S::PreviewShown, K::SetZoom, C::None, 2, true },
        { Qt::Key_3, false, M::Any, P::NotFilterOrTree, S::PreviewShown, K::SetZoom, C::None, 3, true },
        { Qt::Key_4, false, M::Any, P::NotFilterOrTree, S::PreviewShown, K::SetZoom, C::None, 4, true },
        { Qt::Key_5, false, M::Any, P::NotFilterOrTree, S::PreviewShown, K::SetZoom, C::None, 5, true },
        // The filter box takes "-" and "+" as text (date filters), the tree as expand and collapse.
        { Qt::Key_Plus, false, M::Any, P::NotFilterOrTree, S::PreviewShown, K::ZoomIn, C::None, 0, true },
        { Qt::Key_Equal, false, M::Any, P::NotFilterOrTree, S::PreviewShown, K::ZoomIn, C::None, 0, true },
        { Qt::Key_Minus, false, M::Any, P::NotFilterOrTree, S::PreviewShown, K::ZoomOut, C::None, 0, true },
        { Qt::Key_Return, false, M::Some, P::Any, S::FileSelected, K::OpenAssociated, C::None, 0, true },
        { Qt::Key_Return, false, M::None, P::Filter, S::None, K::FilterList, C::None, 0, false },
        { Qt::Key_Return, false, M::None, P::DirHist, S::None, K::HistoryOpen, C::None, 0, true },
        { Qt::Key_Return, false, M::None, P::Other, S::FileSelected, K::OpenZoom, C::None, 0, true },
        { Qt::Key_A, false, M::CtrlOnly, P::Any, S::None, K::RunCommand, C::SaveAs, 0, true },
        { Qt::Key_C, false, M::CtrlOnly, P::Any, S::None, K::RunCommand, C::CopyToClipboard, 0, true },
        { Qt::Key_D, false, M::CtrlOnly, P::Any, S::None, K::RunCommand, C::DeleteFiles, 0, true },
        { Qt::Key_I, false, M::CtrlOnly, P::Any, S::None, K::RunCommand, C::ImageProperties, 0, true },
        { Qt::Key_L, false, M::CtrlOnly, P::Any, S::None, K::RunCommand, C::ListTagged, 0, true },
        { Qt::Key_O, false, M::CtrlOnly, P::Any, S::None, K::RunCommand, C::OpenForEditing, 0, true },
        { Qt::Key_P, false, M::CtrlOnly, P::Any, S::None, K::RunCommand, C::Print, 0, true },
        { Qt::Key_R, false, M::CtrlOnly, P::Any, S::None, K::RunCommand, C::RenameFiles, 0, true },
        { Qt::Key_S, false, M::CtrlOnly, P::Any, S::None, K::RunCommand, C::Save, 0, true },
        { Qt::Key_T, false, M::CtrlOnly, P::Any, S::None, K::RunCommand, C::TagImage, 0, true },
        { Qt::Key_V, false, M::CtrlOnly, P::Any, S::None, K::RunCommand, C::ConvertFiles, 0, true },
        { Qt::Key_X, false, M::CtrlOnly, P::Any, S::None, K::RunCommand, C::Exit, 0, true },
        { Qt::Key_B, false, M::CtrlOnly, P::Any, S::None, K::Swallow, C::None, 0, true },
        { Qt::Key_E, false, M::CtrlOnly, P::Any, S::None, K::Swallow, C::None, 0, true },
        { Qt::Key_F, false, M::CtrlOnly, P::Any, S::None, K::Swallow, C::None, 0, true },
        { Qt::Key_Menu, false, M::Any, P::Any, S::None, K::AppsMenu, C::None, 0, true },
    };

    bool paneMatches(PaneCond c, Pane p)
    {
        switch (c) {
        case P::Any:
            return true;
        case P::ThumbImageFiles:
        case P::ImageThumbFiles:
            return p == Pane::Thumb || p == Pane::Image || p == Pane::Files;
        case P::Thumb:
            return p == Pane::Thumb;
        case P::Image:
            return p == Pane::Image;
        case P::NotFilterOrTree:
            return p != Pane::Filter && p != Pane::Tree;
        case P::Filter:
            return p == Pane::Filter;
        case P::DirHist:
            return p == Pane::DirHist;
        case P::Other:
            return p != Pane::Filter && p != Pane::DirHist;
        }
        return false;
    }

    bool modsMatch(ModCond c, Qt::KeyboardModifiers m)
    {
        const Qt::KeyboardModifiers held = m & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
        switch (c) {
        case M::Any:
            return true;
        case M::None:
            return held == Qt::NoModifier;
        case M::Some:
            return held != Qt::NoModifier;
        case M::CtrlOnly:
            return held == Qt::ControlModifier;
        case M::NoAlt:
            return !(held & Qt::AltModifier);
        }
        return false;
    }

    bool stateMatches(StateCond c, const KeyState &s)
    {
        switch (c) {
        case S::None:
            return true;
        case S::FileListVisible:
            return s.fileListVisible;
        case S::TreeHasNode:
            return s.treeHasNode;
        case S::FileSelected:
            return s.fileSelected;
        case S::PreviewShown:
            return s.previewShown;
        }
        return false;
    }

} // namespace

std::span<const MenuEntry> MenuEntries(MenuId menu)
{
    switch (menu) {
    case MenuId::RClick:
        return kRClick;
    case MenuId::ImageView:
        return kImageView;
    case MenuId::ImageFit:
        return kImageFit;
    case MenuId::FileOp:
        return kFileOp;
    case MenuId::Help:
        return kHelp;
    case MenuId::Window:
        return kWindow;
    }
    return {};
}

QString MenuTitle(MenuId menu)
{
    switch (menu) {
    case MenuId::RClick:
        return QStringLiteral("RClick");
    case MenuId::ImageView:
        return QStringLiteral("ImageView");
    case MenuId::ImageFit:
        return QStringLiteral("ImageFit");
    case MenuId::FileOp:
        return QStringLiteral("File Control");
    case MenuId::Help:
        return QStringLiteral("Help");
    case MenuId::Window:
        return QString();
    }
    return QString();
}

const MenuEntry *FindMenuEntry(CommandId id)
{
    for (MenuId m :
        { MenuId::RClick, MenuId::ImageView, MenuId::ImageFit, MenuId::FileOp, MenuId::Help, MenuId::Window })
        for (const MenuEntry &e : MenuEntries(m))
            if (e.id == id)
                return &e;
    return nullptr;
}

bool IsFileCommand(CommandId id)
{
    switch (id) {
    case C::Slideshow:
    case C::ImageProperties:
    case C::Save:
    case C::RenameFiles:
    case C::ConvertFiles:
    case C::DeleteFiles:
    case C::OpenForEditing:
    case C::CopyToClipboard:
    case C::TagImage:
        return true;
    default:
        return false;
    }
}

std::vector<int> ContextHiddenEntries()
{
    std::vector<int> out;
    const auto entries = MenuEntries(MenuId::RClick);
    for (int i = 0; i < int(entries.size()); ++i) {
        const C id = entries[size_t(i)].id;
        if (id == C::ImageProperties || id == C::Scan || id == C::Exit) {
            if (i > 0 && entries[size_t(i - 1)].id == C::Separator)
                out.push_back(i - 1);
            out.push_back(i);
        }
    }
    return out;
}

std::span<const ToolbarEntry> ToolbarEntries()
{
    return kToolbar;
}

int ZoomLabelPart(int x, int width)
{
    if (width <= 0)
        return 0;
    // Thirds: the "-" stands at the label's left end and the "+" at its right end.
    if (x * 3 < width)
        return 1;
    if (x * 3 >= 2 * width)
        return 2;
    return 0;
}

int ScrollArrowStep(int y)
{
    if (y > 18)
        return 1;
    if (y < 16)
        return -1;
    return 0;
}

int ScrollArrowDelayMs(qint64 heldMs)
{
    return heldMs < 1000 ? 50 : 2;
}

Pane PaneFromName(QStringView name)
{
    if (name == u"Tvw_Dir")
        return Pane::Tree;
    if (name == u"Lvw_Files")
        return Pane::Files;
    if (name == u"Lvw_DirHist")
        return Pane::DirHist;
    if (name == u"Txt_Filter")
        return Pane::Filter;
    if (name.startsWith(u"Pic_Thumb"))
        return Pane::Thumb;
    if (name == u"Pic_Image")
        return Pane::Image;
    return Pane::Other;
}

PaneIndicator PaneIndicatorFor(QStringView controlName)
{
    if (controlName.size() <= 4)
        return {};
    QString part = controlName.mid(4).toString().toLower();
    // The two thumbnail boxes are one control array: "Pic_Thumb0" is "thumb".
    while (!part.isEmpty() && part.back().isDigit())
        part.chop(1);
    struct Row {
        const char16_t *part, *title, *icon;
    };
    static constexpr Row rows[] = {
        { u"dir", u"Folder", u"tree" },
        { u"files", u"Files", u"flist" },
        { u"image", u"Image", u"docs" },
        { u"thumb", u"Thumbs", u"thumbs" },
        { u"filter", u"Search", u"pin" },
        { u"dirhist", u"History", u"tree" },
    };
    for (const Row &r : rows)
        if (part == QStringView(r.part))
            return { QString::fromUtf16(r.title), QString::fromUtf16(r.icon) };
    return {};
}

std::span<const KeyRow> KeyMap()
{
    return kKeys;
}

KeyDecision DispatchKey(int key, Qt::KeyboardModifiers modifiers, const KeyState &state)
{
    if (key == Qt::Key_Enter)
        key = Qt::Key_Return; // the numeric pad's Enter is Enter too
    const bool keypad = modifiers & Qt::KeypadModifier;
    for (const KeyRow &row : kKeys) {
        if (row.key != key || (row.keypad && !keypad))
            continue;
        if (!modsMatch(row.mods, modifiers) || !paneMatches(row.pane, state.pane) || !stateMatches(row.state, state))
            continue;
        KeyDecision d;
        d.action = row.action;
        d.command = row.command;
        d.arg = row.arg;
        d.swallow = row.swallow;
        d.multiSelect = (modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) != Qt::NoModifier;
        return d;
    }
    return {};
}

std::vector<int> KeyboardPanSteps(int offset, int viewSize, int imageSize, int direction)
{
    constexpr int Step = 6;
    constexpr int MaxSteps = 11;
    std::vector<int> out;
    if (direction < 0 && offset <= Step)
        return out;
    if (direction > 0 && offset + viewSize > imageSize)
        return out;
    for (int i = 0; i < MaxSteps; ++i) {
        const int next = offset + direction * Step;
        if (next <= 0 || next + viewSize > imageSize)
            break;
        offset = next;
        out.push_back(offset);
    }
    return out;
}

CommandId CtrlLetterCommand(char letter)
{
    const KeyDecision d = DispatchKey(Qt::Key_A + (letter - 'A'), Qt::ControlModifier, KeyState {});
    return d.action == KeyAction::RunCommand ? d.command : CommandId::None;
}

QStringList EditorArguments(const QString &command, const QString &file)
{
    QStringList words;
    QString word;
    bool inWord = false;
    bool placed = false;
    const auto finish = [&] {
        if (inWord) {
            // %f stands for the file; the file's own name is not searched again.
            if (word.contains(QLatin1String("%f"))) {
                word.replace(QLatin1String("%f"), file);
                placed = true;
            }
            words << word;
        }
        word.clear();
        inWord = false;
    };
    for (qsizetype i = 0; i < command.size(); ++i) {
        const QChar c = command[i];
        if (c == u' ' || c == u'\t' || c == u'\n') {
            finish();
        } else if (c == u'\'') {
            const qsizetype end = command.indexOf(u'\'', i + 1);
            if (end < 0)
                return {};
            word += command.mid(i + 1, end - i - 1);
            inWord = true;
            i = end;
        } else if (c == u'"') {
            inWord = true;
            for (++i;; ++i) {
                if (i >= command.size())
                    return {};
                if (command[i] == u'"')
                    break;
                if (command[i] == u'\\' && i + 1 < command.size()
                    && (command[i + 1] == u'"' || command[i + 1] == u'\\'))
                    ++i;
                word += command[i];
            }
        } else if (c == u'\\' && i + 1 < command.size()) {
            word += command[++i];
            inWord = true;
        } else {
            word += c;
            inWord = true;
        }
    }
    finish();
    if (words.isEmpty())
        return {};
    if (!placed)
        words << file;
    return words;
}

} // namespace v7
