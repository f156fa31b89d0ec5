#include "mainwin/Frm_Main.h"

#include "app/CustomFrame.h"
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
#include "mainwin/MainToolbar.h"
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

    // Longer than the key repeat interval, so holding Down lists only where it stops.
    constexpr int TreeKeyListDelayMs = 300;

} // namespace

Frm_Main::Frm_Main(const QString &folderOverride, QWidget *parent)
    : QMainWindow(parent)
    , m_folderOverride(folderOverride)
{
    setObjectName(QStringLiteral("Frm_Main"));
    buildWidgets();
    setupBatchCommands();
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
    // A label edit still open closes while the child widgets go: its handler must
    // not run on a window that is no longer one.
    if (Tvw_Dir && Tvw_Dir->itemDelegate())
        disconnect(Tvw_Dir->itemDelegate(), nullptr, this, nullptr);
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
        Pic_Thumb[i]->setSources(nullptr, nullptr, [this](int index) { return thumbCaption(index); });
        connect(Pic_Thumb[i],
            &ThumbBox::cellPressed,
            this,
            [this, i](int item, Qt::MouseButton button, bool mark, Qt::KeyboardModifiers modifiers) {
                onCellPressed(i, item, button, mark, modifiers);
            });
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

    m_customStyle = new QAction(QStringLiteral("   Custom &windows style"), this);
    m_customStyle->setCheckable(true);
    connect(m_customStyle, &QAction::toggled, this, [](bool on) {
        settings().BeOS = on;
        CustomFrame::setStyleOn(on);
    });
    buildCommands();

    m_firstDisplayTimer = new QTimer(this);
    m_firstDisplayTimer->setSingleShot(true);
    m_firstDisplayTimer->setInterval(50);
    connect(m_firstDisplayTimer, &QTimer::timeout, this, &Frm_Main::FirstDisplay);
    Tmr_LvwClick = new QTimer(this);
    Tmr_LvwClick->setSingleShot(true);
    Tmr_LvwClick->setInterval(10);
    connect(Tmr_LvwClick, &QTimer::timeout, this, &Frm_Main::onListClickTimer);
    connect(this, &Frm_Main::previewRequested, this, &Frm_Main::ShowCurrentImage);
    wireZoomWindow(); // Enter and a double-click on the preview open the viewer

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

    buildFileCommands();
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
    // The style first: the stored place is the window's contents, and our own frame
    // goes around it.
    connect(CustomFrame::attach(this), &CustomFrame::windowMenuRequested, this, &Frm_Main::showWindowMenuAt);
    CustomFrame::setStyleOn(settings().BeOS);
    RestoreWindowState();
    loadTaggedSet();
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
    QRect place = normal;
    if (const CustomFrame *frame = CustomFrame::of(this); frame && frame->isStyled()) {
        // Our frame goes around the contents, but the caption tab stays on screen (a
        // first run's place is the whole screen).
        place = normal.marginsAdded(frame->ownMargins());
        if (const QScreen *s = QWidget::screen()) {
            const QRect a = s->availableGeometry();
            place.setSize(place.size().boundedTo(a.size()));
            place.moveLeft(std::clamp(place.left(), a.left(), a.right() + 1 - place.width()));
            place.moveTop(std::clamp(place.top(), a.top(), a.bottom() + 1 - place.height()));
        }
    }
    setGeometry(place);
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
    const QRect g = ((m_state.WindowState == 0) ? geometry() : normalGeometry())
                        .marginsRemoved(CustomFrame::of(this) ? CustomFrame::of(this)->ownMargins() : QMargins());
    m_state.Left = g.x() * TwipsPerPixel;
    m_state.Top = g.y() * TwipsPerPixel;
    m_state.Width = g.width() * TwipsPerPixel;
    m_state.Height = g.height() * TwipsPerPixel;
    saveListColumns();
    SaveWindowStateValues(m_state);
}

void Frm_Main::closeEvent(QCloseEvent *event)
{
    if (deferClose(event))
        return;
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
    m_fitButton->setGeometry(158, 0, m_toolbar->preferredWidth(), PaneTop);
    const int histLeft = 162 + m_toolbar->preferredWidth();
    Lvw_DirHist->setGeometry(histLeft, 10, std::max(100, m_client->width() - histLeft - 4), 26);
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
        // Only a press on Pic_Base's empty part: one that the preview passed up to
        // its parent must leave the focus in the preview.
        if (watched == Pic_Base && Lvw_Files->isVisible()
            && !Pic_Base->childAt(static_cast<QMouseEvent *>(event)->position().toPoint())) {
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
        // The right button over the preview offers the same menu as over the list.
        if (watched == Pic_Image && static_cast<QMouseEvent *>(event)->button() == Qt::RightButton) {
            ShowContextMenu(static_cast<QMouseEvent *>(event)->globalPosition().toPoint());
            return true;
        }
        if (watched == Lvw_Files->viewport() && static_cast<QMouseEvent *>(event)->button() == Qt::RightButton) {
            ShowContextMenu(
                Lvw_Files->viewport()->mapToGlobal(static_cast<QMouseEvent *>(event)->position().toPoint()));
            return true;
        }
        break;
    case QEvent::ShortcutOverride: {
        // The key map, not a shortcut, decides what a key of a pane does.
        const auto *key = static_cast<QKeyEvent *>(event);
        if (DispatchKey(key->key(), key->modifiers(), keyState(watched)).action != KeyAction::Pass) {
            event->accept();
            return true;
        }
        break;
    }
    case QEvent::KeyPress:
        if (MainKeyDown(watched, static_cast<QKeyEvent *>(event)))
            return true;
        break;
    case QEvent::KeyRelease:
        MainKeyUp(watched, static_cast<QKeyEvent *>(event));
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace v7
