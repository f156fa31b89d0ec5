#include "mainwin/Frm_Main.h"

#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "browser/FilterBox.h"
#include "browser/FolderTreeWidget.h"
#include "browser/Listing.h"
#include "imaging/Codecs.h"
#include "imaging/Draw.h"
#include "imaging/ImageLoad.h"
#include "imaging/Prefetch.h"
#include "imaging/widgets/DrawView.h"
#include "mainwin/ThumbBox.h"
#include "platform/Shell.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/ThumbX.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <cmath>

namespace v7
{

namespace
{

    // The view menu's entries, by index.
    const char *const kViewNames[3] = { "Show Folder && Files", "Show Image Preview", "Show Thumbnails" };

    // Longer than the key repeat interval, so holding Down lists only where it stops.
    constexpr int TreeKeyListDelayMs = 300;

} // namespace

Frm_Main::Frm_Main(const QString &folderOverride, QWidget *parent)
    : QMainWindow(parent)
    , m_folderOverride(folderOverride)
{
    setObjectName(QStringLiteral("Frm_Main"));
    buildWidgets();
    // The preview's images come through the prefetcher, so a file decoded ahead is
    // shown without waiting; other threads (thumbnail work) load directly. The
    // screen's depth is read here, on the GUI thread, for the decode threads to use.
    screenDepth();
    m_prefetch = std::make_unique<Prefetcher>(LoadPreviewImage);
    setDrawServices(PreviewDrawServices(*m_prefetch, thread()));
}

Frm_Main::~Frm_Main()
{
    setDrawServices(defaultDrawServices());
}

void Frm_Main::buildWidgets()
{
    m_client = new QWidget(this);
    setCentralWidget(m_client);

    m_toolStrip = new QWidget(m_client);
    auto *filterBox = new FilterBox(m_toolStrip);
    Txt_Filter = filterBox;
    Txt_Filter->setObjectName(QStringLiteral("Txt_Filter"));
    Txt_Filter->setToolTip(QStringLiteral("Filter: the beginning of the file names, or a date"));
    Lvw_DirHist = new QListWidget(m_toolStrip);
    Lvw_DirHist->setObjectName(QStringLiteral("Lvw_DirHist"));
    Lvw_DirHist->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Lvw_DirHist->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Lvw_DirHist->setToolTip(QStringLiteral("Folders visited"));

    Tvw_Dir = new FolderTreeWidget(m_client);
    Tvw_Dir->setObjectName(QStringLiteral("Tvw_Dir"));

    m_files = new FileListModel(this);
    Lvw_Files = new QTreeView(m_client);
    Lvw_Files->setObjectName(QStringLiteral("Lvw_Files"));
    Lvw_Files->setModel(m_files);
    Lvw_Files->setRootIsDecorated(false);
    Lvw_Files->setUniformRowHeights(true);
    Lvw_Files->setAllColumnsShowFocus(true);
    Lvw_Files->setSelectionMode(QAbstractItemView::ExtendedSelection);
    Lvw_Files->setDragEnabled(true);
    Lvw_Files->setDragDropMode(QAbstractItemView::DragOnly);
    Lvw_Files->header()->setSectionsClickable(true);
    Lvw_Files->header()->setSortIndicatorShown(false);
    Lvw_Files->header()->setSectionsMovable(true);

    Pic_Base = new QWidget(m_client);
    Pic_Base->setObjectName(QStringLiteral("Pic_Base"));
    Pic_Image = new DrawView(Pic_Base);
    Pic_Image->setObjectName(QStringLiteral("Pic_Image"));
    Pic_Image->setFocusPolicy(Qt::StrongFocus);
    Pic_Base->installEventFilter(this);
    for (int i = 0; i < 2; ++i) {
        Pic_Thumb[i] = new ThumbBox(Pic_Base);
        Pic_Thumb[i]->setObjectName(QStringLiteral("Pic_Thumb%1").arg(i));
        Pic_Thumb[i]->setSources(nullptr, nullptr, [this](int index) {
            // Line 1 the name, line 2 the size column with " bytes".
            if (index < 0 || index >= m_files->rowCount())
                return QPair<QString, QString>();
            const FileEntry &e = m_files->entries()[size_t(index)];
            return QPair<QString, QString>(e.name, FormatThousands(e.size) + QStringLiteral(" bytes"));
        });
        connect(Pic_Thumb[i],
            &ThumbBox::cellPressed,
            this,
            [this, i](int item, Qt::MouseButton button, bool mark, Qt::KeyboardModifiers modifiers) {
                onCellPressed(i, item, button, mark, modifiers);
            });
        connect(Pic_Thumb[i], &ThumbBox::keyPressed, this, [this, i](QKeyEvent *e) { onBoxKey(i, e); });
        connect(Pic_Thumb[i], &ThumbBox::scrolled, this, [this, i] {
            m_activeBox = i;
            updateStorePane();
        });
    }
    SplitX = new QWidget(m_client);
    SplitX->setObjectName(QStringLiteral("SplitX"));
    SplitX->setCursor(Qt::SplitHCursor);
    SplitY = new QWidget(m_client);
    SplitY->setObjectName(QStringLiteral("SplitY"));
    SplitY->setCursor(Qt::SplitVCursor);
    Split_Ty = new QWidget(Pic_Base);
    Split_Ty->setObjectName(QStringLiteral("Split_Ty"));
    Split_Ty->setCursor(Qt::SplitVCursor);
    for (QWidget *bar : { SplitX, SplitY, Split_Ty })
        bar->installEventFilter(this);

    for (int i = 0; i < 5; ++i) {
        if (i == 1) { // the focused pane's icon goes before its name
            m_paneIcon = new QLabel(this);
            statusBar()->addWidget(m_paneIcon);
        }
        auto *panel = new QLabel(this);
        m_panels.push_back(panel);
        statusBar()->addWidget(panel, i == 4 ? 1 : 0);
    }
    m_panels[0]->setMinimumWidth(100); // the progress area: room for the line and the "/d" counter
    // The window menu from a right-click on the status bar, for desktops that keep
    // Alt+Space for themselves. The panels pass the click on to the bar.
    for (QLabel *panel : m_panels)
        panel->setContextMenuPolicy(Qt::NoContextMenu);
    m_paneIcon->setContextMenuPolicy(Qt::NoContextMenu);
    statusBar()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(statusBar(), &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        showWindowMenuAt(statusBar()->mapToGlobal(pos));
    });
    m_panels[1]->setMinimumWidth(70);
    m_panels[2]->setMinimumWidth(160);
    m_panels[3]->setMinimumWidth(90);

