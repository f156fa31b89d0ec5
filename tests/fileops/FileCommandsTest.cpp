// The main window's file commands against real folders: delete, drops on the tree,
// folder copy and move with their cached thumbnails, save, save as, and a scan.
#include "../mainwin/BrowserWindowHelpers.h"
#include "TestEnv.h"
#include "app/Settings.h"
#include "app/Startup.h"
#include "browser/FileListModel.h"
#include "browser/FolderTreeWidget.h"
#include "browser/Frm_FolderDlg.h"
#include "browser/Listing.h"
#include "fileops/ShellFileOperation.h"
#include "imaging/ImageLoad.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/ThumbBox.h"
#include "thumbs/BitmapStore.h"
#include "thumbs/OLEStorage.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <dlfcn.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace v7;
using v7test::readFile;
using v7test::writeFile;

// SANE's own test backend leaks its read buffer on every scan; it is unloaded
// before the leak check, so it is kept loaded here to be named, and only its
// leaks are set aside.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libsane-test.so\n";
}

namespace
{

// Answers the modal dialogs that the commands open, in the order they come.
struct DialogScript {
    std::function<QString(const QString &text)> message; // button text to click; empty: the default
    QStringList files; // names for the save dialogs, one per dialog
    QString folder; // the folder picker's answer (empty: Cancel)
    QStringList messages; // every message box's text, in order
    int pickers = 0, inputs = 0, fileDialogs = 0;
    QTimer timer;

    DialogScript()
    {
        QObject::connect(&timer, &QTimer::timeout, [this] { step(); });
        timer.start(30);
    }
    void step()
    {
        QWidget *w = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            messages << box->text();
            const QString want = message ? message(box->text()) : QString();
            for (QAbstractButton *b : box->buttons())
                if (!want.isEmpty() && b->text().remove(u'&') == want) {
                    b->click();
                    return;
                }
            if (box->defaultButton())
                box->defaultButton()->click();
            else
                box->buttons().first()->click();
        } else if (auto *fd = qobject_cast<QFileDialog *>(w)) {
            if (files.isEmpty()) {
                ++fileDialogs;
                fd->reject();
                return;
            }
            // Typed as a user would, and accepted only once it held for a tick: the
            // dialog reads its folder in the background and may select the proposed
            // file in its list meanwhile, which wins over the typed name.
            auto *edit = fd->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            auto *list = fd->findChild<QAbstractItemView *>(QStringLiteral("listView"));
            if (!edit || !list)
                return;
            if (edit->text() != files.first() || fd->selectedFiles().value(0) != files.first()) {
                list->clearSelection();
                edit->setText(files.first());
                return;
            }
            files.removeFirst();
            ++fileDialogs;
            static_cast<QDialog *>(fd)->accept(); // QFileDialog hides accept()
        } else if (auto *in = qobject_cast<QInputDialog *>(w)) {
            ++inputs;
            in->accept();
        } else if (auto *picker = qobject_cast<Frm_FolderDlg *>(w)) {
            ++pickers;
            if (folder.isEmpty() || !picker->tree()->ExpandToPath(folder)) {
                picker->reject();
                return;
            }
            // Reached without a click, the label still names what OK gives.
            EXPECT_EQ(picker->findChild<QLabel *>(QStringLiteral("Lbl_Path"))->text(), folder);
            picker->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
        }
    }
    int count(const QString &text) const { return int(messages.count(text)); }
};

// A SANE configuration of the test's own (dll.conf as given), in force until the end
// of the scope, even when an assertion leaves early.
struct SaneConfig {
    explicit SaneConfig(const QByteArray &dllConf)
    {
        writeFile(dir.filePath(QStringLiteral("dll.conf")), dllConf);
        qputenv("SANE_CONFIG_DIR", QFile::encodeName(dir.path()));
    }
    ~SaneConfig() { qputenv("SANE_CONFIG_DIR", old); }
    SaneConfig(const SaneConfig &) = delete;
    SaneConfig &operator=(const SaneConfig &) = delete;
    QTemporaryDir dir;
    const QByteArray old = qgetenv("SANE_CONFIG_DIR");
};

