// A compound file whose FAT outgrows the header and the first DIFAT sector: the
// header lists 109 FAT sectors, each DIFAT sector 127 more, so past 236 FAT
// sectors (236 * 128 sectors of 512 bytes, about 14.75 MiB) a second DIFAT sector
// is chained from the first.
#include "CfbTestUtil.h"
#include "TestEnv.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace v7::cfb;
using v7test::expectClean;
using v7test::patternBytes;
using v7test::RT;
using v7test::RW;

namespace
{

// 17 streams of 1 MiB: 34,816 data sectors need 273 FAT sectors, two DIFAT sectors.
constexpr int kStreams = 17;
constexpr int kStreamBytes = 1 << 20;

QString python()
{
    return QFileInfo::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3")
                                                 : QStandardPaths::findExecutable("python3");
}

QStringList ourListing(const std::map<QString, QByteArray> &tree)
{
    QStringList rows;
    for (const auto &[path, bytes] : tree) {
        if (path.endsWith('/'))
            rows << "S\t" + path.chopped(1);
        else
            rows << QString("F\t%1\t%2\t%3")
                        .arg(path)
                        .arg(bytes.size())
                        .arg(QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
    }
    rows.sort();
    return rows;
}

class CfbLarge : public ::testing::Test
{
protected:
    QString path() const { return m_dir.path() + "/big.cfb"; }
    QTemporaryDir m_dir;
};

} // namespace

TEST_F(CfbLarge, SecondDifatSectorIsWrittenReadAndKeptThroughChanges)
{
    std::map<QString, QByteArray> expect;
    {
        Storage root = Storage::create(path(), RW);
        ASSERT_TRUE(root.isOpen());
        Storage sub = root.createStorage("sub", RW);
        ASSERT_TRUE(sub.isOpen());
        for (int i = 0; i < kStreams; ++i) {
            Storage &at = i % 2 ? sub : root;
            const QString name = QString::number(i);
            Stream s = at.createStream(name, RW);
            ASSERT_TRUE(s.isOpen());
            const QByteArray b = patternBytes(std::uint32_t(i), kStreamBytes);
            ASSERT_EQ(s.write(b), Status::Ok);
            expect[(i % 2 ? "sub/" : "") + name] = b;
        }
        Stream small = sub.createStream("small", RW); // in the mini stream
        ASSERT_EQ(small.write("tail of the tree", 16), Status::Ok);
        expect["sub/small"] = QByteArray("tail of the tree");
        expect["sub/"] = QByteArray();
        ASSERT_EQ(sub.commit(), Status::Ok);
        ASSERT_EQ(root.commit(), Status::Ok);
        FileStats fs;
        ASSERT_EQ(root.fileStats(&fs), Status::Ok);
        EXPECT_GT(fs.fatSectors, 109u + 127u);
        EXPECT_EQ(fs.difatSectors, 2u);
    }
    expectClean(path());
    std::map<QString, QByteArray> tree;
    Status st;
    ASSERT_TRUE(v7test::readTree(path(), &tree, &st)) << statusText(st);
    EXPECT_TRUE(tree == expect);

    // A peer reads the same tree and bytes.
    const QString py = python();
    if (!py.isEmpty()) {
        const v7test::ProgramRun r =
            v7test::runProgram(py, { QStringLiteral(V7_CFB_PEERS_DIR "/cfb_peer.py"), "list", path() });
        if (r.code == 0) {
            QStringList peer = r.out.split('\n', Qt::SkipEmptyParts);
            peer.sort();
            EXPECT_EQ(peer.join('\n').toStdString(), ourListing(expect).join('\n').toStdString());
        } else {
            // Without python3-olefile the peer cannot run; anything else is a failure.
            EXPECT_TRUE(r.err.contains("No module named")) << r.err.toStdString();
        }
    }

    // Reopened for writing: a change to the last stream and a new stream are
    // committed; the FAT sectors listed in the second DIFAT sector move on copy.
    {
        Storage root = Storage::open(path(), RW);
        ASSERT_TRUE(root.isOpen());
        Storage sub = root.openStorage("sub", RW);
        Stream last = sub.openStream(QString::number(kStreams - 2), RW);
        ASSERT_TRUE(last.isOpen());
        ASSERT_EQ(last.seek(kStreamBytes - 5), Status::Ok);
        ASSERT_EQ(last.write("end!!", 5), Status::Ok);
        expect["sub/" + QString::number(kStreams - 2)].replace(kStreamBytes - 5, 5, "end!!");
        Stream more = root.createStream("more", RW);
        const QByteArray b = patternBytes(99, 300000);
        ASSERT_EQ(more.write(b), Status::Ok);
        expect["more"] = b;
        ASSERT_EQ(sub.commit(), Status::Ok);
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    expectClean(path());
    ASSERT_TRUE(v7test::readTree(path(), &tree, &st)) << statusText(st);
    EXPECT_TRUE(tree == expect);

    // Half the streams destroyed: the sectors they free are listed through both
    // DIFAT sectors, and what is left reads.
    {
        Storage root = Storage::open(path(), RW);
        Storage sub = root.openStorage("sub", RW);
        for (int i = 1; i < kStreams; i += 2) {
            ASSERT_EQ(sub.destroyElement(QString::number(i)), Status::Ok);
            expect.erase("sub/" + QString::number(i));
        }
        ASSERT_EQ(sub.commit(), Status::Ok);
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    expectClean(path());
    ASSERT_TRUE(v7test::readTree(path(), &tree, &st)) << statusText(st);
    EXPECT_TRUE(tree == expect);
}
