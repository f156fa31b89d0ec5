#include "TestEnv.h"
#include "app/Frm_Splash.h"
#include "app/Settings.h"
#include "app/Startup.h"
#include "mainwin/Frm_Main.h"
#include "platform/Hive.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <csignal>
#include <unistd.h>

using namespace v7;

namespace
{

// Every value of the settings table with the type it is stored in.
struct Stored {
    const char *section, *name;
    RegType type;
};
const Stored kEveryValue[] = {
    { "StartUp", "LastOK", RegType::Dword },
    { "StartUp", "LastFolder", RegType::Sz },
    { "StartUp", "LastFile", RegType::Sz },
    { "StartUp", "LastFilter", RegType::Sz },
    { "StartUp", "FolderHistory", RegType::Binary },
    { "StartUp", "FilterHistory", RegType::Binary },
    { "ThumbRECT", "ThumbW", RegType::Dword },
    { "ThumbRECT", "ThumbH", RegType::Dword },
    { "ThumbRECT", "MarginW", RegType::Dword },
    { "ThumbRECT", "MarginH", RegType::Dword },
    { "ThumbRECT", "ThumbsRow", RegType::Dword },
    { "Colors", "ThumbColor", RegType::Sz },
    { "Colors", "ThumbColorFrame", RegType::Sz },
    { "Colors", "ThumbColorText", RegType::Sz },
    { "Colors", "ViewColor", RegType::Sz },
    { "ThumbEngine", "ThreadMode", RegType::Dword },
    { "ThumbEngine", "CacheThumbs", RegType::Dword },
    { "ThumbEngine", "CacheThumbsDir", RegType::Sz },
    { "ThumbEngine", "ShowCaption", RegType::Dword },
    { "DisplayEffect", "E_Index", RegType::Dword },
    { "DisplayEffect", "E_Iter", RegType::Dword },
    { "DisplayEffect", "E_Delay", RegType::Dword },
    { "DisplayEffect", "E_Quality", RegType::Dword },
    { "DisplayEffect", "BeOS", RegType::Dword },
    { "FileTypes", "Registered", RegType::Binary },
    { "ViewStat", "Imagefit", RegType::Sz },
    { "ViewStat", "SplitLeft", RegType::Dword },
    { "ViewStat", "Treeview", RegType::Dword },
    { "ViewStat", "Imageview", RegType::Dword },
    { "ViewStat", "Thumbview", RegType::Dword },
    { "AppFormRECT", "WindowState", RegType::Dword },
    { "AppFormRECT", "Left", RegType::Dword },
    { "AppFormRECT", "Top", RegType::Dword },
    { "AppFormRECT", "Width", RegType::Dword },
    { "AppFormRECT", "Height", RegType::Dword },
};

std::optional<RegValue> storedIn(Hive &hive, const char *section, const char *name)
{
    return hive.read(vorlaneKey(QLatin1String(section)), QLatin1String(name));
}

void expectEveryValueStored(Hive &hive)
{
    for (const Stored &v : kEveryValue) {
        const auto value = storedIn(hive, v.section, v.name);
        ASSERT_TRUE(value.has_value()) << v.section << "\\" << v.name;
        EXPECT_EQ(value->type, v.type) << v.section << "\\" << v.name;
    }
}

class MainWindow : public v7test::TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        settings() = Settings();
        LoadSettings();
    }
};

} // namespace

TEST_F(MainWindow, SplashShowsTheVersionForASecondThenHidesAndTakesTheMarker)
{
    EXPECT_EQ(SplashVersionText(QString()), QStringLiteral("Version 7.1.67 - on "));
    EXPECT_EQ(SplashVersionText(QStringLiteral("WINNT")), QStringLiteral("Version 7.1.67 - on WINNT"));

    Frm_Splash splash { QString() };
    EXPECT_EQ(splash.versionText(), QStringLiteral("Version 7.1.67 - on "));
    const QString marker = MarkerTitle(std::uint32_t(::getpid()));
    bool visibleDuringLoad = true, markerDuringLoad = true;
    QElapsedTimer clock;
    clock.start();
    qint64 loadedAfter = -1;
    splash.RunSplashSequence([&] {
        loadedAfter = clock.elapsed();
        visibleDuringLoad = splash.isVisible();
        markerDuringLoad = TopLevelWindowExists(marker);
    });
    EXPECT_GE(loadedAfter, 1000);
    EXPECT_FALSE(visibleDuringLoad);
    EXPECT_FALSE(markerDuringLoad); // the title is set only once the main window has loaded
    EXPECT_FALSE(splash.isVisible());
    EXPECT_EQ(splash.windowTitle(), marker);
    EXPECT_TRUE(TopLevelWindowExists(marker));
}

TEST_F(MainWindow, LoadWritesLastOkZeroAndCloseSavesEverything)
{
    const QString folder = root() + QStringLiteral("/pictures");
    ASSERT_TRUE(QDir().mkpath(folder));
    Frm_Main window(folder);
    QSignalSpy firstDisplay(&window, &Frm_Main::firstDisplayStarted);
    window.Form_Load();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Vorlane7"));
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.statusPanelText(4), QStringLiteral("Zoom: 1X"));
    EXPECT_EQ(storedIn(Hive::user(), "StartUp", "LastOK")->dword, 0u);
    EXPECT_TRUE(firstDisplay.wait(2000)); // the 50 ms one-shot lists the folder
    EXPECT_EQ(firstDisplay.count(), 1);
    EXPECT_EQ(window.currentFolder(), folder);

    window.close();
    EXPECT_EQ(storedIn(Hive::user(), "StartUp", "LastOK")->dword, 1u);
    EXPECT_EQ(storedIn(Hive::user(), "StartUp", "LastFolder")->text, folder);
    expectEveryValueStored(Hive::user());
}

TEST_F(MainWindow, TheProgramEndedBySignalSavesItsStateAndSlashSPersists)
{
    for (int sig : { SIGTERM, SIGINT }) {
        QFile::remove(hivePath());
        Hive::user().write(
            vorlaneKey(QStringLiteral("DisplayEffect")), QStringLiteral("BeOS"), RegValue::fromDword(0xFFFFFFFFu));
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(VORLANE7_EXE), { QStringLiteral(V7_SAMPLES_DIR), QStringLiteral("/s") });
        ASSERT_TRUE(program.waitForStarted());

        // Wait until the main window has loaded (it writes LastOK 0), then end the session.
        Hive watcher(hivePath());
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 30000) {
            const auto ok = watcher.read(vorlaneKey(QStringLiteral("StartUp")), QStringLiteral("LastOK"));
            if (ok && ok->dword == 0)
                break;
            program.waitForFinished(20);
            ASSERT_EQ(program.state(), QProcess::Running) << program.readAllStandardError().toStdString();
        }
        ::kill(pid_t(program.processId()), sig);
        ASSERT_TRUE(program.waitForFinished(30000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << sig;
        EXPECT_EQ(program.exitCode(), 0) << sig;

        EXPECT_EQ(storedIn(watcher, "StartUp", "LastOK")->dword, 1u) << sig;
        EXPECT_EQ(storedIn(watcher, "DisplayEffect", "BeOS")->dword, 0u) << sig; // "/s" persisted
        EXPECT_EQ(
            storedIn(watcher, "StartUp", "LastFolder")->text, QDir(QStringLiteral(V7_SAMPLES_DIR)).absolutePath());
        expectEveryValueStored(watcher);
    }
}