QImage gradient(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixelColor(x, y, QColor((x * 255) / w, (y * 255) / h, 90));
    return img;
}

QSize imageSize(const QString &path)
{
    ImageFileInfo info;
    info.fileName = path;
    return GetImageInfo(info) ? QSize(info.width, info.height) : QSize();
}

class FileCommands : public v7test::TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        settings() = Settings();
        LoadSettings();
        RegisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid())));
    }
    QString folder(const QString &name) const
    {
        const QString p = root() + QStringLiteral("/files/") + name;
        QDir().mkpath(p);
        return p;
    }
    void images(const QString &dir, const QStringList &names, QSize size = QSize(40, 30))
    {
        for (const QString &n : names)
            ASSERT_TRUE(SaveImageDib(dir + u'/' + n, gradient(size.width(), size.height()), 24, 80));
    }
    // A shown window on dir, its thumbnails made and cached.
    std::unique_ptr<Frm_Main> openWithThumbs(const QString &dir)
    {
        auto w = std::make_unique<Frm_Main>(dir);
        QSignalSpy finished(w.get(), &Frm_Main::thumbDisplayFinished);
        w->Form_Load();
        w->showNormal();
        w->resize(1000, 700);
        EXPECT_TRUE(finished.count() > 0 || finished.wait(60000));
        return w;
    }
    static void select(Frm_Main &w, const QList<int> &rows)
    {
        // The current row first: setting it replaces the selection.
        QItemSelectionModel *sel = w.fileListView()->selectionModel();
        w.fileListView()->setCurrentIndex(w.fileList()->index(rows.first(), 0));
        sel->clearSelection();
        for (int r : rows)
            sel->select(w.fileList()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    static int cachedThumbs(const QString &dir)
    {
        ThumbIndex index;
        OLEStorage::LoadFolderIndexInto(OLEStorage::FolderStorageName(dir), index);
        return index.size();
    }
    // The job commits its thumbnails after the display may have finished.
    static bool waitForCached(const QString &dir, int count)
    {
        return QTest::qWaitFor([&] { return cachedThumbs(dir) == count; }, 60000);
    }
};

const QString kUpdate = QStringLiteral("Update the thumbnail view now?");

} // namespace

