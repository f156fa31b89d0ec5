// The start procedure: the single entry point of the process. It runs on the
// first thread (which opens the user interface) and on every worker thread
// (which sets up its own copy of the globals and returns).
//
// Threads: RunStartSteps and the marker functions may be called from any thread;
// Main only from the process's first thread.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace v7
{

constexpr std::int32_t ErrInternalStartingThread = std::int32_t(0x80040600);
constexpr std::int32_t ErrStartedWithAutomation = std::int32_t(0x80040601);
inline const char *const TextInternalStartingThread = "Internal error starting thread";
inline const char *const TextStartedWithAutomation = "Application can't be started with Automation";

// What the switches of a command line ask for.
struct CommandLine {
    bool standardStyle = false; // "/s"
    bool win95 = false; // "/95"
    bool winNT = false; // "/nt"
    bool thumbCounter = false; // "/d"
    bool transactedCache = false; // "/t"
    bool automation = false; // "-Embedding" or "/Automation": started to serve an object
    bool help = false; // "--help" or "-h": print the usage and end
    bool version = false; // "--version": print the version and end
    QString folder; // the folder to open: one named on the command line, or an image file's
    QString file; // the name (in folder) of an image file named on the command line
    QString missingFolder; // an argument meant as a folder that does not exist, as given
};

// The arguments after the program name. Every argument that names an existing path takes
// no part in the switch test; the first of them is the folder to open (an existing file
// opens its folder with that file current). The rest is joined, lower-cased and searched
// for each switch as a plain substring. An argument that is neither an existing path, an
// option nor made of switches alone is reported as a folder that does not exist.
CommandLine ParseCommandLine(const QStringList &arguments);

// What --help prints.
QString UsageText();
// What --version prints: "Vorlane7 " and the version.
QString VersionText();
// The notice for a folder argument that does not exist.
QString MissingFolderText(const QString &folder);

// The host version query: empty on this host (the names belong to other hosts).
QString GetOsPlatform();

// "Vorlane7" followed by the process id in decimal.
QString MarkerTitle(std::uint32_t processId);

// A process-wide stand-in for "find a top-level window with this title": windows
// that carry the marker register their title here.
void RegisterTopLevelTitle(const QString &title);
void UnregisterTopLevelTitle(const QString &title);
bool TopLevelWindowExists(const QString &title);

// The current thread's window, whose owner gives the process id. The first thread
// gets one when the application object exists, a worker thread when it is made to
// serve a worker object; a thread without one cannot start.
void SetThreadHasWindow(bool has);
bool ThreadHasWindow();

enum class StartRole {
    Main, // open the user interface
    Worker, // globals set up; serve the worker object
    NoThreadWindow, // "Internal error starting thread"
    Automation, // "Application can't be started with Automation"
};

struct StartOutcome {
    StartRole role = StartRole::Main;
    CommandLine commandLine;
    std::int32_t errorNumber = 0;
    QString errorText;
};

// Steps 1 to 8 and the choice of step 9 or 10: platform, switches, settings, "/s",
// the thread's window and the marker. Fills this thread's settings and flags.
StartOutcome RunStartSteps(const QStringList &arguments);

// Initialises the codec layer; results are not examined.
void InitImageLibraries();

// The entry point of the executable.
int Main(int argc, char **argv);

} // namespace v7
