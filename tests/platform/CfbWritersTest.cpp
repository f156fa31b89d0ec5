// Writers that meet: waiting for another writer's lock with a bound; files of
// other producers that we edit; tables placed past what the FAT covers.
#include "CfbTestUtil.h"

#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <cstring>
#include <thread>

using namespace v7::cfb;
using v7test::expectClean;
using v7test::le32At;
using v7test::patternBytes;
using v7test::put32At;
using v7test::readFile;
using v7test::RT;
using v7test::RW;
using v7test::writeFile;

namespace
{

constexpr std::uint32_t RX = mode::Read | mode::ShareExclusive;
constexpr std::uint32_t WX = mode::Write | mode::ShareExclusive;

// The root entry's class id (version 3: 512-byte sectors).
qsizetype rootClsidAt(const QByteArray &file)
{
    return qsizetype(le32At(file, 0x30) + 1) * 512 + 80;
}

class CfbWriters : public ::testing::Test
{
protected:
    QString path() const { return m_dir.path() + "/w.cfb"; }
    QTemporaryDir m_dir;
};

} // namespace

TEST_F(CfbWriters, AWriterWaitsForTheLockWithABound)
{
    {
        Storage c = Storage::create(path(), RW);
        c.createStream("a", WX).write("1", 1);
    }
    Storage held = Storage::open(path(), RW);
    ASSERT_TRUE(held.isOpen());
    Status s = Status::Ok;
    // No wait, and a short one, both end in LockViolation while the lock is held.
    EXPECT_FALSE(Storage::open(path(), RW, 0, &s).isOpen());
    EXPECT_EQ(s, Status::LockViolation);
    EXPECT_FALSE(Storage::open(path(), RW, 150, &s).isOpen());
    EXPECT_EQ(s, Status::LockViolation);

    // A long wait ends as soon as the holder lets go, and the waiter sees its commit.
    std::atomic<bool> opened { false };
    Status waited = Status::InvalidHandle;
    QByteArray seen;
    std::thread waiter([&] {
        Storage w = Storage::open(path(), RW, 120000, &waited);
        opened = w.isOpen();
        if (w.isOpen()) {
            Stream b = w.openStream("b", RX);
            if (b.isOpen())
                b.readAll(&seen);
        }
    });
    held.createStream("b", WX).write("from the holder", 15);
    ASSERT_EQ(held.commit(), Status::Ok);
    held.release();
    waiter.join();
    EXPECT_EQ(waited, Status::Ok);
    EXPECT_TRUE(opened);
    EXPECT_EQ(seen, QByteArray("from the holder"));
}

// A file of another producer: its root class id is its own, and an edit that
// leaves the first directory sector as it was must still commit.
TEST_F(CfbWriters, ForeignFileCommitsAndKeepsItsClassId)
{
    {
        Storage c = Storage::create(path(), RW);
        for (const char *n : { "a", "b", "c" })
            c.createStream(n, WX).write(n, 1);
        c.createStream("big", WX).write(patternBytes(1, 9000)); // entry 4: the second directory sector
    }
    const QByteArray foreignId = QByteArray::fromHex("00020906000000000c00000000000046");
    for (const bool withId : { false, true }) {
        SCOPED_TRACE(withId ? "another producer's class id" : "no class id");
        QByteArray file = readFile(path());
        const qsizetype at = rootClsidAt(file);
        file.replace(at, 16, withId ? foreignId : QByteArray(16, 0));
        writeFile(path(), file);

        Storage w = Storage::open(path(), RW);
        ASSERT_TRUE(w.isOpen());
        Stream big = w.openStream("big", mode::ReadWrite | mode::ShareExclusive);
        ASSERT_EQ(big.write(patternBytes(2, 9000)), Status::Ok); // same size: only entry 4 changes
        big.release();
        ASSERT_EQ(w.commit(), Status::Ok);
        w.release();

        const QByteArray after = readFile(path());
        if (withId) {
            EXPECT_EQ(after.mid(rootClsidAt(after), 16), foreignId);
        }
        expectClean(path());
        std::map<QString, QByteArray> tree;
        ASSERT_TRUE(v7test::readTree(path(), &tree));
        EXPECT_EQ(tree["big"], patternBytes(2, 9000));
        EXPECT_EQ(tree["a"], QByteArray("a"));
    }
}

// A FAT sector said to lie past the sectors the FAT covers: the tables sized by
// that cover would be indexed past their end. The file is refused.
TEST_F(CfbWriters, FatSectorPastWhatTheFatCoversIsRefused)
{
    {
        Storage c = Storage::create(path(), RW);
        c.createStream("s", WX).write(patternBytes(3, 20000));
    }
    QByteArray file = readFile(path());
    ASSERT_EQ(le32At(file, 0x2C), 1u); // one FAT sector, covering 128 sectors
    const std::uint32_t fatAt = le32At(file, 0x4C);
    const QByteArray fat = file.mid(qsizetype(fatAt + 1) * 512, 512);
    // Without our checksum, so only the placement can give the file away.
    file.replace(rootClsidAt(file), 16, QByteArray(16, 0));
    // The same FAT again at sector 200, past the cover, and the header pointing there.
    const std::uint32_t beyond = 200;
    file.resize(qsizetype(beyond + 2) * 512, '\0');
    file.replace(qsizetype(beyond + 1) * 512, 512, fat);
    put32At(file, 0x4C, beyond);
    writeFile(path(), file);

    Status s = Status::Ok;
    EXPECT_FALSE(Storage::open(path(), RT, &s).isOpen());
    EXPECT_EQ(s, Status::Corrupt);
    EXPECT_FALSE(Storage::open(path(), RW, &s).isOpen());
    EXPECT_EQ(s, Status::Corrupt);
    QStringList problems;
    EXPECT_EQ(Storage::check(path(), &problems), Status::Corrupt);
}
