// The batch dialog as the user meets it: modes, captions, the pattern fields and
// their keys, the list's keys, the per-entry results, a cancel in the middle, the
// location checks, and the main window's commands that open it.
#include "../mainwin/BrowserWindowHelpers.h"
#include "BatchTestSupport.h"
#include "TestEnv.h"
#include "app/CustomFrame.h"
#include "fileops/BatchRename.h"
#include "fileops/Frm_FileOps.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <cerrno>
#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

// Answers every message box that opens while it lives: notes its title and text
// and presses the button whose text is `press` (the escape button when empty).
class BoxAnswerer : public QObject
{
public:
    explicit BoxAnswerer(QString press = QString())
        : m_press(std::move(press))
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || box == m_last)
                return;
            m_last = box;
            titles << box->windowTitle();
            texts << box->text();
            icons << box->icon();
            QAbstractButton *button = box->escapeButton();
            for (QAbstractButton *b : box->buttons())
                if (!m_press.isEmpty() && b->text().remove('&') == m_press)
                    button = b;
            if (!button)
                button = box->buttons().value(0);
            QMetaObject::invokeMethod(button, "click", Qt::QueuedConnection);
        });
        m_timer.start(10);
    }
    void press(const QString &text) { m_press = text; }
    QStringList titles, texts;
    QList<QMessageBox::Icon> icons;

private:
    QString m_press;
    QTimer m_timer;
    QPointer<QMessageBox> m_last;
};

class FileOpsDialogTest : public BatchHome
{
protected:
    std::vector<Frm_FileOps::Entry> entriesOf(const QStringList &names)
    {
        std::vector<Frm_FileOps::Entry> out;
        int i = 0;
        for (const QString &n : names)
            out.push_back({ n, "1", "01/01/2024 10:00", i++ });
        return out;
    }
    QStringList labels(QWidget *w)
    {
        QStringList out;
        for (QLabel *l : w->findChildren<QLabel *>())
            out << l->text();
        for (QAbstractButton *b : w->findChildren<QAbstractButton *>())
            out << b->text();
        return out;
    }
    QLineEdit *field(Frm_FileOps &d, int index) // prefix, number, suffix, extension
    {
        QList<QLineEdit *> edits;
        for (QLineEdit *e : d.findChildren<QLineEdit *>())
            if (e != d.templateBox() && e != d.startBox() && e != d.locationBox())
                edits << e;
        return edits.value(index);
    }
};

} // namespace

