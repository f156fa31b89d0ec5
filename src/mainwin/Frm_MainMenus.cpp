// The main window's popup menus: the main menu (F1 and the toolbar), its context
// form over the file list and the thumbnails, the window menu, the folder tree's
// and the history's menus, and the pane indicator of status panel 2.
#include "browser/FileListModel.h"
#include "browser/FolderTreeWidget.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/MainToolbar.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QTreeView>

namespace v7
{

namespace
{
    // 45 twips from the window's left edge.
    constexpr int MenuLeft = 45 / 15;
} // namespace

void Frm_Main::popupMenu(MenuId id, const QPoint &globalPos)
{
    QMenu *menu = m_menus[int(id)];
    Q_EMIT menuShown(menu);
    menu->exec(globalPos);
}

void Frm_Main::ShowMainMenu(const QPoint &labelPos)
{
    // At the window's left, level with the "Menu" label.
    QPoint at = labelPos;
    if (at.isNull())
        at = m_toolbar->label(0)->mapToGlobal(QPoint(0, m_toolbar->label(0)->height()));
    at.setX(mapToGlobal(QPoint(MenuLeft, 0)).x());
    QMenu *menu = m_menus[int(MenuId::RClick)];
    menu->setDefaultAction(commandAction(CommandId::CopyToClipboard));
    popupMenu(MenuId::RClick, at);
    menu->setDefaultAction(nullptr);
}

void Frm_Main::ShowContextMenu(const QPoint &globalPos)
{
    const QModelIndex current = Lvw_Files->currentIndex();
    if (!current.isValid())
        return;
    QMenu *menu = m_menus[int(MenuId::RClick)];
    const bool tagged = m_files->entries()[size_t(current.row())].tagged;
    Mnu_TagImage->setText(tagged ? QStringLiteral("&Untag image") : QStringLiteral("&Tag image"));
    // The table names the entries to hide; they are found in the menu by identity,
    // since other commands may have been added to the menu beside the table's.
    const QList<QAction *> items = menu->actions();
    const auto entries = MenuEntries(MenuId::RClick);
    QList<QAction *> hidden;
    for (int i : ContextHiddenEntries()) {
        const CommandId id = entries[size_t(i)].id;
        if (id == CommandId::Separator)
            continue;
        QAction *a = commandAction(id);
        const qsizetype at = items.indexOf(a);
        if (at < 0 || !a->isVisible())
            continue;
        hidden << a;
        if (at > 0 && items[at - 1]->isSeparator() && items[at - 1]->isVisible())
            hidden << items[at - 1];
    }
    for (QAction *a : std::as_const(hidden))
        a->setVisible(false);
    Q_EMIT tagMenuShown(menu);
    Q_EMIT menuShown(menu);
    menu->exec(globalPos);
    for (QAction *a : std::as_const(hidden))
        a->setVisible(true);
    // Back to the caption a listing gives it, so the main menu does not keep the
    // answer for one file.
    Mnu_TagImage->setText(QStringLiteral("&Tag image"));
}

void Frm_Main::showWindowMenu()
{
    showWindowMenuAt(mapToGlobal(QPoint(0, 0)));
}

void Frm_Main::showWindowMenuAt(const QPoint &globalPos)
{
    // A menu of its own each time: the persistent one, once closed, kept the window's
    // Alt+Space from reaching the next pane that had the focus.
    QMenu menu(this);
    menu.addActions(m_menus[int(MenuId::Window)]->actions());
    Q_EMIT menuShown(&menu);
    menu.exec(globalPos);
}

void Frm_Main::showHistoryMenu()
{
    if (m_history.isEmpty())
        return;
    QMenu menu(this);
    const QStringList items = m_history.items();
    for (int i = 0; i < items.size(); ++i) {
        QAction *a = menu.addAction(items[i]);
        a->setData(i);
    }
    QAction *chosen = menu.exec(Lvw_DirHist->mapToGlobal(Lvw_DirHist->rect().bottomLeft()));
    if (chosen)
        ChooseHistory(chosen->data().toInt());
}

QPixmap Frm_Main::paneIcon(const QString &key)
{
    // Small drawn icons, so no image files need installing.
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(60, 60, 60));
    if (key == QLatin1String("tree")) {
        return FolderTreeWidget::icon(QStringLiteral("closed")).pixmap(16, 16);
    } else if (key == QLatin1String("flist")) {
        for (int y = 3; y <= 12; y += 3)
            p.drawLine(2, y, 13, y);
    } else if (key == QLatin1String("docs")) {
        p.setBrush(QColor(120, 170, 220));
        p.drawRect(1, 2, 13, 11);
        p.setBrush(QColor(80, 150, 80));
        p.drawPolygon(QPolygon({ QPoint(2, 12), QPoint(7, 6), QPoint(13, 12) }));
    } else if (key == QLatin1String("thumbs")) {
        p.setBrush(QColor(200, 200, 220));
        for (int x : { 1, 9 })
            for (int y : { 1, 9 })
                p.drawRect(x, y, 5, 5);
    } else {
        p.setBrush(QColor(220, 60, 60));
        p.drawEllipse(4, 1, 8, 8);
        p.drawLine(8, 9, 8, 15);
    }
    return pm;
}

void Frm_Main::showFocusPane(QObject *control)
{
    if (control == Txt_Filter->lineEdit())
        control = Txt_Filter;
    const PaneIndicator pane = PaneIndicatorFor(control->objectName());
    if (pane.title.isEmpty())
        return;
    m_panels[1]->setText(pane.title);
    m_paneIcon->setPixmap(paneIcon(pane.icon));
}

} // namespace v7