    for (int i = 0; i < 3; ++i) {
        m_viewActions[i] = new QAction(QString::fromLatin1(kViewNames[i]), this);
        m_viewActions[i]->setCheckable(true);
        m_viewActions[i]->setChecked(true);
        m_viewActions[i]->setShortcut(QKeySequence(Qt::Key_F9 + i));
        addAction(m_viewActions[i]);
        connect(m_viewActions[i], &QAction::toggled, this, [this] { SizeControlsX(); });
    }
    Mnu_ImgInfo = new QAction(QStringLiteral("List &Image Properties"), this);
    Mnu_ImgInfo->setCheckable(true);
    Mnu_ImgInfo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I)); // runs only while enabled
    addAction(Mnu_ImgInfo);
    connect(Mnu_ImgInfo, &QAction::triggered, this, [this](bool on) { setImagePropertiesMode(on); });
    m_fileCommands << Mnu_ImgInfo;
    Mnu_TagImage = new QAction(QStringLiteral("&Tag Image"), this);
    Mnu_TagImage->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    addAction(Mnu_TagImage);
    connect(Mnu_TagImage, &QAction::triggered, this, &Frm_Main::TagSelected);
    m_fileCommands << Mnu_TagImage;
    const char *const fitNames[4] = { "Normal", "Auto", "Fit Width", "Fit Height" };
    auto *fitGroup = new QActionGroup(this);
    for (int i = 0; i < 4; ++i) {
        m_fitActions[i] = new QAction(QString::fromLatin1(fitNames[i]), fitGroup);
        m_fitActions[i]->setCheckable(true);
        connect(m_fitActions[i], &QAction::triggered, this, [this, i] { chooseFitMode(i); });
    }
    auto *fitButton = new QToolButton(m_toolStrip);
    fitButton->setObjectName(QStringLiteral("Lbl_ImageFit"));
    fitButton->setText(QStringLiteral("Image Fit"));
    fitButton->setPopupMode(QToolButton::InstantPopup);
    auto *fitMenu = new QMenu(fitButton);
    for (QAction *a : m_fitActions)
        fitMenu->addAction(a);
    fitButton->setMenu(fitMenu);
    m_fitButton = fitButton;
    m_customStyle = new QAction(QStringLiteral("   Custom &windows style"), this);
    m_customStyle->setCheckable(true);
    connect(m_customStyle, &QAction::toggled, this, [](bool on) { settings().BeOS = on; });
    // Alt+Space opens the window menu from whichever pane has the focus: the panes
    // take plain keys first, so a key handler of the window alone would rarely see it.
    auto *windowMenuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    windowMenuKey->setContext(Qt::WindowShortcut);
    connect(windowMenuKey, &QShortcut::activated, this, &Frm_Main::showWindowMenu);

    m_firstDisplayTimer = new QTimer(this);
    m_firstDisplayTimer->setSingleShot(true);
    m_firstDisplayTimer->setInterval(50);
    connect(m_firstDisplayTimer, &QTimer::timeout, this, &Frm_Main::FirstDisplay);
    Tmr_LvwClick = new QTimer(this);
    Tmr_LvwClick->setSingleShot(true);
    Tmr_LvwClick->setInterval(10);
    connect(Tmr_LvwClick, &QTimer::timeout, this, &Frm_Main::onListClickTimer);
    connect(this, &Frm_Main::previewRequested, this, &Frm_Main::ShowCurrentImage);

    connect(Tvw_Dir, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { onNodeClicked(item); });
    Tvw_Dir->setContextMenuPolicy(Qt::CustomContextMenu);
    Tvw_Dir->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(Tvw_Dir, &QWidget::customContextMenuRequested, this, &Frm_Main::showTreeMenu);
    connect(Tvw_Dir->itemDelegate(),
        &QAbstractItemDelegate::closeEditor,
        this,
        [this](QWidget *, QAbstractItemDelegate::EndEditHint hint) {
            m_editCancelled = hint == QAbstractItemDelegate::RevertModelCache;
            // After the delegate has written the text back.
            QTimer::singleShot(0, this, &Frm_Main::onLabelEditClosed);
        });
    connect(Lvw_Files->header(), &QHeaderView::sectionClicked, this, &Frm_Main::onColumnClicked);
    connect(Lvw_Files->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this](const QModelIndex &i) {
        if (i.isValid())
            onCurrentRowChanged(i.row());
    });
    // A click on the entry that is already current writes its status line again.
    connect(Lvw_Files, &QAbstractItemView::clicked, this, [this](const QModelIndex &i) {
        if (i.isValid())
            writeCurrentFileStatus(i.row());
    });
    connect(filterBox, &FilterBox::filterEntered, this, &Frm_Main::onFilterEntered);
    // Keys in the tree list the node they come to rest on, once the keys pause.
    m_treeKeyTimer = new QTimer(this);
    m_treeKeyTimer->setSingleShot(true);
    m_treeKeyTimer->setInterval(TreeKeyListDelayMs);
    connect(m_treeKeyTimer, &QTimer::timeout, this, &Frm_Main::onTreeKeyTimer);
    connect(Tvw_Dir, &FolderTreeWidget::keyboardSelected, this, [this](QTreeWidgetItem *, bool activated) {
        m_treeKeyActivated = m_treeKeyActivated || activated;
        m_treeKeyTimer->start();
    });

    for (QWidget *w : std::initializer_list<QWidget *> {
             Tvw_Dir, Lvw_Files, Lvw_DirHist, Txt_Filter, Pic_Image, Pic_Thumb[0], Pic_Thumb[1] })
        w->installEventFilter(this);
    Lvw_Files->viewport()->installEventFilter(this);
    Lvw_DirHist->viewport()->installEventFilter(this);
    Txt_Filter->lineEdit()->installEventFilter(this);

    EnableFileCommands(false);
}

QString Frm_Main::statusPanelText(int panel) const
{
    return panel >= 1 && panel <= int(m_panels.size()) ? m_panels[size_t(panel - 1)]->text() : QString();
}

QStringList Frm_Main::filterHistory() const
{
    QStringList items;
    for (int i = 0; i < Txt_Filter->count(); ++i)
        items << Txt_Filter->itemText(i);
    return items;
}

void Frm_Main::SetDirTree()
{
    Tvw_Dir->SetDirTree();
}

void Frm_Main::Form_Load()
{
    setWindowTitle(QStringLiteral("Vorlane7"));
    SetDirTree();
    RestoreWindowState();
    show();
    if (isVisible())
        m_firstDisplayTimer->start();
    WriteSetting(QStringLiteral("StartUp"), QStringLiteral("LastOK"), std::int32_t(0));
    if (QFontDatabase::families().contains(QStringLiteral("Tahoma"))) {
        const QFont tahoma(QStringLiteral("Tahoma"));
        for (QWidget *w : std::initializer_list<QWidget *> { Tvw_Dir, Lvw_Files, Lvw_DirHist, Txt_Filter })
            w->setFont(tahoma);
    }
    m_panels[3]->setText(QStringLiteral("Zoom: ") + m_zoomText + QStringLiteral("X"));
}