TEST_F(FileCommands, DeleteWithTheViewShownAnsweredNoKeepsDimmedEntriesAndYesRemovesThem)
{
    const QString dir = folder(QStringLiteral("del"));
    images(dir, { QStringLiteral("a.jpg"), QStringLiteral("b.jpg"), QStringLiteral("c.jpg"), QStringLiteral("d.jpg") });
    auto w = openWithThumbs(dir);
    ASSERT_EQ(w->fileList()->rowCount(), 4);
    const qint64 dSize = QFileInfo(dir + QStringLiteral("/d.jpg")).size();
    const qint64 cSize = QFileInfo(dir + QStringLiteral("/c.jpg")).size();

    DialogScript script;
    QString answer = QStringLiteral("No");
    script.message = [&](const QString &text) { return text == kUpdate ? answer : QStringLiteral("Yes"); };
    select(*w, { 0, 1 });
    const int filled = w->thumbBox(0)->tilesFilled();
    w->DeleteSelectedFiles(false);
    EXPECT_EQ(script.count(QStringLiteral("Move 2 items to the trash?")), 1)
        << script.messages.join(u'|').toStdString();
    EXPECT_EQ(script.count(kUpdate), 1);
    EXPECT_FALSE(QFileInfo::exists(dir + QStringLiteral("/a.jpg")));
    EXPECT_TRUE(QFileInfo::exists(root() + QStringLiteral("/data/Trash/files/b.jpg")));
    ASSERT_EQ(w->fileList()->rowCount(), 4);
    EXPECT_EQ(w->fileList()->entries()[0].name, QStringLiteral("Deleted - a.jpg"));
    EXPECT_EQ(w->fileList()->entries()[1].name, QStringLiteral("Deleted - b.jpg"));
    EXPECT_TRUE(w->fileList()->entries()[0].dimmed);
    EXPECT_FALSE(w->fileList()->entries()[2].dimmed);
    EXPECT_TRUE(w->fileList()->data(w->fileList()->index(0, 0), Qt::ForegroundRole).isValid());
    // The deleted files' pictures leave the display store and their cells are drawn again without them.
    const BitmapStore *store = w->store();
    ASSERT_TRUE(store != nullptr);
    EXPECT_FALSE(store->hasThumb(0));
    EXPECT_FALSE(store->hasThumb(1));
    EXPECT_TRUE(store->hasThumb(2));
    EXPECT_GE(w->thumbBox(0)->tilesFilled(), filled + 2);
    EXPECT_EQ(w->statusPanelText(3), FolderSummaryText(cSize + dSize, 2));
    EXPECT_EQ(cachedThumbs(dir), 2) << "the deleted files' thumbnails left the cache";

    // Yes: the remaining live entry goes from the list; the dimmed ones are not deleted twice.
    answer = QStringLiteral("Yes");
    select(*w, { 0, 1, 2 });
    w->DeleteSelectedFiles(false);
    EXPECT_EQ(script.count(QStringLiteral("Move \"c.jpg\" to the trash?")), 1)
        << script.messages.join(u'|').toStdString();
    QStringList names = v7test::listedNames(*w);
    names.sort();
    EXPECT_EQ(names,
        (QStringList {
            QStringLiteral("Deleted - a.jpg"), QStringLiteral("Deleted - b.jpg"), QStringLiteral("d.jpg") }));
    EXPECT_EQ(w->statusPanelText(3), FolderSummaryText(dSize, 1));

    // The view hidden: removed without the question.
    w->setViewShown(2, false);
    const int asked = script.count(kUpdate);
    select(*w, { w->fileList()->findName(QStringLiteral("d.jpg")) });
    w->DeleteSelectedFiles(false);
    EXPECT_EQ(script.count(kUpdate), asked);
    names = v7test::listedNames(*w);
    names.sort();
    EXPECT_EQ(names, (QStringList { QStringLiteral("Deleted - a.jpg"), QStringLiteral("Deleted - b.jpg") }));
    EXPECT_EQ(w->statusPanelText(3), FolderSummaryText(0, 0));
    EXPECT_TRUE(QDir(dir).entryList(QDir::Files).isEmpty());
}

TEST_F(FileCommands, DeletingEveryFileAnsweredYesLeavesAnEmptyListAndGridAndNoAnswersNothing)
{
    const QString dir = folder(QStringLiteral("all"));
    images(dir, { QStringLiteral("a.jpg"), QStringLiteral("b.jpg") });
    auto w = openWithThumbs(dir);
    DialogScript script;
    bool confirm = false;
    script.message = [&](const QString &text) {
        if (text == kUpdate)
            return QStringLiteral("Yes");
        return confirm ? QStringLiteral("Yes") : QStringLiteral("No");
    };
    select(*w, { 0, 1 });
    w->DeleteSelectedFiles(false); // the trash question answered No
    EXPECT_EQ(w->fileList()->rowCount(), 2);
    EXPECT_TRUE(QFileInfo::exists(dir + QStringLiteral("/a.jpg")));
    EXPECT_EQ(script.count(kUpdate), 0);
    confirm = true;
    select(*w, { 0, 1 });
    w->DeleteSelectedFiles(false);
    EXPECT_EQ(w->fileList()->rowCount(), 0);
    EXPECT_EQ(w->thumbBox(0)->fileCount(), 0);
    EXPECT_EQ(w->statusPanelText(3), FolderSummaryText(0, 0));
}

