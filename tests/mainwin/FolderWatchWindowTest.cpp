// The real window on a folder that other programs change: a second thread copies,
// rewrites and removes files and makes folders while the window's event loop runs.
#include "BrowserWindowHelpers.h"
#include "TestEnv.h"
#include "app/Settings.h"
#include "app/Startup.h"
#include "browser/FileListModel.h"
#include "browser/FolderTreeWidget.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/ThumbBox.h"
#include "thumbs/BitmapStore.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QTimer>
#include <QTreeView>
#include <atomic>
#include <functional>
#include <thread>
#include <unistd.h>

using namespace v7;

namespace
{

class FolderWatchWindow : public v7test::TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        settings() = Settings();
        LoadSettings();
        samples = QDir(qEnvironmentVariable("V7_SAMPLES"));
        pics = root() + QStringLiteral("/pics");
        ASSERT_TRUE(QDir().mkpath(pics));
        // Thumbnail workers start only once the process carries its marker.
        RegisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid())));
    }
    void TearDown() override
    {
        UnregisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid())));
        TempHome::TearDown();
    }
    // Another program at work: runs on its own thread while this one serves events.
    static void elsewhere(const std::function<void()> &work)
    {
        std::atomic<bool> done { false };
        std::thread t([&] {
            work();
            done = true;
        });
        v7test::waitUntil([&] { return done.load(); }, 60000);
        t.join();
    }
    static bool listedWith(Frm_Main &w, const std::function<bool(const QStringList &)> &test)
    {
        return v7test::waitUntil([&] { return test(v7test::listedNames(w)); }, 20000);
    }
    static int rowOf(Frm_Main &w, const QString &name) { return w.fileList()->findName(name); }
    static bool thumbShown(Frm_Main &w, const QString &name)
    {
        return v7test::waitUntil(
            [&] {
                const int row = rowOf(w, name);
                const BitmapStore *store = w.store();
                return row >= 0 && store && store->hasThumb(row);
            },
            30000);
    }
    QDir samples;
    QString pics;
};

} // namespace

TEST_F(FolderWatchWindow, FilesCopiedRewrittenAndRemovedOutsideReachTheListAndGrid)
{
    ASSERT_TRUE(QFile::copy(samples.filePath("landscape.jpg"), pics + "/first.jpg"));
    auto w = v7test::openWindowShown(pics, 5000);
    ASSERT_TRUE(thumbShown(*w, "first.jpg"));

    elsewhere([&] {
        QFile::copy(samples.filePath("meadow.png"), pics + "/copied.png");
        QFile::copy(samples.filePath("lakeside.webp"), pics + "/web.webp");
    });
    ASSERT_TRUE(
        listedWith(*w, [](const QStringList &n) { return n.contains("copied.png") && n.contains("web.webp"); }));
    EXPECT_TRUE(thumbShown(*w, "copied.png"));
    EXPECT_TRUE(thumbShown(*w, "web.webp"));
    EXPECT_EQ(rowOf(*w, "first.jpg") >= 0, true); // kept, not relisted away

    // Rewritten with another picture: the row takes the new size.
    const qint64 newSize = QFileInfo(samples.filePath("portrait-exif6.jpg")).size();
    elsewhere([&] {
        QFile::remove(pics + "/first.jpg");
        QFile::copy(samples.filePath("portrait-exif6.jpg"), pics + "/first.jpg");
    });
    ASSERT_TRUE(v7test::waitUntil(
        [&] {
            const int row = rowOf(*w, "first.jpg");
            return row >= 0 && w->fileList()->entries()[size_t(row)].size == newSize;
        },
        20000));
    EXPECT_TRUE(thumbShown(*w, "first.jpg"));

    elsewhere([&] { QFile::remove(pics + "/copied.png"); });
    ASSERT_TRUE(listedWith(*w, [](const QStringList &n) { return !n.contains("copied.png"); }));
    EXPECT_EQ(w->fileList()->rowCount(), 2);
    w->close();
}

