#include "CfbTestUtil.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <unistd.h>

using namespace v7::cfb;
using v7test::expectClean;
using v7test::patternBytes;

namespace
{

constexpr std::uint32_t RW = mode::ReadWrite | mode::ShareExclusive; // 0x12
constexpr std::uint32_t RWT = mode::ReadWrite | mode::Transacted | mode::NoSnapshot; // 0x210002
constexpr std::uint32_t RT = mode::Read | mode::Transacted | mode::NoSnapshot; // 0x210000
constexpr std::uint32_t RX = mode::Read | mode::ShareExclusive; // 0x10
constexpr std::uint32_t WX = mode::Write | mode::ShareExclusive; // 0x11

class CfbTest : public ::testing::Test
{
protected:
    QString path(const QString &name = QStringLiteral("t.cfb")) const { return m_dir.path() + '/' + name; }
    QTemporaryDir m_dir;
};

void putStream(Storage &st, const QString &name, const QByteArray &bytes)
{
    Status s;
    Stream w = st.createStream(name, WX, &s);
    ASSERT_EQ(s, Status::Ok) << name.toStdString();
    ASSERT_EQ(w.write(bytes), Status::Ok);
}

QByteArray getStream(Storage &st, const QString &name)
{
    Stream r = st.openStream(name, RX);
    QByteArray b;
    EXPECT_TRUE(r.isOpen()) << name.toStdString();
    if (r.isOpen()) {
        EXPECT_EQ(r.readAll(&b), Status::Ok);
    }
    return b;
}

} // namespace

// Sizes around every boundary of the format: mini sectors, regular sectors and
// the 4096-byte cutoff between the two.
TEST_F(CfbTest, StreamSizesRoundTrip)
{
    const int sizes[] = { 0, 1, 63, 64, 65, 511, 512, 513, 4095, 4096, 4097, 5000, 70000 };
    {
        Storage root = Storage::create(path(), RW);
        ASSERT_TRUE(root.isOpen());
        for (int sz : sizes)
            putStream(root, QString::number(sz), patternBytes(std::uint32_t(sz), sz));
    } // a direct-mode writer commits when released
    expectClean(path());
    Storage root = Storage::open(path(), RT);
    ASSERT_TRUE(root.isOpen());
    for (int sz : sizes)
        EXPECT_EQ(getStream(root, QString::number(sz)), patternBytes(std::uint32_t(sz), sz)) << sz;
    std::vector<ElementStat> els;
    ASSERT_EQ(root.elements(&els), Status::Ok);
    ASSERT_EQ(els.size(), std::size(sizes));
    for (const auto &e : els)
        EXPECT_EQ(e.size, e.name.toULongLong());
}

TEST_F(CfbTest, HeaderOfANewFileIsVersion3)
{
    {
        Storage::create(path(), RW);
    }
    QFile f(path());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray h = f.read(512);
    EXPECT_EQ(h.left(8), QByteArray::fromHex("d0cf11e0a1b11ae1"));
    EXPECT_EQ(h.mid(0x18, 8), QByteArray::fromHex("3e000300feff0900"));
    EXPECT_EQ(h.mid(0x20, 2), QByteArray::fromHex("0600"));
    EXPECT_EQ(h.mid(0x28, 4), QByteArray(4, 0)); // no directory-sector count in version 3
    EXPECT_EQ(h.mid(0x38, 4), QByteArray::fromHex("00100000"));
    EXPECT_EQ(h.mid(0x3C, 4), QByteArray::fromHex("feffffff")); // no MiniFAT
    EXPECT_EQ(h.mid(0x44, 4), QByteArray::fromHex("feffffff")); // no DIFAT sector
    EXPECT_EQ(f.size() % 512, 0);
    expectClean(path());
}

TEST_F(CfbTest, SetSizeMovesBetweenMiniStreamAndFat)
{
    Storage root = Storage::create(path(), RW);
    Stream s = root.createStream("s", RW);
    const QByteArray a = patternBytes(1, 3000);
    ASSERT_EQ(s.write(a), Status::Ok);
    ASSERT_EQ(root.commit(), Status::Ok);
    const std::uint64_t steps[] = { 4096, 4095, 9000, 100, 0, 4096 };
    std::uint64_t prev = 3000;
    for (std::uint64_t n : steps) {
        ASSERT_EQ(s.setSize(n), Status::Ok);
        ASSERT_EQ(root.commit(), Status::Ok);
        QByteArray b;
        ASSERT_EQ(s.readAll(&b), Status::Ok);
        ASSERT_EQ(std::uint64_t(b.size()), n);
        const int keep = int(std::min({ prev, n, std::uint64_t(a.size()) }));
        EXPECT_EQ(b.left(keep), a.left(keep)) << n;
        prev = std::min(prev, n);
        expectClean(path());
    }
}

