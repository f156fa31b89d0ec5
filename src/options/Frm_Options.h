// The options dialog: three tabs of controls over the settings. Load copies the
// settings into the controls, Apply writes them back, saves them and tells the
// window that asked; OK is Apply and close, Cancel closes without a change.
// Colours chosen are kept in the dialog until Apply.
//
// Threads: user-interface thread only.
#pragma once

#include "options/OptionsLogic.h"

#include <QColor>
#include <QDialog>
#include <array>
#include <functional>

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QScrollBar;
class QSlider;
class QSpinBox;
class QTabWidget;

namespace v7
{

class SampleCell;

class Frm_Options : public QDialog
{
    Q_OBJECT
public:
    // What the dialog reads from and applies to the running window.
    struct Host {
        std::function<WindowOptions()> windowOptions;
        // After the settings were written: the window takes the new values.
        std::function<void(const ApplyOutcome &, const WindowOptions &)> apply;
        std::function<QString()> currentFolder;
        std::function<void()> clearFolderHistory;
        // Ends the running thumbnail display before its folder's cache is deleted; false
        // when a display still holds the cache (it is then left alone).
        std::function<bool()> stopDisplay;
    };
    Frm_Options(QWidget *owner, Host host);

    // Fills the controls from the settings and the window.
    void Form_Load();
    // Btn_Apply; Btn_OK is this followed by closing.
    void Apply();
    // The controls as values, and back.
    OptionsValues values() const;
    void setValues(const OptionsValues &v);
    // Btn_Addtype with the text of Txt_Addtype.
    void AddType();
    // Btn_TCache after the question was answered (tests answer it themselves).
    void DeleteCache(bool confirmed);
    QString cacheSizeText() const;
    int sampleRedraws() const; // how often the sample cell was given new values

    // The colour chooser (QColorDialog); tests put their own in its place.
    std::function<QColor(const QColor &initial, QWidget *parent)> pickColor;
    // The question before deleting a cache; true for Yes.
    std::function<bool(const QString &text, QWidget *parent)> confirmDelete;

    // The tab shown when the dialog opens next (the one used last).
    static int lastTab();

    QTabWidget *tbsOptions = nullptr;
    QPushButton *Btn_OK = nullptr, *Btn_Cancel = nullptr, *Btn_Apply = nullptr;
    QPushButton *Btn_TColorBack = nullptr, *Btn_TColorFrame = nullptr, *Btn_TColorText = nullptr;
    QPushButton *Btn_ViewColor = nullptr, *Btn_TCache = nullptr, *Btn_Addtype = nullptr, *Command1 = nullptr;
    QScrollBar *HScroll1 = nullptr;
    QSlider *Slider_Frame = nullptr, *Slider_TRows = nullptr;
    std::array<QSlider *, 2> Slider1 {};
    QListWidget *List1 = nullptr, *List_FTypes = nullptr;
    QLineEdit *Text1 = nullptr, *Txt_Addtype = nullptr, *Txt_Editor = nullptr;
    QLabel *Lbl_ViewColor = nullptr, *Lbl_CacheSize = nullptr;
    SampleCell *Pic_Thumb = nullptr;
    std::array<QRadioButton *, 2> Opt_Aspect {};
    std::array<QRadioButton *, 3> Opt_Caption {};
    std::array<QRadioButton *, 3> Opt_Threads {};
    QCheckBox *Chk_ThumbCaption = nullptr, *Chk_Quality = nullptr, *Chk_Cache = nullptr, *Chk_Comp = nullptr;
    QCheckBox *Chk_ShowInfo = nullptr, *Chk_Embedded = nullptr, *Chk_DeletePermanently = nullptr;
    QSpinBox *Txt_CacheMax = nullptr;

Q_SIGNALS:
    void applied();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *buildThumbnailsTab();
    QWidget *buildEffectTab();
    QWidget *buildGeneralTab();
    void chooseColor(std::uint32_t &color);
    void refreshSample();
    void fillFileTypes(const QList<FileTypeChoice> &types);

    Host m_host;
    // The colours as chosen so far; written by Apply only.
    std::uint32_t m_thumbColor = 0, m_frameColor = 0, m_textColor = 0, m_viewColor = 0;
    std::array<QLabel *, 5> m_valueLabels {};
};

} // namespace v7
