// The key map, menus, tagging and hand-off in the real main window.
#include "BrowserWindowHelpers.h"
#include "TestEnv.h"
#include "app/CustomFrame.h"
#include "app/Settings.h"
#include "app/Startup.h"
#include "app/WindowState.h"
#include "browser/FileListModel.h"
#include "browser/FolderTreeWidget.h"
#include "fileops/Frm_FileOps.h"
#include "imaging/widgets/DrawView.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/MainToolbar.h"
#include "platform/Shell.h"
#include "thumbs/BitmapStore.h"
#include "thumbs/OLEStorage.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

using namespace v7;

namespace
{

class MainCommandsWindow : public v7test::TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        settings() = Settings();
        LoadSettings();
        folderA = root() + QStringLiteral("/A");
        folderB = root() + QStringLiteral("/B");
        makeImage(folderA + QStringLiteral("/a1.png"), QSize(64, 48), Qt::red);
        makeImage(folderA + QStringLiteral("/a2.png"), QSize(64, 48), Qt::green);
        makeImage(folderB + QStringLiteral("/b1.png"), QSize(640, 480), Qt::blue);
        makeImage(folderB + QStringLiteral("/b2.png"), QSize(50, 40), Qt::yellow);
    }
    void TearDown() override
    {
        UnregisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid())));
        TempHome::TearDown();
    }
    // Thumbnail jobs make thumbnails only once the process carries its marker, as the
    // program's main window gives it; the tests that look at thumbnails ask for it.
    static void makeThumbnails() { RegisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid()))); }
    static void makeImage(const QString &path, QSize size, Qt::GlobalColor color)
    {
        QImage image(size, QImage::Format_RGB32);
        image.fill(color);
        v7test::writeFile(path, QByteArray()); // makes the folder
        ASSERT_TRUE(image.save(path));
    }
    std::unique_ptr<Frm_Main> open(const QString &folder) { return v7test::openWindowShown(folder, 5000); }
    static void select(Frm_Main &w, std::initializer_list<int> rows)
    {
        QTreeView *list = w.fileListView();
        list->setSelectionMode(QAbstractItemView::ExtendedSelection);
        list->clearSelection();
        for (int r : rows)
            list->selectionModel()->select(
                w.fileList()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        list->selectionModel()->setCurrentIndex(w.fileList()->index(*rows.begin(), 0), QItemSelectionModel::NoUpdate);
    }
    static void ctrl(QWidget *to, Qt::Key key) { QTest::keyClick(to, key, Qt::ControlModifier); }
    // The menu's visible captions, read while it shows and then closed.
    static QStringList shownCaptions(QMenu *menu)
    {
        QStringList out;
        for (QAction *a : menu->actions())
            if (a->isVisible())
                out << (a->isSeparator() ? QStringLiteral("-") : a->text());
        return out;
    }
    QString folderA, folderB;
};

// Answers every modal dialog while it lives: message boxes with their "Yes" (else
// their default), any other dialog is rejected; records each one's class name.
struct ModalAnswerer {
    QStringList seen;
    QTimer timer;
    std::function<void(QDialog *)> onDialog; // instead of the rejection
    ModalAnswerer()
    {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            QWidget *w = QApplication::activeModalWidget();
            if (!w)
                return;
            seen << QString::fromLatin1(w->metaObject()->className());
            if (auto *box = qobject_cast<QMessageBox *>(w)) {
                QAbstractButton *yes = box->button(QMessageBox::Yes);
                (yes ? yes : static_cast<QAbstractButton *>(box->defaultButton()))->click();
            } else if (auto *dialog = qobject_cast<QDialog *>(w)) {
                if (onDialog)
                    onDialog(dialog);
                else
                    dialog->reject();
            }
        });
        timer.start(30);
    }
};

} // namespace