void Frm_Main::RestoreWindowState()
{
    const QSize screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->size() : QSize(1024, 768);
    m_state = RestoreWindowStateValues(screen.width() * TwipsPerPixel, screen.height() * TwipsPerPixel);
    m_savedLastFolder = m_state.LastFolder;
    m_savedLastFile = m_state.LastFile;
    if (!m_folderOverride.isEmpty())
        m_state.LastFolder = m_folderOverride;
    if (!m_folderOverride.isEmpty() && !m_startFile.isEmpty()) {
        m_savedLastFolder = m_folderOverride;
        m_savedLastFile = m_startFile;
    }

    Txt_Filter->setEditText(m_state.LastFilter);
    QPalette pal = Pic_Base->palette();
    pal.setColor(QPalette::Window, colorFromBgr(settings().ThumbColorFrame));
    for (QWidget *w : Pic_Thumb)
        w->setPalette(pal);
    QPalette view = Pic_Image->palette();
    view.setColor(QPalette::Window, colorFromBgr(settings().ViewColor));
    Pic_Image->setPalette(view);

    m_history = FolderHistory(m_state.FolderHistory);
    Txt_Filter->clear();
    Txt_Filter->addItems(m_state.FilterHistory);
    Txt_Filter->setEditText(m_state.LastFilter);

    if (Tvw_Dir->ExpandToPath(m_state.LastFolder))
        setHistoryBox(Tvw_Dir->currentItem());

    const QRect normal(m_state.Left / TwipsPerPixel,
        m_state.Top / TwipsPerPixel,
        m_state.Width / TwipsPerPixel,
        m_state.Height / TwipsPerPixel);
    setGeometry(normal);
    if (m_state.WindowState == 2)
        setWindowState(Qt::WindowMaximized);
    else if (m_state.WindowState == 1)
        setWindowState(Qt::WindowMinimized);

    int split = m_state.SplitLeft;
    if (split > normal.width())
        split = m_state.Width / TwipsPerPixel;
    m_splitX = std::max(MinSplitX, split);

    const bool shown[3] = { m_state.Treeview, m_state.Imageview, m_state.Thumbview };
    for (int i = 0; i < 3; ++i) {
        const QSignalBlocker block(m_viewActions[i]);
        m_viewActions[i]->setChecked(shown[i]);
    }
    {
        const QSignalBlocker block(m_customStyle);
        m_customStyle->setChecked(settings().BeOS);
    }
    const QStringList fits = { "FitNormal", "FitAuto", "FitWidth", "FitHeight" };
    for (int i = 0; i < 4; ++i)
        m_fitActions[i]->setChecked(fits[i] == m_state.Imagefit);
    Pic_Image->setDrawSettings(settings());
    m_zoom = ZoomFactor::fromWhole(1);
    restoreListColumns();
    SizeControlsX();
}

void Frm_Main::SaveWindowState()
{
    if (m_saved)
        return;
    m_saved = true;
    m_state.LastFolder = m_currentFolder.isEmpty() ? m_state.LastFolder : m_currentFolder;
    m_state.FolderHistory = m_history.storedEntries();
    m_state.FilterHistory = filterHistory();
    const QModelIndex current = Lvw_Files->currentIndex();
    if (current.isValid())
        m_state.LastFile = m_files->entries()[size_t(current.row())].name;
    m_state.LastFilter = Txt_Filter->currentText();
    // Hiding the tree (F9) leaves the splitter where it was: its place is kept.
    m_state.SplitLeft = m_splitX <= 5 ? DefaultSplitLeft : m_splitX;
    m_state.Treeview = m_viewActions[0]->isChecked();
    m_state.Imageview = m_viewActions[1]->isChecked();
    m_state.Thumbview = m_viewActions[2]->isChecked();
    m_state.WindowState = isMaximized() ? 2 : (isMinimized() ? 1 : 0);
    const QRect g = (m_state.WindowState == 0) ? geometry() : normalGeometry();
    m_state.Left = g.x() * TwipsPerPixel;
    m_state.Top = g.y() * TwipsPerPixel;
    m_state.Width = g.width() * TwipsPerPixel;
    m_state.Height = g.height() * TwipsPerPixel;
    saveListColumns();
    SaveWindowStateValues(m_state);
}

void Frm_Main::closeEvent(QCloseEvent *event)
{
    // From here on nothing new is listed or displayed, even by a listing that was
    // under way in an outer frame when the close came (a session signal, say).
    m_closing = true;
    SaveWindowState();
    // The running display is asked to stop and given a short while to do so.
    releaseStore(101);
    event->accept();
}

void Frm_Main::FirstDisplay()
{
    m_firstDisplayTimer->stop();
    if (m_files->rowCount() == 0)
        onNodeClicked(Tvw_Dir->currentItem());
    else
        ShowThumbs();
    Q_EMIT firstDisplayStarted();
}

void Frm_Main::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    SizeControlsX();
}

void Frm_Main::setSplitX(int p)
{
    m_splitX = std::max(MinSplitX, p);
    SizeControlsX();
}

void Frm_Main::setViewShown(int index, bool shown)
{
    m_viewActions[index]->setChecked(shown);
}

void Frm_Main::SizeControlsX()
{
    PaneLayoutInput in;
    in.clientWidth = m_client->width();
    in.clientHeight = m_client->height() + statusBar()->height();
    in.splitX = m_splitX;
    in.splitRatio = m_splitRatio;
    in.showTree = m_viewActions[0]->isChecked();
    in.showImage = m_viewActions[1]->isChecked();
    in.showThumbs = m_viewActions[2]->isChecked();
    in.thumbsRow = m_state.ThumbsRow;
    in.thumbW = settings().ThumbW;
    in.marginW = settings().MarginW;
    in.splitTy = m_splitTy;
    const PaneLayoutResult r = v7::SizeControlsX(in);
    m_toolStrip->setGeometry(0, 0, m_client->width(), PaneTop);
    Txt_Filter->setGeometry(4, 10, 150, 26);
    m_fitButton->setGeometry(158, 10, 80, 26);
    Lvw_DirHist->setGeometry(242, 10, std::max(100, m_client->width() - 246), 26);
    if (!r.valid)
        return;
    m_layout = r;
    // No pane repaints half-way through the relayout; each repaints once at the end.
    const QString noRepaint = QString::fromUtf16(NoRepaintTag);
    for (QWidget *w : std::initializer_list<QWidget *> { Pic_Image, Pic_Thumb[0], Pic_Thumb[1] })
        w->setProperty("tag", noRepaint);
    Tvw_Dir->setVisible(in.showTree);
    Lvw_Files->setVisible(in.showTree);
    SplitX->setVisible(in.showTree);
    Tvw_Dir->setGeometry(r.tree);
    Lvw_Files->setGeometry(r.files);
    SplitX->setGeometry(r.splitter);
    SplitY->setVisible(in.showTree);
    SplitY->setGeometry(r.splitY);
    Split_Ty->setVisible(in.showThumbs);
    Split_Ty->setGeometry(r.splitTy);
    Pic_Base->setGeometry(r.base);
    Pic_Image->setVisible(in.showImage);
    Pic_Image->setGeometry(r.image);
    Pic_Thumb[0]->setVisible(in.showThumbs);
    Pic_Thumb[0]->setGeometry(r.thumb0);
    Pic_Thumb[1]->setVisible(in.showThumbs && !r.thumb1.isEmpty());
    Pic_Thumb[1]->setGeometry(r.thumb1);
    for (QWidget *w : std::initializer_list<QWidget *> { Pic_Image, Pic_Thumb[0], Pic_Thumb[1] }) {
        w->setProperty("tag", QString());
        w->update();
    }
    if (in.showImage)
        Pic_Image->recompose();
    if (QTreeWidgetItem *node = Tvw_Dir->currentItem())
        Tvw_Dir->scrollToItem(node);
    if (Lvw_Files->currentIndex().isValid())
        Lvw_Files->scrollTo(Lvw_Files->currentIndex());
}

