// The browser window's folder tree, listing requests, filter box, history box and
// window menu, driven as a user drives them.
#include "BrowserWindowHelpers.h"
#include "TestEnv.h"
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "browser/FolderTreeWidget.h"
#include "browser/Listing.h"
#include "mainwin/Frm_Main.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

using namespace v7;

namespace
{

class BrowserTree : public v7test::TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        settings() = Settings();
        LoadSettings();
    }
    std::unique_ptr<Frm_Main> openOn(const QString &folder) { return v7test::openWindowOn(folder, 5000); }
    std::unique_ptr<Frm_Main> openShown(const QString &folder) { return v7test::openWindowShown(folder, 5000); }
    static QStringList listed(Frm_Main &w) { return v7test::listedNames(w); }
    static QString currentKey(Frm_Main &w) { return FolderTreeWidget::keyOf(w.folderTree()->currentItem()); }
    void images(const QString &folder, const QStringList &names)
    {
        for (const QString &n : names)
            v7test::writeFile(folder + u'/' + n, QByteArray(1000, 'x'));
    }
};

// Reads and closes whatever modal message box shows while it lives.
struct MessageCloser {
    explicit MessageCloser(QMessageBox::StandardButton answer = QMessageBox::Ok)
    {
        QObject::connect(&timer, &QTimer::timeout, [this, answer] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                shown << box->text();
                if (QAbstractButton *b = box->button(answer))
                    b->click();
                else
                    box->accept();
            }
        });
        timer.start(10);
    }
    QTimer timer;
    QStringList shown;
};

} // namespace

TEST_F(BrowserTree, ALabelEditEndsSafelyWhenTheFolderAboveCollapses)
{
    const QString trip = root() + QStringLiteral("/trip");
    ASSERT_TRUE(QDir().mkpath(trip + QStringLiteral("/inner")));
    // Unique, so a stray folder made at the top of the disk would be seen and removed.
    const QString name = QStringLiteral("Reisen-") + QFileInfo(root()).fileName();
    auto w = openOn(root());
    FolderTreeWidget *tree = w->folderTree();
    MessageCloser messages;
    // The edit is committed; before its end is handled, a folder above the edited node
    // is collapsed, which reads that folder's children again and drops the node.
    const auto commitThenCollapse = [&](const QString &text, const QString &collapse) {
        auto *editor = qobject_cast<QLineEdit *>(tree->itemWidget(tree->currentItem(), 0));
        ASSERT_NE(editor, nullptr);
        editor->setText(text);
        QSignalSpy finished(w.get(), &Frm_Main::labelEditFinished);
        QTest::keyClick(editor, Qt::Key_Return);
        tree->collapseItem(tree->findByKey(collapse));
        EXPECT_TRUE(finished.count() > 0 || finished.wait(5000));
    };

    tree->setCurrentItem(tree->findByKey(trip));
    w->BeginNewFolder();
    commitThenCollapse(name, root());
    EXPECT_FALSE(QFileInfo::exists(trip + u'/' + name));
    EXPECT_FALSE(QFileInfo::exists(u'/' + name));
    QDir(QStringLiteral("/")).rmdir(name);
    EXPECT_EQ(messages.shown, QStringList());

    tree->findByKey(root())->setExpanded(true);
    tree->setCurrentItem(tree->findByKey(trip));
    w->BeginRenameFolder();
    commitThenCollapse(name, root());
    EXPECT_TRUE(QDir(trip).exists());
    EXPECT_FALSE(QFileInfo::exists(root() + u'/' + name));
    EXPECT_EQ(messages.shown, QStringList());

    // The tree goes on working: the next edit makes its folder.
    tree->findByKey(root())->setExpanded(true);
    tree->setCurrentItem(tree->findByKey(trip));
    w->BeginNewFolder();
    auto *editor = qobject_cast<QLineEdit *>(tree->itemWidget(tree->currentItem(), 0));
    ASSERT_NE(editor, nullptr);
    editor->setText(QStringLiteral("kept"));
    QSignalSpy finished(w.get(), &Frm_Main::labelEditFinished);
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_TRUE(finished.wait(5000));
    EXPECT_TRUE(QDir(trip + QStringLiteral("/kept")).exists());
    EXPECT_NE(tree->findByKey(trip + QStringLiteral("/kept")), nullptr);
    w->close();
}

