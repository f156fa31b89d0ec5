// The short kill soak: a child process commits version after version and is
// killed with SIGKILL at random moments; each time the file must hold exactly a
// committed version. The long run is bench/cache_kill_soak.sh.
#include "CfbSoak.h"
#include "CfbTestUtil.h"

#include <QTemporaryDir>
#include <csignal>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using namespace v7::cfb;

namespace
{
int manifestLines(const QString &manifest)
{
    QFile f(manifest);
    return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) : 0;
}
} // namespace

TEST(CfbKill, WriterKilledAtRandomMomentsLeavesTheLastCommit)
{
    QTemporaryDir dir;
    const QString file = dir.path() + "/soak.cfb", manifest = dir.path() + "/manifest";
    const std::uint32_t seed = 4242;
    std::mt19937 rng(1);
    std::uint32_t lastVersion = 0;
    int progressed = 0;
    for (int trial = 0; trial < 25; ++trial) {
        const int linesBefore = manifestLines(manifest);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            v7soak::runWriter(file, manifest, seed);
        // A busy machine may starve the writer for longer than any fixed pause:
        // every other trial waits for one more commit, so the file always moves on.
        const int want = linesBefore + 1 + (trial % 2 == 0 ? 1 : 0);
        int status = 0;
        bool ended = false;
        for (int waited = 0; manifestLines(manifest) < want && waited < 60000 && !ended; ++waited) {
            ended = waitpid(child, &status, WNOHANG) == child;
            usleep(1000);
        }
        if (!ended) {
            usleep(useconds_t(rng() % 30000));
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << WEXITSTATUS(status);
        std::uint32_t v = 0;
        const QString problem = v7soak::check(file, manifest, seed, &v);
        ASSERT_TRUE(problem.isEmpty()) << "trial " << trial << ": " << problem.toStdString();
        if (v > lastVersion)
            ++progressed;
        ASSERT_GE(v, lastVersion);
        lastVersion = v;
    }
    EXPECT_GT(progressed, 5);
    // What the killed writers left unreachable is freed by the next one.
    {
        Storage root = Storage::open(file, mode::ReadWrite | mode::ShareExclusive);
        ASSERT_TRUE(root.isOpen());
        root.createStream("after", mode::ReadWrite).write("x", 1);
    }
    v7test::expectClean(file);
}

// The lock is the file's, not the process's: a writer in another process keeps
// this one out, and a reader here still sees that writer's commits only.
TEST(CfbLock, WriterInAnotherProcess)
{
    QTemporaryDir dir;
    const QString file = dir.path() + "/locked.cfb";
    {
        Storage root = Storage::create(file, mode::ReadWrite | mode::ShareExclusive);
        root.createStream("a", mode::ReadWrite).write("1", 1);
    }
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Storage root = Storage::open(file, mode::ReadWrite | mode::ShareExclusive);
        root.createStream("b", mode::ReadWrite).write("2", 1); // left uncommitted
        const char c = root.isOpen() ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        char d;
        (void)!read(release[0], &d, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    Status s;
    Storage::open(file, mode::ReadWrite | mode::ShareExclusive, &s);
    EXPECT_EQ(s, Status::LockViolation);
    Storage::open(file, mode::ReadWrite | mode::Transacted | mode::NoSnapshot, &s);
    EXPECT_EQ(s, Status::LockViolation);
    std::map<QString, QByteArray> tree;
    ASSERT_TRUE(v7test::readTree(file, &tree));
    EXPECT_EQ(tree.size(), 1u); // "b" is not committed
    (void)!write(release[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    // The child ended without releasing its handle: nothing of it was committed,
    // and the lock went with the process.
    Storage again = Storage::open(file, mode::ReadWrite | mode::ShareExclusive, &s);
    EXPECT_EQ(s, Status::Ok);
}