void Frm_Main::setHistoryBox(QTreeWidgetItem *node)
{
    Lvw_DirHist->clear();
    if (!node)
        return;
    auto *item = new QListWidgetItem(node->icon(0), FolderTreeWidget::keyOf(node), Lvw_DirHist);
    item->setData(FolderTreeWidget::KeyRole, FolderTreeWidget::keyOf(node));
    item->setData(FolderTreeWidget::TagRole, node->data(0, FolderTreeWidget::TagRole));
}

void Frm_Main::onNodeClicked(QTreeWidgetItem *item)
{
    if (!item || FolderTreeWidget::keyOf(item).isEmpty())
        return; // a placeholder
    m_treeKeyTimer->stop(); // this node is listed now, whatever the keys did before
    QTreeWidgetItemIterator it(Tvw_Dir);
    for (; *it; ++it)
        if ((*it)->data(0, FolderTreeWidget::TagRole).toString().isEmpty())
            (*it)->setIcon(0, FolderTreeWidget::icon(QStringLiteral("closed")));
    if (item->data(0, FolderTreeWidget::TagRole).toString().isEmpty())
        item->setIcon(0, FolderTreeWidget::icon(QStringLiteral("open")));
    Tvw_Dir->setCurrentItem(item);
    setHistoryBox(item);
    ListFolder(FolderTreeWidget::keyOf(item));
}

void Frm_Main::onTreeKeyTimer()
{
    if (Tvw_Dir->keyHeld()) {
        m_treeKeyTimer->start(); // listed once the key is let go
        return;
    }
    const bool activated = m_treeKeyActivated;
    m_treeKeyActivated = false;
    QTreeWidgetItem *node = Tvw_Dir->currentItem();
    if (node && (activated || FolderTreeWidget::keyOf(node) != m_currentFolder))
        onNodeClicked(node);
}

void Frm_Main::Folder_Refresh()
{
    if (QTreeWidgetItem *node = Tvw_Dir->currentItem())
        onNodeClicked(node);
}

bool Frm_Main::imagePropertiesMode() const
{
    return Mnu_ImgInfo->isChecked();
}

void Frm_Main::setImagePropertiesMode(bool on)
{
    QHeaderView *header = Lvw_Files->header();
    const QSignalBlocker block(Mnu_ImgInfo);
    Mnu_ImgInfo->setChecked(on);
    if (!on) {
        if (header->visualIndex(3) != 3)
            header->moveSection(header->visualIndex(3), 3);
        return;
    }
    header->moveSection(header->visualIndex(3), 1);
    header->resizeSection(3, 100);
    header->resizeSection(4, 75);
    QCoreApplication::processEvents();
    for (int row = 0; row < m_files->rowCount(); ++row) {
        ListImagePropertiesOf(m_files->entry(row), m_currentFolder);
        m_files->entryChanged(row);
    }
    QCoreApplication::processEvents();
    Lvw_Files->viewport()->update();
}

QString Frm_Main::ReadImageProperties(int row)
{
    if (row < 0 || row >= m_files->rowCount())
        return QString();
    const QString text = ReadImagePropertiesOf(m_files->entry(row), m_currentFolder, m_readPropertiesFlag);
    m_files->entryChanged(row);
    return text;
}

bool Frm_Main::ListFolder(const QString &folder)
{
    if (m_closing)
        return false;
    // Events run during a listing may start another; the newest one is what is shown.
    const int serial = ++m_listingSerial;
    // A new folder stops the display of the old one at its next thumbnail.
    if (m_store)
        m_store->RequestCancel();
    // "List Image Properties" stays on, its column where the user saw it.
    m_files->clear();
    m_files->clearHeaderIcon();
    for (ThumbBox *box : Pic_Thumb)
        box->setFileCount(0);
    EnableFileCommands(false);
    Pic_Image->clearView();
    m_previewNotice.clear();
    m_panels[2]->clear();
    m_panels[4]->clear();
    m_currentPosition = 0;
    m_lastShownRow = -1; // another folder's rows give no direction
    m_listedCount = 0;
    m_listedTotal = 0;
    Lvw_Files->setSelectionMode(QAbstractItemView::SingleSelection);

    QElapsedTimer clock;
    clock.start();
    if (!QFileInfo(folder).isDir())
        return false;
    m_currentFolder = folder;
    m_files->setFolder(folder);
    QCoreApplication::processEvents();
    if (m_closing)
        return true;
    if (serial != m_listingSerial)
        return true; // listed over by a newer request, which has shown its own folder

    ListingResult listed = ListFolderFiles(folder, Txt_Filter->currentText(), settings().FileTypes);
    if (listed.count == 0)
        return true;
    m_files->setEntries(std::move(listed.entries));
    if (imagePropertiesMode()) {
        for (int row = 0; row < m_files->rowCount(); ++row)
            ListImagePropertiesOf(m_files->entry(row), folder);
        if (m_files->sortKey() >= 3)
            m_files->sortAgain(); // sorted by the texts just read
    }
    m_listedCount = listed.count;
    m_listedTotal = listed.total;
    const qint64 elapsed = clock.elapsed();
    EnableFileCommands(true);
    m_history.AddFolderToHistory(folder);
    m_panels[2]->setText(FolderSummaryText(m_listedTotal, m_listedCount));
    RestoreLastFile();
    QCoreApplication::processEvents();
    if (m_closing)
        return true;
    if (serial != m_listingSerial)
        return true;
    if (m_viewActions[2]->isChecked())
        ShowThumbs();
    else
        m_panels[4]->setText(ListingTimeText(m_listedCount, elapsed));
    if (m_closing || serial != m_listingSerial)
        return true; // a newer listing ran while the old display let go
    Q_EMIT folderListed(folder, m_listedCount);
    return true;
}

void Frm_Main::RestoreLastFile()
{
    const auto it = m_lastFileByFolder.constFind(m_currentFolder);
    const QString wanted = LastFileToRestore(
        m_currentFolder, it == m_lastFileByFolder.constEnd() ? nullptr : &*it, m_savedLastFolder, m_savedLastFile);
    const int row = wanted.isEmpty() ? -1 : m_files->findName(wanted);
    if (row < 0)
        return;
    Lvw_Files->clearSelection();
    m_loadOnClick = true;
    Lvw_Files->setCurrentIndex(m_files->index(row, 0));
    Lvw_Files->scrollTo(m_files->index(row, 0));
}

void Frm_Main::EnableFileCommands(bool enabled)
{
    for (QAction *a : std::as_const(m_fileCommands)) {
        a->setVisible(true);
        a->setEnabled(enabled);
    }
}

void Frm_Main::onColumnClicked(int column)
{
    if (!m_files->sortByColumn(column))
        return;
    // Keep the current file current in its new place.
    const QModelIndex current = Lvw_Files->currentIndex();
    if (current.isValid())
        m_currentPosition = current.row();
    if (m_viewActions[2]->isChecked())
        ShowThumbs(); // the grid follows the list's new order
}

QString Frm_Main::currentFileSizeText(int row) const
{
    return FormatThousands(m_files->entries()[size_t(row)].size);
}

