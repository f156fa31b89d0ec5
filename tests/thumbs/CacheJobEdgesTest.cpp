// What a job takes from and leaves in the cache at the edges: a file rewritten in
// place within the same second, a stream larger than a thumbnail can be, a
// "Stamps" stream with a short tail, and the transacted switch, under which
// nothing is kept that the job does not commit itself.
#include "EngineTestSupport.h"
#include "thumbs/Stamps.h"

#include <QFile>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using namespace v7;
using namespace v7test;

namespace
{

using CacheJobEdges = JobHome;

// Rotating or retouching a square bitmap in place keeps its size; a second later or
// not, the new picture must get a new thumbnail.
TEST_F(CacheJobEdges, ASameSizeRewriteWithinTheSameSecondIsSeen)
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
TEST_F(CacheJobEdges, AnOversizedCachedStreamIsUnreadable)
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

// The folder's Stamps stream as committed, read with handles of its own.
QByteArray stampsBytes(const QString &folder)
{
    cfb::Storage root =
        cfb::Storage::open(OLEStorage::cacheFilePath(OLEStorage::CacheFileName), OLEStorage::ModeReadTransacted);
    cfb::Storage dir = root.openStorage(NameCrc(folder), OLEStorage::ModeRead);
    cfb::Stream s = dir.openStream(StampsStreamName, OLEStorage::ModeRead);
    QByteArray b;
    EXPECT_TRUE(s.isOpen() && s.readAll(&b) == cfb::Status::Ok);
    return b;
}

TEST_F(CacheJobEdges, AJobOverADamagedStampsStreamWritesItWholeAgain)
{
    QStringList files = makeJpegFolder(m_folder, 3);
    run(files);
    const QByteArray first = stampsBytes(m_folder);
    ASSERT_EQ(first.size(), 3 * StampRecordSize);

    // A short tail after the whole records.
    {
        cfb::Storage root = cfb::Storage::open(cachePath(), OLEStorage::ModeWriteDirect);
        cfb::Storage folder = root.openStorage(NameCrc(m_folder), OLEStorage::ModeWriteDirect);
        ASSERT_TRUE(folder.isOpen());
        cfb::Stream s = folder.openStream(StampsStreamName, OLEStorage::ModeWriteDirect);
        ASSERT_TRUE(s.isOpen());
        ASSERT_EQ(s.seek(0, cfb::Stream::End), cfb::Status::Ok);
        ASSERT_EQ(s.write(QByteArray(13, '\1')), cfb::Status::Ok);
        EXPECT_TRUE(loadStamps(folder).isEmpty());
        ASSERT_EQ(root.commit(), cfb::Status::Ok);
    }
    ASSERT_EQ(stampsBytes(m_folder).size(), 3 * StampRecordSize + 13);

    // Stamps that do not read vouch for nothing: a file replaced meanwhile under
    // the same name must not show its old picture, so every cached thumbnail of
    // the folder is made again, and the stamps stream is whole again.
    const QMap<QString, QByteArray> before = cachedThumbs(m_folder);
    ASSERT_EQ(before.size(), 3);
    const QString replaced = m_folder + '/' + files[0];
    ASSERT_TRUE(wrjpgfiledib(replaced, 90, testPicture(160, 120, 77)));
    ASSERT_TRUE(wrjpgfiledib(m_folder + "/new.jpg", 90, testPicture(160, 120, 9)));
    files << QStringLiteral("new.jpg");
    run(files);
    const QByteArray after = stampsBytes(m_folder);
    EXPECT_EQ(after.size(), 4 * StampRecordSize);
    StampMap map;
    ASSERT_TRUE(parseStamps(after, &map));
    for (const QString &f : files) {
        FileStamp stamp;
        ASSERT_TRUE(fileStamp(m_folder + '/' + f, &stamp));
        EXPECT_EQ(map.value(nameCrcValue(f)), stamp) << f.toStdString();
    }
    const QMap<QString, QByteArray> now = cachedThumbs(m_folder);
    EXPECT_EQ(now.size(), 4);
    EXPECT_NE(now.value(files[0]), before.value(files[0])) << "the replaced file kept its old picture";
}

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

class TransactedJob : public JobHome
{
protected:
    void SetUp() override
    {
        JobHome::SetUp();
        startFlags().TransactedCache = true;
    }
    // Every delivered thumbnail is committed under its file's name, with its stamp.
    void expectCommitted(const QString &folder, const QStringList &files, const RecordingLink &link, std::size_t count)
    {
        const Committed c = readCommitted(cachePath(), folder);
        ASSERT_TRUE(c.opened);
        EXPECT_TRUE(c.writerFree);
        ASSERT_EQ(link.deliveries.size(), count);
        EXPECT_EQ(c.index.size(), int(count));
        EXPECT_EQ(c.thumbs.size(), qsizetype(count));
        for (const ThumbDelivery &d : link.deliveries) {
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
    RecordingLink link;
    run(files, link);
    expectCommitted(m_folder, files, link, 5);

    // With helper threads making the thumbnails, into a folder of its own.
    const QString other = root() + "/other";
    const QStringList more = makeJpegFolder(other, 4, 200, 150);
    RecordingLink pooled;
    run(more, pooled, 2, other);
    expectCommitted(other, more, pooled, 4);
    expectCommitted(m_folder, files, link, 5); // the first folder is untouched
}

TEST_F(TransactedJob, ACancelledJobCommitsWhatItMadeAndAChangedFileIsReplaced)
{
    QStringList files = makeJpegFolder(m_folder, 6, 120, 90);
    RecordingLink first;
    first.stopAfter = 2;
    run(files, first);
    expectCommitted(m_folder, files, first, 2);

    // A file rewritten: its stream is replaced by the next job, and that
    // replacement is committed too.
    ASSERT_TRUE(wrjpgfiledib(m_folder + '/' + files[0], 90, testPicture(300, 100, 77)));
    RecordingLink second;
    run(files, second);
    expectCommitted(m_folder, files, second, 6);
    EXPECT_NE(second.deliveries[0].bytes, first.deliveries[0].bytes);
}
