// The sector map that vouches for the tables: a reader checks only what it
// reaches, so damage elsewhere neither stops it nor goes unnoticed where it
// reads; files written before the map existed still open, keep their whole-file
// checksum, and take the map at their next commit; maps of several levels
// (thousands of directory and mini-stream sectors) stay right through edits.
#include "CfbTestUtil.h"

#include <QFile>
#include <QTemporaryDir>
#include <random>
#include <set>

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

// The root entry's class id (version 3: 512-byte sectors).
QByteArray rootClsid(const QByteArray &file)
{
    return file.mid(qsizetype(le32At(file, 0x30) + 1) * 512 + 80, 16);
}

// FAT slot s of a version-3 file with at most 109 FAT sectors.
std::uint32_t fatSlot(const QByteArray &f, std::uint32_t s)
{
    return le32At(f, qsizetype(le32At(f, 0x4C + 4 * (s / 128)) + 1) * 512 + 4 * (s % 128));
}

// Byte offset of directory entry i, or -1 past the directory.
qsizetype entryAt(const QByteArray &f, std::uint32_t i)
{
    std::uint32_t s = le32At(f, 0x30);
    for (std::uint32_t k = 0; k < i / 4 && s < 0xFFFFFFFA; ++k)
        s = fatSlot(f, s);
    return s < 0xFFFFFFFA ? qsizetype(s + 1) * 512 + (i % 4) * 128 : -1;
}

std::uint32_t entryNamed(const QByteArray &f, const QString &name)
{
    for (std::uint32_t i = 0; entryAt(f, i) >= 0; ++i) {
        const qsizetype e = entryAt(f, i);
        const int len = quint8(f[e + 64]) / 2 - 1;
        if (len > 0 && QString::fromUtf16(reinterpret_cast<const char16_t *>(f.constData() + e), len) == name)
            return i;
    }
    ADD_FAILURE() << "no entry " << name.toStdString();
    return 0;
}

class CfbMap : public ::testing::Test
{
protected:
    QString path(const QString &n = QStringLiteral("m.cfb")) const { return m_dir.path() + '/' + n; }
    QTemporaryDir m_dir;
};

} // namespace