void Frm_Main::onCurrentRowChanged(int row)
{
    m_currentPosition = row;
    for (ThumbBox *box : Pic_Thumb)
        if (box->selected() != row)
            box->setSelected(row);
    followInGrid(row);
    const FileEntry &e = m_files->entries()[size_t(row)];
    m_lastFileByFolder.insert(m_currentFolder, e.name);
    writeCurrentFileStatus(row);
    if (m_loadOnClick) {
        m_pendingPreview = row;
        if (m_viewActions[1]->isChecked() && !Tmr_LvwClick->isActive())
            Tmr_LvwClick->start();
    }
    m_loadOnClick = false;
}

void Frm_Main::onListClickTimer()
{
    Tmr_LvwClick->stop();
    if (m_pendingPreview >= 0)
        Q_EMIT previewRequested(m_pendingPreview);
}

void Frm_Main::showHistoryMenu()
{
    if (m_history.isEmpty())
        return;
    QMenu menu(this);
    const QStringList items = m_history.items();
    for (int i = 0; i < items.size(); ++i) {
        QAction *a = menu.addAction(items[i]);
        a->setData(i);
    }
    QAction *chosen = menu.exec(Lvw_DirHist->mapToGlobal(Lvw_DirHist->rect().bottomLeft()));
    if (chosen)
        ChooseHistory(chosen->data().toInt());
}

void Frm_Main::ChooseHistory(int i)
{
    if (i < 0 || i >= m_history.items().size())
        return;
    const QString folder = m_history.items()[i];
    if (!m_history.ChooseHistoryFolder(i, QFileInfo(folder).isDir()))
        return;
    if (Tvw_Dir->ExpandToPath(folder))
        onNodeClicked(Tvw_Dir->currentItem());
}

void Frm_Main::onFilterEntered()
{
    Folder_Refresh();
    QStringList items = filterHistory();
    const QString text = Txt_Filter->currentText();
    const int before = items.size();
    AddFilterToHistory(items, text);
    if (items.size() != before) {
        Txt_Filter->insertItem(0, text);
        Txt_Filter->setEditText(text);
    }
}

QString Frm_Main::NewFolderUnderSelected(const QString &name)
{
    QTreeWidgetItem *parentNode = Tvw_Dir->currentItem();
    if (!parentNode || FolderTreeWidget::keyOf(parentNode).isEmpty())
        return QString();
    QString made;
    const QString message = CreateFolderChecked(FolderTreeWidget::keyOf(parentNode), name, &made);
    if (!message.isEmpty())
        return message;
    parentNode->setExpanded(true);
    if (!Tvw_Dir->findByKey(made))
        Tvw_Dir->addFolderNode(parentNode, made);
    return QString();
}

QString Frm_Main::RenameSelectedFolder(const QString &newName)
{
    QTreeWidgetItem *node = Tvw_Dir->currentItem();
    if (!node || !node->parent())
        return QString(); // volumes are not renamed
    const QString oldPath = FolderTreeWidget::keyOf(node);
    QString renamed;
    const QString message = RenameFolderChecked(oldPath, newName, &renamed);
    if (!message.isEmpty())
        return message;
    // The folder's thumbnails follow it in the cache file.
    OLEStorage::MoveFolderCache(0, oldPath, renamed);
    node->setData(0, FolderTreeWidget::KeyRole, renamed);
    node->setText(0, FolderBaseName(renamed));
    if (m_currentFolder == oldPath)
        m_currentFolder = renamed;
    // Children read before the rename hold the old paths: read them again.
    if (node->childCount() > 0)
        Tvw_Dir->refreshChildren(node);
    return QString();
}

void Frm_Main::ShowCurrentImage(int row)
{
    if (row < 0 || row >= m_files->rowCount())
        return;
    m_panOrigin = QPointF();
    if (m_zoom.isUnset())
        m_zoom = ZoomFactor::fromWhole(1);
    const QString path = JoinPath(m_currentFolder, m_files->entries()[size_t(row)].name);
    if (!m_viewActions[1]->isChecked())
        return;
    Pic_Image->setDrawSettings(settings());
    m_previewNotice.clear();
    if (!Pic_Image->showImage(path, m_state.Imagefit, m_zoom)) {
        // A damaged or empty file: the pane says which, rather than going blank.
        Pic_Image->clearView();
        showPreviewNotice(m_files->entries()[size_t(row)].name);
    }
    // Prepare the next file the way the user is moving; at the first or last file
    // (Home, End, a restored last file) the only neighbour there is.
    const int step = (m_lastShownRow >= 0 && row < m_lastShownRow) ? -1 : 1;
    m_lastShownRow = row;
    int next = row + step;
    if (next < 0 || next >= m_files->rowCount())
        next = row - step;
    if (next >= 0 && next < m_files->rowCount()) {
        // Decoded at the size this pane will show it, as the preview itself would.
        const QString nextPath = JoinPath(m_currentFolder, m_files->entries()[size_t(next)].name);
        m_prefetch->prefetch(nextPath, PreviewReductionFor(nextPath, Pic_Image->size(), m_state.Imagefit, m_zoom));
    }
}

void Frm_Main::releaseStore(int maxRounds)
{
    BitmapStore *const store = m_store;
    if (!store)
        return;
    WaitForStore(store, maxRounds);
    if (m_store != store)
        return; // released while we waited (the window closed meanwhile)
    for (ThumbBox *box : Pic_Thumb)
        box->setSources(nullptr, nullptr, {});
    m_store->deleteLater();
    m_store = nullptr;
}

void Frm_Main::ShowThumbs()
{
    if (m_closing)
        return; // a display started now would outlive the window
    if (m_files->rowCount() == 0) {
        m_panels[4]->clear();
        return;
    }
    const int current = Lvw_Files->currentIndex().isValid() ? Lvw_Files->currentIndex().row() : -1;
    for (ThumbBox *box : Pic_Thumb) {
        box->setFileCount(m_files->rowCount());
        box->setSelected(current);
    }
    // The current file (a restored last file, say) is on screen from the start.
    Pic_Thumb[m_activeBox]->ensureVisible(current);
    // Only one store works at a time: the previous display ends first. A listing that
    // ran while we waited has started its own display; this one is no longer wanted.
    const int serial = m_listingSerial;
    releaseStore(0);
    if (m_closing || serial != m_listingSerial || m_store)
        return;
    GridValues grid;
    grid.columns = Pic_Thumb[0]->geometry().columns;
    grid.fileCount = m_files->rowCount();
    grid.expected = grid.fileCount;
    // Reference 0: whenever the grid is scrolled to a current file, the job makes the
    // rows on screen first (a reference at the current file made it start at the top).
    grid.referenceIndex = 0;
    m_store = new BitmapStore(this, grid, m_currentFolder, this);
    connect(m_store, &BitmapStore::displayFinished, this, &Frm_Main::thumbDisplayFinished);
    BitmapStore *store = m_store;
    const auto captions = [this](int index) {
        if (index < 0 || index >= m_files->rowCount())
            return QPair<QString, QString>();
        const FileEntry &e = m_files->entries()[size_t(index)];
        return QPair<QString, QString>(e.name, FormatThousands(e.size) + QStringLiteral(" bytes"));
    };
    for (ThumbBox *box : Pic_Thumb)
        box->setSources([store](QPainter &p, int index, QPoint origin) { store->DrawStoredThumb(p, index, origin); },
            [store](int index) { return store->arrived(index); },
            captions);
    updateStorePane();
    QStringList files;
    files.reserve(m_files->rowCount());
    for (const FileEntry &e : m_files->entries())
        files << e.name;
    m_worker = StartThumbDisplay(
        settings().ThreadMode,
        m_currentFolder,
        files,
        m_store,
        [this](const QString &text, const QString &title) { QMessageBox::warning(this, title, text); },
        this);
}

