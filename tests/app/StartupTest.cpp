#include "app/Startup.h"

#include "TestEnv.h"
#include "app/Settings.h"
#include "app/WindowState.h"
#include "core/Text.h"
#include "imaging/Codecs.h"
#include "platform/Hive.h"

#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <thread>
#include <unistd.h>

using namespace v7;

namespace
{

class StartUp : public v7test::TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        settings() = Settings();
        startFlags() = StartFlags();
        SetThreadHasWindow(true);
    }
    void TearDown() override
    {
        SetThreadHasWindow(false);
        UnregisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid())));
        TempHome::TearDown();
    }
};

} // namespace

TEST(CommandLine, SwitchesAreLowerCaseSubstrings)
{
    struct Row {
        QStringList args;
        bool s, p95, nt, d, t, automation;
    };
    const Row rows[] = {
        { {}, false, false, false, false, false, false },
        { { "/S" }, true, false, false, false, false, false },
        { { "/95", "/nt" }, false, true, true, false, false, false },
        { { "/NT/95" }, false, true, true, false, false, false },
        { { "x/DEBUGy" }, false, false, false, true, false, false }, // inside a longer word
        { { "/T" }, false, false, false, false, true, false },
        { { "/nosuchdir/t" }, false, false, false, false, true, false }, // not a folder: takes part
        { { "-Embedding" }, false, false, false, false, false, true },
        { { "/AUTOMATION" }, false, false, false, false, false, true },
        { { "/s", "/d", "/t" }, true, false, false, true, true, false },
    };
    for (const Row &r : rows) {
        const CommandLine cl = ParseCommandLine(r.args);
        const std::string what = r.args.join(u' ').toStdString();
        EXPECT_EQ(cl.standardStyle, r.s) << what;
        EXPECT_EQ(cl.win95, r.p95) << what;
        EXPECT_EQ(cl.winNT, r.nt) << what;
        EXPECT_EQ(cl.thumbCounter, r.d) << what;
        EXPECT_EQ(cl.transactedCache, r.t) << what;
        EXPECT_EQ(cl.automation, r.automation) << what;
        EXPECT_TRUE(cl.folder.isEmpty()) << what;
    }
}

TEST(CommandLine, AnExistingFolderTakesNoPartInTheSwitchTest)
{
    QTemporaryDir tmp;
    const QString folder = tmp.path() + QStringLiteral("/data/shots/td");
    ASSERT_TRUE(QDir().mkpath(folder));
    CommandLine cl = ParseCommandLine({ folder });
    EXPECT_EQ(cl.folder, folder);
    EXPECT_FALSE(cl.thumbCounter);
    EXPECT_FALSE(cl.transactedCache);
    EXPECT_FALSE(cl.standardStyle);

    // Switches beside it still count.
    cl = ParseCommandLine({ QStringLiteral("/D"), folder });
    EXPECT_EQ(cl.folder, folder);
    EXPECT_TRUE(cl.thumbCounter);
    EXPECT_FALSE(cl.transactedCache);
}

TEST(CommandLine, EveryExistingPathTakesNoPartInTheSwitchTest)
{
    QTemporaryDir tmp;
    const QString first = tmp.path() + QStringLiteral("/shots");
    const QString second = tmp.path() + QStringLiteral("/data/SHOTS"); // "/d" and "/s" in it
    ASSERT_TRUE(QDir().mkpath(first));
    ASSERT_TRUE(QDir().mkpath(second));
    v7test::writeFile(tmp.path() + QStringLiteral("/data/tree.jpg"), QByteArray("x"));
    const CommandLine cl = ParseCommandLine({ first, second, tmp.path() + QStringLiteral("/data/tree.jpg") });
    EXPECT_EQ(cl.folder, first); // the first names the folder
    EXPECT_TRUE(cl.file.isEmpty());
    EXPECT_FALSE(cl.thumbCounter);
    EXPECT_FALSE(cl.standardStyle);
    EXPECT_FALSE(cl.transactedCache);
    EXPECT_TRUE(cl.missingFolder.isEmpty());
}

