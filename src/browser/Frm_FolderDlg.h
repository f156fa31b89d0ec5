// The folder picker "Browse for folder": a modal tree of volumes and folders.
//
// Threads: user-interface thread only.
#pragma once

#include <QDialog>

class QLabel;

namespace v7
{

class FolderTreeWidget;

class Frm_FolderDlg : public QDialog
{
    Q_OBJECT
public:
    explicit Frm_FolderDlg(QWidget *parent = nullptr);
    // The chosen folder, empty when the user cancelled.
    QString result() const { return m_result; }
    FolderTreeWidget *tree() const { return m_tree; }
    // Shows the picker modally and returns the chosen folder (empty for Cancel).
    static QString pickFolder(QWidget *parent);

private:
    FolderTreeWidget *m_tree = nullptr;
    QLabel *m_path = nullptr;
    QString m_result;
};

} // namespace v7
