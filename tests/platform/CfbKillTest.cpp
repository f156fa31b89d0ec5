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

TEST(CfbKill, WriterKilledAtRandomMomentsLeavesTheLastCommit)
{
    QTemporaryDir dir;
    const QString file = dir.path() + "/soak.cfb", manifest = dir.path() + "/manifest";
    const std::uint32_t seed = 4242;
    std::mt19937 rng(1);
    std::uint32_t lastVersion = 0;
    int progressed = 0;
    for (int trial = 0; trial < 25; ++trial) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            v7soak::runWriter(file, manifest, seed);
        usleep(useconds_t(5000 + rng() % 60000));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
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
