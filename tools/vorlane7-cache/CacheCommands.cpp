#include "CacheCommands.h"

#include "app/Settings.h"
#include "browser/Listing.h"
#include "imaging/ImageLoad.h"
#include "platform/Hive.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/Stamps.h"
#include "thumbs/ThumbMain.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <cstdio>
#include <unistd.h>

namespace v7::cachetool
{

namespace
{

    constexpr int ExitOk = 0, ExitFailed = 1, ExitDamaged = 2, ExitUsage = 64;

    const char *const kUsage = "usage: vorlane7-cache COMMAND [OPTIONS] [ARGUMENTS]\n"
                               "\n"
                               "commands:\n"
                               "  dump FILE              every storage and stream of a compound file\n"
                               "  ls                     folder storages: folder path where known, thumbnails, bytes\n"
                               "  prefill FOLDER         make the folder's thumbnails as a display would\n"
                               "  export FOLDER DEST     write the folder's cached thumbnails as files into DEST\n"
                               "  check                  every index entry has its stream, every stream decodes\n"
                               "\n"
                               "options (default: the settings of the user's hive):\n"
                               "  --cache-dir DIR        the folder of the cache file (CacheThumbsDir)\n"
                               "  --thumb-w N, --thumb-h N   thumbnail box (ThumbW, ThumbH)\n"
                               "  --threads N            decode threads of prefill (default: one per core)\n"
                               "  --embedded-thumbs on|off   prefill: EXIF previews may stand in for decoding\n"
                               "                         a JPEG (UseEmbeddedThumbs)\n"
                               "  --known DIR            ls: look for cached folders under DIR (repeatable)\n"
                               "  --quiet                no progress bar\n"
                               "  --help                 this text\n"
                               "\n"
                               "exit codes: 0 done, 1 failed, 2 damaged cache file, 64 bad arguments\n";

    struct Options {
        QStringList positional;
        QStringList known;
        int threads = -1;
        bool quiet = false;
        bool help = false;
    };

    int fail(const QString &text, int code)
    {
        std::fprintf(stderr, "vorlane7-cache: %s\n", qPrintable(text));
        return code;
    }

    bool parseInt(const QString &text, int lo, int hi, int *out)
    {
        bool ok = false;
        const int v = text.toInt(&ok);
        if (!ok || v < lo || v > hi)
            return false;
        *out = v;
        return true;
    }

    // Fills settings() from the hive, then applies the options. Returns a message on error.
    QString parseOptions(const QStringList &args, Options *o)
    {
        LoadSettings();
        Settings &cfg = settings();
        for (int i = 0; i < args.size(); ++i) {
            const QString &a = args[i];
            auto value = [&](QString *out) {
                if (i + 1 >= args.size())
                    return false;
                *out = args[++i];
                return true;
            };
            QString v;
            if (a == "--help" || a == "-h") {
                o->help = true;
            } else if (a == "--quiet") {
                o->quiet = true;
            } else if (a == "--cache-dir") {
                if (!value(&v) || v.isEmpty())
                    return "--cache-dir needs a folder";
                cfg.CacheThumbsDir = QDir::cleanPath(QFileInfo(v).absoluteFilePath());
            } else if (a == "--thumb-w" || a == "--thumb-h") {
                int n = 0;
                if (!value(&v) || !parseInt(v, 8, 1024, &n))
                    return a + " needs a number from 8 to 1024";
                (a == "--thumb-w" ? cfg.ThumbW : cfg.ThumbH) = n;
            } else if (a == "--threads") {
                if (!value(&v) || !parseInt(v, 1, 256, &o->threads))
                    return "--threads needs a number from 1 to 256";
            } else if (a == "--embedded-thumbs") {
                if (!value(&v) || (v != "on" && v != "off"))
                    return "--embedded-thumbs needs on or off";
                cfg.UseEmbeddedThumbs = v == "on";
            } else if (a == "--known") {
                if (!value(&v))
                    return "--known needs a folder";
                o->known.push_back(v);
            } else if (a.startsWith("--")) {
                return "unknown option " + a;
            } else {
                o->positional.push_back(a);
            }
        }
        return {};
    }

