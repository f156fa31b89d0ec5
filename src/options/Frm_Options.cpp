#include "options/Frm_Options.h"

#include "app/CustomFrame.h"
#include "browser/Frm_FolderDlg.h"
#include "imaging/Draw.h"
#include "thumbs/OLEStorage.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

namespace v7
{

// The sample cell: drawn at its real size, shrunk to fit when it is larger.
class SampleCell : public QWidget
{
public:
    explicit SampleCell(QWidget *parent)
        : QWidget(parent)
    {
        setMinimumSize(220, 240);
    }
    void setValues(const OptionsValues &v)
    {
        m_values = v;
        ++m_paints;
        update();
    }
    int redraws() const { return m_paints; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), palette().color(QPalette::Window));
        QImage cell(SampleCellSize(m_values), QImage::Format_RGB32);
        if (cell.isNull())
            return;
        {
            QPainter c(&cell);
            c.setFont(font());
            PaintSampleCell(c, m_values);
        }
        const QSize shown = cell.size().scaled(size(), Qt::KeepAspectRatio).boundedTo(cell.size());
        const QRect target(QPoint((width() - shown.width()) / 2, (height() - shown.height()) / 2), shown);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(target, cell);
    }

private:
    OptionsValues m_values;
    int m_paints = 0;
};

namespace
{

    int g_lastTab = 0;

    QLabel *valueLabel(QWidget *parent)
    {
        auto *l = new QLabel(parent);
        l->setMinimumWidth(36);
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        return l;
    }

    template <typename Slider> void setRange(Slider *s, OptionRange r)
    {
        s->setRange(r.min, r.max);
    }

    void showColor(QWidget *w, std::uint32_t bgr)
    {
        QPalette pal = w->palette();
        pal.setColor(QPalette::Window, colorFromBgr(bgr));
        w->setPalette(pal);
        w->setAutoFillBackground(true);
    }

    std::uint32_t toBgr(const QColor &c)
    {
        return std::uint32_t(c.red()) | (std::uint32_t(c.green()) << 8) | (std::uint32_t(c.blue()) << 16);
    }

} // namespace

int Frm_Options::lastTab()
{
    return g_lastTab;
}

Frm_Options::Frm_Options(QWidget *owner, Host host)
    : QDialog(owner)
    , m_host(std::move(host))
{
    setObjectName(QStringLiteral("Frm_Options"));
    setWindowTitle(QStringLiteral("Options"));
    CustomFrame::attach(this);
    pickColor = [](const QColor &initial, QWidget *parent) { return QColorDialog::getColor(initial, parent); };
    confirmDelete = [](const QString &text, QWidget *parent) {
        QMessageBox box(
            QMessageBox::Warning, QStringLiteral("Vorlane7"), text, QMessageBox::Yes | QMessageBox::No, parent);
        return box.exec() == QMessageBox::Yes;
    };

    tbsOptions = new QTabWidget(this);
    tbsOptions->setObjectName(QStringLiteral("tbsOptions"));
    tbsOptions->addTab(buildThumbnailsTab(), QStringLiteral("&Thumbnails"));
    tbsOptions->addTab(buildEffectTab(), QStringLiteral("&Preview Effect"));
    tbsOptions->addTab(buildGeneralTab(), QStringLiteral("&General "));
    connect(tbsOptions, &QTabWidget::currentChanged, this, [](int i) { g_lastTab = i; });

    Btn_OK = new QPushButton(QStringLiteral("OK"), this);
    Btn_Cancel = new QPushButton(QStringLiteral("Cancel"), this);
    Btn_Apply = new QPushButton(QStringLiteral("&Apply"), this);
    Btn_OK->setDefault(true);
    connect(Btn_OK, &QPushButton::clicked, this, [this] {
        QApplication::processEvents();
        Apply();
        close();
    });
    connect(Btn_Cancel, &QPushButton::clicked, this, &QWidget::close);
    connect(Btn_Apply, &QPushButton::clicked, this, &Frm_Options::Apply);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(Btn_OK);
    buttons->addWidget(Btn_Cancel);
    buttons->addWidget(Btn_Apply);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(tbsOptions);
    layout->addLayout(buttons);

    Form_Load();
    tbsOptions->setCurrentIndex(std::clamp(g_lastTab, 0, tbsOptions->count() - 1));
}