TEST_F(CfbMap, DamageAReaderDoesNotReachStopsOnlyWhatReachesIt)
{
    {
        Storage root = Storage::create(path(), RW);
        Storage a = root.createStorage("a", RW);
        for (int i = 0; i < 8; ++i)
            a.createStream(QString("a%1").arg(i), RW).write(patternBytes(i, 300));
        ASSERT_EQ(root.commit(), Status::Ok);
        Storage b = root.createStorage("b", RW);
        for (int i = 0; i < 40; ++i)
            b.createStream(QString("b%1").arg(i), RW).write(patternBytes(100 + i, 300));
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    QByteArray f = readFile(path());
    // A directory sector that holds only entries of "b": a byte of a name in it.
    const std::uint32_t e = entryNamed(f, "b20");
    const qsizetype sector = entryAt(f, e) - (e % 4) * 128;
    for (int k = 0; k < 4; ++k)
        ASSERT_EQ(f[sector + k * 128], 'b') << "entry " << k << " of the sector is not one of b's";
    f[sector + 2] = char(f[sector + 2] ^ 0x20);
    writeFile(path(), f);

    Status s;
    Storage root = Storage::open(path(), RT, &s);
    ASSERT_TRUE(root.isOpen()) << statusText(s);
    Storage a = root.openStorage("a", mode::Read | mode::ShareExclusive, &s);
    ASSERT_TRUE(a.isOpen()) << statusText(s);
    for (int i = 0; i < 8; ++i) {
        QByteArray got;
        ASSERT_EQ(a.openStream(QString("a%1").arg(i), mode::Read | mode::ShareExclusive).readAll(&got), Status::Ok);
        EXPECT_EQ(got, patternBytes(i, 300));
    }
    // Every way into "b" that passes the damaged sector reports it.
    Storage b = root.openStorage("b", mode::Read | mode::ShareExclusive, &s);
    ASSERT_TRUE(b.isOpen()) << statusText(s);
    std::vector<ElementStat> kids;
    EXPECT_EQ(b.elements(&kids), Status::Corrupt);
    std::map<QString, QByteArray> tree;
    EXPECT_FALSE(v7test::readTree(path(), &tree));
    // The audit reads everything, so it refuses the file. A writer reads what it
    // goes to: it opens, works in "a", and is refused in "b".
    QStringList problems;
    EXPECT_NE(Storage::check(path(), &problems), Status::Ok);
    Storage writer = Storage::open(path(), RW, &s);
    ASSERT_TRUE(writer.isOpen()) << statusText(s);
    Storage wa = writer.openStorage("a", RW, &s);
    ASSERT_EQ(s, Status::Ok);
    EXPECT_EQ(wa.createStream("a8", RW).write(patternBytes(8, 300)), Status::Ok);
    Storage wb = writer.openStorage("b", RW, &s);
    if (s == Status::Ok)
        wb.createStream("b40", RW, &s);
    EXPECT_EQ(s, Status::Corrupt);
    // Having met damage, it commits nothing: what it holds of "b" may be partial.
    EXPECT_EQ(writer.commit(), Status::Corrupt);
}

TEST_F(CfbMap, ByteFlipsInEverySectorThatIsNotStreamData)
{
    {
        Storage root = Storage::create(path(), RW);
        for (int f = 0; f < 6; ++f) {
            Storage st = root.createStorage(QString("f%1").arg(f), RW);
            for (int i = 0; i < 30; ++i)
                st.createStream(QString::number(i), RW).write(patternBytes(f * 50 + i, 64 + i * 20));
        }
        ASSERT_EQ(root.commit(), Status::Ok);
        root.destroyElement("f2");
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    std::map<QString, QByteArray> expected;
    ASSERT_TRUE(v7test::readTree(path(), &expected));
    const QByteArray f = readFile(path());
    // Sectors of the mini stream hold stream bytes, which no checksum covers.
    std::set<std::uint32_t> data;
    const std::uint32_t miniStart = le32At(f, entryAt(f, 0) + 116);
    for (std::uint32_t s = miniStart; s < 0xFFFFFFFA && data.insert(s).second;)
        s = fatSlot(f, s);
    std::mt19937 rng(4242);
    int refused = 0, tried = 0;
    for (std::uint32_t s = 0; s + 1 < std::uint32_t(f.size() / 512); ++s) {
        if (data.count(s))
            continue;
        for (int n = 0; n < 6; ++n, ++tried) {
            QByteArray d = f;
            const qsizetype at = qsizetype(s + 1) * 512 + qsizetype(rng() % 512);
            d[at] = char(d[at] ^ char(1 + rng() % 255));
            writeFile(path("d.cfb"), d);
            // As a new process would meet it: nothing of the file checked before.
            forgetCheckedSectors();
            std::map<QString, QByteArray> got;
            if (v7test::readTree(path("d.cfb"), &got))
                EXPECT_TRUE(got == expected) << "sector " << s << " byte " << at;
            else
                ++refused;
        }
    }
    EXPECT_GT(tried, 60);
    EXPECT_GT(refused, tried / 2);
}

// Written by the version before the map: a whole-file CRC in the root's class id.
TEST_F(CfbMap, PreviousVersionsFileReadsAndTakesTheMapAtItsNextCommit)
{
    const QString old = QStringLiteral(V7_CFB_OLD_FILE);
    ASSERT_TRUE(QFile::copy(old, path()));
    QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner);
    ASSERT_EQ(rootClsid(readFile(path())).left(4), QByteArray("v7ck"));
    std::map<QString, QByteArray> expected;
    for (int f : { 0, 2 }) {
        expected[QString("folder%1/").arg(f)] = QByteArray();
        for (int i = 0; i < 8; ++i)
            expected[QString("folder%1/%2").arg(f).arg(i)] = patternBytes(f * 100 + i, 100 + i * 600);
    }
    expected["big"] = patternBytes(7, 9000);
    std::map<QString, QByteArray> got;
    ASSERT_TRUE(v7test::readTree(path(), &got));
    EXPECT_TRUE(got == expected);

    // Its whole-file checksum still guards it: one flipped byte in the FAT.
    QByteArray damaged = readFile(path());
    const qsizetype fat0 = qsizetype(le32At(damaged, 0x4C) + 1) * 512;
    damaged[fat0 + 8] = char(damaged[fat0 + 8] ^ 0x01);
    writeFile(path("damaged.cfb"), damaged);
    Status s = Status::Ok;
    EXPECT_FALSE(v7test::readTree(path("damaged.cfb"), &got, &s));
    EXPECT_EQ(s, Status::Corrupt);

    {
        Storage root = Storage::open(path(), RW);
        ASSERT_TRUE(root.isOpen());
        Storage f0 = root.openStorage("folder0", RW);
        f0.createStream("new", RW).write(patternBytes(55, 500));
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    expected["folder0/new"] = patternBytes(55, 500);
    EXPECT_EQ(rootClsid(readFile(path())).left(4), QByteArray("v7sm"));
    ASSERT_TRUE(v7test::readTree(path(), &got));
    EXPECT_TRUE(got == expected);
    expectClean(path());
}

// Enough entries and small streams for maps of three levels of directory
// sectors and two of mini-stream sectors, edited in place after reopening.
TEST_F(CfbMap, DeepMapsStayRightThroughEdits)
{
    constexpr int kFolders = 170, kPer = 100; // 17,000 streams: 4,300 directory sectors
    {
        Storage root = Storage::create(path(), RW);
        for (int f = 0; f < kFolders; ++f) {
            Storage st = root.createStorage(QString("f%1").arg(f), RW);
            for (int i = 0; i < kPer; ++i)
                st.createStream(QString::number(i), RW).write(patternBytes(f * kPer + i, 64));
        }
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    FileStats stats;
    {
        Storage root = Storage::open(path(), RT);
        ASSERT_EQ(root.fileStats(&stats), Status::Ok);
    }
    ASSERT_GT(stats.directorySectors, 4096u);
    auto readOne = [&](int f, int i, QByteArray *out) {
        Status s = Status::Ok;
        Storage root = Storage::open(path(), RT, &s);
        Storage st;
        if (s == Status::Ok)
            st = root.openStorage(QString("f%1").arg(f), mode::Read | mode::ShareExclusive, &s);
        Stream stream;
        if (s == Status::Ok)
            stream = st.openStream(QString::number(i), mode::Read | mode::ShareExclusive, &s);
        return s == Status::Ok ? stream.readAll(out) : s;
    };
    std::mt19937 rng(17);
    for (int n = 0; n < 40; ++n) {
        const int f = int(rng() % kFolders), i = int(rng() % kPer);
        QByteArray b;
        ASSERT_EQ(readOne(f, i, &b), Status::Ok) << f << "/" << i;
        EXPECT_EQ(b, patternBytes(f * kPer + i, 64)) << f << "/" << i;
    }
    // Edits: a folder goes, one grows past the mini stream, one is added.
    {
        Storage root = Storage::open(path(), RW);
        ASSERT_TRUE(root.isOpen());
        ASSERT_EQ(root.destroyElement("f3"), Status::Ok);
        Storage st = root.openStorage("f100", RW);
        st.createStream("large", RW).write(patternBytes(9, 70000));
        Storage added = root.createStorage("added", RW);
        for (int i = 0; i < 300; ++i)
            added.createStream(QString::number(i), RW).write(patternBytes(7000 + i, 100));
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    expectClean(path());
    QByteArray b;
    EXPECT_EQ(readOne(3, 0, &b), Status::FileNotFound);
    ASSERT_EQ(readOne(169, 99, &b), Status::Ok);
    EXPECT_EQ(b, patternBytes(169 * kPer + 99, 64));
    {
        Storage root = Storage::open(path(), RT);
        Storage st = root.openStorage("f100", mode::Read | mode::ShareExclusive);
        ASSERT_EQ(st.openStream("large", mode::Read | mode::ShareExclusive).readAll(&b), Status::Ok);
        EXPECT_EQ(b, patternBytes(9, 70000));
        Storage added = root.openStorage("added", mode::Read | mode::ShareExclusive);
        ASSERT_EQ(added.openStream("299", mode::Read | mode::ShareExclusive).readAll(&b), Status::Ok);
        EXPECT_EQ(b, patternBytes(7299, 100));
    }
}
