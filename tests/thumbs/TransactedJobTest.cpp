// A thumbnail job with the cache in transacted mode ("/t") keeps nothing it does
// not commit itself: a transacted root that is released uncommitted drops every
// change. What the job made must be in the file when the job has ended, as a fresh
// handle on another thread (its own cache state) reads it.
#include "EngineTestSupport.h"
#include "thumbs/Stamps.h"

#include <QFile>
#include <gtest/gtest.h>
#include <thread>

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
        return stopAfter < 0 || int(delivered.size()) < stopAfter;
    }
    bool cancelRequested() override { return false; }
    void progress(int, int) override { }
    void jobFinished() override { ++finished; }
    StoreValues values { 3, 0, 0, 103 };
    int stopAfter = -1;
    int finished = 0;
    std::vector<ThumbDelivery> delivered;
};

// The committed content of one folder storage, read with handles of its own.
struct Committed {
    bool opened = false;
    bool writerFree = false; // the job let go of the file
    ThumbIndex index;
    QMap<QString, QByteArray> thumbs; // file name -> stream bytes, through the index
    StampMap stamps;
};

Committed readCommitted(const QString &cacheFile, const QString &folder)
{
    Committed c;
    std::thread([&] {
        cfb::Storage root = cfb::Storage::open(cacheFile, OLEStorage::ModeReadTransacted);
        cfb::Storage dir = root.openStorage(NameCrc(folder), OLEStorage::ModeRead);
        c.opened = dir.isOpen();
        if (c.opened) {
            cfb::Stream s = dir.openStream(OLEStorage::IndexStreamName, OLEStorage::ModeRead);
            QByteArray b;
            if (s.isOpen() && s.readAll(&b) == cfb::Status::Ok)
                parseIndex(b, &c.index);
            c.index.forEach([&](const IndexEntry &e) {
                cfb::Stream t = dir.openStream(QString::number(e.StreamId), OLEStorage::ModeRead);
                QByteArray bytes;
                if (t.isOpen())
                    t.readAll(&bytes);
                c.thumbs.insert(e.Name, bytes);
            });
            c.stamps = loadStamps(dir);
        }
        dir.release();
        root.release();
        cfb::Storage writer = cfb::Storage::open(cacheFile, OLEStorage::ModeWriteDirect);
        c.writerFree = writer.isOpen();
    }).join();
    return c;
}

class TransactedJob : public EngineHome
{
protected:
    void SetUp() override
    {
        EngineHome::SetUp();
        settings().CacheThumbs = true;
        startFlags() = {};
        startFlags().TransactedCache = true;
    }
    void run(const QString &folder, const QStringList &files, Link &link, int pool = 0)
    {
        link.values.fileCount = int(files.size());
        ThumbMain job(&link);
        job.setPoolSize(pool);
        job.setJob(folder, files);
        job.RunThumbJob();
        EXPECT_EQ(link.finished, 1);
    }
    QString cacheFile() const { return OLEStorage::cacheFilePath(OLEStorage::CacheFileName); }
    // Every delivered thumbnail is committed under its file's name, with its stamp.
    void expectCommitted(const QString &folder, const QStringList &files, const Link &link, std::size_t count)
    {
        const Committed c = readCommitted(cacheFile(), folder);
        ASSERT_TRUE(c.opened);
        EXPECT_TRUE(c.writerFree);
        ASSERT_EQ(link.delivered.size(), count);
        EXPECT_EQ(c.index.size(), int(count));
        EXPECT_EQ(c.thumbs.size(), qsizetype(count));
        for (const ThumbDelivery &d : link.delivered) {
            const QString &name = files[d.index];
            ASSERT_FALSE(d.bytes.isEmpty()) << name.toStdString();
            EXPECT_EQ(c.thumbs.value(name), d.bytes) << name.toStdString();
            FileStamp st;
            ASSERT_TRUE(fileStamp(folder + '/' + name, &st));
            EXPECT_EQ(c.stamps.value(nameCrcValue(name)), st) << name.toStdString();
        }
    }
};

} // namespace

TEST_F(TransactedJob, TheJobCommitsWhatItMakes)
{
    const QStringList files = makeJpegFolder(m_folder, 5);
    Link link;
    run(m_folder, files, link);
    expectCommitted(m_folder, files, link, 5);

    // With helper threads making the thumbnails, into a folder of its own.
    const QString other = root() + "/other";
    const QStringList more = makeJpegFolder(other, 4, 200, 150);
    Link pooled;
    run(other, more, pooled, 2);
    expectCommitted(other, more, pooled, 4);
    expectCommitted(m_folder, files, link, 5); // the first folder is untouched
}

TEST_F(TransactedJob, ACancelledJobCommitsWhatItMadeAndAChangedFileIsReplaced)
{
    QStringList files = makeJpegFolder(m_folder, 6, 120, 90);
    Link first;
    first.stopAfter = 2;
    run(m_folder, files, first);
    expectCommitted(m_folder, files, first, 2);

    // A file rewritten (another picture, another size): its stream is replaced
    // by the next job, and that replacement is committed too.
    ASSERT_TRUE(wrjpgfiledib(m_folder + '/' + files[0], 90, testPicture(300, 100, 77)));
    Link second;
    run(m_folder, files, second);
    expectCommitted(m_folder, files, second, 6);
    EXPECT_NE(second.delivered[0].bytes, first.delivered[0].bytes);
    EXPECT_EQ(decodeThumb(second.delivered[0].bytes).size(), QSize(96, 32));
    EXPECT_EQ(second.delivered[1].bytes, first.delivered[1].bytes); // taken from the cache
}
