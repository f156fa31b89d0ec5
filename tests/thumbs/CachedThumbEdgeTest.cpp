// What a job takes from the cache at the edges: a file rewritten in place with the
// same size within the same second, and a cached stream larger than a thumbnail
// can be.
#include "EngineTestSupport.h"
#include "thumbs/Stamps.h"

#include <QFile>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace v7;
using namespace v7test;

namespace
{

class Link : public ThumbJobLink
{
public:
    StoreValues storeValues() override { return values; }
    PaneValues paneValues() override { return {}; }
    bool deliver(const ThumbDelivery &d) override
    {
        delivered.push_back(d);
        return true;
    }
    bool cancelRequested() override { return false; }
    void progress(int, int) override { }
    void jobFinished() override { }
    StoreValues values { 3, 0, 0, 103 };
    std::vector<ThumbDelivery> delivered;
};

class CachedThumbEdge : public EngineHome
{
protected:
    void SetUp() override
    {
        EngineHome::SetUp();
        settings().CacheThumbs = true;
        startFlags() = {};
        QDir().mkpath(m_folder);
    }
    std::vector<ThumbDelivery> run(const QStringList &files)
    {
        Link link;
        link.values.fileCount = int(files.size());
        ThumbMain job(&link);
        job.setJob(m_folder, files);
        job.RunThumbJob();
        return link.delivered;
    }
};

} // namespace

// Rotating or retouching a square bitmap in place keeps its size; a second later or
// not, the new picture must get a new thumbnail.
TEST_F(CachedThumbEdge, ASameSizeRewriteWithinTheSameSecondIsSeen)
{
    const QString file = m_folder + "/square.bmp";
    ASSERT_TRUE(wrbmpfiledib(file, 24, testPicture(120, 120, 1)));
    const auto first = run({ "square.bmp" });
    ASSERT_EQ(first.size(), 1u);
    ASSERT_FALSE(first[0].bytes.isEmpty());
    struct stat before {
    };
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &before), 0);

    ASSERT_TRUE(wrbmpfiledib(file, 24, testPicture(120, 120, 2)));
    // The same second, another nanosecond.
    timespec times[2] = { before.st_atim, before.st_mtim };
    times[1].tv_nsec ^= 1;
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0), 0);
    struct stat after {
    };
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &after), 0);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    if (after.st_mtim.tv_nsec == before.st_mtim.tv_nsec)
        GTEST_SKIP() << "this file system keeps no nanoseconds";

    const auto second = run({ "square.bmp" });
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0].bytes, first[0].bytes);
    EXPECT_EQ(cachedThumbs(m_folder).value("square.bmp"), second[0].bytes);
}

// A cached stream over 65,535 bytes is not a thumbnail of ours: the file shows no
// thumbnail in this job, and the others are not disturbed.
TEST_F(CachedThumbEdge, AnOversizedCachedStreamIsUnreadable)
{
    const QStringList files = makeJpegFolder(m_folder, 2);
    const auto first = run(files);
    ASSERT_EQ(first.size(), 2u);
    {
        cfb::Storage root =
            cfb::Storage::open(OLEStorage::cacheFilePath(OLEStorage::CacheFileName), OLEStorage::ModeWriteDirect);
        cfb::Storage folder = root.openStorage(NameCrc(m_folder), OLEStorage::ModeWriteDirect);
        ASSERT_TRUE(folder.isOpen());
        ASSERT_EQ(folder.destroyElement(NameCrc(files[0])), cfb::Status::Ok);
        cfb::Stream s = folder.createStream(NameCrc(files[0]), OLEStorage::ModeWriteDirect);
        ASSERT_TRUE(s.isOpen());
        QByteArray big = first[0].bytes;
        big += QByteArray(ThumbBufferSize + 1 - int(big.size()), 'x');
        ASSERT_EQ(s.write(big), cfb::Status::Ok);
        ASSERT_EQ(root.commit(), cfb::Status::Ok);
    }
    const auto second = run(files);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_TRUE(second[0].bytes.isEmpty());
    EXPECT_EQ(second[1].bytes, first[1].bytes);
}
