#include "app/Startup.h"

#include "app/Settings.h"
#include "imaging/Codecs.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <mutex>
#include <set>
#include <unistd.h>

namespace v7
{

namespace
{
    std::mutex g_titlesMutex;
    std::multiset<QString> g_titles; // process-wide, like the desktop's window list
    thread_local bool t_threadHasWindow = false;
} // namespace

CommandLine ParseCommandLine(const QStringList &arguments)
{
    CommandLine cl;
    QStringList rest;
    for (const QString &arg : arguments) {
        if (cl.folder.isEmpty() && !arg.isEmpty() && QFileInfo(arg).isDir()) {
            cl.folder = QFileInfo(arg).absoluteFilePath();
            continue;
        }
        rest << arg;
    }
    const QString line = rest.join(u' ').toLower();
    cl.standardStyle = line.contains(QLatin1String("/s"));
    cl.win95 = line.contains(QLatin1String("/95"));
    cl.winNT = line.contains(QLatin1String("/nt"));
    cl.thumbCounter = line.contains(QLatin1String("/d"));
    cl.transactedCache = line.contains(QLatin1String("/t"));
    cl.automation = line.contains(QLatin1String("-embedding")) || line.contains(QLatin1String("/automation"));
    return cl;
}

QString GetOsPlatform()
{
    return QString();
}

QString MarkerTitle(std::uint32_t processId)
{
    return QStringLiteral("Vorlane7") + QString::number(processId);
}

void RegisterTopLevelTitle(const QString &title)
{
    std::lock_guard lock(g_titlesMutex);
    g_titles.insert(title);
}

void UnregisterTopLevelTitle(const QString &title)
{
    std::lock_guard lock(g_titlesMutex);
    auto it = g_titles.find(title);
    if (it != g_titles.end())
        g_titles.erase(it);
}

bool TopLevelWindowExists(const QString &title)
{
    std::lock_guard lock(g_titlesMutex);
    return g_titles.count(title) > 0;
}

void SetThreadHasWindow(bool has)
{
    t_threadHasWindow = has;
}

bool ThreadHasWindow()
{
    return t_threadHasWindow;
}

StartOutcome RunStartSteps(const QStringList &arguments)
{
    StartOutcome out;
    out.commandLine = ParseCommandLine(arguments);
    const CommandLine &cl = out.commandLine;

    StartFlags &flags = startFlags();
    flags.platformName = GetOsPlatform();
    if (cl.win95)
        flags.platformName = QStringLiteral("WIN95");
    if (cl.winNT) // tested after "/95", so with both the later wins
        flags.platformName = QStringLiteral("WINNT");
    if (cl.thumbCounter)
        flags.ShowThumbCounter = true;
    if (cl.transactedCache)
        flags.TransactedCache = true;

    LoadSettings();
    if (cl.standardStyle)
        settings().BeOS = false; // after loading, so the stored value cannot undo it

    if (!ThreadHasWindow()) {
        out.role = StartRole::NoThreadWindow;
        out.errorNumber = ErrInternalStartingThread;
        out.errorText = QString::fromLatin1(TextInternalStartingThread);
        return out;
    }
    if (TopLevelWindowExists(MarkerTitle(std::uint32_t(::getpid())))) {
        out.role = StartRole::Worker;
        return out;
    }
    if (cl.automation) {
        out.role = StartRole::Automation;
        out.errorNumber = ErrStartedWithAutomation;
        out.errorText = QString::fromLatin1(TextStartedWithAutomation);
        return out;
    }
    out.role = StartRole::Main;
    return out;
}

} // namespace v7

namespace v7
{

void InitImageLibraries()
{
    InitCodecs();
}

} // namespace v7
