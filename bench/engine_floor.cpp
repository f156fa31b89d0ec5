// The floor that the codec library sets for cold thumbnails: read each JPEG file,
// decode at 1/8 scale, shrink to the box and encode at quality 75, on N threads
// taking one file at a time, with nothing else (no cache, no store).
//   engine_floor THREADS FILE...
// Prints "floor THREADS FILES IMAGES_PER_SECOND".
#include "app/Settings.h"
#include "imaging/Codecs.h"
#include "thumbs/ThumbMain.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

using namespace v7;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: engine_floor THREADS FILE...\n");
        return 64;
    }
    const int threads = std::max(1, atoi(argv[1]));
    std::vector<QString> files;
    for (int i = 2; i < argc; ++i)
        files.push_back(QString::fromLocal8Bit(argv[i]));
    std::atomic<std::size_t> next { 0 };
    std::atomic<int> made { 0 };
    QElapsedTimer t;
    t.start();
    std::vector<std::thread> pool;
    for (int k = 0; k < threads; ++k)
        pool.emplace_back([&] {
            for (std::size_t i; (i = next++) < files.size();) {
                QFile f(files[i]);
                if (!f.open(QIODevice::ReadOnly))
                    continue;
                const QByteArray bytes = f.readAll();
                const QImage image = rdjpgstreamdib(bytes.constData(), std::size_t(bytes.size()), 24, 8);
                const QSize s = thumbScaleSize(image.width(), image.height(), 96, 72);
                QByteArray out;
                if (!image.isNull() && wrjpgstreamdib(ScaleDib(image, s.width(), s.height()), 75, out))
                    ++made;
            }
        });
    for (auto &th : pool)
        th.join();
    std::printf("floor %d %d %.2f\n", threads, made.load(), made.load() / (double(t.nsecsElapsed()) / 1e9));
    return 0;
}