TEST_F(MainCommandsWindow, TaggedListFromTwoFoldersShowsEveryFile)
{
    auto w = open(folderA);
    ASSERT_EQ(v7test::listedNames(*w), QStringList({ "a1.png", "a2.png" }));
    select(*w, { 0, 1 });
    ctrl(w->fileListView(), Qt::Key_T);
    ASSERT_TRUE(w->ListFolder(folderB));
    select(*w, { 0 });
    ctrl(w->fileListView(), Qt::Key_T);
    EXPECT_EQ(w->taggedFiles(),
        QStringList({ folderA + QStringLiteral("/a1.png"),
            folderA + QStringLiteral("/a2.png"),
            folderB + QStringLiteral("/b1.png") }));

    ctrl(w->fileListView(), Qt::Key_L);
    ASSERT_EQ(v7test::listedNames(*w), QStringList({ "a1.png", "a2.png", "b1.png" }));
    for (int row = 0; row < 3; ++row) {
        EXPECT_TRUE(w->fileList()->entries()[size_t(row)].tagged);
        w->ShowCurrentImage(row);
        // Every file shows, the two of folder A too, although B is the current folder.
        EXPECT_TRUE(w->imagePane()->hasImage()) << row;
        EXPECT_TRUE(w->previewNotice().isEmpty()) << row;
    }
    EXPECT_EQ(w->filePathAt(0), folderA + QStringLiteral("/a1.png"));
    EXPECT_EQ(w->filePathAt(2), folderB + QStringLiteral("/b1.png"));
    EXPECT_EQ(w->fileList()->entries()[0].size, QFileInfo(folderA + QStringLiteral("/a1.png")).size());
    // Its drag carries the right files too.
    std::unique_ptr<QMimeData> drag(w->fileList()->mimeData({ w->fileList()->index(0, 0) }));
    EXPECT_EQ(drag->urls().value(0).toLocalFile(), folderA + QStringLiteral("/a1.png"));
    w->close();
}

TEST_F(MainCommandsWindow, ListTaggedNeedsTwoTagsAndCtrlTInvertsEachFile)
{
    auto w = open(folderA);
    select(*w, { 0 });
    ctrl(w->fileListView(), Qt::Key_T);
    EXPECT_EQ(w->taggedFiles().size(), 1);
    EXPECT_FALSE(w->commandAction(CommandId::OpenLastTagged)->isEnabled());
    ASSERT_TRUE(w->ListFolder(folderB));
    ctrl(w->fileListView(), Qt::Key_L); // one tag: nothing happens
    EXPECT_EQ(v7test::listedNames(*w), QStringList({ "b1.png", "b2.png" }));

    // A mixed selection: each file flips.
    ASSERT_TRUE(w->ListFolder(folderA));
    EXPECT_FALSE(w->fileList()->entries()[0].tagged); // a new listing shows no marks
    select(*w, { 0 });
    ctrl(w->fileListView(), Qt::Key_T); // a1 is in the set already: marked, set unchanged
    EXPECT_EQ(w->taggedFiles(), QStringList({ folderA + QStringLiteral("/a1.png") }));
    select(*w, { 0, 1 });
    ctrl(w->fileListView(), Qt::Key_T);
    EXPECT_FALSE(w->fileList()->entries()[0].tagged);
    EXPECT_TRUE(w->fileList()->entries()[1].tagged);
    EXPECT_EQ(w->taggedFiles(), QStringList({ folderA + QStringLiteral("/a2.png") }));
    select(*w, { 0 });
    ctrl(w->fileListView(), Qt::Key_T);
    EXPECT_EQ(w->taggedFiles().size(), 2);
    EXPECT_TRUE(w->commandAction(CommandId::OpenLastTagged)->isEnabled());
    w->close();
}

TEST_F(MainCommandsWindow, TagsAreKeptAcrossRunsWithoutVanishedFiles)
{
    {
        auto w = open(folderB);
        select(*w, { 0, 1 });
        ctrl(w->fileListView(), Qt::Key_T);
        w->close();
    }
    {
        auto w = open(folderA);
        EXPECT_EQ(w->taggedFiles(),
            QStringList({ folderB + QStringLiteral("/b1.png"), folderB + QStringLiteral("/b2.png") }));
        EXPECT_TRUE(w->commandAction(CommandId::OpenLastTagged)->isEnabled());
        w->close();
    }
    ASSERT_TRUE(QFile::remove(folderB + QStringLiteral("/b1.png")));
    auto w = open(folderA);
    EXPECT_EQ(w->taggedFiles(), QStringList({ folderB + QStringLiteral("/b2.png") }));
    w->close();
}

