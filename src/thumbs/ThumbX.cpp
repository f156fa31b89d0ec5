#include "thumbs/ThumbX.h"

#include "app/Settings.h"
#include "app/Startup.h"
#include "platform/ComponentProtocol.h"
#include "thumbs/CacheUpkeep.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <atomic>

#if defined(__SANITIZE_THREAD__)
#define V7_TSAN_ANNOTATE 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define V7_TSAN_ANNOTATE 1
#endif
#endif
#if V7_TSAN_ANNOTATE
#include <sanitizer/tsan_interface.h>
#endif

namespace v7
{

namespace
{
    // The store whose job runs on this thread's stack (mode 0): a wait for it
    // cannot succeed until the stack unwinds.
    thread_local BitmapStore *t_storeOnStack = nullptr;
    // The store that works now; a new display waits for it.
    QPointer<BitmapStore> g_working;
    std::atomic<int> g_hangTimeoutMs { 30000 };
    // Mode-1 job threads still alive, those of closed windows included.
    std::atomic<int> g_jobThreads { 0 };

    StoreValues valuesOf(const BitmapStore &s)
    {
        return { s.grid().columns, s.grid().fileCount, s.grid().referenceIndex, s.progressWidth() };
    }
    PaneValues paneOf(const BitmapStore &s)
    {
        return { s.currentIndex(), s.viewTop(), s.viewBottom() };
    }

    bool deliverTo(BitmapStore &s, const ThumbDelivery &d)
    {
        s.setCurrentIndex(d.index);
        s.drawProgress(d.progressLength, d.progressHeight, d.counterText);
        return s.AcceptThumb(d.index, d.bytes.constData(), int(d.bytes.size()), d.refresh);
    }

    // The call that onUiThread hands to Qt. Qt orders the two threads through a
    // semaphore of its own, which ThreadSanitizer cannot see (Qt is not built with it),
    // so under it the call states that order itself: the copy Qt keeps is published
    // once built, the user-interface thread takes it over before running f and hands
    // it back after, and the job thread takes it back when Qt destroys it, before the
    // blocking call returns. Elsewhere these are no-ops.
    template <typename F> class UiCall
    {
    public:
        explicit UiCall(F *f)
            : m_f(f)
        {
        }
        UiCall(UiCall &&other) noexcept
            : m_f(other.m_f)
        {
            release(this);
        }
        UiCall(const UiCall &) = delete;
        UiCall &operator=(const UiCall &) = delete;
        UiCall &operator=(UiCall &&) = delete;
        ~UiCall() { acquire(this); }
        void operator()()
        {
            acquire(this);
            (*m_f)();
            release(this);
        }

    private:
        static void release([[maybe_unused]] void *at)
        {
#if V7_TSAN_ANNOTATE
            __tsan_release(at);
#endif
        }
        static void acquire([[maybe_unused]] void *at)
        {
#if V7_TSAN_ANNOTATE
            __tsan_acquire(at);
#endif
        }
        F *m_f;
    };