TEST_F(BrowserTree, NewFolderSelectsTheProposedName)
{
    auto w = openOn(root());
    FolderTreeWidget *tree = w->folderTree();
    tree->setCurrentItem(tree->findByKey(root()));
    w->BeginNewFolder();
    auto *editor = qobject_cast<QLineEdit *>(tree->itemWidget(tree->currentItem(), 0));
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->selectedText(), QStringLiteral("New Folder"));
    QSignalSpy finished(w.get(), &Frm_Main::labelEditFinished);
    QTest::keyClicks(editor, QStringLiteral("Reisen"));
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_TRUE(finished.wait(5000));
    EXPECT_TRUE(QDir(root() + QStringLiteral("/Reisen")).exists());
    EXPECT_FALSE(QFileInfo::exists(root() + QStringLiteral("/New FolderReisen")));
    w->close();
}

TEST_F(BrowserTree, AClickDuringAListingListsTheClickedFolderOnly)
{
    const QString a = root() + QStringLiteral("/a");
    const QString b = root() + QStringLiteral("/b");
    images(a, { "a1.jpg", "a2.jpg" });
    images(b, { "b1.png" });
    auto w = openShown(a);
    FolderTreeWidget *tree = w->folderTree();
    QTreeWidgetItem *bNode = tree->findByKey(b);
    ASSERT_NE(bNode, nullptr);
    tree->scrollToItem(bNode);
    const QPoint at = tree->visualItemRect(bNode).center();
    // The click waits in the queue and is handled while folder a is being listed.
    QTimer::singleShot(0, tree, [tree, at] { QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at); });
    w->ListFolder(a);
    QCoreApplication::processEvents();

    EXPECT_EQ(w->currentFolder(), b);
    EXPECT_EQ(w->fileList()->folder(), b);
    EXPECT_EQ(listed(*w), QStringList({ "b1.png" }));
    EXPECT_EQ(w->statusPanelText(3), FolderSummaryText(1000, 1));
    EXPECT_EQ(currentKey(*w), b);
    w->close();
}

TEST_F(BrowserTree, FoldersBelowAHiddenFolderOpen)
{
    const QString deep = root() + QStringLiteral("/.local/share/x");
    images(deep, { "p.jpg" });
    images(root() + QStringLiteral("/pics"), { "q.jpg" });

    // Named on the command line.
    {
        auto w = openOn(deep);
        EXPECT_EQ(w->currentFolder(), deep);
        EXPECT_EQ(listed(*w), QStringList({ "p.jpg" }));
        EXPECT_EQ(currentKey(*w), deep);
        QTreeWidgetItem *hidden = w->folderTree()->findByKey(root() + QStringLiteral("/.local"));
        ASSERT_NE(hidden, nullptr);
        EXPECT_EQ(hidden->text(0), QStringLiteral(".local"));

        // From the history, after the hidden node went with a re-read of its parent.
        w->folderTree()->collapseItem(w->folderTree()->findByKey(root()));
        EXPECT_EQ(w->folderTree()->findByKey(deep), nullptr);
        w->ListFolder(root() + QStringLiteral("/pics"));
        ASSERT_EQ(w->folderHistory().items().indexOf(deep), 1);
        w->ChooseHistory(1);
        EXPECT_EQ(w->currentFolder(), deep);
        EXPECT_EQ(currentKey(*w), deep);
        w->close();
    }
    // Saved as the last folder.
    WriteSetting(QStringLiteral("StartUp"), QStringLiteral("LastFolder"), deep);
    auto w = openOn(QString());
    EXPECT_EQ(w->currentFolder(), deep);
    EXPECT_EQ(listed(*w), QStringList({ "p.jpg" }));
    w->close();
}

TEST_F(BrowserTree, TreeKeysListTheFolderTheyComeToRestOn)
{
    const QString k1 = root() + QStringLiteral("/k1");
    const QString k2 = root() + QStringLiteral("/k2");
    const QString k3 = root() + QStringLiteral("/k3");
    images(k1, { "1.jpg" });
    images(k2, { "2.jpg" });
    images(k3, { "3.jpg" });
    auto w = openOn(k1);
    FolderTreeWidget *tree = w->folderTree();
    ASSERT_EQ(currentKey(*w), k1);
    QSignalSpy listings(w.get(), &Frm_Main::folderListed);

    // Keys in quick succession (as when Down is held): only where they stop is listed.
    QTest::keyClick(tree, Qt::Key_Down);
    QTest::keyClick(tree, Qt::Key_Down);
    EXPECT_EQ(currentKey(*w), k3);
    EXPECT_TRUE(v7test::waitUntil([&] { return w->currentFolder() == k3; }, 10000));
    EXPECT_EQ(listed(*w), QStringList({ "3.jpg" }));
    ASSERT_EQ(listings.count(), 1);
    EXPECT_EQ(listings[0][0].toString(), k3);

    // Up and back down again before the pause: k3 is listed already, nothing happens.
    QTest::keyClick(tree, Qt::Key_Up);
    QTest::keyClick(tree, Qt::Key_Down);
    // Enter lists the node again, as a click does.
    QTest::keyClick(tree, Qt::Key_Return);
    EXPECT_TRUE(v7test::waitUntil([&] { return listings.count() >= 2; }, 10000));
    EXPECT_EQ(listings.count(), 2);
    EXPECT_EQ(listings.last()[0].toString(), k3);
    w->close();
}

