// Several writers on one cache file: jobs in this process and in others, the
// command-line tool, and file commands run while a job works. Every case must
// end with every thumbnail in the cache.
#include "EngineTestSupport.h"
#include "app/Startup.h"
#include "platform/ComponentProtocol.h"
#include "thumbs/CacheUpkeep.h"
#include "thumbs/ThumbX.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace v7;
using namespace v7test;

namespace
{

// A job's link that records deliveries and runs a hook after the first one, while
// the job is in the middle of its work.
class HookLink : public ThumbJobLink
{
public:
    StoreValues storeValues() override { return { 3, count, 0, 100 }; }
    PaneValues paneValues() override { return {}; }
    bool deliver(const ThumbDelivery &d) override
    {
        ++delivered;
        if (!d.bytes.isEmpty())
            ++made;
        return true;
    }
    bool cancelRequested() override { return false; }
    void progress(int, int) override { }
    void jobFinished() override { finished = true; }
    void yield() override
    {
        if (delivered == 1 && hook) {
            auto h = std::move(hook);
            hook = nullptr;
            h();
        }
    }
    int count = 0;
    int delivered = 0, made = 0;
    bool finished = false;
    std::function<void()> hook;
};

// A window whose first thumbnail shown runs a hook (modes 1 and 2 reach the
// window here, on the user-interface thread, while the job waits for the answer).
class HookHost : public FakeHost
{
public:
    void RequestRepaint() override
    {
        FakeHost::RequestRepaint();
        fire();
    }
    void ShowDeliveredThumb(int index, int x, int y) override
    {
        FakeHost::ShowDeliveredThumb(index, x, y);
        fire();
    }
    std::function<void()> hook;

private:
    void fire()
    {
        if (hook) {
            auto h = std::move(hook);
            hook = nullptr;
            h();
        }
    }
};

QProcess *startTool(const QStringList &args)
{
    auto *p = new QProcess;
    p->start(QStringLiteral(V7_CACHE_TOOL_PATH), args);
    return p;
}

bool storageExists(const QString &folder)
{
    cfb::Storage root =
        cfb::Storage::open(OLEStorage::cacheFilePath(OLEStorage::CacheFileName), OLEStorage::ModeReadTransacted);
    return root.openStorage(NameCrc(folder), OLEStorage::ModeRead).isOpen();
}

class CacheWritersTest : public EngineHome
{
protected:
    void SetUp() override
    {
        EngineHome::SetUp();
        SaveSettings(); // worker threads and programs load the same values from the hive
        startFlags() = {};
        RegisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid())));
    }
    void TearDown() override
    {
        UnregisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid())));
        OLEStorage::SetWriterWaitMs(10000);
        TempHome::TearDown();
    }
    // A job of this process over the whole folder; the hook runs mid-job.
    HookLink runJob(const QString &folder, const QStringList &files, std::function<void()> hook = {})
    {
        HookLink link;
        link.count = int(files.size());
        link.hook = std::move(hook);
        ThumbMain job(&link);
        job.setJob(folder, files);
        job.RunThumbJob();
        return link;
    }
    // A cache file, held by another writer of this process; writers of the tests'
    // jobs wait waitMs for it.
    cfb::Storage holdTheFile(int waitMs)
    {
        runJob(root() + "/elsewhere", {}); // makes the cache file
        OLEStorage::SetWriterWaitMs(waitMs);
        return OLEStorage::OpenCacheWriter();
    }
    void expectAllCached(const QString &folder, const QStringList &files)
    {
        const auto cached = cachedThumbs(folder);
        for (const QString &f : files)
            EXPECT_FALSE(cached.value(f).isEmpty()) << folder.toStdString() << "/" << f.toStdString();
    }
};

TEST_F(CacheWritersTest, ParallelPrefillsOfTheSameAndOfOtherFoldersAllComplete)
{
    const QString a = root() + "/a", b = root() + "/b";
    const QStringList fa = makeJpegFolder(a, 24, 640, 480), fb = makeJpegFolder(b, 24, 640, 480);
    std::vector<std::unique_ptr<QProcess>> runs;
    for (const QString &folder : { a, b, a, b })
        runs.emplace_back(startTool({ "prefill", "--quiet", "--threads", "1", folder }));
    for (auto &p : runs) {
        ASSERT_TRUE(p->waitForFinished(180000));
        EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
    }
    expectAllCached(a, fa);
    expectAllCached(b, fb);
    const ProgramRun check = runProgram(QStringLiteral(V7_CACHE_TOOL_PATH), { "check" });
    EXPECT_EQ(check.code, 0) << check.out.toStdString() << check.err.toStdString();
}

