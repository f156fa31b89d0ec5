#include "browser/FolderTree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

namespace v7
{

namespace
{

    // Mount-info fields escape blanks and backslashes as octal.
    QString unescapeMount(const QString &s)
    {
        QString out;
        for (qsizetype i = 0; i < s.size(); ++i) {
            if (s[i] == u'\\' && i + 3 < s.size() + 0 && s[i + 1].isDigit() && s[i + 2].isDigit()
                && s[i + 3].isDigit()) {
                out.append(QChar(
                    char16_t((s[i + 1].digitValue() << 6) | (s[i + 2].digitValue() << 3) | s[i + 3].digitValue())));
                i += 3;
            } else {
                out.append(s[i]);
            }
        }
        return out;
    }

    bool isPseudoFs(const QString &fs)
    {
        static const QStringList pseudo = { "proc",
            "sysfs",
            "devtmpfs",
            "devpts",
            "tmpfs",
            "securityfs",
            "cgroup",
            "cgroup2",
            "pstore",
            "bpf",
            "debugfs",
            "tracefs",
            "configfs",
            "fusectl",
            "mqueue",
            "hugetlbfs",
            "autofs",
            "binfmt_misc",
            "rpc_pipefs",
            "nsfs",
            "overlay",
            "squashfs",
            "ramfs",
            "efivarfs",
            "fuse.gvfsd-fuse",
            "fuse.portal",
            "selinuxfs",
            "nfsd",
            "shm",
            "devfs" };
        return pseudo.contains(fs);
    }

    DriveType typeOf(const QString &fs, const QString &mountPoint, const QString &source)
    {
        static const QStringList cd = { "iso9660", "udf" };
        static const QStringList net = { "nfs",
            "nfs4",
            "cifs",
            "smb3",
            "smbfs",
            "fuse.sshfs",
            "9p",
            "afs",
            "ceph",
            "glusterfs",
            "fuse.rclone",
            "davfs",
            "fuse.davfs2" };
        if (cd.contains(fs))
            return DriveType::CdRom;
        if (net.contains(fs))
            return DriveType::Network;
        if (mountPoint.startsWith(QLatin1String("/media/")) || mountPoint.startsWith(QLatin1String("/run/media/")))
            return DriveType::Removable;
        if (source.startsWith(QLatin1String("/dev/"))) {
            // A removable block device says so in sysfs (the partition's parent disk).
            QString dev = QFileInfo(source).canonicalFilePath();
            if (dev.isEmpty())
                dev = source;
            const QString name = QFileInfo(dev).fileName();
            for (const QString &candidate : { QStringLiteral("/sys/class/block/%1/removable").arg(name),
                     QStringLiteral("/sys/class/block/%1/../removable").arg(name) }) {
                QFile f(candidate);
                if (f.open(QIODevice::ReadOnly) && f.readAll().trimmed() == "1")
                    return DriveType::Removable;
            }
        }
        return DriveType::Fixed;
    }

} // namespace

QString DriveIconKey(DriveType t)
{
    switch (t) {
    case DriveType::CdRom:
        return QStringLiteral("cd");
    case DriveType::Removable:
        return QStringLiteral("disk");
    case DriveType::Network:
        return QStringLiteral("netdrive");
    case DriveType::Fixed:
        break;
    }
    return QStringLiteral("drive");
}

std::vector<Volume> VolumesFromMountInfo(const QString &mountInfo)
{
    std::vector<Volume> volumes { { QStringLiteral("/"), QString(), DriveType::Fixed } };
    for (const QString &line : mountInfo.split(u'\n', Qt::SkipEmptyParts)) {
        // id parent major:minor root mount-point options [optional...] - fstype source super-options
        const QStringList f = line.split(u' ', Qt::SkipEmptyParts);
        const qsizetype dash = f.indexOf(QStringLiteral("-"));
        if (f.size() < 5 || dash < 5 || dash + 2 >= f.size())
            continue;
        const QString mountPoint = unescapeMount(f[4]);
        const QString fs = f[dash + 1];
        const QString source = unescapeMount(f[dash + 2]);
        if (mountPoint == QLatin1String("/") || isPseudoFs(fs) || f[3] != QLatin1String("/"))
            continue; // the root is already there; bind mounts of sub-folders are not volumes
        if (mountPoint.startsWith(QLatin1String("/proc")) || mountPoint.startsWith(QLatin1String("/sys"))
            || mountPoint.startsWith(QLatin1String("/dev")) || mountPoint.startsWith(QLatin1String("/run/user"))
            || mountPoint == QLatin1String("/boot/efi"))
            continue;
        if (std::any_of(volumes.begin(), volumes.end(), [&](const Volume &v) { return v.path == mountPoint; }))
            continue;
        volumes.push_back({ mountPoint, QString(), typeOf(fs, mountPoint, source) });
    }
    std::sort(volumes.begin() + 1, volumes.end(), [](const Volume &a, const Volume &b) { return a.path < b.path; });
    return volumes;
}

std::vector<Volume> ListVolumes()
{
    QFile f(QStringLiteral("/proc/self/mountinfo"));
    if (!f.open(QIODevice::ReadOnly))
        return { { QStringLiteral("/"), QString(), DriveType::Fixed } };
    return VolumesFromMountInfo(QString::fromUtf8(f.readAll()));
}

QString FolderBaseName(const QString &path)
{
    if (path == QLatin1String("/"))
        return path;
    QString name = path.section(u'/', -1);
    // A leading dot marks a hidden folder, not an extension: ".local" keeps its name.
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot > 0)
        name.truncate(dot);
    return name;
}

