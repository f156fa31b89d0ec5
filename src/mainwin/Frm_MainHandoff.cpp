// Handing the selected image to the world outside: the clipboard, the printer,
// the desktop's program for the file (or the editor named in the settings), the
// help, and the deferred close of the window.
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "imaging/ImageLoad.h"
#include "mainwin/Frm_Main.h"
#include "mainwin/PrintPage.h"
#include "platform/Shell.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QProcess>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

namespace v7
{

namespace
{

    // The editor named in the settings, as a program and its arguments for one file.
    QStringList editorCommandFor(const QString &file)
    {
        return EditorArguments(
            settingToText(ReadSetting(QStringLiteral("StartUp"), QStringLiteral("EditorCommand"))), file);
    }

    // Starts the editor without waiting for it: the window never blocks on another
    // program. False when none is named or it cannot be started.
    bool startEditor(const QString &file, const QString &workingFolder)
    {
        QStringList parts = editorCommandFor(file);
        if (parts.isEmpty())
            return false;
        const QString program = parts.takeFirst();
        return QProcess::startDetached(program, parts, workingFolder);
    }

} // namespace

int Frm_Main::selectedRow() const
{
    const QModelIndex current = Lvw_Files->currentIndex();
    return current.isValid() ? current.row() : -1;
}

bool Frm_Main::CopyToClipboard()
{
    const int row = selectedRow();
    if (row < 0)
        return false;
    const QString path = filePathAt(row);
    const QImage image = LoadImageDib(path, 32, true);
    if (image.isNull())
        return false; // the clipboard keeps what it held
    auto *mime = new QMimeData;
    mime->setImageData(image);
    mime->setUrls({ QUrl::fromLocalFile(path) });
    QGuiApplication::clipboard()->setMimeData(mime);
    // An editor already open takes the paste from the clipboard: no second copy of it.
    const QStringList editor = editorCommandFor(path);
    if (!editor.isEmpty() && !ProgramRunning(editor.first()))
        startEditor(path, QFileInfo(path).path());
    return true;
}

bool Frm_Main::PrintTo(QPrinter &printer, int row)
{
    if (row < 0 || row >= m_files->rowCount())
        return false;
    const QImage image = LoadImageDib(filePathAt(row), 32, true);
    if (image.isNull())
        return false;
    const FileEntry &e = m_files->entries()[size_t(row)];
    QPainter painter;
    if (!painter.begin(&printer))
        return false;
    const QRect page(0, 0, printer.width(), printer.height());
    PaintPrintPage(painter, page, image, PrintPageLines(e.name, FormatThousands(e.size), FormatFileDate(e.modified())));
    return painter.end();
}

void Frm_Main::PrintSelected()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    QPrinter printer(QPrinter::HighResolution);
    printer.setDocName(m_files->entries()[size_t(row)].name);
    QPrintDialog dialog(&printer, this);
    Q_EMIT printDialogShown(&dialog);
    if (dialog.exec() != QDialog::Accepted)
        return;
    PrintTo(printer, row);
}

void Frm_Main::OpenForEditing()
{
    const int row = selectedRow();
    if (row < 0)
        return;
    const QString path = filePathAt(row);
    if (!startEditor(path, QFileInfo(path).path()))
        QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

QString Frm_Main::helpFile()
{
    // Beside the program in the build tree, under share/ once installed.
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString &candidate :
        { dir + QStringLiteral("/help/index.html"), dir + QStringLiteral("/../share/vorlane7/help/index.html") })
        if (QFileInfo::exists(candidate))
            return QFileInfo(candidate).canonicalFilePath();
    return QString();
}

void Frm_Main::OpenHelp()
{
    const QString file = helpFile();
    if (!file.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(file));
}

void Frm_Main::RequestExit()
{
    // The close comes from the timer, outside whatever loop asked for it.
    if (!Timer1) {
        Timer1 = new QTimer(this);
        Timer1->setSingleShot(true);
        Timer1->setInterval(200);
        connect(Timer1, &QTimer::timeout, this, [this] {
            m_closeFromTimer = true;
            close();
            m_closeFromTimer = false;
        });
    }
    if (!Timer1->isActive())
        Timer1->start();
}

bool Frm_Main::deferClose(QCloseEvent *event)
{
    // The close box is answered through the timer; a close asked for by the program
    // itself (the session ending, the timer's own tick) goes ahead at once.
    if (m_closeFromTimer || !event->spontaneous())
        return false;
    event->ignore();
    RequestExit();
    return true;
}

} // namespace v7
