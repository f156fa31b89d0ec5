// The file-operation service of the file commands: the question before a delete,
// a modal progress dialog with the file name and Cancel, and the question when a
// target exists (Replace, Skip, Keep both, for all).
//
// Threads: user-interface thread only.
#pragma once

#include "fileops/FileOperation.h"

#include <QString>
#include <QStringList>

class QWidget;

namespace v7
{

// "StartUp\DeletePermanently": delete removes instead of moving to the trash.
bool DeletePermanentlySetting();

// operation: 1 move, 2 copy, 3 delete; destination: a folder (ignored for delete).
// True when everything succeeded and the user did not cancel. *result, when given,
// says what was done item by item (a skipped conflict is not done).
bool ShellFileOperation(QWidget *owner,
    int operation,
    const QString &destination,
    const QStringList &sources,
    FileOperationResult *result = nullptr);

} // namespace v7
