#include "BrowserWindowHelpers.h"
#include "TestEnv.h"
#include "app/Settings.h"
#include "app/Startup.h"
#include "browser/FileListModel.h"
#include "browser/FolderTreeWidget.h"
#include "imaging/Prefetch.h"
#include "imaging/widgets/DrawView.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/ThumbBox.h"
#include "platform/Hive.h"
#include "thumbs/OLEStorage.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <unistd.h>

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
    std::unique_ptr<Frm_Main> openOn(const QString &folder) { return v7test::openWindowOn(folder, 3000); }
    std::unique_ptr<Frm_Main> openShown(const QString &folder) { return v7test::openWindowShown(folder, 3000); }
    static QStringList listed(Frm_Main &w) { return v7test::listedNames(w); }
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

    // A rename moves the node's key, re-reads its children under the new path, and
    // the folder's cached thumbnails follow it.
    OLEStorage::SetCurrentFolder(old);
    ASSERT_TRUE(OLEStorage::OpenCacheForThumbs());
    const QByteArray thumb(3000, '\xff');
    ASSERT_TRUE(OLEStorage::WriteThumbStream(QStringLiteral("a.jpg"), thumb.constData(), int(thumb.size())));
    OLEStorage::SaveIndex();
    ASSERT_TRUE(OLEStorage::CommitCache());
    OLEStorage::CloseCache();
    const qint64 cached = OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName(old));
    EXPECT_GE(cached, thumb.size());
    tree->setCurrentItem(tree->findByKey(old));
    EXPECT_EQ(w->RenameSelectedFolder(QStringLiteral("photos.new")), QString());
    EXPECT_NE(tree->findByKey(root() + QStringLiteral("/photos.new")), nullptr);
    EXPECT_EQ(
        OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName(root() + QStringLiteral("/photos.new"))), cached);
    EXPECT_EQ(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName(old)), 0);
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
        w->setSplitX(150);
        w->setViewShown(0, false); // the tree pane hidden: the splitter keeps its place
        w->close();
    }
    const auto read = [](const char *section, const char *name) {
        return Hive::user().read(vorlaneKey(QLatin1String(section)), QLatin1String(name));
    };
    EXPECT_EQ(read("ViewStat", "SplitLeft")->dword, 150u);
    EXPECT_EQ(read("ViewStat", "Treeview")->dword, 0u);
    EXPECT_EQ(read("AppFormRECT", "Width")->dword, 3000u);
    EXPECT_EQ(read("StartUp", "LastFolder")->text, pics);

    auto again = openOn(QString());
    EXPECT_EQ(again->currentFolder(), pics);
    EXPECT_FALSE(again->viewAction(0)->isChecked());
    again->setViewShown(0, true);
    EXPECT_EQ(again->paneLayout().tree.width(), 150 - 1);
    again->showMaximized();
    again->close();
    EXPECT_EQ(read("AppFormRECT", "WindowState")->dword, 2u);
    EXPECT_EQ(read("AppFormRECT", "Width")->dword, 3000u); // the stored rectangle is kept
}

TEST_F(BrowserWindow, PaneLayoutFollowsTheViewSwitches)
{
    auto w = openShown(pics);
    w->setSplitX(40); // never further left than 100
    EXPECT_EQ(w->paneLayout().tree.width(), 99);
    w->setViewShown(1, false); // preview hidden: the thumbnails take the area
    EXPECT_EQ(w->paneLayout().thumb0.width(), w->paneLayout().base.width());
    w->setViewShown(0, false);
    EXPECT_EQ(w->paneLayout().base.x(), 0);
    w->setViewShown(1, true); // thumbnails hidden: the preview takes the area
    w->setViewShown(2, false);
    EXPECT_EQ(w->paneLayout().image.size(), w->paneLayout().base.size());
    w->close();
}

