// Test helper: writes COUNT values named PREFIX0.. into one key of the hive FILE,
// one locked read-modify-write each, as a second process would.
#include "platform/Hive.h"

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: hive_writer FILE PREFIX COUNT\n");
        return 2;
    }
    v7::Hive hive(args[1]);
    const int count = args[3].toInt();
    for (int i = 0; i < count; ++i) {
        if (!hive.write(QStringLiteral("Software\\Vorlane7\\Stress"),
                args[2] + QString::number(i),
                v7::RegValue::fromDword(std::uint32_t(i)))) {
            std::fprintf(stderr, "write %d failed\n", i);
            return 1;
        }
    }
    return 0;
}
