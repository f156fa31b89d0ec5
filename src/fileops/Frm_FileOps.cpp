#include "fileops/Frm_FileOps.h"

#include "app/CustomFrame.h"
#include "app/Settings.h"
#include "browser/Listing.h"
#include "fileops/BatchConvert.h"
#include "thumbs/ThumbMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QSet>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace v7
{

namespace
{

    constexpr int FolderRole = Qt::UserRole; // the entry's own folder
    constexpr int ListIndexRole = Qt::UserRole + 1;
    constexpr int ProblemRole = Qt::UserRole + 2;
    constexpr int SizeColumn = 2;

    QString problemText(NameProblem p)
    {
        switch (p) {
        case NameProblem::Invalid:
            return QObject::tr("The file system cannot take this name");
        case NameProblem::ClashProposed:
            return QObject::tr("Another file is to get this name");
        case NameProblem::ClashExisting:
            return QObject::tr("A file of this name exists");
        case NameProblem::None:
            break;
        }
        return {};
    }

    ExistingAnswer askExisting(QWidget *parent, const QString &target)
    {
        QMessageBox box(QMessageBox::Question,
            QCoreApplication::applicationName(),
            QObject::tr("%1 exists already.").arg(QDir::toNativeSeparators(target)),
            QMessageBox::NoButton,
            parent);
        QPushButton *replace = box.addButton(QObject::tr("Replace"), QMessageBox::AcceptRole);
        QPushButton *skip = box.addButton(QObject::tr("Skip"), QMessageBox::RejectRole);
        QPushButton *replaceAll = box.addButton(QObject::tr("Replace all"), QMessageBox::AcceptRole);
        QPushButton *skipAll = box.addButton(QObject::tr("Skip all"), QMessageBox::RejectRole);
        box.setDefaultButton(skip);
        box.exec();
        if (box.clickedButton() == replace)
            return ExistingAnswer::Replace;
        if (box.clickedButton() == replaceAll)
            return ExistingAnswer::ReplaceAll;
        if (box.clickedButton() == skipAll)
            return ExistingAnswer::SkipAll;
        (void)skip;
        return ExistingAnswer::Skip;
    }

} // namespace

QString Frm_FileOps::modeText(Mode mode)
{
    switch (mode) {
    case Mode::FileRename:
        return QStringLiteral("FileRename");
    case Mode::FileSave:
        return QStringLiteral("FileSave");
    case Mode::FileConvert:
        return QStringLiteral("FileConvert");
    case Mode::ThumbExport:
        return QStringLiteral("ThumbExport");
    }
    return {};
}

Frm_FileOps::Frm_FileOps(Mode mode, const QString &folder, const std::vector<Entry> &entries, QWidget *parent)
    : QDialog(parent)
    , m_mode(mode)
    , m_folder(folder)
{
    setObjectName(QStringLiteral("Frm_FileOps"));
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint);
    buildWidgets();
    for (const Entry &e : entries) {
        auto *item = new QTreeWidgetItem(Lvw_Files);
        const bool byLocation = m_mode == Mode::FileSave || m_mode == Mode::FileConvert;
        item->setText(0, byLocation ? folder : e.name);
        item->setText(1, e.name);
        item->setData(0, FolderRole, folder);
        item->setData(0, ListIndexRole, e.listIndex);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable
            | (m_mode == Mode::FileRename ? Qt::ItemIsEditable : Qt::NoItemFlags));
        item->setCheckState(0, Qt::Checked);
    }
    switch (m_mode) {
    case Mode::FileRename:
        setWindowTitle(QStringLiteral("Rename Files"));
        Btn_OK->setEnabled(false); // until a pattern or an edit proposes names
        break;
    case Mode::FileSave:
        setWindowTitle(QStringLiteral("Save Files"));
        break;
    case Mode::FileConvert:
        setWindowTitle(QStringLiteral("Convert ") + QString::number(entries.size()) + QStringLiteral(" Files"));
        break;
    case Mode::ThumbExport:
        setWindowTitle(QStringLiteral("Export Thumbnails"));
        Txt_Prefix->setText(QStringLiteral("TN-*"));
        Txt_Ext->setText(QStringLiteral("jpg"));
        Txt_Location->setText(folder);
        applyPattern();
        break;
    }
    resize(620, 460);
    CustomFrame::attach(this);
}