void Frm_Main::updateStorePane()
{
    // The job makes the visible rows first: it reads where the active box looks, in
    // pixels of the grid.
    if (!m_store)
        return;
    ThumbBox *box = Pic_Thumb[m_activeBox];
    const int top = box->scrollOffset();
    m_store->setPane(std::max(0, box->selected()), top, top + box->height());
}

void Frm_Main::RequestRepaint()
{
    for (ThumbBox *box : Pic_Thumb)
        box->RequestRepaint();
}

void Frm_Main::SetStatusPanelText(int panel, const QString &text)
{
    if (panel >= 1 && panel <= int(m_panels.size()))
        m_panels[size_t(panel - 1)]->setText(text);
}

int Frm_Main::ProgressWidth()
{
    return std::max(16, m_panels[0]->width());
}

void Frm_Main::DrawProgress(int length, int height, const QString &counterText)
{
    // Line, bar and counter all start at the bar position, the area's top left. The
    // counter is shown whole even where the panel is narrower.
    QLabel *panel = m_panels[0];
    const QFontMetrics metrics(panel->font());
    const int textWidth = counterText.isEmpty() ? 0 : metrics.horizontalAdvance(counterText);
    QPixmap bar(std::max(ProgressWidth(), textWidth), 16);
    bar.fill(Qt::transparent);
    QPainter p(&bar);
    if (height >= 16) {
        p.fillRect(QRect(0, 0, length, 16), Qt::black);
    } else {
        p.fillRect(QRect(0, 0, length, 1), Qt::white);
        p.fillRect(QRect(0, 1, length, 2), Qt::black);
    }
    if (textWidth > 0) {
        // Opaque: the line does not run through the digits.
        p.fillRect(QRect(0, 0, textWidth, metrics.height()), panel->palette().color(QPalette::Window));
        p.setFont(panel->font());
        p.setPen(panel->palette().color(QPalette::WindowText));
        p.drawText(0, metrics.ascent(), counterText);
    }
    p.end();
    panel->setPixmap(bar);
}

QPixmap Frm_Main::progressPixmap() const
{
    return m_panels[0]->pixmap();
}

void Frm_Main::ShowDeliveredThumb(int, int, int)
{
    RequestRepaint();
}

QString Frm_Main::FileNameAt(int index)
{
    return index >= 0 && index < m_files->rowCount() ? m_files->entries()[size_t(index)].name : QString();
}

void Frm_Main::onCellPressed(
    int box, int item, Qt::MouseButton button, bool onCornerMark, Qt::KeyboardModifiers modifiers)
{
    if (!m_viewActions[2]->isChecked() || m_files->rowCount() == 0)
        return;
    m_activeBox = box;
    Lvw_Files->setSelectionMode(
        modifiers & Qt::ShiftModifier ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection);
    if (item < 1 || item > m_files->rowCount())
        return;
    const QModelIndex index = m_files->index(item - 1, 0);
    if (button == Qt::LeftButton)
        m_loadOnClick = true; // a click shows the file in the preview
    if (modifiers & Qt::ShiftModifier)
        Lvw_Files->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    if (Lvw_Files->currentIndex() != index)
        Lvw_Files->setCurrentIndex(index);
    else {
        writeCurrentFileStatus(item - 1);
        if (m_loadOnClick)
            reshowSelected();
    }
    Lvw_Files->scrollTo(index);
    m_loadOnClick = false;
    if (onCornerMark)
        showTagMenu(QCursor::pos());
}

void Frm_Main::onBoxKey(int box, QKeyEvent *event)
{
    GridKey key = GridKey::Other;
    switch (event->key()) {
    case Qt::Key_Left:
        key = GridKey::Left;
        break;
    case Qt::Key_Right:
        key = GridKey::Right;
        break;
    case Qt::Key_Up:
        key = GridKey::Up;
        break;
    case Qt::Key_Down:
        key = GridKey::Down;
        break;
    default:
        if (!handleZoomKey(Pic_Thumb[box], event) && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
            && Lvw_Files->currentIndex().isValid())
            Q_EMIT zoomWindowRequested(Lvw_Files->currentIndex().row());
        return;
    }
    if (m_files->rowCount() == 0)
        return;
    m_activeBox = box;
    const int p = Pic_Thumb[box]->moveSelection(key);
    if (p < 0)
        return;
    const QModelIndex index = m_files->index(p, 0);
    m_loadOnClick = true;
    Lvw_Files->setCurrentIndex(index);
    m_loadOnClick = false;
    Lvw_Files->scrollTo(index);
    const FileEntry &e = m_files->entries()[size_t(p)];
    m_panels[4]->setText(CurrentFileText(p, e.name, currentFileSizeText(p), e.properties, true));
}

void Frm_Main::reshowSelected()
{
    const QModelIndex current = Lvw_Files->currentIndex();
    if (!current.isValid())
        return;
    m_loadOnClick = true;
    m_pendingPreview = current.row();
    if (!Tmr_LvwClick->isActive())
        Tmr_LvwClick->start();
    m_loadOnClick = false;
}

void Frm_Main::ApplyZoom(ZoomFactor zoom)
{
    if (!zoom.inRange())
        return;
    m_zoom = zoom;
    m_zoomText = m_zoom.text();
    m_panels[3]->setText(m_zoom.statusText());
    reshowSelected();
}

void Frm_Main::chooseFitMode(int index)
{
    const QStringList fits = { "FitNormal", "FitAuto", "FitWidth", "FitHeight" };
    if (index < 0 || index > 3)
        return;
    m_state.Imagefit = fits[index];
    if (m_viewActions[1]->isChecked())
        reshowSelected();
    for (int i = 0; i < 4; ++i)
        m_fitActions[i]->setChecked(i == index);
}

bool Frm_Main::handleZoomKey(QObject *watched, QKeyEvent *event)
{
    if (!m_viewActions[1]->isChecked())
        return false;
    const int key = event->key();
    const bool inTextOrTree = watched == Tvw_Dir || watched == Txt_Filter || watched == Txt_Filter->lineEdit();
    if (key >= Qt::Key_1 && key <= Qt::Key_5 && !inTextOrTree && !(event->modifiers() & Qt::ControlModifier)) {
        ApplyZoom(ZoomFactor::fromWhole(key - Qt::Key_0));
        return true; // swallowed, so the file list does not jump to a name
    }
    if (inTextOrTree)
        return false;
    if (key == Qt::Key_Plus || key == Qt::Key_Equal) {
        if (m_zoom.effective().scaled() < ZoomFactor::Max)
            ApplyZoom(m_zoom.stepped(u"+"));
        return true;
    }
    if (key == Qt::Key_Minus) {
        if (m_zoom.effective().scaled() > ZoomFactor::Min)
            ApplyZoom(m_zoom.stepped(u"-"));
        return true;
    }
    return false;
}