TEST_F(BrowserTree, AHeldKeyListsOnlyTheFolderWhereItIsLetGo)
{
    QStringList folders;
    for (const char *name : { "h1", "h2", "h3", "h4" }) {
        folders << root() + u'/' + QLatin1String(name);
        images(folders.last(), { QStringLiteral("p.jpg") });
    }
    auto w = openOn(folders[0]);
    FolderTreeWidget *tree = w->folderTree();
    ASSERT_EQ(currentKey(*w), folders[0]);
    QSignalSpy listings(w.get(), &Frm_Main::folderListed);
    const auto send = [tree](QEvent::Type type, bool repeat) {
        QKeyEvent key(type, Qt::Key_Down, Qt::NoModifier, QString(), repeat);
        QApplication::sendEvent(tree, &key);
    };

    // Held down: the desktop's first repeat comes well after a pause between presses,
    // and nothing is listed while the key stays down.
    send(QEvent::KeyPress, false);
    EXPECT_EQ(currentKey(*w), folders[1]);
    QTest::qWait(1500);
    EXPECT_EQ(listings.count(), 0);
    send(QEvent::KeyRelease, true);
    send(QEvent::KeyPress, true);
    send(QEvent::KeyRelease, true);
    send(QEvent::KeyPress, true);
    EXPECT_EQ(currentKey(*w), folders[3]);
    QTest::qWait(1000);
    EXPECT_EQ(listings.count(), 0);

    // Let go: where it rests is listed, once.
    send(QEvent::KeyRelease, false);
    EXPECT_TRUE(v7test::waitUntil([&] { return listings.count() > 0; }, 10000));
    QTest::qWait(500);
    ASSERT_EQ(listings.count(), 1);
    EXPECT_EQ(listings[0][0].toString(), folders[3]);
    EXPECT_EQ(w->currentFolder(), folders[3]);
    w->close();
}