TEST(CommandLine, AnImageFileOpensItsFolderWithThatFileCurrent)
{
    QTemporaryDir tmp;
    const QString folder = tmp.path() + QStringLiteral("/data/Trip");
    v7test::writeFile(folder + QStringLiteral("/DSC 01.JPG"), QByteArray("x"));
    CommandLine cl = ParseCommandLine({ folder + QStringLiteral("/DSC 01.JPG") });
    EXPECT_EQ(cl.folder, folder);
    EXPECT_EQ(cl.file, QStringLiteral("DSC 01.JPG"));
    EXPECT_FALSE(cl.thumbCounter);
    EXPECT_FALSE(cl.transactedCache);

    // Given relative to the working folder, it opens the same.
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(tmp.path() + QStringLiteral("/data")));
    cl = ParseCommandLine({ QStringLiteral("Trip/DSC 01.JPG"), QStringLiteral("/D") });
    QDir::setCurrent(before);
    EXPECT_EQ(cl.folder, folder);
    EXPECT_EQ(cl.file, QStringLiteral("DSC 01.JPG"));
    EXPECT_TRUE(cl.thumbCounter); // a switch beside it still counts
}

TEST(CommandLine, AFolderThatDoesNotExistIsReportedAndOpensNothing)
{
    struct Row {
        QStringList args;
        QString missing;
        bool d, t;
    };
    const Row rows[] = {
        { { "/no/such/photos" }, "/no/such/photos", false, false },
        { { "Urlaub 2024" }, "Urlaub 2024", false, false },
        { { "/s", "/gone/tree" }, "/gone/tree", false, true }, // the substring rule still holds
        { { "/nt/95", "/S", "/d", "-Embedding" }, "", true, false }, // switches alone
        { { "/a/x", "/b/y" }, "/a/x", false, false }, // the first is reported
    };
    for (const Row &r : rows) {
        const CommandLine cl = ParseCommandLine(r.args);
        const std::string what = r.args.join(u' ').toStdString();
        EXPECT_EQ(cl.missingFolder, r.missing) << what;
        EXPECT_TRUE(cl.folder.isEmpty()) << what;
        EXPECT_EQ(cl.thumbCounter, r.d) << what;
        EXPECT_EQ(cl.transactedCache, r.t) << what;
    }
    EXPECT_EQ(MissingFolderText(QStringLiteral("/no/such")), QStringLiteral("Folder not found: /no/such"));
}

TEST(CommandLine, HelpAndVersion)
{
    for (const char *arg : { "--help", "-h" }) {
        const CommandLine cl = ParseCommandLine({ QLatin1String(arg) });
        EXPECT_TRUE(cl.help) << arg;
        EXPECT_FALSE(cl.version) << arg;
        EXPECT_TRUE(cl.missingFolder.isEmpty()) << arg;
    }
    const CommandLine cl = ParseCommandLine({ QStringLiteral("--version") });
    EXPECT_TRUE(cl.version);
    EXPECT_FALSE(cl.help);
    EXPECT_TRUE(cl.missingFolder.isEmpty());
    EXPECT_FALSE(ParseCommandLine({ QStringLiteral("/help") }).help);
    EXPECT_EQ(VersionText(), QStringLiteral("Vorlane7 7.1.67"));
}

// --help and --version answer before any window exists: they work with no display.
TEST(CommandLine, TheProgramPrintsItsUsageAndVersionWithoutADisplay)
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM"), display = qgetenv("DISPLAY"),
                     wayland = qgetenv("WAYLAND_DISPLAY");
    qputenv("QT_QPA_PLATFORM", "xcb");
    qunsetenv("DISPLAY");
    qunsetenv("WAYLAND_DISPLAY");
    const v7test::ProgramRun help = v7test::runProgram(QStringLiteral(VORLANE7_EXE), { QStringLiteral("--help") });
    const v7test::ProgramRun shortHelp = v7test::runProgram(QStringLiteral(VORLANE7_EXE), { QStringLiteral("-h") });
    const v7test::ProgramRun version =
        v7test::runProgram(QStringLiteral(VORLANE7_EXE), { QStringLiteral("--version") });
    qputenv("QT_QPA_PLATFORM", platform);
    if (!display.isEmpty())
        qputenv("DISPLAY", display);
    if (!wayland.isEmpty())
        qputenv("WAYLAND_DISPLAY", wayland);

    EXPECT_EQ(help.code, 0) << help.err.toStdString();
    EXPECT_TRUE(help.out.startsWith(QStringLiteral("Usage: vorlane7"))) << help.out.toStdString();
    EXPECT_EQ(help.out, UsageText());
    EXPECT_EQ(shortHelp.code, 0) << shortHelp.err.toStdString();
    EXPECT_EQ(shortHelp.out, help.out);
    EXPECT_EQ(version.code, 0) << version.err.toStdString();
    EXPECT_EQ(version.out, QStringLiteral("Vorlane7 7.1.67\n"));
}

