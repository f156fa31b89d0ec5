#include "browser/Frm_FolderDlg.h"

#include "app/CustomFrame.h"
#include "browser/FolderTreeWidget.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace v7
{

Frm_FolderDlg::Frm_FolderDlg(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("Frm_FolderDlg"));
    CustomFrame::attach(this);
    setWindowTitle(QStringLiteral("Browse for folder"));
    resize(360, 420);
    auto *layout = new QVBoxLayout(this);
    m_tree = new FolderTreeWidget(this);
    m_tree->setObjectName(QStringLiteral("Tvw_Dir"));
    m_tree->SetDirTree(true);
    m_path = new QLabel(this);
    m_path->setObjectName(QStringLiteral("Lbl_Path"));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(m_tree, 1);
    layout->addWidget(m_path);
    layout->addWidget(buttons);
    // The label names the folder OK would give, whether it was clicked or
    // reached with the keys.
    connect(m_tree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem *item) {
        m_path->setText(item ? FolderTreeWidget::keyOf(item) : QString());
    });
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        m_result = FolderTreeWidget::keyOf(m_tree->currentItem());
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, [this] {
        m_result.clear();
        reject();
    });
}

QString Frm_FolderDlg::pickFolder(QWidget *parent)
{
    Frm_FolderDlg dlg(parent);
    dlg.exec();
    return dlg.result();
}

} // namespace v7
