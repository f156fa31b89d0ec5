#include "CacheCommands.h"

#include "app/Settings.h"
#include "browser/Listing.h"
#include "imaging/ImageLoad.h"
#include "platform/Hive.h"
#include "thumbs/CacheUpkeep.h"
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
                               "  check                  every index entry has its stream, every stream decodes,\n"
                               "                         no stream is left that no index lists\n"
                               "  repair                 a damaged file is kept aside and a new one holds every\n"
                               "                         folder that still reads; else drops what check finds\n"
                               "  prune                  drop thumbnails of files that are gone, and folder\n"
                               "                         storages whose folder is gone or unknown (--known DIR\n"
                               "                         makes the folders under DIR known)\n"
                               "  compact                rewrite the live thumbnails into a new, smaller file\n"
                               "\n"
                               "options (default: the settings of the user's hive):\n"
                               "  --cache-dir DIR        the folder of the cache file (CacheThumbsDir)\n"
                               "  --thumb-w N, --thumb-h N   thumbnail box (ThumbW, ThumbH)\n"
                               "  --threads N            decode threads of prefill (default: one per core)\n"
                               "  --embedded-thumbs on|off   prefill: EXIF previews may stand in for decoding\n"
                               "                         a JPEG (UseEmbeddedThumbs)\n"
                               "  --known DIR            ls, prune: look for cached folders under DIR (repeatable)\n"
                               "  --force                export: replace files already in DEST\n"
                               "  --quiet                no progress bar\n"
                               "  --help                 this text\n"
                               "\n"
                               "exit codes: 0 done, 1 failed, 2 damaged cache file, 64 bad arguments\n";

    struct Options {
        QStringList positional;
        QStringList known;
        int threads = -1;
        bool quiet = false;
        bool force = false;
        bool help = false;
    };

    int fail(const QString &text, int code)
    {
        std::fprintf(stderr, "vorlane7-cache: %s\n", qPrintable(text));
        return code;
    }

    void warn(const QString &text)
    {
        std::fprintf(stderr, "vorlane7-cache: %s\n", qPrintable(text));
    }

    // A name fit for a message: control characters shown as "?".
    QString printableName(const QString &name)
    {
        QString out = name;
        for (QChar &c : out)
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                c = QLatin1Char('?');
        return out;
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
            } else if (a == "--force") {
                o->force = true;
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

    // The cache file's tables do not read.
    int failDamaged()
    {
        return fail(cacheFile() + ": damaged (vorlane7-cache repair salvages it)", ExitDamaged);
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
        bool noticed = false; // a notice (the 2 GB limit, a damaged file set aside) says why
        for (QString n = takeCacheNotice(); !n.isEmpty(); n = takeCacheNotice(), noticed = true)
            warn(n);
        if (link.done() != files.size())
            return fail(cacheFile() + ": cannot open or create the cache file", ExitFailed);
        if (job.commitFailed())
            return noticed
                ? int(ExitFailed)
                : fail(cacheFile() + ": the thumbnails could not be committed (busy or damaged)", ExitFailed);
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
        if (!root.isOpen() && st == cfb::Status::Corrupt)
            return failDamaged();
        if (!root.isOpen())
            return fail(cacheFile() + ": cannot open the cache file", ExitFailed);
        std::vector<cfb::ElementStat> kids;
        if (root.elements(&kids) != cfb::Status::Ok)
            return failDamaged();
        QHash<QString, QString> known = knownFolders(o.known);
        const UseMap use = loadUse(root);
        for (auto it = use.constBegin(); it != use.constEnd(); ++it)
            if (!it->path.isEmpty() && NameCrc(it->path) == it.key())
                known.insert(it.key(), it->path);
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
            cfb::Status st;
            cfb::Storage::open(cacheFile(), OLEStorage::ModeReadTransacted, &st);
            if (st == cfb::Status::Corrupt)
                return failDamaged();
            return fail(folder + ": no thumbnails in " + cacheFile(), ExitFailed);
        }
        QStringList names;
        OLEStorage::CurrentIndex().forEach([&](const IndexEntry &e) { names.push_back(e.Name); });
        // Every target must land directly in DEST, whatever DEST is a link to.
        const QString realDest = QFileInfo(dest).canonicalFilePath();
        int written = 0, failed = 0, skipped = 0, refused = 0;
        for (const QString &name : names) {
            // The names come from the cache file, which anyone who can write it may craft.
            if (!isPlainFileName(name)) {
                ++refused;
                warn("refused the index name \"" + printableName(name) + "\": not a plain file name");
                continue;
            }
            QByteArray bytes;
            if (!OLEStorage::ReadThumb(name, &bytes) || bytes.isEmpty()) {
                ++failed;
                continue;
            }
            // The thumbnail's own type names the file: "photo.png.jpg" holds a JPEG.
            const QString target = dest + '/' + name + (bytes[0] == 'B' ? ".bmp" : ".jpg");
            const QFileInfo info(target);
            if (QFileInfo(info.absolutePath()).canonicalFilePath() != realDest) {
                ++refused;
                warn(target + ": refused, it is not in " + dest);
                continue;
            }
            if (info.exists() || info.isSymLink()) {
                if (!o.force) {
                    ++skipped;
                    warn(target + ": already there, skipped (--force replaces it)");
                    continue;
                }
                QFile::remove(target); // a link is removed, never followed
            }
            // A new file only: what appears at the path meanwhile is not written through.
            QFile out(target);
            if (out.open(QIODevice::WriteOnly | QIODevice::NewOnly) && out.write(bytes) == bytes.size())
                ++written;
            else
                ++failed;
        }
        OLEStorage::ClearIndex();
        OLEStorage::CloseCache();
        std::printf("%d thumbnails written to %s", written, qPrintable(dest));
        if (skipped)
            std::printf(", %d skipped (already there)", skipped);
        if (refused)
            std::printf(", %d refused", refused);
        std::printf(failed ? ", %d failed\n" : "\n", failed);
        return failed || refused ? ExitFailed : ExitOk;
    }

    int check(const Options &o)
    {
        if (!o.positional.isEmpty())
            return fail("check takes no arguments", ExitUsage);
        const QString path = cacheFile();
        if (!QFileInfo::exists(path))
            return fail(path + ": no cache file", ExitFailed);
        QStringList problems;
        // Damage in the file's own tables is about the file: each line names it.
        bool tail = false;
        cacheFileSound(path, &problems, &tail);
        for (QString &p : problems)
            p.prepend(path + QStringLiteral(": "));
        if (tail && !o.quiet)
            std::printf("%s: note: sectors past the committed tables, left by a writer that ended without "
                        "committing; the next commit gives them back\n",
                qPrintable(path));
        int folders = 0, thumbs = 0;
        auto addFolder = [&](const FolderCheck &c) {
            ++folders;
            thumbs += c.thumbs;
            problems += c.problems;
            for (const QString &u : c.unlisted)
                problems.push_back("/" + c.storage + "/" + u + ": a stream no index entry lists");
        };
        cfb::Status st;
        cfb::Storage root = cfb::Storage::open(path, OLEStorage::ModeReadTransacted, &st);
        std::vector<cfb::ElementStat> kids;
        if (!problems.isEmpty() || !root.isOpen() || root.elements(&kids) != cfb::Status::Ok) {
            // Damaged: what repair would keep is what still reads sector by sector;
            // each folder is checked as far as it does.
            root.release();
            const DamageReport d = inspectDamagedCache(path);
            for (const QString &p : d.fileProblems)
                problems.push_back(path + ": " + p);
            if (!d.readable)
                problems.push_back(path + ": nothing of it reads");
            for (const FolderCheck &c : d.folders)
                addFolder(c);
            problems.push_back(path + ": damaged; repair keeps it aside and saves what still reads");
        }
        for (const auto &k : kids) {
            if (k.type != cfb::ElementType::Storage) {
                if (k.name != UseStreamName)
                    problems.push_back("/" + k.name + ": a stream in the root");
                continue;
            }
            addFolder(checkFolderStorage(root, k.name));
        }
        for (const QString &p : problems) // names read from the file may hold anything
            std::printf("%s\n", qPrintable(printableName(p)));
        std::printf("%s: %d folders, %d thumbnails, %s\n",
            qPrintable(path),
            folders,
            thumbs,
            problems.isEmpty() ? "no problems" : qPrintable(QString::number(problems.size()) + " problems"));
        return problems.isEmpty() ? ExitOk : ExitDamaged;
    }

    void printLost(const QStringList &lost)
    {
        for (const QString &l : lost)
            std::printf("left out: %s\n", qPrintable(l));
    }

    int repair(const Options &o)
    {
        if (!o.positional.isEmpty())
            return fail("repair takes no arguments", ExitUsage);
        const QString path = cacheFile();
        if (!QFileInfo::exists(path))
            return fail(path + ": no cache file", ExitFailed);
        cfb::Status st;
        const bool opens = cfb::Storage::open(path, OLEStorage::ModeReadTransacted, &st).isOpen();
        if (!opens && st != cfb::Status::Corrupt)
            return fail(path + ": cannot be opened (" + QString::fromLatin1(cfb::statusText(st)) + ")", ExitFailed);
        // A file whose tables are sound is rewritten (which also drops what a kill can
        // leave past the committed tables); one with damage anywhere is set aside.
        if (!opens || !cacheFileSound(path)) {
            // What the program does when it meets the damage: kept aside, a new file
            // with every folder that still reads and checks cleanly.
            QString keptAs;
            const RebuildResult r = setAsideDamagedCache(path, &keptAs);
            takeCacheNotice();
            if (keptAs.isEmpty())
                return fail(path + ": cannot be set aside", ExitFailed);
            printLost(r.lost);
            std::printf("%s: damaged, kept as %s; the new file holds %d folders, %d thumbnails\n",
                qPrintable(path),
                qPrintable(keptAs),
                r.folders,
                r.thumbs);
            return r.ok ? ExitOk : ExitFailed;
        }
        // Sound tables: the live thumbnails are rewritten into a new file, which drops
        // streams no index lists and entries whose thumbnail is broken.
        const RebuildResult r = rebuildCache(path);
        if (!r.ok)
            return fail(path + ": cannot be rewritten (is another program writing it?)", ExitFailed);
        printLost(r.lost);
        std::printf("%s: rewritten with %d folders, %d thumbnails, %lld bytes (was %lld)\n",
            qPrintable(path),
            r.folders,
            r.thumbs,
            static_cast<long long>(r.bytesAfter),
            static_cast<long long>(r.bytesBefore));
        return ExitOk;
    }

    int compact(const Options &o)
    {
        if (!o.positional.isEmpty())
            return fail("compact takes no arguments", ExitUsage);
        const QString path = cacheFile();
        if (!QFileInfo::exists(path))
            return fail(path + ": no cache file", ExitFailed);
        if (!cacheFileSound(path))
            return fail(path + ": damaged; run repair", ExitDamaged);
        const RebuildResult r = rebuildCache(path, {}, false);
        if (!r.ok)
            return fail(path + ": cannot be rewritten (is another program writing it?)", ExitFailed);
        printLost(r.lost);
        std::printf("%s: %lld bytes, was %lld; %d folders, %d thumbnails\n",
            qPrintable(path),
            static_cast<long long>(r.bytesAfter),
            static_cast<long long>(r.bytesBefore),
            r.folders,
            r.thumbs);
        return ExitOk;
    }

    int prune(const Options &o)
    {
        if (!o.positional.isEmpty())
            return fail("prune takes no arguments", ExitUsage);
        const QString path = cacheFile();
        if (!QFileInfo::exists(path))
            return fail(path + ": no cache file", ExitFailed);
        cfb::Status st;
        cfb::Storage root = cfb::Storage::open(path, OLEStorage::ModeWriteDirect, &st);
        if (!root.isOpen())
            return fail(path + ": cannot be opened for writing (" + QString::fromLatin1(cfb::statusText(st)) + ")",
                st == cfb::Status::Corrupt ? ExitDamaged : ExitFailed);
        // The folder of each storage: recorded when it was used, or found under --known.
        UseMap use = loadUse(root);
        const QHash<QString, QString> known = knownFolders(o.known);
        std::vector<cfb::ElementStat> kids;
        if (root.elements(&kids) != cfb::Status::Ok)
            return fail(path + ": damaged; run repair", ExitDamaged);
        int unknown = 0, gone = 0, entries = 0, kept = 0;
        for (const auto &k : kids) {
            if (k.type != cfb::ElementType::Storage)
                continue;
            const QString folder = use.contains(k.name) ? use.value(k.name).path : known.value(k.name);
            if (folder.isEmpty() || NameCrc(folder) != k.name || !QFileInfo(folder).isDir()) {
                if (root.destroyElement(k.name) != cfb::Status::Ok)
                    return fail(path + ": cannot remove /" + k.name, ExitFailed);
                use.remove(k.name);
                ++(folder.isEmpty() ? unknown : gone);
                if (!o.quiet)
                    std::printf("removed /%s (%s)\n",
                        qPrintable(k.name),
                        folder.isEmpty() ? "folder unknown" : qPrintable(folder + ": gone"));
                continue;
            }
            ++kept;
            cfb::Storage storage = root.openStorage(k.name, OLEStorage::ModeWriteDirect);
            if (!storage.isOpen())
                continue;
            ThumbIndex index;
            cfb::Stream is = storage.openStream(OLEStorage::IndexStreamName, OLEStorage::ModeRead);
            QByteArray bytes;
            if (!is.isOpen() || is.readAll(&bytes) != cfb::Status::Ok)
                continue;
            is.release();
            parseIndex(bytes, &index);
            QStringList goneFiles;
            index.forEach([&](const IndexEntry &e) {
                // A name that is no plain file name ("..", "a/b") names no file of the folder.
                if (!isPlainFileName(e.Name) || !QFileInfo::exists(joinPath(folder, e.Name)))
                    goneFiles.push_back(e.Name);
            });
            if (goneFiles.isEmpty())
                continue;
            RenameMap removed;
            for (const QString &name : goneFiles) {
                if (index.ownsStream(name))
                    storage.destroyElement(NameCrc(name));
                index.remove(name);
                removed.push_back({ name, {} });
            }
            renameStamps(storage, index, removed, false);
            storage.destroyElement(OLEStorage::IndexStreamName);
            cfb::Stream out = storage.createStream(OLEStorage::IndexStreamName, OLEStorage::ModeWriteDirect);
            if (!out.isOpen() || out.write(serializeIndex(index)) != cfb::Status::Ok)
                return fail(path + ": cannot write /" + k.name + "/Index", ExitFailed);
            out.release();
            storage.commit();
            entries += int(goneFiles.size());
        }
        saveUse(root, use);
        if (root.commit() != cfb::Status::Ok)
            return fail(path + ": cannot be written", ExitFailed);
        std::printf("%s: removed %d folders whose folder is gone, %d unknown, %d thumbnails of files that are gone; "
                    "%d folders kept (compact makes the file smaller)\n",
            qPrintable(path),
            gone,
            unknown,
            entries,
            kept);
        return ExitOk;
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
    else if (command == "repair")
        run = repair;
    else if (command == "prune")
        run = prune;
    else if (command == "compact")
        run = compact;
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