// The tool fills one folder while a job of this process (the browser) is in the
// middle of another; then a second job of this process, on another thread, does
// the same. Nobody waits for the other's whole job, and nothing is lost.
TEST_F(CacheWritersTest, TheToolAndAnotherJobWorkWhileAJobRuns)
{
    const QString a = root() + "/a", b = root() + "/b", c = root() + "/c";
    const QStringList fa = makeJpegFolder(a, 8), fb = makeJpegFolder(b, 8), fc = makeJpegFolder(c, 8);
    runJob(a, fa.mid(0, 3)); // the cache and a's storage exist before
    int toolCode = -2;
    QString toolErr;
    bool otherDone = false;
    const HookLink link = runJob(a, fa, [&] {
        const ProgramRun r = runProgram(QStringLiteral(V7_CACHE_TOOL_PATH), { "prefill", "--quiet", b });
        toolCode = r.code;
        toolErr = r.err;
        const Settings cfg = settings(); // every thread has its own
        std::thread([&] {
            settings() = cfg;
            otherDone = runJob(c, fc).made == 8;
        }).join();
    });
    EXPECT_EQ(toolCode, 0) << toolErr.toStdString();
    EXPECT_TRUE(otherDone);
    EXPECT_TRUE(link.finished);
    EXPECT_EQ(link.made, 8);
    expectAllCached(a, fa);
    expectAllCached(b, fb);
    expectAllCached(c, fc);
}

// Modes 1 and 2: the folder is renamed (on disk, then in the cache, as the folder
// tree does) while the job works on it. The cache's move succeeds, and the job's
// thumbnails follow the folder: all are under the new name, none under the old.
TEST_F(CacheWritersTest, AFolderRenamedDuringAJobKeepsEveryThumbnail)
{
    ASSERT_TRUE(component::RegisterThumbWorker(QStringLiteral(V7_THUMBX_PATH)));
    for (int mode : { 1, 2 }) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        const QString from = root() + "/m" + QString::number(mode), to = from + "-renamed";
        const QStringList files = makeJpegFolder(from, 9, 240, 180);
        runJob(from, files.mid(0, 4)); // seen before, with part of its thumbnails
        ASSERT_TRUE(storageExists(from));
        HookHost host;
        bool moved = false;
        host.hook = [&] {
            ASSERT_TRUE(QDir().rename(from, to));
            moved = OLEStorage::MoveFolderCache(0, from, to);
        };
        auto store = std::make_unique<BitmapStore>(&host, GridValues { 0, 3, 9, 9, 0, 0 }, from);
        QPointer<ThumbX> x = StartThumbDisplay(mode, from, files, store.get(), {});
        ASSERT_TRUE(x);
        EXPECT_TRUE(waitUntil([&] { return store->released() && !x; }, 120000));
        EXPECT_EQ(store->processed(), 9);
        EXPECT_TRUE(moved);
        expectAllCached(to, files);
        EXPECT_FALSE(storageExists(from)); // nothing orphaned under the old name
    }
}

// A store is finished when its last thumbnail arrives, but its job commits after
// that: the store counts as released, and a new display may start, only once the
// job has let go.
TEST_F(CacheWritersTest, AStoreIsReleasedOnlyWhenItsJobHasLetGo)
{
    const QStringList files = makeJpegFolder(m_folder, 9, 240, 180);
    // Another writer holds the file: the job's last commit waits for it (the
    // worker thread waits at most the bound, which is far off).
    cfb::Storage holder = holdTheFile(120000);
    ASSERT_TRUE(holder.isOpen());
    FakeHost host;
    auto store = std::make_unique<BitmapStore>(&host, GridValues { 0, 3, 9, 9, 0, 0 }, m_folder);
    QPointer<ThumbX> x = StartThumbDisplay(1, m_folder, files, store.get(), {});
    ASSERT_TRUE(x);
    ASSERT_TRUE(waitUntil([&] { return store->finished(); }, 120000));
    EXPECT_EQ(store->processed(), 9);
    EXPECT_FALSE(store->released()); // its commit is still to come
    EXPECT_FALSE(WaitForStore(store.get(), 3));
    holder.release();
    EXPECT_TRUE(WaitForStore(store.get()));
    EXPECT_TRUE(store->released());
    expectAllCached(m_folder, files); // released means committed
    EXPECT_TRUE(waitUntil([&] { return !x; }, 60000));
}

