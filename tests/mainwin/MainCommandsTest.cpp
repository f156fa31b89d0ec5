// The command tables and the key map, walked without a window.
#include "mainwin/MainCommands.h"

#include "TestEnv.h"
#include "mainwin/PrintPage.h"
#include "mainwin/TaggedSet.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace v7;

namespace
{

QStringList captions(MenuId menu)
{
    QStringList out;
    for (const MenuEntry &e : MenuEntries(menu))
        out << (e.id == CommandId::Separator ? QStringLiteral("-") : QString::fromLatin1(e.caption));
    return out;
}

KeyState in(Pane pane)
{
    KeyState s;
    s.pane = pane;
    s.fileSelected = true;
    s.treeHasNode = true;
    return s;
}

} // namespace

TEST(MainCommands, MenusHoldEveryItemInOrder)
{
    EXPECT_EQ(captions(MenuId::RClick),
        QStringList({ "&Tag Image",
            "&List tagged images",
            "-",
            "&Export Thumbnails",
            "-",
            "&Copy to clipboard",
            "-",
            "&Open for Editing",
            "-",
            "&Save",
            "Save &As",
            "&Rename File(s)",
            "Con&vert File(s)",
            "-",
            "&Delete File(s)",
            "-",
            "List &Image Properties",
            "-",
            "Slidesho&w         [Enter]",
            "-",
            "Scan...",
            "-",
            "&Print",
            "-",
            "E&xit" }));
    EXPECT_EQ(
        captions(MenuId::ImageView), QStringList({ "Show Folder && Files", "Show Image Preview", "Show Thumbnails" }));
    EXPECT_EQ(captions(MenuId::ImageFit), QStringList({ "Normal", "Auto", "Fit Width", "Fit Height" }));
    EXPECT_EQ(captions(MenuId::FileOp),
        QStringList({ "Open last tagged list",
            "^Clear tagged list",
            "-",
            "&New Folder",
            "&Rename",
            "-",
            "Copy To...",
            "Move To...",
            "-",
            "&Delete" }));
    EXPECT_EQ(captions(MenuId::Help), QStringList({ "Contents..." }));
    EXPECT_EQ(MenuTitle(MenuId::FileOp), QStringLiteral("File Control"));

    // Start states: the slideshow and "^Clear tagged list" hidden, "Open last tagged
    // list" disabled, "Normal" checked, the three views checked.
    EXPECT_FALSE(FindMenuEntry(CommandId::Slideshow)->visible);
    EXPECT_FALSE(FindMenuEntry(CommandId::ClearTagged)->visible);
    EXPECT_FALSE(FindMenuEntry(CommandId::OpenLastTagged)->enabled);
    EXPECT_TRUE(FindMenuEntry(CommandId::ImageFitNormal)->checked);
    EXPECT_FALSE(FindMenuEntry(CommandId::ImageFitAuto)->checked);
    for (CommandId id : { CommandId::ShowFolderFiles, CommandId::ShowImagePreview, CommandId::ShowThumbnails })
        EXPECT_TRUE(FindMenuEntry(id)->checked);
}

TEST(MainCommands, EveryCtrlLetterShowsItsKeyBesideItsMenuItem)
{
    // The key shown in a menu is the key that runs the item, and the other way round.
    const char *letters = "ACDILOPRSTVX";
    for (const char *l = letters; *l; ++l) {
        const CommandId id = CtrlLetterCommand(*l);
        ASSERT_NE(id, CommandId::None) << *l;
        const MenuEntry *e = FindMenuEntry(id);
        ASSERT_NE(e, nullptr) << *l;
        EXPECT_EQ(QString::fromLatin1(e->key), QStringLiteral("Ctrl+") + QChar::fromLatin1(*l)) << e->caption;
    }
    for (const MenuEntry &e : MenuEntries(MenuId::RClick)) {
        const QString key = QString::fromLatin1(e.key);
        if (key.startsWith(QLatin1String("Ctrl+"))) {
            EXPECT_EQ(CtrlLetterCommand(key.back().toLatin1()), e.id) << e.caption;
        }
    }
    EXPECT_EQ(CtrlLetterCommand('B'), CommandId::None);
}