TEST_F(BrowserWindow, LabelEditsMakeAndRenameFolders)
{
    auto w = openOn(root());
    FolderTreeWidget *tree = w->folderTree();
    // Types a name into the open label editor and ends the edit; returns the text of
    // any message box that the edit brought up (closing it).
    const auto finishEdit = [&](const QString &text, int key = Qt::Key_Return) {
        auto *editor = tree->findChild<QLineEdit *>();
        EXPECT_NE(editor, nullptr);
        if (!editor)
            return QString();
        if (!text.isNull())
            editor->setText(text);
        // Whatever message the edit brings up is read and closed as soon as it shows.
        QString shown;
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                shown = box->text();
                box->accept();
            }
        });
        closer.start(10);
        QSignalSpy finished(w.get(), &Frm_Main::labelEditFinished);
        QTest::keyClick(editor, Qt::Key(key));
        EXPECT_TRUE(finished.count() > 0 || finished.wait(5000));
        return shown;
    };

    tree->setCurrentItem(tree->findByKey(root()));
    w->BeginNewFolder();
    EXPECT_EQ(tree->currentItem()->text(0), QStringLiteral("New Folder"));
    EXPECT_EQ(finishEdit(QString()), QString()); // the proposed name, accepted
    EXPECT_TRUE(QDir(root() + QStringLiteral("/New Folder")).exists());
    EXPECT_NE(tree->findByKey(root() + QStringLiteral("/New Folder")), nullptr);

    tree->setCurrentItem(tree->findByKey(root()));
    const int children = tree->findByKey(root())->childCount();
    w->BeginNewFolder();
    EXPECT_EQ(tree->findByKey(root())->childCount(), children + 1);
    EXPECT_EQ(finishEdit(QStringLiteral("pics")), QString::fromLatin1(TextFolderExists));
    EXPECT_EQ(tree->findByKey(root())->childCount(), children); // the new node is gone

    tree->setCurrentItem(tree->findByKey(root()));
    w->BeginNewFolder();
    EXPECT_EQ(finishEdit(QStringLiteral("never"), Qt::Key_Escape), QString());
    EXPECT_FALSE(QDir(root() + QStringLiteral("/never")).exists());

    tree->setCurrentItem(tree->findByKey(root() + QStringLiteral("/New Folder")));
    w->BeginRenameFolder();
    EXPECT_EQ(finishEdit(QStringLiteral("a/b")), QString::fromLatin1(TextFolderInvalid));
    EXPECT_TRUE(QDir(root() + QStringLiteral("/New Folder")).exists());
    w->BeginRenameFolder();
    EXPECT_EQ(finishEdit(QStringLiteral("Trips.2024")), QString());
    EXPECT_TRUE(QDir(root() + QStringLiteral("/Trips.2024")).exists());
    EXPECT_EQ(tree->findByKey(root() + QStringLiteral("/Trips.2024"))->text(0), QStringLiteral("Trips"));
    w->close();
}