// Mode 0: a file command run from the job's yield opens the thread's cache module
// under the running job. The job keeps its own handles and index and commits the
// rest of its thumbnails; the renamed file's picture is not put back under its old name.
TEST_F(CacheWritersTest, AFileCommandInsideASingleThreadJobDoesNotDisturbIt)
{
    const QStringList files = makeJpegFolder(m_folder, 6);
    runJob(m_folder, files.mid(0, 1)); // img000 is cached
    OLEStorage::SetCurrentFolder(m_folder);
    const HookLink link = runJob(m_folder, files, [&] {
        // The file command of the browser, on the job's own thread.
        ASSERT_TRUE(QFile::rename(m_folder + "/" + files[0], m_folder + "/renamed.jpg"));
        OLEStorage::SetCurrentFolder(m_folder);
        OLEStorage::RenameThumbs(1, { { files[0], QStringLiteral("renamed.jpg") } });
        ASSERT_TRUE(QFile::remove(m_folder + "/" + files[5]));
        OLEStorage::RenameThumbs(2, { { files[5], QString() } });
    });
    EXPECT_EQ(link.delivered, 6);
    const auto cached = cachedThumbs(m_folder);
    for (int i = 1; i < 5; ++i)
        EXPECT_FALSE(cached.value(files[i]).isEmpty()) << files[i].toStdString();
    EXPECT_FALSE(cached.value("renamed.jpg").isEmpty()); // moved by the command
    EXPECT_FALSE(cached.contains(files[0]));
    EXPECT_FALSE(cached.contains(files[5])); // deleted meanwhile: not put back
}