QString JoinPath(const QString &folder, const QString &name)
{
    if (folder.endsWith(u'/'))
        return folder + name;
    return folder + u'/' + name;
}

QStringList ListSubfolders(const QString &folder)
{
    QDir dir(folder);
    QStringList out;
    const QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    out.reserve(names.size());
    for (const QString &n : names)
        out << JoinPath(folder, n);
    return out;
}

bool HasSubfolders(const QString &folder)
{
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return false;
    bool found = false;
    while (const dirent *e = ::readdir(dir)) {
        const char *n = e->d_name;
        if (n[0] == '.')
            continue; // ".", ".." and hidden folders, which the tree does not show
        if (e->d_type == DT_DIR) {
            found = true;
            break;
        }
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st {
            };
            const QByteArray full = QFile::encodeName(JoinPath(folder, QFile::decodeName(n)));
            if (::stat(full.constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
                found = true;
                break;
            }
        }
    }
    ::closedir(dir);
    return found;
}

QStringList AncestorChain(const QString &path, const std::vector<Volume> &volumes)
{
    // The deepest volume that holds the path is where the chain starts.
    QString top = QStringLiteral("/");
    for (const Volume &v : volumes) {
        if ((path == v.path || path.startsWith(v.path + u'/')) && v.path.size() > top.size())
            top = v.path;
    }
    QStringList chain;
    QString p = path;
    while (!p.isEmpty() && p != top && p != QLatin1String("/")) {
        chain.prepend(p);
        const qsizetype slash = p.lastIndexOf(u'/');
        p = slash <= 0 ? QStringLiteral("/") : p.left(slash);
    }
    chain.prepend(top);
    return chain;
}

namespace
{

    // The message for a failed make or rename: ours for a taken or bad name, else the
    // system's own description of the error.
    QString editFailureText(int err)
    {
        if (err == EEXIST || err == ENOTEMPTY)
            return QString::fromLatin1(TextFolderExists);
        if (err == EINVAL || err == ENAMETOOLONG || err == EILSEQ)
            return QString::fromLatin1(TextFolderInvalid);
        return QString::fromLocal8Bit(std::strerror(err));
    }

    bool validName(const QString &name)
    {
        return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") && !name.contains(u'/')
            && !name.contains(QChar(0)) && QFile::encodeName(name).size() <= 255;
    }

} // namespace

QString CreateFolderChecked(const QString &parent, const QString &name, QString *newPath)
{
    if (!validName(name))
        return QString::fromLatin1(TextFolderInvalid);
    const QString path = JoinPath(parent, name);
    if (QFileInfo::exists(path))
        return QString::fromLatin1(TextFolderExists);
    if (::mkdir(QFile::encodeName(path).constData(), 0777) != 0)
        return editFailureText(errno);
    if (newPath)
        *newPath = path;
    return QString();
}

QString RenameFolderChecked(const QString &path, const QString &newName, QString *newPath)
{
    if (!validName(newName))
        return QString::fromLatin1(TextFolderInvalid);
    const qsizetype slash = path.lastIndexOf(u'/');
    const QString parent = slash <= 0 ? QStringLiteral("/") : path.left(slash);
    const QString target = JoinPath(parent, newName);
    if (target == path) {
        if (newPath)
            *newPath = path;
        return QString();
    }
    // Never replace what is there: a rename onto an existing name is refused.
    if (QFileInfo::exists(target))
        return QString::fromLatin1(TextFolderExists);
    if (::renameat2(AT_FDCWD,
            QFile::encodeName(path).constData(),
            AT_FDCWD,
            QFile::encodeName(target).constData(),
            RENAME_NOREPLACE)
        != 0)
        return editFailureText(errno);
    if (newPath)
        *newPath = target;
    return QString();
}

} // namespace v7