TEST_F(BrowserTree, TheFilterAppliesWhatWasTypedOnce)
{
    const QString pics = root() + QStringLiteral("/pics");
    images(pics, { "D1.jpg", "DSC1.jpg", "x.jpg" });
    auto w = openOn(pics);
    QComboBox *box = w->filterBox();
    QLineEdit *edit = box->lineEdit();
    QSignalSpy listings(w.get(), &Frm_Main::folderListed);

    QTest::keyClicks(edit, QStringLiteral("DSC"));
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(listings.count(), 1);
    EXPECT_EQ(listed(*w), QStringList({ "DSC1.jpg" }));
    EXPECT_EQ(w->filterHistory(), QStringList({ "DSC" }));

    // "D" is not completed to the remembered "DSC", and Enter lists once. In a
    // window the box holds the focus for its line edit, so keys reach the box.
    edit->clear();
    QTest::keyClicks(box, QStringLiteral("D"));
    EXPECT_EQ(edit->text(), QStringLiteral("D"));
    QTest::keyClick(box, Qt::Key_Return);
    EXPECT_EQ(listings.count(), 2);
    EXPECT_EQ(listed(*w), QStringList({ "D1.jpg", "DSC1.jpg" }));

    // Leaving the box applies nothing, also when its text is a remembered entry.
    edit->setText(QStringLiteral("DSC"));
    Q_EMIT edit->editingFinished();
    QCoreApplication::processEvents();
    EXPECT_EQ(listings.count(), 2);

    // A choice from the drop-down lists once, with that entry.
    edit->setText(QStringLiteral("x"));
    box->showPopup();
    QAbstractItemView *view = box->view();
    view->setCurrentIndex(box->model()->index(box->findText(QStringLiteral("D")), 0));
    QTest::keyClick(view, Qt::Key_Return);
    EXPECT_TRUE(v7test::waitUntil([&] { return listings.count() >= 3; }, 5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(listings.count(), 3);
    EXPECT_EQ(edit->text(), QStringLiteral("D"));
    EXPECT_EQ(listed(*w), QStringList({ "D1.jpg", "DSC1.jpg" }));
    w->close();
}

TEST_F(BrowserTree, AKeptFilterShowsInTheFilterBoxAtStart)
{
    const QString pics = root() + QStringLiteral("/pics");
    images(pics, { "ab.jpg", "b.jpg" });
    WriteSetting(QStringLiteral("StartUp"), QStringLiteral("LastFilter"), QStringLiteral("a"));
    WriteBinarySetting(QStringLiteral("StartUp"), QStringLiteral("FilterHistory"), QStringLiteral("x") + QChar(0));
    auto w = openOn(pics);
    EXPECT_EQ(listed(*w), QStringList({ "ab.jpg" }));
    EXPECT_EQ(w->filterBox()->lineEdit()->text(), QStringLiteral("a"));
    EXPECT_EQ(w->filterHistory(), QStringList({ "x" }));
    w->close();
}

TEST_F(BrowserTree, DeletingTheListedFolderListsItsParent)
{
    const QString parent = root() + QStringLiteral("/parent");
    const QString trip = parent + QStringLiteral("/trip");
    images(parent, { "p1.jpg", "p2.jpg" });
    images(trip, { "t.jpg" });
    auto w = openOn(trip);
    ASSERT_EQ(w->statusPanelText(3), FolderSummaryText(1000, 1));
    MessageCloser confirm(QMessageBox::Yes);
    ASSERT_TRUE(w->DeleteFolder(trip));
    EXPECT_FALSE(QDir(trip).exists());

    EXPECT_EQ(w->currentFolder(), parent);
    EXPECT_EQ(currentKey(*w), parent);
    EXPECT_EQ(listed(*w), QStringList({ "p1.jpg", "p2.jpg" }));
    EXPECT_EQ(w->statusPanelText(3), FolderSummaryText(2000, 2));
    auto *history = w->findChild<QListWidget *>(QStringLiteral("Lvw_DirHist"));
    ASSERT_NE(history, nullptr);
    ASSERT_EQ(history->count(), 1);
    EXPECT_EQ(history->item(0)->data(FolderTreeWidget::KeyRole).toString(), parent);
    w->close();
}

TEST_F(BrowserTree, AHistoryChoiceDuringTheParentsListingAfterADelete)
{
    const QString parent = root() + QStringLiteral("/parent");
    const QString trip = parent + QStringLiteral("/trip");
    const QString other = root() + QStringLiteral("/other");
    images(parent, { "p.jpg" });
    images(trip, { "t.jpg" });
    images(other, { "o.jpg" });
    auto w = openOn(trip);
    w->ListFolder(other);
    w->ListFolder(trip);
    ASSERT_EQ(w->folderHistory().items().indexOf(other), 1);
    // While the parent is listed, the user picks another folder from the history: the
    // tree is read again from the top, and the parent's node goes with it.
    bool posted = false;
    QObject::connect(w->fileList(), &QAbstractItemModel::modelReset, w.get(), [&] {
        if (posted)
            return;
        posted = true;
        QTimer::singleShot(0, w.get(), [&] { w->ChooseHistory(w->folderHistory().items().indexOf(other)); });
    });
    MessageCloser confirm(QMessageBox::Yes);
    ASSERT_TRUE(w->DeleteFolder(trip));
    QCoreApplication::processEvents();
    EXPECT_TRUE(posted);
    EXPECT_EQ(w->currentFolder(), other);
    EXPECT_EQ(currentKey(*w), other);
    EXPECT_EQ(listed(*w), QStringList({ "o.jpg" }));
    w->close();
}

TEST_F(BrowserTree, TheStatusBarOffersTheWindowMenu)
{
    const QString pics = root() + QStringLiteral("/pics");
    images(pics, { "a.jpg" });
    auto w = openShown(pics);
    QSignalSpy listings(w.get(), &Frm_Main::folderListed);
    QStringList entries;
    QTimer chooser;
    QObject::connect(&chooser, &QTimer::timeout, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction *a : menu->actions())
            if (!a->isSeparator())
                entries << a->text();
        for (QAction *a : menu->actions())
            if (a->text() == QLatin1String("   Refresh thumbnails"))
                a->trigger();
        menu->close();
    });
    chooser.start(10);
    // A right-click on one of the panels reaches the bar.
    QLabel *panel = w->statusBar()->findChildren<QLabel *>().value(2);
    ASSERT_NE(panel, nullptr);
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(2, 2), panel->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(panel, &click);
    EXPECT_EQ(entries, QStringList({ "   Custom &windows style", "   Refresh thumbnails" }));
    EXPECT_TRUE(listings.count() > 0 || listings.wait(5000));
    w->close();
}