void Frm_FileOps::buildWidgets()
{
    auto *top = new QVBoxLayout(this);
    Lvw_Files = new QTreeWidget(this);
    Lvw_Files->setObjectName(QStringLiteral("Lvw_Files"));
    Lvw_Files->setRootIsDecorated(false);
    Lvw_Files->setSelectionMode(QAbstractItemView::SingleSelection);
    Lvw_Files->setEditTriggers(QAbstractItemView::EditKeyPressed);
    Lvw_Files->setColumnCount(3);
    QStringList headers;
    switch (m_mode) {
    case Mode::FileRename:
        headers = { QStringLiteral("New Filename"), QStringLiteral("Current Filename") };
        break;
    case Mode::FileSave:
    case Mode::FileConvert:
        headers = { QStringLiteral("Location"), QStringLiteral("Filename") };
        break;
    case Mode::ThumbExport:
        headers = { QStringLiteral("New Thumbnails name"), QStringLiteral("Current Filename") };
        break;
    }
    headers << QString(); // the written file's size
    Lvw_Files->setHeaderLabels(headers);
    Lvw_Files->header()->resizeSection(0, 240);
    Lvw_Files->header()->resizeSection(1, 200);
    Lvw_Files->installEventFilter(this);
    connect(Lvw_Files, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) {
        if (m_mode == Mode::FileRename || m_mode == Mode::ThumbExport)
            takeEntryName(Lvw_Files->indexOfTopLevelItem(item));
    });
    connect(Lvw_Files, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem *, int column) {
        if (column != 0 || m_running)
            return;
        if (m_mode == Mode::FileRename)
            Btn_OK->setEnabled(true); // a name typed in place is a proposal too
        markProblems();
    });
    top->addWidget(Lvw_Files, 1);

    if (m_mode == Mode::FileRename) {
        Lbl_Hint = new QLabel(QStringLiteral("Double click on an item to base the renaming format. ")
                + QStringLiteral("You can rename individual file manually by pressing F2 on the selected item."),
            this);
        Lbl_Hint->setWordWrap(true);
        top->addWidget(Lbl_Hint);
    }

    Tab_Options = new QTabWidget(this);
    switch (m_mode) {
    case Mode::FileRename:
        Tab_Options->addTab(buildNameTab(), QStringLiteral("New Name"));
        break;
    case Mode::FileSave:
        Tab_Options->addTab(buildLocationTab(), QStringLiteral("Location"));
        break;
    case Mode::FileConvert:
        Tab_Options->addTab(buildFormatTab(), QStringLiteral("New Format"));
        Tab_Options->addTab(buildLocationTab(), QStringLiteral("Location"));
        break;
    case Mode::ThumbExport:
        Tab_Options->addTab(buildDimensionTab(), QStringLiteral("Dimension"));
        Tab_Options->addTab(buildLocationTab(), QStringLiteral("Location"));
        break;
    }
    top->addWidget(Tab_Options);

    Prg_Batch = new QProgressBar(this);
    Prg_Batch->setTextVisible(false);
    Prg_Batch->setValue(0);
    top->addWidget(Prg_Batch);

    auto *buttons = new QHBoxLayout;
    Btn_Minimize = new QPushButton(QStringLiteral("&Minimize"), this);
    Btn_OK = new QPushButton(QStringLiteral("OK"), this);
    Btn_Close = new QPushButton(QStringLiteral("&Close"), this);
    // Enter in the template box splits the template; it must not press OK.
    for (QPushButton *b : { Btn_Minimize, Btn_OK, Btn_Close }) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    buttons->addWidget(Btn_Minimize);
    buttons->addStretch(1);
    buttons->addWidget(Btn_OK);
    buttons->addWidget(Btn_Close);
    top->addLayout(buttons);
    connect(Btn_OK, &QPushButton::clicked, this, &Frm_FileOps::runAction);
    connect(Btn_Close, &QPushButton::clicked, this, &Frm_FileOps::reject);
    connect(Btn_Minimize, &QPushButton::clicked, this, [this] { setWindowState(windowState() | Qt::WindowMinimized); });
}

