#include "TestEnv.h"
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "browser/FolderTreeWidget.h"
#include "mainwin/Frm_Main.h"
#include "platform/Hive.h"

#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>

using namespace v7;

namespace
{

class BrowserWindow : public v7test::TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        settings() = Settings();
        LoadSettings();
        pics = root() + QStringLiteral("/pics");
        for (const char *name : { "b.jpg", "a.JPG", "c.png", "note.txt", "ab.gif" })
            v7test::writeFile(pics + u'/' + QLatin1String(name), QByteArray(1000, 'x'));
    }
    // A window loaded on a folder, after its first display.
    std::unique_ptr<Frm_Main> openOn(const QString &folder)
    {
        auto w = std::make_unique<Frm_Main>(folder);
        QSignalSpy first(w.get(), &Frm_Main::firstDisplayStarted);
        w->Form_Load();
        EXPECT_TRUE(first.wait(3000));
        return w;
    }
    static QStringList listed(Frm_Main &w)
    {
        QStringList names;
        for (const FileEntry &e : w.fileList()->entries())
            names << e.name;
        return names;
    }
    QString pics;
};

} // namespace

TEST_F(BrowserWindow, ListsTheFolderByTypesAndFilter)
{
    auto w = openOn(pics);
    EXPECT_EQ(w->currentFolder(), pics);
    EXPECT_EQ(listed(*w), QStringList({ "a.JPG", "ab.gif", "b.jpg", "c.png" })); // ascending by name
    EXPECT_EQ(w->statusPanelText(3), QStringLiteral("3.91KB Total files:4"));
    EXPECT_EQ(FileListModel::headers(),
        QStringList({ "File Name", "File Size", "File Date", "Image Properties", "Memory (kb)" }));
    EXPECT_EQ(w->fileList()->data(w->fileList()->index(0, 1), Qt::DisplayRole).toString(), QStringLiteral("1,000"));

    // A filter typed and entered lists the names that begin with it and is remembered once.
    w->filterBox()->setEditText(QStringLiteral("a"));
    QTest::keyClick(w->filterBox()->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(listed(*w), QStringList({ "a.JPG", "ab.gif" }));
    QTest::keyClick(w->filterBox()->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(w->filterHistory(), QStringList({ "a" }));

    // Header clicks toggle the order with the arrow on the first column only.
    w->fileListView()->header()->sectionClicked(0);
    EXPECT_EQ(listed(*w), QStringList({ "ab.gif", "a.JPG" }));
    EXPECT_EQ(w->fileList()->headerIconKey(), QStringLiteral("Arrow1"));
    w->fileListView()->header()->sectionClicked(2);
    EXPECT_EQ(w->fileList()->headerIconKey(), QStringLiteral("Arrow2"));
    w->Folder_Refresh(); // a new listing keeps key and order, without the arrow
    EXPECT_EQ(w->fileList()->sortKey(), 2);
    EXPECT_EQ(w->fileList()->headerIconKey(), QString());
    w->close();
}

TEST_F(BrowserWindow, HistoryAndTheFileLastCurrent)
{
    const QString other = root() + QStringLiteral("/other");
    v7test::writeFile(other + QStringLiteral("/x.bmp"), "BM");
    const QString empty = root() + QStringLiteral("/empty");
    ASSERT_TRUE(QDir().mkpath(empty));
    auto w = openOn(pics);
    w->fileListView()->setCurrentIndex(w->fileList()->index(2, 0)); // b.jpg
    w->ListFolder(other);
    w->ListFolder(empty); // no images: not added
    w->ListFolder(pics);
    EXPECT_EQ(w->folderHistory().items(), QStringList({ pics, other }));
    EXPECT_EQ(w->currentPosition(), 2); // b.jpg is current again
    EXPECT_EQ(w->fileList()->entries()[size_t(w->fileListView()->currentIndex().row())].name, QStringLiteral("b.jpg"));

    // A history folder deleted since is dropped when picked.
    ASSERT_TRUE(QDir(other).removeRecursively());
    w->ChooseHistory(1);
    EXPECT_EQ(w->folderHistory().items(), QStringList({ pics }));
    w->close();
}

TEST_F(BrowserWindow, TreeNamesEditsAndRereads)
{
    const QString old = root() + QStringLiteral("/photos.old");
    ASSERT_TRUE(QDir().mkpath(old + QStringLiteral("/inner")));
    auto w = openOn(root());
    FolderTreeWidget *tree = w->folderTree();
    QTreeWidgetItem *rootNode = tree->findByKey(root());
    ASSERT_NE(rootNode, nullptr);
    QTreeWidgetItem *oldNode = tree->findByKey(old);
    ASSERT_NE(oldNode, nullptr);
    EXPECT_EQ(oldNode->text(0), QStringLiteral("photos")); // shown without its extension

    // A folder made on disk shows after collapse and expand.
    ASSERT_TRUE(QDir().mkpath(root() + QStringLiteral("/made later")));
    rootNode->setExpanded(false);
    rootNode->setExpanded(true);
    EXPECT_NE(tree->findByKey(root() + QStringLiteral("/made later")), nullptr);

    // A new folder named like a sibling: the exact message and no new node.
    tree->setCurrentItem(tree->findByKey(root()));
    const int before = tree->findByKey(root())->childCount();
    EXPECT_EQ(w->NewFolderUnderSelected(QStringLiteral("pics")),
        QStringLiteral("A folder with the name you specified already exist.\n\nPlease specify a different name."));
    EXPECT_EQ(tree->findByKey(root())->childCount(), before);
    EXPECT_EQ(w->NewFolderUnderSelected(QStringLiteral("fresh")), QString());
    EXPECT_NE(tree->findByKey(root() + QStringLiteral("/fresh")), nullptr);

    // A rename moves the node's key and re-reads its children under the new path.
    tree->setCurrentItem(tree->findByKey(old));
    EXPECT_EQ(w->RenameSelectedFolder(QStringLiteral("photos.new")), QString());
    EXPECT_NE(tree->findByKey(root() + QStringLiteral("/photos.new")), nullptr);
    w->close();
}

TEST_F(BrowserWindow, WindowStateIsSavedAndRestored)
{
    const QString key = vorlaneKey(QStringLiteral("AppFormRECT"));
    Hive::user().write(key, QStringLiteral("WindowState"), RegValue::fromDword(0));
    Hive::user().write(key, QStringLiteral("Left"), RegValue::fromDword(300));
    Hive::user().write(key, QStringLiteral("Top"), RegValue::fromDword(150));
    Hive::user().write(key, QStringLiteral("Width"), RegValue::fromDword(1000)); // under 3000 twips
    Hive::user().write(key, QStringLiteral("Height"), RegValue::fromDword(9000));
    {
        auto w = openOn(pics);
        EXPECT_EQ(w->width(), 3000 / 15);
        EXPECT_EQ(w->height(), 9000 / 15);
        w->setViewShown(0, false); // the tree pane collapsed
        w->close();
    }
    const auto read = [](const char *section, const char *name) {
        return Hive::user().read(vorlaneKey(QLatin1String(section)), QLatin1String(name));
    };
    EXPECT_EQ(read("ViewStat", "SplitLeft")->dword, 182u);
    EXPECT_EQ(read("ViewStat", "Treeview")->dword, 0u);
    EXPECT_EQ(read("AppFormRECT", "Width")->dword, 3000u);
    EXPECT_EQ(read("StartUp", "LastFolder")->text, pics);

    auto again = openOn(QString());
    EXPECT_EQ(again->currentFolder(), pics);
    EXPECT_FALSE(again->viewAction(0)->isChecked());
    again->showMaximized();
    again->close();
    EXPECT_EQ(read("AppFormRECT", "WindowState")->dword, 2u);
    EXPECT_EQ(read("AppFormRECT", "Width")->dword, 3000u); // the stored rectangle is kept
}

TEST_F(BrowserWindow, PaneLayoutFollowsTheViewSwitches)
{
    auto w = openOn(pics);
    w->showNormal();
    w->resize(1000, 700);
    w->setSplitX(40); // never further left than 100
    EXPECT_EQ(w->paneLayout().tree.width(), 99);
    w->setViewShown(1, false); // preview hidden: the thumbnails take the area
    EXPECT_EQ(w->paneLayout().thumb0.width(), w->paneLayout().base.width());
    w->setViewShown(0, false);
    EXPECT_EQ(w->paneLayout().base.x(), 0);
    w->close();
}
