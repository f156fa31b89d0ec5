// The main window's commands: one QAction per menu entry, built from the command
// table, the popup menus made of them, the toolbar, and the dispatch of a command
// to the step that carries it out.
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "browser/FolderTreeWidget.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/MainToolbar.h"
#include "mainwin/ThumbBox.h"

#include <QAction>
#include <QActionGroup>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QShortcut>
#include <QStatusBar>
#include <QTreeView>

namespace v7
{

void Frm_Main::buildCommands()
{
    auto *fitGroup = new QActionGroup(this);
    m_commands[int(CommandId::CustomWindowStyle)] = m_customStyle; // made with the window style
    for (MenuId menuId :
        { MenuId::RClick, MenuId::ImageView, MenuId::ImageFit, MenuId::FileOp, MenuId::Help, MenuId::Window }) {
        auto *menu = new QMenu(this);
        menu->setObjectName(QStringLiteral("Mnu_") + MenuTitle(menuId).remove(u' '));
        menu->setTitle(MenuTitle(menuId));
        m_menus[int(menuId)] = menu;
        for (const MenuEntry &e : MenuEntries(menuId)) {
            if (e.id == CommandId::Separator) {
                menu->addSeparator();
                continue;
            }
            QAction *a = m_commands[int(e.id)];
            if (!a) {
                a = new QAction(QString::fromLatin1(e.caption), this);
                a->setCheckable(e.checkable);
                a->setChecked(e.checked);
                a->setEnabled(e.enabled);
                a->setVisible(e.visible);
                if (*e.key) {
                    // Shown beside the caption; the key itself is run by the key map.
                    a->setShortcut(QKeySequence(QString::fromLatin1(e.key)));
                    a->setShortcutContext(Qt::WidgetShortcut);
                    a->setShortcutVisibleInContextMenu(true);
                }
                const CommandId id = e.id;
                if (!e.checkable || id == CommandId::ImageProperties)
                    connect(a, &QAction::triggered, this, [this, id] { RunCommand(id); });
                m_commands[int(e.id)] = a;
            }
            menu->addAction(a);
        }
    }
    // Many desktops take Alt+Space for themselves: the window menu's entries are also
    // under the toolbar's View, the same actions, so their check marks stay in step.
    QMenu *view = m_menus[int(MenuId::ImageView)];
    view->addSeparator();
    view->addAction(commandAction(CommandId::CustomWindowStyle));
    view->addAction(commandAction(CommandId::RefreshThumbnails));
    Mnu_TagImage = commandAction(CommandId::TagImage);
    Mnu_ImgInfo = commandAction(CommandId::ImageProperties);
    for (CommandId id : { CommandId::Slideshow,
             CommandId::ImageProperties,
             CommandId::Save,
             CommandId::RenameFiles,
             CommandId::ConvertFiles,
             CommandId::DeleteFiles,
             CommandId::OpenForEditing,
             CommandId::CopyToClipboard,
             CommandId::TagImage })
        m_fileCommands << commandAction(id);
    for (int i = 0; i < 3; ++i) {
        m_viewActions[i] = commandAction(CommandId(int(CommandId::ShowFolderFiles) + i));
        connect(m_viewActions[i], &QAction::toggled, this, [this] { SizeControlsX(); });
    }
    for (int i = 0; i < 4; ++i) {
        m_fitActions[i] = commandAction(CommandId(int(CommandId::ImageFitNormal) + i));
        fitGroup->addAction(m_fitActions[i]);
        connect(m_fitActions[i], &QAction::triggered, this, [this, i] { chooseFitMode(i); });
    }
    // Commands without a menu entry of their own: the toolbar's.
    const char *const toolbarCommands[] = { "Reload", "Options", "Effects" };
    for (int i = 0; i < 3; ++i) {
        const auto id = CommandId(int(CommandId::Reload) + i);
        m_commands[int(id)] = new QAction(QString::fromLatin1(toolbarCommands[i]), this);
        connect(m_commands[int(id)], &QAction::triggered, this, [this, id] { RunCommand(id); });
    }

    // Alt+Space opens the window menu from whichever pane has the focus: the panes
    // take plain keys first, so a key handler of the window alone would rarely see it.
    auto *windowMenuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    windowMenuKey->setContext(Qt::WindowShortcut);
    connect(windowMenuKey, &QShortcut::activated, this, &Frm_Main::showWindowMenu);

    m_toolbar = new MainToolbar(m_toolStrip);
    m_fitButton = m_toolbar;
    connect(m_toolbar, &MainToolbar::menuLabelPressed, this, [this](int index, const QPoint &at) {
        const MenuId menus[8] = { MenuId::RClick,
            MenuId::ImageView,
            MenuId::ImageFit,
            MenuId::RClick,
            MenuId::RClick,
            MenuId::RClick,
            MenuId::RClick,
            MenuId::Help };
        if (index == 0) {
            ShowMainMenu(at);
        } else {
            // As the main menu: 45 twips from the window's left, level with the label.
            popupMenu(menus[index], QPoint(mapToGlobal(QPoint(45 / 15, 0)).x(), at.y()));
        }
    });
    connect(m_toolbar, &MainToolbar::commandLabelClicked, this, [this](int index) {
        RunCommand(CommandId(int(CommandId::Reload) + index - 4));
    });
    connect(m_toolbar, &MainToolbar::zoomKey, this, [this](int key) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::KeypadModifier);
        MainKeyDown(Lvw_Files, &press);
    });
    connect(m_toolbar, &MainToolbar::scrollStarted, this, [this] {
        Lvw_Files->setSelectionMode(QAbstractItemView::SingleSelection);
    });
    connect(m_toolbar, &MainToolbar::scrollStep, this, [this](int step) { moveListBy(step, false); });
}