TEST(MainCommands, ContextMenusHideTheLastThreeEntriesWithTheirSeparators)
{
    const auto entries = MenuEntries(MenuId::RClick);
    QStringList hidden;
    for (int i : ContextHiddenEntries())
        hidden << (entries[size_t(i)].id == CommandId::Separator ? QStringLiteral("-")
                                                                 : QString::fromLatin1(entries[size_t(i)].caption));
    EXPECT_EQ(hidden, QStringList({ "-", "List &Image Properties", "-", "Scan...", "-", "E&xit" }));
}

TEST(MainCommands, ToolbarLabelsAndTooltipsAsWritten)
{
    const auto t = ToolbarEntries();
    ASSERT_EQ(t.size(), 10u);
    EXPECT_STREQ(t[0].caption, "Menu");
    EXPECT_STREQ(t[0].tooltip, "Shows the apllication main menu");
    EXPECT_STREQ(t[7].caption, "Help");
    EXPECT_STREQ(t[7].tooltip, "Adjust or modify current image");
    EXPECT_STREQ(t[8].caption, "-       +");
    EXPECT_STREQ(t[9].tooltip, "Scroll up or down");

    // The zoom label in thirds: the middle does nothing.
    EXPECT_EQ(ZoomLabelPart(0, 90), 1);
    EXPECT_EQ(ZoomLabelPart(29, 90), 1);
    EXPECT_EQ(ZoomLabelPart(30, 90), 0);
    EXPECT_EQ(ZoomLabelPart(59, 90), 0);
    EXPECT_EQ(ZoomLabelPart(60, 90), 2);
    EXPECT_EQ(ZoomLabelPart(89, 90), 2);
    EXPECT_EQ(ZoomLabelPart(10, 0), 0);

    // Scroll arrows: up above 16, down below 18, faster after a second.
    EXPECT_EQ(ScrollArrowStep(5), -1);
    EXPECT_EQ(ScrollArrowStep(15), -1);
    EXPECT_EQ(ScrollArrowStep(16), 0);
    EXPECT_EQ(ScrollArrowStep(18), 0);
    EXPECT_EQ(ScrollArrowStep(19), 1);
    EXPECT_EQ(ScrollArrowDelayMs(0), 50);
    EXPECT_EQ(ScrollArrowDelayMs(999), 50);
    EXPECT_EQ(ScrollArrowDelayMs(1000), 2);
}

TEST(MainCommands, PaneIndicatorFromTheControlName)
{
    struct Row {
        const char *name, *title, *icon;
    } rows[] = {
        { "Tvw_Dir", "Folder", "tree" },
        { "Lvw_Files", "Files", "flist" },
        { "Pic_Image", "Image", "docs" },
        { "Pic_Thumb0", "Thumbs", "thumbs" },
        { "Pic_Thumb1", "Thumbs", "thumbs" },
        { "Txt_Filter", "Search", "pin" },
        { "Lvw_DirHist", "History", "tree" },
    };
    for (const Row &r : rows) {
        const PaneIndicator p = PaneIndicatorFor(QString::fromLatin1(r.name));
        EXPECT_EQ(p.title, QString::fromLatin1(r.title)) << r.name;
        EXPECT_EQ(p.icon, QString::fromLatin1(r.icon)) << r.name;
    }
    EXPECT_TRUE(PaneIndicatorFor(u"Pic_Base").title.isEmpty());
    EXPECT_TRUE(PaneIndicatorFor(u"abc").title.isEmpty());
    EXPECT_EQ(PaneFromName(u"Pic_Thumb1"), Pane::Thumb);
    EXPECT_EQ(PaneFromName(u"Lvw_DirHist"), Pane::DirHist);
    EXPECT_EQ(PaneFromName(u"Toolbar"), Pane::Other);
}