TEST_F(BrowserWindow, DragAndDropCarryPaths)
{
    auto w = openOn(pics);
    // Files dragged out of the list are offered as file URLs.
    QModelIndexList rows = { w->fileList()->index(0, 0), w->fileList()->index(2, 0) };
    std::unique_ptr<QMimeData> out(w->fileList()->mimeData(rows));
    ASSERT_EQ(out->urls().size(), 2);
    EXPECT_EQ(out->urls()[0].toLocalFile(), pics + QStringLiteral("/a.JPG"));
    EXPECT_TRUE(out->hasFormat(QStringLiteral("text/uri-list")));

    // Files dropped on a folder node are reported with that folder.
    FolderTreeWidget *tree = w->folderTree();
    QTreeWidgetItem *target = tree->findByKey(pics);
    ASSERT_NE(target, nullptr);
    tree->scrollToItem(target);
    const QPoint at = tree->visualItemRect(target).center();
    // Only the tree's report is checked here; the copy it starts is the file commands' test.
    QObject::disconnect(tree, &FolderTreeWidget::filesDropped, nullptr, nullptr);
    QSignalSpy dropped(tree, &FolderTreeWidget::filesDropped);
    QMimeData in;
    in.setUrls({ QUrl::fromLocalFile(root() + QStringLiteral("/x.jpg")) });
    ASSERT_EQ(tree->itemAt(at), target);
    QDragEnterEvent enter(at, Qt::CopyAction, &in, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tree->viewport(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDragMoveEvent move(at, Qt::CopyAction, &in, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tree->viewport(), &move);
    EXPECT_EQ(tree->dropHighlighted(), target);
    QDropEvent drop(at, Qt::CopyAction, &in, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(tree->viewport(), &drop);
    ASSERT_EQ(dropped.count(), 1);
    EXPECT_EQ(dropped[0][0].toStringList(), QStringList({ root() + QStringLiteral("/x.jpg") }));
    EXPECT_EQ(dropped[0][1].toString(), pics);
    EXPECT_EQ(tree->dropHighlighted(), nullptr);
    w->close();
}

TEST_F(BrowserWindow, PreviewZoomKeysAndFitMenu)
{
    QImage img(64, 48, QImage::Format_RGB888);
    img.fill(QColor(200, 30, 40));
    ASSERT_TRUE(img.save(pics + QStringLiteral("/a.JPG"), "JPEG"));
    auto w = openShown(pics);

    // Selecting a file by key shows it in the preview after the short deferral.
    QSignalSpy preview(w.get(), &Frm_Main::previewRequested);
    w->fileListView()->setFocus();
    w->fileListView()->setCurrentIndex(w->fileList()->index(1, 0));
    QTest::keyClick(w->fileListView(), Qt::Key_Up);
    ASSERT_TRUE(preview.wait(2000));
    EXPECT_EQ(preview.last()[0].toInt(), 0);
    EXPECT_TRUE(w->imagePane()->hasImage());

    // "3" in the file list: zoom 3, and the list selection does not move.
    QTest::keyClick(w->fileListView(), Qt::Key_3);
    EXPECT_EQ(w->zoom().text(), QStringLiteral("3"));
    EXPECT_EQ(w->fileListView()->currentIndex().row(), 0);
    EXPECT_EQ(w->statusPanelText(4), QStringLiteral("Zoom: 3X"));
    QTest::keyClick(w->fileListView(), Qt::Key_1);
    QTest::keyClick(w->fileListView(), Qt::Key_Plus);
    EXPECT_EQ(w->statusPanelText(4), QStringLiteral("Zoom: 1.25X"));
    w->ApplyZoom(ZoomFactor::fromWhole(10));
    QTest::keyClick(w->fileListView(), Qt::Key_Plus);
    EXPECT_EQ(w->zoom().text(), QStringLiteral("10"));
    w->ApplyZoom(ZoomFactor::fromDouble(0.5));
    QTest::keyClick(w->fileListView(), Qt::Key_Minus);
    EXPECT_EQ(w->zoom().text(), QStringLiteral("0.5"));

    w->chooseFitMode(2);
    EXPECT_EQ(w->fitMode(), QStringLiteral("FitWidth"));

    // The properties mode on and off twice leaves the columns in their order.
    QHeaderView *header = w->fileListView()->header();
    for (int i = 0; i < 2; ++i) {
        w->setImagePropertiesMode(true);
        EXPECT_EQ(header->visualIndex(3), 1);
        EXPECT_EQ(w->fileList()->entries()[0].properties, QStringLiteral("64 x 48 - 24-bit   "));
        w->setImagePropertiesMode(false);
        for (int c = 0; c < 5; ++c)
            EXPECT_EQ(header->visualIndex(c), c);
    }
    w->close();
}

TEST_F(BrowserWindow, GridAndListFollowEachOther)
{
    auto w = openShown(pics);
    ThumbBox *box = w->thumbBox(0);
    ASSERT_EQ(box->geometry().fileCount, 4);
    // A press on the third cell selects that file and shows it.
    QSignalSpy preview(w.get(), &Frm_Main::previewRequested);
    const QRect cell = CellRect(box->geometry(), 2, box->scrollOffset());
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, cell.center());
    EXPECT_EQ(w->fileListView()->currentIndex().row(), 2);
    EXPECT_TRUE(preview.count() > 0 || preview.wait(2000));
    EXPECT_EQ(box->selected(), 2);
    // An arrow key in the grid moves both and writes the grid's status line.
    QTest::keyClick(box, Qt::Key_Left);
    EXPECT_EQ(w->fileListView()->currentIndex().row(), 1);
    EXPECT_TRUE(w->statusPanelText(5).startsWith(QStringLiteral("# 2. ab.gif  1,000 bytes")));
    // Selecting in the list moves the grid's frame.
    w->fileListView()->setCurrentIndex(w->fileList()->index(3, 0));
    EXPECT_EQ(box->selected(), 3);
    // Sorting takes the current file along to its new row (names descending: first).
    Q_EMIT w->fileListView()->header()->sectionClicked(0);
    ASSERT_EQ(listed(*w).first(), QStringLiteral("c.png"));
    EXPECT_EQ(w->fileListView()->currentIndex().row(), 0);
    EXPECT_EQ(w->fileListView()->selectionModel()->selectedRows(), QModelIndexList({ w->fileList()->index(0, 0) }));
    EXPECT_EQ(w->currentPosition(), 0);
    EXPECT_EQ(box->selected(), 0);

    // Alt+Space opens the window menu whichever pane has the focus.
    w->show();
    for (QWidget *pane : std::initializer_list<QWidget *> { w->fileListView(), w->folderTree(), box }) {
        w->activateWindow(); // the closed menu leaves no window active here
        ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
        pane->setFocus();
        bool shown = false;
        QTimer::singleShot(0, [&] {
            if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
                shown = true;
                menu->close();
            }
        });
        QTest::keyClick(pane, Qt::Key_Space, Qt::AltModifier);
        EXPECT_TRUE(shown) << pane->metaObject()->className();
    }
    w->close();
}

TEST_F(BrowserWindow, TheNextFileIsPreparedAhead)
{
    for (const char *name : { "a.JPG", "ab.gif", "b.jpg" }) {
        QImage img(40, 30, QImage::Format_RGB888);
        img.fill(Qt::darkGreen);
        ASSERT_TRUE(img.save(pics + u'/' + QLatin1String(name), "JPEG")); // loaded by content
    }
    auto w = openOn(pics);
    w->ShowCurrentImage(0);
    EXPECT_EQ(w->prefetcher().pending(), QStringList({ pics + QStringLiteral("/ab.gif") }));
    const int started = w->prefetcher().decodesStarted();
    const int served = w->prefetcher().served();
    w->ShowCurrentImage(1); // takes the prepared image and prepares the one after
    EXPECT_EQ(w->prefetcher().pending(), QStringList({ pics + QStringLiteral("/b.jpg") }));
    EXPECT_EQ(w->prefetcher().decodesStarted(), started + 1);
    EXPECT_TRUE(w->imagePane()->hasImage());
    // Back at the first file there is nothing before it: the one after is prepared.
    w->ShowCurrentImage(0);
    EXPECT_EQ(
        w->prefetcher().pending(), QStringList({ pics + QStringLiteral("/b.jpg"), pics + QStringLiteral("/ab.gif") }));
    EXPECT_EQ(w->prefetcher().decodesStarted(), started + 2);
    // The last file, reached by a jump (End, a restored last file): the one before
    // it is prepared, so the step back to it is served.
    w->ShowCurrentImage(3);
    w->ShowCurrentImage(2);
    EXPECT_EQ(w->prefetcher().served(), served + 2);
    // Another folder's listing takes the old picture away.
    w->ListFolder(root());
    EXPECT_FALSE(w->imagePane()->hasImage());
    // and the old folder's rows give no direction: at the second file of a new
    // folder, after the last one of the old, the third is prepared.
    w->ShowCurrentImage(2);
    const QString four = root() + QStringLiteral("/four");
    QDir().mkpath(four);
    for (const char *name : { "1.jpg", "2.jpg", "3.jpg", "4.jpg" })
        ASSERT_TRUE(QFile::copy(pics + QStringLiteral("/a.JPG"), four + u'/' + QLatin1String(name)));
    w->ListFolder(four);
    w->ShowCurrentImage(1);
    EXPECT_TRUE(w->prefetcher().pending().contains(four + QStringLiteral("/3.jpg")))
        << w->prefetcher().pending().join(u' ').toStdString();
    w->close();
}

TEST_F(BrowserWindow, ARealFolderFillsEveryCellAndShowsTheFirstFile)
{
    // The samples in every format, in a folder of their own.
    const QString dir = root() + QStringLiteral("/samples");
    ASSERT_TRUE(QDir().mkpath(dir));
    const QDir samples(qEnvironmentVariable("V7_SAMPLES"));
    for (const QString &name : samples.entryList(QDir::Files)) {
        if (!name.endsWith(QLatin1String(".sh")) && !name.endsWith(QLatin1String(".py"))) {
            ASSERT_TRUE(QFile::copy(samples.filePath(name), dir + u'/' + name));
        }
    }
    // Worker threads start only once the process carries its marker (the splash's title).
    RegisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid())));
    for (int mode : { 0, 1 }) {
        settings().ThreadMode = mode;
        auto w = std::make_unique<Frm_Main>(dir);
        QSignalSpy finished(w.get(), &Frm_Main::thumbDisplayFinished);
        w->Form_Load();
        w->showNormal();
        w->resize(1100, 800);
        ASSERT_TRUE(finished.wait(60000)) << "mode " << mode;
        const int count = w->fileList()->rowCount();
        ASSERT_GE(count, 6) << "mode " << mode;
        const BitmapStore *store = w->store();
        ASSERT_TRUE(store != nullptr);
        for (int i = 0; i < count; ++i)
            EXPECT_TRUE(store && store->hasThumb(i))
                << "mode " << mode << " " << w->fileList()->entries()[size_t(i)].name.toStdString();
        EXPECT_TRUE(w->statusPanelText(5).contains(QStringLiteral(" Thumbnails processed in ")))
            << w->statusPanelText(5).toStdString();
        // The first file in the preview.
        QSignalSpy preview(w.get(), &Frm_Main::previewRequested);
        w->fileListView()->setFocus();
        w->fileListView()->setCurrentIndex(w->fileList()->index(1, 0));
        QTest::keyClick(w->fileListView(), Qt::Key_Home);
        ASSERT_TRUE(preview.count() > 0 || preview.wait(3000));
        EXPECT_EQ(preview.last()[0].toInt(), 0);
        EXPECT_TRUE(w->imagePane()->hasImage());
        w->close();
    }
    UnregisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid())));
}