TEST_F(MainCommandsWindow, ContextMenuHidesThreeItemsAndF1ShowsThemAgain)
{
    auto w = open(folderA);
    select(*w, { 1 });
    ctrl(w->fileListView(), Qt::Key_T);
    QList<QStringList> seen;
    QString defaultItem;
    QObject::connect(w.get(), &Frm_Main::menuShown, [&](QMenu *menu) {
        QTimer::singleShot(0, menu, [&, menu] {
            seen << shownCaptions(menu);
            defaultItem = menu->defaultAction() ? menu->defaultAction()->text() : QString();
            menu->close();
        });
    });
    QTreeView *list = w->fileListView();
    const QPoint at = list->visualRect(w->fileList()->index(1, 0)).center();
    QTest::mouseClick(list->viewport(), Qt::RightButton, Qt::NoModifier, at);
    ASSERT_EQ(seen.size(), 1);
    const QStringList context = seen[0];
    EXPECT_EQ(context.value(0), QStringLiteral("&Untag image"));
    for (const char *gone : { "List &Image Properties", "Scan...", "E&xit" })
        EXPECT_FALSE(context.contains(QLatin1String(gone))) << gone;
    EXPECT_TRUE(context.contains(QStringLiteral("&Print")));
    EXPECT_EQ(context.last(), QStringLiteral("&Print"));

    QTest::keyClick(list, Qt::Key_F1);
    ASSERT_EQ(seen.size(), 2);
    for (const char *back : { "List &Image Properties", "Scan...", "E&xit" })
        EXPECT_TRUE(seen[1].contains(QLatin1String(back))) << back;
    // The context form is the main menu without the three items and the separator
    // above each, whatever else the menu holds; the main menu names the tag command
    // as a listing does, not as it was for the file under the pointer.
    QStringList expected = seen[1];
    for (const char *gone : { "List &Image Properties", "Scan...", "E&xit" }) {
        const qsizetype i = expected.indexOf(QLatin1String(gone));
        ASSERT_GT(i, 0) << gone;
        ASSERT_EQ(expected[i - 1], QStringLiteral("-")) << gone;
        expected.remove(i - 1, 2);
    }
    expected[0] = context[0];
    EXPECT_EQ(context, expected);
    EXPECT_EQ(seen[1].value(0), QStringLiteral("&Tag image"));
    EXPECT_EQ(defaultItem, QStringLiteral("&Copy to clipboard"));

    // An untagged file offers "&Tag image"; the Apps key opens the same form.
    select(*w, { 0 });
    QTest::keyClick(list, Qt::Key_Menu);
    ASSERT_EQ(seen.size(), 3);
    EXPECT_EQ(seen[2].value(0), QStringLiteral("&Tag image"));
    EXPECT_FALSE(seen[2].contains(QStringLiteral("E&xit")));
    w->close();
}

TEST_F(MainCommandsWindow, PrintWritesTheImageAndItsLinesToPdf)
{
    if (QProcess::execute(QStringLiteral("pdftotext"), { QStringLiteral("-v") }) < 0)
        GTEST_SKIP() << "pdftotext is not installed";
    auto w = open(folderB);
    const QString pdf = root() + QStringLiteral("/out.pdf");
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(pdf);
    ASSERT_TRUE(w->PrintTo(printer, 0));
    const FileEntry &e = w->fileList()->entries()[0];
    const v7test::ProgramRun text = v7test::runProgram(QStringLiteral("pdftotext"), { pdf, QStringLiteral("-") });
    ASSERT_EQ(text.code, 0) << text.err.toStdString();
    EXPECT_TRUE(text.out.contains(QStringLiteral("b1.png"))) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains(FormatThousands(e.size) + QStringLiteral(" bytes"))) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains(FormatFileDate(e.modified()))) << text.out.toStdString();
    // A file that cannot be read prints nothing.
    v7test::writeFile(folderB + QStringLiteral("/b1.png"), "not an image");
    QPrinter again(QPrinter::HighResolution);
    again.setOutputFormat(QPrinter::PdfFormat);
    again.setOutputFileName(root() + QStringLiteral("/bad.pdf"));
    EXPECT_FALSE(w->PrintTo(again, 0));
    EXPECT_FALSE(QFile::exists(root() + QStringLiteral("/bad.pdf")));
    w->close();
}

TEST_F(MainCommandsWindow, CopyPutsTheFullSizeImageAndItsFileOnTheClipboard)
{
    auto w = open(folderB);
    select(*w, { 0 });
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    ctrl(w->fileListView(), Qt::Key_C);
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(data, nullptr);
    ASSERT_TRUE(data->hasImage());
    EXPECT_EQ(qvariant_cast<QImage>(data->imageData()).size(), QSize(640, 480));
    EXPECT_EQ(data->urls(), QList<QUrl>({ QUrl::fromLocalFile(folderB + QStringLiteral("/b1.png")) }));
    EXPECT_TRUE(data->hasFormat(QStringLiteral("text/uri-list")));

    // A file that does not load leaves the clipboard as it was.
    QGuiApplication::clipboard()->setText(QStringLiteral("kept"));
    v7test::writeFile(folderB + QStringLiteral("/b2.png"), "broken");
    select(*w, { 1 });
    EXPECT_FALSE(w->CopyToClipboard());
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("kept"));
    w->close();
}

