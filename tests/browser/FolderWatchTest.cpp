// The folder watch against real file operations made by a second thread while the
// event loop runs, as another program would make them.
#include "browser/FolderWatch.h"

#include "TestEnv.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace v7;
using v7test::waitUntil;

namespace
{

struct Report {
    QStringList names;
    bool rescan = false;
};

class FolderWatchTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_watch.setTimings(150, 200, 1000);
        QObject::connect(&m_watch, &FolderWatch::filesChanged, [this](const QStringList &names, bool rescan) {
            m_reports.push_back({ names, rescan });
            for (const QString &n : names)
                m_sizesAtReport[n] = QFileInfo(path(n)).exists() ? QFileInfo(path(n)).size() : -1;
        });
        QObject::connect(&m_watch, &FolderWatch::foldersChanged, [this] { ++m_folderReports; });
        ASSERT_TRUE(m_watch.watch(m_dir.path()));
    }
    QString path(const QString &name) const { return m_dir.path() + '/' + name; }
    QStringList reported() const
    {
        QStringList all;
        for (const Report &r : m_reports)
            all << r.names;
        return all;
    }
    bool waitFor(const std::function<bool()> &done) { return waitUntil(done, 20000); }
    // Runs work on another thread while this one keeps the event loop going.
    void onOtherThread(const std::function<void()> &work)
    {
        std::atomic<bool> done { false };
        std::thread t([&] {
            work();
            done = true;
        });
        waitUntil([&] { return done.load(); }, 60000);
        t.join();
    }

    QTemporaryDir m_dir;
    FolderWatch m_watch;
    std::vector<Report> m_reports;
    QHash<QString, qint64> m_sizesAtReport;
    int m_folderReports = 0;
};

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

} // namespace

TEST_F(FolderWatchTest, AddedRemovedRenamedAndRewrittenFilesAreReported)
{
    onOtherThread([this] { writeBytes(path("new.jpg"), QByteArray(1000, 'a')); });
    ASSERT_TRUE(waitFor([this] { return reported().contains("new.jpg"); }));

    m_reports.clear();
    onOtherThread([this] { QFile::rename(path("new.jpg"), path("renamed.jpg")); });
    ASSERT_TRUE(waitFor([this] { return reported().contains("renamed.jpg") && reported().contains("new.jpg"); }));

    m_reports.clear();
    // Rewritten in place with the same size: still a change.
    onOtherThread([this] { writeBytes(path("renamed.jpg"), QByteArray(1000, 'b')); });
    ASSERT_TRUE(waitFor([this] { return reported().contains("renamed.jpg"); }));

    m_reports.clear();
    onOtherThread([this] { QFile::remove(path("renamed.jpg")); });
    ASSERT_TRUE(waitFor([this] { return reported().contains("renamed.jpg"); }));
    EXPECT_EQ(m_sizesAtReport.value("renamed.jpg"), -1);
    for (const Report &r : m_reports)
        EXPECT_FALSE(r.rescan);
}