TEST_F(BrowserWindow, AScrolledGridGetsItsVisibleCellsFirst)
{
    const QString dir = root() + QStringLiteral("/many");
    ASSERT_TRUE(QDir().mkpath(dir));
    QImage img(40, 30, QImage::Format_RGB888);
    img.fill(Qt::darkCyan);
    for (int i = 0; i < 80; ++i)
        ASSERT_TRUE(img.save(dir + QStringLiteral("/p%1.jpg").arg(i, 2, 10, QLatin1Char('0')), "JPEG"));
    settings().ThreadMode = 0; // deliveries on this thread, one event round after each
    auto w = std::make_unique<Frm_Main>(dir);
    QSignalSpy finished(w.get(), &Frm_Main::thumbDisplayFinished);
    w->Form_Load();
    w->showNormal();
    w->resize(1000, 700);
    ASSERT_TRUE(finished.wait(20000));
    ThumbBox *box = w->thumbBox(0);

    // A new display; before its job starts the user moves down the grid.
    w->ListFolder(dir);
    BitmapStore *store = w->store();
    ASSERT_TRUE(store != nullptr);
    ASSERT_FALSE(store->finished());
    box->setFocus();
    for (int k = 0; k < 80 && box->viewTopIndex() < 3 * box->geometry().columns; ++k)
        QTest::keyClick(box, Qt::Key_Down);
    ASSERT_GE(box->viewTopIndex(), 3 * box->geometry().columns);
    const int top = box->viewTopIndex(), bottom = box->viewBottomIndex();
    ASSERT_LT(bottom, 79);

    // Every thumbnail held while no more than the visible cells have arrived is a
    // visible one.
    int seen = 0;
    bool outside = false;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const int n = w->store() == store ? store->processed() : 0;
        if (n == 0 || n > bottom - top + 1)
            return;
        seen = n;
        for (int i = 0; i < 80; ++i)
            outside = outside || (store->hasThumb(i) && (i < top || i > bottom));
    });
    probe.start(0);
    ASSERT_TRUE(finished.wait(20000));
    EXPECT_GT(seen, 0);
    EXPECT_FALSE(outside) << "visible " << top << ".." << bottom;
    w->close();
}