TEST_F(MainCommandsWindow, EditorCommandGetsTheFile)
{
    const QString out = root() + QStringLiteral("/editor-got");
    WriteSetting(QStringLiteral("StartUp"),
        QStringLiteral("EditorCommand"),
        QStringLiteral("/bin/sh -c 'printf %s \"$0\" > ") + out + QStringLiteral("' %f"));
    auto w = open(folderB);
    select(*w, { 1 });
    ctrl(w->fileListView(), Qt::Key_O);
    ASSERT_TRUE(v7test::waitUntil([&] { return QFileInfo(out).size() > 0; }, 20000));
    EXPECT_EQ(v7test::readFile(out), (folderB + QStringLiteral("/b2.png")).toUtf8());
    w->close();
}

TEST_F(MainCommandsWindow, CopyStartsTheEditorOnlyWhenItIsNotRunning)
{
    const QString out = root() + QStringLiteral("/editor-starts");
    const QString editor = root() + QStringLiteral("/my-editor");
    v7test::writeFile(editor, "#!/bin/sh\necho \"$1\" >> '" + out.toUtf8() + "'\nsleep 2\n");
    ASSERT_TRUE(QFile::setPermissions(editor, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    WriteSetting(QStringLiteral("StartUp"), QStringLiteral("EditorCommand"), editor + QStringLiteral(" %f"));
    const auto starts = [&] { return v7test::readFile(out).count('\n'); };
    auto w = open(folderB);
    select(*w, { 1 });
    ctrl(w->fileListView(), Qt::Key_C);
    ASSERT_TRUE(v7test::waitUntil([&] { return starts() == 1; }, 20000));
    // While it runs, a second copy only fills the clipboard.
    ctrl(w->fileListView(), Qt::Key_C);
    QTest::qWait(500);
    EXPECT_EQ(starts(), 1);
    EXPECT_FALSE(QGuiApplication::clipboard()->image().isNull());
    // Once it has ended, the next copy starts it again.
    ASSERT_TRUE(v7test::waitUntil([&] { return !ProgramRunning(editor); }, 20000));
    ctrl(w->fileListView(), Qt::Key_C);
    EXPECT_TRUE(v7test::waitUntil([&] { return starts() == 2; }, 20000)) << starts();
    w->close();
}

TEST_F(MainCommandsWindow, DisabledCtrlKeyIsSwallowed)
{
    auto w = open(root()); // nothing listed: the file commands are disabled
    EXPECT_FALSE(w->commandAction(CommandId::ConvertFiles)->isEnabled());
    QLineEdit *edit = w->filterBox()->lineEdit();
    edit->setText(QStringLiteral("ab"));
    QGuiApplication::clipboard()->setText(QStringLiteral("pasted"));
    ctrl(edit, Qt::Key_V); // "Con&vert File(s)", disabled: nothing, and no paste either
    EXPECT_EQ(edit->text(), QStringLiteral("ab"));
    QTest::keyClick(edit, Qt::Key_3);
    EXPECT_EQ(edit->text(), QStringLiteral("ab3")); // digits are text there, not zoom
    EXPECT_EQ(w->zoom().text(), QStringLiteral("1"));
    w->close();
}

TEST_F(MainCommandsWindow, PreviewKeysWrapAndPaneIndicatorFollowsFocus)
{
    auto w = open(folderB);
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    w->fileListView()->setFocus();
    EXPECT_EQ(w->statusPanelText(2), QStringLiteral("Files"));
    QWidget *image = w->imagePane();
    select(*w, { 1 });
    // A click on the preview gives it the focus (the press it passes up to the
    // panes' container must not send the focus back to the list).
    QTest::mouseClick(image, Qt::LeftButton, Qt::NoModifier, image->rect().center());
    EXPECT_EQ(QApplication::focusWidget(), image);
    EXPECT_EQ(w->statusPanelText(2), QStringLiteral("Image"));
    // The right button there offers the main menu in its context form.
    QStringList shown;
    const auto connection = QObject::connect(w.get(), &Frm_Main::menuShown, [&](QMenu *menu) {
        QTimer::singleShot(0, menu, [&, menu] {
            shown = shownCaptions(menu);
            menu->close();
        });
    });
    QTest::mouseClick(image, Qt::RightButton, Qt::NoModifier, image->rect().center());
    QObject::disconnect(connection);
    EXPECT_FALSE(shown.isEmpty());
    EXPECT_FALSE(shown.contains(QStringLiteral("E&xit")));
    image->setFocus();
    QTest::keyClick(image, Qt::Key_PageDown); // from the last to the first
    EXPECT_EQ(w->fileListView()->currentIndex().row(), 0);
    QTest::keyClick(image, Qt::Key_PageUp); // from the first to the last
    EXPECT_EQ(w->fileListView()->currentIndex().row(), 1);
    QTest::keyClick(image, Qt::Key_Space);
    EXPECT_EQ(w->fileListView()->currentIndex().row(), 0);
    QTest::keyClick(image, Qt::Key_Tab);
    // Tab writes the name; the focus then moves and the indicator names the new pane.
    EXPECT_FALSE(w->statusPanelText(2).isEmpty());

    // A press on "View" opens its menu at the window's left, level with the label.
    QPoint menuAt;
    QString menuName;
    QStringList viewCaptions;
    QList<QAction *> viewActions;
    const auto viewMenu = QObject::connect(w.get(), &Frm_Main::menuShown, [&](QMenu *menu) {
        QTimer::singleShot(0, menu, [&, menu] {
            menuAt = menu->pos();
            menuName = menu->objectName();
            viewCaptions = shownCaptions(menu);
            viewActions = menu->actions();
            menu->close();
        });
    });
    // The pointer leaves the label while the menu holds the mouse: the label must
    // not stay highlighted once the menu is gone.
    w->toolbar()->label(1)->setAttribute(Qt::WA_UnderMouse, true);
    QCursor::setPos(w->mapToGlobal(QPoint(w->width() / 2, w->height() - 5)));
    QTest::mousePress(w->toolbar()->label(1), Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
    EXPECT_FALSE(w->toolbar()->label(1)->testAttribute(Qt::WA_UnderMouse));
    QObject::disconnect(viewMenu);
    QTest::mouseRelease(w->toolbar()->label(1), Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
    EXPECT_EQ(menuName, QStringLiteral("Mnu_ImageView"));
    // The window menu's entries are there too, for desktops that take Alt+Space.
    EXPECT_EQ(viewCaptions,
        QStringList({ "Show Folder && Files",
            "Show Image Preview",
            "Show Thumbnails",
            "-",
            "   Custom &windows style",
            "   Refresh thumbnails" }));
    EXPECT_TRUE(viewActions.contains(w->commandAction(CommandId::CustomWindowStyle)));
    EXPECT_TRUE(viewActions.contains(w->commandAction(CommandId::RefreshThumbnails)));
    EXPECT_EQ(menuAt.x(), w->mapToGlobal(QPoint(3, 0)).x());
    EXPECT_EQ(menuAt.y(), w->toolbar()->label(1)->mapToGlobal(QPoint(0, w->toolbar()->label(1)->height())).y());

    // The zoom label: minus end, middle, plus end.
    QLabel *zoom = w->toolbar()->label(8);
    QTest::mouseClick(zoom, Qt::LeftButton, Qt::NoModifier, QPoint(zoom->width() - 2, 5));
    EXPECT_EQ(w->zoom().text(), QStringLiteral("1.25"));
    QTest::mouseClick(zoom, Qt::LeftButton, Qt::NoModifier, QPoint(zoom->width() / 2, 5));
    EXPECT_EQ(w->zoom().text(), QStringLiteral("1.25"));
    QTest::mouseClick(zoom, Qt::LeftButton, Qt::NoModifier, QPoint(1, 5));
    EXPECT_EQ(w->zoom().text(), QStringLiteral("1"));
    w->close();
}

TEST_F(MainCommandsWindow, ExitWhileTheStoreIsBusyEndsTheWindow)
{
    const QString many = root() + QStringLiteral("/many");
    QImage big(1200, 900, QImage::Format_RGB32);
    for (int y = 0; y < big.height(); ++y)
        for (int x = 0; x < big.width(); ++x)
            big.setPixel(x, y, qRgb(x * 7 % 256, y * 3 % 256, (x ^ y) % 256));
    v7test::writeFile(many + QStringLiteral("/x"), QByteArray());
    for (int i = 0; i < 60; ++i)
        ASSERT_TRUE(big.save(many + QStringLiteral("/p%1.jpg").arg(i, 3, 10, QLatin1Char('0')), "JPG", 95));
    makeThumbnails();
    auto w = open(many);
    ASSERT_TRUE(w->isVisible());
    ASSERT_TRUE(w->store() && !w->store()->finished()) << "the display ended before the exit";
    ctrl(w->fileListView(), Qt::Key_X);
    // Refused at first: the close comes from the close timer.
    EXPECT_TRUE(w->isVisible());
    ASSERT_TRUE(v7test::waitUntil([&] { return !w->isVisible(); }, 60000));
    EXPECT_EQ(w->store(), nullptr);
    // The state was saved on the way out.
    EXPECT_EQ(settingToText(ReadSetting(QStringLiteral("StartUp"), QStringLiteral("LastFolder"))), many);
}

TEST_F(MainCommandsWindow, DeleteInATaggedListRemovesTheTaggedFileNotItsNamesake)
{
    // Folder B holds a file of the same name as the one tagged in A.
    makeImage(folderB + QStringLiteral("/a1.png"), QSize(20, 20), Qt::cyan);
    auto w = open(folderA);
    select(*w, { 0, 1 });
    ctrl(w->fileListView(), Qt::Key_T);
    ASSERT_TRUE(w->ListFolder(folderB));
    ctrl(w->fileListView(), Qt::Key_L);
    ASSERT_EQ(v7test::listedNames(*w), QStringList({ "a1.png", "a2.png" }));
    select(*w, { 0 });
    ModalAnswerer answers;
    // The Delete key of the list runs the delete command.
    QTest::keyClick(w->fileListView(), Qt::Key_Delete);
    EXPECT_FALSE(answers.seen.isEmpty()) << "no confirmation: the key did nothing";
    EXPECT_FALSE(QFileInfo::exists(folderA + QStringLiteral("/a1.png")));
    EXPECT_TRUE(QFileInfo::exists(folderB + QStringLiteral("/a1.png")));
    EXPECT_TRUE(QFileInfo::exists(folderA + QStringLiteral("/a2.png")));

    // The deleted file is no longer offered: one tag left, so Ctrl+L lists nothing new.
    ASSERT_TRUE(w->ListFolder(folderB));
    ctrl(w->fileListView(), Qt::Key_L);
    EXPECT_EQ(v7test::listedNames(*w), QStringList({ "a1.png", "b1.png", "b2.png" }));
    EXPECT_EQ(w->taggedFiles(), QStringList({ folderA + QStringLiteral("/a2.png") }));
    w->close();
}

TEST_F(MainCommandsWindow, TaggedListGridShowsEachFilesOwnPictureNotTheCurrentFoldersNamesake)
{
    // B holds a file named as one tagged in A, and its thumbnail is cached when B shows.
    makeImage(folderB + QStringLiteral("/a1.png"), QSize(64, 48), Qt::cyan);
    makeThumbnails();
    auto w = open(folderA);
    select(*w, { 0, 1 });
    ctrl(w->fileListView(), Qt::Key_T);
    const auto cachedInB = [this] {
        ThumbIndex index;
        OLEStorage::LoadFolderIndexInto(OLEStorage::FolderStorageName(folderB), index);
        return index.size();
    };
    ASSERT_TRUE(w->ListFolder(folderB));
    ASSERT_TRUE(QTest::qWaitFor([&] { return cachedInB() == 3; }, 60000)) << "B's thumbnails were not cached";
    ctrl(w->fileListView(), Qt::Key_L);
    ASSERT_EQ(v7test::listedNames(*w), QStringList({ "a1.png", "a2.png" }));
    BitmapStore *store = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            store = w->store();
            return store && store->arrived(0) && store->arrived(1);
        },
        60000));
    const Settings &cfg = settings();
    const auto centre = [&](int index) {
        QImage cell(cfg.ThumbW + 2 * cfg.MarginW, cfg.ThumbH + 2 * cfg.MarginH, QImage::Format_RGB32);
        cell.fill(Qt::black);
        QPainter p(&cell);
        store->DrawStoredThumb(p, index);
        p.end();
        return cell.pixelColor(cfg.MarginW + cfg.ThumbW / 2, cfg.MarginH + cfg.ThumbH / 2);
    };
    for (int row = 0; row < 2; ++row) {
        EXPECT_TRUE(store->hasThumb(row)) << row;
        EXPECT_FALSE(store->isBroken(row)) << row;
    }
    const QColor first = centre(0), second = centre(1);
    EXPECT_TRUE(first.red() > 200 && first.green() < 60 && first.blue() < 60) << "A's red a1.png, not B's cyan one";
    EXPECT_TRUE(second.green() > 100 && second.red() < 60) << "A's green a2.png";
    // A's files did not enter B's storage, and B's own a1.png keeps its thumbnail.
    QTest::qWait(200); // the job's last commit
    EXPECT_EQ(cachedInB(), 3) << "b1.png, b2.png and B's a1.png";
    w->close();
}

TEST_F(MainCommandsWindow, BatchDialogOfATaggedListWorksInTheFilesOwnFolder)
{
    auto w = open(folderA);
    select(*w, { 0, 1 });
    ctrl(w->fileListView(), Qt::Key_T);
    ASSERT_TRUE(w->ListFolder(folderB));
    select(*w, { 0 });
    ctrl(w->fileListView(), Qt::Key_T);
    ctrl(w->fileListView(), Qt::Key_L);
    ASSERT_EQ(v7test::listedNames(*w), QStringList({ "a1.png", "a2.png", "b1.png" }));
    select(*w, { 0, 1, 2 });
    QStringList names;
    ModalAnswerer answers;
    answers.onDialog = [&](QDialog *d) {
        if (auto *ops = qobject_cast<Frm_FileOps *>(d))
            names = ops->currentNames();
        d->reject();
    };
    QTest::keyClick(w->fileListView(), Qt::Key_F2);
    ASSERT_TRUE(answers.seen.contains(QStringLiteral("v7::Frm_FileOps"))) << answers.seen.join(u',').toStdString();
    // The two files of folder A, not b1.png looked for there (nor a1 and a2 in B).
    EXPECT_EQ(names, QStringList({ "a1.png", "a2.png" }));
    w->close();
}

TEST_F(MainCommandsWindow, TaggedRowsFromAnotherFolderReadTheirOwnPropertiesAndFollowARename)
{
    // A holds a namesake of B's b1.png; both are tagged and listed together.
    makeImage(folderA + QStringLiteral("/b1.png"), QSize(30, 20), Qt::magenta);
    auto w = open(folderA);
    select(*w, { 0, 1, 2 });
    ctrl(w->fileListView(), Qt::Key_T);
    ASSERT_TRUE(w->ListFolder(folderB));
    select(*w, { 0 });
    ctrl(w->fileListView(), Qt::Key_T);
    ctrl(w->fileListView(), Qt::Key_L);
    ASSERT_EQ(v7test::listedNames(*w), QStringList({ "a1.png", "a2.png", "b1.png", "b1.png" }));
    ASSERT_EQ(w->filePathAt(2), folderA + QStringLiteral("/b1.png"));

    // "List Image Properties" reads each row's own file, not the current folder's namesake.
    ctrl(w->fileListView(), Qt::Key_I);
    const auto properties = [&](int row) { return w->fileList()->entries()[size_t(row)].properties; };
    EXPECT_TRUE(properties(0).startsWith(QStringLiteral("64 x 48"))) << properties(0).toStdString();
    EXPECT_TRUE(properties(2).startsWith(QStringLiteral("30 x 20"))) << properties(2).toStdString();
    EXPECT_TRUE(properties(3).startsWith(QStringLiteral("640 x 480"))) << properties(3).toStdString();
    ctrl(w->fileListView(), Qt::Key_I);

    // A batch rename in B (the listed folder) renames B's row only; one in A (not the
    // listed folder) reaches A's rows. The tags follow, in their order.
    ASSERT_TRUE(QFile::rename(folderB + QStringLiteral("/b1.png"), folderB + QStringLiteral("/c1.png")));
    w->applyRenamedFiles(folderB, { { QStringLiteral("b1.png"), QStringLiteral("c1.png") } });
    ASSERT_TRUE(QFile::rename(folderA + QStringLiteral("/a1.png"), folderA + QStringLiteral("/z1.png")));
    w->applyRenamedFiles(folderA, { { QStringLiteral("a1.png"), QStringLiteral("z1.png") } });
    EXPECT_EQ(v7test::listedNames(*w), QStringList({ "z1.png", "a2.png", "b1.png", "c1.png" }));
    EXPECT_EQ(w->filePathAt(0), folderA + QStringLiteral("/z1.png"));
    EXPECT_EQ(w->filePathAt(2), folderA + QStringLiteral("/b1.png"));
    EXPECT_EQ(w->taggedFiles(),
        QStringList({ folderA + QStringLiteral("/z1.png"),
            folderA + QStringLiteral("/a2.png"),
            folderA + QStringLiteral("/b1.png"),
            folderB + QStringLiteral("/c1.png") }));
    // Kept so across runs.
    EXPECT_EQ(TaggedSet::load(TaggedSet::defaultFile()).paths(), w->taggedFiles());
    w->close();
}

TEST_F(MainCommandsWindow, FileAndFolderCommandsAreReachedFromKeysAndMenus)
{
    auto w = open(folderB);
    select(*w, { 0 });
    ModalAnswerer answers;
    // Ctrl+A: "Save &As" asks where to save.
    ctrl(w->fileListView(), Qt::Key_A);
    EXPECT_TRUE(answers.seen.contains(QStringLiteral("QFileDialog"))) << answers.seen.join(u',').toStdString();
    answers.seen.clear();
    // "&Delete File(s)" of the menu asks before it deletes.
    w->commandAction(CommandId::DeleteFiles)->trigger();
    EXPECT_TRUE(answers.seen.contains(QStringLiteral("QMessageBox"))) << answers.seen.join(u',').toStdString();
    EXPECT_FALSE(QFileInfo::exists(folderB + QStringLiteral("/b1.png")));
    answers.seen.clear();
    // "Copy To..." of "File Control" opens the folder picker for the tree's node.
    w->commandAction(CommandId::CopyTo)->trigger();
    EXPECT_EQ(answers.seen.size(), 1);

    // The tree's right button opens "File Control" as the table gives it.
    QStringList captions;
    QObject::connect(w.get(), &Frm_Main::menuShown, [&](QMenu *menu) {
        QTimer::singleShot(0, menu, [&, menu] {
            for (QAction *a : menu->actions())
                if (a->isVisible())
                    captions << (a->isSeparator() ? QStringLiteral("-") : a->text());
            menu->close();
        });
    });
    FolderTreeWidget *tree = w->folderTree();
    const QRect node = tree->visualItemRect(tree->currentItem());
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, node.center(), tree->viewport()->mapToGlobal(node.center()));
    QApplication::sendEvent(tree->viewport(), &menuEvent);
    EXPECT_EQ(captions,
        QStringList({ "Open last tagged list",
            "-",
            "&New Folder",
            "&Rename",
            "-",
            "Copy To...",
            "Move To...",
            "-",
            "&Delete" }));
    w->close();
}