TEST_F(FileCommands, DeletePermanentlyRemovesInsteadOfTrashing)
{
    const QString dir = folder(QStringLiteral("perm"));
    images(dir, { QStringLiteral("a.jpg"), QStringLiteral("b.jpg") });
    WriteSetting(QStringLiteral("StartUp"), QStringLiteral("DeletePermanently"), std::int32_t(1));
    auto w = v7test::openWindowShown(dir, 5000);
    DialogScript script;
    script.message = [](const QString &) { return QStringLiteral("Yes"); };
    select(*w, { 0 });
    w->DeleteSelectedFiles(true);
    EXPECT_TRUE(script.messages.first().startsWith(QLatin1String("Permanently delete \"a.jpg\"?")))
        << script.messages.join(u'|').toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir + QStringLiteral("/a.jpg")));
    EXPECT_FALSE(QFileInfo::exists(root() + QStringLiteral("/data/Trash/files/a.jpg")));
    EXPECT_EQ(script.count(kUpdate), 0) << "quiet counts as No";
    EXPECT_EQ(w->fileList()->entries()[0].name, QStringLiteral("Deleted - a.jpg"));
}

TEST_F(FileCommands, SaveOverAnExistingFileAsksAndNoLeavesItAndSaveAsWritesTheFullSize)
{
    const QString dir = folder(QStringLiteral("save"));
    images(dir, { QStringLiteral("big.jpg") }, QSize(2400, 1600));
    images(dir, { QStringLiteral("small.jpg") });
    auto w = openWithThumbs(dir);
    const int big = w->fileList()->findName(QStringLiteral("big.jpg"));
    ASSERT_GE(big, 0);
    select(*w, { big });
    w->ShowCurrentImage(big); // the preview decodes it reduced for a 1000 x 700 window
    const QByteArray before = readFile(dir + QStringLiteral("/big.jpg"));

    DialogScript script;
    QString answer = QStringLiteral("No");
    script.message = [&](const QString &) { return answer; };
    EXPECT_FALSE(w->SaveImage(QImage(), false));
    EXPECT_EQ(script.count(QStringLiteral("File already exist, overwrite existing file")), 1);
    EXPECT_EQ(readFile(dir + QStringLiteral("/big.jpg")), before);

    // Save As under a new name: a new entry, the full size, the folder remembered.
    script.files = { dir + QStringLiteral("/copy.jpg") };
    const int rows = w->fileList()->rowCount();
    ASSERT_TRUE(w->SaveImage(QImage(), true));
    EXPECT_EQ(imageSize(dir + QStringLiteral("/copy.jpg")), QSize(2400, 1600));
    EXPECT_EQ(w->fileList()->rowCount(), rows + 1);
    const int copy = w->fileList()->findName(QStringLiteral("copy.jpg"));
    ASSERT_GE(copy, 0);
    EXPECT_EQ(w->fileList()->entries()[size_t(copy)].size, QFileInfo(dir + QStringLiteral("/copy.jpg")).size());
    EXPECT_EQ(w->lastSaveFolder(), dir);

    // Overwrite answered Yes: the written file's entry is updated, not the selected one.
    answer = QStringLiteral("Yes");
    const int small = w->fileList()->findName(QStringLiteral("small.jpg"));
    select(*w, { small });
    script.files = { dir + QStringLiteral("/big.jpg") };
    ASSERT_TRUE(w->SaveImage(QImage(), true));
    EXPECT_EQ(imageSize(dir + QStringLiteral("/big.jpg")), QSize(40, 30));
    const int bigRow = w->fileList()->findName(QStringLiteral("big.jpg"));
    EXPECT_EQ(w->fileList()->entries()[size_t(bigRow)].size, QFileInfo(dir + QStringLiteral("/big.jpg")).size());
    EXPECT_EQ(w->fileList()->entries()[size_t(w->fileList()->findName(QStringLiteral("small.jpg")))].size,
        QFileInfo(dir + QStringLiteral("/small.jpg")).size());
}