TEST_F(BrowserWindow, TheProgressLineInTheFirstPanel)
{
    auto w = openOn(pics);
    const auto column = [&](int x) {
        const QImage bar = w->progressPixmap().toImage();
        std::string c;
        for (int y = 0; y < bar.height(); ++y) {
            const QColor p = bar.pixelColor(x, y);
            c += p.alpha() == 0 ? '.' : p == Qt::white ? 'w' : p == Qt::black ? 'b' : 'o';
        }
        return c;
    };
    w->DrawProgress(10, 2, QString());
    EXPECT_EQ(column(9), "wbb............."); // one pixel white over two black
    EXPECT_EQ(column(10), "................");
    w->DrawProgress(10, 16, QString());
    EXPECT_EQ(column(9), "bbbbbbbbbbbbbbbb");
    EXPECT_EQ(column(10), "................");
    // The counter is drawn there too, whole and opaque over the line.
    w->DrawProgress(10, 2, QStringLiteral("17/80"));
    EXPECT_GE(w->progressPixmap().width(), QFontMetrics(w->statusBar()->font()).horizontalAdvance("17/80"));
    EXPECT_EQ(column(1).substr(0, 11).find('.'), std::string::npos) << column(1);
    EXPECT_EQ(column(1).substr(1, 2).find('b'), std::string::npos) << column(1);
    w->close();
}

TEST_F(BrowserWindow, DeletingAFolderMovesItToTheTrash)
{
    const QString trip = root() + QStringLiteral("/old trip");
    v7test::writeFile(trip + QStringLiteral("/x.jpg"), "not really");
    auto w = openOn(root());
    FolderTreeWidget *tree = w->folderTree();
    tree->setCurrentItem(tree->findByKey(trip));
    tree->setFocus();

    // Answers the confirmation: No first, then Yes.
    QMessageBox::StandardButton answer = QMessageBox::No;
    QString asked;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            asked = box->text();
            if (QAbstractButton *b = box->button(answer))
                b->click();
            else
                box->reject();
        }
    });
    closer.start(10);
    QTest::keyClick(tree, Qt::Key_Delete);
    EXPECT_EQ(asked, QStringLiteral("Move \"old trip\" to the trash?"));
    EXPECT_TRUE(QDir(trip).exists());
    answer = QMessageBox::Yes;
    QTest::keyClick(tree, Qt::Key_Delete);
    EXPECT_FALSE(QDir(trip).exists());
    EXPECT_TRUE(QFile::exists(root() + QStringLiteral("/data/Trash/files/old trip/x.jpg")))
        << QDir(root() + "/data").entryList().join(u',').toStdString();
    EXPECT_EQ(tree->findByKey(trip), nullptr);

    // The home folder and the root are never deleted: at most the refusal is said,
    // nobody is asked to confirm.
    answer = QMessageBox::Ok;
    asked.clear();
    EXPECT_FALSE(w->DeleteFolder(QDir::homePath()));
    EXPECT_FALSE(asked.startsWith(QStringLiteral("Move"))) << asked.toStdString();
    asked.clear();
    EXPECT_FALSE(w->DeleteFolder(QStringLiteral("/")));
    EXPECT_FALSE(asked.startsWith(QStringLiteral("Move"))) << asked.toStdString();
    EXPECT_TRUE(QDir::home().exists());
    w->close();
}

