// Listing a big folder: ListFolderFiles (six file types, default filter) against
// the floor of one plain directory read with a stat of every entry, in one run.
//   listing_bench [FOLDER_ROOT]   (default: a temporary folder; made once, reused)
#include "BenchUtil.h"
#include "browser/Listing.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
using v7bench::median;

// n files spread over the six default types plus some other files, as a camera folder has.
void makeFolder(const QString &dir, int n)
{
    QDir().mkpath(dir);
    if (QDir(dir).count() >= uint(n))
        return;
    const char *ext[] = { "jpg", "JPG", "png", "gif", "bmp", "tif", "pcd", "txt", "xmp" };
    for (int i = 0; i < n; ++i) {
        const QByteArray name = QFile::encodeName(dir) + "/IMG_" + QByteArray::number(i) + "." + ext[i % 9];
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            const char byte = 'x';
            [[maybe_unused]] ssize_t w = ::write(fd, &byte, 1);
            ::close(fd);
        }
    }
}

double plainReadAndStat(const QString &dir)
{
    QElapsedTimer t;
    t.start();
    DIR *d = ::opendir(QFile::encodeName(dir).constData());
    const int dfd = ::dirfd(d);
    long count = 0;
    while (const dirent *e = ::readdir(d)) {
        struct stat st {
        };
        if (::fstatat(dfd, e->d_name, &st, 0) == 0)
            ++count;
    }
    ::closedir(d);
    return double(t.nsecsElapsed()) / 1e6 + (count < 0 ? 1 : 0);
}

double listing(const QString &dir)
{
    std::array<QString, 20> types;
    const char *defaults[] = { "BMP", "GIF", "JPG", "PNG", "TIF", "PCD" };
    for (int i = 0; i < 6; ++i)
        types[size_t(i)] = QString::fromLatin1(defaults[i]);
    QElapsedTimer t;
    t.start();
    v7::ListingResult r = v7::ListFolderFiles(dir, QString(), types);
    std::vector<v7::FileEntry> entries = std::move(r.entries);
    v7::SortEntries(entries, 0, v7::SortOrder::Ascending);
    return double(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir tmp;
    const QString root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : tmp.path();
    std::printf("%-10s %14s %14s %8s\n", "files", "readdir+stat", "ListFolder", "ratio");
    for (int n : { 10000, 100000 }) {
        const QString dir = root + QStringLiteral("/listing-%1").arg(n);
        makeFolder(dir, n);
        std::vector<double> floor, ours;
        for (int run = 0; run < 7; ++run) {
            floor.push_back(plainReadAndStat(dir));
            ours.push_back(listing(dir));
        }
        const double f = median(floor), o = median(ours);
        std::printf("%-10d %11.1f ms %11.1f ms %7.2fx\n", n, f, o, o / f);
    }
    return 0;
}
