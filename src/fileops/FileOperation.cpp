#include "fileops/FileOperation.h"

#include "platform/Shell.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace v7
{

namespace
{

    QByteArray enc(const QString &path)
    {
        return QFile::encodeName(path);
    }

    QString systemError(int err)
    {
        return QString::fromLocal8Bit(std::strerror(err));
    }

    QString joinPath(const QString &folder, const QString &name)
    {
        return folder.endsWith(u'/') ? folder + name : folder + u'/' + name;
    }

    QString baseName(const QString &path)
    {
        const QString clean = QDir::cleanPath(path);
        return clean.section(u'/', -1);
    }

    QString parentOf(const QString &path)
    {
        const QString clean = QDir::cleanPath(path);
        const int slash = clean.lastIndexOf(u'/');
        return slash <= 0 ? QStringLiteral("/") : clean.left(slash);
    }

    bool lexists(const QString &path, struct stat *st = nullptr)
    {
        struct stat s {
        };
        if (::lstat(enc(path).constData(), &s) != 0)
            return false;
        if (st)
            *st = s;
        return true;
    }

    // The path as the system resolves it; for a link, the link itself (its folder
    // resolved), since the operations act on links, not on what they point to.
    QString resolved(const QString &path)
    {
        const QString abs = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
        if (abs == QLatin1String("/"))
            return abs;
        struct stat st {
        };
        if (lexists(abs, &st) && S_ISLNK(st.st_mode)) {
            const QString folder = QFileInfo(parentOf(abs)).canonicalFilePath();
            return folder.isEmpty() ? abs : joinPath(folder, baseName(abs));
        }
        const QString canonical = QFileInfo(abs).canonicalFilePath();
        return canonical.isEmpty() ? abs : canonical;
    }

    bool statNearest(const QString &path, struct stat *st)
    {
        QString p = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
        for (;;) {
            if (::stat(enc(p).constData(), st) == 0)
                return true;
            if (p == QLatin1String("/"))
                return false;
            p = parentOf(p);
        }
    }

    // Mount points as the kernel lists them (octal escapes undone).
    QStringList mountPoints()
    {
        QStringList points;
        QFile f(QStringLiteral("/proc/self/mountinfo"));
        if (!f.open(QIODevice::ReadOnly))
            return points;
        const QList<QByteArray> lines = f.readAll().split('\n');
        for (const QByteArray &line : lines) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() < 5)
                continue;
            const QByteArray &raw = fields[4];
            QByteArray point;
            for (qsizetype i = 0; i < raw.size(); ++i) {
                if (raw[i] == '\\' && i + 3 < raw.size()) {
                    bool ok = false;
                    const int c = raw.mid(i + 1, 3).toInt(&ok, 8);
                    if (ok) {
                        point += char(c);
                        i += 3;
                        continue;
                    }
                }
                point += raw[i];
            }
            points << QFile::decodeName(point);
        }
        return points;
    }

    bool sameFile(const struct stat &a, const struct stat &b)
    {
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    }

    // rename(2) that fails with EEXIST rather than replace a target made meanwhile.
    int renameNoReplace(const QByteArray &from, const QByteArray &to)
    {
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EINVAL && errno != ENOSYS)
            return -1;
        // A file system without the flag: a hard link cannot replace either.
        if (::link(from.constData(), to.constData()) == 0) {
            ::unlink(from.constData());
            return 0;
        }
        if (errno == EEXIST || errno == EXDEV)
            return -1;
        struct stat st {
        };
        if (::lstat(to.constData(), &st) == 0) {
            errno = EEXIST;
            return -1;
        }
        return ::rename(from.constData(), to.constData());
    }

    QStringList childrenOf(const QString &folder)
    {
        QStringList names;
        DIR *d = ::opendir(enc(folder).constData());
        if (!d)
            return names;
        while (dirent *e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                continue;
            names << QFile::decodeName(e->d_name);
        }
        ::closedir(d);
        names.sort();
        return names;
    }

    qint64 treeBytes(const QString &path, int depth = 0)
    {
        struct stat st {
        };
        if (depth > 256 || !lexists(path, &st))
            return 0;
        if (S_ISREG(st.st_mode))
            return st.st_size;
        if (!S_ISDIR(st.st_mode))
            return 0;
        qint64 sum = 0;
        for (const QString &c : childrenOf(path))
            sum += treeBytes(joinPath(path, c), depth + 1);
        return sum;
    }

    void applyModeAndTimes(int fd, const struct stat &st)
    {
        ::fchmod(fd, st.st_mode & 07777);
        const struct timespec times[2] = { st.st_atim, st.st_mtim };
        ::futimens(fd, times);
    }

    class Runner
    {
    public:
        Runner(bool permanent, const FileOperationHooks &hooks)
            : m_permanent(permanent)
            , m_hooks(hooks)
        {
        }

        enum class Outcome { Done, Partial, Skipped, Stop };

        qint64 total = 0;
        qint64 done = 0;
        bool cancelled = false;
        QString error;

        bool tick(const QString &name)
        {
            if (!cancelled && m_hooks.progress && !m_hooks.progress(name, done, total))
                cancelled = true;
            return !cancelled;
        }

        Outcome fail(const QString &what, const QString &path, int err)
        {
            if (error.isEmpty())
                error = QStringLiteral("Cannot %1 \"%2\": %3").arg(what, path, systemError(err));
            return Outcome::Stop;
        }

        ConflictAnswer ask(const QString &source, const QString &target)
        {
            if (m_haveForAll)
                return m_forAll;
            ConflictAnswer a;
            if (m_hooks.conflict)
                a = m_hooks.conflict(source, target);
            if (a.forAll && a.choice != ConflictChoice::Cancel) {
                m_haveForAll = true;
                m_forAll = a;
            }
            return a;
        }

        // source to folder/name; *finalTarget gets where it went.
        Outcome transfer(const QString &source, const QString &folder, bool move, QString *finalTarget, int depth)
        {
            if (depth > 256)
                return fail(QStringLiteral("copy"), source, ELOOP);
            struct stat st {
            };
            if (!lexists(source, &st))
                return fail(move ? QStringLiteral("move") : QStringLiteral("copy"), source, errno);
            const bool isDir = S_ISDIR(st.st_mode);
            const QString name = baseName(source);
            QString target = joinPath(folder, name);
            bool replace = false, merge = false;
            struct stat tst {
            };
            if (lexists(target, &tst)) {
                if (sameFile(st, tst)) {
                    if (move) { // already where it is asked to go
                        *finalTarget = target;
                        return Outcome::Done;
                    }
                    target = KeepBothName(folder, name, isDir);
                } else {
                    const ConflictAnswer a = ask(source, target);
                    switch (a.choice) {
                    case ConflictChoice::Cancel:
                        cancelled = true;
                        return Outcome::Stop;
                    case ConflictChoice::Skip:
                        done += treeBytes(source);
                        return Outcome::Skipped;
                    case ConflictChoice::KeepBoth:
                        target = KeepBothName(folder, name, isDir);
                        break;
                    case ConflictChoice::Replace:
                        if (isDir != S_ISDIR(tst.st_mode)) {
                            // A folder is never thrown away for a file, nor a file for a folder.
                            if (error.isEmpty())
                                error = QStringLiteral("Cannot replace \"%1\": one is a folder, the other is not")
                                            .arg(target);
                            done += treeBytes(source);
                            return Outcome::Skipped;
                        }
                        replace = true;
                        merge = isDir;
                        break;
                    }
                }
            }
            *finalTarget = target;
            const QByteArray src = enc(source), dst = enc(target);
            if (move && !merge) {
                const int rc = replace ? ::rename(src.constData(), dst.constData()) : renameNoReplace(src, dst);
                if (rc == 0) {
                    done += isDir ? 0 : st.st_size;
                    return Outcome::Done;
                }
                if (errno != EXDEV)
                    return fail(QStringLiteral("move"), source, errno);
            }
            if (isDir)
                return transferFolder(source, target, st, move, merge, depth);
            if (S_ISLNK(st.st_mode))
                return transferLink(source, target, replace, move);
            if (!S_ISREG(st.st_mode))
                return fail(QStringLiteral("copy"), source, EINVAL);
            if (!copyFile(source, target, st, replace))
                return Outcome::Stop;
            if (move && ::unlink(src.constData()) != 0)
                return fail(QStringLiteral("remove"), source, errno);
            return Outcome::Done;
        }

        Outcome transferFolder(
            const QString &source, const QString &target, const struct stat &st, bool move, bool merge, int depth)
        {
            const QByteArray dst = enc(target);
            if (!merge && ::mkdir(dst.constData(), 0700) != 0)
                return fail(QStringLiteral("create"), target, errno);
            bool partial = false;
            for (const QString &child : childrenOf(source)) {
                if (!tick(child))
                    return Outcome::Stop;
                QString ignored;
                const Outcome o = transfer(joinPath(source, child), target, move, &ignored, depth + 1);
                if (o == Outcome::Stop)
                    return o;
                partial = partial || o != Outcome::Done;
            }
            if (!merge) {
                const int fd = ::open(dst.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (fd >= 0) {
                    applyModeAndTimes(fd, st);
                    ::close(fd);
                }
            }
            if (move && !partial && ::rmdir(enc(source).constData()) != 0)
                return fail(QStringLiteral("remove"), source, errno);
            return partial ? Outcome::Partial : Outcome::Done;
        }

        Outcome transferLink(const QString &source, const QString &target, bool replace, bool move)
        {
            QByteArray link(4096, '\0');
            const ssize_t n = ::readlink(enc(source).constData(), link.data(), size_t(link.size() - 1));
            if (n < 0)
                return fail(QStringLiteral("copy"), source, errno);
            link.truncate(n);
            const QByteArray dst = enc(target);
            const QByteArray tmp = enc(parentOf(target)) + "/.v7link-" + QByteArray::number(::getpid()) + '-'
                + QByteArray::number(qHash(target));
            ::unlink(tmp.constData());
            if (::symlink(link.constData(), tmp.constData()) != 0)
                return fail(QStringLiteral("create"), target, errno);
            const int rc = replace ? ::rename(tmp.constData(), dst.constData()) : renameNoReplace(tmp, dst);
            if (rc != 0) {
                const int err = errno;
                ::unlink(tmp.constData());
                return fail(QStringLiteral("create"), target, err);
            }
            if (move && ::unlink(enc(source).constData()) != 0)
                return fail(QStringLiteral("remove"), source, errno);
            return Outcome::Done;
        }

        // Written under a hidden temporary name beside the target, read back and
        // compared, then renamed into place: the final name only ever holds a whole copy.
        bool copyFile(const QString &source, const QString &target, const struct stat &st, bool replace)
        {
            const QString name = baseName(source);
            const int in = ::open(enc(source).constData(), O_RDONLY | O_CLOEXEC);
            if (in < 0)
                return fail(QStringLiteral("read"), source, errno) == Outcome::Done;
            QByteArray tmp = enc(parentOf(target)) + "/." + enc(baseName(target)).left(200) + ".v7part-XXXXXX";
            const int out = ::mkostemp(tmp.data(), O_CLOEXEC);
            if (out < 0) {
                const int err = errno;
                ::close(in);
                return fail(QStringLiteral("create"), target, err) == Outcome::Done;
            }
            const auto abandon = [&](const QString &what, const QString &path, int err) {
                ::close(in);
                ::close(out);
                ::unlink(tmp.constData());
                if (err)
                    fail(what, path, err);
                return false;
            };
            std::vector<char> buffer(1 << 20);
            uLong crcIn = crc32(0, nullptr, 0);
            qint64 bytes = 0;
            for (;;) {
                const ssize_t n = ::read(in, buffer.data(), buffer.size());
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    return abandon(QStringLiteral("read"), source, errno);
                }
                if (n == 0)
                    break;
                crcIn = crc32(crcIn, reinterpret_cast<const Bytef *>(buffer.data()), uInt(n));
                for (ssize_t off = 0; off < n;) {
                    const ssize_t w = ::write(out, buffer.data() + off, size_t(n - off));
                    if (w < 0) {
                        if (errno == EINTR)
                            continue;
                        return abandon(QStringLiteral("write"), target, errno);
                    }
                    off += w;
                }
                bytes += n;
                done += n;
                if (!tick(name))
                    return abandon(QString(), QString(), 0);
            }
            if (::fsync(out) != 0)
                return abandon(QStringLiteral("write"), target, errno);
            // Verify: what reached the file is what was read.
            uLong crcOut = crc32(0, nullptr, 0);
            qint64 back = 0;
            if (::lseek(out, 0, SEEK_SET) != 0)
                return abandon(QStringLiteral("verify"), target, errno);
            for (;;) {
                const ssize_t n = ::read(out, buffer.data(), buffer.size());
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    return abandon(QStringLiteral("verify"), target, errno);
                }
                if (n == 0)
                    break;
                crcOut = crc32(crcOut, reinterpret_cast<const Bytef *>(buffer.data()), uInt(n));
                back += n;
            }
            if (back != bytes || crcOut != crcIn)
                return abandon(QStringLiteral("verify"), target, EIO);
            applyModeAndTimes(out, st);
            ::close(in);
            if (::close(out) != 0) {
                const int err = errno;
                ::unlink(tmp.constData());
                return fail(QStringLiteral("write"), target, err) == Outcome::Done;
            }
            const QByteArray dst = enc(target);
            const int rc = replace ? ::rename(tmp.constData(), dst.constData()) : renameNoReplace(tmp, dst);
            if (rc != 0) {
                const int err = errno;
                ::unlink(tmp.constData());
                return fail(QStringLiteral("create"), target, err) == Outcome::Done;
            }
            return true;
        }

        Outcome removeTree(const QString &path, int depth)
        {
            struct stat st {
            };
            if (depth > 256 || !lexists(path, &st))
                return fail(QStringLiteral("delete"), path, depth > 256 ? ELOOP : errno);
            if (S_ISDIR(st.st_mode)) {
                for (const QString &child : childrenOf(path)) {
                    if (!tick(child))
                        return Outcome::Stop;
                    const Outcome o = removeTree(joinPath(path, child), depth + 1);
                    if (o != Outcome::Done)
                        return o;
                }
                if (::rmdir(enc(path).constData()) != 0)
                    return fail(QStringLiteral("delete"), path, errno);
            } else {
                if (::unlink(enc(path).constData()) != 0)
                    return fail(QStringLiteral("delete"), path, errno);
                done += S_ISREG(st.st_mode) ? st.st_size : 0;
            }
            return Outcome::Done;
        }

        Outcome remove(const QString &path)
        {
            if (m_permanent)
                return removeTree(path, 0);
            QString why;
            if (!MoveToTrash(path, &why)) {
                if (error.isEmpty())
                    error = QStringLiteral("Cannot move \"%1\" to the trash: %2").arg(path, why);
                return Outcome::Stop;
            }
            return Outcome::Done;
        }

    private:
        bool m_permanent;
        const FileOperationHooks &m_hooks;
        bool m_haveForAll = false;
        ConflictAnswer m_forAll;
    };

} // namespace

