// Files we write open in other compound-file implementations with the same tree
// and bytes, and theirs open in ours: python3-olefile, libgsf and the npm package cfb.
#include "CfbTestUtil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace v7::cfb;
using v7test::patternBytes;

namespace
{

const QString kPeers = QStringLiteral(V7_CFB_PEERS_DIR);
const QString kNpmDir = QStringLiteral(V7_CFB_NPM_DIR);

struct ProcResult {
    bool started = false;
    int code = -1;
    QByteArray out, err;
};

ProcResult run(const QString &program, const QStringList &args, const QString &cwd = QString())
{
    QProcess p;
    if (!cwd.isEmpty())
        p.setWorkingDirectory(cwd);
    p.start(program, args);
    ProcResult r;
    r.started = p.waitForStarted(10000);
    if (!r.started)
        return r;
    p.waitForFinished(300000);
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// The distribution's python has python3-olefile; a python earlier on PATH may not.
QString python()
{
    return QFileInfo::exists("/usr/bin/python3") ? QStringLiteral("/usr/bin/python3")
                                                 : QStandardPaths::findExecutable("python3");
}

QString sha(const QByteArray &b)
{
    return QString::fromLatin1(QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex());
}

QStringList sortedRows(QStringList rows)
{
    rows.sort();
    return rows;
}

QStringList ourListing(const QString &file)
{
    std::map<QString, QByteArray> tree;
    Status s;
    EXPECT_TRUE(v7test::readTree(file, &tree, &s)) << statusText(s);
    QStringList rows;
    for (const auto &[path, bytes] : tree) {
        if (path.endsWith('/'))
            rows << "S\t" + path.chopped(1);
        else
            rows << QString("F\t%1\t%2\t%3").arg(path).arg(bytes.size()).arg(sha(bytes));
    }
    return sortedRows(rows);
}

std::string str(const QStringList &rows)
{
    return rows.join('\n').toStdString();
}

QStringList lines(const QByteArray &out)
{
    return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts);
}

QStringList olefileListing(const QString &file)
{
    const ProcResult r = run(python(), { kPeers + "/cfb_peer.py", "list", file });
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    return sortedRows(lines(r.out));
}

QStringList gsfListing(const QString &file)
{
    const ProcResult r = run("gsf", { "list", file });
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    QStringList rows;
    for (const QString &line : lines(r.out)) {
        const QStringList parts = line.split(' ', Qt::SkipEmptyParts);
        if (parts.size() < 3 || (parts[0] != "d" && parts[0] != "f") || parts.last() == "*root*")
            continue;
        if (parts[0] == "d") {
            rows << "S\t" + parts.last();
            continue;
        }
        const ProcResult cat = run("gsf", { "cat", file, parts.last() });
        EXPECT_EQ(cat.code, 0) << parts.last().toStdString();
        rows << QString("F\t%1\t%2\t%3").arg(parts.last(), parts[parts.size() - 2], sha(cat.out));
    }
    return sortedRows(rows);
}

class CfbInterop : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_node = QStandardPaths::findExecutable("node");
        const QString npm = QStandardPaths::findExecutable("npm");
        if (s_node.isEmpty() || npm.isEmpty())
            return;
        // ctest runs each test in its own process, several at once: one installs
        // while the others wait, or two npm runs would tear each other's tree down.
        QDir().mkpath(kNpmDir);
        QLockFile lock(kNpmDir + "/install.lock");
        lock.setStaleLockTime(0);
        if (!lock.lock()) {
            s_npmError = "cannot lock " + kNpmDir;
            return;
        }
        if (!QFileInfo::exists(kNpmDir + "/node_modules/cfb/package.json")) {
            const ProcResult r = run(npm, { "install", "--no-audit", "--no-fund", "--prefix", kNpmDir, "cfb" });
            s_npmError = r.code == 0 ? QString() : QString::fromUtf8(r.err);
        }
    }
    bool haveNode() { return !s_node.isEmpty(); }
    QStringList npmListing(const QString &file)
    {
        const ProcResult r = run(s_node, { kPeers + "/cfb_peer.js", kNpmDir, "list", file });
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        return sortedRows(lines(r.out));
    }
    QString path(const QString &n) const { return m_dir.path() + '/' + n; }

    static QString s_node, s_npmError;
    QTemporaryDir m_dir;
};
QString CfbInterop::s_node, CfbInterop::s_npmError;

#define REQUIRE_NODE()                                                                                                 \
    if (!haveNode())                                                                                                   \
        GTEST_SKIP() << "node or npm is not installed: the npm package cfb cannot be run";                             \
    ASSERT_TRUE(s_npmError.isEmpty()) << "npm install cfb failed: " << s_npmError.toStdString();

