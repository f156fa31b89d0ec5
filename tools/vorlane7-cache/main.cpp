// vorlane7-cache: command-line access to cache files and other compound files.
//
//   vorlane7-cache dump FILE
//       one line per element, depth first in the file's order:
//       "storage<TAB>/path" or "stream<TAB>/path<TAB>size<TAB>sha256".
//       Exits with 2 and a message on standard error when the file is damaged.
#include "CacheCommands.h"
#include "platform/Cfb.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QString>
#include <QTextStream>
#include <cstdio>

namespace
{

using namespace v7::cfb;

constexpr std::uint32_t kRead = mode::Read | mode::Transacted | mode::NoSnapshot;

// Returns Ok, or the status of the first element that cannot be read (*where names it).
Status dumpStorage(Storage &st, const QString &prefix, QTextStream &out, QString *where)
{
    std::vector<ElementStat> kids;
    if (Status s = st.elements(&kids); s != Status::Ok) {
        *where = prefix.isEmpty() ? "/" : prefix;
        return s;
    }
    for (const auto &k : kids) {
        const QString path = prefix + '/' + k.name;
        Status s;
        if (k.type == ElementType::Storage) {
            out << "storage\t" << path << '\n';
            Storage sub = st.openStorage(k.name, mode::Read | mode::ShareExclusive, &s);
            if (s == Status::Ok)
                s = dumpStorage(sub, path, out, where);
            if (s != Status::Ok) {
                if (where->isEmpty())
                    *where = path;
                return s;
            }
            continue;
        }
        Stream stream = st.openStream(k.name, mode::Read | mode::ShareExclusive, &s);
        QCryptographicHash sha(QCryptographicHash::Sha256);
        std::uint64_t total = 0;
        char buf[65536];
        while (s == Status::Ok) {
            std::uint64_t got = 0;
            s = stream.read(buf, sizeof buf, &got);
            if (got == 0)
                break;
            sha.addData(QByteArrayView(buf, qsizetype(got)));
            total += got;
        }
        if (s != Status::Ok || total != k.size) {
            *where = path;
            return s == Status::Ok ? Status::Corrupt : s;
        }
        out << "stream\t" << path << '\t' << k.size << '\t' << sha.result().toHex() << '\n';
    }
    return Status::Ok;
}

int dump(const QString &file)
{
    Status s;
    Storage root = Storage::open(file, kRead, &s);
    if (!root.isOpen()) {
        std::fprintf(stderr, "vorlane7-cache: %s: %s\n", qPrintable(file), statusText(s));
        return 2;
    }
    QString text, where;
    QTextStream out(&text);
    s = dumpStorage(root, QString(), out, &where);
    out.flush();
    if (s != Status::Ok) {
        std::fprintf(stderr, "vorlane7-cache: %s: %s at %s\n", qPrintable(file), statusText(s), qPrintable(where));
        return 2;
    }
    std::fputs(text.toUtf8().constData(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int usage()
{
    std::fputs("usage: vorlane7-cache dump FILE\n", stderr);
    return 64;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    const QString command = QString::fromLocal8Bit(argv[1]);
    if (command == "dump" && argc == 3)
        return dump(QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    int code = 0;
    if (v7::cachetool::runEngineCommand(command, app.arguments().mid(2), &code))
        return code;
    std::fputs(v7::cachetool::engineUsage(), stderr);
    return 64;
}
