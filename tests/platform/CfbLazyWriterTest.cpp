// A writer of a mapped file reads the directory only where it goes and builds
// each commit's FAT and MiniFAT from the committed ones. These tests hold it to
// a model of the tree through random edits, with the strict audit after every
// commit (it finds a leaked sector, one in use but marked free, or an entry
// left allocated and unreachable), and check that damage it does not reach
// neither stops it nor spreads.
#include "CfbTestUtil.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstring>
#include <functional>
#include <iterator>
#include <random>
#include <set>

using namespace v7::cfb;
using namespace v7test;

namespace
{

class CfbLazyWriter : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath("t.cfb"); }
    static constexpr std::uint32_t RWT = RW | mode::Transacted;
    // Folder "a" with one stream "x", committed.
    bool makeOneStream() const
    {
        Storage root = Storage::create(path(), RW);
        root.createStorage("a", RW).createStream("x", RW).write(patternBytes(1, 100));
        return root.commit() == Status::Ok;
    }
};

// Sizes on both sides of the mini-stream cutoff and of sector boundaries.
const int kSizes[] = { 0, 1, 63, 64, 65, 511, 512, 4095, 4096, 4097, 9000, 70000 };

struct Model {
    std::map<QString, QByteArray> streams; // "folder/name"
    std::set<QString> folders;
    // As readTree gives it: storages with a trailing slash.
    std::map<QString, QByteArray> tree() const
    {
        std::map<QString, QByteArray> t = streams;
        for (const QString &f : folders)
            t[f + "/"] = QByteArray();
        return t;
    }
};

// One session of random edits through one writer, committed once or more.
void editSession(Storage &root, Model *m, std::mt19937 &rng, std::uint32_t *seed)
{
    const int edits = 1 + int(rng() % 12);
    for (int n = 0; n < edits; ++n) {
        const int op = int(rng() % 10);
        if (op == 0 || m->folders.empty()) {
            const QString f = QString("f%1").arg(rng() % 40);
            if (!m->folders.count(f)) {
                Status s;
                root.createStorage(f, RW, &s);
                ASSERT_EQ(s, Status::Ok);
                m->folders.insert(f);
            }
            continue;
        }
        auto fit = m->folders.begin();
        std::advance(fit, rng() % m->folders.size());
        const QString f = *fit;
        Storage st = root.openStorage(f, RW);
        ASSERT_TRUE(st.isOpen()) << f.toStdString();
        std::vector<QString> mine;
        for (const auto &kv : m->streams)
            if (kv.first.startsWith(f + "/"))
                mine.push_back(kv.first.mid(f.size() + 1));
        const QString pick = mine.empty() ? QString() : mine[rng() % mine.size()];
        if (op == 1) { // the folder goes, with everything in it
            ASSERT_EQ(root.destroyElement(f), Status::Ok);
            m->folders.erase(f);
            for (const QString &s : mine)
                m->streams.erase(f + "/" + s);
        } else if (op == 2 && !pick.isEmpty()) {
            ASSERT_EQ(st.destroyElement(pick), Status::Ok);
            m->streams.erase(f + "/" + pick);
        } else if (op == 3 && !pick.isEmpty()) {
            const QString to = QString("r%1").arg(rng() % 1000);
            if (m->streams.count(f + "/" + to))
                continue;
            ASSERT_EQ(st.renameElement(pick, to), Status::Ok);
            m->streams[f + "/" + to] = m->streams[f + "/" + pick];
            m->streams.erase(f + "/" + pick);
        } else if (op == 4 && !pick.isEmpty()) { // grown or cut in place
            Stream s = st.openStream(pick, RW);
            const int size = kSizes[rng() % std::size(kSizes)];
            ASSERT_EQ(s.setSize(std::uint64_t(size)), Status::Ok);
            QByteArray &b = m->streams[f + "/" + pick];
            if (size > b.size()) { // room made by setSize holds whatever the sectors held: filled here
                ASSERT_EQ(s.seek(b.size()), Status::Ok);
                ASSERT_EQ(s.write(QByteArray(size - int(b.size()), 'g')), Status::Ok);
            }
            b.resize(size, 'g');
        } else if (op == 5 && !pick.isEmpty()) { // a few bytes inside
            Stream s = st.openStream(pick, RW);
            QByteArray &b = m->streams[f + "/" + pick];
            const QByteArray patch = patternBytes((*seed)++, 5);
            const int at = b.isEmpty() ? 0 : int(rng() % std::uint32_t(b.size()));
            ASSERT_EQ(s.seek(at), Status::Ok);
            ASSERT_EQ(s.write(patch), Status::Ok);
            if (b.size() < at + 5)
                b.resize(at + 5);
            std::memcpy(b.data() + at, patch.constData(), 5);
        } else { // a new stream, or one replaced whole
            const QString name = QString::number(rng() % 300);
            const QByteArray bytes = patternBytes((*seed)++, kSizes[rng() % std::size(kSizes)]);
            Status s;
            Stream stream = st.createStream(name, RW | mode::Create, &s);
            ASSERT_EQ(s, Status::Ok);
            ASSERT_EQ(stream.write(bytes), Status::Ok);
            m->streams[f + "/" + name] = bytes;
        }
        if (rng() % 8 == 0) {
            ASSERT_EQ(root.commit(), Status::Ok); // several commits by one writer
        }
    }
}