    // Runs f on the user-interface thread and waits. The context is the application
    // object, which outlives any store; f checks the store itself.
    template <typename F> void onUiThread(F f)
    {
        QMetaObject::invokeMethod(QCoreApplication::instance(), UiCall<F>(&f), Qt::BlockingQueuedConnection);
    }
} // namespace

// ---- links ----

DirectStoreLink::DirectStoreLink(BitmapStore *store, bool yieldEvents)
    : m_store(store)
    , m_yield(yieldEvents)
{
}
StoreValues DirectStoreLink::storeValues()
{
    BitmapStore *s = m_store.data();
    return s ? valuesOf(*s) : StoreValues {};
}
PaneValues DirectStoreLink::paneValues()
{
    BitmapStore *s = m_store.data();
    return s ? paneOf(*s) : PaneValues {};
}
bool DirectStoreLink::deliver(const ThumbDelivery &d)
{
    BitmapStore *s = m_store.data();
    return s && deliverTo(*s, d);
}
bool DirectStoreLink::cancelRequested()
{
    return !m_store || m_store->cancelRequested();
}
void DirectStoreLink::progress(int length, int height)
{
    if (m_store)
        m_store->drawProgress(length, height, QString());
}
void DirectStoreLink::jobFinished()
{
    if (m_store) {
        // The last thumbnail may have finished the store already; a cache set
        // aside by the job's commit after that is said now.
        m_store->showCacheNotice();
        m_store->setFinished();
        m_store->setJobHolds(false); // the job has let go of the cache
    }
}
void DirectStoreLink::yield()
{
    if (m_yield)
        QCoreApplication::processEvents();
}

QueuedStoreLink::QueuedStoreLink(QPointer<BitmapStore> store)
    : m_store(std::move(store))
{
}
StoreValues QueuedStoreLink::storeValues()
{
    StoreValues v;
    onUiThread([&] {
        if (BitmapStore *s = m_store.data())
            v = valuesOf(*s);
    });
    return v;
}
PaneValues QueuedStoreLink::paneValues()
{
    PaneValues v;
    onUiThread([&] {
        if (BitmapStore *s = m_store.data())
            v = paneOf(*s);
    });
    return v;
}
bool QueuedStoreLink::deliver(const ThumbDelivery &d)
{
    bool go = false;
    onUiThread([&] {
        if (BitmapStore *s = m_store.data())
            go = deliverTo(*s, d);
    });
    return go;
}
bool QueuedStoreLink::cancelRequested()
{
    bool cancel = true;
    onUiThread([&] { cancel = !m_store || m_store->cancelRequested(); });
    return cancel;
}
void QueuedStoreLink::progress(int length, int height)
{
    onUiThread([&] {
        if (m_store)
            m_store->drawProgress(length, height, QString());
    });
}
void QueuedStoreLink::jobFinished()
{
    onUiThread([&] {
        if (m_store) {
            m_store->showCacheNotice(); // as DirectStoreLink::jobFinished
            m_store->setFinished();
            m_store->setJobHolds(false); // the job has let go of the cache
        }
    });
}

// ---- the worker object ----

struct ThumbX::External {
    component::FrameReader reader;
    bool done = false;
    std::int64_t startSecs = QDateTime::currentSecsSinceEpoch() - 1; // names carry whole seconds
};

ThumbX::ThumbX(QObject *parent)
    : QObject(parent)
    , m_hangTimeoutMs(g_hangTimeoutMs.load())
{
}

void ThumbX::setHangTimeout(int ms)
{
    g_hangTimeoutMs.store(ms);
}

ThumbX::~ThumbX()
{
    if (m_process) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->waitForFinished(2000);
    }
    delete m_ext;
    // A mode-1 thread still running finishes on its own: its link finds the store
    // gone or cancelled and it deletes itself, and lets go of the store then. A
    // worker program killed, or a mode-0 job never started, holds nothing.
    if (m_store && m_running && m_mode != 1)
        m_store->setJobHolds(false);
}

bool ThumbX::ThumbProcess(int mode, const QString &folder, const QStringList &files, BitmapStore *store)
{
    if (m_running || !store)
        return false;
    m_mode = mode;
    m_store = store;
    m_folder = folder;
    m_files = files;
    setShownFolder(OLEStorage::cacheFilePath(OLEStorage::CacheFileName), folder);
    store->setJobHolds(true);
    if (mode == 0) {
        m_running = true;
        m_timer = new QTimer(this);
        m_timer->setSingleShot(true);
        connect(m_timer, &QTimer::timeout, this, &ThumbX::runOnThisThread);
        m_timer->start(50);
        return true;
    }
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const int pool = m_poolSize;
    QPointer<BitmapStore> target(store);
    QThread *thread = QThread::create([target, folder, files, arguments, pool] {
        SetThreadHasWindow(true);
        const StartOutcome out = RunStartSteps(arguments);
        QueuedStoreLink link(target);
        if (out.role == StartRole::Worker) {
            ThumbMain job(&link);
            job.setPoolSize(pool);
            job.setJob(folder, files);
            job.RunThumbJob();
        } else {
            link.jobFinished();
        }
        SetThreadHasWindow(false);
        g_jobThreads.fetch_sub(1);
    });
    if (!thread) {
        store->setJobHolds(false);
        return false;
    }
    g_jobThreads.fetch_add(1);
    m_running = true;
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(thread, &QThread::finished, this, &ThumbX::endJob);
    thread->start();
    return true;
}