TEST(MainCommands, KeyMapConditionsOnThePane)
{
    // Delete: thumbnails, preview and list delete the files; the tree keeps its own Delete.
    for (Pane p : { Pane::Thumb, Pane::Image, Pane::Files }) {
        const KeyDecision d = DispatchKey(Qt::Key_Delete, Qt::NoModifier, in(p));
        EXPECT_EQ(d.action, KeyAction::RunCommand);
        EXPECT_EQ(d.command, CommandId::DeleteFiles);
    }
    EXPECT_EQ(DispatchKey(Qt::Key_Delete, Qt::NoModifier, in(Pane::Tree)).action, KeyAction::Pass);
    EXPECT_EQ(DispatchKey(Qt::Key_Delete, Qt::NoModifier, in(Pane::Filter)).action, KeyAction::Pass);

    // Page keys: posted to the list from the thumbnails (only while the list is
    // visible), previous and next file in the preview, the list's own elsewhere.
    KeyState thumbs = in(Pane::Thumb);
    EXPECT_EQ(DispatchKey(Qt::Key_PageDown, Qt::NoModifier, thumbs).action, KeyAction::PageToList);
    EXPECT_EQ(DispatchKey(Qt::Key_PageUp, Qt::NoModifier, thumbs).arg, int(Qt::Key_PageUp));
    thumbs.fileListVisible = false;
    EXPECT_EQ(DispatchKey(Qt::Key_PageDown, Qt::NoModifier, thumbs).action, KeyAction::Pass);
    EXPECT_EQ(DispatchKey(Qt::Key_PageUp, Qt::NoModifier, in(Pane::Image)).action, KeyAction::PrevFile);
    EXPECT_EQ(DispatchKey(Qt::Key_PageDown, Qt::NoModifier, in(Pane::Image)).action, KeyAction::NextFile);
    EXPECT_EQ(DispatchKey(Qt::Key_PageDown, Qt::NoModifier, in(Pane::Files)).action, KeyAction::Pass);

    // Space and numeric-pad 0: next file in the preview, the current thumbnail in the grid.
    EXPECT_EQ(DispatchKey(Qt::Key_Space, Qt::NoModifier, in(Pane::Image)).action, KeyAction::NextFile);
    EXPECT_EQ(DispatchKey(Qt::Key_0, Qt::KeypadModifier, in(Pane::Image)).action, KeyAction::NextFile);
    EXPECT_EQ(DispatchKey(Qt::Key_0, Qt::NoModifier, in(Pane::Image)).action, KeyAction::Pass);
    EXPECT_EQ(DispatchKey(Qt::Key_Space, Qt::NoModifier, in(Pane::Thumb)).action, KeyAction::ThumbShowCurrent);
    EXPECT_EQ(DispatchKey(Qt::Key_Space, Qt::NoModifier, in(Pane::Files)).action, KeyAction::Pass);
    EXPECT_EQ(DispatchKey(Qt::Key_Space, Qt::AltModifier, in(Pane::Image)).action, KeyAction::Pass);

    // Zoom digits everywhere but in the filter box and the tree, swallowed there.
    for (Pane p : { Pane::Files, Pane::Image, Pane::Thumb, Pane::DirHist }) {
        const KeyDecision d = DispatchKey(Qt::Key_3, Qt::NoModifier, in(p));
        EXPECT_EQ(d.action, KeyAction::SetZoom);
        EXPECT_EQ(d.arg, 3);
        EXPECT_TRUE(d.swallow);
    }
    EXPECT_EQ(DispatchKey(Qt::Key_5, Qt::KeypadModifier, in(Pane::Files)).arg, 5);
    EXPECT_EQ(DispatchKey(Qt::Key_6, Qt::NoModifier, in(Pane::Files)).action, KeyAction::Pass);
    EXPECT_EQ(DispatchKey(Qt::Key_3, Qt::NoModifier, in(Pane::Filter)).action, KeyAction::Pass);
    EXPECT_EQ(DispatchKey(Qt::Key_3, Qt::NoModifier, in(Pane::Tree)).action, KeyAction::Pass);
    EXPECT_EQ(DispatchKey(Qt::Key_Plus, Qt::KeypadModifier, in(Pane::Image)).action, KeyAction::ZoomIn);
    EXPECT_EQ(DispatchKey(Qt::Key_Equal, Qt::NoModifier, in(Pane::Files)).action, KeyAction::ZoomIn);
    EXPECT_EQ(DispatchKey(Qt::Key_Minus, Qt::NoModifier, in(Pane::Thumb)).action, KeyAction::ZoomOut);
    // With the preview hidden the zoom keys do nothing: a digit in the list goes to the list.
    KeyState hidden = in(Pane::Files);
    hidden.previewShown = false;
    for (int key : { int(Qt::Key_3), int(Qt::Key_Plus), int(Qt::Key_Minus) }) {
        const KeyDecision d = DispatchKey(key, Qt::NoModifier, hidden);
        EXPECT_EQ(d.action, KeyAction::Pass) << key;
        EXPECT_FALSE(d.swallow) << key;
    }

    // Arrows: pan in the preview, move in the grid (a modifier asks for multiple
    // selection), the list's own in the list.
    EXPECT_EQ(DispatchKey(Qt::Key_Left, Qt::NoModifier, in(Pane::Image)).action, KeyAction::Pan);
    EXPECT_EQ(DispatchKey(Qt::Key_Home, Qt::NoModifier, in(Pane::Image)).action, KeyAction::NoEffect);
    const KeyDecision move = DispatchKey(Qt::Key_Down, Qt::ShiftModifier, in(Pane::Thumb));
    EXPECT_EQ(move.action, KeyAction::ThumbMove);
    EXPECT_TRUE(move.multiSelect);
    EXPECT_FALSE(DispatchKey(Qt::Key_End, Qt::NoModifier, in(Pane::Thumb)).multiSelect);
    EXPECT_EQ(DispatchKey(Qt::Key_Down, Qt::NoModifier, in(Pane::Files)).action, KeyAction::Pass);

    // Backspace clears the preview from three panes, not from the filter box.
    EXPECT_EQ(DispatchKey(Qt::Key_Backspace, Qt::NoModifier, in(Pane::Files)).action, KeyAction::ClearPreview);
    EXPECT_EQ(DispatchKey(Qt::Key_Backspace, Qt::NoModifier, in(Pane::Filter)).action, KeyAction::Pass);

    // Enter: with a modifier the associated program, else by pane.
    EXPECT_EQ(DispatchKey(Qt::Key_Return, Qt::ControlModifier, in(Pane::Files)).action, KeyAction::OpenAssociated);
    EXPECT_EQ(DispatchKey(Qt::Key_Enter, Qt::ShiftModifier | Qt::KeypadModifier, in(Pane::Image)).action,
        KeyAction::OpenAssociated);
    EXPECT_EQ(DispatchKey(Qt::Key_Return, Qt::NoModifier, in(Pane::Filter)).action, KeyAction::FilterList);
    EXPECT_EQ(DispatchKey(Qt::Key_Return, Qt::NoModifier, in(Pane::DirHist)).action, KeyAction::HistoryOpen);
    EXPECT_EQ(DispatchKey(Qt::Key_Return, Qt::NoModifier, in(Pane::Thumb)).action, KeyAction::OpenZoom);
    KeyState none = in(Pane::Files);
    none.fileSelected = false;
    EXPECT_EQ(DispatchKey(Qt::Key_Return, Qt::NoModifier, none).action, KeyAction::Pass);
    EXPECT_EQ(DispatchKey(Qt::Key_Return, Qt::ControlModifier, none).action, KeyAction::Pass);
}

