#include "fileops/BatchConvert.h"

#include "fileops/BatchRename.h"
#include "fileops/ImageSave.h"
#include "imaging/ImageLoad.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/ThumbMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace v7
{

const std::array<ConvertFormat, 8> &convertFormats()
{
    static const std::array<ConvertFormat, 8> formats { {
        { "Bmp - 8bit", 8 },
        { "Bmp - 24bit", 24 },
        { "Gif - 8bit", 8 },
        { "Jpg - 24bit", 24 },
        { "Png - 8bit", 8 },
        { "Png - 24bit", 24 },
        { "Webp", 24 },
        { "Avif", 24 },
    } };
    return formats;
}

QString formatExtension(const QString &caption)
{
    return caption.section(QLatin1Char(' '), 0, 0).toLower();
}

bool ReplacePolicy::mayReplace(const QString &target)
{
    if (m_all >= 0)
        return m_all == 1;
    const ExistingAnswer a = m_ask ? m_ask(target) : ExistingAnswer::Skip;
    if (a == ExistingAnswer::ReplaceAll)
        m_all = 1;
    else if (a == ExistingAnswer::SkipAll)
        m_all = 0;
    return a == ExistingAnswer::Replace || a == ExistingAnswer::ReplaceAll;
}

bool sameFile(const QString &a, const QString &b)
{
    struct stat sa {
    };
    struct stat sb {
    };
    if (::stat(QFile::encodeName(a).constData(), &sa) != 0 || ::stat(QFile::encodeName(b).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

QString reserveTemporaryFor(const QString &target)
{
    const QFileInfo fi(target);
    const QString suffix = fi.suffix().isEmpty() ? QString() : QLatin1Char('.') + fi.suffix();
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString name = QStringLiteral(".v7write-%1%2")
                                 .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'))
                                 .arg(suffix);
        const QString path = fi.dir().filePath(name);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
        if (errno != EEXIST)
            return {};
    }
    return {};
}

bool commitTemporary(const QString &temporary, const QString &target, bool replace, QString *error)
{
    bool ok = false;
    if (replace) {
        // rename() swaps the old target out in one step: no moment without a file.
        ok = ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(target).constData()) == 0;
        if (!ok && error)
            *error = systemErrorText(errno);
    } else {
        ok = renameNoReplace(temporary, target, error);
    }
    if (!ok)
        QFile::remove(temporary);
    return ok;
}

namespace
{

    std::int64_t fileSize(const QString &path)
    {
        const QFileInfo fi(path);
        return fi.exists() ? fi.size() : -1;
    }

    // An existing target: kept unless the user lets it go. The source itself never.
    bool targetBlocked(
        const QString &source, const QString &target, ReplacePolicy &policy, WriteResult *r, bool *replace)
    {
        *replace = false;
        const QFileInfo ti(target);
        if (!ti.exists() && !ti.isSymLink())
            return false;
        if (!source.isEmpty() && sameFile(source, target)) {
            r->outcome = WriteOutcome::SameAsSource;
            return true;
        }
        if (!policy.mayReplace(target)) {
            r->outcome = WriteOutcome::Skipped;
            return true;
        }
        *replace = true;
        return false;
    }

} // namespace

WriteResult convertOne(const QString &source, const QString &target, int bits, int quality, ReplacePolicy &policy)
{
    WriteResult r;
    bool replace = false;
    if (targetBlocked(source, target, policy, &r, &replace))
        return r;
    const QImage image = LoadImageDib(source, 0, true);
    if (image.isNull()) {
        r.outcome = WriteOutcome::LoadFailed;
        return r;
    }
    const QString temp = reserveTemporaryFor(target);
    if (temp.isEmpty()) {
        r.error = systemErrorText(errno);
        return r;
    }
    // A JPEG from a JPEG keeps its EXIF block; the writer chooses by the temporary
    // name's extension, which is the target's.
    if (!SaveImageFile(temp, image, bits, quality, source)) {
        QFile::remove(temp);
        return r;
    }
    if (!commitTemporary(temp, target, replace, &r.error))
        return r;
    r.outcome = WriteOutcome::Written;
    r.size = fileSize(target);
    return r;
}

std::vector<WriteResult> exportThumbnails(
    const QString &folder, const std::vector<std::pair<QString, QString>> &targets, ReplacePolicy &policy)
{
    std::vector<WriteResult> results(targets.size());
    std::vector<bool> replace(targets.size(), false);
    std::vector<QString> temps(targets.size());
    NameMap toCache;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const auto &[name, target] = targets[i];
        bool rep = false;
        if (targetBlocked(joinPath(folder, name), target, policy, &results[i], &rep))
            continue;
        replace[i] = rep;
        temps[i] = reserveTemporaryFor(target);
        if (temps[i].isEmpty()) {
            results[i].error = systemErrorText(errno);
            continue;
        }
        toCache.push_back({ name, temps[i] });
    }
    const QString previous = OLEStorage::CurrentFolder();
    OLEStorage::SetCurrentFolder(folder);
    OLEStorage::ExportThumbs(toCache);
    OLEStorage::SetCurrentFolder(previous);
    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (temps[i].isEmpty())
            continue;
        if (fileSize(temps[i]) <= 0) { // no thumbnail of that file in the cache
            QFile::remove(temps[i]);
            results[i].outcome = WriteOutcome::LoadFailed;
            continue;
        }
        if (commitTemporary(temps[i], targets[i].second, replace[i], &results[i].error)) {
            results[i].outcome = WriteOutcome::Written;
            results[i].size = fileSize(targets[i].second);
        }
    }
    return results;
}

int saveBitsFor(const QString &source)
{
    ImageFileInfo info;
    info.fileName = source;
    return GetImageInfo(info) && info.bitsPerPixel <= 8 ? 8 : 24;
}

QString saveExtensionFor(const QString &sourceName)
{
    const QString ext = QFileInfo(sourceName).suffix().toLower();
    return imageTypeOf(ext) == ImageType::Jpeg ? QStringLiteral("jpg") : ext;
}

bool ensureFolder(const QString &folder, QString *error)
{
    if (QFileInfo(folder).isDir())
        return true;
    if (QDir().mkpath(folder) && QFileInfo(folder).isDir())
        return true;
    // mkpath does not say why: ask the system for the first missing level.
    QString missing = folder;
    while (!QFileInfo(QFileInfo(missing).path()).exists() && QFileInfo(missing).path() != missing)
        missing = QFileInfo(missing).path();
    const int err = ::mkdir(QFile::encodeName(missing).constData(), 0755) == 0 ? 0 : errno;
    if (error)
        *error = systemErrorText(err ? err : ENOENT);
    return false;
}

} // namespace v7
