// Damaged files: every truncation at a sector boundary and random byte flips in
// the header, FAT, DIFAT, directory and MiniFAT give a clean error or exactly
// the last committed tree, checked stream by stream. Without the checksum, the
// reader still refuses cycles and impossible sizes and accepts untidy files.
#include "CfbTestUtil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <random>

using namespace v7::cfb;
using v7test::patternBytes;

namespace
{

std::uint32_t le32(const QByteArray &b, qsizetype at)
{
    const auto *u = reinterpret_cast<const unsigned char *>(b.constData() + at);
    return std::uint32_t(u[0]) | std::uint32_t(u[1]) << 8 | std::uint32_t(u[2]) << 16 | std::uint32_t(u[3]) << 24;
}
void put32(QByteArray &b, qsizetype at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char(v >> (8 * i));
}

// Where the tables of a version-3 file are, read straight from its bytes.
struct Layout {
    std::vector<std::uint32_t> fat, difat, dir, miniFat;
    static qsizetype at(std::uint32_t sector) { return qsizetype(sector + 1) * 512; }
    std::uint32_t next(const QByteArray &f, std::uint32_t s) const { return le32(f, at(fat[s / 128]) + 4 * (s % 128)); }
    std::vector<std::uint32_t> chain(const QByteArray &f, std::uint32_t s) const
    {
        std::vector<std::uint32_t> out;
        while (s < 0xFFFFFFFA && out.size() < 100000) {
            out.push_back(s);
            s = next(f, s);
        }
        return out;
    }
    // Byte offset of directory entry i.
    qsizetype entry(std::uint32_t i) const { return at(dir[i / 4]) + (i % 4) * 128; }
};

Layout layoutOf(const QByteArray &f)
{
    Layout l;
    const std::uint32_t nFat = le32(f, 0x2C);
    for (std::uint32_t i = 0; i < std::min(nFat, 109u); ++i)
        l.fat.push_back(le32(f, 0x4C + 4 * i));
    std::uint32_t d = le32(f, 0x44);
    while (l.fat.size() < nFat && d < 0xFFFFFFFA) {
        l.difat.push_back(d);
        for (int j = 0; j < 127 && l.fat.size() < nFat; ++j)
            l.fat.push_back(le32(f, Layout::at(d) + 4 * j));
        d = le32(f, Layout::at(d) + 508);
    }
    l.dir = l.chain(f, le32(f, 0x30));
    l.miniFat = l.chain(f, le32(f, 0x3C));
    return l;
}

std::uint32_t findEntry(const QByteArray &f, const Layout &l, const QString &name)
{
    for (std::uint32_t i = 0; i < l.dir.size() * 4; ++i) {
        const qsizetype e = l.entry(i);
        const int len = quint8(f[e + 64]) / 2 - 1;
        if (len > 0 && QString::fromUtf16(reinterpret_cast<const char16_t *>(f.constData() + e), len) == name)
            return i;
    }
    ADD_FAILURE() << "no entry " << name.toStdString();
    return 0;
}

class CfbDamage : public ::testing::Test
{
protected:
    QString path(const QString &n) const { return m_dir.path() + '/' + n; }

    // A file whose committed state follows an earlier one, so stale copies of
    // the tables lie in its free sectors.
    QByteArray makeFile(int bigStreams)
    {
        const QString p = path("base.cfb");
        QFile::remove(p);
        {
            Storage root = Storage::create(p, mode::ReadWrite | mode::ShareExclusive);
            Storage f = root.createStorage("folder", mode::ReadWrite);
            for (int i = 0; i < 40; ++i)
                f.createStream(QString::number(i * 7919), mode::ReadWrite).write(patternBytes(i, 200 + i * 150));
            root.createStream("Index", mode::ReadWrite).write(patternBytes(999, 777));
            for (int i = 0; i < bigStreams; ++i)
                root.createStream(QString("big%1").arg(i), mode::ReadWrite).write(patternBytes(i, 1 << 20));
            EXPECT_EQ(root.commit(), Status::Ok);
            for (int i = 0; i < 40; i += 3)
                f.destroyElement(QString::number(i * 7919));
            f.createStream("late", mode::ReadWrite).write(patternBytes(5, 9000));
            EXPECT_EQ(root.commit(), Status::Ok);
        }
        EXPECT_TRUE(v7test::readTree(p, &m_expected));
        QFile file(p);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        m_rootAt = layoutOf(bytes).entry(0);
        return bytes;
    }

