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

namespace
{
    // The switches a command line may hold, lower case. An argument made of these alone
    // (such as "/nt/95") is a switch argument, not a folder that is missing.
    const char *const kSwitchWords[] = { "/automation", "-embedding", "/95", "/nt", "/s", "/d", "/t" };

    bool isSwitchesOnly(const QString &arg)
    {
        const QString lower = arg.toLower();
        qsizetype at = 0;
        while (at < lower.size()) {
            qsizetype matched = 0;
            for (const char *word : kSwitchWords) {
                const QLatin1String w(word);
                if (QStringView(lower).mid(at).startsWith(w)) {
                    matched = w.size();
                    break;
                }
            }
            if (matched == 0)
                return false;
            at += matched;
        }
        return at > 0;
    }
} // namespace

CommandLine ParseCommandLine(const QStringList &arguments)
{
    CommandLine cl;
    QStringList rest;
    for (const QString &arg : arguments) {
        if (arg.isEmpty())
            continue;
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            cl.help = true;
            continue;
        }
        if (arg == QLatin1String("--version")) {
            cl.version = true;
            continue;
        }
        const QFileInfo info(arg);
        if (info.exists()) {
            // Any existing path, not only the first, stays out of the switch test: a
            // path such as /data/shots must not switch on "/d".
            if (cl.folder.isEmpty()) {
                if (info.isDir()) {
                    cl.folder = info.absoluteFilePath();
                } else {
                    cl.folder = info.absolutePath();
                    cl.file = info.fileName();
                }
            }
            continue;
        }
        if (cl.missingFolder.isEmpty() && !isSwitchesOnly(arg))
            cl.missingFolder = arg;
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

QString VersionText()
{
    return QStringLiteral("Vorlane7 %1.%2.%3").arg(V7_VERSION_MAJOR).arg(V7_VERSION_MINOR).arg(V7_VERSION_REVISION);
}

QString UsageText()
{
    return QStringLiteral("Usage: vorlane7 [FOLDER | IMAGE] [/s] [/d] [/t] [/95] [/nt]\n"
                          "       vorlane7 --help | -h | --version\n"
                          "\n"
                          "  FOLDER      open this folder instead of the last one shown\n"
                          "  IMAGE       open the image's folder with that image current\n"
                          "  /s          start with the standard window style, and keep it\n"
                          "  /d          paint a running counter while thumbnails are made\n"
                          "  /t          open the thumbnail cache file in transacted mode\n"
                          "  /95, /nt    set the platform name shown on the splash window\n"
                          "  -h, --help  print this help and exit\n"
                          "  --version   print the version and exit\n"
                          "\n"
                          "The switches are found anywhere in the arguments that do not name an existing\n"
                          "path, in any letter case, as plain text (so /d also matches inside a longer word).\n");
}

QString MissingFolderText(const QString &folder)
{
    return QStringLiteral("Folder not found: ") + folder;
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