QWidget *Frm_FileOps::buildNameTab()
{
    auto *page = new QWidget;
    auto *g = new QGridLayout(page);
    Txt_Template = new QLineEdit(page);
    Txt_Template->setObjectName(QStringLiteral("Txt_Template"));
    Txt_Prefix = new QLineEdit(page);
    Txt_Format = new QLineEdit(page);
    Txt_Format->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("#*")), Txt_Format));
    Txt_Suffix = new QLineEdit(page);
    Txt_Ext = new QLineEdit(page);
    Txt_Ext->setMaximumWidth(60);
    Txt_Start = new QLineEdit(QStringLiteral("0"), page);
    Txt_Start->setObjectName(QStringLiteral("Txt_Start"));
    Txt_Start->setMaximumWidth(110);
    Txt_Start->installEventFilter(this);
    Spn_Start = new QScrollBar(Qt::Vertical, page);
    Spn_Start->setRange(0, int(StartNumberMax));
    Spn_Start->setInvertedAppearance(true); // the upper arrow counts up
    Spn_Start->setInvertedControls(true);
    Spn_Start->setFixedHeight(Txt_Start->sizeHint().height());
    auto *test = new QPushButton(QStringLiteral("&Test"), page);
    auto *undo = new QPushButton(QStringLiteral("&Undo"), page);
    for (QPushButton *b : { test, undo })
        b->setAutoDefault(false);

    g->addWidget(new QLabel(QStringLiteral("Template:"), page), 0, 0);
    g->addWidget(Txt_Template, 0, 1, 1, 7);
    g->addWidget(new QLabel(QStringLiteral("Prefix"), page), 1, 1);
    g->addWidget(new QLabel(QStringLiteral("Format:"), page), 1, 2);
    g->addWidget(new QLabel(QStringLiteral("Suffix"), page), 1, 3);
    g->addWidget(Txt_Prefix, 2, 1);
    g->addWidget(Txt_Format, 2, 2);
    g->addWidget(Txt_Suffix, 2, 3);
    g->addWidget(new QLabel(QStringLiteral("."), page), 2, 4);
    g->addWidget(Txt_Ext, 2, 5);
    g->addWidget(new QLabel(QStringLiteral("Start from:"), page), 3, 0);
    auto *startRow = new QHBoxLayout;
    startRow->setSpacing(0);
    startRow->addWidget(Txt_Start);
    startRow->addWidget(Spn_Start);
    startRow->addStretch(1);
    g->addLayout(startRow, 3, 1);
    g->addWidget(test, 3, 6);
    g->addWidget(undo, 3, 7);

    for (QLineEdit *e : { Txt_Prefix, Txt_Format, Txt_Suffix, Txt_Ext })
        connect(e, &QLineEdit::textEdited, this, &Frm_FileOps::onPatternEdited);
    connect(Txt_Template, &QLineEdit::returnPressed, this, [this] { takeTemplate(Txt_Template->text()); });
    connect(Txt_Start, &QLineEdit::textEdited, this, &Frm_FileOps::onStartTextEdited);
    connect(Spn_Start, &QScrollBar::valueChanged, this, [this](int v) {
        if (startValueOfText(Txt_Start->text(), StartNumberMax) != v) {
            Txt_Start->setText(formatStartNumber(v, int(Txt_Format->text().size())));
            applyPattern();
        }
    });
    connect(test, &QPushButton::clicked, this, &Frm_FileOps::applyPattern);
    connect(undo, &QPushButton::clicked, this, &Frm_FileOps::undoNames);
    return page;
}

