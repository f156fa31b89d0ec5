// What one folder costs in a cache that holds many others: opening a cached
// folder and reading its thumbnails, and committing one new thumbnail, with an
// otherwise empty cache and with 10,000, 100,000 and 1,000,000 thumbnails cached
// in other folders (100 per folder). Prints each time and its ratio to the empty
// cache's. Opens are timed twice: as in a running program, which keeps the
// sectors it has checked, and as the first open in a new process, which reads
// and checks every sector it needs.
//
//   cache_scale_bench [--max N] [--dir DIR] [--reads R] [--commits C]
//
// The small cache (the target folder alone) and the big one are measured in
// turn, one open of each per round, so a burst of load from elsewhere on the
// machine lands on both sides of a ratio alike.
//
// The big caches are written straight through the compound-file library, with
// 64-byte stand-in thumbnails, so building a million takes seconds, not hours.
#include "BenchUtil.h"
#include "app/Settings.h"
#include "platform/Cfb.h"
#include "thumbs/OLEStorage.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>

using namespace v7;

namespace
{

constexpr int kPerFolder = 100;
const QString kTarget = QStringLiteral("/bench/target");

QByteArray fakeThumb(int seed)
{
    QByteArray b(64, char(seed));
    b[0] = char(0xFF); // read as a JPEG by its first byte
    return b;
}

// Adds folders (kPerFolder thumbnails each, with their index) until the cache
// holds `total` thumbnails outside the target folder.
bool growTo(const QString &path, int *have, int total)
{
    cfb::Storage root = cfb::Storage::open(path, OLEStorage::ModeWriteDirect);
    if (!root.isOpen())
        return false;
    for (int f = *have / kPerFolder; f < total / kPerFolder; ++f) {
        const QString folder = QStringLiteral("/bench/other/%1").arg(f);
        cfb::Storage st = root.createStorage(NameCrc(folder), OLEStorage::ModeWriteDirect);
        ThumbIndex index;
        for (int i = 0; i < kPerFolder; ++i) {
            const QString name = QStringLiteral("img%1.jpg").arg(i);
            const QByteArray bytes = fakeThumb(i);
            st.createStream(NameCrc(name), OLEStorage::ModeNewStream).write(bytes);
            index.add({ nameCrcValue(name), std::int32_t(bytes.size()), name });
        }
        st.createStream(OLEStorage::IndexStreamName, OLEStorage::ModeWriteDirect).write(serializeIndex(index));
    }
    *have = total / kPerFolder * kPerFolder;
    return root.commit() == cfb::Status::Ok;
}

// The display's way into a cached folder: open, index, every thumbnail.
double readTarget(int thumbs, bool cold)
{
    if (cold) // as the first open in a new process: no sector known checked
        cfb::forgetCheckedSectors();
    QElapsedTimer t;
    t.start();
    OLEStorage::SetCurrentFolder(kTarget);
    int read = 0;
    if (OLEStorage::OpenCacheForDisplay())
        for (int i = 0; i < thumbs; ++i) {
            QByteArray b;
            read += OLEStorage::ReadThumb(QStringLiteral("t%1.jpg").arg(i), &b) && !b.isEmpty();
        }
    OLEStorage::ClearIndex();
    OLEStorage::CloseCache();
    const double ms = double(t.nsecsElapsed()) / 1e6;
    if (read != thumbs)
        std::fprintf(stderr, "read %d of %d thumbnails\n", read, thumbs);
    return ms;
}

double commitOne(int seed)
{
    QElapsedTimer t;
    t.start();
    OLEStorage::PendingThumb p;
    p.name = QStringLiteral("new%1.jpg").arg(seed);
    p.bytes = fakeThumb(seed);
    if (!OLEStorage::CommitThumbs(kTarget, { p }))
        std::fprintf(stderr, "commit failed\n");
    return double(t.nsecsElapsed()) / 1e6;
}

struct Figures {
    double read = 0, cold = 0, commit = 0;
};

// The cache file in dir, made the current one.
void useCache(const QString &dir)
{
    settings().CacheThumbsDir = dir;
}

// Medians of reads and commits in the small and the big cache, taken in turn.
std::pair<Figures, Figures> measure(const QString &small, const QString &big, int reads, int commits)
{
    std::vector<double> r[2], cold[2], c[2];
    const QString dirs[2] = { small, big };
    for (int i = 0; i < reads; ++i)
        for (int k = 0; k < 2; ++k) {
            useCache(dirs[k]);
            cold[k].push_back(readTarget(kPerFolder, true));
            r[k].push_back(readTarget(kPerFolder, false));
        }
    static int seed = 0;
    for (int i = 0; i < commits; ++i, ++seed)
        for (int k = 0; k < 2; ++k) {
            useCache(dirs[k]);
            c[k].push_back(commitOne(seed));
        }
    return { { v7bench::median(r[0]), v7bench::median(cold[0]), v7bench::median(c[0]) },
        { v7bench::median(r[1]), v7bench::median(cold[1]), v7bench::median(c[1]) } };
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int max = 1000000, reads = 101, commits = 5;
    QString dirArg;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        if (a == "--max")
            max = QString::fromLocal8Bit(argv[i + 1]).toInt();
        else if (a == "--dir")
            dirArg = QString::fromLocal8Bit(argv[i + 1]);
        else if (a == "--reads")
            reads = std::max(1, QString::fromLocal8Bit(argv[i + 1]).toInt());
        else if (a == "--commits")
            commits = std::max(1, QString::fromLocal8Bit(argv[i + 1]).toInt());
    }
    QTemporaryDir tmp;
    const QString dir = dirArg.isEmpty() ? tmp.path() : dirArg;
    const QString small = dir + QStringLiteral("/small"), big = dir + QStringLiteral("/big");
    settings().CacheThumbs = true;