TEST_F(MainCommandsWindow, TheStoredPlaceIsTheContentsWithEitherFrame)
{
    if (!CustomFrame::platformSupportsOutline())
        GTEST_SKIP() << "no window shapes on this platform";
    const QRect place(40, 50, 400, 300);
    const auto store = [&](const QRect &r) {
        MainWindowState state = RestoreWindowStateValues(40000, 30000);
        state.WindowState = 0;
        state.Left = r.x() * TwipsPerPixel;
        state.Top = r.y() * TwipsPerPixel;
        state.Width = r.width() * TwipsPerPixel;
        state.Height = r.height() * TwipsPerPixel;
        SaveWindowStateValues(state);
    };
    const auto stored = [] {
        const MainWindowState state = RestoreWindowStateValues(40000, 30000);
        return QRect(state.Left / TwipsPerPixel,
            state.Top / TwipsPerPixel,
            state.Width / TwipsPerPixel,
            state.Height / TwipsPerPixel);
    };
    // Two runs with the style on, then one as "/s" starts it: the contents keep their
    // place and size throughout, and the stored place does not creep.
    for (const bool styled : { true, true, false }) {
        SCOPED_TRACE(styled);
        store(place);
        settings().BeOS = styled;
        auto w = v7test::openWindowOn(folderA, 20000);
        const CustomFrame *frame = CustomFrame::of(w.get());
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->isStyled(), styled);
        EXPECT_EQ(!frame->ownMargins().isNull(), styled);
        EXPECT_EQ(w->geometry().marginsRemoved(frame->ownMargins()).size(), place.size());
        w->close();
        w.reset();
        EXPECT_EQ(stored(), place);
    }
    // A place as large as the screen (a first run's) keeps the caption tab on screen.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    store(screen);
    settings().BeOS = true;
    auto w = v7test::openWindowOn(folderA, 20000);
    EXPECT_TRUE(screen.contains(w->normalGeometry())) << w->normalGeometry().x() << "," << w->normalGeometry().y();
    w->close();
}