    // A clean error, or exactly the committed tree.
    void expectErrorOrState(const QByteArray &bytes, const std::string &what)
    {
        const QString p = path("damaged.cfb");
        QFile f(p);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        f.close();
        // Met as a new process meets it: no sector of the file known checked.
        v7::cfb::forgetCheckedSectors();
        std::map<QString, QByteArray> got;
        Status s = Status::Ok;
        if (v7test::readTree(p, &got, &s)) {
            ++m_accepted;
            EXPECT_TRUE(got == m_expected) << what;
        } else {
            ++m_refused;
            EXPECT_NE(s, Status::Ok) << what;
        }
    }

    // Without the checksum: the reader must neither crash nor hang, and what it
    // reads must come from the file.
    Status openWithoutChecksum(QByteArray bytes, std::map<QString, QByteArray> *got)
    {
        for (int i = 0; i < 16 && m_rootAt + 80 + i < bytes.size(); ++i)
            bytes[m_rootAt + 80 + i] = 0;
        const QString p = path("unchecked.cfb");
        QFile f(p);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        f.close();
        Status s = Status::Ok;
        v7test::readTree(p, got, &s);
        return s;
    }

    QTemporaryDir m_dir;
    std::map<QString, QByteArray> m_expected;
    int m_accepted = 0, m_refused = 0;
    qsizetype m_rootAt = 0; // the root entry, whose CLSID holds the checksum
};

} // namespace

TEST_F(CfbDamage, TruncationAtEverySectorBoundary)
{
    const QByteArray f = makeFile(0);
    const qsizetype sectors = f.size() / 512;
    for (qsizetype k = 0; k <= sectors; ++k)
        expectErrorOrState(f.left(k * 512), "cut at sector " + std::to_string(k));
    expectErrorOrState(f.left(f.size() - 100), "cut inside the last sector");
    EXPECT_GT(m_refused, sectors / 2);
}

TEST_F(CfbDamage, ByteFlipsInEveryTable)
{
    const QByteArray f = makeFile(0);
    const Layout l = layoutOf(f);
    ASSERT_FALSE(l.miniFat.empty());
    std::mt19937 rng(20240611);
    struct Region {
        const char *name;
        std::vector<qsizetype> starts;
        qsizetype length;
    };
    std::vector<Region> regions { { "header", { 0 }, 512 } };
    auto sectorsOf = [](const std::vector<std::uint32_t> &c) {
        std::vector<qsizetype> v;
        for (std::uint32_t s : c)
            v.push_back(Layout::at(s));
        return v;
    };
    regions.push_back({ "FAT", sectorsOf(l.fat), 512 });
    regions.push_back({ "directory", sectorsOf(l.dir), 512 });
    regions.push_back({ "MiniFAT", sectorsOf(l.miniFat), 512 });
    for (const Region &r : regions) {
        for (int n = 0; n < 150; ++n) {
            QByteArray d = f;
            const qsizetype at = r.starts[rng() % r.starts.size()] + qsizetype(rng() % r.length);
            d[at] = char(d[at] ^ char(1 + rng() % 255));
            expectErrorOrState(d, std::string(r.name) + " byte " + std::to_string(at));
        }
    }
    EXPECT_GT(m_refused, 300); // most flips in used tables must be caught
}

TEST_F(CfbDamage, ByteFlipsInDifatSectors)
{
    const QByteArray f = makeFile(8);
    const Layout l = layoutOf(f);
    ASSERT_FALSE(l.difat.empty());
    std::mt19937 rng(7);
    for (int n = 0; n < 40; ++n) {
        QByteArray d = f;
        const qsizetype at = Layout::at(l.difat[rng() % l.difat.size()]) + qsizetype(rng() % 512);
        d[at] = char(d[at] ^ char(1 + rng() % 255));
        expectErrorOrState(d, "DIFAT byte " + std::to_string(at));
    }
    // Cutting off the DIFAT chain or pointing it past the end.
    QByteArray d = f;
    put32(d, 0x44, 0xFFFFFFFE);
    expectErrorOrState(d, "no DIFAT chain");
    put32(d, 0x44, 0x7FFFFFF0);
    expectErrorOrState(d, "DIFAT past the end");
}