QWidget *Frm_Options::buildThumbnailsTab()
{
    auto *page = new QWidget;
    auto *grid = new QGridLayout(page);

    auto *look = new QGroupBox(page);
    auto *form = new QGridLayout(look);
    HScroll1 = new QScrollBar(Qt::Horizontal, look);
    HScroll1->setObjectName(QStringLiteral("HScroll1"));
    setRange(HScroll1, ThumbSizeRange);
    HScroll1->setPageStep(8);
    m_valueLabels[0] = valueLabel(look);
    form->addWidget(new QLabel(QStringLiteral("Thumbnails Size:"), look), 0, 0);
    form->addWidget(HScroll1, 0, 1);
    form->addWidget(m_valueLabels[0], 0, 2);
    auto *aspect = new QButtonGroup(look);
    auto *aspectRow = new QHBoxLayout;
    const char *const aspectNames[2] = { "Landscape", "Potrait" };
    for (int i = 0; i < 2; ++i) {
        Opt_Aspect[size_t(i)] = new QRadioButton(QString::fromLatin1(aspectNames[i]), look);
        aspect->addButton(Opt_Aspect[size_t(i)], i);
        aspectRow->addWidget(Opt_Aspect[size_t(i)]);
    }
    aspectRow->addStretch(1);
    form->addLayout(aspectRow, 1, 1, 1, 2);
    Slider_Frame = new QSlider(Qt::Horizontal, look);
    Slider_Frame->setObjectName(QStringLiteral("Slider_Frame"));
    Slider_Frame->setToolTip(QStringLiteral("Adjusts the thumbs frame thickness"));
    setRange(Slider_Frame, FrameRange);
    m_valueLabels[1] = valueLabel(look);
    form->addWidget(new QLabel(QStringLiteral("Frame Size:"), look), 2, 0);
    form->addWidget(Slider_Frame, 2, 1);
    form->addWidget(m_valueLabels[1], 2, 2);
    Slider_TRows = new QSlider(Qt::Horizontal, look);
    Slider_TRows->setObjectName(QStringLiteral("Slider_TRows"));
    Slider_TRows->setToolTip(QStringLiteral("Adjust the number of visible columns"));
    setRange(Slider_TRows, ThumbsRowRange);
    m_valueLabels[2] = valueLabel(look);
    form->addWidget(new QLabel(QStringLiteral("Thumbs Columns:"), look), 3, 0);
    form->addWidget(Slider_TRows, 3, 1);
    form->addWidget(m_valueLabels[2], 3, 2);
    auto *colours = new QHBoxLayout;
    Btn_TColorBack = new QPushButton(QStringLiteral("&Back color..."), look);
    Btn_TColorFrame = new QPushButton(QStringLiteral("&Frame color..."), look);
    Btn_TColorText = new QPushButton(QStringLiteral("&Text color..."), look);
    for (QPushButton *b : { Btn_TColorBack, Btn_TColorFrame, Btn_TColorText })
        colours->addWidget(b);
    form->addLayout(colours, 4, 0, 1, 3);
    connect(Btn_TColorBack, &QPushButton::clicked, this, [this] { chooseColor(m_thumbColor); });
    connect(Btn_TColorFrame, &QPushButton::clicked, this, [this] { chooseColor(m_frameColor); });
    connect(Btn_TColorText, &QPushButton::clicked, this, [this] { chooseColor(m_textColor); });
    Chk_ThumbCaption = new QCheckBox(QStringLiteral("&Show Caption"), look);
    form->addWidget(Chk_ThumbCaption, 5, 0);
    auto *captionRow = new QHBoxLayout;
    auto *caption = new QButtonGroup(look);
    const char *const captionNames[3] = { "File Size", "File Date", "File Info" };
    for (int i = 0; i < 3; ++i) {
        Opt_Caption[size_t(i)] = new QRadioButton(QString::fromLatin1(captionNames[i]), look);
        caption->addButton(Opt_Caption[size_t(i)], i);
        captionRow->addWidget(Opt_Caption[size_t(i)]);
    }
    form->addLayout(captionRow, 5, 1, 1, 2);
    Chk_Embedded = new QCheckBox(QStringLiteral("Use embedded camera previews for thumbnails"), look);
    form->addWidget(Chk_Embedded, 6, 0, 1, 3);
    grid->addWidget(look, 0, 0);

    Pic_Thumb = new SampleCell(page);
    Pic_Thumb->setObjectName(QStringLiteral("Pic_Thumb"));
    grid->addWidget(Pic_Thumb, 0, 1);

    auto *engine = new QGroupBox(page);
    auto *eg = new QGridLayout(engine);
    const char *const threadNames[3] = { "Single thread", "Multi thread", "External Task" };
    auto *threads = new QButtonGroup(engine);
    auto *threadRow = new QHBoxLayout;
    for (int i = 0; i < 3; ++i) {
        Opt_Threads[size_t(i)] = new QRadioButton(QString::fromLatin1(threadNames[i]), engine);
        threads->addButton(Opt_Threads[size_t(i)], i);
        threadRow->addWidget(Opt_Threads[size_t(i)]);
    }
    threadRow->addStretch(1);
    eg->addLayout(threadRow, 0, 0, 1, 4);
    Chk_Cache = new QCheckBox(QStringLiteral("C&ache thumbs"), engine);
    Chk_Cache->setToolTip(QStringLiteral("Use the last created thumbnail cache file."));
    Chk_Comp = new QCheckBox(QStringLiteral("&No compression"), engine);
    Chk_Comp->setToolTip(QStringLiteral("Has no effect: thumbnails are always stored compressed."));
    eg->addWidget(Chk_Cache, 1, 0);
    eg->addWidget(Chk_Comp, 1, 1);
    Text1 = new QLineEdit(engine);
    Text1->setObjectName(QStringLiteral("Text1"));
    auto *folderSelect = new QPushButton(QStringLiteral("..."), engine);
    folderSelect->setObjectName(QStringLiteral("Btn_FolderSelect"));
    connect(folderSelect, &QPushButton::clicked, this, [this] {
        const QString chosen = Frm_FolderDlg::pickFolder(this);
        if (!chosen.isEmpty())
            Text1->setText(chosen);
    });
    eg->addWidget(new QLabel(QStringLiteral("Cache Location:"), engine), 2, 0);
    eg->addWidget(Text1, 2, 1, 1, 2);
    eg->addWidget(folderSelect, 2, 3);
    Lbl_CacheSize = new QLabel(engine);
    Lbl_CacheSize->setObjectName(QStringLiteral("Lbl_CacheSize"));
    Lbl_CacheSize->setToolTip(QStringLiteral("The thumbnails cached for the current folder"));
    Btn_TCache = new QPushButton(QStringLiteral("&Delete"), engine);
    Btn_TCache->setToolTip(QStringLiteral("Deletes the thumb cache file for the current folder"));
    connect(Btn_TCache, &QPushButton::clicked, this, [this] {
        const QString folder = m_host.currentFolder ? m_host.currentFolder() : QString();
        if (folder.isEmpty())
            return;
        DeleteCache(confirmDelete(DeleteCacheQuestion(folder), this));
    });
    eg->addWidget(Lbl_CacheSize, 3, 1);
    eg->addWidget(Btn_TCache, 3, 2);
    Txt_CacheMax = new QSpinBox(engine);
    Txt_CacheMax->setObjectName(QStringLiteral("Txt_CacheMax"));
    setRange(Txt_CacheMax, CacheMaxRange);
    Txt_CacheMax->setToolTip(QStringLiteral("0: no limit"));
    eg->addWidget(new QLabel(QStringLiteral("Cache size limit (MB)"), engine), 4, 0);
    eg->addWidget(Txt_CacheMax, 4, 1);
    grid->addWidget(engine, 1, 0, 1, 2);

    // Every change of what the sample shows redraws it.
    for (QAbstractSlider *s : std::initializer_list<QAbstractSlider *> { HScroll1, Slider_Frame, Slider_TRows })
        connect(s, &QAbstractSlider::valueChanged, this, &Frm_Options::refreshSample);
    for (QAbstractButton *b : std::initializer_list<QAbstractButton *> {
             Opt_Aspect[0], Opt_Aspect[1], Chk_ThumbCaption, Opt_Caption[0], Opt_Caption[1], Opt_Caption[2] })
        connect(b, &QAbstractButton::toggled, this, &Frm_Options::refreshSample);
    return page;
}