TEST_F(StartUp, PlatformNameFromTheSwitches)
{
    const std::pair<QStringList, QString> rows[] = {
        { {}, QString() },
        { { "/95" }, QStringLiteral("WIN95") },
        { { "/nt" }, QStringLiteral("WINNT") },
        { { "/NT", "/95" }, QStringLiteral("WINNT") }, // "/nt" is applied after "/95"
        { { "/95", "/Nt" }, QStringLiteral("WINNT") },
    };
    for (const auto &[args, name] : rows) {
        startFlags() = StartFlags();
        RunStartSteps(args);
        EXPECT_EQ(startFlags().platformName, name) << args.join(u' ').toStdString();
    }
    EXPECT_EQ(GetOsPlatform(), QString());
}

TEST_F(StartUp, FlagsAndSettingsAreSetUp)
{
    Hive::user().write(vorlaneKey(QStringLiteral("ThumbRECT")), QStringLiteral("ThumbW"), RegValue::fromDword(150));
    const StartOutcome out = RunStartSteps({ QStringLiteral("/d"), QStringLiteral("/t") });
    EXPECT_EQ(out.role, StartRole::Main);
    EXPECT_TRUE(startFlags().ShowThumbCounter);
    EXPECT_TRUE(startFlags().TransactedCache);
    EXPECT_EQ(settings().ThumbW, 150);
}

TEST_F(StartUp, StandardStyleSwitchBeatsTheStoredSettingAndPersists)
{
    Hive::user().write(
        vorlaneKey(QStringLiteral("DisplayEffect")), QStringLiteral("BeOS"), RegValue::fromDword(0xFFFFFFFFu));
    RunStartSteps({});
    EXPECT_TRUE(settings().BeOS);

    RunStartSteps({ QStringLiteral("/S") });
    EXPECT_FALSE(settings().BeOS);
    SaveSettings();
    EXPECT_EQ(Hive::user().read(vorlaneKey(QStringLiteral("DisplayEffect")), QStringLiteral("BeOS"))->dword, 0u);
    RunStartSteps({});
    EXPECT_FALSE(settings().BeOS);
}

TEST_F(StartUp, RolesByThreadWindowMarkerAndAutomation)
{
    StartOutcome out = RunStartSteps({ QStringLiteral("-Embedding") });
    EXPECT_EQ(out.role, StartRole::Automation);
    EXPECT_EQ(out.errorNumber, -2147219967);
    EXPECT_EQ(out.errorText, QStringLiteral("Application can't be started with Automation"));

    SetThreadHasWindow(false);
    out = RunStartSteps({});
    EXPECT_EQ(out.role, StartRole::NoThreadWindow);
    EXPECT_EQ(out.errorNumber, -2147219968);
    EXPECT_EQ(out.errorText, QStringLiteral("Internal error starting thread"));
    SetThreadHasWindow(true);

    // Once the marker exists, every thread that starts is a worker, even one that
    // was launched to serve an object.
    const QString marker = MarkerTitle(std::uint32_t(::getpid()));
    EXPECT_EQ(marker, QStringLiteral("Vorlane7") + QString::number(::getpid()));
    RegisterTopLevelTitle(marker);
    Hive::user().write(vorlaneKey(QStringLiteral("ThumbRECT")), QStringLiteral("ThumbW"), RegValue::fromDword(80));
    StartRole workerRole = StartRole::Main;
    int workerThumbW = 0;
    std::thread worker([&] {
        SetThreadHasWindow(true); // the worker object's thread has its own window
        workerRole = RunStartSteps({ QStringLiteral("-Embedding") }).role;
        workerThumbW = settings().ThumbW;
    });
    worker.join();
    EXPECT_EQ(workerRole, StartRole::Worker);
    EXPECT_EQ(workerThumbW, 80); // it loaded its own copy of the settings
    EXPECT_EQ(MarkerTitle(1234), QStringLiteral("Vorlane71234"));
}

class WindowStateValues : public v7test::TempHome
{
};

TEST_F(WindowStateValues, FirstRunDefaults)
{
    const MainWindowState s = RestoreWindowStateValues(1920 * 15, 1080 * 15);
    EXPECT_TRUE(s.LastOK);
    EXPECT_EQ(s.LastFolder, QDir::homePath());
    EXPECT_EQ(s.Imagefit, QStringLiteral("FitNormal"));
    EXPECT_EQ(s.SplitLeft, 182);
    EXPECT_EQ(s.ThumbsRow, 2);
    EXPECT_TRUE(s.Treeview && s.Imageview && s.Thumbview);
    EXPECT_EQ(s.WindowState, 2);
    EXPECT_EQ(s.Width, 1920 * 15);
    EXPECT_EQ(s.Height, 1080 * 15);
}