TEST_F(FileCommands, AScanIsSavedAsJpegAndAnUnservedTypeAsksAgain)
{
    const SaneConfig sane("test\n");
    ::dlopen("/usr/lib/x86_64-linux-gnu/sane/libsane-test.so.1", RTLD_NOW | RTLD_NODELETE);
    const QString dir = folder(QStringLiteral("scan"));
    images(dir, { QStringLiteral("a.jpg") });
    auto w = v7test::openWindowShown(dir, 5000);
    DialogScript script;
    script.files = { dir + QStringLiteral("/page.tif"), dir + QStringLiteral("/page.jpg") };
    w->Scan();
    if (script.inputs == 0 && script.fileDialogs == 0)
        GTEST_SKIP() << "SANE's test backend is not installed (libsane1 provides it)";
    EXPECT_EQ(script.inputs, 1) << "the source is chosen";
    EXPECT_EQ(script.fileDialogs, 2) << script.messages.join(u'|').toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir + QStringLiteral("/page.tif")));
    ASSERT_EQ(script.messages.size(), 1);
    EXPECT_TRUE(script.messages.first().contains(QLatin1String("cannot be saved")));
    const QSize size = imageSize(dir + QStringLiteral("/page.jpg"));
    EXPECT_FALSE(size.isEmpty());
    ImageFileInfo info;
    info.fileName = dir + QStringLiteral("/page.jpg");
    ASSERT_TRUE(GetImageInfo(info));
    EXPECT_EQ(info.format, QStringLiteral("JPEG"));
    EXPECT_EQ(w->fileList()->rowCount(), 1) << "a scan leaves the list as it is";
    // Once chosen, the source is kept for the run.
    script.files = { dir + QStringLiteral("/page2.jpg") };
    w->Scan();
    EXPECT_EQ(script.inputs, 1);
    EXPECT_TRUE(QFileInfo::exists(dir + QStringLiteral("/page2.jpg"))) << script.messages.join(u'|').toStdString();
}

TEST_F(FileCommands, FolderCopyAndMoveTakeTheirCachedThumbnailsAlong)
{
    const QString album = folder(QStringLiteral("album"));
    images(album, { QStringLiteral("a.jpg"), QStringLiteral("b.jpg") });
    images(folder(QStringLiteral("album/inner")), { QStringLiteral("c.jpg") });
    const QString copyTo = folder(QStringLiteral("copies"));
    const QString moveTo = folder(QStringLiteral("moved"));
    {
        auto inner = openWithThumbs(album + QStringLiteral("/inner"));
    }
    auto w = openWithThumbs(album);
    ASSERT_TRUE(waitForCached(album, 2));
    ASSERT_TRUE(waitForCached(album + QStringLiteral("/inner"), 1));
    DialogScript script;
    script.folder = copyTo;
    ASSERT_TRUE(w->CopyOrMoveFolder(album, 2));
    EXPECT_EQ(script.pickers, 1);
    EXPECT_TRUE(QFileInfo::exists(copyTo + QStringLiteral("/album/inner/c.jpg")));
    EXPECT_EQ(cachedThumbs(copyTo + QStringLiteral("/album")), 2);
    EXPECT_EQ(cachedThumbs(copyTo + QStringLiteral("/album/inner")), 1);
    EXPECT_EQ(cachedThumbs(album), 2) << "a copy leaves the source's thumbnails";

    // A second copy onto a folder that holds one of that name: nothing happens.
    EXPECT_FALSE(w->CopyOrMoveFolder(album, 2));
    EXPECT_EQ(script.messages.size(), 0);

    script.folder = moveTo;
    ASSERT_TRUE(w->CopyOrMoveFolder(album, 1));
    EXPECT_FALSE(QFileInfo::exists(album));
    EXPECT_EQ(cachedThumbs(moveTo + QStringLiteral("/album")), 2);
    EXPECT_EQ(cachedThumbs(moveTo + QStringLiteral("/album/inner")), 1);
    EXPECT_EQ(cachedThumbs(album), 0);
    EXPECT_EQ(w->currentFolder(), moveTo + QStringLiteral("/album"));
    EXPECT_EQ(w->folderTree()->findByKey(album), nullptr);
    EXPECT_EQ(FolderTreeWidget::keyOf(w->folderTree()->currentItem()), moveTo + QStringLiteral("/album"));
}