QAction *Frm_Main::commandAction(CommandId id) const
{
    return int(id) >= 0 && int(id) < int(CommandId::Count) ? m_commands[int(id)] : nullptr;
}

QMenu *Frm_Main::commandMenu(MenuId id) const
{
    return m_menus[int(id)];
}

void Frm_Main::EnableFileCommands(bool enabled)
{
    for (QAction *a : std::as_const(m_fileCommands)) {
        a->setVisible(true);
        a->setEnabled(enabled);
    }
    Mnu_TagImage->setText(QStringLiteral("&Tag image"));
}

void Frm_Main::RunCommand(CommandId id)
{
    const QModelIndex current = Lvw_Files->currentIndex();
    switch (id) {
    case CommandId::TagImage:
        TagSelected();
        break;
    case CommandId::ListTagged:
        ListTagged();
        break;
    case CommandId::CopyToClipboard:
        CopyToClipboard();
        break;
    case CommandId::OpenForEditing:
        OpenForEditing();
        break;
    case CommandId::ImageProperties:
        setImagePropertiesMode(Mnu_ImgInfo->isChecked());
        break;
    case CommandId::Slideshow:
        if (current.isValid())
            Q_EMIT zoomWindowRequested(current.row());
        break;
    case CommandId::Print:
        PrintSelected();
        break;
    case CommandId::Exit:
        RequestExit();
        break;
    case CommandId::OpenLastTagged:
        OpenLastTaggedList();
        break;
    // The folder commands act on the drop-highlighted node, else the selected one.
    case CommandId::NewFolder:
        FileOpsMenuCommand(0);
        break;
    case CommandId::RenameFolder:
        FileOpsMenuCommand(1);
        break;
    case CommandId::CopyTo:
        FileOpsMenuCommand(3);
        break;
    case CommandId::MoveTo:
        FileOpsMenuCommand(4);
        break;
    case CommandId::DeleteFolder:
        FileOpsMenuCommand(6);
        break;
    case CommandId::HelpContents:
        OpenHelp();
        break;
    case CommandId::Save:
        SaveImage(QImage(), false);
        break;
    case CommandId::SaveAs:
        SaveImage(QImage(), true);
        break;
    case CommandId::DeleteFiles:
        DeleteSelectedFiles(false);
        break;
    case CommandId::Scan:
        Scan();
        break;
    case CommandId::RenameFiles:
        FileOps_Rename();
        break;
    case CommandId::ConvertFiles:
        FileOps_Convert();
        break;
    case CommandId::ExportThumbs:
        FileOps_ExportThumbs();
        break;
    case CommandId::Reload:
        if (m_viewActions[2]->isChecked())
            ShowThumbs();
        break;
    case CommandId::RefreshThumbnails:
        Folder_Refresh();
        break;
    case CommandId::Options:
        ShowOptions();
        break;
    case CommandId::Effects:
        ShowImageOps();
        break;
    default:
        break;
    }
}

} // namespace v7