TEST_F(WindowStateValues, SmallSizesAndVanishedFoldersAreMended)
{
    const QString key = vorlaneKey(QStringLiteral("AppFormRECT"));
    Hive::user().write(key, QStringLiteral("Width"), RegValue::fromDword(1000));
    Hive::user().write(key, QStringLiteral("Height"), RegValue::fromDword(4500));
    WriteSetting(QStringLiteral("StartUp"), QStringLiteral("LastFolder"), root() + QStringLiteral("/gone"));
    const MainWindowState s = RestoreWindowStateValues(30000, 20000);
    EXPECT_EQ(s.Width, 3000);
    EXPECT_EQ(s.Height, 4500);
    EXPECT_EQ(s.WindowState, 0); // the section exists: a missing value reads as 0
    EXPECT_EQ(s.LastFolder, QDir::homePath());
}

TEST_F(WindowStateValues, SavingWritesTheRulesOfEachValue)
{
    MainWindowState s;
    s.LastFolder = root();
    s.WindowState = 0;
    s.Left = 150;
    s.Top = 300;
    s.Width = 9000;
    s.Height = 6000;
    s.SplitLeft = 3; // tree pane collapsed
    s.FolderHistory = { QStringLiteral("/a"), QString(), QStringLiteral("/b") };
    SaveWindowStateValues(s);
    const auto read = [](const char *section, const char *name) {
        return Hive::user().read(vorlaneKey(QLatin1String(section)), QLatin1String(name));
    };
    EXPECT_EQ(read("StartUp", "LastOK")->dword, 1u);
    EXPECT_EQ(read("StartUp", "LastFolder")->text, root());
    EXPECT_EQ(read("StartUp", "FolderHistory")->bytes, QByteArray("/a\0/b\0", 6));
    EXPECT_EQ(read("ViewStat", "SplitLeft")->dword, 182u);
    EXPECT_EQ(read("AppFormRECT", "Width")->dword, 9000u);

    // Closing maximised keeps the stored rectangle.
    s.WindowState = 2;
    s.Width = 99999;
    SaveWindowStateValues(s);
    EXPECT_EQ(read("AppFormRECT", "WindowState")->dword, 2u);
    EXPECT_EQ(read("AppFormRECT", "Width")->dword, 9000u);
    // And every global setting was saved with it.
    EXPECT_TRUE(read("ThumbEngine", "CacheThumbsDir").has_value());
    EXPECT_TRUE(read("FileTypes", "Registered").has_value());
}

TEST_F(WindowStateValues, ListSortAndColumnWidthsComeBackAndBadOnesReadAsTheFirstRuns)
{
    // The first run: by name, ascending, the list's own widths.
    const MainWindowState first = RestoreWindowStateValues(30000, 20000);
    EXPECT_EQ(first.SortColumn, 0);
    EXPECT_EQ(first.SortOrder, 0);
    for (int c = 0; c < 5; ++c)
        EXPECT_EQ(first.ColumnWidths[c], 0) << "column " << c;

    MainWindowState s;
    s.LastFolder = root();
    s.SortColumn = 2;
    s.SortOrder = 1;
    const int widths[5] = { 250, 80, 133, 100, 75 };
    for (int c = 0; c < 5; ++c)
        s.ColumnWidths[c] = widths[c];
    SaveWindowStateValues(s);
    const MainWindowState back = RestoreWindowStateValues(30000, 20000);
    EXPECT_EQ(back.SortColumn, 2);
    EXPECT_EQ(back.SortOrder, 1);
    for (int c = 0; c < 5; ++c)
        EXPECT_EQ(back.ColumnWidths[c], widths[c]) << "column " << c;

    // Values a hand or another version wrote: each bad one reads as the first run's.
    const QString key = vorlaneKey(QStringLiteral("ViewStat"));
    Hive::user().write(key, QStringLiteral("SortColumn"), RegValue::fromDword(5));
    Hive::user().write(key, QStringLiteral("SortOrder"), RegValue::fromDword(7));
    Hive::user().write(key, QStringLiteral("ColumnWidth1"), RegValue::fromDword(std::uint32_t(-40)));
    Hive::user().write(key, QStringLiteral("ColumnWidth2"), RegValue::fromDword(0x7FFFFFFF));
    Hive::user().write(key, QStringLiteral("ColumnWidth3"), RegValue::fromText(QStringLiteral("wide")));
    MainWindowState bad = RestoreWindowStateValues(30000, 20000);
    EXPECT_EQ(bad.SortColumn, 0);
    EXPECT_EQ(bad.SortOrder, 0);
    EXPECT_EQ(bad.ColumnWidths[0], 0);
    EXPECT_EQ(bad.ColumnWidths[1], 0);
    EXPECT_EQ(bad.ColumnWidths[2], 0);
    EXPECT_EQ(bad.ColumnWidths[3], 100); // the good ones stay
    Hive::user().write(key, QStringLiteral("SortColumn"), RegValue::fromDword(std::uint32_t(-1)));
    bad = RestoreWindowStateValues(30000, 20000);
    EXPECT_EQ(bad.SortColumn, 0);
}