QWidget *Frm_FileOps::buildDimensionTab()
{
    auto *page = new QWidget;
    auto *v = new QVBoxLayout(page);
    const Settings &s = settings();
    auto *dim = new QHBoxLayout;
    dim->addWidget(new QLabel(QStringLiteral("Current Dimension:"), page));
    auto *size = new QLabel(
        QString::number(s.ThumbW) + QStringLiteral(" x ") + QString::number(s.ThumbH) + QStringLiteral(" pixel"), page);
    size->setObjectName(QStringLiteral("Lbl_Dimension"));
    dim->addWidget(size);
    dim->addStretch(1);
    v->addLayout(dim);
    v->addWidget(buildNameTab()); // the exported names follow the same pattern
    return page;
}

QWidget *Frm_FileOps::buildLocationTab()
{
    auto *page = new QWidget;
    auto *g = new QGridLayout(page);
    Txt_Location = new QLineEdit(page);
    Txt_Location->setObjectName(QStringLiteral("Txt_Location"));
    auto *browse = new QToolButton(page);
    browse->setText(QStringLiteral("..."));
    g->addWidget(new QLabel(QStringLiteral("New Location:"), page), 0, 0);
    g->addWidget(Txt_Location, 0, 1);
    g->addWidget(browse, 0, 2);
    connect(browse, &QToolButton::clicked, this, [this] {
        const QString start = Txt_Location->text().isEmpty() ? m_folder : Txt_Location->text();
        const QString chosen = QFileDialog::getExistingDirectory(this, QString(), start);
        if (!chosen.isEmpty())
            Txt_Location->setText(chosen);
    });
    if (m_mode == Mode::ThumbExport)
        connect(Txt_Location, &QLineEdit::textChanged, this, &Frm_FileOps::markProblems);
    if (m_mode != Mode::ThumbExport) {
        Chk_ApplyAll = new QCheckBox(QStringLiteral("&Apply to all selected"), page);
        g->addWidget(Chk_ApplyAll, 1, 1);
        connect(Chk_ApplyAll, &QCheckBox::toggled, this, &Frm_FileOps::onApplyToAllToggled);
    }
    g->setRowStretch(2, 1);
    return page;
}

QWidget *Frm_FileOps::buildFormatTab()
{
    auto *page = new QWidget;
    auto *g = new QGridLayout(page);
    Cbo_Format = new QComboBox(page);
    for (const ConvertFormat &f : convertFormats())
        Cbo_Format->addItem(QString::fromLatin1(f.caption));
    Cbo_Format->setCurrentIndex(3); // "Jpg - 24bit"
    auto *formatLabel = new QLabel(QStringLiteral("&Convert to:"), page);
    formatLabel->setBuddy(Cbo_Format);
    Hsb_Quality = new QScrollBar(Qt::Horizontal, page);
    Hsb_Quality->setRange(0, 100);
    Hsb_Quality->setValue(std::clamp(settings().JPGQuality, 0, 100));
    auto *qualityLabel = new QLabel(QStringLiteral("&Quality:"), page);
    qualityLabel->setBuddy(Hsb_Quality);
    Lbl_Quality = new QLabel(QString::number(Hsb_Quality->value()), page);
    connect(Hsb_Quality, &QScrollBar::valueChanged, Lbl_Quality, [this](int v) { Lbl_Quality->setNum(v); });
    g->addWidget(formatLabel, 0, 0);
    g->addWidget(Cbo_Format, 0, 1);
    g->addWidget(qualityLabel, 1, 0);
    g->addWidget(Hsb_Quality, 1, 1);
    g->addWidget(Lbl_Quality, 1, 2);
    g->setRowStretch(2, 1);
    return page;
}

// ---- names ----

