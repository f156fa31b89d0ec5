#include "app/Startup.h"

#include "TestEnv.h"
#include "app/Settings.h"
#include "app/WindowState.h"
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

TEST(HistoryList, EntriesStayBelowTheLimit)
{
    const QString long1000(1000, u'x');
    const QString list = BuildHistoryList({ long1000, long1000, QStringLiteral("/short") });
    // 1001 + 1001 would reach 2002 < 2020, so both fit; a third long one would not.
    EXPECT_EQ(list.size(), 1001 + 1001 + 7);
    const QString full = BuildHistoryList({ long1000, long1000, QString(20, u'y'), QStringLiteral("/z") });
    EXPECT_FALSE(full.contains(QString(20, u'y'))); // would make it 2023 characters
    EXPECT_TRUE(full.endsWith(QStringLiteral("/z") + QChar(0)));
    EXPECT_LT(full.size(), HistoryListLimit);
    EXPECT_EQ(SplitHistoryList(QStringLiteral("/a") + QChar(0) + QChar(0) + QStringLiteral("/b") + QChar(0)),
        QStringList({ "/a", "/b" }));
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
