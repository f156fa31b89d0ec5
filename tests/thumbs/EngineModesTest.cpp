// The three worker modes end to end: the same folder through each mode must leave
// the same bytes in the cache; a missing or hanging worker program ends the display.
#include "CameraJpeg.h"
#include "EngineTestSupport.h"
#include "app/Startup.h"
#include "platform/ComponentProtocol.h"
#include "thumbs/ThumbX.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace v7;
using namespace v7test;

namespace
{

class EngineModesTest : public EngineHome
{
protected:
    void SetUp() override
    {
        EngineHome::SetUp();
        SaveSettings(); // the worker threads load the same values from the hive
        startFlags() = {};
        RegisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid())));
        m_files = makeJpegFolder(m_folder, 9, 240, 180);
    }
    void TearDown() override
    {
        UnregisterTopLevelTitle(MarkerTitle(std::uint32_t(::getpid())));
        TempHome::TearDown();
    }

    struct Run {
        QMap<QString, QByteArray> cache;
        int processed = 0;
        bool finished = false;
        std::vector<QString> messages;
    };
    Run display(int mode, int hangTimeoutMs = 0, bool freshCache = true)
    {
        if (freshCache)
            QFile::remove(OLEStorage::cacheFilePath(OLEStorage::CacheFileName));
        Run r;
        ThumbX::setHangTimeout(hangTimeoutMs > 0 ? hangTimeoutMs : 30000);
        auto store = std::make_unique<BitmapStore>(&m_host, GridValues { 0, 3, 9, 9, 0, 0 }, m_folder);
        store->setPane(4, 112, 224);
        QPointer<ThumbX> x =
            StartThumbDisplay(mode, m_folder, m_files, store.get(), [&](const QString &text, const QString &title) {
                r.messages.push_back(title + "|" + text);
            });
        EXPECT_TRUE(waitUntil([&] { return store->finished() && !x; }, 60000)) << "mode " << mode;
        r.processed = store->processed();
        r.finished = store->finished();
        store.reset();
        r.cache = cachedThumbs(m_folder);
        return r;
    }

    QStringList m_files;
    FakeHost m_host;
};

TEST_F(EngineModesTest, AllModesLeaveTheSameCacheBytesAndHonourUseEmbeddedThumbs)
{
    ASSERT_TRUE(component::RegisterThumbWorker(QStringLiteral(V7_THUMBX_PATH)));
    // A camera file whose preview has no blue and whose image is all blue.
    writeFile(m_folder + '/' + m_files[0],
        cameraJpeg(twoTone(800, 600, QColor(0, 0, 255), QColor(0, 0, 255)),
            jpegBytes(twoTone(160, 120, QColor(255, 0, 0), QColor(255, 0, 0)))));
    const Run single = display(0);
    EXPECT_EQ(single.processed, 9);
    ASSERT_EQ(single.cache.size(), 9);
    EXPECT_LT(centreBlue(single.cache.value(m_files[0])), 60); // the preview, by default
    for (int mode : { 1, 2 }) {
        const Run r = display(mode);
        EXPECT_TRUE(r.messages.empty()) << "mode " << mode;
        EXPECT_EQ(r.processed, 9) << "mode " << mode;
        EXPECT_EQ(r.cache, single.cache) << "mode " << mode;
    }
    EXPECT_EQ(m_host.shown.size(), 9u); // ThumbsDisplay (mode 2) drew each cell

    // The "/d" counter: the last thumbnail is index 2 (the rows above come second).
    startFlags().ShowThumbCounter = true;
    for (int mode : { 0, 2 }) {
        display(mode);
        EXPECT_EQ(m_host.lastCounter, "2/9") << "mode " << mode;
    }
    startFlags().ShowThumbCounter = false;

    settings().UseEmbeddedThumbs = false;
    SaveSettings(); // the worker threads and program read the hive
    for (int mode : { 0, 1, 2 })
        EXPECT_GT(centreBlue(display(mode).cache.value(m_files[0])), 180) << "mode " << mode;
}

TEST_F(EngineModesTest, ExternalModeWithoutRegistrationIsAMissingComponent)
{
    const Run r = display(2);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0],
        "Missing component|Multitasker component is not properly installed.\n"
        "Verify the installation and restart the application");
    EXPECT_EQ(r.processed, 0);
    EXPECT_TRUE(r.finished);
    EXPECT_TRUE(r.cache.isEmpty());
}