TEST_F(FileCommands, AFolderDroppedOnTheTreeMovesWithItsThumbnailsAndNeverIntoItself)
{
    const QString album = folder(QStringLiteral("album"));
    images(album, { QStringLiteral("a.jpg") });
    const QString target = folder(QStringLiteral("target"));
    auto w = openWithThumbs(album);
    ASSERT_TRUE(waitForCached(album, 1));
    DialogScript script;
    ASSERT_TRUE(w->folderTree()->ExpandToPath(target));
    ASSERT_TRUE(w->folderTree()->ExpandToPath(album));
    // Into its own subtree: refused with a word, nothing moves.
    QDir().mkpath(album + QStringLiteral("/sub"));
    EXPECT_FALSE(w->DropFilesOnFolder({ album }, album + QStringLiteral("/sub"), 1, 0));
    EXPECT_EQ(script.messages.size(), 1);
    EXPECT_TRUE(QFileInfo::exists(album + QStringLiteral("/a.jpg")));

    ASSERT_TRUE(w->DropFilesOnFolder({ album }, target, 1, 0));
    EXPECT_TRUE(QFileInfo::exists(target + QStringLiteral("/album/a.jpg")));
    EXPECT_EQ(cachedThumbs(target + QStringLiteral("/album")), 1);
    EXPECT_EQ(w->folderTree()->findByKey(album), nullptr) << "the source node is gone";
    EXPECT_NE(w->folderTree()->findByKey(target + QStringLiteral("/album")), nullptr) << "the destination shows it";
}

TEST_F(FileCommands, FilesDroppedFromAnotherVolumeAreCopiedAndWithShiftMoved)
{
    const QString mount = folder(QStringLiteral("volume"));
    if (::mount("tmpfs", QFile::encodeName(mount).constData(), "tmpfs", 0, "size=16m") != 0)
        GTEST_SKIP() << "mounting a tmpfs is not allowed here (" << std::strerror(errno)
                     << "); drops across file systems are not tested";
    struct Unmount {
        QString p;
        ~Unmount() { ::umount2(QFile::encodeName(p).constData(), MNT_DETACH); }
    } unmount { mount };
    images(mount, { QStringLiteral("x.jpg"), QStringLiteral("y.jpg") });
    const QString dir = folder(QStringLiteral("here"));
    images(dir, { QStringLiteral("a.jpg") });
    auto w = v7test::openWindowShown(dir, 5000);
    DialogScript script;
    // A move effect from another volume copies...
    ASSERT_TRUE(w->DropFilesOnFolder({ mount + QStringLiteral("/x.jpg") }, dir, 1, 0));
    EXPECT_TRUE(QFileInfo::exists(mount + QStringLiteral("/x.jpg")));
    EXPECT_EQ(readFile(dir + QStringLiteral("/x.jpg")), readFile(mount + QStringLiteral("/x.jpg")));
    // ...unless Shift is held.
    ASSERT_TRUE(w->DropFilesOnFolder({ mount + QStringLiteral("/y.jpg") }, dir, 2, 1));
    EXPECT_FALSE(QFileInfo::exists(mount + QStringLiteral("/y.jpg")));
    EXPECT_TRUE(QFileInfo::exists(dir + QStringLiteral("/y.jpg")));
    // A drop onto a file that exists asks first; Skip leaves it.
    script.message = [](const QString &) { return QStringLiteral("Skip"); };
    writeFile(mount + QStringLiteral("/a.jpg"), "other");
    EXPECT_TRUE(w->DropFilesOnFolder({ mount + QStringLiteral("/a.jpg") }, dir, 1, 1));
    EXPECT_NE(readFile(dir + QStringLiteral("/a.jpg")), QByteArray("other"));
    EXPECT_TRUE(QFileInfo::exists(mount + QStringLiteral("/a.jpg")));
    EXPECT_EQ(script.messages.size(), 1);
    // Moving a file of the listed folder away: "Moved - " on No.
    ASSERT_TRUE(QFile::remove(mount + QStringLiteral("/a.jpg")));
    script.message = [](const QString &) { return QStringLiteral("No"); };
    const int row = w->fileList()->findName(QStringLiteral("a.jpg"));
    ASSERT_GE(row, 0);
    ASSERT_TRUE(w->DropFilesOnFolder({ dir + QStringLiteral("/a.jpg") }, mount, 1, 1));
    EXPECT_EQ(w->fileList()->entries()[size_t(row)].name, QStringLiteral("Moved - a.jpg"));
    EXPECT_TRUE(script.messages.contains(kUpdate));
}