// A stream's whole content written again: in place when it is there, whatever
// the sizes before and after, and in place of a storage of the same name.
TEST_F(CfbTest, WriteStreamReplacesTheContentInPlace)
{
    {
        Storage root = Storage::create(path(), RW);
        root.createStorage("s", RW).createStream("inside", RW).write(patternBytes(9, 10));
        root.createStream("other", RW).write(patternBytes(8, 5000));
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    QByteArray last;
    const int sizes[] = { 100, 5000, 5000, 4095, 70000, 0, 300, 300 };
    for (int round = 0; round < int(std::size(sizes)); ++round) {
        SCOPED_TRACE(round);
        // Same-size rounds differ in one byte only, in the middle.
        QByteArray want = patternBytes(round, sizes[round]);
        if (round > 0 && sizes[round] == sizes[round - 1] && !want.isEmpty()) {
            want = last;
            want[want.size() / 2] = char(~want[want.size() / 2]);
        }
        {
            Storage root = Storage::open(path(), RW);
            ASSERT_EQ(root.writeStream("s", want, RW), Status::Ok);
            ASSERT_EQ(root.commit(), Status::Ok);
        }
        std::map<QString, QByteArray> tree;
        ASSERT_TRUE(v7test::readTree(path(), &tree));
        const std::map<QString, QByteArray> expected { { "s", want }, { "other", patternBytes(8, 5000) } };
        EXPECT_EQ(tree, expected);
        expectClean(path());
        last = want;
    }
}

TEST_F(CfbTest, NamesFollowTheFormatRules)
{
    Storage root = Storage::create(path(), RW);
    Status s;
    root.createStream(QString(31, 'x'), RW, &s);
    EXPECT_EQ(s, Status::Ok);
    const QString bad[] = { QString(32, 'y'), QString(), "a/b", "a\\b", "a:b", "a!b" };
    for (const QString &n : bad) {
        root.createStream(n, RW, &s);
        EXPECT_EQ(s, Status::InvalidName) << n.toStdString();
    }
    root.createStream("Index", RW, &s);
    EXPECT_EQ(s, Status::Ok);
    // Names compare without regard to case, as the sibling order does.
    root.createStream("INDEX", RW, &s);
    EXPECT_EQ(s, Status::FileAlreadyExists);
    root.createStorage("index", RW, &s);
    EXPECT_EQ(s, Status::FileAlreadyExists);
    EXPECT_TRUE(root.openStream("iNdEx", RX).isOpen());
    // The create flag replaces.
    Stream again = root.createStream("Index", RW | mode::Create, &s);
    EXPECT_EQ(s, Status::Ok);
}

// Sibling trees must be red-black trees in the format's order at every size.
TEST_F(CfbTest, SiblingTreesStayRedBlackAsTheyGrowAndShrink)
{
    Storage root = Storage::create(path(), RW);
    Storage sub = root.createStorage("sub", RW);
    for (int n = 1; n <= 130; ++n) {
        putStream(sub, QString::number(n * 7919 % 1000003), QByteArray(n % 3, 'a'));
        if (n % 13 == 0 || n < 10) {
            ASSERT_EQ(root.commit(), Status::Ok);
            expectClean(path());
        }
    }
    for (int n = 1; n <= 130; n += 2) {
        ASSERT_EQ(sub.destroyElement(QString::number(n * 7919 % 1000003)), Status::Ok);
        if (n % 11 == 0) {
            ASSERT_EQ(root.commit(), Status::Ok);
            expectClean(path());
        }
    }
    std::vector<ElementStat> els;
    sub.elements(&els);
    EXPECT_EQ(els.size(), 65u);
    for (std::size_t i = 1; i < els.size(); ++i) // shorter names first, then by text
        EXPECT_TRUE(els[i - 1].name.size() < els[i].name.size()
            || (els[i - 1].name.size() == els[i].name.size() && els[i - 1].name < els[i].name));
}

TEST_F(CfbTest, DestroyFreesSectorsForReuse)
{
    Storage root = Storage::create(path(), RW);
    Storage a = root.createStorage("a", RW);
    putStream(a, "big", patternBytes(7, 200000));
    putStream(a, "small", patternBytes(8, 1000));
    ASSERT_EQ(root.commit(), Status::Ok);
    const qint64 full = QFileInfo(path()).size();
    ASSERT_EQ(root.destroyElement("a"), Status::Ok);
    ASSERT_EQ(root.commit(), Status::Ok);
    // The freed sectors are still the last committed state's until the next
    // commit lands; after it the file gives them back.
    putStream(root, "tick", "1");
    ASSERT_EQ(root.commit(), Status::Ok);
    EXPECT_LT(QFileInfo(path()).size(), full / 2);
    expectClean(path());
    for (int round = 0; round < 5; ++round) { // the same work again must not grow the file
        Storage b = root.createStorage("b", RW);
        putStream(b, "big", patternBytes(9, 200000));
        ASSERT_EQ(root.commit(), Status::Ok);
        ASSERT_EQ(root.destroyElement("b"), Status::Ok);
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    putStream(root, "tock", "2");
    ASSERT_EQ(root.commit(), Status::Ok);
    EXPECT_LT(QFileInfo(path()).size(), full / 2);
    expectClean(path());
}

TEST_F(CfbTest, RenameAndStaleHandles)
{
    Storage root = Storage::create(path(), RW);
    putStream(root, "old", "bytes");
    Status s;
    EXPECT_EQ(root.renameElement("old", "new"), Status::Ok);
    EXPECT_FALSE(root.openStream("old", RX, &s).isOpen());
    EXPECT_EQ(s, Status::FileNotFound);
    EXPECT_EQ(getStream(root, "new"), QByteArray("bytes"));
    putStream(root, "other", "x");
    EXPECT_EQ(root.renameElement("new", "OTHER"), Status::FileAlreadyExists);
    EXPECT_EQ(root.renameElement("missing", "z"), Status::FileNotFound);
    Stream h = root.openStream("other", RW);
    ASSERT_EQ(root.destroyElement("other"), Status::Ok);
    char c;
    EXPECT_EQ(h.read(&c, 1), Status::Reverted);
    EXPECT_EQ(h.write("y", 1), Status::Reverted);
}

TEST_F(CfbTest, CopyToMergesStoragesAndReplacesStreams)
{
    Storage root = Storage::create(path(), RW);
    Storage src = root.createStorage("src", RW);
    putStream(src, "1", "one");
    putStream(src, "Index", "source index");
    Storage deep = src.createStorage("deep", RW);
    putStream(deep, "d", patternBytes(3, 5000));
    Storage dst = root.createStorage("dst", RW);
    putStream(dst, "2", "two");
    putStream(dst, "Index", "target index that is longer");
    Storage dstDeep = dst.createStorage("deep", RW);
    putStream(dstDeep, "e", "kept");
    ASSERT_EQ(src.copyTo(dst), Status::Ok);
    ASSERT_EQ(root.commit(), Status::Ok);
    root.release();
    src.release();
    dst.release();
    deep.release();
    dstDeep.release();
    std::map<QString, QByteArray> tree;
    ASSERT_TRUE(v7test::readTree(path(), &tree));
    EXPECT_EQ(tree["dst/1"], "one");
    EXPECT_EQ(tree["dst/2"], "two");
    EXPECT_EQ(tree["dst/Index"], "source index");
    EXPECT_EQ(tree["dst/deep/d"], patternBytes(3, 5000));
    EXPECT_EQ(tree["dst/deep/e"], "kept");
    EXPECT_EQ(tree["src/1"], "one");
    expectClean(path());
}

TEST_F(CfbTest, TransactedCommitAndRevert)
{
    {
        Storage::create(path(), RW);
    }
    {
        Storage root = Storage::open(path(), RWT);
        ASSERT_TRUE(root.isOpen());
        putStream(root, "kept", "1");
        ASSERT_EQ(root.commit(), Status::Ok);
        putStream(root, "reverted", patternBytes(1, 9000));
        ASSERT_EQ(root.revert(), Status::Ok);
        EXPECT_FALSE(root.openStream("reverted", RX).isOpen());
        EXPECT_TRUE(root.openStream("kept", RX).isOpen());
        putStream(root, "dropped", "2"); // released without commit
        Storage child = root.createStorage("c", RW);
        ASSERT_EQ(child.commit(), Status::Ok); // a child's commit does not reach the file
    }
    std::map<QString, QByteArray> tree;
    ASSERT_TRUE(v7test::readTree(path(), &tree));
    EXPECT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree["kept"], "1");
    expectClean(path());
}

TEST_F(CfbTest, OpenModesAreEnforced)
{
    Status s;
    Storage::open(path("missing"), RW, &s);
    EXPECT_EQ(s, Status::FileNotFound);
    {
        Storage::create(path(), RW);
    }
    Storage::create(path(), RW, &s);
    EXPECT_EQ(s, Status::FileAlreadyExists);
    {
        Storage w = Storage::create(path(), RW | mode::Create, &s);
        EXPECT_EQ(s, Status::Ok);
        putStream(w, "s", "x");
    }
    Storage r = Storage::open(path(), RT);
    ASSERT_TRUE(r.isOpen());
    r.createStream("t", WX, &s);
    EXPECT_EQ(s, Status::AccessDenied);
    r.openStream("s", RW, &s);
    EXPECT_EQ(s, Status::AccessDenied);
    EXPECT_EQ(r.destroyElement("s"), Status::AccessDenied);
    Storage w = Storage::open(path(), RW);
    Stream wo = w.openStream("s", WX);
    char c;
    EXPECT_EQ(wo.read(&c, 1), Status::AccessDenied);
}

TEST_F(CfbTest, SecondWriterIsKeptOutReaderSeesCommittedState)
{
    {
        Storage c = Storage::create(path(), RW);
        putStream(c, "a", "first");
    }
    Storage w = Storage::open(path(), RW);
    ASSERT_TRUE(w.isOpen());
    Status s;
    Storage::open(path(), RW, &s);
    EXPECT_EQ(s, Status::LockViolation);
    Storage::open(path(), RWT, &s);
    EXPECT_EQ(s, Status::LockViolation);
    Storage::create(path(), RW | mode::Create, &s);
    EXPECT_EQ(s, Status::LockViolation);

    putStream(w, "b", patternBytes(2, 8000)); // not committed yet
    std::map<QString, QByteArray> tree;
    ASSERT_TRUE(v7test::readTree(path(), &tree));
    EXPECT_EQ(tree.size(), 1u);

    Storage reader = Storage::open(path(), RT);
    ASSERT_TRUE(reader.isOpen());
    ASSERT_EQ(w.commit(), Status::Ok);
    // The old reader keeps its state; a writer working on keeps off its sectors.
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(w.destroyElement("a"), Status::Ok);
        putStream(w, "a", patternBytes(100 + i, 6000));
        ASSERT_EQ(w.commit(), Status::Ok);
    }
    EXPECT_EQ(getStream(reader, "a"), QByteArray("first"));
    EXPECT_FALSE(reader.openStream("b", RX).isOpen());
    ASSERT_TRUE(v7test::readTree(path(), &tree));
    EXPECT_EQ(tree["a"], patternBytes(119, 6000));
    EXPECT_EQ(tree["b"], patternBytes(2, 8000));
    w.release();
    reader.release();
    expectClean(path());
}