QWidget *Frm_Options::buildEffectTab()
{
    auto *page = new QWidget;
    auto *grid = new QGridLayout(page);
    List1 = new QListWidget(page);
    List1->setObjectName(QStringLiteral("List1"));
    List1->addItems(EffectNames());
    grid->addWidget(List1, 0, 0, 1, 3);
    const char *const names[2] = { "Iterations:", "Delay (ms):" };
    const OptionRange ranges[2] = { IterationsRange, DelayRange };
    for (int i = 0; i < 2; ++i) {
        Slider1[size_t(i)] = new QSlider(Qt::Horizontal, page);
        setRange(Slider1[size_t(i)], ranges[i]);
        m_valueLabels[size_t(3 + i)] = valueLabel(page);
        grid->addWidget(new QLabel(QString::fromLatin1(names[i]), page), 1 + i, 0);
        grid->addWidget(Slider1[size_t(i)], 1 + i, 1);
        grid->addWidget(m_valueLabels[size_t(3 + i)], 1 + i, 2);
        connect(
            Slider1[size_t(i)], &QSlider::valueChanged, m_valueLabels[size_t(3 + i)], qOverload<int>(&QLabel::setNum));
    }
    Chk_Quality = new QCheckBox(QStringLiteral("&High Quality"), page);
    Chk_Quality->setToolTip(QStringLiteral("Increase image quality"));
    grid->addWidget(Chk_Quality, 3, 0, 1, 3);
    Btn_ViewColor = new QPushButton(QStringLiteral("&Back color..."), page);
    Lbl_ViewColor = new QLabel(page);
    Lbl_ViewColor->setObjectName(QStringLiteral("Lbl_ViewColor"));
    Lbl_ViewColor->setFrameShape(QFrame::Box);
    Lbl_ViewColor->setMinimumSize(60, 24);
    connect(Btn_ViewColor, &QPushButton::clicked, this, [this] {
        chooseColor(m_viewColor);
        showColor(Lbl_ViewColor, m_viewColor);
    });
    grid->addWidget(Btn_ViewColor, 4, 0);
    grid->addWidget(Lbl_ViewColor, 4, 1);
    Chk_ShowInfo = new QCheckBox(QStringLiteral("&Show image info on statusbar"), page);
    grid->addWidget(Chk_ShowInfo, 5, 0, 1, 3);
    grid->setRowStretch(6, 1);
    return page;
}

