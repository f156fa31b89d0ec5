// The job-level kill soak's helper (driven by cache_job_kill_soak.sh).
//   cache_job_soak make DIR COUNT    COUNT pictures in DIR/pictures, each in two colours
//                                    under DIR/variants (NAME.a.jpg, NAME.b.jpg)
//   cache_job_soak check DIR         the cache in DIR/cache against DIR/pictures; with
//                                    --complete every picture must be cached and current
// check prints "ok CACHED STALE" and exits 0, or prints "DAMAGED: ..." and exits 1:
// an indexed thumbnail that does not read or decode, one without a stamp, or one whose
// stamp is its file's but whose colour is not the file's colour (a picture of another
// version of the file).
#include "app/Settings.h"
#include "imaging/Codecs.h"
#include "imaging/ImageLoad.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/Stamps.h"
#include "thumbs/ThumbMain.h"

#include <QDir>
#include <QImage>
#include <cstdio>
#include <cstdlib>

using namespace v7;

namespace
{

QImage picture(int w, int h, QColor c, int seed)
{
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int d = ((x * 7 + y * 3 + seed * 11) % 32) - 16; // texture, so JPEGs take some work
            img.setPixelColor(x,
                y,
                QColor(std::clamp(c.red() + d, 0, 255),
                    std::clamp(c.green() + d, 0, 255),
                    std::clamp(c.blue() + d, 0, 255)));
        }
    return img;
}

QColor meanColor(const QImage &img)
{
    if (img.isNull())
        return {};
    const QImage small =
        img.convertToFormat(QImage::Format_RGB888).scaled(8, 8, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    long r = 0, g = 0, b = 0;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const QColor c = small.pixelColor(x, y);
            r += c.red();
            g += c.green();
            b += c.blue();
        }
    return QColor(int(r / 64), int(g / 64), int(b / 64));
}

bool near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) < 40 && std::abs(a.green() - b.green()) < 40
        && std::abs(a.blue() - b.blue()) < 40;
}

int make(const QString &dir, int count)
{
    QDir().mkpath(dir + "/pictures");
    QDir().mkpath(dir + "/variants");
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("p%1.jpg").arg(i, 3, 10, QLatin1Char('0'));
        if (!wrjpgfiledib(dir + "/variants/" + name + ".a.jpg", 90, picture(640, 480, QColor(200, 40, 40), i))
            || !wrjpgfiledib(dir + "/variants/" + name + ".b.jpg", 90, picture(640, 480, QColor(40, 40, 200), i))
            || !QFile::copy(dir + "/variants/" + name + ".a.jpg", dir + "/pictures/" + name))
            return 1;
    }
    return 0;
}

int check(const QString &dir, bool complete)
{
    settings().CacheThumbsDir = dir + "/cache";
    const QString folder = QDir::cleanPath(QFileInfo(dir + "/pictures").absoluteFilePath());
    OLEStorage::SetCurrentFolder(folder);
    const QStringList files = QDir(folder).entryList({ "*.jpg" }, QDir::Files, QDir::Name);
    int cached = 0, stale = 0;
    QString problem;
    if (OLEStorage::OpenCacheForDisplay()) {
        const StampMap stamps = loadStamps(OLEStorage::FolderStorage());
        QStringList names;
        OLEStorage::CurrentIndex().forEach([&](const IndexEntry &e) { names.push_back(e.Name); });
        for (const QString &name : names) {
            QByteArray bytes;
            if (!OLEStorage::ReadThumb(name, &bytes)) {
                problem = name + ": listed, but its stream does not read";
                break;
            }
            const QImage thumb = DecodeThumbStream(bytes.constData(), std::size_t(bytes.size()));
            if (thumb.isNull()) {
                problem = name + ": does not decode";
                break;
            }
            const auto stamp = stamps.constFind(nameCrcValue(name));
            if (stamp == stamps.constEnd()) {
                problem = name + ": no stamp";
                break;
            }
            FileStamp now;
            if (!fileStamp(joinPath(folder, name), &now) || !(now == *stamp)) {
                ++stale; // made from an earlier version: the next job makes it again
                continue;
            }
            const QColor want = meanColor(LoadImageDib(joinPath(folder, name), 24, false));
            if (!near(meanColor(thumb), want)) {
                problem = name + ": the stamp is the file's but the picture is another version's";
                break;
            }
            ++cached;
        }
    } else if (QFileInfo::exists(OLEStorage::cacheFilePath(OLEStorage::CacheFileName))) {
        // No folder storage yet is fine; a file that does not open is not.
        cfb::Status st;
        if (!cfb::Storage::open(
                OLEStorage::cacheFilePath(OLEStorage::CacheFileName), OLEStorage::ModeReadTransacted, &st)
                 .isOpen())
            problem = QStringLiteral("the cache file does not open: ") + cfb::statusText(st);
    }
    OLEStorage::CloseCache();
    if (problem.isEmpty() && complete && (cached != files.size() || stale != 0))
        problem = QStringLiteral("after a whole prefill %1 of %2 pictures are cached and current, %3 stale")
                      .arg(cached)
                      .arg(files.size())
                      .arg(stale);
    if (!problem.isEmpty()) {
        std::printf("DAMAGED: %s\n", qPrintable(problem));
        return 1;
    }
    std::printf("ok %d %d\n", cached, stale);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 4 && QByteArray(argv[1]) == "make")
        return make(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));
    if (argc >= 3 && QByteArray(argv[1]) == "check")
        return check(QString::fromLocal8Bit(argv[2]), argc >= 4 && QByteArray(argv[3]) == "--complete");
    std::fprintf(stderr, "usage: cache_job_soak make DIR COUNT | check DIR [--complete]\n");
    return 64;
}