    // The folder's path as the browser keeps it: absolute, clean, no trailing "/".
    QString folderPath(const QString &arg)
    {
        return QDir::cleanPath(QFileInfo(arg).absoluteFilePath());
    }

    QString cacheFile()
    {
        return OLEStorage::cacheFilePath(OLEStorage::CacheFileName);
    }

    // Image files of a folder as the file list shows them (enabled types, by name).
    QStringList folderImages(const QString &folder)
    {
        ListingResult r = ListFolderFiles(folder, QString(), settings().FileTypes);
        SortEntries(r.entries, 0, SortOrder::Ascending);
        QStringList names;
        for (const FileEntry &e : r.entries)
            names.push_back(e.name);
        return names;
    }

    // A progress bar on a terminal; nothing elsewhere.
    class ConsoleLink : public ThumbJobLink
    {
    public:
        ConsoleLink(int total, bool show)
            : m_total(total)
            , m_show(show && ::isatty(STDERR_FILENO))
        {
            m_clock.start();
        }
        StoreValues storeValues() override { return { 1, m_total, 0, 0 }; }
        PaneValues paneValues() override { return {}; }
        bool deliver(const ThumbDelivery &d) override
        {
            ++m_done;
            if (d.bytes.isEmpty())
                ++m_failed;
            if (m_show && (m_done == m_total || m_clock.elapsed() - m_lastDraw >= 100)) {
                m_lastDraw = m_clock.elapsed();
                const int width = 40, filled = m_total ? width * m_done / m_total : width;
                std::fprintf(stderr,
                    "\r[%s%s] %d/%d",
                    QByteArray(filled, '#').constData(),
                    QByteArray(width - filled, '.').constData(),
                    m_done,
                    m_total);
                if (m_done == m_total)
                    std::fputc('\n', stderr);
                std::fflush(stderr);
            }
            return true;
        }
        bool cancelRequested() override { return false; }
        void progress(int, int) override { }
        void jobFinished() override { }
        int done() const { return m_done; }
        int failed() const { return m_failed; }

    private:
        int m_total;
        bool m_show;
        int m_done = 0, m_failed = 0;
        QElapsedTimer m_clock;
        qint64 m_lastDraw = -1000;
    };

    int prefill(const Options &o)
    {
        if (o.positional.size() != 1)
            return fail("prefill needs one FOLDER", ExitUsage);
        const QString folder = folderPath(o.positional[0]);
        if (!QFileInfo(folder).isDir())
            return fail(folder + ": not a folder", ExitFailed);
        if (!QDir().mkpath(settings().CacheThumbsDir))
            return fail(settings().CacheThumbsDir + ": cannot create the cache folder", ExitFailed);
        const QStringList files = folderImages(folder);
        // Filling the cache is what was asked: a hive with caching off would make the
        // job bypass it. The hive itself is left as it is.
        settings().CacheThumbs = true;
        QElapsedTimer clock;
        clock.start();
        ConsoleLink link(int(files.size()), !o.quiet);
        ThumbMain job(&link);
        job.setPoolSize(o.threads > 0 ? o.threads : ThumbMain::idealPoolSize());
        job.setJob(folder, files);
        job.RunThumbJob();
        if (link.done() != files.size())
            return fail(cacheFile() + ": cannot open or create the cache file", ExitFailed);
        const double seconds = double(clock.elapsed()) / 1000.0;
        std::printf(
            "%s: %d thumbnails (%d without) in %.3f s\n", qPrintable(folder), link.done(), link.failed(), seconds);
        return ExitOk;
    }

    struct FolderInfo {
        QString name;
        int count = 0;
        qint64 bytes = 0;
    };