QWidget *Frm_Options::buildGeneralTab()
{
    auto *page = new QWidget;
    auto *grid = new QGridLayout(page);
    grid->addWidget(new QLabel(QStringLiteral("Available file type:"), page), 0, 0, 1, 2);
    List_FTypes = new QListWidget(page);
    List_FTypes->setObjectName(QStringLiteral("List_FTypes"));
    grid->addWidget(List_FTypes, 1, 0, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Type the new file type extension here:"), page), 2, 0, 1, 2);
    Txt_Addtype = new QLineEdit(page);
    Txt_Addtype->setObjectName(QStringLiteral("Txt_Addtype"));
    Btn_Addtype = new QPushButton(QStringLiteral("Add"), page);
    Btn_Addtype->setObjectName(QStringLiteral("Btn_Addtype"));
    connect(Btn_Addtype, &QPushButton::clicked, this, &Frm_Options::AddType);
    Txt_Addtype->installEventFilter(this); // Enter adds the type rather than pressing OK
    grid->addWidget(Txt_Addtype, 3, 0);
    grid->addWidget(Btn_Addtype, 3, 1);
    Command1 = new QPushButton(QStringLiteral("Clear folders history"), page);
    Command1->setObjectName(QStringLiteral("Command1"));
    connect(Command1, &QPushButton::clicked, this, [this] {
        if (m_host.clearFolderHistory)
            m_host.clearFolderHistory();
    });
    grid->addWidget(Command1, 4, 0, 1, 2);
    Chk_DeletePermanently = new QCheckBox(QStringLiteral("Delete permanently (skip the trash)"), page);
    grid->addWidget(Chk_DeletePermanently, 5, 0, 1, 2);
    Txt_Editor = new QLineEdit(page);
    Txt_Editor->setObjectName(QStringLiteral("Txt_Editor"));
    Txt_Editor->setPlaceholderText(QStringLiteral("empty: the desktop's default application"));
    grid->addWidget(new QLabel(QStringLiteral("Editor command"), page), 6, 0, 1, 2);
    grid->addWidget(Txt_Editor, 7, 0, 1, 2);
    return page;
}

void Frm_Options::fillFileTypes(const QList<FileTypeChoice> &types)
{
    List_FTypes->clear();
    for (const FileTypeChoice &t : types) {
        auto *item = new QListWidgetItem(t.type, List_FTypes);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(t.checked ? Qt::Checked : Qt::Unchecked);
    }
}

void Frm_Options::setValues(const OptionsValues &v)
{
    List1->setCurrentRow(v.effectIndex);
    Slider1[0]->setValue(v.effectIter);
    Slider1[1]->setValue(v.effectDelay);
    m_valueLabels[3]->setNum(v.effectIter);
    m_valueLabels[4]->setNum(v.effectDelay);
    Chk_Quality->setChecked(v.quality);
    HScroll1->setValue(v.thumbSize);
    Opt_Aspect[size_t(v.aspect == 1 ? 1 : 0)]->setChecked(true);
    Slider_Frame->setValue(v.frame);
    Slider_TRows->setValue(v.thumbsRow);
    Chk_Cache->setChecked(v.cacheThumbs);
    Chk_ThumbCaption->setChecked(v.showCaption);
    Opt_Caption[size_t(std::clamp(v.captionLine, 0, 2))]->setChecked(true);
    Text1->setText(v.cacheDir);
    Opt_Threads[size_t(std::clamp(v.threadMode, 0, 2))]->setChecked(true);
    m_thumbColor = v.thumbColor;
    m_frameColor = v.frameColor;
    m_textColor = v.textColor;
    m_viewColor = v.viewColor;
    showColor(Lbl_ViewColor, m_viewColor);
    Chk_Comp->setChecked(v.noCompression);
    Chk_ShowInfo->setChecked(v.showInfo);
    fillFileTypes(v.fileTypes);
    Chk_Embedded->setChecked(v.useEmbeddedThumbs);
    Txt_CacheMax->setValue(v.cacheMaxMB);
    Chk_DeletePermanently->setChecked(v.deletePermanently);
    Txt_Editor->setText(v.editorCommand);
    refreshSample();
}

OptionsValues Frm_Options::values() const
{
    OptionsValues v;
    v.effectIndex = std::max(0, List1->currentRow());
    v.effectIter = Slider1[0]->value();
    v.effectDelay = Slider1[1]->value();
    v.quality = Chk_Quality->isChecked();
    v.thumbSize = HScroll1->value();
    v.aspect = Opt_Aspect[1]->isChecked() ? 1 : 0;
    v.frame = Slider_Frame->value();
    v.thumbsRow = Slider_TRows->value();
    v.cacheThumbs = Chk_Cache->isChecked();
    v.showCaption = Chk_ThumbCaption->isChecked();
    v.captionLine = Opt_Caption[2]->isChecked() ? 2 : (Opt_Caption[1]->isChecked() ? 1 : 0);
    v.cacheDir = Text1->text();
    v.threadMode = Opt_Threads[2]->isChecked() ? 2 : (Opt_Threads[0]->isChecked() ? 0 : 1);
    v.thumbColor = m_thumbColor;
    v.frameColor = m_frameColor;
    v.textColor = m_textColor;
    v.viewColor = m_viewColor;
    v.noCompression = Chk_Comp->isChecked();
    v.showInfo = Chk_ShowInfo->isChecked();
    for (int i = 0; i < List_FTypes->count(); ++i) {
        const QListWidgetItem *item = List_FTypes->item(i);
        v.fileTypes.push_back({ item->text(), item->checkState() == Qt::Checked });
    }
    v.useEmbeddedThumbs = Chk_Embedded->isChecked();
    v.cacheMaxMB = Txt_CacheMax->value();
    v.deletePermanently = Chk_DeletePermanently->isChecked();
    v.editorCommand = Txt_Editor->text();
    return v;
}

void Frm_Options::Form_Load()
{
    const WindowOptions w = m_host.windowOptions ? m_host.windowOptions() : WindowOptions {};
    setValues(LoadOptions(settings(), w));
    Lbl_CacheSize->setText(cacheSizeText());
}

QString Frm_Options::cacheSizeText() const
{
    const QString folder = m_host.currentFolder ? m_host.currentFolder() : QString();
    if (folder.isEmpty())
        return CacheSizeText(0);
    return CacheSizeText(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName(folder)));
}