bool ThumbX::JobThreadsRunning()
{
    return g_jobThreads.load() > 0;
}

void ThumbX::runOnThisThread()
{
    if (t_storeOnStack) {
        // A job of an earlier display still runs below us (it has been cancelled and
        // stops at its next thumbnail); the module state is this thread's, so wait.
        m_timer->start(50);
        return;
    }
    if (m_store) {
        t_storeOnStack = m_store;
        {
            DirectStoreLink link(m_store, true);
            ThumbMain job(&link);
            job.setJob(m_folder, m_files);
            job.RunThumbJob();
        }
        t_storeOnStack = nullptr;
    }
    endJob();
}

void ThumbX::endJob()
{
    if (!m_running)
        return;
    m_running = false;
    if (m_store && !m_store->finished())
        m_store->setFinished();
    if (m_store)
        m_store->setJobHolds(false);
    // Keeping the cache within CacheMaxMB and compact happens on a thread of its
    // own, after the job: a display never waits for it.
    const Settings &cfg = settings();
    if (cfg.CacheThumbs)
        startCacheTidy(OLEStorage::cacheFilePath(OLEStorage::CacheFileName), cfg.CacheMaxMB, m_folder);
    emit jobEnded();
}

ThumbX::ExternalResult ThumbX::ThumbProcessExternal(const QString &folder, const QStringList &files, BitmapStore *store)
{
    if (m_running || !store)
        return ExternalResult::NotResponding;
    const QString program = component::RegisteredThumbWorker();
    if (program.isEmpty() || !QFileInfo(program).isExecutable())
        return ExternalResult::Missing;
    m_mode = 2;
    m_store = store;
    m_files = files;
    setShownFolder(OLEStorage::cacheFilePath(OLEStorage::CacheFileName), folder);
    m_process = new QProcess(this);
    m_process->setProgram(program);
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->setStandardErrorFile(QProcess::nullDevice());
    m_process->start();
    if (!m_process->waitForStarted(10000)) {
        delete m_process;
        m_process = nullptr;
        return ExternalResult::Missing;
    }
    const Settings &cfg = settings();
    component::ThumbProcessArgs a;
    a.cacheThumbs = cfg.CacheThumbs;
    a.callerFlag = startFlags().ShowThumbCounter;
    a.folder = folder;
    a.cacheThumbsDir = cfg.CacheThumbsDir;
    a.thumbW = cfg.ThumbW;
    a.thumbH = cfg.ThumbH;
    a.marginW = cfg.MarginW;
    a.marginH = cfg.MarginH;
    a.files = files;
    a.columns = store->grid().columns;
    a.referenceIndex = store->grid().referenceIndex;
    a.currentIndex = store->currentIndex();
    a.viewTop = store->viewTop();
    a.viewBottom = store->viewBottom();
    a.progressWidth = store->progressWidth();
    a.transacted = startFlags().TransactedCache;
    a.poolSize = m_poolSize;
    a.useEmbeddedThumbs = cfg.UseEmbeddedThumbs;
    const QByteArray frame =
        component::encodeFrame(component::FrameType::ThumbProcess, component::encodeThumbProcess(a));
    if (m_process->write(frame) != frame.size()) {
        m_process->kill();
        m_process->waitForFinished(2000);
        delete m_process;
        m_process = nullptr;
        return ExternalResult::NotResponding;
    }
    m_ext = new External;
    m_running = true;
    store->setJobHolds(true);
    m_watchdog = new QTimer(this);
    m_watchdog->setSingleShot(true);
    connect(m_watchdog, &QTimer::timeout, this, [this] {
        // Silent for too long: hung. Ending it ends the display, and the user hears why.
        if (!m_process)
            return;
        m_process->kill();
        emit notResponding();
    });
    m_watchdog->start(m_hangTimeoutMs);
    // A store that goes away cannot answer: the worker would wait for it for ever.
    connect(store, &QObject::destroyed, this, [this] {
        if (m_process)
            m_process->kill();
    });
    connect(m_process, &QProcess::readyReadStandardOutput, this, &ThumbX::readWorker);
    connect(m_process, &QProcess::finished, this, &ThumbX::workerGone);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
        if (e == QProcess::Crashed || e == QProcess::FailedToStart)
            workerGone();
    });
    return ExternalResult::Started;
}