NamePattern Frm_FileOps::pattern() const
{
    if (!Txt_Prefix)
        return {};
    return { Txt_Prefix->text(), Txt_Format->text(), Txt_Suffix->text(), Txt_Ext->text() };
}

void Frm_FileOps::setPattern(const NamePattern &p)
{
    if (!Txt_Prefix)
        return;
    Txt_Prefix->setText(p.prefix);
    Txt_Format->setText(p.number);
    Txt_Suffix->setText(p.suffix);
    Txt_Ext->setText(p.extension);
}

QTreeWidgetItem *Frm_FileOps::itemAt(int row) const
{
    return Lvw_Files->topLevelItem(row);
}

QStringList Frm_FileOps::proposedNames() const
{
    QStringList out;
    for (int i = 0; i < Lvw_Files->topLevelItemCount(); ++i)
        out << itemAt(i)->text(0);
    return out;
}

QStringList Frm_FileOps::currentNames() const
{
    QStringList out;
    for (int i = 0; i < Lvw_Files->topLevelItemCount(); ++i)
        out << itemAt(i)->text(1);
    return out;
}

QString Frm_FileOps::sizeText(int row) const
{
    return row >= 0 && row < Lvw_Files->topLevelItemCount() ? itemAt(row)->text(SizeColumn) : QString();
}

NameProblem Frm_FileOps::problemAt(int row) const
{
    if (row < 0 || row >= Lvw_Files->topLevelItemCount())
        return NameProblem::None;
    return NameProblem(itemAt(row)->data(0, ProblemRole).toInt());
}

void Frm_FileOps::applyPattern()
{
    if (!Txt_Prefix)
        return;
    const QStringList names = proposeNames(
        pattern(), currentNames(), startValueOfText(Txt_Start->text(), StartNumberMax), m_mode == Mode::FileRename);
    if (names.isEmpty())
        return; // no prefix: nothing is proposed
    const QSignalBlocker block(Lvw_Files);
    for (int i = 0; i < names.size(); ++i)
        itemAt(i)->setText(0, names[i]);
    m_patternApplied = true;
    Btn_OK->setEnabled(true);
    markProblems();
}

void Frm_FileOps::undoNames()
{
    const QSignalBlocker block(Lvw_Files);
    for (int i = 0; i < Lvw_Files->topLevelItemCount(); ++i)
        itemAt(i)->setText(0, itemAt(i)->text(1));
    markProblems();
}

void Frm_FileOps::onPatternEdited()
{
    // The start number takes the number field's width before the names follow.
    const std::int64_t start = startValueOfText(Txt_Start->text(), StartNumberMax);
    Txt_Start->setText(formatStartNumber(start, int(Txt_Format->text().size())));
    applyPattern();
}

void Frm_FileOps::onStartTextEdited()
{
    const std::int64_t v = startValueOfText(Txt_Start->text(), StartNumberMax);
    const QSignalBlocker block(Spn_Start);
    Spn_Start->setValue(int(v));
    applyPattern();
}

void Frm_FileOps::takeTemplate(const QString &text)
{
    if (text.isEmpty())
        return;
    setPattern(splitTemplate(text));
    Txt_Start->setText(formatStartNumber(0, 1));
    {
        const QSignalBlocker block(Spn_Start);
        Spn_Start->setValue(0);
    }
    applyPattern();
    Txt_Template->clear();
}

void Frm_FileOps::takeEntryName(int row)
{
    if (row < 0 || row >= Lvw_Files->topLevelItemCount() || !Txt_Prefix)
        return;
    setPattern(splitByDigits(itemAt(row)->text(1)));
    Txt_Start->setText(formatStartNumber(0, 1));
    {
        const QSignalBlocker block(Spn_Start);
        Spn_Start->setValue(0);
    }
    applyPattern();
}