bool IsMountPoint(const QString &path)
{
    const QString p = resolved(path);
    if (p == QLatin1String("/"))
        return true;
    struct stat st {
    }, up {};
    if (::lstat(enc(p).constData(), &st) == 0 && S_ISDIR(st.st_mode) && ::stat(enc(parentOf(p)).constData(), &up) == 0
        && st.st_dev != up.st_dev)
        return true;
    return mountPoints().contains(p); // bind mounts share the device number
}

bool SameFileSystem(const QString &a, const QString &b)
{
    struct stat sa {
    }, sb {};
    return statNearest(a, &sa) && statNearest(b, &sb) && sa.st_dev == sb.st_dev;
}

QString KeepBothName(const QString &folder, const QString &name, bool isFolder)
{
    QString stem = name, ext;
    const int dot = name.lastIndexOf(u'.');
    if (!isFolder && dot > 0) {
        stem = name.left(dot);
        ext = name.mid(dot);
    }
    for (int n = 2;; ++n) {
        const QString candidate = QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(ext);
        if (!lexists(joinPath(folder, candidate)))
            return joinPath(folder, candidate);
    }
}

QString RefusalReason(FileOp op, const QStringList &sources, const QString &destination)
{
    if (sources.isEmpty())
        return QStringLiteral("Nothing was given to act on.");
    const QString home = resolved(QDir::homePath());
    QString dest;
    if (op != FileOp::Delete) {
        if (!QFileInfo(destination).isDir())
            return QStringLiteral("The destination folder \"%1\" does not exist.").arg(destination);
        dest = resolved(destination);
    }
    for (const QString &source : sources) {
        if (source.isEmpty() || !lexists(QFileInfo(source).absoluteFilePath()))
            return QStringLiteral("\"%1\" does not exist.").arg(source);
        const QString p = resolved(source);
        if (p == QLatin1String("/"))
            return QStringLiteral("The root folder \"/\" is never moved, copied or deleted.");
        if (p == home)
            return QStringLiteral("The home folder \"%1\" is never moved, copied or deleted.").arg(p);
        if (IsMountPoint(p))
            return QStringLiteral("\"%1\" is a mounted volume; it is never moved, copied or deleted itself.").arg(p);
        if (op != FileOp::Copy && IsProtectedFolder(p))
            return QStringLiteral("\"%1\" holds the home folder; it is never moved or deleted.").arg(p);
        if (op != FileOp::Delete && QFileInfo(p).isDir() && !QFileInfo(p).isSymLink()
            && (dest == p || dest.startsWith(p + u'/')))
            return QStringLiteral("The folder \"%1\" cannot go into itself.").arg(p);
    }
    return QString();
}