void Frm_Main::TagSelected()
{
    const QModelIndexList rows = Lvw_Files->selectionModel()->selectedRows();
    QList<int> ordered;
    for (const QModelIndex &i : rows)
        ordered << i.row();
    if (ordered.isEmpty() && Lvw_Files->currentIndex().isValid())
        ordered << Lvw_Files->currentIndex().row();
    std::sort(ordered.begin(), ordered.end());
    for (int row : std::as_const(ordered)) {
        FileEntry &e = m_files->entry(row);
        const QString path = JoinPath(m_currentFolder, e.name);
        if (!e.tagged) {
            e.tagged = true;
            if (!m_tagged.contains(path)) {
                m_tagged.insert(path, { FormatThousands(e.size), FormatFileDate(e.modified()) });
                m_taggedOrder << path;
            }
        } else {
            e.tagged = false;
            if (m_tagged.remove(path))
                m_taggedOrder.removeAll(path);
        }
        m_files->entryChanged(row);
    }
}

void Frm_Main::showTagMenu(const QPoint &globalPos)
{
    const QModelIndex current = Lvw_Files->currentIndex();
    if (!current.isValid())
        return;
    QMenu menu(this);
    const bool tagged = m_files->entries()[size_t(current.row())].tagged;
    QAction *tag = menu.addAction(tagged ? QStringLiteral("&Untag image") : QStringLiteral("&Tag image"));
    connect(tag, &QAction::triggered, this, &Frm_Main::TagSelected);
    Q_EMIT tagMenuShown(&menu);
    menu.exec(globalPos);
}

void Frm_Main::showTreeMenu(const QPoint &pos)
{
    if (QTreeWidgetItem *at = Tvw_Dir->itemAt(pos))
        Tvw_Dir->setCurrentItem(at);
    QMenu menu(this);
    menu.setTitle(QStringLiteral("File Control"));
    connect(menu.addAction(QStringLiteral("&New Folder")), &QAction::triggered, this, &Frm_Main::BeginNewFolder);
    connect(menu.addAction(QStringLiteral("&Rename")), &QAction::triggered, this, &Frm_Main::BeginRenameFolder);
    menu.addSeparator();
    connect(menu.addAction(QStringLiteral("&Delete")), &QAction::triggered, this, [this] {
        if (QTreeWidgetItem *node = Tvw_Dir->currentItem())
            DeleteFolder(FolderTreeWidget::keyOf(node));
    });
    menu.exec(Tvw_Dir->viewport()->mapToGlobal(pos));
}

void Frm_Main::BeginNewFolder()
{
    QTreeWidgetItem *node = Tvw_Dir->currentItem();
    if (!node || FolderTreeWidget::keyOf(node).isEmpty())
        return;
    const QString key = FolderTreeWidget::keyOf(node);
    for (const Volume &v : Tvw_Dir->volumes()) // nothing is made on a CD-ROM
        if (v.type == DriveType::CdRom && (key == v.path || key.startsWith(v.path + u'/')))
            return;
    node->setExpanded(true);
    auto *child = new QTreeWidgetItem(node);
    child->setText(0, QStringLiteral("New Folder"));
    child->setIcon(0, FolderTreeWidget::icon(QStringLiteral("closed")));
    child->setFlags(child->flags() | Qt::ItemIsEditable);
    Tvw_Dir->setCurrentItem(child);
    m_treeTag = QStringLiteral("1");
    m_editNode = QPersistentModelIndex(Tvw_Dir->indexFromItem(child));
    Tvw_Dir->editItem(child);
    // The proposed name is selected, so what the user types replaces it.
    if (auto *editor = qobject_cast<QLineEdit *>(Tvw_Dir->itemWidget(child, 0)))
        editor->selectAll();
}

bool Frm_Main::DeleteFolder(const QString &path)
{
    QTreeWidgetItem *node = Tvw_Dir->findByKey(path);
    if (path.isEmpty() || !node || !node->parent() || IsProtectedFolder(path))
        return false; // volumes, the root and the home folder are never deleted
    m_treeTag = QStringLiteral("3");
    const auto answer = QMessageBox::question(this,
        QStringLiteral("Delete folder"),
        QStringLiteral("Move the folder \"%1\" and everything in it to the trash?").arg(FolderBaseName(path)),
        QMessageBox::Yes | QMessageBox::No,
        QMessageBox::No);
    m_treeTag.clear();
    if (answer != QMessageBox::Yes)
        return false;
    QString error;
    if (!MoveToTrash(path, &error)) {
        QMessageBox::critical(this, QStringLiteral("Vorlane7"), error);
        return false;
    }
    OLEStorage::DeleteFolderCache(OLEStorage::FolderStorageName(path), OLEStorage::CacheFileName);
    const bool wasListed = m_currentFolder == path || m_currentFolder.startsWith(path + u'/');
    QTreeWidgetItem *parentNode = node->parent();
    delete node;
    if (wasListed) {
        if (m_store)
            m_store->RequestCancel();
        setImagePropertiesMode(false);
        m_files->clear();
        EnableFileCommands(false);
        m_currentPosition = 0;
        Pic_Image->clearView();
        for (ThumbBox *box : Pic_Thumb) {
            box->setFileCount(0);
            box->ReleaseGridSurfaces();
        }
    }
    // One consistent window: the parent folder selected and listed, with its history
    // box entry and its totals. Scrolled to first: a history choice handled during the
    // listing may re-read the tree and delete the node.
    Tvw_Dir->scrollToItem(parentNode);
    onNodeClicked(parentNode);
    return true;
}

void Frm_Main::BeginRenameFolder()
{
    QTreeWidgetItem *node = Tvw_Dir->currentItem();
    if (!node || !node->parent() || FolderTreeWidget::keyOf(node).isEmpty())
        return;
    m_treeTag = QStringLiteral("2");
    m_editNode = QPersistentModelIndex(Tvw_Dir->indexFromItem(node));
    m_editOldText = node->text(0);
    // The editor shows the folder's real name, extension included.
    node->setText(0, FolderTreeWidget::keyOf(node).section(u'/', -1));
    node->setFlags(node->flags() | Qt::ItemIsEditable);
    Tvw_Dir->editItem(node);
}

void Frm_Main::showEditFailure(const QString &message, bool withIcon)
{
    QMessageBox box(withIcon ? QMessageBox::Critical : QMessageBox::NoIcon,
        QStringLiteral("Vorlane7"),
        message,
        QMessageBox::Ok,
        this);
    box.exec();
}

void Frm_Main::onLabelEditClosed()
{
    struct Finished {
        Frm_Main *w;
        ~Finished() { Q_EMIT w->labelEditFinished(); }
    } finished { this };
    // Collapsing a folder above the edited node re-reads its children, and the node is
    // gone: the edit then ends with nothing changed on disk, as the tree now shows.
    QTreeWidgetItem *node = m_editNode.isValid() ? Tvw_Dir->itemFromIndex(m_editNode) : nullptr;
    const QString tag = m_treeTag;
    m_treeTag.clear();
    m_editNode = QPersistentModelIndex();
    if (!node)
        return;
    node->setFlags(node->flags() & ~Qt::ItemIsEditable);
    if (m_editCancelled) { // Esc: nothing changes on disk
        if (tag == QLatin1String("1"))
            delete node;
        else
            node->setText(0, m_editOldText);
        return;
    }
    const QString text = node->text(0);
    if (tag == QLatin1String("1")) {
        QTreeWidgetItem *parentNode = node->parent();
        QString made;
        const QString message = CreateFolderChecked(FolderTreeWidget::keyOf(parentNode), text, &made);
        if (!message.isEmpty()) {
            delete node;
            const bool known =
                message == QLatin1String(TextFolderExists) || message == QLatin1String(TextFolderInvalid);
            showEditFailure(message, known);
            return;
        }
        node->setData(0, FolderTreeWidget::KeyRole, made);
        node->setText(0, FolderBaseName(made));
    } else if (tag == QLatin1String("2")) {
        Tvw_Dir->setCurrentItem(node);
        const QString message = RenameSelectedFolder(text);
        if (!message.isEmpty()) {
            node->setText(0, m_editOldText);
            showEditFailure(message, true);
            return;
        }
        node->setText(0, FolderBaseName(FolderTreeWidget::keyOf(node)));
    }
}

