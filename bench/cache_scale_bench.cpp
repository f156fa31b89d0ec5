// What one folder costs in a cache that holds many others: opening a cached
// folder and reading its thumbnails, and committing one new thumbnail, with an
// otherwise empty cache and with 10,000, 100,000 and 1,000,000 thumbnails cached
// in other folders (100 per folder). Prints each time and its ratio to the empty
// cache's.
//
//   cache_scale_bench [--max N] [--dir DIR]
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
double readTarget(int thumbs)
{
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
    double read = 0, commit = 0;
};

Figures measure()
{
    std::vector<double> reads, commits;
    for (int r = 0; r < 15; ++r)
        reads.push_back(readTarget(kPerFolder));
    for (int r = 0; r < 5; ++r)
        commits.push_back(commitOne(r));
    return { v7bench::median(reads), v7bench::median(commits) };
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int max = 1000000;
    QString dirArg;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        if (a == "--max")
            max = QString::fromLocal8Bit(argv[i + 1]).toInt();
        else if (a == "--dir")
            dirArg = QString::fromLocal8Bit(argv[i + 1]);
    }
    QTemporaryDir tmp;
    const QString dir = dirArg.isEmpty() ? tmp.path() : dirArg;
    QDir().mkpath(dir);
    settings().CacheThumbsDir = dir;
    settings().CacheThumbs = true;
    const QString path = OLEStorage::cacheFilePath(OLEStorage::CacheFileName);
    QFile::remove(path);

    // The target folder: kPerFolder cached thumbnails.
    std::vector<OLEStorage::PendingThumb> target;
    for (int i = 0; i < kPerFolder; ++i)
        target.push_back({ QStringLiteral("t%1.jpg").arg(i), fakeThumb(i), false, {} });
    if (!OLEStorage::CommitThumbs(kTarget, target)) {
        std::fprintf(stderr, "cannot make the cache in %s\n", qPrintable(dir));
        return 1;
    }
    std::printf("thumbnails elsewhere   open+read 100 (ms)  ratio   commit 1 (ms)  ratio   file (MB)\n");
    const Figures empty = measure();
    auto row = [&](int n, const Figures &f) {
        std::printf("%20d   %18.2f  %5.2f   %13.2f  %5.2f   %9.1f\n",
            n,
            f.read,
            f.read / empty.read,
            f.commit,
            f.commit / empty.commit,
            double(QFileInfo(path).size()) / 1048576.0);
        std::fflush(stdout);
    };
    row(0, empty);
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
        std::fprintf(stderr, "(built %d in %.1f s)\n", n, double(build.elapsed()) / 1000.0);
        row(n, measure());
    }
    return 0;
}
