// The entry point of the vorlane7 executable.
#include "app/Frm_Splash.h"
#include "app/SessionSignals.h"
#include "app/Settings.h"
#include "app/Startup.h"
#include "mainwin/Frm_Main.h"
#include "platform/ComponentProtocol.h"

#include <QApplication>
#include <QMessageBox>
#include <memory>

namespace v7
{

int Main(int argc, char **argv)
{
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

    // The worker program beside us serves thumbnail jobs in the external mode.
    component::RegisterThumbWorker();

    // A session that ends the program closes the main window the normal way.
    SessionSignals sessionSignals;
    std::unique_ptr<Frm_Main> mainWindow;
    bool endRequested = false;
    QObject::connect(&sessionSignals, &SessionSignals::terminateRequested, &app, [&](int) {
        if (mainWindow)
            mainWindow->close();
        else
            endRequested = true;
    });

    Frm_Splash splash(startFlags().platformName);
    splash.RunSplashSequence([&] {
        mainWindow = std::make_unique<Frm_Main>(start.commandLine.folder);
        mainWindow->Form_Load();
    });
    InitImageLibraries();
    if (endRequested)
        mainWindow->close();
    return app.exec();
}

} // namespace v7
