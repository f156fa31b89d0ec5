// ThumbX: the worker object that runs a thumbnail job for a store, in one of the
// three modes of the setting ThreadMode:
//   0  on the user-interface thread, from a 50 ms one-shot timer;
//   1  on a thread of its own, with its own copy of the settings and of the cache
//      module's state; its calls to the store run on the user-interface thread,
//      one at a time (blocking queued calls). The job starts as soon as its thread
//      runs: the thread start already lets the creating call return first;
//   2  in the worker program vorlane7-thumbx, registered in the hive as
//      "Quillmark7Xexe.ThumbX", spoken to over its standard input and output; the
//      thumbnails reach the store through ThumbsDisplay.
//
// Threads: every function here is called on the user-interface thread, where the
// store lives. The job itself runs where the mode says.
#pragma once

#include "thumbs/BitmapStore.h"
#include "thumbs/ThumbMain.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>

class QProcess;
class QTimer;

namespace v7
{

inline const QString TextMissingComponent = QStringLiteral(
    "Multitasker component is not properly installed.\nVerify the installation and restart the application");
inline const QString TitleMissingComponent = QStringLiteral("Missing component");
inline const QString TextNotResponding = QStringLiteral("Multitasker component is not responding.");
inline const QString TitleNotResponding = QStringLiteral("Multitasker");

// Shows a message box (exclamation icon, OK button); the window supplies it.
using MessageSink = std::function<void(const QString &text, const QString &title)>;

// The job's link to a store on the same thread (mode 0, and the tool).
class DirectStoreLink : public ThumbJobLink
{
public:
    // yieldEvents: process pending events between thumbnails (mode 0).
    DirectStoreLink(BitmapStore *store, bool yieldEvents);
    StoreValues storeValues() override;
    PaneValues paneValues() override;
    bool deliver(const ThumbDelivery &d) override;
    bool cancelRequested() override;
    void progress(int length, int height) override;
    void jobFinished() override;
    void yield() override;

private:
    QPointer<BitmapStore> m_store;
    bool m_yield;
};

// The job's link to a store on another thread (mode 1): each call runs on the
// store's thread and the job waits for it. A store that is gone answers "stop".
// The guard is made on the store's thread: the job's thread must not make one from
// a bare pointer, since the store may be deleted meanwhile.
class QueuedStoreLink : public ThumbJobLink
{
public:
    explicit QueuedStoreLink(QPointer<BitmapStore> store);
    StoreValues storeValues() override;
    PaneValues paneValues() override;
    bool deliver(const ThumbDelivery &d) override;
    bool cancelRequested() override;
    void progress(int length, int height) override;
    void jobFinished() override;

private:
    QPointer<BitmapStore> m_store;
};

class ThumbX : public QObject
{
    Q_OBJECT
public:
    explicit ThumbX(QObject *parent = nullptr);
    ~ThumbX() override;

    // Modes 0 and 1: keeps the store, starts the job (after a 50 ms timer in mode
    // 0, on a new thread in mode 1) and returns at once. False when the job cannot
    // be started.
    bool ThumbProcess(int mode, const QString &folder, const QStringList &files, BitmapStore *store);
    // Decode and encode threads of a mode-1 job (item: ThumbMain::setPoolSize).
    void setPoolSize(int threads) { m_poolSize = threads; }

    // Mode 2: starts the registered worker program. False when it is not registered
    // or cannot start (missing component) or does not take the call (not responding).
    enum class ExternalResult { Started, Missing, NotResponding };
    ExternalResult ThumbProcessExternal(const QString &folder, const QStringList &files, BitmapStore *store);
    // How long a worker program may stay silent (counted from its last message)
    // before it counts as hung, is ended and reported as not responding (for the
    // workers started after the call).
    static void setHangTimeout(int ms);

    bool running() const { return m_running; }
    // Whether a mode-1 job thread of the process is still alive, one whose window is
    // gone included (told to stop, it finishes the file in hand). It reaches back to
    // the user-interface thread, so whoever waits for it runs events meanwhile; at
    // exit, and between tests, before the globals it uses go.
    static bool JobThreadsRunning();

signals:
    void jobEnded();
    // Mode 2: the worker program gave no sign of life for the hang timeout and was ended.
    void notResponding();

private:
    void runOnThisThread();
    void readWorker();
    void workerGone();
    void endJob();

    QPointer<BitmapStore> m_store;
    QString m_folder;
    QStringList m_files;
    int m_mode = 0;
    int m_poolSize = 0;
    bool m_running = false;
    QTimer *m_timer = nullptr;
    // Mode 2.
    QProcess *m_process = nullptr;
    QTimer *m_watchdog = nullptr;
    int m_hangTimeoutMs = 0;
    struct External;
    External *m_ext = nullptr;
};

// The window's show-thumbnails step after layout: waits for the previous store,
// then starts a job for the new store by ThreadMode. Returns the worker object,
// which deletes itself when its job has ended (hold it in a QPointer), or null when
// nothing was started (the store is then finished); messages go to the sink.
ThumbX *StartThumbDisplay(int threadMode,
    const QString &folder,
    const QStringList &files,
    BitmapStore *store,
    const MessageSink &messages,
    QObject *parent = nullptr);

// Asks the store to stop and processes events until it is released (finished, and
// its job has let go of the cache: BitmapStore::released) or the rounds
// are used up (0: no limit). A store whose job runs lower on this thread's stack
// (mode 0) cannot finish inside the wait: it is only cancelled. True when finished.
bool WaitForStore(BitmapStore *store, int maxRounds = 0);

} // namespace v7