TEST_F(FileOpsDialogTest, ModesTitlesColumnsTabsAndCaptions)
{
    struct Case {
        Frm_FileOps::Mode mode;
        QString title;
        QStringList columns;
        QStringList tabs;
    };
    const std::vector<Case> cases = {
        { Frm_FileOps::Mode::FileRename, "Rename Files", { "New Filename", "Current Filename" }, { "New Name" } },
        { Frm_FileOps::Mode::FileSave, "Save Files", { "Location", "Filename" }, { "Location" } },
        { Frm_FileOps::Mode::FileConvert, "Convert 3 Files", { "Location", "Filename" }, { "New Format", "Location" } },
        { Frm_FileOps::Mode::ThumbExport,
            "Export Thumbnails",
            { "New Thumbnails name", "Current Filename" },
            { "Dimension", "Location" } },
    };
    for (const Case &c : cases) {
        Frm_FileOps d(c.mode, m_folder, entriesOf({ "a.jpg", "b.jpg", "c.jpg" }));
        EXPECT_EQ(d.windowTitle(), c.title);
        QTreeWidgetItem *h = d.list()->headerItem();
        EXPECT_EQ(QStringList({ h->text(0), h->text(1) }), c.columns);
        auto *tabs = d.findChild<QTabWidget *>();
        QStringList tabNames;
        for (int i = 0; i < tabs->count(); ++i)
            tabNames << tabs->tabText(i);
        EXPECT_EQ(tabNames, c.tabs);
        EXPECT_EQ(d.list()->topLevelItem(0)->checkState(0), Qt::Checked);
        const QStringList l = labels(&d);
        for (const char *caption : { "&Close", "&Minimize" })
            EXPECT_TRUE(l.contains(caption)) << caption;
    }
    Frm_FileOps rename(Frm_FileOps::Mode::FileRename, m_folder, entriesOf({ "a.jpg" }));
    const QStringList l = labels(&rename);
    for (const char *caption : { "Template:", "Prefix", "Format:", "Suffix", "Start from:", "&Test", "&Undo" })
        EXPECT_TRUE(l.contains(caption)) << caption;
    EXPECT_TRUE(
        l.contains("Double click on an item to base the renaming format. You can rename individual file manually "
                   "by pressing F2 on the selected item."));
    EXPECT_FALSE(rename.okButton()->isEnabled()); // nothing proposed yet

    Frm_FileOps convert(Frm_FileOps::Mode::FileConvert, m_folder, entriesOf({ "a.jpg" }));
    const QStringList lc = labels(&convert);
    for (const char *caption : { "&Convert to:", "&Quality:", "New Location:", "&Apply to all selected" })
        EXPECT_TRUE(lc.contains(caption)) << caption;
    QStringList formats;
    for (int i = 0; i < convert.formatBox()->count(); ++i)
        formats << convert.formatBox()->itemText(i);
    EXPECT_EQ(formats,
        QStringList(
            { "Bmp - 8bit", "Bmp - 24bit", "Gif - 8bit", "Jpg - 24bit", "Png - 8bit", "Png - 24bit", "Webp", "Avif" }));

    settings().ThumbW = 120;
    settings().ThumbH = 90;
    Frm_FileOps exportDialog(Frm_FileOps::Mode::ThumbExport, m_folder, entriesOf({ "sea.bmp" }));
    EXPECT_TRUE(labels(&exportDialog).contains("Current Dimension:"));
    EXPECT_TRUE(labels(&exportDialog).contains("120 x 90 pixel"));
    EXPECT_EQ(exportDialog.pattern().prefix, "TN-*");
    EXPECT_EQ(exportDialog.proposedNames(), QStringList({ "TN-sea.jpg" }));
}