TEST(MainCommands, KeyMapFunctionKeysAndCtrl)
{
    const KeyState s = in(Pane::Files);
    EXPECT_EQ(DispatchKey(Qt::Key_F1, Qt::NoModifier, s).action, KeyAction::MainMenu);
    EXPECT_EQ(DispatchKey(Qt::Key_F2, Qt::NoModifier, s).command, CommandId::RenameFiles);
    EXPECT_EQ(DispatchKey(Qt::Key_F3, Qt::NoModifier, s).action, KeyAction::ReleaseWorker);
    EXPECT_EQ(DispatchKey(Qt::Key_F4, Qt::NoModifier, s).command, CommandId::Options);
    EXPECT_EQ(DispatchKey(Qt::Key_F4, Qt::AltModifier, s).action, KeyAction::Pass);
    EXPECT_EQ(DispatchKey(Qt::Key_F5, Qt::NoModifier, s).action, KeyAction::RefreshNode);
    KeyState noNode = s;
    noNode.treeHasNode = false;
    EXPECT_EQ(DispatchKey(Qt::Key_F5, Qt::NoModifier, noNode).action, KeyAction::Pass);
    for (int i = 0; i < 3; ++i) {
        const KeyDecision d = DispatchKey(Qt::Key_F9 + i, Qt::NoModifier, s);
        EXPECT_EQ(d.action, KeyAction::ToggleView);
        EXPECT_EQ(d.arg, i);
    }
    EXPECT_EQ(DispatchKey(Qt::Key_F12, Qt::NoModifier, s).action, KeyAction::Reload);
    // Esc and Tab act and still reach the control.
    EXPECT_EQ(DispatchKey(Qt::Key_Escape, Qt::NoModifier, s).action, KeyAction::StopStore);
    EXPECT_FALSE(DispatchKey(Qt::Key_Escape, Qt::NoModifier, s).swallow);
    EXPECT_EQ(DispatchKey(Qt::Key_Tab, Qt::NoModifier, in(Pane::Filter)).action, KeyAction::WritePaneName);
    EXPECT_FALSE(DispatchKey(Qt::Key_Tab, Qt::NoModifier, s).swallow);
    EXPECT_EQ(DispatchKey(Qt::Key_Menu, Qt::NoModifier, in(Pane::Tree)).action, KeyAction::AppsMenu);

    // Ctrl letters run their command and are swallowed in every pane, the filter box
    // included; Ctrl+B, E and F are swallowed with no action; Ctrl+Shift is not Ctrl alone.
    for (Pane p : { Pane::Filter, Pane::Tree, Pane::Image }) {
        const KeyDecision d = DispatchKey(Qt::Key_S, Qt::ControlModifier, in(p));
        EXPECT_EQ(d.command, CommandId::Save);
        EXPECT_TRUE(d.swallow);
        const KeyDecision f = DispatchKey(Qt::Key_F, Qt::ControlModifier, in(p));
        EXPECT_EQ(f.action, KeyAction::Swallow);
        EXPECT_TRUE(f.swallow);
    }
    EXPECT_EQ(DispatchKey(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier, s).action, KeyAction::Pass);
    EXPECT_EQ(DispatchKey(Qt::Key_G, Qt::ControlModifier, s).action, KeyAction::Pass);
    EXPECT_EQ(DispatchKey(Qt::Key_S, Qt::NoModifier, s).action, KeyAction::Pass);
}