// The tool fills a folder in another process while this one tidies the cache to a
// small CacheMaxMB and compacts it, again and again. The folder being written is
// the least recently used, yet never gives way, and no thumbnail the tool commits,
// nor any it found cached, is lost by a swap.
TEST_F(CacheWritersTest, TidyingHereLosesNothingAnotherProcessIsWriting)
{
    // Many names of one large picture: slow to thumbnail, cheap to make.
    QDir().mkpath(m_folder);
    ASSERT_TRUE(wrjpgfiledib(m_folder + "/p000.jpg", 95, noisePicture(1600, 1200, 1)));
    QStringList files = { "p000.jpg" };
    for (int i = 1; i < 120; ++i) {
        files.push_back(QStringLiteral("p%1.jpg").arg(i, 3, 10, QLatin1Char('0')));
        ASSERT_EQ(::link(QFile::encodeName(m_folder + "/p000.jpg").constData(),
                      QFile::encodeName(m_folder + '/' + files.back()).constData()),
            0);
    }
    runJob(m_folder, files.mid(0, 30));
    const QString path = OLEStorage::cacheFilePath(OLEStorage::CacheFileName);
    {
        cfb::Storage r = cfb::Storage::open(path, OLEStorage::ModeWriteDirect);
        UseMap use = loadUse(r);
        use[NameCrc(m_folder)].when = 1; // the oldest of all
        for (const QString &f : { QStringLiteral("/raw1"), QStringLiteral("/raw2") }) {
            writeRawFolder(r, f, 8, 80000);
            use.insert(NameCrc(f), { QDateTime::currentSecsSinceEpoch(), f });
        }
        ASSERT_TRUE(saveUse(r, use));
        ASSERT_EQ(r.commit(), cfb::Status::Ok);
    }
    std::unique_ptr<QProcess> fill(startTool({ "prefill", "--quiet", "--threads", "1", m_folder }));
    ASSERT_TRUE(waitUntil([&] { return folderInUse(path, NameCrc(m_folder)); }, 60000));
    const RebuildResult tidy = tidyCache(path, 1);
    EXPECT_TRUE(tidy.ok);
    EXPECT_FALSE(tidy.dropped.contains(NameCrc(m_folder)));
    EXPECT_TRUE(tidy.dropped.contains(NameCrc("/raw1"))); // the next oldest gave way instead
    int swaps = 0;
    for (int round = 0; round < 10000 && !fill->waitForFinished(20); ++round)
        swaps += rebuildCache(path, {}, false).ok; // the pause above lets the tool's commits in
    // Finished in the loop already, or waited for now (a finished process is not waited for again).
    ASSERT_TRUE(fill->state() == QProcess::NotRunning || fill->waitForFinished(180000));
    EXPECT_EQ(fill->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(fill->exitCode(), 0) << fill->readAllStandardError().toStdString();
    EXPECT_GT(swaps, 0);
    expectAllCached(m_folder, files);
    EXPECT_FALSE(folderInUse(path, NameCrc(m_folder))); // let go when the tool ended
}

// Showing a folder that is cached whole writes nothing but its record of use,
// which is not worth a wait: another writer holding the file stops neither the
// tool nor a job of this process (whose display a new one would wait for).
TEST_F(CacheWritersTest, ACachedFolderDoesNotWaitForABusyFile)
{
    const QStringList files = makeJpegFolder(m_folder, 3);
    std::unique_ptr<QProcess> fill(startTool({ "prefill", "--quiet", m_folder }));
    ASSERT_TRUE(fill->waitForFinished(60000));
    ASSERT_EQ(fill->exitCode(), 0) << fill->readAllStandardError().toStdString();
    const auto before = cachedThumbs(m_folder);
    ASSERT_EQ(before.size(), files.size());

    OLEStorage::SetWriterWaitMs(60000); // far beyond what the test waits for
    cfb::Storage holder = OLEStorage::OpenCacheWriter();
    ASSERT_TRUE(holder.isOpen());
    std::unique_ptr<QProcess> again(startTool({ "prefill", "--quiet", m_folder }));
    ASSERT_TRUE(again->waitForFinished(60000));
    EXPECT_EQ(again->exitCode(), 0) << again->readAllStandardError().toStdString();
    QElapsedTimer clock;
    clock.start();
    const HookLink link = runJob(m_folder, files); // this process's first job of the folder
    EXPECT_LT(clock.elapsed(), 30000) << "the job waited for the writer lock";
    EXPECT_TRUE(link.finished);
    EXPECT_EQ(link.made, int(files.size())); // every thumbnail shown
    holder.release();
    EXPECT_EQ(cachedThumbs(m_folder), before);
}

// A job that finds the file busy past the bound goes on, and keeps what it made
// for its next commit: once the file is free again, every thumbnail lands.
TEST_F(CacheWritersTest, ABatchTheBusyFileRefusedIsCommittedLater)
{
    const QStringList files = makeJpegFolder(m_folder, 300, 64, 48);
    cfb::Storage holder = holdTheFile(100);
    ASSERT_TRUE(holder.isOpen());
    // The commit after 256 thumbnails finds the file busy; it is free before the last.
    struct LateLink : HookLink {
        cfb::Storage *holder = nullptr;
        void yield() override
        {
            if (delivered == 280)
                holder->release();
        }
    } link;
    link.count = int(files.size());
    link.holder = &holder;
    ThumbMain job(&link);
    job.setJob(m_folder, files);
    job.RunThumbJob();
    EXPECT_FALSE(holder.isOpen());
    EXPECT_FALSE(job.commitFailed());
    expectAllCached(m_folder, files);
}

// Export reads: a writer holding the file does not stop it.
TEST_F(CacheWritersTest, ExportReadsWhileAnotherWriterHoldsTheFile)
{
    const QStringList files = makeJpegFolder(m_folder, 3);
    runJob(m_folder, files);
    OLEStorage::SetWriterWaitMs(0);
    cfb::Storage holder = OLEStorage::OpenCacheWriter();
    ASSERT_TRUE(holder.isOpen());
    OLEStorage::SetCurrentFolder(m_folder);
    QDir().mkpath(root() + "/out");
    OLEStorage::ExportThumbs({ { files[1], root() + "/out/one.jpg" } });
    EXPECT_EQ(readFile(root() + "/out/one.jpg"), cachedThumbs(m_folder).value(files[1]));
}

} // namespace