TEST_F(EngineModesTest, AHungOrDeadWorkerProgramEndsTheDisplay)
{
    ASSERT_TRUE(component::RegisterThumbWorker(QStringLiteral(V7_THUMBX_PATH)));
    for (const char *variable : { "V7_THUMBX_HANG_AFTER", "V7_THUMBX_DIE_AFTER" }) {
        qputenv(variable, "3");
        // Long enough for a worker on a loaded machine to start and send two thumbnails.
        const Run r = display(2, 4000);
        qunsetenv(variable);
        EXPECT_TRUE(r.finished) << variable;
        EXPECT_EQ(r.processed, 2) << variable;
        if (std::string(variable) == "V7_THUMBX_HANG_AFTER")
            EXPECT_EQ(r.messages, std::vector<QString> { "Multitasker|Multitasker component is not responding." });
        else
            EXPECT_TRUE(r.messages.empty()) << variable; // a crash is no hang
    }
}

TEST_F(EngineModesTest, EveryModeSaysOnceThatItSetADamagedCacheAside)
{
    ASSERT_TRUE(component::RegisterThumbWorker(QStringLiteral(V7_THUMBX_PATH)));
    const QString path = OLEStorage::cacheFilePath(OLEStorage::CacheFileName);
    for (int mode : { 0, 1, 2 }) {
        ASSERT_EQ(display(mode).cache.size(), 9);
        {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::ReadWrite));
            ASSERT_TRUE(f.seek(0x1C)); // the byte-order mark: the file no longer reads as ours
            ASSERT_EQ(f.write("\x00", 1), 1);
        }
        m_host.panels.clear();
        const Run r = display(mode, 0, false);
        EXPECT_EQ(r.cache.size(), 9) << "mode " << mode;
        EXPECT_TRUE(
            m_host.panels.value(5).startsWith("The thumbnail cache was damaged: it was kept as QLM70.TDB.damaged-"))
            << "mode " << mode << ": " << m_host.panels.value(5).toStdString();
        const QStringList aside = QDir(settings().CacheThumbsDir).entryList({ "QLM70.TDB.damaged-*" }, QDir::Files);
        EXPECT_EQ(aside.size(), 1) << "mode " << mode;
        for (const QString &a : aside)
            QFile::remove(settings().CacheThumbsDir + '/' + a);
    }
}

TEST_F(EngineModesTest, ASlowWorkerIsTimedFromItsLastThumbnailNotFromTheStart)
{
    ASSERT_TRUE(component::RegisterThumbWorker(QStringLiteral(V7_THUMBX_PATH)));
    // Nine thumbnails 400 ms apart take well over the 2-second bound in all, but
    // no gap between two of them comes near it.
    qputenv("V7_THUMBX_SLOW_MS", "400");
    const Run r = display(2, 2000);
    qunsetenv("V7_THUMBX_SLOW_MS");
    EXPECT_EQ(r.processed, 9);
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(r.cache.size(), 9);
    // The worker's deliveries draw the 16-pixel black bar, as a delivered thumbnail does.
    ASSERT_FALSE(m_host.progress.empty());
    EXPECT_EQ(m_host.progress.back().second, 16);
    EXPECT_EQ(m_host.progress.back().first, m_host.progressWidth - 3);
}

TEST_F(EngineModesTest, ANewDisplayWaitsForTheCancelledPreviousOne)
{
    ASSERT_TRUE(component::RegisterThumbWorker(QStringLiteral(V7_THUMBX_PATH)));
    for (int mode : { 0, 1, 2 }) {
        QFile::remove(OLEStorage::cacheFilePath(OLEStorage::CacheFileName));
        auto first = std::make_unique<BitmapStore>(&m_host, GridValues { 0, 3, 9, 9, 0, 0 }, m_folder);
        QPointer<ThumbX> x1 = StartThumbDisplay(mode, m_folder, m_files, first.get(), {});
        ASSERT_TRUE(x1);
        EXPECT_TRUE(WaitForStore(first.get()));
        EXPECT_TRUE(first->finished());
        EXPECT_EQ(first->processed(), 0) << "mode " << mode; // cancelled before or at its next thumbnail
        auto second = std::make_unique<BitmapStore>(&m_host, GridValues { 0, 3, 9, 9, 0, 0 }, m_folder);
        QPointer<ThumbX> x2 = StartThumbDisplay(mode, m_folder, m_files, second.get(), {});
        EXPECT_TRUE(waitUntil([&] { return second->finished() && !x1 && !x2; }, 60000));
        EXPECT_EQ(second->processed(), 9) << "mode " << mode;
    }
}

} // namespace