TEST(MainCommands, EveryKeyRowIsReachable)
{
    // No row is shadowed by an earlier row of the same key: each one decides for
    // some pane and state.
    const auto rows = KeyMap();
    for (size_t i = 0; i < rows.size(); ++i) {
        const KeyRow &r = rows[i];
        bool reached = false;
        for (Pane p : { Pane::Other, Pane::Tree, Pane::Files, Pane::DirHist, Pane::Filter, Pane::Thumb, Pane::Image })
            for (Qt::KeyboardModifiers m : { Qt::KeyboardModifiers(Qt::NoModifier),
                     Qt::KeyboardModifiers(Qt::ControlModifier),
                     Qt::KeyboardModifiers(Qt::ShiftModifier) }) {
                if (r.keypad)
                    m |= Qt::KeypadModifier;
                const KeyDecision d = DispatchKey(r.key, m, in(p));
                if (d.action == r.action && d.command == r.command && d.arg == r.arg)
                    reached = true;
            }
        EXPECT_TRUE(reached) << "row " << i;
    }
}

TEST(MainCommands, KeyboardPanInSixPixelSteps)
{
    // Room enough: 11 steps of 6.
    std::vector<int> expect;
    for (int i = 1; i <= 11; ++i)
        expect.push_back(100 + 6 * i);
    EXPECT_EQ(KeyboardPanSteps(100, 400, 1000, 1), expect);
    // Toward the start: stops before the offset would reach 0.
    EXPECT_EQ(KeyboardPanSteps(20, 400, 1000, -1), std::vector<int>({ 14, 8, 2 }));
    EXPECT_TRUE(KeyboardPanSteps(6, 400, 1000, -1).empty());
    EXPECT_TRUE(KeyboardPanSteps(0, 400, 1000, -1).empty());
    // Toward the end: stops before the view would pass the image's edge.
    EXPECT_EQ(KeyboardPanSteps(590, 400, 1000, 1), std::vector<int>({ 596 }));
    EXPECT_TRUE(KeyboardPanSteps(601, 400, 1000, 1).empty());
    // A centred axis (offset 0, image smaller than the view) does not move.
    EXPECT_TRUE(KeyboardPanSteps(0, 400, 300, 1).empty());
}

