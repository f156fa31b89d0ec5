// Warm thumbnails: a folder whose thumbnails are all in the cache file.
//   engine_warm CACHE_DIR FOLDER [ROUNDS]
// Prints, per second: thumbnails read from the cache file and decoded (the
// display's side), thumbnails handed over by a whole job (which also checks
// every file's stamp), and the same bytes decoded from memory alone (the
// decoder's own rate, the floor of the first figure). Medians over the rounds.
#include "BenchUtil.h"
#include "app/Settings.h"
#include "thumbs/BitmapStore.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/ThumbMain.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>

using namespace v7;

namespace
{
using v7bench::median;
struct CountingLink : ThumbJobLink {
    int count = 0, withBytes = 0;
    StoreValues storeValues() override { return { 1, 0, 0, 0 }; }
    PaneValues paneValues() override { return {}; }
    bool deliver(const ThumbDelivery &d) override
    {
        ++count;
        withBytes += d.bytes.isEmpty() ? 0 : 1;
        return true;
    }
    bool cancelRequested() override { return false; }
    void progress(int, int) override { }
    void jobFinished() override { }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: engine_warm CACHE_DIR FOLDER [ROUNDS]\n");
        return 64;
    }
    settings().CacheThumbsDir = QString::fromLocal8Bit(argv[1]);
    const QString folder = QDir::cleanPath(QDir(QString::fromLocal8Bit(argv[2])).absolutePath());
    const int rounds = argc > 3 ? std::max(1, atoi(argv[3])) : 5;

    std::vector<double> readDecode, job, decodeOnly;
    std::vector<QByteArray> held;
    int n = 0;
    ThumbDecoder decoder;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer t;
        t.start();
        OLEStorage::SetCurrentFolder(folder);
        if (!OLEStorage::OpenCacheForDisplay()) {
            std::fprintf(stderr, "engine_warm: no cached thumbnails for %s\n", qPrintable(folder));
            return 1;
        }
        QStringList names;
        OLEStorage::CurrentIndex().forEach([&](const IndexEntry &e) { names.push_back(e.Name); });
        QByteArray bytes;
        int decoded = 0;
        for (const QString &name : names)
            if (OLEStorage::ReadThumb(name, &bytes)
                && !decoder.decode(bytes.constData(), std::size_t(bytes.size())).isNull())
                ++decoded;
        readDecode.push_back(decoded / (double(t.nsecsElapsed()) / 1e9));
        n = decoded;
        if (held.empty())
            for (const QString &name : names)
                if (OLEStorage::ReadThumb(name, &bytes))
                    held.push_back(bytes);
        OLEStorage::ClearIndex();
        OLEStorage::CloseCache();

        t.restart();
        int fromMemory = 0;
        for (const QByteArray &b : held)
            fromMemory += decoder.decode(b.constData(), std::size_t(b.size())).isNull() ? 0 : 1;
        decodeOnly.push_back(fromMemory / (double(t.nsecsElapsed()) / 1e9));

        CountingLink link;
        ThumbMain m(&link);
        m.setJob(folder, names);
        t.restart();
        m.RunThumbJob();
        job.push_back(link.withBytes / (double(t.nsecsElapsed()) / 1e9));
    }
    std::printf("warm_read_decode %d %.0f\n", n, median(readDecode));
    std::printf("warm_job %d %.0f\n", n, median(job));
    std::printf("warm_decode_only %d %.0f\n", int(held.size()), median(decodeOnly));
    return 0;
}
