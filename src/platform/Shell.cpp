#include "platform/Shell.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace v7
{

bool IsProtectedFolder(const QString &path)
{
    const QString p = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QString home = QDir::cleanPath(QDir::homePath());
    if (p == QLatin1String("/") || p.isEmpty())
        return true;
    // The home folder itself, or any folder above it.
    return home == p || home.startsWith(p + u'/');
}

namespace
{

    QString systemError(int err)
    {
        return QString::fromLocal8Bit(std::strerror(err));
    }

    bool fail(QString *error, const QString &text)
    {
        if (error)
            *error = text;
        return false;
    }

    bool isRealDir(const QByteArray &path, struct stat *out = nullptr)
    {
        struct stat st {
        };
        if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
        if (out)
            *out = st;
        return true;
    }

    // A trash directory with its files/ and info/, made when missing (0700, as the
    // trash holds other people's names). False when it is not a plain directory of ours.
    bool prepareTrash(const QByteArray &trash, bool mustOwn)
    {
        ::mkdir(trash.constData(), 0700);
        struct stat st {
        };
        if (!isRealDir(trash, &st) || (mustOwn && st.st_uid != ::getuid()))
            return false;
        for (const char *sub : { "/files", "/info" }) {
            const QByteArray dir = trash + sub;
            ::mkdir(dir.constData(), 0700);
            if (!isRealDir(dir) || ::access(dir.constData(), W_OK | X_OK) != 0)
                return false;
        }
        return true;
    }

    QByteArray homeTrash()
    {
        QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
        if (dataHome.isEmpty() || !QDir::isAbsolutePath(dataHome))
            dataHome = QDir::homePath() + QStringLiteral("/.local/share");
        return QFile::encodeName(QDir::cleanPath(dataHome) + QStringLiteral("/Trash"));
    }

    // The top directory of the file system that holds dir (a real path).
    QByteArray mountTop(const QByteArray &dir, dev_t dev)
    {
        QByteArray top = dir;
        while (top != "/") {
            const qsizetype slash = top.lastIndexOf('/');
            const QByteArray up = slash <= 0 ? QByteArray("/") : top.left(slash);
            struct stat st {
            };
            if (::stat(up.constData(), &st) != 0 || st.st_dev != dev)
                break;
            top = up;
        }
        return top;
    }

    // The volume's trash for an item under top: $top/.Trash/UID when the
    // administrator made $top/.Trash (a real directory with the sticky bit), else
    // $top/.Trash-UID. Empty when neither can be used.
    QByteArray volumeTrash(const QByteArray &top)
    {
        const QByteArray base = top == "/" ? QByteArray() : top;
        const QByteArray uid = QByteArray::number(qulonglong(::getuid()));
        struct stat st {
        };
        const QByteArray shared = base + "/.Trash";
        if (isRealDir(shared, &st) && (st.st_mode & S_ISVTX)) {
            const QByteArray mine = shared + '/' + uid;
            if (prepareTrash(mine, true))
                return mine;
        }
        const QByteArray own = base + "/.Trash-" + uid;
        if (prepareTrash(own, true))
            return own;
        return {};
    }

    // Path= holds the bytes of the name percent-encoded as in RFC 2396: every
    // byte but the unreserved ones and "/".
    QByteArray trashInfo(const QByteArray &path)
    {
        const QByteArray date =
            QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")).toLatin1();
        return "[Trash Info]\nPath=" + path.toPercentEncoding("/") + "\nDeletionDate=" + date + '\n';
    }

    // The n-th name tried in the trash: the name itself, then "name.2.ext", "name.3.ext"...
    // A name too long for an info file next to it is shortened (at a character).
    QByteArray trashName(const QByteArray &base, int n)
    {
        constexpr qsizetype MaxBytes = 200; // NAME_MAX less ".trashinfo" and a counter
        QByteArray name = base;
        if (name.size() > MaxBytes) {
            qsizetype cut = MaxBytes;
            while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
                --cut; // not inside a UTF-8 sequence
            name.truncate(cut);
        }
        if (n <= 1)
            return name;
        const qsizetype dot = name.lastIndexOf('.');
        const QByteArray counter = '.' + QByteArray::number(n);
        return dot > 0 ? name.left(dot) + counter + name.mid(dot) : name + counter;
    }

    bool writeAll(int fd, const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t w = ::write(fd, bytes.constData() + done, std::size_t(bytes.size() - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            done += w;
        }
        return true;
    }

    // Claims a name in the trash: its info file, created exclusively so that two
    // deletions never share an entry, and filled. *entry gets files/<name>.
    bool claimEntry(const QByteArray &trash,
        const QByteArray &base,
        const QByteArray &info,
        QByteArray *entry,
        QByteArray *infoFile,
        int *err)
    {
        for (int n = 1; n < 10000; ++n) {
            const QByteArray name = trashName(base, n);
            const QByteArray infoPath = trash + "/info/" + name + ".trashinfo";
            const int fd = ::open(infoPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0) {
                if (errno == EEXIST)
                    continue;
                *err = errno;
                return false;
            }
            const QByteArray target = trash + "/files/" + name;
            struct stat st {
            };
            if (::lstat(target.constData(), &st) == 0) {
                // A stray item without its info file: leave it, take another name.
                ::close(fd);
                ::unlink(infoPath.constData());
                continue;
            }
            const bool written = writeAll(fd, info) && ::fsync(fd) == 0;
            const int writeErr = errno;
            if (::close(fd) != 0 || !written) {
                *err = written ? errno : writeErr;
                ::unlink(infoPath.constData());
                return false;
            }
            *entry = target;
            *infoFile = infoPath;
            return true;
        }
        *err = EEXIST;
        return false;
    }

    // ---- copying across file systems ----

    bool copyFileData(int in, int out)
    {
        char buf[1 << 16];
        for (;;) {
            const ssize_t r = ::read(in, buf, sizeof buf);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return false;
            if (r == 0)
                return true;
            if (!writeAll(out, QByteArray::fromRawData(buf, qsizetype(r))))
                return false;
        }
    }

    void keepTimes(const QByteArray &to, const struct stat &st)
    {
        const struct timespec times[2] = { st.st_atim, st.st_mtim };
        ::utimensat(AT_FDCWD, to.constData(), times, AT_SYMLINK_NOFOLLOW);
    }

    // Copies an item (a file, a link or a folder with everything in it) to a name
    // that does not exist yet; each file is on disk before the copy reports success.
    bool copyTree(const QByteArray &from, const QByteArray &to, int *err)
    {
        struct stat st {
        };
        if (::lstat(from.constData(), &st) != 0) {
            *err = errno;
            return false;
        }
        if (S_ISLNK(st.st_mode)) {
            QByteArray target(qsizetype(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
            const ssize_t n = ::readlink(from.constData(), target.data(), std::size_t(target.size()));
            if (n < 0 || n >= target.size()) {
                *err = n < 0 ? errno : ENAMETOOLONG;
                return false;
            }
            target.truncate(n);
            if (::symlink(target.constData(), to.constData()) != 0) {
                *err = errno;
                return false;
            }
            return true;
        }
        if (S_ISDIR(st.st_mode)) {
            if (::mkdir(to.constData(), 0700) != 0) {
                *err = errno;
                return false;
            }
            DIR *d = ::opendir(from.constData());
            if (!d) {
                *err = errno;
                return false;
            }
            bool ok = true;
            while (ok) {
                errno = 0;
                const dirent *e = ::readdir(d);
                if (!e) {
                    if (errno != 0) {
                        *err = errno;
                        ok = false;
                    }
                    break;
                }
                if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                    continue;
                ok = copyTree(from + '/' + e->d_name, to + '/' + e->d_name, err);
            }
            ::closedir(d);
            if (ok) {
                ::chmod(to.constData(), st.st_mode & 07777);
                keepTimes(to, st);
            }
            return ok;
        }
        if (!S_ISREG(st.st_mode)) {
            *err = ENOTSUP; // devices, pipes and sockets are not carried across
            return false;
        }
        const int in = ::open(from.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (in < 0) {
            *err = errno;
            return false;
        }
        const int out = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
        if (out < 0) {
            *err = errno;
            ::close(in);
            return false;
        }
        bool ok = copyFileData(in, out) && ::fsync(out) == 0;
        if (!ok)
            *err = errno ? errno : EIO;
        ::close(in);
        if (::close(out) != 0 && ok) {
            *err = errno;
            ok = false;
        }
        if (ok)
            keepTimes(to, st);
        return ok;
    }

    int removeOne(const char *path, const struct stat *, int type, struct FTW *)
    {
        return (type == FTW_DP ? ::rmdir(path) : ::unlink(path)) == 0 ? 0 : errno;
    }

    // Removes an item and everything under it; 0 or the first error.
    int removeTree(const QByteArray &path)
    {
        struct stat st {
        };
        if (::lstat(path.constData(), &st) != 0)
            return errno;
        if (!S_ISDIR(st.st_mode))
            return ::unlink(path.constData()) == 0 ? 0 : errno;
        return ::nftw(path.constData(), removeOne, 32, FTW_DEPTH | FTW_PHYS);
    }

    // Moves the item into its claimed entry; across file systems it is copied whole
    // first and the original removed only then.
    bool moveIntoEntry(const QByteArray &item, const QByteArray &entry, const QByteArray &infoFile, QString *error)
    {
        if (::rename(item.constData(), entry.constData()) == 0)
            return true;
        int err = errno;
        if (err == EXDEV) {
            if (copyTree(item, entry, &err)) {
                const int removeErr = removeTree(item);
                if (removeErr == 0)
                    return true;
                // Everything is in the trash; what is left in place stays too.
                return fail(error,
                    QStringLiteral("The item was copied to the trash but could not be removed completely: ")
                        + systemError(removeErr));
            }
            removeTree(entry); // the partial copy; the original is untouched
        }
        ::unlink(infoFile.constData());
        return fail(error, systemError(err));
    }

} // namespace

bool MoveToTrash(const QString &path, QString *error)
{
    if (IsProtectedFolder(path))
        return fail(error, QStringLiteral("This folder cannot be deleted."));
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QByteArray original = QFile::encodeName(absolute);
    struct stat item {
    };
    if (::lstat(original.constData(), &item) != 0)
        return fail(error, QStringLiteral("The folder does not exist."));

    // The folder that holds the item, with links resolved, tells its file system.
    const qsizetype slash = original.lastIndexOf('/');
    const QByteArray base = original.mid(slash + 1);
    char resolved[PATH_MAX];
    if (!::realpath(slash <= 0 ? "/" : original.left(slash).constData(), resolved))
        return fail(error, systemError(errno));
    const QByteArray parent(resolved);
    const QByteArray realItem = (parent == "/" ? QByteArray() : parent) + '/' + base;
    struct stat parentSt {
    };
    if (::stat(parent.constData(), &parentSt) != 0)
        return fail(error, systemError(errno));
    if (S_ISDIR(item.st_mode) && parentSt.st_dev != item.st_dev)
        return fail(error, QStringLiteral("A mounted volume cannot be moved to the trash."));

    const QByteArray home = homeTrash();
    if (home == realItem || home.startsWith(realItem + '/'))
        return fail(error, QStringLiteral("The trash cannot be moved to the trash."));
    QByteArray dataHome = home.left(home.lastIndexOf('/'));
    QDir().mkpath(QFile::decodeName(dataHome));
    const bool homeUsable = prepareTrash(home, false);
    struct stat homeSt {
    };
    const bool sameDevice = homeUsable && ::stat(home.constData(), &homeSt) == 0 && homeSt.st_dev == item.st_dev;

    // The home trash for its own device; a volume's own trash for the rest, with
    // the path relative to the volume's top so the entry stays valid wherever the
    // volume is mounted next time; else the home trash across devices.
    QByteArray trash;
    QByteArray recorded = original;
    if (!sameDevice) {
        const QByteArray top = mountTop(parent, item.st_dev);
        trash = volumeTrash(top);
        if (!trash.isEmpty())
            recorded = top == "/" ? realItem.mid(1) : realItem.mid(top.size() + 1);
    }
    if (trash.isEmpty()) {
        if (!homeUsable)
            return fail(error, QStringLiteral("The trash could not be reached."));
        trash = home;
    }

    QByteArray entry, infoFile;
    int err = 0;
    if (!claimEntry(trash, base, trashInfo(recorded), &entry, &infoFile, &err))
        return fail(error, systemError(err));
    return moveIntoEntry(original, entry, infoFile, error);
}

bool ProgramRunning(const QString &program)
{
    const QString name = QFileInfo(program).fileName();
    if (name.isEmpty())
        return false;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return false;
    const uid_t me = ::getuid();
    const pid_t self = ::getpid();
    bool found = false;
    while (dirent *d = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(d->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        const QByteArray dir = QByteArray("/proc/") + d->d_name;
        struct stat st = {};
        if (::stat(dir.constData(), &st) != 0 || st.st_uid != me)
            continue;
        QFile f(QString::fromLatin1(dir + "/cmdline"));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        // The first two arguments: the program, or the interpreter and its script. A
        // finished process that nobody collected has none.
        const QList<QByteArray> args = f.read(8192).split('\0');
        for (int i = 0; i < std::min<qsizetype>(2, args.size()) && !found; ++i)
            found = !args[i].isEmpty() && QFileInfo(QFile::decodeName(args[i])).fileName() == name;
        if (found)
            break;
    }
    ::closedir(proc);
    return found;
}

} // namespace v7
