// The kill soak's writer and checker (driven by cache_kill_soak.sh).
//   cache_soak write FILE MANIFEST SEED   commits version after version until killed
//   cache_soak check FILE MANIFEST SEED   exit 0 when FILE holds exactly a committed version
#include "CfbSoak.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 5)
        return 64;
    const QString cmd = argv[1], file = QString::fromLocal8Bit(argv[2]), manifest = QString::fromLocal8Bit(argv[3]);
    const std::uint32_t seed = QByteArray(argv[4]).toUInt();
    if (cmd == "write")
        v7soak::runWriter(file, manifest, seed);
    if (cmd != "check")
        return 64;
    std::uint32_t v = 0;
    const QString problem = v7soak::check(file, manifest, seed, &v);
    if (!problem.isEmpty()) {
        std::printf("DAMAGED: %s\n", qPrintable(problem));
        return 1;
    }
    std::printf("ok %u\n", v);
    return 0;
}