QPixmap Frm_Main::paneIcon(const QString &key)
{
    // Small drawn icons, so no image files need installing.
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(60, 60, 60));
    if (key == QLatin1String("tree")) {
        return FolderTreeWidget::icon(QStringLiteral("closed")).pixmap(16, 16);
    } else if (key == QLatin1String("flist")) {
        for (int y = 3; y <= 12; y += 3)
            p.drawLine(2, y, 13, y);
    } else if (key == QLatin1String("docs")) {
        p.setBrush(QColor(120, 170, 220));
        p.drawRect(1, 2, 13, 11);
        p.setBrush(QColor(80, 150, 80));
        p.drawPolygon(QPolygon({ QPoint(2, 12), QPoint(7, 6), QPoint(13, 12) }));
    } else if (key == QLatin1String("thumbs")) {
        p.setBrush(QColor(200, 200, 220));
        for (int x : { 1, 9 })
            for (int y : { 1, 9 })
                p.drawRect(x, y, 5, 5);
    } else {
        p.setBrush(QColor(220, 60, 60));
        p.drawEllipse(4, 1, 8, 8);
        p.drawLine(8, 9, 8, 15);
    }
    return pm;
}

void Frm_Main::showFocusPane(QObject *control)
{
    struct Pane {
        QObject *control;
        const char *text;
        const char *icon; // the icon keys: "tree", "flist", "docs", "thumbs", "pin"
    };
    const Pane panes[] = { { Tvw_Dir, "Folder", "tree" },
        { Lvw_Files, "Files", "flist" },
        { Pic_Image, "Image", "docs" },
        { Pic_Thumb[0], "Thumbs", "thumbs" },
        { Pic_Thumb[1], "Thumbs", "thumbs" },
        { Txt_Filter, "Search", "pin" },
        { Txt_Filter->lineEdit(), "Search", "pin" },
        { Lvw_DirHist, "History", "tree" } };
    for (const Pane &p : panes) {
        if (p.control == control) {
            m_panels[1]->setText(QString::fromLatin1(p.text));
            m_paneIcon->setPixmap(paneIcon(QLatin1String(p.icon)));
            return;
        }
    }
}

void Frm_Main::showWindowMenu()
{
    showWindowMenuAt(mapToGlobal(QPoint(0, 0)));
}

void Frm_Main::showWindowMenuAt(const QPoint &globalPos)
{
    QMenu menu(this);
    menu.addSeparator();
    menu.addAction(m_customStyle);
    menu.addSeparator();
    QAction *refresh = menu.addAction(QStringLiteral("   Refresh thumbnails"));
    connect(refresh, &QAction::triggered, this, &Frm_Main::Folder_Refresh);
    menu.exec(globalPos);
}

bool Frm_Main::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::FocusIn:
        showFocusPane(watched);
        if (watched == Lvw_Files)
            Lvw_Files->setSelectionMode(QAbstractItemView::ExtendedSelection);
        break;
    case QEvent::MouseButtonDblClick:
        if (watched == Pic_Image) {
            const QModelIndex current = Lvw_Files->currentIndex();
            if (current.isValid())
                Q_EMIT zoomWindowRequested(current.row());
            return true;
        }
        break;
    case QEvent::MouseButtonPress:
        if (watched == Pic_Image && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
            m_panOrigin = static_cast<QMouseEvent *>(event)->position();
            Pic_Image->setCursor(Qt::ClosedHandCursor);
            return false;
        }
        if (watched == Pic_Base && Lvw_Files->isVisible()) {
            Lvw_Files->setFocus();
            return false;
        }
        if (watched == Lvw_Files->viewport()) {
            m_loadOnClick = static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton;
        } else if (watched == Lvw_DirHist->viewport()) {
            showHistoryMenu();
            return true;
        } else if (watched == SplitX || watched == SplitY || watched == Split_Ty) {
            m_dragBar = static_cast<QWidget *>(watched);
            return true;
        }
        break;
    case QEvent::MouseMove:
        if (watched == Pic_Image && !m_panOrigin.isNull()
            && (static_cast<QMouseEvent *>(event)->buttons() & Qt::LeftButton)) {
            const QPointF d = m_panOrigin - static_cast<QMouseEvent *>(event)->position();
            Pic_Image->redrawAtOffset(int(d.x()), int(d.y()));
            return true;
        }
        if (m_dragBar && watched == m_dragBar) {
            const QPoint at = m_dragBar->mapTo(m_client, static_cast<QMouseEvent *>(event)->position().toPoint());
            if (m_dragBar == SplitX) {
                setSplitX(at.x());
            } else if (m_dragBar == SplitY) {
                m_splitRatio = SplitRatioFor(at.y(), m_client->height() + statusBar()->height());
                SizeControlsX();
            } else {
                const int y = at.y() - Pic_Base->y();
                m_splitTy = ClampSplitTy(y, m_splitTy, Pic_Base->height());
                SizeControlsX();
            }
            return true;
        }
        break;
    case QEvent::MouseButtonRelease:
        if (watched == Pic_Image && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
            Pic_Image->unsetCursor();
            if (!m_panOrigin.isNull()) {
                const QPointF d = m_panOrigin - static_cast<QMouseEvent *>(event)->position();
                Pic_Image->commitPan(int(std::lround(d.x())), int(std::lround(d.y())));
            }
            m_panOrigin = QPointF();
            return true;
        }
        if (m_dragBar && watched == m_dragBar) {
            m_dragBar = nullptr;
            return true;
        }
        break;
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (handleZoomKey(watched, static_cast<QKeyEvent *>(event)))
            return true;
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && (watched == Lvw_Files || watched == Pic_Image)) {
            const QModelIndex current = Lvw_Files->currentIndex();
            if (current.isValid())
                Q_EMIT zoomWindowRequested(current.row());
            return true;
        }
        if (watched == Tvw_Dir && key == Qt::Key_Delete) {
            if (QTreeWidgetItem *node = Tvw_Dir->currentItem())
                DeleteFolder(FolderTreeWidget::keyOf(node));
            return true;
        }
        if (watched == Lvw_Files)
            m_loadOnClick = true;
        if (watched == Lvw_DirHist
            && (key == Qt::Key_Space || key == Qt::Key_Down || key == Qt::Key_Return || key == Qt::Key_Enter)) {
            showHistoryMenu();
            return true;
        }
        break;
    }
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace v7