TEST_F(CfbDamage, StrictWhereItMattersWithoutTheChecksum)
{
    const QByteArray f = makeFile(0);
    const Layout l = layoutOf(f);
    std::map<QString, QByteArray> got;
    ASSERT_EQ(openWithoutChecksum(f, &got), Status::Ok);
    EXPECT_TRUE(got == m_expected);

    const std::uint32_t late = findEntry(f, l, "late"), folder = findEntry(f, l, "folder");
    const std::uint32_t lateStart = le32(f, l.entry(late) + 116);
    const struct {
        const char *what;
        std::function<void(QByteArray &)> damage;
    } refused[] = {
        { "a chain that loops",
            [&](QByteArray &d) { put32(d, Layout::at(l.fat[lateStart / 128]) + 4 * (lateStart % 128), lateStart); } },
        { "a sibling that is its own child", [&](QByteArray &d) { put32(d, l.entry(late) + 68, late); } },
        { "a storage that contains itself", [&](QByteArray &d) { put32(d, l.entry(folder) + 76, folder); } },
        { "a size beyond the file", [&](QByteArray &d) { put32(d, l.entry(late) + 120, 50'000'000); } },
        { "a chain that runs out",
            [&](QByteArray &d) { put32(d, Layout::at(l.fat[lateStart / 128]) + 4 * (lateStart % 128), 0xFFFFFFFE); } },
        { "a directory chain through a free sector", [&](QByteArray &d) { put32(d, 0x30, 0xFFFFFFFF); } },
        { "a FAT sector past the end", [&](QByteArray &d) { put32(d, 0x4C, 0x00FFFFFF); } },
        { "a huge FAT count", [&](QByteArray &d) { put32(d, 0x2C, 0x40000000); } },
        { "the wrong signature", [&](QByteArray &d) { d[3] = 'x'; } },
        { "4096-byte sectors in version 3", [&](QByteArray &d) { d[0x1E] = 12; } },
    };
    for (const auto &r : refused) {
        QByteArray d = f;
        r.damage(d);
        const Status s = openWithoutChecksum(d, &got);
        EXPECT_NE(s, Status::Ok) << r.what;
    }
    // Untidy but readable: red-red siblings, garbage in the high half of a
    // version-3 size, and a file that ends inside its last sector.
    QByteArray d = f;
    for (std::uint32_t i = 1; i < l.dir.size() * 4; ++i)
        if (d[l.entry(i) + 66] != 0)
            d[l.entry(i) + 67] = 0;
    put32(d, l.entry(late) + 124, 0xDEADBEEF);
    ASSERT_EQ(openWithoutChecksum(d, &got), Status::Ok);
    EXPECT_TRUE(got == m_expected);
    const qsizetype lastUsed = Layout::at(l.chain(f, lateStart).back()) + (9000 % 512);
    if (lastUsed == f.size() - 512 + (9000 % 512)) { // "late" ends the file: cut its unused tail
        ASSERT_EQ(openWithoutChecksum(f.left(lastUsed), &got), Status::Ok);
        EXPECT_TRUE(got == m_expected);
    }
}

TEST_F(CfbDamage, RandomFlipsAnywhereNeverCrashOrHang)
{
    const QByteArray f = makeFile(0);
    std::mt19937 rng(99);
    std::map<QString, QByteArray> got;
    int opened = 0;
    for (int n = 0; n < 300; ++n) {
        QByteArray d = f;
        for (int k = 0; k < 4; ++k) {
            const qsizetype at = qsizetype(rng() % std::uint32_t(d.size()));
            d[at] = char(rng());
        }
        if (openWithoutChecksum(d, &got) == Status::Ok)
            ++opened;
        for (const auto &[name, bytes] : got) // nothing is made up: sizes stay within the file
            EXPECT_LE(bytes.size(), f.size()) << name.toStdString();
    }
    EXPECT_GT(opened, 0);
}

// The fuzzer's seeds and the inputs it once broke us with: each reads or fails
// cleanly, and when it opens for writing, our commit leaves a spotless file.
TEST(CfbCorpus, EveryFileReadsOrFailsAndTakesOurCommit)
{
    const QDir corpus(QStringLiteral(V7_CFB_CORPUS_DIR));
    const QStringList files = corpus.entryList(QDir::Files);
    ASSERT_GE(files.size(), 3);
    QTemporaryDir dir;
    for (const QString &name : files) {
        const QString copy = dir.path() + '/' + name;
        ASSERT_TRUE(QFile::copy(corpus.filePath(name), copy));
        std::map<QString, QByteArray> tree;
        v7test::readTree(copy, &tree);
        Storage root = Storage::open(copy, mode::ReadWrite | mode::ShareExclusive);
        if (!root.isOpen())
            continue;
        root.createStream("added", mode::ReadWrite).write(v7test::patternBytes(1, 5000));
        ASSERT_EQ(root.commit(), Status::Ok) << name.toStdString();
        root.release();
        v7test::expectClean(copy);
        std::map<QString, QByteArray> after;
        ASSERT_TRUE(v7test::readTree(copy, &after)) << name.toStdString();
        after.erase("added");
        for (const auto &[path, bytes] : after) { // what was there and readable is still there
            if (tree.count(path)) {
                EXPECT_EQ(bytes, tree[path]) << name.toStdString() << " " << path.toStdString();
            }
        }
    }
}