class TaggedSetTest : public v7test::TempHome
{
};

TEST_F(TaggedSetTest, InsertionOrderAndNoRepeats)
{
    TaggedSet set;
    EXPECT_TRUE(set.add(QStringLiteral("/a/2.jpg"), QStringLiteral("1,000"), QStringLiteral("01/02/2020 10:00")));
    EXPECT_TRUE(set.add(QStringLiteral("/b/1.jpg"), QStringLiteral("5"), QStringLiteral("d")));
    EXPECT_FALSE(set.add(QStringLiteral("/a/2.jpg"), QStringLiteral("9"), QStringLiteral("x")));
    EXPECT_TRUE(set.add(QStringLiteral("/a/0.jpg"), QStringLiteral("7"), QStringLiteral("d")));
    EXPECT_EQ(set.paths(), QStringList({ "/a/2.jpg", "/b/1.jpg", "/a/0.jpg" }));
    EXPECT_EQ(set.files()[0].sizeText, QStringLiteral("1,000")); // the first tagging's texts stay
    ASSERT_EQ(set.inFolder(QStringLiteral("/a")).size(), 2u);
    EXPECT_EQ(set.inFolder(QStringLiteral("/a"))[1].path, QStringLiteral("/a/0.jpg"));
    EXPECT_TRUE(set.inFolder(QStringLiteral("/")).empty());
    EXPECT_TRUE(set.remove(QStringLiteral("/b/1.jpg")));
    EXPECT_FALSE(set.remove(QStringLiteral("/b/1.jpg")));
    EXPECT_EQ(set.size(), 2);
}

TEST_F(TaggedSetTest, KeptAcrossRunsWithoutFilesThatAreGone)
{
    const QString a = root() + QStringLiteral("/pics/a b.jpg");
    const QString b = root() + QStringLiteral("/other/ü.png");
    const QString gone = root() + QStringLiteral("/pics/gone.jpg");
    v7test::writeFile(a, "x");
    v7test::writeFile(b, "y");
    v7test::writeFile(gone, "z");
    TaggedSet set;
    set.add(b, QStringLiteral("1"), QStringLiteral("01/01/2021 00:00"));
    set.add(gone, QStringLiteral("1"), QStringLiteral("d"));
    set.add(a, QStringLiteral("1,234"), QStringLiteral("12/31/2020 23:59"));
    const QString file = TaggedSet::defaultFile();
    EXPECT_TRUE(file.startsWith(root()));
    ASSERT_TRUE(set.save(file));
    ASSERT_TRUE(QFile::remove(gone));
    const TaggedSet back = TaggedSet::load(file);
    EXPECT_EQ(back.paths(), QStringList({ b, a }));
    EXPECT_EQ(back.files()[1].sizeText, QStringLiteral("1,234"));
    EXPECT_EQ(back.files()[1].dateText, QStringLiteral("12/31/2020 23:59"));

    // An empty set leaves no file behind.
    ASSERT_TRUE(TaggedSet().save(file));
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_EQ(TaggedSet::load(file).size(), 0);
}

TEST_F(TaggedSetTest, DamagedFileReadsWhatItCan)
{
    const QString a = root() + QStringLiteral("/a.jpg");
    v7test::writeFile(a, "x");
    const QString file = root() + QStringLiteral("/tagged.txt");
    QByteArray bytes = "garbage\n\t\t\nrelative/a.jpg\t1\td\n" + a.toUtf8() + "\t1\td\textra\n";
    bytes += QByteArray(3000, '\0') + "\n" + a.toUtf8() + "\t2\td\n" + a.toUtf8() + "\t3\td\n";
    v7test::writeFile(file, bytes);
    const TaggedSet set = TaggedSet::load(file);
    ASSERT_EQ(set.size(), 1);
    EXPECT_EQ(set.files()[0].sizeText, QStringLiteral("2"));
    EXPECT_EQ(TaggedSet::load(root() + QStringLiteral("/missing.txt")).size(), 0);
}

