// The batch operations dialog: rename with renumbering, save, convert and export
// thumbnails over a list of files, each with a check box. It gathers the choices,
// calls the batch logic (BatchPattern, BatchRename, BatchConvert) and shows the
// per-file results.
//
// Threads: user-interface thread only.
#pragma once

#include "fileops/BatchPattern.h"
#include "fileops/BatchRename.h"

#include <QDialog>
#include <QPair>
#include <QString>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QScrollBar;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace v7
{

class Frm_FileOps : public QDialog
{
    Q_OBJECT
public:
    enum class Mode { FileRename, FileSave, FileConvert, ThumbExport };
    // "FileRename", "FileSave", "FileConvert", "ThumbExport".
    static QString modeText(Mode mode);

    struct Entry {
        QString name; // the file's name in folder
        QString sizeText, dateText; // as the main list shows them
        int listIndex = -1; // its row in the main window's list
    };

    Frm_FileOps(Mode mode, const QString &folder, const std::vector<Entry> &entries, QWidget *parent = nullptr);

    Mode mode() const { return m_mode; }
    QTreeWidget *list() const { return Lvw_Files; }
    NamePattern pattern() const;
    void setPattern(const NamePattern &p);
    QLineEdit *templateBox() const { return Txt_Template; }
    QLineEdit *startBox() const { return Txt_Start; }
    QLineEdit *locationBox() const { return Txt_Location; }
    QCheckBox *applyToAllBox() const { return Chk_ApplyAll; }
    QComboBox *formatBox() const { return Cbo_Format; }
    QScrollBar *qualityBar() const { return Hsb_Quality; }
    QPushButton *okButton() const { return Btn_OK; }
    QPushButton *closeButton() const { return Btn_Close; }
    // The entries still in the list, in order: proposed name (or target folder) and
    // the current name.
    QStringList proposedNames() const;
    QStringList currentNames() const;
    // The size column of an entry after processing ("" when none was written).
    QString sizeText(int row) const;
    // The trouble marked on a proposed name (rename mode), None when it is fine.
    NameProblem problemAt(int row) const;
    // The size a finished export wrote at row; the dialog's caption during work.
    bool running() const { return m_running; }

    // The actions of the buttons, reachable for tests.
    void applyPattern(); // "&Test"
    void undoNames(); // "&Undo"
    void takeTemplate(const QString &text); // the template box
    void takeEntryName(int row); // a double-click on an entry
    void runAction(); // OK
    void requestCancel(); // "&Close" while working

Q_SIGNALS:
    // Files renamed: (old name, name now) in folder. The cache has followed already.
    void filesRenamed(const QString &folder, const QList<QPair<QString, QString>> &pairs);
    // Files written by save or convert (full paths).
    void filesWritten(const QStringList &paths);
    // Before each entry of a batch is processed (for tests: a cancel in the middle).
    void entryStarting(int done, int total);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void reject() override;

private:
    void buildWidgets();
    QWidget *buildNameTab();
    QWidget *buildLocationTab();
    QWidget *buildFormatTab();
    QWidget *buildDimensionTab();
    void onPatternEdited();
    void onStartTextEdited();
    void onApplyToAllToggled(bool on);
    void markProblems();
    bool progressStep(int done, int total);
    void runRename();
    void runConvert(bool convert);
    void runExport();
    QString targetFolderAt(int row) const;
    // Where an export writes: "New Location:", or the files' own folder when empty.
    QString exportLocation() const;
    QTreeWidgetItem *itemAt(int row) const;
    // "Directory does not exist, create ... ?"; false when the folder is not there after.
    bool offerFolder(const QString &folder, bool reportFailure);

    Mode m_mode;
    QString m_folder;
    bool m_running = false;
    bool m_cancel = false;
    bool m_patternApplied = false;

    QTreeWidget *Lvw_Files = nullptr;
    QLabel *Lbl_Hint = nullptr;
    QTabWidget *Tab_Options = nullptr;
    QLineEdit *Txt_Template = nullptr;
    QLineEdit *Txt_Prefix = nullptr;
    QLineEdit *Txt_Format = nullptr;
    QLineEdit *Txt_Suffix = nullptr;
    QLineEdit *Txt_Ext = nullptr;
    QLineEdit *Txt_Start = nullptr;
    QScrollBar *Spn_Start = nullptr;
    QLineEdit *Txt_Location = nullptr;
    QCheckBox *Chk_ApplyAll = nullptr;
    QComboBox *Cbo_Format = nullptr;
    QScrollBar *Hsb_Quality = nullptr;
    QLabel *Lbl_Quality = nullptr;
    QProgressBar *Prg_Batch = nullptr;
    QPushButton *Btn_OK = nullptr;
    QPushButton *Btn_Close = nullptr;
    QPushButton *Btn_Minimize = nullptr;
};

} // namespace v7