TEST_F(BrowserWindow, TheCornerMarkOpensTheTagMenu)
{
    auto w = openShown(pics);
    ThumbBox *box = w->thumbBox(0);
    QStringList captions;
    QObject::connect(w.get(), &Frm_Main::tagMenuShown, [&](QMenu *menu) {
        captions << menu->actions().value(0)->text();
        QTimer::singleShot(0, menu, [menu] {
            menu->actions().value(0)->trigger();
            menu->close();
        });
    });
    const QRect cell = CellRect(box->geometry(), 1, box->scrollOffset());
    const QPoint mark(cell.right() - 5, cell.top() + 5);
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, mark);
    EXPECT_EQ(w->fileListView()->currentIndex().row(), 1);
    EXPECT_EQ(w->taggedFiles(), QStringList({ pics + QStringLiteral("/ab.gif") }));
    EXPECT_TRUE(w->fileList()->entries()[1].tagged);
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, mark); // a second time untags
    EXPECT_EQ(captions, QStringList({ QStringLiteral("&Tag image"), QStringLiteral("&Untag image") }));
    EXPECT_TRUE(w->taggedFiles().isEmpty());
    // A press beside the mark only selects.
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, cell.center());
    EXPECT_EQ(captions.size(), 2);
    w->close();
}

namespace
{

// count small JPEGs p00.jpg, p01.jpg... in folder.
void makeJpegs(const QString &folder, int count)
{
    ASSERT_TRUE(QDir().mkpath(folder));
    QImage img(40, 30, QImage::Format_RGB888);
    img.fill(Qt::darkCyan);
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(img.save(folder + QStringLiteral("/p%1.jpg").arg(i, 3, 10, QLatin1Char('0')), "JPEG"));
}

bool cellShown(ThumbBox *box, int index)
{
    return box->rect().contains(CellRect(box->geometry(), index, box->scrollOffset()));
}

} // namespace

TEST_F(BrowserWindow, VisibleCellsArePaintedAsTheirThumbnailsArrive)
{
    const QString dir = root() + QStringLiteral("/many");
    makeJpegs(dir, 150);
    settings().ThreadMode = 0; // deliveries on this thread, one event round after each
    auto w = std::make_unique<Frm_Main>(dir);
    QSignalSpy finished(w.get(), &Frm_Main::thumbDisplayFinished);
    w->Form_Load();
    w->showNormal();
    w->resize(1000, 760);
    w->setViewShown(1, false); // no preview: the grid shows more rows than the first refresh covers
    ThumbBox *box = w->thumbBox(0);

    // The first display, from an empty cache.
    bool allArrived = false, allPainted = false;
    int rowsShown = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        BitmapStore *store = w->store();
        if (!store || store->finished())
            return;
        const int top = box->viewTopIndex(), bottom = box->viewBottomIndex();
        rowsShown = (bottom - top + 1) / box->geometry().columns;
        if (!allArrived) {
            allArrived = bottom >= top;
            for (int i = top; i <= bottom; ++i)
                allArrived = allArrived && store->arrived(i);
            return;
        }
        // Every cell on screen was painted with its thumbnail before the job ended.
        allPainted = allPainted || box->paintedWithThumb() == box->paintedCells();
    });
    probe.start(0);
    ASSERT_TRUE(finished.wait(30000));
    ASSERT_GE(rowsShown, 4) << "the grid must show more than the first refresh's three rows";
    EXPECT_TRUE(allArrived);
    EXPECT_TRUE(allPainted) << box->paintedWithThumb() << " of " << box->paintedCells();
    w->close();
}