// A file of ours: nested storages, streams at every size boundary, one storage
// emptied by a destroy, a rename, and several commits.
void writeOurs(const QString &file, int bigStreams)
{
    Storage root = Storage::create(file, mode::ReadWrite | mode::ShareExclusive);
    ASSERT_TRUE(root.isOpen());
    const int sizes[] = { 0, 1, 63, 64, 65, 511, 512, 4095, 4096, 4097, 5000 };
    Storage a = root.createStorage("alpha", mode::ReadWrite | mode::ShareExclusive);
    Storage b = a.createStorage("Beta", mode::ReadWrite | mode::ShareExclusive);
    for (int sz : sizes) {
        root.createStream(QString("top%1").arg(sz), mode::ReadWrite).write(patternBytes(std::uint32_t(sz), sz));
        b.createStream(QString("-%1").arg(sz * 7919), mode::ReadWrite).write(patternBytes(std::uint32_t(sz + 1), sz));
    }
    ASSERT_EQ(root.commit(), Status::Ok);
    root.createStorage("empty", mode::ReadWrite);
    a.createStream("Index", mode::ReadWrite).write(patternBytes(77, 123));
    ASSERT_EQ(root.renameElement("top1", "renamed"), Status::Ok);
    ASSERT_EQ(root.destroyElement("top65"), Status::Ok);
    for (int i = 0; i < bigStreams; ++i)
        root.createStream(QString("big%1").arg(i), mode::ReadWrite).write(patternBytes(std::uint32_t(i), 1 << 20));
    ASSERT_EQ(root.commit(), Status::Ok);
}

} // namespace

TEST_F(CfbInterop, OurFilesReadTheSameInEveryPeer)
{
    for (int big : { 0, 8 }) { // 8 MB needs DIFAT sectors
        const QString file = path(QString("ours%1.cfb").arg(big));
        writeOurs(file, big);
        v7test::expectClean(file);
        const QStringList ours = ourListing(file);
        ASSERT_GT(ours.size(), 20);
        EXPECT_EQ(str(olefileListing(file)), str(ours)) << "python3-olefile, " << big;
        // gsf list shows a storage without children as an empty file.
        QStringList forGsf = ours;
        forGsf.replaceInStrings(QRegularExpression("^S\\tempty$"), "F\tempty\t0\t" + sha({}));
        EXPECT_EQ(str(gsfListing(file)), str(sortedRows(forGsf))) << "libgsf, " << big;
        if (haveNode()) {
            ASSERT_TRUE(s_npmError.isEmpty()) << s_npmError.toStdString();
            QStringList npm = npmListing(file);
            EXPECT_EQ(str(npm), str(ours)) << "npm cfb, " << big;
        }
    }
    if (!haveNode())
        GTEST_SKIP() << "node or npm is not installed: the npm package cfb was not checked";
}

TEST_F(CfbInterop, NpmCfbFilesReadInOurs)
{
    REQUIRE_NODE();
    for (const char *kind : { "write", "big" }) {
        const QString file = path(QString("npm-%1.cfb").arg(kind));
        const ProcResult r = run(s_node, { kPeers + "/cfb_peer.js", kNpmDir, kind, file });
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
        const QStringList ours = ourListing(file);
        EXPECT_EQ(str(ours), str(npmListing(file))) << kind;
        EXPECT_EQ(str(ours), str(olefileListing(file))) << kind;
        if (QString(kind) == "big") {
            Storage root = Storage::open(file, mode::Read | mode::Transacted | mode::NoSnapshot);
            FileStats fs;
            root.fileStats(&fs);
            EXPECT_GT(fs.difatSectors, 0u);
        }
        // And ours can write into theirs without harm.
        {
            Storage root = Storage::open(file, mode::ReadWrite | mode::ShareExclusive);
            ASSERT_TRUE(root.isOpen());
            root.createStream("added", mode::ReadWrite).write(patternBytes(5, 3000));
        }
        v7test::expectClean(file);
        EXPECT_EQ(str(ourListing(file)), str(olefileListing(file))) << kind;
    }
}

TEST_F(CfbInterop, GsfFilesReadInOurs)
{
    const QString src = path("tree");
    QDir().mkpath(src + "/sub/deeper");
    const struct {
        const char *name;
        int size;
    } files[] = { { "a", 0 }, { "sub/b", 10 }, { "sub/c", 4096 }, { "sub/deeper/d", 5000 }, { "e", 100000 } };
    for (const auto &f : files) {
        QFile out(src + '/' + f.name);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(patternBytes(std::uint32_t(f.size), f.size));
    }
    const QString file = path("gsf.cfb");
    const ProcResult r = run("gsf", { "createole", file, "tree" }, m_dir.path());
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    std::map<QString, QByteArray> tree;
    ASSERT_TRUE(v7test::readTree(file, &tree));
    for (const auto &f : files)
        EXPECT_EQ(tree[QString("tree/") + f.name], patternBytes(std::uint32_t(f.size), f.size)) << f.name;
    EXPECT_EQ(str(ourListing(file)), str(olefileListing(file)));
}

TEST_F(CfbInterop, Version4FileReadsInOurs)
{
    const QString file = path("v4.cfb");
    const ProcResult r = run(python(), { kPeers + "/cfb_peer.py", "writev4", file });
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QStringList ours = ourListing(file);
    EXPECT_EQ(str(ours), str(olefileListing(file)));
    EXPECT_EQ(ours.size(), 4);
    Storage root = Storage::open(file, mode::Read | mode::Transacted | mode::NoSnapshot);
    FileStats fs;
    root.fileStats(&fs);
    EXPECT_EQ(fs.majorVersion, 4);
    EXPECT_EQ(fs.sectorSize, 4096u);
}