TEST(PrintPage, ImageFittedAboveTheLines)
{
    const QRect page(0, 0, 1000, 1400);
    const QRect wide = PrintImageRect(QSize(4000, 1000), page, 100);
    EXPECT_EQ(wide, QRect(0, 0, 1000, 250));
    const QRect tall = PrintImageRect(QSize(100, 1000), page, 400);
    EXPECT_EQ(tall, QRect(450, 0, 100, 1000));
    const QRect small = PrintImageRect(QSize(10, 10), page, 400);
    EXPECT_EQ(small, QRect(0, 0, 1000, 1000)); // fitted to the page, enlarged
    EXPECT_TRUE(PrintImageRect(QSize(), page, 100).isEmpty());
    EXPECT_TRUE(PrintImageRect(QSize(10, 10), page, 1400).isEmpty());
    EXPECT_EQ(PrintPageLines(QStringLiteral("a.jpg"), QStringLiteral("1,250"), QStringLiteral("d")),
        QStringList({ "a.jpg", "1,250 bytes", "d" }));
}

TEST(MainCommands, EditorCommandSplitsAsAShellWould)
{
    const QString file = QStringLiteral("/pics/a b's.jpg");
    EXPECT_EQ(EditorArguments(QStringLiteral("my-editor"), file), QStringList({ "my-editor", file }));
    EXPECT_EQ(EditorArguments(QStringLiteral("  editor  --new-window %f --x"), file),
        QStringList({ "editor", "--new-window", file, "--x" }));
    // Quotes keep blanks; single quotes take backslashes and double quotes as written.
    EXPECT_EQ(EditorArguments(QStringLiteral("/bin/sh -c 'printf %s \"$0\" > /t/o' %f"), file),
        QStringList({ "/bin/sh", "-c", "printf %s \"$0\" > /t/o", file }));
    EXPECT_EQ(EditorArguments(QStringLiteral("\"/opt/My Editor/run\" -o\"a \\\"b\\\\\" x\\ y"), file),
        QStringList({ "/opt/My Editor/run", "-oa \"b\\", "x y", file }));
    // An empty quoted word is a word; "%f" inside a longer word is replaced there.
    EXPECT_EQ(EditorArguments(QStringLiteral("ed '' --file=%f"), file), QStringList({ "ed", "", "--file=" + file }));
    // A file whose name holds "%f" is not replaced again.
    EXPECT_EQ(EditorArguments(QStringLiteral("ed %f"), QStringLiteral("/x/100%f.jpg")),
        QStringList({ "ed", "/x/100%f.jpg" }));
    // Blank, or quotes left open: no command.
    EXPECT_TRUE(EditorArguments(QStringLiteral("   "), file).isEmpty());
    EXPECT_TRUE(EditorArguments(QStringLiteral("ed 'open"), file).isEmpty());
    EXPECT_TRUE(EditorArguments(QStringLiteral("ed \"open"), file).isEmpty());
}

TEST_F(TaggedSetTest, DropMissingKeepsTheOrderOfTheRest)
{
    TaggedSet set;
    QStringList paths;
    for (const char *name : { "/p/1.jpg", "/q/2.jpg", "/p/3.jpg", "/q/4.jpg" }) {
        paths << root() + QLatin1String(name);
        v7test::writeFile(paths.back(), "x");
        set.add(paths.back(), QStringLiteral("1"), QStringLiteral("d"));
    }
    EXPECT_EQ(set.dropMissing(), 0);
    ASSERT_TRUE(QFile::remove(paths[0]));
    ASSERT_TRUE(QFile::remove(paths[2]));
    EXPECT_EQ(set.dropMissing(), 2);
    EXPECT_EQ(set.paths(), QStringList({ paths[1], paths[3] }));
}