void Frm_FileOps::markProblems()
{
    if (m_mode != Mode::FileRename && m_mode != Mode::ThumbExport)
        return;
    const bool exporting = m_mode == Mode::ThumbExport;
    std::vector<RenameItem> items;
    for (int i = 0; i < Lvw_Files->topLevelItemCount(); ++i) {
        QTreeWidgetItem *it = itemAt(i);
        const bool checked = it->checkState(0) == Qt::Checked;
        if (exporting) // new files beside the old: nothing at the location moves away
            items.push_back({ QString(), checked ? it->text(0) : QString() });
        else // unchecked entries keep their names: they are not proposals
            items.push_back({ it->text(1), checked ? it->text(0) : it->text(1) });
    }
    const QString where = exporting ? exportLocation() : m_folder;
    const QStringList existing =
        QDir(where).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    const std::vector<NameProblem> problems = checkRenames(items, existing);
    const QSignalBlocker block(Lvw_Files);
    for (int i = 0; i < Lvw_Files->topLevelItemCount(); ++i) {
        QTreeWidgetItem *it = itemAt(i);
        const NameProblem p = problems[size_t(i)];
        it->setData(0, ProblemRole, int(p));
        it->setForeground(0, p == NameProblem::None ? palette().text() : QBrush(Qt::red));
        it->setToolTip(0, problemText(p));
    }
}

// ---- location ----

bool Frm_FileOps::offerFolder(const QString &folder, bool reportFailure)
{
    if (QFileInfo(folder).isDir())
        return true;
    if (QMessageBox::question(this,
            QStringLiteral("Create Directory"),
            QStringLiteral("Directory does not exist, create ") + folder + QStringLiteral(" ?"),
            QMessageBox::Yes | QMessageBox::No)
        != QMessageBox::Yes)
        return false;
    QString error;
    if (ensureFolder(folder, &error))
        return true;
    if (reportFailure)
        QMessageBox::information(this,
            QStringLiteral("Invalid location"),
            error + QStringLiteral("\n\nLocation ") + folder
                + QStringLiteral(" cannot be created, please select another location"));
    return false;
}

void Frm_FileOps::onApplyToAllToggled(bool on)
{
    const QSignalBlocker block(Lvw_Files);
    if (!on) {
        for (int i = 0; i < Lvw_Files->topLevelItemCount(); ++i)
            itemAt(i)->setText(0, itemAt(i)->data(0, FolderRole).toString());
        return;
    }
    const QString location = Txt_Location->text().trimmed();
    if (location.isEmpty())
        return;
    if (!offerFolder(location, true)) {
        const QSignalBlocker blockBox(Chk_ApplyAll);
        Chk_ApplyAll->setChecked(false);
        return;
    }
    for (int i = 0; i < Lvw_Files->topLevelItemCount(); ++i)
        if (itemAt(i)->checkState(0) == Qt::Checked)
            itemAt(i)->setText(0, location);
}

QString Frm_FileOps::targetFolderAt(int row) const
{
    return itemAt(row)->text(0);
}

// ---- keys ----

