#include "platform/Shell.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

bool MoveToTrash(const QString &path, QString *error)
{
    if (IsProtectedFolder(path)) {
        if (error)
            *error = QStringLiteral("This folder cannot be deleted.");
        return false;
    }
    QFile f(path);
    if (!QFileInfo::exists(path)) {
        if (error)
            *error = QStringLiteral("The folder does not exist.");
        return false;
    }
    // The home trash must exist first: without it the trash call can report success
    // and leave the item under a relative "files/" folder of the working directory.
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty() || !QDir::isAbsolutePath(dataHome))
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    for (const char *sub : { "/Trash/files", "/Trash/info" })
        QDir().mkpath(dataHome + QLatin1String(sub));
    const QString original = QFileInfo(path).absoluteFilePath();
    if (!f.moveToTrash()) {
        if (error)
            *error = f.errorString();
        return false;
    }
    const QString trashed = f.fileName();
    if (!QDir::isAbsolutePath(trashed) || !trashed.contains(QLatin1String("Trash"))) {
        // Not a trash we know: put it back where it was and say so.
        QFile::rename(trashed, original);
        if (error)
            *error = QStringLiteral("The trash could not be reached.");
        return false;
    }
    return true;
}

} // namespace v7