QStringList MountRootContents(const QString &root)
{
    QStringList paths;
    const QString uidTrash = QStringLiteral(".Trash-%1").arg(::getuid());
    for (const QString &name : childrenOf(root)) {
        // The volume's own trash and the checker's lost+found stay: they are the
        // file system's, not the user's files.
        if (name == uidTrash || name == QLatin1String(".Trash") || name == QLatin1String("lost+found"))
            continue;
        paths << joinPath(root, name);
    }
    return paths;
}

FileOperationResult RunFileOperation(FileOp op,
    const QStringList &sources,
    const QString &destination,
    bool permanentDelete,
    const FileOperationHooks &hooks)
{
    FileOperationResult result;
    result.error = RefusalReason(op, sources, destination);
    if (!result.error.isEmpty())
        return result;
    Runner run(permanentDelete, hooks);
    for (const QString &s : sources)
        run.total += treeBytes(s);
    const QString folder = op == FileOp::Delete ? QString() : QDir::cleanPath(destination);
    for (const QString &source : sources) {
        if (!run.tick(baseName(source)))
            break;
        QString target;
        Runner::Outcome o;
        if (op == FileOp::Delete)
            o = run.remove(source);
        else
            o = run.transfer(
                QDir::cleanPath(QFileInfo(source).absoluteFilePath()), folder, op == FileOp::Move, &target, 0);
        if (o == Runner::Outcome::Done) {
            result.done << source;
            if (op != FileOp::Delete)
                result.targets << target;
        } else if (o == Runner::Outcome::Stop) {
            break;
        } else {
            result.skipped << source;
        }
    }
    result.cancelled = run.cancelled;
    result.error = run.error;
    result.ok = !run.cancelled && run.error.isEmpty();
    return result;
}

} // namespace v7