    // The target folder, kPerFolder cached thumbnails, in both caches.
    std::vector<OLEStorage::PendingThumb> target;
    for (int i = 0; i < kPerFolder; ++i)
        target.push_back({ QStringLiteral("t%1.jpg").arg(i), fakeThumb(i), false, {} });
    for (const QString &d : { small, big }) {
        QDir().mkpath(d);
        useCache(d);
        QFile::remove(OLEStorage::cacheFilePath(OLEStorage::CacheFileName));
        if (!OLEStorage::CommitThumbs(kTarget, target)) {
            std::fprintf(stderr, "cannot make the cache in %s\n", qPrintable(d));
            return 1;
        }
    }
    useCache(big);
    const QString path = OLEStorage::cacheFilePath(OLEStorage::CacheFileName);
    std::printf("thumbnails     open+read 100 (ms)  empty  ratio   first open (ms)  empty  ratio   commit 1 (ms)  "
                "empty  ratio   file (MB)\n");
    auto row = [&](int n, const std::pair<Figures, Figures> &f) {
        std::printf("%10d   %18.3f  %5.3f  %5.2f   %15.3f  %5.3f  %5.2f   %13.2f  %5.2f  %5.2f   %9.1f\n",
            n,
            f.second.read,
            f.first.read,
            f.second.read / f.first.read,
            f.second.cold,
            f.first.cold,
            f.second.cold / f.first.cold,
            f.second.commit,
            f.first.commit,
            f.second.commit / f.first.commit,
            double(QFileInfo(path).size()) / 1048576.0);
        std::fflush(stdout);
    };
    row(0, measure(small, big, reads, commits));
    int have = 0;
    for (int n : { 10000, 100000, 1000000 }) {
        if (n > max)
            break;
        QElapsedTimer build;
        build.start();
        if (!growTo(path, &have, n)) {
            std::fprintf(stderr, "cannot grow the cache to %d thumbnails\n", n);
            return 1;
        }
        // The folder measured is put in again after the others, so it sits as deep
        // in the root's tree as most folders do, not near the top, where the
        // first folder added stays as later ones are put in around it.
        {
            cfb::Storage root = cfb::Storage::open(path, OLEStorage::ModeWriteDirect);
            if (!root.isOpen() || root.destroyElement(OLEStorage::FolderStorageName(kTarget)) != cfb::Status::Ok
                || root.commit() != cfb::Status::Ok) {
                std::fprintf(stderr, "cannot take the target folder out\n");
                return 1;
            }
        }
        if (!OLEStorage::CommitThumbs(kTarget, target)) {
            std::fprintf(stderr, "cannot put the target folder back\n");
            return 1;
        }
        std::fprintf(stderr, "(built %d in %.1f s)\n", n, double(build.elapsed()) / 1000.0);
        row(n, measure(small, big, reads, commits));
    }
    return 0;
}