TEST_F(FolderWatchTest, AFileStillBeingWrittenIsReportedOnlyOnceItSettles)
{
    // Chunks further apart than the quiet time, closer than quiet + settle, with
    // room for a loaded machine; and a longest wait beyond the whole write, since
    // past it only the settle time guards a file still being written.
    m_watch.setTimings(150, 600, 10000);
    constexpr int Chunks = 6;
    onOtherThread([this] {
        QFile f(path("slow.jpg"));
        if (!f.open(QIODevice::WriteOnly))
            return;
        for (int i = 0; i < Chunks; ++i) {
            f.write(QByteArray(4096, char('0' + i)));
            f.flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });
    ASSERT_TRUE(waitFor([this] { return reported().contains("slow.jpg"); }));
    // Every report of the file came when it was whole.
    EXPECT_EQ(m_sizesAtReport.value("slow.jpg"), Chunks * 4096);
    int reports = 0;
    for (const Report &r : m_reports)
        reports += int(r.names.count("slow.jpg"));
    EXPECT_EQ(reports, 1);
}

TEST_F(FolderWatchTest, ABurstIsReportedInFewBatches)
{
    constexpr int Files = 300;
    onOtherThread([this] {
        for (int i = 0; i < Files; ++i)
            writeBytes(path(QStringLiteral("img%1.jpg").arg(i, 4, 10, QLatin1Char('0'))), QByteArray(2000, 'x'));
    });
    ASSERT_TRUE(waitFor([this] {
        const QStringList all = reported();
        return QSet<QString>(all.cbegin(), all.cend()).size() == Files;
    }));
    // Once per file would be 300 reports; a burst is gathered, at most one a second
    // even on a slow machine.
    EXPECT_LE(m_reports.size(), 10u);
}

TEST_F(FolderWatchTest, SubfoldersAndHeldReports)
{
    onOtherThread([this] { QDir(m_dir.path()).mkdir("sub"); });
    ASSERT_TRUE(waitFor([this] { return m_folderReports > 0; }));
    EXPECT_TRUE(reported().isEmpty()); // a folder is no file of the list

    // Held while the window runs a job of its own: nothing is lost, all comes after.
    m_watch.hold();
    onOtherThread([this] {
        writeBytes(path("a.png"), "aaaa");
        writeBytes(path("b.png"), "bbbb");
    });
    waitUntil([] { return false; }, 1500);
    EXPECT_TRUE(reported().isEmpty());
    m_watch.release();
    ASSERT_TRUE(waitFor([this] { return reported().contains("a.png") && reported().contains("b.png"); }));
}

TEST_F(FolderWatchTest, FoldersThatCannotBeWatchedAreLeftAlone)
{
    FolderWatch w;
    EXPECT_FALSE(w.watch(m_dir.path() + "/missing"));
    EXPECT_FALSE(w.active());
    writeBytes(path("plain.txt"), "x");
    EXPECT_FALSE(w.watch(path("plain.txt"))); // not a folder
    EXPECT_FALSE(IsNetworkFolder(m_dir.path()));

    // The watched folder removed: the watch ends and says so.
    QTemporaryDir other;
    const QString sub = other.path() + "/gone";
    ASSERT_TRUE(QDir().mkdir(sub));
    QSignalSpy goneSpy(&w, &FolderWatch::folderGone);
    ASSERT_TRUE(w.watch(sub));
    onOtherThread([&] { QDir(sub).removeRecursively(); });
    ASSERT_TRUE(waitFor([&] { return goneSpy.count() > 0; }));
    EXPECT_FALSE(w.active());
}

TEST(ListingMerge, KeepsWhatTheListKnewAndNamesTheChanges)
{
    auto entry = [](const char *name, std::int64_t size, std::int64_t ms) {
        FileEntry e;
        e.name = QString::fromLatin1(name);
        e.size = size;
        e.modifiedMs = ms;
        return e;
    };
    std::vector<FileEntry> shown { entry("same.jpg", 10, 1),
        entry("edited.jpg", 10, 1),
        entry("gone.jpg", 5, 1),
        entry("touched.jpg", 7, 1),
        entry("Deleted - old.jpg", 3, 1),
        entry("Deleted - back.jpg", 3, 1) };
    shown[0].properties = "640 x 480 - 24-bit   ";
    shown[1].properties = "stale";
    shown[1].tag = false;
    shown[4].dimmed = true;
    shown[5].dimmed = true;
    // back.jpg came back from the trash: its dimmed row gives way to its own.
    const std::vector<FileEntry> fresh { entry("same.jpg", 10, 1),
        entry("edited.jpg", 12, 2),
        entry("new.jpg", 4, 3),
        entry("touched.jpg", 7, 1),
        entry("back.jpg", 3, 4) };
    // touched.jpg was only read (its access time moved): nothing to do for it.
    const ListingMerge m = MergeListing(shown, fresh);
    EXPECT_EQ(m.added, QStringList({ "new.jpg", "back.jpg" }));
    EXPECT_EQ(m.removed, QStringList({ "gone.jpg" }));
    EXPECT_EQ(m.changed, QStringList({ "edited.jpg" }));
    ASSERT_EQ(m.entries.size(), 6u);
    QHash<QString, FileEntry> byName;
    for (const FileEntry &e : m.entries)
        byName.insert(e.name, e);
    EXPECT_EQ(byName["same.jpg"].properties, "640 x 480 - 24-bit   ");
    EXPECT_TRUE(byName["edited.jpg"].properties.isEmpty());
    EXPECT_EQ(byName["edited.jpg"].size, 12);
    EXPECT_FALSE(byName["edited.jpg"].tag);
    EXPECT_TRUE(byName["Deleted - old.jpg"].dimmed);
    EXPECT_FALSE(byName.contains("gone.jpg"));
    EXPECT_FALSE(byName.contains("Deleted - back.jpg"));
    EXPECT_FALSE(byName["back.jpg"].dimmed);
}