TEST_F(BrowserWindow, TheGridFollowsTheCurrentFile)
{
    const QString dir = root() + QStringLiteral("/many");
    makeJpegs(dir, 90);
    settings().ThreadMode = 0;
    auto w = openShown(dir);
    ThumbBox *box = w->thumbBox(0);
    QTreeView *list = w->fileListView();
    list->setFocus();
    list->setCurrentIndex(w->fileList()->index(0, 0));
    ASSERT_FALSE(cellShown(box, 89));
    QTest::keyClick(list, Qt::Key_End);
    EXPECT_EQ(list->currentIndex().row(), 89);
    EXPECT_EQ(box->selected(), 89);
    EXPECT_TRUE(cellShown(box, 89)) << box->scrollOffset();
    QTest::keyClick(list, Qt::Key_Home);
    EXPECT_EQ(box->scrollOffset(), 0);
    QTest::keyClick(list, Qt::Key_PageDown);
    QTest::keyClick(list, Qt::Key_PageDown);
    QTest::keyClick(list, Qt::Key_PageDown);
    const int paged = list->currentIndex().row();
    EXPECT_GT(paged, 0);
    EXPECT_TRUE(cellShown(box, paged));

    // A history choice comes back to the file last current there, on screen.
    list->setCurrentIndex(w->fileList()->index(70, 0));
    w->ListFolder(pics);
    const int back = int(w->folderHistory().items().indexOf(dir));
    ASSERT_GE(back, 0);
    w->ChooseHistory(back);
    ASSERT_EQ(list->currentIndex().row(), 70);
    EXPECT_TRUE(cellShown(box, 70)) << box->scrollOffset();
    w->close();
    w.reset();

    // The next start restores the last file, and the grid shows it.
    auto again = openOn(dir);
    ASSERT_EQ(again->fileListView()->currentIndex().row(), 70);
    EXPECT_TRUE(cellShown(again->thumbBox(0), 70)) << again->thumbBox(0)->scrollOffset();
    again->close();
}

TEST_F(BrowserWindow, TheCurrentFileLineFollowsClicksAndKeys)
{
    settings().ThreadMode = 0;
    auto w = openShown(pics); // a.JPG, ab.gif, b.jpg, c.png
    ThumbBox *box = w->thumbBox(0);
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, CellRect(box->geometry(), 2, box->scrollOffset()).center());
    EXPECT_TRUE(w->statusPanelText(5).startsWith(QStringLiteral("# 3. b.jpg  1,000 bytes")))
        << w->statusPanelText(5).toStdString();
    w->SetStatusPanelText(5, QStringLiteral("12 Thumbnails processed in 0.100 sec"));
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, CellRect(box->geometry(), 2, box->scrollOffset()).center());
    EXPECT_TRUE(w->statusPanelText(5).startsWith(QStringLiteral("# 3. b.jpg"))) << w->statusPanelText(5).toStdString();

    QTreeView *list = w->fileListView();
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_TRUE(w->statusPanelText(5).startsWith(QStringLiteral("# 4. c.png  1,000 bytes")))
        << w->statusPanelText(5).toStdString();
    w->SetStatusPanelText(5, QString());
    const QRect row = list->visualRect(w->fileList()->index(3, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, row.center());
    EXPECT_TRUE(w->statusPanelText(5).startsWith(QStringLiteral("# 4. c.png"))) << w->statusPanelText(5).toStdString();

    // The sort arrow sits on the column the list is sorted by.
    FileListModel *model = w->fileList();
    w->fileListView()->header()->sectionClicked(1);
    EXPECT_TRUE(model->headerData(1, Qt::Horizontal, Qt::DecorationRole).isValid());
    EXPECT_FALSE(model->headerData(0, Qt::Horizontal, Qt::DecorationRole).isValid());
    w->fileListView()->header()->sectionClicked(2);
    EXPECT_TRUE(model->headerData(2, Qt::Horizontal, Qt::DecorationRole).isValid());
    EXPECT_FALSE(model->headerData(1, Qt::Horizontal, Qt::DecorationRole).isValid());
    w->close();
}

