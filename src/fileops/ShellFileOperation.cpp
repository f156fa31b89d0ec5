#include "fileops/ShellFileOperation.h"

#include "app/Settings.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>

namespace v7
{

bool DeletePermanentlySetting()
{
    return settingToBool(ReadSetting(QStringLiteral("StartUp"), QStringLiteral("DeletePermanently"), 0));
}

namespace
{

    ConflictAnswer askConflict(QWidget *owner, const QString &source, const QString &target)
    {
        const QFileInfo t(target);
        QMessageBox box(QMessageBox::Question,
            QStringLiteral("File exists"),
            QStringLiteral("\"%1\" already exists in \"%2\".\n\nReplace it with the one from \"%3\"?")
                .arg(t.fileName(), t.absolutePath(), QFileInfo(source).absolutePath()),
            QMessageBox::NoButton,
            owner);
        QPushButton *replace = box.addButton(QStringLiteral("&Replace"), QMessageBox::AcceptRole);
        QPushButton *skip = box.addButton(QStringLiteral("&Skip"), QMessageBox::RejectRole);
        QPushButton *keep = box.addButton(QStringLiteral("&Keep both"), QMessageBox::AcceptRole);
        QPushButton *cancel = box.addButton(QMessageBox::Cancel);
        box.setDefaultButton(skip);
        box.setEscapeButton(cancel);
        auto *all = new QCheckBox(QStringLiteral("Do this for &all conflicts"), &box);
        box.setCheckBox(all);
        box.exec();
        ConflictAnswer a;
        a.forAll = all->isChecked();
        if (box.clickedButton() == replace)
            a.choice = ConflictChoice::Replace;
        else if (box.clickedButton() == keep)
            a.choice = ConflictChoice::KeepBoth;
        else if (box.clickedButton() == skip)
            a.choice = ConflictChoice::Skip;
        else
            a.choice = ConflictChoice::Cancel;
        return a;
    }

    QString itemsText(qsizetype n)
    {
        return n == 1 ? QStringLiteral("1 item") : QStringLiteral("%1 items").arg(n);
    }

    // One item by its name, so the question says which file or folder goes.
    QString namedItemsText(const QStringList &sources)
    {
        if (sources.size() == 1)
            return QLatin1Char('"') + QFileInfo(sources.first()).fileName() + QLatin1Char('"');
        return itemsText(sources.size());
    }

} // namespace

bool ShellFileOperation(
    QWidget *owner, int operation, const QString &destination, const QStringList &sources, FileOperationResult *result)
{
    FileOperationResult local;
    FileOperationResult &r = result ? *result : local;
    r = FileOperationResult();
    if (operation < 1 || operation > 3)
        return false;
    const auto op = FileOp(operation);
    const QString refusal = RefusalReason(op, sources, destination);
    if (!refusal.isEmpty()) {
        r.error = refusal;
        QMessageBox::warning(owner, QStringLiteral("Vorlane7"), refusal);
        return false;
    }
    const bool permanent = op == FileOp::Delete && DeletePermanentlySetting();
    if (op == FileOp::Delete) {
        const QString question = permanent
            ? QStringLiteral("Permanently delete %1? This cannot be undone.").arg(namedItemsText(sources))
            : QStringLiteral("Move %1 to the trash?").arg(namedItemsText(sources));
        if (QMessageBox::question(owner,
                permanent ? QStringLiteral("Delete") : QStringLiteral("Move to Trash"),
                question,
                QMessageBox::Yes | QMessageBox::No,
                QMessageBox::Yes)
            != QMessageBox::Yes) {
            r.cancelled = true;
            return false;
        }
    }
    const char *verb = op == FileOp::Move ? "Moving" : op == FileOp::Copy ? "Copying" : "Deleting";
    QProgressDialog progress(owner);
    progress.setWindowTitle(QString::fromLatin1(verb));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(400); // short work finishes before it shows
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    progress.setRange(0, 1000);
    progress.setValue(0);
    FileOperationHooks hooks;
    hooks.progress = [&](const QString &name, qint64 done, qint64 total) {
        progress.setLabelText(QStringLiteral("%1 %2").arg(QString::fromLatin1(verb), name));
        progress.setValue(total > 0 ? int(std::min<qint64>(999, done * 1000 / total)) : 0);
        QCoreApplication::processEvents();
        return !progress.wasCanceled();
    };
    hooks.conflict = [&](const QString &source, const QString &target) {
        return askConflict(progress.isVisible() ? static_cast<QWidget *>(&progress) : owner, source, target);
    };
    r = RunFileOperation(op, sources, destination, permanent, hooks);
    progress.close();
    if (r.cancelled) {
        QMessageBox::information(owner,
            QStringLiteral("Vorlane7"),
            QStringLiteral("Cancelled: %1 of %2 done.").arg(r.done.size()).arg(itemsText(sources.size())));
    } else if (!r.error.isEmpty()) {
        QMessageBox::warning(owner,
            QStringLiteral("Vorlane7"),
            QStringLiteral("%1\n\n%2 of %3 done.").arg(r.error).arg(r.done.size()).arg(itemsText(sources.size())));
    }
    return r.ok;
}

} // namespace v7