TEST_F(FileOpsDialogTest, TheDialogTakesTheCustomWindowStyle)
{
    CustomFrame::setStyleOn(true);
    Frm_FileOps d(Frm_FileOps::Mode::FileConvert, m_folder, entriesOf({ "a.jpg", "b.jpg" }));
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    EXPECT_TRUE(d.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(d.mask(), QRegion(OutlinePolygon(ComputeOutline(&d)), Qt::OddEvenFill));
    CustomFrame::setStyleOn(false);
    EXPECT_TRUE(d.mask().isEmpty());
}

TEST_F(FileOpsDialogTest, PatternFieldsTemplateDoubleClickAndUndo)
{
    Frm_FileOps d(Frm_FileOps::Mode::FileRename, m_folder, entriesOf({ "IMG_0042.JPG", "b.jpg", "c.jpg" }));
    d.show();
    // Typing into a field proposes at once, the start number at the field's width.
    QTest::keyClicks(field(d, 3), "jpg");
    QTest::keyClicks(field(d, 1), "###");
    QTest::keyClicks(field(d, 0), "Holiday-");
    EXPECT_EQ(d.startBox()->text(), "000");
    d.startBox()->selectAll();
    QTest::keyClicks(d.startBox(), "1");
    EXPECT_EQ(d.proposedNames(), QStringList({ "Holiday-001.jpg", "Holiday-002.jpg", "Holiday-003.jpg" }));
    EXPECT_TRUE(d.okButton()->isEnabled());
    // The start box refuses letters, a pasted text, and a digit beyond the
    // maximum; Ctrl+A selects its text, and a digit then replaces it.
    QTest::keyClicks(d.startBox(), "x");
    EXPECT_EQ(d.startBox()->text(), "1");
    QApplication::clipboard()->setText("7a");
    QTest::keyClick(d.startBox(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(d.startBox()->text(), "1");
    QTest::keyClicks(d.startBox(), "23456789");
    EXPECT_EQ(d.startBox()->text(), "123456789");
    QTest::keyClick(d.startBox(), Qt::Key_9);
    EXPECT_EQ(d.startBox()->text(), "123456789");
    QTest::keyClick(d.startBox(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(d.startBox()->selectedText(), "123456789");
    QTest::keyClicks(d.startBox(), "1");
    EXPECT_EQ(d.startBox()->text(), "1");

    // "##" from 98 over three files: 98, 99, 100.
    QTest::keyClicks(d.templateBox(), "Trip##.png");
    QTest::keyClick(d.templateBox(), Qt::Key_Return);
    EXPECT_EQ(d.pattern(), (NamePattern { "Trip", "##", "", "png" }));
    EXPECT_TRUE(d.templateBox()->text().isEmpty());
    EXPECT_TRUE(d.isVisible()); // Enter in the box did not press OK
    d.startBox()->selectAll();
    QTest::keyClicks(d.startBox(), "98");
    EXPECT_EQ(d.proposedNames(), QStringList({ "Trip98.png", "Trip99.png", "Trip100.png" }));

    // A double-click takes the entry's name, its first digit run as the number.
    d.takeEntryName(0);
    EXPECT_EQ(d.pattern(), (NamePattern { "IMG_", "####", "", "JPG" }));
    EXPECT_EQ(d.proposedNames(), QStringList({ "IMG_0000.JPG", "IMG_0001.JPG", "IMG_0002.JPG" }));

    d.undoNames();
    EXPECT_EQ(d.proposedNames(), d.currentNames());
    EXPECT_TRUE(QDir(m_folder).isEmpty()); // nothing touched
}

TEST_F(FileOpsDialogTest, ListKeysAndMarkedClashes)
{
    writeFile(m_folder + "/a.jpg", "a");
    writeFile(m_folder + "/b.jpg", "b");
    writeFile(m_folder + "/c.jpg", "c");
    writeFile(m_folder + "/other.jpg", "o");
    Frm_FileOps d(Frm_FileOps::Mode::FileRename, m_folder, entriesOf({ "a.jpg", "b.jpg", "c.jpg" }));
    d.show();
    QTreeWidget *list = d.list();
    list->setFocus();
    list->setCurrentItem(list->topLevelItem(1));
    QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "b.jpg");
    QApplication::clipboard()->setText("other.jpg");
    QTest::keyClick(list, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(d.proposedNames()[1], "other.jpg");
    EXPECT_EQ(d.problemAt(1), NameProblem::ClashExisting); // marked before anything is touched
    EXPECT_TRUE(d.okButton()->isEnabled());
    list->setCurrentItem(list->topLevelItem(2));
    QApplication::clipboard()->setText("a.jpg");
    QTest::keyClick(list, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(d.problemAt(2), NameProblem::ClashExisting); // a.jpg stays where it is
    list->setCurrentItem(list->topLevelItem(0));
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_EQ(d.currentNames(), QStringList({ "b.jpg", "c.jpg" }));

    // OK: both fail, one box each, critical, with the system's text; nothing lost.
    BoxAnswerer boxes("OK");
    d.runAction();
    EXPECT_EQ(boxes.texts, QStringList(2, systemErrorText(EEXIST)));
    EXPECT_EQ(boxes.titles, QStringList(2, QCoreApplication::applicationName()));
    EXPECT_EQ(boxes.icons, QList<QMessageBox::Icon>(2, QMessageBox::Critical));
    for (const char *n : { "a", "b", "c", "other" })
        EXPECT_EQ(readFile(m_folder + '/' + n + ".jpg"), QByteArray(n).left(1)) << n;
}

TEST_F(FileOpsDialogTest, F2EditsANameInPlaceTheCaptionCountsTheBatchAndMinimiseLetsItRun)
{
    for (const char *n : { "a.jpg", "b.jpg", "c.jpg" })
        writeFile(m_folder + '/' + n, QByteArray("bytes of ") + n);
    Frm_FileOps d(Frm_FileOps::Mode::FileRename, m_folder, entriesOf({ "a.jpg", "b.jpg", "c.jpg" }));
    d.show();
    d.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
    QTreeWidget *list = d.list();
    list->setFocus();
    list->setCurrentItem(list->topLevelItem(1));
    QTest::keyClick(list, Qt::Key_F2);
    auto *editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
    ASSERT_TRUE(editor && list->isAncestorOf(editor)) << "F2 opens the entry's name for editing";
    editor->selectAll();
    QTest::keyClicks(editor, "bee.jpg");
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents(); // the view commits the edit through a queued call
    EXPECT_EQ(d.proposedNames(), QStringList({ "a.jpg", "bee.jpg", "c.jpg" }));
    EXPECT_EQ(d.currentNames(), QStringList({ "a.jpg", "b.jpg", "c.jpg" }));
    EXPECT_TRUE(d.okButton()->isEnabled());
    EXPECT_TRUE(d.isVisible()); // Enter in the editor did not press OK

    // While it works the caption counts the entries done of all checked ones.
    QStringList captions;
    QPushButton *minimize = nullptr;
    for (QPushButton *b : d.findChildren<QPushButton *>())
        if (b->text() == "&Minimize")
            minimize = b;
    ASSERT_TRUE(minimize);
    QObject::connect(&d, &Frm_FileOps::entryStarting, &d, [&](int done) {
        captions << d.windowTitle();
        if (done == 1)
            minimize->click(); // put away while it works: the batch goes on
    });
    d.runAction();
    EXPECT_EQ(captions, QStringList({ "0 of 3", "1 of 3", "2 of 3" }));
    EXPECT_TRUE(d.windowState() & Qt::WindowMinimized);
    EXPECT_EQ(d.windowTitle(), "3 of 3");
    EXPECT_EQ(readFile(m_folder + "/bee.jpg"), "bytes of b.jpg");
    EXPECT_FALSE(QFile::exists(m_folder + "/b.jpg"));
    EXPECT_EQ(d.currentNames(), QStringList({ "a.jpg", "bee.jpg", "c.jpg" }));
    EXPECT_FALSE(d.okButton()->isEnabled()); // until something new is proposed
}

TEST_F(FileOpsDialogTest, RenameEveryFileToOneNameKeepsEveryFile)
{
    for (const char *n : { "a.jpg", "b.jpg", "c.jpg" })
        writeFile(m_folder + '/' + n, QByteArray("bytes of ") + n);
    Frm_FileOps d(Frm_FileOps::Mode::FileRename, m_folder, entriesOf({ "a.jpg", "b.jpg", "c.jpg" }));
    QSignalSpy renamed(&d, &Frm_FileOps::filesRenamed);
    d.setPattern({ "same", "", "", "jpg" });
    d.applyPattern();
    EXPECT_EQ(d.problemAt(0), NameProblem::ClashProposed);
    BoxAnswerer boxes("Cancel"); // either button goes on
    d.runAction();
    EXPECT_EQ(boxes.texts, QStringList(2, systemErrorText(EEXIST)));
    EXPECT_EQ(readFile(m_folder + "/same.jpg"), "bytes of a.jpg");
    EXPECT_EQ(readFile(m_folder + "/b.jpg"), "bytes of b.jpg");
    EXPECT_EQ(readFile(m_folder + "/c.jpg"), "bytes of c.jpg");
    ASSERT_EQ(renamed.size(), 1);
    const auto pairs = renamed[0][1].value<QList<QPair<QString, QString>>>();
    EXPECT_EQ(pairs, (QList<QPair<QString, QString>> { { "a.jpg", "same.jpg" } }));
    EXPECT_EQ(d.currentNames(), QStringList({ "same.jpg", "b.jpg", "c.jpg" }));
}

TEST_F(FileOpsDialogTest, ACancelInTheMiddleOfAConvert)
{
    const QStringList files = makeJpegs(m_folder, 4);
    Frm_FileOps d(Frm_FileOps::Mode::FileConvert, m_folder, entriesOf(files));
    d.formatBox()->setCurrentIndex(5); // "Png - 24bit"
    d.locationBox()->setText(root() + "/out");
    BoxAnswerer boxes("Yes"); // create the folder
    d.applyToAllBox()->setChecked(true);
    EXPECT_EQ(boxes.titles, QStringList({ "Create Directory" }));
    EXPECT_EQ(boxes.texts, QStringList({ "Directory does not exist, create " + root() + "/out ?" }));
    EXPECT_EQ(d.proposedNames(), QStringList(4, root() + "/out"));
    QObject::connect(&d, &Frm_FileOps::entryStarting, &d, [&d](int done) {
        if (done == 2)
            d.closeButton()->click(); // "&Close" while it works: stop before the next entry
    });
    d.runAction();
    EXPECT_TRUE(QFile::exists(root() + "/out/img000.png"));
    EXPECT_TRUE(QFile::exists(root() + "/out/img001.png"));
    EXPECT_FALSE(QFile::exists(root() + "/out/img002.png"));
    EXPECT_FALSE(QFile::exists(root() + "/out/img003.png"));
    EXPECT_EQ(d.sizeText(0), FormatThousands(QFileInfo(root() + "/out/img000.png").size()));
    EXPECT_TRUE(d.sizeText(2).isEmpty());
    EXPECT_TRUE(QDir(root() + "/out").entryList({ ".v7*" }, QDir::Files | QDir::Hidden).isEmpty());
    // Unchecking gives every entry its own folder back.
    d.applyToAllBox()->setChecked(false);
    EXPECT_EQ(d.proposedNames(), QStringList(4, m_folder));
}

TEST_F(FileOpsDialogTest, ConvertOntoAnExistingNameAnsweredSkip)
{
    const QStringList files = makeJpegs(m_folder, 2);
    writeFile(m_folder + "/img000.png", "not to be lost");
    Frm_FileOps d(Frm_FileOps::Mode::FileConvert, m_folder, entriesOf(files));
    d.formatBox()->setCurrentIndex(4); // "Png - 8bit"
    BoxAnswerer boxes("Skip");
    d.runAction();
    EXPECT_EQ(boxes.texts.size(), 1);
    EXPECT_EQ(readFile(m_folder + "/img000.png"), "not to be lost");
    EXPECT_TRUE(d.sizeText(0).isEmpty());
    EXPECT_FALSE(QImage(m_folder + "/img001.png").isNull());
    EXPECT_FALSE(d.sizeText(1).isEmpty());
    // Converting a JPEG to JPEG in its own folder never writes over the source.
    const QByteArray source = readFile(m_folder + "/img000.jpg");
    Frm_FileOps same(Frm_FileOps::Mode::FileConvert, m_folder, entriesOf({ "img000.jpg" }));
    BoxAnswerer replaceBoxes("Replace all");
    same.runAction();
    EXPECT_TRUE(replaceBoxes.texts.isEmpty());
    EXPECT_EQ(readFile(m_folder + "/img000.jpg"), source);
}

TEST_F(FileOpsDialogTest, ExportNamesThatClashAreMarkedBeforeOK)
{
    // "TN-*" gives sea.jpg and sea.png one name; TN-sky.jpg is at the location.
    const QString there = root() + "/thumbs";
    QDir().mkpath(there);
    writeFile(there + "/TN-sky.jpg", "kept");
    Frm_FileOps d(Frm_FileOps::Mode::ThumbExport, m_folder, entriesOf({ "sea.jpg", "sea.png", "sky.jpg", "sun.jpg" }));
    d.locationBox()->setText(there);
    EXPECT_EQ(d.proposedNames(), QStringList({ "TN-sea.jpg", "TN-sea.jpg", "TN-sky.jpg", "TN-sun.jpg" }));
    EXPECT_EQ(d.problemAt(0), NameProblem::ClashProposed);
    EXPECT_EQ(d.problemAt(1), NameProblem::ClashProposed);
    EXPECT_EQ(d.problemAt(2), NameProblem::ClashExisting);
    EXPECT_EQ(d.problemAt(3), NameProblem::None);
    // Another location, another answer; an unchecked entry proposes nothing.
    d.locationBox()->setText(root() + "/empty");
    d.list()->topLevelItem(1)->setCheckState(0, Qt::Unchecked);
    for (int row = 0; row < 4; ++row)
        EXPECT_EQ(d.problemAt(row), NameProblem::None) << row;
    EXPECT_EQ(readFile(there + "/TN-sky.jpg"), "kept");
}

TEST_F(FileOpsDialogTest, ExportToAFolderThatCannotBeMade)
{
    writeFile(root() + "/plainfile", "x");
    Frm_FileOps d(Frm_FileOps::Mode::ThumbExport, m_folder, entriesOf({ "a.jpg" }));
    const QString location = root() + "/plainfile/thumbs";
    d.locationBox()->setText(location);
    {
        BoxAnswerer boxes("Yes");
        d.runAction();
        ASSERT_EQ(boxes.titles, QStringList({ "Create Directory", "Invalid location" }));
        EXPECT_EQ(boxes.texts[1],
            systemErrorText(ENOTDIR) + "\n\nLocation " + location
                + " cannot be created, please select another location");
        EXPECT_EQ(boxes.icons[0], QMessageBox::Question);
        EXPECT_EQ(boxes.icons[1], QMessageBox::Information);
        EXPECT_TRUE(d.sizeText(0).isEmpty());
    }
    // Answered No: nothing is asked further and nothing written.
    BoxAnswerer no("No");
    d.locationBox()->setText(root() + "/elsewhere");
    d.runAction();
    EXPECT_EQ(no.titles, QStringList({ "Create Directory" }));
    EXPECT_FALSE(QFileInfo::exists(root() + "/elsewhere"));
    // Nothing was done: OK stays at hand for another location.
    EXPECT_TRUE(d.okButton()->isEnabled());
}

TEST_F(FileOpsDialogTest, TheMainWindowRenamesAndUndoes)
{
    const QStringList files = makeJpegs(m_folder, 3);
    auto w = openWindowOn(m_folder, 20000);
    ASSERT_EQ(listedNames(*w), files);
    // The list takes several rows once it has the focus.
    w->fileListView()->setSelectionMode(QAbstractItemView::ExtendedSelection);
    w->fileListView()->selectAll();
    QTimer::singleShot(50, [&] {
        auto *d = qobject_cast<Frm_FileOps *>(QApplication::activeModalWidget());
        ASSERT_TRUE(d);
        EXPECT_EQ(d->windowTitle(), "Rename Files");
        d->setPattern({ "Holiday-", "###", "", "jpg" });
        d->startBox()->setText("1");
        d->applyPattern();
        d->runAction();
        d->closeButton()->click();
    });
    w->FileOps_Rename();
    EXPECT_EQ(listedNames(*w), QStringList({ "Holiday-001.jpg", "Holiday-002.jpg", "Holiday-003.jpg" }));
    EXPECT_EQ(QDir(m_folder).entryList(QDir::Files),
        QStringList({ "Holiday-001.jpg", "Holiday-002.jpg", "Holiday-003.jpg" }));
    // The menu offers the undo while there is a batch to undo, and only then.
    auto *undo = w->findChild<QAction *>(QStringLiteral("Mnu_UndoRename"));
    ASSERT_TRUE(undo);
    QMenu *menu = nullptr;
    for (QObject *o : undo->associatedObjects())
        menu = menu ? menu : qobject_cast<QMenu *>(o);
    ASSERT_TRUE(menu);
    Q_EMIT menu->aboutToShow();
    EXPECT_TRUE(undo->isEnabled());
    Q_EMIT menu->aboutToHide();
    QSignalSpy shown(w.get(), &Frm_Main::thumbDisplayFinished);
    w->FileOps_UndoRename();
    EXPECT_EQ(listedNames(*w), files);
    EXPECT_EQ(QDir(m_folder).entryList(QDir::Files), files);
    Q_EMIT menu->aboutToShow();
    EXPECT_FALSE(undo->isEnabled());
    Q_EMIT menu->aboutToHide();
    EXPECT_TRUE(undo->isEnabled()); // Ctrl+Z stays live
    // The thumbnails shown again after the undo: their job ends before the window goes.
    EXPECT_TRUE(!shown.isEmpty() || shown.wait(20000));
    QTest::qWait(100);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