void ThumbX::readWorker()
{
    if (!m_process || !m_ext)
        return;
    m_watchdog->start(m_hangTimeoutMs);
    m_ext->reader.feed(m_process->readAllStandardOutput());
    while (auto f = m_ext->reader.next()) {
        if (f->type == component::FrameType::Done) {
            m_ext->done = true;
            // A cache the worker program had to set aside is said here, by the store.
            noticeCachesSetAsideSince(OLEStorage::cacheFilePath(OLEStorage::CacheFileName), m_ext->startSecs);
            if (m_store) {
                m_store->showCacheNotice(); // the last thumbnail may have finished the store already
                m_store->setFinished();
                m_store->setJobHolds(false); // the worker sends Done after letting go of the cache
            }
            continue;
        }
        const auto d =
            f->type == component::FrameType::ThumbsDisplay ? component::decodeThumbsDisplay(f->payload) : std::nullopt;
        if (!d || !m_store) {
            m_process->kill();
            return;
        }
        m_store->setCurrentIndex(d->index);
        // The worker's frame has no counter: it is the same text made here.
        const QString counter =
            startFlags().ShowThumbCounter ? thumbCounterText(d->index, int(m_files.size())) : QString();
        // The worker's thumbnails draw the black 16-pixel bar of a delivered thumbnail.
        m_store->drawProgress(d->progressLength, 16, counter);
        const bool go = m_store->ThumbsDisplay(d->index, d->bytes);
        m_process->write(component::encodeFrame(component::FrameType::Ack, QByteArray(1, go ? 1 : 0)));
    }
    if (m_ext->reader.failed()) {
        m_process->kill();
        return;
    }
    // Time spent here on the store's side is not the worker's silence.
    m_watchdog->start(m_hangTimeoutMs);
}

void ThumbX::workerGone()
{
    if (!m_process)
        return;
    m_watchdog->stop();
    m_process->deleteLater();
    m_process = nullptr;
    endJob();
}

// ---- starting and waiting ----

bool WaitForStore(BitmapStore *store, int maxRounds)
{
    // Released, not just finished: the job's last commit comes after its last thumbnail.
    if (!store || store->released())
        return true;
    store->RequestCancel();
    if (t_storeOnStack == store)
        return false;
    QPointer<BitmapStore> guard(store);
    QTimer tick;
    tick.start(10); // wakes the loop even when nothing else arrives
    for (int round = 0; guard && !guard->released() && (maxRounds == 0 || round < maxRounds); ++round)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return !guard || guard->released();
}

ThumbX *StartThumbDisplay(int threadMode,
    const QString &folder,
    const QStringList &files,
    BitmapStore *store,
    const MessageSink &messages,
    QObject *parent)
{
    if (g_working && g_working != store)
        WaitForStore(g_working);
    g_working = store;
    auto *x = new ThumbX(parent);
    QObject::connect(x, &ThumbX::jobEnded, x, &QObject::deleteLater);
    if (messages)
        QObject::connect(x, &ThumbX::notResponding, x, [messages] {
            // Shown from the event loop: a modal box here would run the loop inside
            // the worker object, which ends and is deleted meanwhile.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [messages] { messages(TextNotResponding, TitleNotResponding); },
                Qt::QueuedConnection);
        });
    if (threadMode == 2) {
        const auto r = x->ThumbProcessExternal(folder, files, store);
        if (r == ThumbX::ExternalResult::Started)
            return x;
        if (messages)
            messages(r == ThumbX::ExternalResult::Missing ? TextMissingComponent : TextNotResponding,
                r == ThumbX::ExternalResult::Missing ? TitleMissingComponent : TitleNotResponding);
    } else {
        if (threadMode == 1)
            x->setPoolSize(ThumbMain::idealPoolSize());
        if (x->ThumbProcess(threadMode == 1 ? 1 : 0, folder, files, store))
            return x;
        if (messages && threadMode == 1)
            messages(TextNotResponding, TitleNotResponding);
    }
    store->setFinished();
    delete x;
    return nullptr;
}

} // namespace v7