TEST_F(FileCommands, RefusedTargetsAndADeletedFolderRestoresFromTheDesktopTrash)
{
    const QString dir = folder(QStringLiteral("keep"));
    images(dir, { QStringLiteral("a.jpg") });
    auto w = v7test::openWindowShown(dir, 5000);
    DialogScript script;
    script.message = [](const QString &) { return QStringLiteral("Yes"); };
    EXPECT_FALSE(w->DeleteFolder(QStringLiteral("/")));
    EXPECT_FALSE(ShellFileOperation(w.get(), 3, QString(), { QDir::homePath() }));
    EXPECT_FALSE(ShellFileOperation(w.get(), 1, root(), { QStringLiteral("/proc") }));
    EXPECT_EQ(script.messages.size(), 2) << "each refusal says why";
    EXPECT_TRUE(QFileInfo::exists(QDir::homePath()));

    // A folder deleted from the tree takes its and its subfolders' thumbnails along.
    const QString gone = folder(QStringLiteral("gone"));
    images(gone, { QStringLiteral("g.jpg") });
    images(folder(QStringLiteral("gone/deeper")), { QStringLiteral("h.jpg") });
    {
        auto shown = openWithThumbs(gone);
        auto deeper = openWithThumbs(gone + QStringLiteral("/deeper"));
    }
    ASSERT_TRUE(waitForCached(gone, 1));
    ASSERT_TRUE(waitForCached(gone + QStringLiteral("/deeper"), 1));
    ASSERT_TRUE(w->folderTree()->ExpandToPath(gone));
    script.messages.clear();
    ASSERT_TRUE(w->DeleteFolder(gone));
    EXPECT_EQ(script.messages.value(0), QStringLiteral("Move \"gone\" to the trash?"));
    EXPECT_FALSE(QFileInfo::exists(gone));
    EXPECT_EQ(cachedThumbs(gone), 0);
    EXPECT_EQ(cachedThumbs(gone + QStringLiteral("/deeper")), 0);
    EXPECT_EQ(w->folderTree()->findByKey(gone), nullptr);
    EXPECT_EQ(w->currentFolder(), root() + QStringLiteral("/files")) << "the parent is listed";

    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    const QString session = QStandardPaths::findExecutable(QStringLiteral("dbus-run-session"));
    if (gio.isEmpty() || session.isEmpty())
        GTEST_SKIP() << "gio (libglib2.0-bin) and dbus-run-session are needed for the restore";
    const v7test::ProgramRun run = v7test::runProgram(session,
        { QStringLiteral("--"),
            QStringLiteral("gio"),
            QStringLiteral("trash"),
            QStringLiteral("--restore"),
            QStringLiteral("trash:///gone") });
    if (run.err.contains(QLatin1String("not supported")))
        GTEST_SKIP() << "gio has no trash:// here (gvfs provides it)";
    ASSERT_EQ(run.code, 0) << run.err.toStdString();
    EXPECT_TRUE(QFileInfo::exists(gone + QStringLiteral("/g.jpg"))) << "restored to its original path";
}

TEST_F(FileCommands, NewFolderOnAReadOnlyVolumeDoesNothing)
{
    const QString dir = folder(QStringLiteral("plain"));
    images(dir, { QStringLiteral("a.jpg") });
    const QString ro = folder(QStringLiteral("readonly"));
    if (::mount("tmpfs", QFile::encodeName(ro).constData(), "tmpfs", MS_RDONLY, "size=1m") != 0)
        GTEST_SKIP() << "mounting a read-only tmpfs is not allowed here (" << std::strerror(errno) << ")";
    struct Unmount {
        QString p;
        ~Unmount() { ::umount2(QFile::encodeName(p).constData(), MNT_DETACH); }
    } unmount { ro };
    auto w = v7test::openWindowShown(dir, 5000);
    const auto newFolders = [](QTreeWidgetItem *node) {
        int n = 0;
        for (int i = 0; i < node->childCount(); ++i)
            n += node->child(i)->text(0) == QLatin1String("New Folder");
        return n;
    };
    ASSERT_TRUE(w->folderTree()->ExpandToPath(ro));
    QTreeWidgetItem *roNode = w->folderTree()->currentItem();
    ASSERT_EQ(FolderTreeWidget::keyOf(roNode), ro);
    w->FileOpsMenuCommand(0);
    EXPECT_EQ(newFolders(roNode), 0);
    EXPECT_EQ(w->folderTree()->currentItem(), roNode);
    // A writable folder gets its "New Folder" node to name.
    ASSERT_TRUE(w->folderTree()->ExpandToPath(dir));
    QTreeWidgetItem *dirNode = w->folderTree()->currentItem();
    w->FileOpsMenuCommand(0);
    EXPECT_EQ(newFolders(dirNode), 1);
}