int Frm_Options::sampleRedraws() const
{
    return Pic_Thumb->redraws();
}

void Frm_Options::Apply()
{
    const OptionsValues v = values();
    WindowOptions w = m_host.windowOptions ? m_host.windowOptions() : WindowOptions {};
    const ApplyOutcome outcome = ApplyOptionsTo(v, settings(), w);
    StoreOptions(v);
    if (m_host.apply)
        m_host.apply(outcome, w);
    Q_EMIT applied();
}

bool Frm_Options::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Txt_Addtype && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            AddType();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void Frm_Options::AddType()
{
    QList<FileTypeChoice> types = values().fileTypes;
    if (AddFileTypeChoice(types, Txt_Addtype->text())) {
        fillFileTypes(types);
        Txt_Addtype->clear();
    }
}

void Frm_Options::DeleteCache(bool confirmed)
{
    const QString folder = m_host.currentFolder ? m_host.currentFolder() : QString();
    if (!confirmed || folder.isEmpty())
        return;
    Btn_TCache->setEnabled(false);
    const QPointer<Frm_Options> self(this);
    const auto stop = m_host.stopDisplay; // a copy: the wait may close the dialog
    const bool free = !stop || stop();
    const bool deleted =
        free && OLEStorage::DeleteFolderCache(OLEStorage::FolderStorageName(folder), OLEStorage::CacheFileName);
    if (!self)
        return; // closed while the display was winding down: the answer still stands
    if (deleted)
        Lbl_CacheSize->setText(QStringLiteral("0 KB"));
    Btn_TCache->setEnabled(true);
}

void Frm_Options::chooseColor(std::uint32_t &color)
{
    const QColor chosen = pickColor(colorFromBgr(color), this);
    if (!chosen.isValid())
        return; // cancelled: the colour stays
    color = toBgr(chosen);
    refreshSample();
}

void Frm_Options::refreshSample()
{
    if (!Pic_Thumb || !m_valueLabels[2])
        return; // still being built
    const OptionsValues v = values();
    m_valueLabels[0]->setNum(v.thumbSize);
    m_valueLabels[1]->setNum(v.frame);
    m_valueLabels[2]->setNum(v.thumbsRow);
    Pic_Thumb->setValues(v);
}

} // namespace v7
