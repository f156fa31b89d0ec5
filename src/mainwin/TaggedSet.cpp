#include "mainwin/TaggedSet.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>

namespace v7
{

namespace
{

    // A tagged list is a user's handful of files; a file far larger than any such
    // list is not one of ours and is not read.
    constexpr qint64 MaxFileBytes = 16 * 1024 * 1024;
    constexpr int MaxEntries = 100000;

    QString parentOf(const QString &path)
    {
        const int slash = path.lastIndexOf(u'/');
        if (slash < 0)
            return QString();
        return slash == 0 ? QStringLiteral("/") : path.left(slash);
    }

} // namespace

int TaggedSet::indexOf(const QString &path) const
{
    for (size_t i = 0; i < m_files.size(); ++i)
        if (m_files[i].path == path)
            return int(i);
    return -1;
}

bool TaggedSet::add(const QString &path, const QString &sizeText, const QString &dateText)
{
    if (path.isEmpty() || contains(path))
        return false;
    m_files.push_back({ path, sizeText, dateText });
    return true;
}

bool TaggedSet::remove(const QString &path)
{
    const int i = indexOf(path);
    if (i < 0)
        return false;
    m_files.erase(m_files.begin() + i);
    return true;
}

QStringList TaggedSet::paths() const
{
    QStringList out;
    for (const TaggedFile &f : m_files)
        out << f.path;
    return out;
}

int TaggedSet::dropMissing()
{
    const auto gone =
        std::remove_if(m_files.begin(), m_files.end(), [](const TaggedFile &f) { return !QFileInfo(f.path).isFile(); });
    const int count = int(m_files.end() - gone);
    m_files.erase(gone, m_files.end());
    return count;
}

std::vector<TaggedFile> TaggedSet::inFolder(const QString &folder) const
{
    std::vector<TaggedFile> out;
    for (const TaggedFile &f : m_files)
        if (parentOf(f.path) == folder)
            out.push_back(f);
    return out;
}

bool TaggedSet::save(const QString &file) const
{
    if (m_files.empty())
        return !QFileInfo::exists(file) || QFile::remove(file);
    QDir().mkpath(QFileInfo(file).absolutePath());
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    QByteArray bytes;
    for (const TaggedFile &f : m_files) {
        // A tab or a line break cannot be written in a field of this format; such a
        // name is not kept across runs rather than written so it reads back wrong.
        const QString line = f.path + u'\t' + f.sizeText + u'\t' + f.dateText;
        if (line.count(u'\t') != 2 || line.contains(u'\n') || line.contains(u'\r'))
            continue;
        bytes += line.toUtf8() + '\n';
    }
    out.write(bytes);
    return out.commit();
}

TaggedSet TaggedSet::load(const QString &file)
{
    TaggedSet set;
    QFile in(file);
    if (in.size() > MaxFileBytes || !in.open(QIODevice::ReadOnly))
        return set;
    const QByteArray bytes = in.read(MaxFileBytes);
    for (const QByteArray &raw : bytes.split('\n')) {
        if (set.size() >= MaxEntries)
            break;
        const QStringList fields = QString::fromUtf8(raw).split(u'\t');
        if (fields.size() != 3 || !fields[0].startsWith(u'/'))
            continue;
        if (!QFileInfo(fields[0]).isFile())
            continue; // gone since it was tagged
        set.add(fields[0], fields[1], fields[2]);
    }
    return set;
}

QString TaggedSet::defaultFile()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/Vorlane7/tagged.txt");
}

} // namespace v7
