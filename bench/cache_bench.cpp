// The thumbnail cache against one file per thumbnail.
//
//   cache_bench [DIR]     (DIR: where to work, default a new folder in the current one;
//                          use a real disk, not tmpfs, for the fdatasync figures)
//
// Stores 10,000 thumbnails of 2 to 6 KB in one folder storage and saves its index
// (one commit), then writes the same bytes as 10,000 files with an fdatasync each;
// reads 1,000 of them back both ways; opens the folder's storage among 5,000 others
// and loads its 10,000-entry index; reports the cache file's size against the bytes.
#include "app/Settings.h"
#include "thumbs/OLEStorage.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace v7;

namespace
{

constexpr int kThumbs = 10000, kReads = 1000, kOtherFolders = 5000;

double ms(QElapsedTimer &t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

bool writeFileSynced(const QString &path, const QByteArray &b)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, b.constData(), size_t(b.size())) == b.size() && ::fdatasync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && QByteArray(argv[1]) == "--open") { // for profiling the open alone
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < 50; ++i)
            cfb::Storage::open(QString::fromLocal8Bit(argv[2]), OLEStorage::ModeReadTransacted);
        std::printf("open %.2f ms\n", ms(t) / 50);
        return 0;
    }
    QTemporaryDir tmp(argc > 1 ? QString::fromLocal8Bit(argv[1]) + "/cache_bench-XXXXXX"
                               : QDir::currentPath() + "/cache_bench-XXXXXX");
    if (!tmp.isValid()) {
        std::fprintf(stderr, "cannot make a work folder\n");
        return 1;
    }
    std::mt19937 rng(7);
    std::vector<QString> names;
    std::vector<QByteArray> thumbs;
    qint64 total = 0;
    for (int i = 0; i < kThumbs; ++i) {
        names.push_back(QString("IMG_%1.JPG").arg(i, 5, 10, QChar('0')));
        QByteArray b(int(2048 + rng() % 4097), 0);
        for (auto &c : b)
            c = char(rng());
        b[0] = char(0xFF);
        total += b.size();
        thumbs.push_back(b);
    }
    std::vector<int> picks(kReads);
    for (int &p : picks)
        p = int(rng() % kThumbs);

    // Store: the cache.
    settings().CacheThumbsDir = tmp.path();
    settings().CacheThumbs = true;
    OLEStorage::SetCurrentFolder("/photos/bench");
    QElapsedTimer t;
    t.start();
    if (!OLEStorage::OpenCacheForThumbs())
        return 2;
    OLEStorage::LoadIndex();
    for (int i = 0; i < kThumbs; ++i)
        OLEStorage::WriteThumbStream(names[i], thumbs[i].constData(), int(thumbs[i].size()));
    OLEStorage::SaveIndex();
    OLEStorage::CommitCache();
    OLEStorage::CloseCache();
    const double storeCache = ms(t);
    const QString cacheFile = tmp.path() + OLEStorage::CacheFileName;
    const qint64 cacheBytes = QFileInfo(cacheFile).size();

    // Store: separate files.
    const QString filesDir = tmp.path() + "/files";
    QDir().mkpath(filesDir);
    t.restart();
    for (int i = 0; i < kThumbs; ++i)
        writeFileSynced(filesDir + '/' + names[i], thumbs[i]);
    const double storeFiles = ms(t);
    qint64 filesDisk = 0; // what the separate files take on disk, in whole blocks
    for (int i = 0; i < kThumbs; ++i) {
        struct stat st = {};
        if (::stat(QFile::encodeName(filesDir + '/' + names[i]).constData(), &st) == 0)
            filesDisk += qint64(st.st_blocks) * 512;
    }

    // Read 1,000 back (the folder is opened before the clock starts; opening is timed below).
    int good = 0;
    const bool opened = OLEStorage::OpenCacheForDisplay();
    t.restart();
    if (opened) {
        QByteArray b;
        for (int p : picks)
            good += OLEStorage::ReadThumb(names[p], &b) && b == thumbs[p];
    }
    OLEStorage::CloseCache();
    const double readCache = ms(t);
    t.restart();
    int goodFiles = 0;
    for (int p : picks) {
        QFile f(filesDir + '/' + names[p]);
        goodFiles += f.open(QIODevice::ReadOnly) && f.readAll() == thumbs[p];
    }
    const double readFiles = ms(t);

    // Open the folder among 5,000 others and load its index.
    {
        cfb::Storage root = cfb::Storage::open(cacheFile, OLEStorage::ModeWriteDirect);
        for (int i = 0; i < kOtherFolders; ++i) {
            cfb::Storage f = root.createStorage(NameCrc(QString("/other/%1").arg(i)), OLEStorage::ModeWriteDirect);
            f.createStream("Index", OLEStorage::ModeWriteDirect).write(QByteArray(30, 'x'));
        }
    }
    double best = 1e9, sum = 0;
    int entries = 0;
    const int rounds = 20;
    for (int r = 0; r < rounds; ++r) {
        t.restart();
        OLEStorage::OpenCacheForDisplay();
        entries = OLEStorage::CurrentIndex().size();
        const double e = ms(t);
        OLEStorage::CloseCache();
        best = std::min(best, e);
        sum += e;
    }

    std::printf("thumbnails                 %d, %.1f MB\n", kThumbs, double(total) / 1e6);
    std::printf("store, cache (1 commit)    %8.1f ms\n", storeCache);
    std::printf("store, files (fdatasync)   %8.1f ms\n", storeFiles);
    std::printf("read %d, cache           %8.1f ms  (%d correct)\n", kReads, readCache, good);
    std::printf("read %d, files           %8.1f ms  (%d correct)\n", kReads, readFiles, goodFiles);
    std::printf("open among %d + index    %8.2f ms best, %.2f ms mean (%d entries)\n",
        kOtherFolders,
        best,
        sum / rounds,
        entries);
    {
        cfb::Storage root = cfb::Storage::open(cacheFile, OLEStorage::ModeReadTransacted);
        cfb::FileStats fs;
        root.fileStats(&fs);
        std::printf("cache file sectors         %u: %u free, %u FAT, %u DIFAT, %u directory, %u MiniFAT; "
                    "mini stream %.1f MB\n",
            fs.sectors,
            fs.freeSectors,
            fs.fatSectors,
            fs.difatSectors,
            fs.directorySectors,
            fs.miniFatSectors,
            fs.miniStreamBytes / 1e6);
        QElapsedTimer p;
        p.start();
        for (int i = 0; i < 20; ++i)
            cfb::Storage::open(cacheFile, OLEStorage::ModeReadTransacted);
        std::printf("root open alone            %8.2f ms\n", ms(p) / 20);
    }
    std::printf("cache file size            %8.1f MB, %.1f%% over the thumbnail bytes\n",
        double(cacheBytes) / 1e6,
        100.0 * double(cacheBytes - total) / double(total));
    std::printf("separate files on disk     %8.1f MB, %.1f%% over the thumbnail bytes\n",
        double(filesDisk) / 1e6,
        100.0 * double(filesDisk - total) / double(total));
    return good == kReads && goodFiles == kReads && entries == kThumbs ? 0 : 3;
}
