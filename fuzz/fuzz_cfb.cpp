// libFuzzer target for the compound-file reader, and for the writer on what the
// reader accepted: after our own commit, the strict audit must find nothing.
#include "platform/Cfb.h"

#include <QString>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

using namespace v7::cfb;

void readAll(Storage &st, int depth)
{
    std::vector<ElementStat> kids;
    if (depth > 64 || st.elements(&kids) != Status::Ok)
        return;
    for (const auto &k : kids) {
        if (k.type == ElementType::Storage) {
            Storage sub = st.openStorage(k.name, mode::Read | mode::ShareExclusive);
            if (sub.isOpen())
                readAll(sub, depth + 1);
            continue;
        }
        Stream s = st.openStream(k.name, mode::Read | mode::ShareExclusive);
        char buf[4096];
        std::uint64_t got = 1;
        while (s.isOpen() && got > 0 && s.read(buf, sizeof buf, &got) == Status::Ok) { }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const int fd = memfd_create("fuzz_cfb", 0);
    if (fd < 0 || write(fd, data, size) != ssize_t(size)) {
        if (fd >= 0)
            close(fd);
        return 0;
    }
    const QString path = QString("/proc/self/fd/%1").arg(fd);
    {
        Storage root = Storage::open(path, mode::Read | mode::Transacted | mode::NoSnapshot);
        if (root.isOpen())
            readAll(root, 0);
        QStringList problems;
        Storage::check(path, &problems);
    }
    {
        Storage root = Storage::open(path, mode::ReadWrite | mode::ShareExclusive);
        if (root.isOpen()) {
            Stream s = root.createStream("fz", mode::ReadWrite | mode::Create);
            s.write("fuzz", 4);
            const Status committed = root.commit();
            root.release();
            s.release();
            QStringList problems;
            if (committed == Status::Ok && Storage::check(path, &problems) != Status::Ok) {
                std::fprintf(stderr, "after our commit: %s\n", qPrintable(problems.join("; ")));
                std::abort();
            }
        }
    }
    close(fd);
    return 0;
}
