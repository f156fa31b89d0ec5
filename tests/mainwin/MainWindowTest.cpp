#include "TestEnv.h"
#include "app/Frm_Splash.h"
#include "app/Settings.h"
#include "app/Startup.h"
#include "mainwin/Frm_Main.h"
#include "platform/Hive.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
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

namespace
{

// Runs the program on its arguments until its main window has loaded (it writes LastOK
// 0), or until it catches sig at all (Starting: the splash window is still to come or
// up), waits afterMs more, sends sig and waits for the end. The bounds are generous:
// under load and the sanitizers a start takes seconds; a program that does not end
// at all is what they catch.
// Whether the process catches sig (its handler is installed), from /proc.
bool catchesSignal(qint64 pid, int sig)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (sig - 1)) & 1u;
    }
    return false;
}

enum class SignalAt { Loaded, Starting };

void runUntilThenSignal(const QString &hive, const QStringList &args, int sig, SignalAt at, int afterMs)
{
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(VORLANE7_EXE), args);
    ASSERT_TRUE(program.waitForStarted(30000));

    Hive watcher(hive);
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (at == SignalAt::Starting && catchesSignal(program.processId(), sig))
            break;
        const auto ok = watcher.read(vorlaneKey(QStringLiteral("StartUp")), QStringLiteral("LastOK"));
        if (at == SignalAt::Loaded && ok && ok->dword == 0)
            break;
        ASSERT_FALSE(ok.has_value() && at == SignalAt::Starting) << "loaded before the signal could be sent";
        ASSERT_LT(clock.elapsed(), 120000) << "the main window never loaded";
        program.waitForFinished(10);
        ASSERT_EQ(program.state(), QProcess::Running) << program.readAllStandardError().toStdString();
    }
    if (afterMs > 0)
        program.waitForFinished(afterMs);
    ASSERT_EQ(program.state(), QProcess::Running) << program.readAllStandardError().toStdString();
    ::kill(pid_t(program.processId()), sig);
    if (!program.waitForFinished(60000)) {
        program.kill();
        program.waitForFinished();
        FAIL() << "signal " << sig << " (" << afterMs << " ms after the moment waited for) did not end the program";
    }
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << sig << " after " << afterMs;
    EXPECT_EQ(program.exitCode(), 0) << sig << " after " << afterMs << program.readAllStandardError().toStdString();
}

} // namespace

TEST_F(MainWindow, TheProgramEndedBySignalSavesItsStateAndSlashSPersists)
{
    for (int sig : { SIGTERM, SIGINT }) {
        QFile::remove(hivePath());
        Hive::user().write(
            vorlaneKey(QStringLiteral("DisplayEffect")), QStringLiteral("BeOS"), RegValue::fromDword(0xFFFFFFFFu));
        runUntilThenSignal(
            hivePath(), { QStringLiteral(V7_SAMPLES_DIR), QStringLiteral("/s") }, sig, SignalAt::Loaded, 0);

        Hive watcher(hivePath());
        EXPECT_EQ(storedIn(watcher, "StartUp", "LastOK")->dword, 1u) << sig;
        EXPECT_EQ(storedIn(watcher, "DisplayEffect", "BeOS")->dword, 0u) << sig; // "/s" persisted
        EXPECT_EQ(
            storedIn(watcher, "StartUp", "LastFolder")->text, QDir(QStringLiteral(V7_SAMPLES_DIR)).absolutePath());
        expectEveryValueStored(watcher);
    }
}

// The first display of a large folder lists it and then waits for its thumbnails while
// letting events run; a signal that arrives in any of those moments ends the program
// with its state saved, as one at rest does.
TEST_F(MainWindow, ASignalDuringTheFirstListingOfALargeFolderEndsTheProgramWithItsStateSaved)
{
    const QString big = root() + QStringLiteral("/big folder");
    ASSERT_TRUE(QDir().mkpath(big));
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(QColor(40, 120, 200));
    QByteArray jpeg;
    {
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        ASSERT_TRUE(picture.save(&buffer, "JPG"));
    }
    for (int i = 0; i < 4000; ++i)
        v7test::writeFile(big + QStringLiteral("/IMG_%1.jpg").arg(i, 5, 10, QChar(u'0')), jpeg);

    // From right at the load to well into the listing and the thumbnails.
    const std::pair<int, int> runs[] = {
        { SIGTERM, 0 }, { SIGTERM, 40 }, { SIGINT, 80 }, { SIGTERM, 150 }, { SIGTERM, 300 }, { SIGTERM, 700 }
    };
    for (const auto &[sig, afterMs] : runs) {
        QFile::remove(hivePath());
        runUntilThenSignal(hivePath(), { big }, sig, SignalAt::Loaded, afterMs);
        Hive watcher(hivePath());
        const auto ok = storedIn(watcher, "StartUp", "LastOK");
        ASSERT_TRUE(ok.has_value());
        EXPECT_EQ(ok->dword, 1u) << sig << " after " << afterMs;
        EXPECT_EQ(storedIn(watcher, "StartUp", "LastFolder")->text, big) << sig << " after " << afterMs;
        expectEveryValueStored(watcher);
    }
}

// A session that ends while the program starts (the splash window shows for a second
// before the main window loads) ends it too, once the window has loaded and saved.
TEST_F(MainWindow, ASignalWhileTheProgramStartsEndsItOnceTheWindowHasLoaded)
{
    for (int sig : { SIGTERM, SIGINT }) {
        QFile::remove(hivePath());
        runUntilThenSignal(hivePath(), { QStringLiteral(V7_SAMPLES_DIR) }, sig, SignalAt::Starting, 0);
        Hive watcher(hivePath());
        const auto ok = storedIn(watcher, "StartUp", "LastOK");
        ASSERT_TRUE(ok.has_value()) << sig;
        EXPECT_EQ(ok->dword, 1u) << sig;
        EXPECT_EQ(
            storedIn(watcher, "StartUp", "LastFolder")->text, QDir(QStringLiteral(V7_SAMPLES_DIR)).absolutePath());
        expectEveryValueStored(watcher);
    }
}