// Files past 109 FAT sectors (about 7 MB) need DIFAT sectors.
TEST_F(CfbTest, LargeFileUsesDifatSectors)
{
    {
        Storage root = Storage::create(path(), RW);
        for (int i = 0; i < 9; ++i)
            putStream(root, QString::number(i), patternBytes(std::uint32_t(i), 1 << 20));
        ASSERT_EQ(root.commit(), Status::Ok);
        FileStats fs;
        root.fileStats(&fs);
        EXPECT_GT(fs.fatSectors, 109u);
        EXPECT_GE(fs.difatSectors, 1u);
        // Changing a little of a big file rewrites only a little.
        Stream s = root.openStream("3", RW);
        ASSERT_EQ(s.write("changed", 7), Status::Ok);
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    expectClean(path());
    Storage root = Storage::open(path(), RT);
    QByteArray expect = patternBytes(3, 1 << 20);
    expect.replace(0, 7, "changed");
    EXPECT_EQ(getStream(root, "3"), expect);
    EXPECT_EQ(getStream(root, "8"), patternBytes(8, 1 << 20));
}

TEST_F(CfbTest, Version3LimitIsACleanFailure)
{
    Storage root = Storage::create(path(), RW);
    Stream s = root.createStream("huge", RW);
    EXPECT_EQ(s.setSize(0x80000001ULL), Status::TooLarge);
    ASSERT_EQ(s.setSize(0x7FF00000ULL), Status::Ok); // allocated, not written
    Stream t = root.createStream("more", RW);
    EXPECT_EQ(t.setSize(0x200000), Status::TooLarge);
    EXPECT_EQ(s.setSize(0), Status::Ok);
    EXPECT_EQ(t.setSize(0x200000), Status::Ok);
    ASSERT_EQ(root.commit(), Status::Ok);
    root.release();
    s.release();
    t.release();
    expectClean(path());
}