TEST_F(FolderWatchWindow, NewFilesKeepTheSelectionAndWhereTheGridIsScrolled)
{
    for (int i = 0; i < 60; ++i)
        ASSERT_TRUE(QFile::copy(
            samples.filePath("meadow.png"), pics + QStringLiteral("/p%1.png").arg(i, 2, 10, QLatin1Char('0'))));
    auto w = v7test::openWindowShown(pics, 5000);
    ASSERT_TRUE(thumbShown(*w, "p00.png"));
    QTreeView *list = w->fileListView();
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setCurrentIndex(w->fileList()->index(rowOf(*w, "p03.png"), 0));
    list->selectionModel()->select(
        w->fileList()->index(rowOf(*w, "p07.png"), 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    ThumbBox *grid = w->thumbBox(0);
    grid->setScrollOffset(grid->height()); // the user looks further down than the current file
    const int scrolled = grid->scrollOffset();
    ASSERT_GT(scrolled, 0);

    elsewhere([&] { QFile::copy(samples.filePath("meadow.png"), pics + "/a-new.png"); });
    ASSERT_TRUE(listedWith(*w, [](const QStringList &n) { return n.contains("a-new.png"); }));
    EXPECT_EQ(grid->scrollOffset(), scrolled);
    QStringList selected;
    for (const QModelIndex &i : list->selectionModel()->selectedRows())
        selected << w->fileList()->entries()[size_t(i.row())].name;
    selected.sort();
    EXPECT_EQ(selected, QStringList({ "p03.png", "p07.png" }));
    EXPECT_EQ(list->currentIndex().row(), rowOf(*w, "p03.png"));
    w->close();
}

TEST_F(FolderWatchWindow, CellsKeepTheirPicturesWhileTheGridIsRemadeAfterAChange)
{
    // Two pictures in turn, so a cell showing its neighbour's picture is seen.
    for (int i = 0; i < 60; ++i)
        ASSERT_TRUE(QFile::copy(samples.filePath(i % 2 ? "landscape.jpg" : "meadow.png"),
            pics + QStringLiteral("/p%1.%2").arg(i, 2, 10, QLatin1Char('0')).arg(i % 2 ? "jpg" : "png")));
    auto w = v7test::openWindowShown(pics, 5000);
    const auto allShown = [&] {
        return v7test::waitUntil(
            [&] {
                const BitmapStore *store = w->store();
                for (int row = 0; store && row < w->fileList()->rowCount(); ++row)
                    if (!store->arrived(row))
                        return false;
                return store != nullptr;
            },
            30000);
    };
    ASSERT_TRUE(allShown());
    ThumbBox *grid = w->thumbBox(0);
    grid->setScrollOffset(grid->height()); // the new file's cell is off screen
    QApplication::processEvents();

    // A file that sorts first moves every row down by one.
    elsewhere([&] { QFile::copy(samples.filePath("meadow.png"), pics + "/a-new.png"); });
    ASSERT_TRUE(listedWith(*w, [](const QStringList &n) { return n.contains("a-new.png"); }));
    const QImage during = grid->grab().toImage();
    EXPECT_GT(grid->paintedCells(), 0);
    EXPECT_EQ(grid->paintedWithThumb(), grid->paintedCells());
    ASSERT_TRUE(allShown());
    QApplication::processEvents();
    const QImage after = grid->grab().toImage();
    // Each cell showed its own file's picture all along, not a blank or a neighbour's.
    EXPECT_EQ(during, after);
    w->close();
}

TEST_F(FolderWatchWindow, AListedFolderRemovedOutsideGivesWayToTheFolderAbove)
{
    ASSERT_TRUE(QFile::copy(samples.filePath("meadow.png"), pics + "/above.png"));
    const QString sub = pics + "/trip";
    ASSERT_TRUE(QDir().mkpath(sub));
    ASSERT_TRUE(QFile::copy(samples.filePath("landscape.jpg"), sub + "/inside.jpg"));
    auto w = v7test::openWindowShown(sub, 5000);
    ASSERT_EQ(v7test::listedNames(*w), QStringList({ "inside.jpg" }));
    elsewhere([&] { QDir(sub).removeRecursively(); });
    ASSERT_TRUE(v7test::waitUntil([&] { return w->currentFolder() == pics; }, 20000))
        << w->currentFolder().toStdString();
    EXPECT_TRUE(listedWith(*w, [](const QStringList &n) { return n == QStringList { "above.png" }; }))
        << v7test::listedNames(*w).join(' ').toStdString();
    FolderTreeWidget *tree = w->findChild<FolderTreeWidget *>();
    ASSERT_TRUE(tree != nullptr);
    EXPECT_EQ(FolderTreeWidget::keyOf(tree->currentItem()), pics);
    EXPECT_EQ(tree->findByKey(sub), nullptr);
    w->close();
}

TEST_F(FolderWatchWindow, AnEmptyFolderFillsAndTheTreeFollowsNewFolders)
{
    auto w = v7test::openWindowShown(pics, 5000);
    EXPECT_EQ(w->fileList()->rowCount(), 0);
    elsewhere([&] { QFile::copy(samples.filePath("canyon.heic"), pics + "/phone.heic"); });
    ASSERT_TRUE(listedWith(*w, [](const QStringList &n) { return n == QStringList { "phone.heic" }; }));
    EXPECT_TRUE(thumbShown(*w, "phone.heic"));

    // A folder made under the open node appears under it, and goes when removed.
    FolderTreeWidget *tree = w->findChild<FolderTreeWidget *>();
    ASSERT_TRUE(tree != nullptr);
    QTreeWidgetItem *node = tree->findByKey(pics);
    ASSERT_TRUE(node != nullptr);
    node->setExpanded(true);
    auto childKeys = [&] {
        QStringList keys;
        if (QTreeWidgetItem *n = tree->findByKey(pics))
            for (int i = 0; i < n->childCount(); ++i)
                keys << FolderTreeWidget::keyOf(n->child(i));
        return keys;
    };
    elsewhere([&] {
        QDir().mkpath(pics + "/Zeta");
        QDir().mkpath(pics + "/alpha");
    });
    ASSERT_TRUE(v7test::waitUntil(
        [&] {
            return childKeys() == QStringList({ pics + "/alpha", pics + "/Zeta" });
        },
        20000))
        << childKeys().join(' ').toStdString();
    elsewhere([&] { QDir(pics + "/alpha").removeRecursively(); });
    ASSERT_TRUE(v7test::waitUntil([&] { return childKeys() == QStringList({ pics + "/Zeta" }); }, 20000))
        << childKeys().join(' ').toStdString();
    // A shown folder that gains its first subfolder gets its expand arrow, and loses it
    // with its last; one that arrives with subfolders has it at once.
    const auto arrows = [&](const QString &key) {
        QTreeWidgetItem *n = tree->findByKey(key);
        return n ? n->childCount() : -1;
    };
    ASSERT_EQ(arrows(pics + "/Zeta"), 0);
    elsewhere([&] { QDir().mkpath(pics + "/Zeta/inner"); });
    EXPECT_TRUE(v7test::waitUntil([&] { return arrows(pics + "/Zeta") == 1; }, 20000)) << arrows(pics + "/Zeta");
    elsewhere([&] { QDir(pics + "/Zeta/inner").removeRecursively(); });
    EXPECT_TRUE(v7test::waitUntil([&] { return arrows(pics + "/Zeta") == 0; }, 20000)) << arrows(pics + "/Zeta");
    elsewhere([&] { QDir().mkpath(pics + "/beta/deep"); });
    EXPECT_TRUE(v7test::waitUntil([&] { return arrows(pics + "/beta") == 1; }, 20000)) << arrows(pics + "/beta");
    QTreeWidgetItem *beta = tree->findByKey(pics + "/beta");
    ASSERT_TRUE(beta != nullptr);
    beta->setExpanded(true);
    ASSERT_GT(beta->childCount(), 0);
    EXPECT_EQ(FolderTreeWidget::keyOf(beta->child(0)), pics + "/beta/deep");
    EXPECT_EQ(childKeys(), QStringList({ pics + "/beta", pics + "/Zeta" }));
    // New folders are no files of the list.
    EXPECT_EQ(v7test::listedNames(*w), QStringList({ "phone.heic" }));
    w->close();
}

TEST_F(FolderWatchWindow, ChangesWaitWhileADialogIsOpenAndComeAfter)
{
    ASSERT_TRUE(QFile::copy(samples.filePath("landscape.jpg"), pics + "/first.jpg"));
    auto w = v7test::openWindowShown(pics, 5000);
    QDialog dialog(w.get());
    bool listedWhileOpen = true;
    QTimer::singleShot(0, &dialog, [&] {
        elsewhere([&] { QFile::copy(samples.filePath("meadow.png"), pics + "/during.png"); });
        // Long enough for the watch to report it (settled within about a second).
        v7test::waitUntil([] { return false; }, 3000);
        listedWhileOpen = v7test::listedNames(*w).contains("during.png");
        dialog.accept();
    });
    dialog.exec();
    EXPECT_FALSE(listedWhileOpen);
    ASSERT_TRUE(listedWith(*w, [](const QStringList &n) { return n.contains("during.png"); }));
    EXPECT_TRUE(thumbShown(*w, "during.png"));
    w->close();
}