TEST(HistoryList, EntriesStayBelowTheLimit)
{
    const QString long1000(1000, u'x');
    const QByteArray list = BuildHistoryList({ long1000, long1000, QStringLiteral("/short") });
    // 1001 + 1001 would reach 2002 < 2020, so both fit; a third long one would not.
    EXPECT_EQ(list.size(), 1001 + 1001 + 7);
    const QByteArray full = BuildHistoryList({ long1000, long1000, QString(20, u'y'), QStringLiteral("/z") });
    EXPECT_FALSE(full.contains(QByteArray(20, 'y'))); // would make it 2023 bytes
    EXPECT_TRUE(full.endsWith(QByteArray("/z\0", 3)));
    EXPECT_LT(full.size(), HistoryListLimit);
    EXPECT_EQ(SplitHistoryList(QStringLiteral("/a") + QChar(0) + QChar(0) + QStringLiteral("/b") + QChar(0)),
        QStringList({ "/a", "/b" }));
}

TEST(HistoryList, TheLimitCountsStoredBytesNotCharacters)
{
    // 600 characters, 1200 bytes each: two are 1202 characters but 2402 bytes.
    const QString umlauts = QStringLiteral("/") + QString(599, QChar(0x00FC));
    const QString cjk = QStringLiteral("/") + QString(400, QChar(0x5199)); // 1201 bytes
    const QByteArray list = BuildHistoryList({ umlauts + u'1', umlauts + u'2', cjk, QStringLiteral("/b") });
    EXPECT_LT(list.size(), HistoryListLimit);
    EXPECT_EQ(SplitHistoryList(QString::fromUtf8(list)), QStringList({ umlauts + u'1', QStringLiteral("/b") }));
}

// A history of non-ASCII folder names under the character limit must come back at the
// next start, not be lost whole because its bytes pass the reader's buffer.
TEST_F(WindowStateValues, NonAsciiHistoriesSurviveTheNextStart)
{
    QStringList folders, filters;
    for (int i = 0; i < 12; ++i) {
        const QString name = root() + QStringLiteral("/Reisen Zürich Ωμέγα 東京 写真 ") + QString(60, QChar(0x00E9))
            + QString::number(i);
        ASSERT_TRUE(QDir().mkpath(name));
        folders << name;
        filters << QStringLiteral("Überblick ") + QString(120, QChar(0x00DF)) + QString::number(i);
    }
    MainWindowState s;
    s.LastFolder = folders.first();
    s.FolderHistory = folders;
    s.FilterHistory = filters;
    for (const QStringList *list : { &folders, &filters }) {
        ASSERT_GT(ansiBytes(list->join(QChar(0))).size(), ListReadLimit) << "the names must pass the byte limit";
        ASSERT_LT(list->join(QChar(0)).size() + 1, HistoryListLimit) << "but stay under the character limit";
    }
    SaveWindowStateValues(s);

    const MainWindowState back = RestoreWindowStateValues(30000, 20000);
    ASSERT_FALSE(back.FolderHistory.isEmpty());
    ASSERT_FALSE(back.FilterHistory.isEmpty());
    // The most recent entries are kept in order, each whole.
    EXPECT_EQ(back.FolderHistory, folders.mid(0, back.FolderHistory.size()));
    EXPECT_EQ(back.FilterHistory, filters.mid(0, back.FilterHistory.size()));
    EXPECT_EQ(back.LastFolder, folders.first());
}

// Decode threads take the screen's depth from what the GUI thread read at start-up;
// had nothing read it, they would fall back to 24 bits.
TEST(ImageLibraries, DecodeThreadsSeeTheScreenDepthReadAtStartUp)
{
    const int depth = QGuiApplication::primaryScreen()->depth();
    ASSERT_NE(depth, 24) << "the offscreen screen must differ from the fallback for this test to mean anything";
    InitImageLibraries();
    int seen = 0;
    std::thread([&] { seen = screenDepth(); }).join();
    EXPECT_EQ(seen, depth);
}