// The paths whose bytes differ, for a short failure message.
std::string differences(const std::map<QString, QByteArray> &got, const std::map<QString, QByteArray> &want)
{
    std::string out;
    for (const auto &kv : want) {
        const auto it = got.find(kv.first);
        if (it == got.end())
            out += " missing " + kv.first.toStdString();
        else if (it->second != kv.second)
            out += " differs " + kv.first.toStdString() + " (" + std::to_string(it->second.size()) + " bytes, want "
                + std::to_string(kv.second.size()) + ")";
    }
    for (const auto &kv : got)
        if (!want.count(kv.first))
            out += " extra " + kv.first.toStdString();
    return out;
}

} // namespace

TEST_F(CfbLazyWriter, RandomEditsKeepTheTreeAndACleanAudit)
{
    Model m;
    std::uint32_t seed = 1;
    {
        Storage root = Storage::create(path(), RW);
        ASSERT_TRUE(root.isOpen());
        // More directory sectors than a commit compares in one block of a chain.
        for (int f = 0; f < 24; ++f) {
            const QString name = QString("f%1").arg(f);
            Storage st = root.createStorage(name, RW);
            m.folders.insert(name);
            for (int i = 0; i < 50; ++i) {
                const QByteArray b = patternBytes(seed++, kSizes[(f + i) % std::size(kSizes)]);
                st.createStream(QString::number(i), RW).write(b);
                m.streams[name + "/" + QString::number(i)] = b;
            }
        }
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    std::mt19937 rng(29);
    for (int round = 0; round < 90; ++round) {
        SCOPED_TRACE(round);
        // Now and then a reader holds the previous state: nothing it uses may be reused.
        Storage reader;
        std::map<QString, QByteArray> before;
        if (round % 3 == 2) {
            reader = Storage::open(path(), RT);
            ASSERT_TRUE(readTree(reader, QString(), &before));
        }
        {
            Storage root = Storage::open(path(), RW);
            ASSERT_TRUE(root.isOpen());
            editSession(root, &m, rng, &seed);
            if (HasFatalFailure())
                return;
            ASSERT_EQ(root.commit(), Status::Ok);
        }
        if (reader.isOpen()) {
            std::map<QString, QByteArray> still;
            ASSERT_TRUE(readTree(reader, QString(), &still));
            EXPECT_EQ(still, before);
        }
        std::map<QString, QByteArray> tree;
        ASSERT_TRUE(readTree(path(), &tree));
        EXPECT_EQ(differences(tree, m.tree()), "");
        expectClean(path());
    }
}

TEST_F(CfbLazyWriter, RevertDropsASessionsEdits)
{
    ASSERT_TRUE(makeOneStream());
    {
        Storage root = Storage::open(path(), RWT);
        Storage a = root.openStorage("a", RWT);
        a.createStream("y", RWT).write(patternBytes(2, 5000));
        ASSERT_EQ(a.destroyElement("x"), Status::Ok);
        ASSERT_EQ(root.revert(), Status::Ok);
        a = root.openStorage("a", RWT);
        a.createStream("z", RWT).write(patternBytes(3, 10));
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    std::map<QString, QByteArray> tree;
    ASSERT_TRUE(readTree(path(), &tree));
    const std::map<QString, QByteArray> want {
        { "a/", {} }, { "a/x", patternBytes(1, 100) }, { "a/z", patternBytes(3, 10) }
    };
    EXPECT_EQ(tree, want);
    expectClean(path());
}

// A writer that could not read the file again on revert holds no state it can
// trust: it commits nothing after that.
TEST_F(CfbLazyWriter, AWriterWhoseRevertFailedCommitsNothing)
{
    ASSERT_TRUE(makeOneStream());
    Storage root = Storage::open(path(), RWT);
    root.openStorage("a", RWT).createStream("y", RWT).write(patternBytes(2, 5000));
    QFile f(path());
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    QByteArray bytes = f.readAll();
    bytes[0] = char(~bytes[0]); // the header no longer reads
    ASSERT_TRUE(f.seek(0));
    ASSERT_EQ(f.write(bytes), bytes.size());
    f.close();
    EXPECT_NE(root.revert(), Status::Ok);
    root.createStorage("b", RWT);
    EXPECT_NE(root.commit(), Status::Ok);
    root = Storage();
    QFile again(path());
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_EQ(again.readAll(), bytes);
}

// A wrong byte in one folder's directory sectors: a writer that works in
// another folder commits, the damage stays where it was (and is still found),
// and a writer that reaches it is refused rather than writing a wrong tree.
TEST_F(CfbLazyWriter, DamageAWriterDoesNotReachNeitherStopsItNorSpreads)
{
    {
        Storage root = Storage::create(path(), RW);
        for (const char *f : { "a", "b" }) {
            Storage st = root.createStorage(f, RW);
            for (int i = 0; i < 200; ++i)
                st.createStream(QString("%1%2").arg(f).arg(i), RW).write(patternBytes(i, 64));
        }
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    // The directory entry of stream "a150": UTF-16 name at the start of its 128 bytes.
    QByteArray file = readFile(path());
    const QByteArray name = QByteArray("a\0001\0005\0000\0\0\0", 10);
    const qsizetype at = file.indexOf(name);
    ASSERT_GT(at, 0);
    file[at + 100] = char(file[at + 100] ^ 0x40); // its creation time: read only as bytes
    writeFile(path(), file);
    forgetCheckedSectors();

    {
        Status s;
        Storage root = Storage::open(path(), RW, &s);
        ASSERT_EQ(s, Status::Ok);
        Storage b = root.openStorage("b", RW, &s);
        ASSERT_EQ(s, Status::Ok);
        ASSERT_EQ(b.createStream("new", RW).write(patternBytes(99, 300)), Status::Ok);
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    {
        Storage root = Storage::open(path(), RT);
        QByteArray got;
        ASSERT_EQ(root.openStorage("b", RT).openStream("new", RT).readAll(&got), Status::Ok);
        EXPECT_EQ(got, patternBytes(99, 300));
        Status s;
        root.openStorage("a", RT).openStream("a150", RT, &s);
        EXPECT_EQ(s, Status::Corrupt);
    }
    QStringList problems;
    EXPECT_EQ(Storage::check(path(), &problems), Status::Corrupt);
    {
        Status s;
        Storage root = Storage::open(path(), RW, &s);
        ASSERT_EQ(s, Status::Ok);
        Storage a = root.openStorage("a", RW, &s);
        if (s == Status::Ok) // the damaged entry itself, so the writer surely reads it
            a.openStream("a150", RW, &s);
        EXPECT_EQ(s, Status::Corrupt);
        a.createStream("more", RW);
        EXPECT_EQ(root.commit(), Status::Corrupt);
    }
    // The refused writer left the file as it was: b's new stream still reads.
    Storage root = Storage::open(path(), RT);
    QByteArray got;
    ASSERT_EQ(root.openStorage("b", RT).openStream("new", RT).readAll(&got), Status::Ok);
    EXPECT_EQ(got, patternBytes(99, 300));
}

// Folders deleted in one session and made in a later one take the freed
// directory slots again: the directory does not grow with every round.
TEST_F(CfbLazyWriter, FreedSlotsAreTakenUpByLaterSessions)
{
    {
        Storage root = Storage::create(path(), RW);
        for (int f = 0; f < 100; ++f)
            root.createStorage(QString("f%1").arg(f), RW).createStream("s", RW).write(patternBytes(f, 100));
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    auto dirSectors = [&] {
        FileStats st;
        Storage r = Storage::open(path(), RT);
        return r.fileStats(&st) == Status::Ok ? st.directorySectors : 0u;
    };
    const std::uint32_t first = dirSectors();
    ASSERT_GT(first, 0u);
    int next = 100;
    for (int round = 0; round < 5; ++round) {
        {
            Storage root = Storage::open(path(), RW);
            for (int f = next - 100; f < next - 50; ++f)
                ASSERT_EQ(root.destroyElement(QString("f%1").arg(f)), Status::Ok);
            ASSERT_EQ(root.commit(), Status::Ok);
        }
        {
            Storage root = Storage::open(path(), RW);
            for (int f = next; f < next + 50; ++f)
                root.createStorage(QString("f%1").arg(f), RW).createStream("s", RW).write(patternBytes(f, 100));
            ASSERT_EQ(root.commit(), Status::Ok);
        }
        next += 50;
        expectClean(path());
    }
    EXPECT_LE(dirSectors(), first + 2);
    std::map<QString, QByteArray> tree;
    ASSERT_TRUE(readTree(path(), &tree));
    EXPECT_EQ(tree.size(), 200u);
}

// A file cut short inside a stream: the FAT still marks the lost sectors in use.
// The writer refuses it, rather than handing those sectors out again and so
// making the lost stream read another's bytes.
TEST_F(CfbLazyWriter, AFileCutShortIsRefusedNotCrossLinked)
{
    const QByteArray tail = patternBytes(3, 30 * 512);
    {
        Storage root = Storage::create(path(), RW);
        root.createStream("a", RW).write(patternBytes(1, 20 * 512));
        root.createStream("b", RW).write(patternBytes(2, 100));
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    {
        Storage reader = Storage::open(path(), RT); // every sector held: the stream goes to the end
        Storage root = Storage::open(path(), RW);
        root.createStream("c", RW).write(tail);
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    {
        Storage root = Storage::open(path(), RW);
        ASSERT_EQ(root.destroyElement("a"), Status::Ok);
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    for (int i = 0; i < 2; ++i) { // the tables move down, and the file's tail is given back
        Storage root = Storage::open(path(), RW);
        ASSERT_EQ(root.renameElement(i ? "b2" : "b", i ? "b" : "b2"), Status::Ok);
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    QByteArray file = readFile(path());
    ASSERT_EQ(file.indexOf(tail.right(512)) + 512, file.size()) << "the stream is not at the end";
    file.truncate(file.size() - 10 * 512);
    writeFile(path(), file);
    forgetCheckedSectors();
    Status s;
    Storage root = Storage::open(path(), RW, &s);
    EXPECT_EQ(s, Status::Corrupt);
    EXPECT_FALSE(root.isOpen());
}

namespace
{

// Folders "f<first>".."f<first+count-1>", each with a stream over the mini
// cutoff and one under it.
void addFolders(Storage &root, int first, int count)
{
    for (int f = first; f < first + count; ++f) {
        Storage st = root.createStorage(QString("f%1").arg(f), RW);
        st.createStream("big", RW).write(patternBytes(std::uint32_t(f), 9000));
        st.createStream("small", RW).write(patternBytes(std::uint32_t(f) + 1000, 100));
    }
}

} // namespace

// After damage to a table sector that describes only other folders' streams: a
// writer elsewhere commits, readers meet the damage only in the streams it
// describes, the check finds it, and a writer that has to reach it (touch) is
// refused with nothing written.
void expectDamageStopsOnlyWhatReachesIt(const QString &path,
    std::initializer_list<int> folders,
    const std::function<std::pair<Status, Status>(Storage &, const QString &)> &touch)
{
    forgetCheckedSectors();
    {
        Status s;
        Storage root = Storage::open(path, RW, &s);
        ASSERT_EQ(s, Status::Ok);
        addFolders(root, 1000, 1);
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    QString hit;
    {
        Storage root = Storage::open(path, RT);
        for (int f : folders) {
            for (const char *name : { "big", "small" }) {
                Status s;
                QByteArray got;
                Stream st = root.openStorage(QString("f%1").arg(f), RT).openStream(name, RT, &s);
                if (s == Status::Ok)
                    s = st.readAll(&got);
                if (s == Status::Corrupt) {
                    hit = QString("f%1").arg(f);
                    continue;
                }
                ASSERT_EQ(s, Status::Ok) << f;
                const bool big = std::strcmp(name, "big") == 0;
                EXPECT_EQ(got, patternBytes(std::uint32_t(f) + (big ? 0 : 1000), big ? 9000 : 100)) << f << name;
            }
        }
    }
    ASSERT_FALSE(hit.isEmpty()) << "no stream read the damaged sector";
    QStringList problems;
    EXPECT_EQ(Storage::check(path, &problems), Status::Corrupt);

    const QByteArray before = readFile(path);
    {
        Storage root = Storage::open(path, RW);
        const auto [touched, committed] = touch(root, hit);
        EXPECT_TRUE(touched == Status::Corrupt || committed == Status::Corrupt)
            << statusText(touched) << " " << statusText(committed);
    }
    EXPECT_EQ(readFile(path), before);
}

// The FAT is read a sector at a time, where a writer needs it.
TEST_F(CfbLazyWriter, ItReadsOnlyTheFatSectorsItNeeds)
{
    {
        Storage root = Storage::create(path(), RW);
        addFolders(root, 0, 60);
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    QByteArray file = readFile(path());
    const std::uint32_t fatSectors = le32At(file, 0x2C);
    ASSERT_GT(fatSectors, 4u);
    ASSERT_LE(fatSectors, 109u);
    // A FAT sector from the middle: the streams' data was written first, so it
    // describes nothing but their sectors.
    const std::uint32_t k = fatSectors / 2;
    const qsizetype at = qsizetype(le32At(file, 0x4C + 4 * k) + 1) * 512 + 4 * 7;
    file[at] = char(file[at] ^ 0x01);
    writeFile(path(), file);
    // Freeing a stream the damaged sector describes means reading it.
    expectDamageStopsOnlyWhatReachesIt(
        path(), { 1000, 0, 10, 20, 30, 40, 50, 59 }, [](Storage &root, const QString &f) {
            const Status destroyed = root.destroyElement(f);
            return std::pair(destroyed, root.commit());
        });
}

// So is the sector map's record of where the mini stream's sectors are: a leaf
// of it is read when a stream in those sectors is, not when the writer opens.
TEST_F(CfbLazyWriter, ItReadsOnlyTheMapLeavesItNeeds)
{
    {
        Storage root = Storage::create(path(), RW);
        addFolders(root, 0, 600);
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    QByteArray file = readFile(path());
    auto sectorAt = [](std::uint32_t s) { return qsizetype(s + 1) * 512; };
    // The map's top is named in the root entry's class id; the mini stream's
    // tree is its fifth kind: count, depth, place and CRC-32 of its root node.
    const std::uint32_t top = le32At(file, sectorAt(le32At(file, 0x30)) + 0x50 + 8);
    const qsizetype mini = sectorAt(top) + 16 + 16 * 4;
    ASSERT_GT(le32At(file, mini), 2u * 64) << "the mini stream has fewer than three leaves";
    ASSERT_EQ(le32At(file, mini + 4), 1u);
    // Its second leaf: mini-stream sectors 64 to 127, the small streams of the
    // folders in the middle.
    const std::uint32_t leaf = le32At(file, sectorAt(le32At(file, mini + 8)) + 8);
    file[sectorAt(leaf) + 8 * 5] = char(file[sectorAt(leaf) + 8 * 5] ^ 0x04);
    writeFile(path(), file);
    // Writing into a small stream there means reading the leaf.
    expectDamageStopsOnlyWhatReachesIt(
        path(), { 1000, 0, 100, 200, 300, 400, 500, 599 }, [](Storage &root, const QString &f) {
            Status s;
            Stream st = root.openStorage(f, RW).openStream("small", RW, &s);
            if (s == Status::Ok)
                s = st.write(QByteArray(10, 'w'));
            return std::pair(s, s == Status::Ok ? root.commit() : Status::Ok);
        });
}

// With a reader about, every sector of the file is held, so a writer puts new
// sectors past the end; those it frees again in the same session are taken up
// again without taking one still in use.
TEST_F(CfbLazyWriter, WithAReaderAboutNewSectorsGoPastTheEndWithoutCollisions)
{
    ASSERT_TRUE(makeOneStream());
    const qint64 first = QFileInfo(path()).size();
    {
        Storage reader = Storage::open(path(), RT);
        ASSERT_TRUE(reader.isOpen());
        Storage root = Storage::open(path(), RW);
        Storage a = root.openStorage("a", RW);
        ASSERT_EQ(a.createStream("p", RW).write(patternBytes(10, 9000)), Status::Ok);
        ASSERT_EQ(a.createStream("q", RW).write(patternBytes(11, 9000)), Status::Ok);
        ASSERT_EQ(a.destroyElement("p"), Status::Ok);
        ASSERT_EQ(a.createStream("r", RW).write(patternBytes(12, 9000)), Status::Ok);
        ASSERT_EQ(a.createStream("s", RW).write(patternBytes(13, 9000)), Status::Ok);
        ASSERT_EQ(root.commit(), Status::Ok);
        QByteArray old;
        ASSERT_EQ(reader.openStorage("a", RT).openStream("x", RT).readAll(&old), Status::Ok);
        EXPECT_EQ(old, patternBytes(1, 100));
    }
    EXPECT_GT(QFileInfo(path()).size(), first + 3 * 9000);
    expectClean(path());
    std::map<QString, QByteArray> tree;
    ASSERT_TRUE(readTree(path(), &tree));
    EXPECT_EQ(tree["a/q"], patternBytes(11, 9000));
    EXPECT_EQ(tree["a/r"], patternBytes(12, 9000));
    EXPECT_EQ(tree["a/s"], patternBytes(13, 9000));
    EXPECT_EQ(tree.count("a/p"), 0u);
}

// Every other folder deleted in one session and as many written again in the
// next: the new data finds the freed space, scattered as it is, through the
// free runs each commit names and the FAT sectors each writer reads on, and
// the file does not grow round after round.
TEST_F(CfbLazyWriter, ScatteredFreeSpaceIsFilledAgain)
{
    {
        Storage root = Storage::create(path(), RW);
        addFolders(root, 0, 400);
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    const qint64 first = QFileInfo(path()).size();
    std::set<int> live;
    for (int f = 0; f < 400; ++f)
        live.insert(f);
    int next = 400;
    for (int round = 0; round < 3; ++round) {
        {
            Storage root = Storage::open(path(), RW);
            int i = 0;
            for (auto it = live.begin(); it != live.end(); ++i) {
                if (i % 2 == 0) {
                    ++it;
                    continue;
                }
                ASSERT_EQ(root.destroyElement(QString("f%1").arg(*it)), Status::Ok);
                it = live.erase(it);
            }
            ASSERT_EQ(root.commit(), Status::Ok);
        }
        {
            Storage root = Storage::open(path(), RW);
            const int added = 400 - int(live.size());
            addFolders(root, next, added);
            for (int f = next; f < next + added; ++f)
                live.insert(f);
            next += 400;
            ASSERT_EQ(root.commit(), Status::Ok);
        }
        expectClean(path());
    }
    EXPECT_LE(QFileInfo(path()).size(), first + first / 10);
    std::map<QString, QByteArray> tree;
    ASSERT_TRUE(readTree(path(), &tree));
    EXPECT_EQ(tree.size(), 400u * 3);
}
