// The entry point of the vorlane7 executable.
#include "app/Main.h"

#include "app/Frm_Splash.h"
#include "app/SessionSignals.h"
#include "app/Settings.h"
#include "app/Startup.h"
#include "mainwin/Frm_Main.h"
#include "platform/ComponentProtocol.h"
#include "thumbs/ThumbX.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>

namespace v7
{

namespace
{
    QStringList argumentsOf(int argc, char **argv)
    {
        QStringList args;
        for (int i = 1; i < argc; ++i)
            args << QString::fromLocal8Bit(argv[i]);
        return args;
    }

    // A display job told to stop when the window closed may still be finishing the file
    // in hand, and it reaches back to this thread: it ends before the globals it uses go.
    void waitForDisplayJobs(const QObject *window, int ms)
    {
        const auto running = [window] {
            const QList<ThumbX *> jobs = window->findChildren<ThumbX *>();
            return std::any_of(jobs.begin(), jobs.end(), [](const ThumbX *x) { return x->running(); })
                || ThumbX::JobThreadsRunning();
        };
        const QDeadlineTimer deadline(ms);
        QTimer tick;
        tick.start(20); // wakes the wait even when nothing else arrives
        while (running() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }

    void print(std::FILE *to, const QString &text)
    {
        std::fputs(text.toLocal8Bit().constData(), to);
        std::fflush(to);
    }
} // namespace

std::unique_ptr<Frm_Main> LoadMainWindow(const CommandLine &commandLine)
{
    auto window = std::make_unique<Frm_Main>(commandLine.folder);
    window->setStartFile(commandLine.file);
    window->Form_Load();
    if (!commandLine.missingFolder.isEmpty())
        window->statusBar()->showMessage(MissingFolderText(commandLine.missingFolder), 15000);
    return window;
}

int Main(int argc, char **argv)
{
    // From the first moment: a session that ends during start-up is answered once the
    // window has loaded, not by the default action that would lose the state.
    SessionSignals::InstallHandlers();

    // Answered before the application object, so they work without a display.
    const CommandLine early = ParseCommandLine(argumentsOf(argc, argv));
    if (early.help) {
        print(stdout, UsageText());
        return 0;
    }
    if (early.version) {
        print(stdout, VersionText() + u'\n');
        return 0;
    }

    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Vorlane7"));
    app.setApplicationVersion(
        QStringLiteral("%1.%2.%3").arg(V7_VERSION_MAJOR).arg(V7_VERSION_MINOR).arg(V7_VERSION_REVISION));
    // The application object is this thread's first window.
    SetThreadHasWindow(true);

    const StartOutcome start = RunStartSteps(app.arguments().mid(1));
    switch (start.role) {
    case StartRole::Worker:
        return 0;
    case StartRole::NoThreadWindow:
    case StartRole::Automation:
        QMessageBox::critical(nullptr, QStringLiteral("Vorlane7"), start.errorText);
        return 1;
    case StartRole::Main:
        break;
    }
    const CommandLine &cl = start.commandLine;
    if (!cl.missingFolder.isEmpty())
        print(stderr, QStringLiteral("vorlane7: ") + MissingFolderText(cl.missingFolder) + u'\n');

    // The worker program beside us serves thumbnail jobs in the external mode.
    component::RegisterThumbWorker();

    // A session that ends the program closes the main window the normal way, which
    // saves the state, wherever the user-interface thread is waiting at that moment.
    SessionSignals sessionSignals;
    std::unique_ptr<Frm_Main> mainWindow;
    bool endRequested = false;
    QObject::connect(&sessionSignals, &SessionSignals::terminateRequested, &app, [&](int) {
        endRequested = true;
        if (!mainWindow)
            return; // still in the splash sequence: ended once the window has loaded
        mainWindow->close();
        // Closing the last window quits only when the main loop gets to it, and a
        // listing or a wait for a display may hold its own loop open: leave them all.
        QCoreApplication::exit(0);
    });

    Frm_Splash splash(startFlags().platformName);
    splash.RunSplashSequence([&] { mainWindow = LoadMainWindow(cl); });
    InitImageLibraries();
    if (endRequested) {
        // The main loop has not run yet, so nothing would quit it: end here.
        mainWindow->close();
        return 0;
    }
    const int code = app.exec();
    waitForDisplayJobs(mainWindow.get(), 10000);
    return code;
}

} // namespace v7