    // Folder paths whose storage names we can tell: the last folder, and the folders
    // under the --known roots.
    QHash<QString, QString> knownFolders(const QStringList &roots)
    {
        QHash<QString, QString> byName;
        auto add = [&](const QString &path) { byName.insert(NameCrc(path), path); };
        const auto last = Hive::user().read(vorlaneKey("StartUp"), "LastFolder");
        if (last && last->type == RegType::Sz)
            add(last->text);
        for (const QString &r : roots) {
            const QString root = folderPath(r);
            add(root);
            QDirIterator it(root, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
            for (int n = 0; it.hasNext() && n < 100000; ++n)
                add(QDir::cleanPath(it.next()));
        }
        return byName;
    }

    int ls(const Options &o)
    {
        if (!o.positional.isEmpty())
            return fail("ls takes no arguments", ExitUsage);
        cfb::Status st;
        cfb::Storage root = cfb::Storage::open(cacheFile(), OLEStorage::ModeReadTransacted, &st);
        if (!root.isOpen())
            return fail(cacheFile() + ": cannot open the cache file", ExitFailed);
        std::vector<cfb::ElementStat> kids;
        if (root.elements(&kids) != cfb::Status::Ok)
            return fail(cacheFile() + ": damaged", ExitDamaged);
        const QHash<QString, QString> known = knownFolders(o.known);
        int folders = 0, total = 0;
        qint64 totalBytes = 0;
        std::printf("%-12s %8s %12s  %s\n", "storage", "thumbs", "bytes", "folder");
        for (const auto &k : kids) {
            if (k.type != cfb::ElementType::Storage)
                continue;
            cfb::Storage folder = root.openStorage(k.name, OLEStorage::ModeRead);
            ThumbIndex index;
            cfb::Stream s = folder.openStream(OLEStorage::IndexStreamName, OLEStorage::ModeRead);
            QByteArray bytes;
            if (s.isOpen() && s.readAll(&bytes) == cfb::Status::Ok)
                parseIndex(bytes, &index);
            qint64 sum = 0;
            index.forEach([&](const IndexEntry &e) { sum += e.ByteCount; });
            std::printf("%-12s %8d %12lld  %s\n",
                qPrintable(k.name),
                index.size(),
                static_cast<long long>(sum),
                qPrintable(known.value(k.name, QStringLiteral("?"))));
            ++folders;
            total += index.size();
            totalBytes += sum;
        }
        std::printf("%d folders, %d thumbnails, %lld bytes\n", folders, total, static_cast<long long>(totalBytes));
        return ExitOk;
    }

    int exportThumbs(const Options &o)
    {
        if (o.positional.size() != 2)
            return fail("export needs FOLDER and DEST", ExitUsage);
        const QString folder = folderPath(o.positional[0]);
        const QString dest = folderPath(o.positional[1]);
        if (!QDir().mkpath(dest))
            return fail(dest + ": cannot create the folder", ExitFailed);
        OLEStorage::SetCurrentFolder(folder);
        if (!OLEStorage::OpenCacheForDisplay()) {
            OLEStorage::CloseCache();
            return fail(folder + ": no thumbnails in " + cacheFile(), ExitFailed);
        }
        QStringList names;
        OLEStorage::CurrentIndex().forEach([&](const IndexEntry &e) { names.push_back(e.Name); });
        int written = 0, failed = 0;
        for (const QString &name : names) {
            QByteArray bytes;
            if (!OLEStorage::ReadThumb(name, &bytes) || bytes.isEmpty()) {
                ++failed;
                continue;
            }
            // The thumbnail's own type names the file: "photo.png.jpg" holds a JPEG.
            const QString target = dest + '/' + name + (bytes[0] == 'B' ? ".bmp" : ".jpg");
            QFile out(target);
            if (out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(bytes) == bytes.size())
                ++written;
            else
                ++failed;
        }
        OLEStorage::ClearIndex();
        OLEStorage::CloseCache();
        std::printf("%d thumbnails written to %s", written, qPrintable(dest));
        std::printf(failed ? ", %d failed\n" : "\n", failed);
        return failed ? ExitFailed : ExitOk;
    }

    int check(const Options &o)
    {
        if (!o.positional.isEmpty())
            return fail("check takes no arguments", ExitUsage);
        const QString path = cacheFile();
        if (!QFileInfo::exists(path))
            return fail(path + ": no cache file", ExitFailed);
        QStringList problems;
        cfb::Storage::check(path, &problems);
        cfb::Status st;
        cfb::Storage root = cfb::Storage::open(path, OLEStorage::ModeReadTransacted, &st);
        std::vector<cfb::ElementStat> kids;
        if (!root.isOpen() || root.elements(&kids) != cfb::Status::Ok) {
            problems.push_back("the root storage cannot be read");
            kids.clear();
        }
        int folders = 0, thumbs = 0;
        for (const auto &k : kids) {
            if (k.type != cfb::ElementType::Storage) {
                problems.push_back("/" + k.name + ": a stream in the root");
                continue;
            }
            ++folders;
            cfb::Storage folder = root.openStorage(k.name, OLEStorage::ModeRead);
            if (!folder.isOpen()) {
                problems.push_back("/" + k.name + ": cannot be opened");
                continue;
            }
            ThumbIndex index;
            cfb::Stream is = folder.openStream(OLEStorage::IndexStreamName, OLEStorage::ModeRead);
            QByteArray bytes;
            if (is.isOpen() && is.readAll(&bytes) == cfb::Status::Ok)
                parseIndex(bytes, &index);
            else if (is.isOpen())
                problems.push_back("/" + k.name + "/Index: unreadable");
            cfb::Stream ss = folder.openStream(StampsStreamName, OLEStorage::ModeRead);
            StampMap stamps;
            if (ss.isOpen() && (ss.readAll(&bytes) != cfb::Status::Ok || !parseStamps(bytes, &stamps)))
                problems.push_back("/" + k.name + "/Stamps: malformed");
            index.forEach([&](const IndexEntry &e) {
                ++thumbs;
                const QString where = "/" + k.name + "/" + QString::number(e.StreamId) + " (" + e.Name + ")";
                if (e.StreamId != nameCrcValue(e.Name))
                    problems.push_back(where + ": StreamId is not the name's CRC");
                cfb::Stream t = folder.openStream(QString::number(e.StreamId), OLEStorage::ModeRead);
                QByteArray data;
                if (!t.isOpen()) {
                    problems.push_back(where + ": no stream");
                    return;
                }
                if (t.readAll(&data) != cfb::Status::Ok) {
                    problems.push_back(where + ": unreadable");
                    return;
                }
                if (data.size() != e.ByteCount)
                    problems.push_back(
                        where + QStringLiteral(": %1 bytes, the index says %2").arg(data.size()).arg(e.ByteCount));
                if (data.size() > ThumbBufferSize)
                    problems.push_back(where + ": longer than 65,535 bytes");
                else if (DecodeThumbStream(data.constData(), std::size_t(data.size())).isNull())
                    problems.push_back(where + ": does not decode");
            });
        }
        for (const QString &p : problems)
            std::printf("%s\n", qPrintable(p));
        std::printf("%s: %d folders, %d thumbnails, %s\n",
            qPrintable(path),
            folders,
            thumbs,
            problems.isEmpty() ? "no problems" : qPrintable(QString::number(problems.size()) + " problems"));
        return problems.isEmpty() ? ExitOk : ExitDamaged;
    }

} // namespace

const char *engineUsage()
{
    return kUsage;
}

bool runEngineCommand(const QString &command, const QStringList &args, int *exitCode)
{
    int (*run)(const Options &) = nullptr;
    if (command == "ls")
        run = ls;
    else if (command == "prefill")
        run = prefill;
    else if (command == "export")
        run = exportThumbs;
    else if (command == "check")
        run = check;
    else if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        *exitCode = ExitOk;
        return true;
    } else
        return false;
    Options o;
    const QString error = parseOptions(args, &o);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "vorlane7-cache %s: %s\n%s", qPrintable(command), qPrintable(error), kUsage);
        *exitCode = ExitUsage;
    } else if (o.help) {
        std::fputs(kUsage, stdout);
        *exitCode = ExitOk;
    } else {
        *exitCode = run(o);
    }
    return true;
}

} // namespace v7::cachetool