TEST_F(FileCommands, AScanWithoutAnyScannerSaysSo)
{
    const SaneConfig sane("# no backends\n");
    const QString dir = folder(QStringLiteral("noscan"));
    images(dir, { QStringLiteral("a.jpg") });
    auto w = v7test::openWindowShown(dir, 5000);
    DialogScript script;
    w->Scan();
    ASSERT_EQ(script.messages.size(), 1);
    EXPECT_TRUE(script.messages.first().startsWith(QLatin1String("No scanner was found.")));
    EXPECT_EQ(script.inputs, 0);
    EXPECT_EQ(script.fileDialogs, 0);
}

TEST_F(FileCommands, FilesFromAnotherProgramDroppedOnATreeNodeAreCopiedThere)
{
    const QString dir = folder(QStringLiteral("list"));
    images(dir, { QStringLiteral("a.jpg") });
    const QString elsewhere = folder(QStringLiteral("elsewhere"));
    images(elsewhere, { QStringLiteral("dropped.jpg") });
    auto w = v7test::openWindowShown(dir, 5000);
    DialogScript script;
    FolderTreeWidget *tree = w->folderTree();
    ASSERT_TRUE(tree->ExpandToPath(dir));
    QTreeWidgetItem *node = tree->findByKey(dir);
    ASSERT_NE(node, nullptr);
    tree->scrollToItem(node);
    // What a file manager offers: text/uri-list with file URLs.
    QMimeData mime;
    mime.setData(QStringLiteral("text/uri-list"),
        QUrl::fromLocalFile(elsewhere + QStringLiteral("/dropped.jpg")).toEncoded() + "\r\n");
    const QPointF at = tree->visualItemRect(node).center();
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(tree->viewport(), &enter);
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(tree->viewport(), &drop);
    EXPECT_EQ(readFile(dir + QStringLiteral("/dropped.jpg")), readFile(elsewhere + QStringLiteral("/dropped.jpg")));
    EXPECT_TRUE(QFileInfo::exists(elsewhere + QStringLiteral("/dropped.jpg"))) << "a copy leaves the source";
}

TEST_F(FileCommands, SaveOfATaggedRowFromAnotherFolderRewritesThatFileNotItsNamesakeHere)
{
    const QString dir = folder(QStringLiteral("here"));
    const QString other = folder(QStringLiteral("there"));
    images(dir, { QStringLiteral("same.jpg") }, QSize(40, 30));
    images(other, { QStringLiteral("same.jpg") }, QSize(64, 48));
    auto w = v7test::openWindowShown(dir, 5000);
    const int row = w->fileList()->findName(QStringLiteral("same.jpg"));
    ASSERT_GE(row, 0);
    w->fileList()->entry(row).folder = other; // as a tagged list holds it
    select(*w, { row });
    const QByteArray here = readFile(dir + QStringLiteral("/same.jpg"));
    const QByteArray there = readFile(other + QStringLiteral("/same.jpg"));
    DialogScript script;
    script.message = [](const QString &) { return QStringLiteral("Yes"); };
    ASSERT_TRUE(w->SaveImage(QImage(), false));
    EXPECT_EQ(readFile(dir + QStringLiteral("/same.jpg")), here) << "the namesake in the listed folder is untouched";
    EXPECT_NE(readFile(other + QStringLiteral("/same.jpg")), there);
    EXPECT_EQ(imageSize(other + QStringLiteral("/same.jpg")), QSize(64, 48));
}