TEST_F(BrowserWindow, ListColumnsStayWhereTheUserPutThem)
{
    QImage img(64, 48, QImage::Format_RGB888);
    img.fill(Qt::darkGreen);
    ASSERT_TRUE(img.save(pics + QStringLiteral("/a.JPG"), "JPEG"));
    const QString other = root() + QStringLiteral("/other");
    ASSERT_TRUE(QDir().mkpath(other));
    ASSERT_TRUE(img.scaled(20, 10).save(other + QStringLiteral("/x.jpg"), "JPEG"));
    settings().ThreadMode = 0;
    auto w = openShown(pics);
    QHeaderView *header = w->fileListView()->header();
    w->setImagePropertiesMode(true);
    ASSERT_EQ(header->visualIndex(3), 1);
    // The next listing leaves the column where it is and fills it for the new folder.
    w->ListFolder(other);
    EXPECT_TRUE(w->imagePropertiesMode());
    EXPECT_EQ(header->visualIndex(3), 1);
    ASSERT_EQ(w->fileList()->rowCount(), 1);
    EXPECT_EQ(w->fileList()->entries()[0].properties, QStringLiteral("20 x 10 - 24-bit   "));
    w->setImagePropertiesMode(false);

    // Sort column, order and widths come back in the next run.
    w->ListFolder(pics);
    header->sectionClicked(1); // by size, descending
    header->resizeSection(0, 250);
    header->resizeSection(2, 133);
    w->close();
    w.reset();
    auto again = openOn(pics);
    EXPECT_EQ(again->fileList()->sortKey(), 1);
    EXPECT_EQ(again->fileList()->sortOrder(), SortOrder::Descending);
    EXPECT_EQ(again->fileListView()->header()->sectionSize(0), 250);
    EXPECT_EQ(again->fileListView()->header()->sectionSize(2), 133);
    const auto &entries = again->fileList()->entries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_GT(entries.front().size, entries.back().size) << "sorted by size, descending";
    again->close();
}

TEST_F(BrowserWindow, ADamagedFileIsMarkedInTheGridAndNamedInThePreview)
{
    settings().ThreadMode = 0;
    auto w = std::make_unique<Frm_Main>(pics); // every picture there is 1,000 bytes of "x"
    QSignalSpy finished(w.get(), &Frm_Main::thumbDisplayFinished);
    w->Form_Load();
    w->showNormal();
    w->resize(1000, 700);
    ASSERT_TRUE(finished.wait(20000));
    ThumbBox *box = w->thumbBox(0);
    const BitmapStore *store = w->store();
    ASSERT_TRUE(store != nullptr);
    EXPECT_TRUE(store->isBroken(0));
    const QImage shot = box->grab().toImage();
    const QRect cell = CellRect(box->geometry(), 0, box->scrollOffset());
    int mark = 0;
    for (int y = cell.top(); y <= cell.bottom(); ++y)
        for (int x = cell.left(); x <= cell.right(); ++x)
            mark += QColor(shot.pixel(x, y)) == BrokenMarkColor ? 1 : 0;
    EXPECT_GT(mark, 20);

    w->ShowCurrentImage(0);
    EXPECT_EQ(w->previewNotice(), QStringLiteral("a.JPG\nError in file"));
    const QImage pane = w->imagePane()->grab().toImage();
    const QRgb background = colorFromBgr(settings().ViewColor).rgb();
    int ink = 0;
    for (int y = 0; y < pane.height(); ++y)
        for (int x = 0; x < pane.width(); ++x)
            ink += QColor(pane.pixel(x, y)).rgb() != background ? 1 : 0;
    EXPECT_GT(ink, 30);
    w->close();
}

// A new listing waits for the previous job to let go of the cache (here its last
// commit waits for another writer). Meanwhile the grid, already counting the new
// folder's files, shows none of the previous folder's pictures.
TEST_F(BrowserWindow, WhileTheLastJobLetsGoTheGridShowsNoOldPictures)
{
    const QString a = root() + QStringLiteral("/a"), b = root() + QStringLiteral("/b");
    makeJpegs(a, 6);
    makeJpegs(b, 4);
    settings().ThreadMode = 1;
    // Worker threads start only once the process carries its marker.
    RegisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid())));
    ASSERT_TRUE(OLEStorage::CommitThumbs(root() + QStringLiteral("/x"), {})); // makes the cache file
    OLEStorage::SetWriterWaitMs(120000);
    cfb::Storage holder = OLEStorage::OpenCacheWriter();
    ASSERT_TRUE(holder.isOpen());
    auto w = openShown(a);
    ThumbBox *box = w->thumbBox(0);
    ASSERT_TRUE(v7test::waitUntil(
        [&] {
            box->repaint();
            return w->store() && w->store()->finished() && box->paintedWithThumb() == 6;
        },
        30000));

    int probes = 0, oldPictures = -1;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (box->fileCount() != 4 || !holder.isOpen())
            return;
        box->repaint();
        oldPictures = std::max(oldPictures, box->paintedWithThumb());
        if (++probes == 5)
            holder.release(); // the job commits and lets go
    });
    probe.start(20);
    QSignalSpy finished(w.get(), &Frm_Main::thumbDisplayFinished);
    ASSERT_TRUE(w->ListFolder(b));
    EXPECT_GE(probes, 5) << "the listing did not wait for the previous job";
    EXPECT_EQ(oldPictures, 0);
    ASSERT_TRUE(finished.count() > 0 || finished.wait(30000));
    OLEStorage::SetWriterWaitMs(10000);
    w->close();
    UnregisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid())));
}
