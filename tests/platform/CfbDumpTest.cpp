// vorlane7-cache dump: the listing of any compound file, and a clear failure on a damaged one.
#include "CfbTestUtil.h"
#include "TestEnv.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

using namespace v7::cfb;

namespace
{

v7test::ProgramRun dump(const QString &file)
{
    return v7test::runProgram(QStringLiteral(V7_CACHE_TOOL), { "dump", file }, 60000);
}

} // namespace

TEST(CacheToolDump, ListsEveryElementWithSizeAndHash)
{
    QTemporaryDir dir;
    const QString file = dir.path() + "/c.cfb";
    const QByteArray big = v7test::patternBytes(1, 70000);
    {
        Storage root = Storage::create(file, mode::ReadWrite | mode::ShareExclusive);
        Storage f = root.createStorage("-1070025648", mode::ReadWrite);
        f.createStream("891568578", mode::ReadWrite).write(big);
        f.createStream("Index", mode::ReadWrite);
    }
    const v7test::ProgramRun r = dump(file);
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QString sha = QCryptographicHash::hash(big, QCryptographicHash::Sha256).toHex();
    const QString emptySha = QCryptographicHash::hash({}, QCryptographicHash::Sha256).toHex();
    EXPECT_EQ(r.out,
        "storage\t/-1070025648\n"
        "stream\t/-1070025648/Index\t0\t"
            + emptySha
            + "\n"
              "stream\t/-1070025648/891568578\t70000\t"
            + sha + "\n");

    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.resize(f.size() - 20 * 512); // cuts into the big stream
    f.close();
    const v7test::ProgramRun bad = dump(file);
    EXPECT_EQ(bad.code, 2);
    EXPECT_TRUE(bad.err.contains("damaged compound file")) << bad.err.toStdString();
    EXPECT_TRUE(bad.out.isEmpty());
    EXPECT_EQ(dump(dir.path() + "/missing").code, 2);
}