bool Frm_FileOps::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QDialog::eventFilter(watched, event);
    auto *key = static_cast<QKeyEvent *>(event);
    if (watched == Txt_Start) {
        const QString typed = key->text();
        const bool backspace = key->key() == Qt::Key_Backspace;
        const bool digit = typed.size() == 1 && typed[0] >= QLatin1Char('0') && typed[0] <= QLatin1Char('9');
        if (!backspace && !digit) {
            // Selecting and copying change nothing: the box's own shortcuts do them.
            if (key->matches(QKeySequence::SelectAll) || key->matches(QKeySequence::Copy))
                return QDialog::eventFilter(watched, event);
            // Moving about the box stays possible; every other character is refused.
            const int k = key->key();
            const bool moving = k == Qt::Key_Left || k == Qt::Key_Right || k == Qt::Key_Home || k == Qt::Key_End
                || k == Qt::Key_Tab || k == Qt::Key_Backtab || k == Qt::Key_Delete;
            return !moving && !typed.isEmpty();
        }
        QString after = Txt_Start->text();
        if (digit) {
            if (Txt_Start->hasSelectedText())
                after.replace(Txt_Start->selectionStart(), Txt_Start->selectedText().size(), typed);
            else
                after.insert(Txt_Start->cursorPosition(), typed);
        }
        return !startKeyAccepted(after, digit, backspace, Txt_Start->hasSelectedText(), StartNumberMax);
    }
    if (watched == Lvw_Files && !m_running) {
        QTreeWidgetItem *item = Lvw_Files->currentItem();
        if (!item)
            return QDialog::eventFilter(watched, event);
        if (key->key() == Qt::Key_Delete && key->modifiers() == Qt::NoModifier) {
            delete item; // out of the list and of the batch
            markProblems();
            return true;
        }
        if (key->matches(QKeySequence::Copy) || (key->key() == Qt::Key_C && key->modifiers() == Qt::ControlModifier)) {
            QApplication::clipboard()->setText(item->text(0));
            return true;
        }
        if (key->key() == Qt::Key_V && key->modifiers() == Qt::ControlModifier) {
            const QString text = QApplication::clipboard()->text();
            if (!text.isEmpty())
                item->setText(0, text); // itemChanged marks and enables OK
            return true;
        }
        if (key->key() == Qt::Key_F2 && m_mode == Mode::FileRename) {
            Lvw_Files->editItem(item, 0);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void Frm_FileOps::reject()
{
    if (m_running) {
        m_cancel = true; // the batch stops before its next entry, then the dialog closes
        return;
    }
    QDialog::reject();
}

void Frm_FileOps::requestCancel()
{
    m_cancel = true;
}

// ---- the batch ----

bool Frm_FileOps::progressStep(int done, int total)
{
    Prg_Batch->setMaximum(std::max(total, 1));
    Prg_Batch->setValue(done);
    setWindowTitle(QString::number(done) + QStringLiteral(" of ") + QString::number(total));
    QCoreApplication::processEvents();
    if (!m_cancel && done < total)
        Q_EMIT entryStarting(done, total);
    return !m_cancel;
}

void Frm_FileOps::runAction()
{
    if (m_running)
        return;
    m_running = true;
    m_cancel = false;
    Btn_OK->setEnabled(false);
    Lvw_Files->setEditTriggers(QAbstractItemView::NoEditTriggers);
    switch (m_mode) {
    case Mode::FileRename:
        runRename();
        break;
    case Mode::FileSave:
        runConvert(false);
        break;
    case Mode::FileConvert:
        runConvert(true);
        break;
    case Mode::ThumbExport:
        runExport();
        break;
    }
    m_running = false;
    if (m_cancel)
        QDialog::reject();
}

void Frm_FileOps::runRename()
{
    std::vector<RenameItem> items;
    std::vector<int> rows;
    for (int i = 0; i < Lvw_Files->topLevelItemCount(); ++i) {
        if (itemAt(i)->checkState(0) != Qt::Checked)
            continue;
        items.push_back({ itemAt(i)->text(1), itemAt(i)->text(0) });
        rows.push_back(i);
    }
    RenameCallbacks cb;
    cb.failed = [this](int, const QString &error) {
        QMessageBox::critical(this, QCoreApplication::applicationName(), error, QMessageBox::Ok | QMessageBox::Cancel);
    };
    cb.progress = [this](int done, int total) { return progressStep(done, total); };
    if (!items.empty())
        progressStep(0, int(items.size()));
    const RenameBatchResult r = runRenameBatch(m_folder, items, cb);
    const auto renamed = finishRenameBatch(m_folder, items, r, true);
    {
        const QSignalBlocker block(Lvw_Files);
        for (std::size_t k = 0; k < rows.size(); ++k) {
            QTreeWidgetItem *it = itemAt(rows[k]);
            it->setText(1, r.finalNames[qsizetype(k)]);
            if (!r.done[k])
                it->setText(0, r.finalNames[qsizetype(k)]); // the failed entry stays as it was
        }
    }
    markProblems();
    QList<QPair<QString, QString>> pairs;
    for (const auto &[o, n] : renamed)
        pairs.append({ o, n });
    if (!pairs.isEmpty())
        Q_EMIT filesRenamed(m_folder, pairs);
}

void Frm_FileOps::runConvert(bool convert)
{
    QList<int> rows;
    for (int i = 0; i < Lvw_Files->topLevelItemCount(); ++i)
        if (itemAt(i)->checkState(0) == Qt::Checked)
            rows << i;
    const int total = int(rows.size());
    QString ext;
    int bits = 24;
    if (convert) {
        const ConvertFormat &f =
            convertFormats()[size_t(std::clamp(Cbo_Format->currentIndex(), 0, int(convertFormats().size()) - 1))];
        ext = formatExtension(QString::fromLatin1(f.caption));
        bits = f.bits;
    }
    const int quality = Hsb_Quality ? Hsb_Quality->value() : std::clamp(settings().JPGQuality, 0, 100);
    ReplacePolicy policy([this](const QString &target) { return askExisting(this, target); });
    QSet<QString> declined;
    QStringList written;
    progressStep(0, total);
    for (int k = 0; k < total; ++k) {
        QTreeWidgetItem *it = itemAt(rows[k]);
        const QString folder = targetFolderAt(rows[k]);
        if (!QFileInfo(folder).isDir() && !declined.contains(folder) && !offerFolder(folder, false))
            declined.insert(folder); // the write is tried and fails: no size
        const QString source = joinPath(it->data(0, FolderRole).toString(), it->text(1));
        const QString targetExt = convert ? ext : saveExtensionFor(it->text(1));
        const QString target = joinPath(folder, baseNameOf(it->text(1)) + QLatin1Char('.') + targetExt);
        const WriteResult w = convertOne(source, target, convert ? bits : saveBitsFor(source), quality, policy);
        it->setText(SizeColumn, w.size >= 0 ? FormatThousands(w.size) : QString());
        if (w.outcome == WriteOutcome::Written)
            written << target;
        it->setToolTip(
            SizeColumn, w.outcome == WriteOutcome::SameAsSource ? tr("Not written over its own source") : w.error);
        if (!progressStep(k + 1, total))
            break;
    }
    if (!written.isEmpty())
        Q_EMIT filesWritten(written);
}

QString Frm_FileOps::exportLocation() const
{
    const QString typed = Txt_Location ? Txt_Location->text().trimmed() : QString();
    return typed.isEmpty() ? m_folder : typed;
}

void Frm_FileOps::runExport()
{
    const QString location = exportLocation();
    if (!offerFolder(location, true)) {
        Btn_OK->setEnabled(true); // nothing was done: another location can be tried
        return;
    }
    std::vector<std::pair<QString, QString>> targets;
    QList<int> rows;
    for (int i = 0; i < Lvw_Files->topLevelItemCount(); ++i) {
        if (itemAt(i)->checkState(0) != Qt::Checked)
            continue;
        // A name with a "/" would reach into another folder: such an entry writes nothing.
        const QString name = itemAt(i)->text(0);
        targets.push_back({ itemAt(i)->text(1), isValidFileName(name) ? joinPath(location, name) : QString() });
        rows << i;
    }
    progressStep(0, int(rows.size()));
    ReplacePolicy policy([this](const QString &target) { return askExisting(this, target); });
    const std::vector<WriteResult> results = exportThumbnails(m_folder, targets, policy);
    for (int k = 0; k < rows.size(); ++k) {
        const WriteResult &w = results[size_t(k)];
        itemAt(rows[k])->setText(SizeColumn, w.size >= 0 ? FormatThousands(w.size) : QString());
        itemAt(rows[k])->setToolTip(SizeColumn, w.error);
    }
    progressStep(int(rows.size()), int(rows.size()));
}

} // namespace v7
