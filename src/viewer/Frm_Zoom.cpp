#include "viewer/Frm_Zoom.h"

#include "app/Settings.h"
#include "imaging/Codecs.h"
#include "imaging/Draw.h"
#include "imaging/ViewState.h"
#include "imaging/widgets/DrawView.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <cmath>

namespace v7
{

namespace
{
    // A file name shown as a menu caption: an "&" is a letter, not a mnemonic.
    QString captionText(const QString &text)
    {
        QString t = text;
        return t.replace(u'&', QStringLiteral("&&"));
    }
    // The item's key, shown beside its caption. The window's key handler runs the
    // key; the action takes it only while the open menu has the focus.
    void menuKey(QAction *a, Qt::Key key)
    {
        a->setShortcut(QKeySequence(key));
        a->setShortcutContext(Qt::WidgetShortcut);
    }
} // namespace

Frm_Zoom::Frm_Zoom(ZoomHost *host, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_host(host)
{
    setObjectName(QStringLiteral("Frm_Zoom"));
    setWindowTitle(QStringLiteral("Vorlane7"));
    setFocusPolicy(Qt::StrongFocus);
    m_view = new DrawView(this);
    m_view->setObjectName(QStringLiteral("Pic_Zoom"));
    m_view->setFocusPolicy(Qt::NoFocus);
    m_view->setGeometry(rect());
    QPalette black = m_view->palette();
    black.setColor(QPalette::Window, colorFromBgr(settings().ViewColor));
    m_view->setPalette(black);
    // After the view's own painter: this filter sees the paint first and can hold it back.
    m_view->installEventFilter(this);

    Timer1 = new QTimer(this);
    Timer1->setInterval(ZoomTimerIntervalMs);
    // Steps land on their tick: a coarse timer may drift by 5 % of the interval.
    Timer1->setTimerType(Qt::PreciseTimer);
    connect(Timer1, &QTimer::timeout, this, &Frm_Zoom::onTick);
    m_tickClock.start();

    buildMenu();
    // Loading: the delay is the default and the fit item follows the host's ViewType.
    m_state.delay = DefaultSlideDelayMs;
    syncMenu();
}

Frm_Zoom::~Frm_Zoom()
{
    // Unload resets the tick count; the decodes under way end with the cache.
    m_state.tickCount = 0;
}

void Frm_Zoom::buildMenu()
{
    Mnu_View = new QMenu(QStringLiteral("Menu"), this);
    auto *fits = new QActionGroup(this);
    int fitIndex = 0;
    for (const ZoomMenuRow &row : ZoomMenuRows()) {
        if (row.item == ZoomMenuItem::Separator) {
            Mnu_View->addSeparator();
            continue;
        }
        QAction *a = Mnu_View->addAction(row.caption);
        switch (row.item) {
        case ZoomMenuItem::Info0:
        case ZoomMenuItem::Info1:
            Mnu_Info[row.item == ZoomMenuItem::Info0 ? 0 : 1] = a;
            connect(a, &QAction::triggered, this, [this] { m_state.menuTag = QStringLiteral("1"); });
            break;
        case ZoomMenuItem::Slideshow:
            Mnu_Slideshow = a;
            a->setCheckable(true);
            connect(a, &QAction::triggered, this, [this] { ChooseMode(false); });
            break;
        case ZoomMenuItem::Mosaicshow:
            Mnu_Mosaic = a;
            a->setCheckable(true);
            connect(a, &QAction::triggered, this, [this] { ChooseMode(true); });
            break;
        case ZoomMenuItem::Start:
            Mnu_Start = a;
            connect(a, &QAction::triggered, this, &Frm_Zoom::StartStop);
            break;
        case ZoomMenuItem::ZoomLock:
            Mnu_Quit = a;
            a->setCheckable(true);
            connect(a, &QAction::triggered, this, &Frm_Zoom::ToggleZoomLock);
            break;
        case ZoomMenuItem::Next:
            Mnu_Scan[0] = a;
            connect(a, &QAction::triggered, this, &Frm_Zoom::Next);
            break;
        case ZoomMenuItem::Previous:
            Mnu_Scan[1] = a;
            connect(a, &QAction::triggered, this, &Frm_Zoom::Previous);
            break;
        case ZoomMenuItem::Delete:
            Mnu_FileOps = a;
            menuKey(a, Qt::Key_Delete);
            connect(a, &QAction::triggered, this, &Frm_Zoom::DeleteShown);
            break;
        case ZoomMenuItem::FitAutoItem:
        case ZoomMenuItem::FitNormalItem:
        case ZoomMenuItem::FitWidthItem:
        case ZoomMenuItem::FitHeightItem: {
            const int i = fitIndex++;
            Mnu_Fit[i] = a;
            a->setCheckable(true);
            fits->addAction(a);
            connect(a, &QAction::triggered, this, [this, i] { ChooseFit(i); });
            break;
        }
        case ZoomMenuItem::Options:
            Mnu_Option = a;
            menuKey(a, Qt::Key_F4);
            connect(a, &QAction::triggered, this, &Frm_Zoom::optionsRequested);
            break;
        case ZoomMenuItem::Exit:
            Mnu_Exit = a;
            connect(a, &QAction::triggered, this, &Frm_Zoom::CloseViewer);
            break;
        case ZoomMenuItem::Separator:
            break;
        }
    }
    const int fit = ZoomFitIndex(m_host->ViewType());
    if (fit >= 0)
        Mnu_Fit[fit]->setChecked(true);
}

void Frm_Zoom::syncMenu()
{
    Mnu_Slideshow->setChecked(m_state.slideshow);
    Mnu_Mosaic->setChecked(m_state.mosaic);
    Mnu_Quit->setChecked(m_state.zoomLock);
    Mnu_Start->setText(QString::fromUtf16(m_state.running ? StopCaption : StartCaption));
    if (m_state.running && !Timer1->isActive()) {
        Timer1->start();
        m_tickClock.start();
        m_ticksSeen = 0;
    } else if (!m_state.running)
        Timer1->stop();
    Timer1->setProperty("tag", m_state.timerTag);
    Mnu_View->setProperty("tag", m_state.menuTag);
}

void Frm_Zoom::showOn(QScreen *screen)
{
    // The fit item shows the mode in force, also when the host's changed since loading.
    const int fit = ZoomFitIndex(m_host->ViewType());
    for (int i = 0; i < 4; ++i)
        Mnu_Fit[i]->setChecked(i == fit);
    QPalette view = m_view->palette();
    view.setColor(QPalette::Window, colorFromBgr(settings().ViewColor));
    m_view->setPalette(view);
    if (screen) {
        setScreen(screen);
        setGeometry(screen->geometry());
        // About three screens of photos are kept beyond the one shown.
        m_cache.setKeepBytes(qint64(3) * screen->size().width() * screen->size().height() * 4);
    }
    showFullScreen();
    raise();
    activateWindow();
    setFocus();
}

void Frm_Zoom::setInfo(const QStringList &lines)
{
    for (int i = 0; i < 2; ++i)
        Mnu_Info[i]->setText(captionText(lines.value(i)));
}

QStringList Frm_Zoom::infoLines() const
{
    QStringList lines;
    for (QAction *a : Mnu_Info)
        lines << QString(a->text()).replace(QStringLiteral("&&"), QStringLiteral("&"));
    return lines;
}

void Frm_Zoom::setTag(const QString &tag)
{
    m_view->setProperty("tag", tag);
}

QString Frm_Zoom::tag() const
{
    return m_view->property("tag").toString();
}

QImage Frm_Zoom::shownImage() const
{
    return m_view->painter().screen();
}

ViewTarget Frm_Zoom::targetFor(const QString &fitMode, ZoomFactor zoom) const
{
    // The zoom counts only in "FitNormal": other modes share their decodes.
    const ZoomFactor z = fitMode == QStringView(FitNormal) ? zoom.effective() : ZoomFactor::fromWhole(1);
    const Settings &cfg = settings();
    return { m_view->size(), fitMode, z, cfg.E_Quality != 0, colorFromBgr(cfg.ViewColor).rgb() };
}

bool Frm_Zoom::showItem(int item, const QString &fitMode, ZoomFactor zoom)
{
    const QString path = m_host->ZoomFilePath(item);
    if (path.isEmpty())
        return false;
    m_view->painter().finish();
    m_panOrigin = QPointF();
    const ViewTarget target = targetFor(fitMode, zoom);
    ViewState &vs = viewState();
    m_view->setDrawSettings(settings());
    bool shown = false;
    // The view state is shared with the preview, which holds its photo decoded for
    // a smaller pane: the viewer's photo comes decoded, and composed, for the window.
    if (vs.current.isNull() || vs.currentFile != path || m_shownFile != path || !(m_shownTarget == target)) {
        PreparedImage p = m_cache.take(path, target);
        if (p.image.isNull()) {
            m_shownFile.clear();
            showFailure(path.section(u'/', -1));
            prefetchAround(item);
            return false;
        }
        FreeCurrentImage(vs);
        m_shownFile = path;
        m_shownTarget = target;
        if (!p.view.offscreen.isNull()) {
            // Composed ahead: taking it over is all that is left to do here.
            const QImage spare = std::move(vs.spare);
            vs = std::move(p.view);
            vs.spare = spare;
            shown = m_view->showComposed(fitMode, zoom.effective());
        } else {
            vs.current = p.image;
            vs.currentFile = path;
            vs.currentIcc = p.view.currentIcc;
            vs.natural = p.natural;
            vs.reduction = p.view.reduction;
        }
    }
    if (!shown)
        shown = m_view->showImage(path, fitMode, zoom.effective());
    m_mosaicShown = false;
    if (!shown)
        showFailure(path.section(u'/', -1));
    prefetchAround(item);
    emit drawn();
    return shown;
}

void Frm_Zoom::prefetchAround(int item)
{
    const int count = m_host->ZoomFileCount();
    if (count <= 0)
        return;
    const auto wrap = [count](int i) { return (i - 1 + count) % count + 1; };
    // The way the user is going decodes first; the other neighbour is usually the
    // photo just shown, still held.
    const int direction = (m_lastItem > 0 && item == wrap(m_lastItem - 1) && item != wrap(m_lastItem + 1)) ? -1 : 1;
    m_lastItem = item;
    if (count == 1)
        return;
    const ViewTarget target =
        m_shownTarget.box.isEmpty() ? targetFor(m_host->ViewType(), m_host->PreviewZoom()) : m_shownTarget;
    const QString ahead = m_host->ZoomFilePath(wrap(item + direction));
    const QString behind = m_host->ZoomFilePath(wrap(item - direction));
    m_cache.setWanted({ ahead, behind });
    m_cache.prefetch(ahead, target);
    m_cache.prefetch(behind, target);
}

void Frm_Zoom::showFailure(const QString &name)
{
    // As the preview does: the window says which file could not be shown rather
    // than keeping the previous photo under the new name.
    m_view->clearView();
    const QColor background = colorFromBgr(settings().ViewColor);
    const QColor ink = qGray(background.rgb()) > 127 ? Qt::black : Qt::white;
    const QString text = name + QLatin1Char('\n') + QStringLiteral("Error in file");
    m_view->painter().paintOver([&](QPainter &p) {
        p.setPen(ink);
        p.setFont(font());
        p.drawText(m_view->rect(), Qt::AlignCenter | Qt::TextWordWrap, text);
    });
    m_mosaicShown = false;
}

bool Frm_Zoom::singleShown() const
{
    return !m_mosaicShown && m_view->hasImage() && !viewState().offscreen.isNull();
}

void Frm_Zoom::Next()
{
    if (m_state.singleImageSteps())
        m_host->ZoomImageStep(QStringLiteral("+"));
    else
        MosaicStep();
}

void Frm_Zoom::Previous()
{
    if (m_state.singleImageSteps()) {
        m_host->ZoomImageStep(QStringLiteral("-"));
    } else {
        m_state.mosaicPosition -= MosaicBackStep;
        MosaicStep();
    }
}

void Frm_Zoom::MosaicStep()
{
    m_view->painter().finish();
    const int count = m_host->ZoomFileCount();
    const v7::MosaicPage page = v7::MosaicStep(m_state.mosaicPosition, count, m_view->size());
    m_state.mosaicPosition = page.position;
    const Settings &cfg = settings();
    // All nine cells decode at once, each at its cell's size.
    QStringList files;
    for (const MosaicCell &c : page.cells) {
        files << m_host->ZoomFilePath(c.item);
        m_cache.prefetchCell(files.back(), c.rect.size(), cfg.E_Quality);
    }
    std::vector<QImage> images;
    for (int i = 0; i < int(page.cells.size()); ++i)
        images.push_back(m_cache.takeCell(files[i], page.cells[size_t(i)].rect.size(), cfg.E_Quality));
    const QColor background = colorFromBgr(cfg.ViewColor);
    m_view->painter().paintOver([&](QPainter &p) {
        p.fillRect(m_view->rect(), background);
        for (size_t i = 0; i < page.cells.size(); ++i) {
            const QImage &image = images[i];
            if (image.isNull())
                continue; // a file that cannot be drawn leaves its cell empty
            const QRect &r = page.cells[i].rect;
            const QPoint at = r.topLeft()
                + QPoint(int(divRoundHalfEven(r.width() - image.width(), 2)),
                    int(divRoundHalfEven(r.height() - image.height(), 2)));
            p.drawImage(at, image);
            drawEdge(p, r, EdgeStyle::Raised);
        }
    });
    m_mosaicShown = true;
    if (page.selectItem > 0)
        m_host->ZoomSelectItem(page.selectItem);
    // The next page decodes while this one is looked at.
    QStringList keep = files;
    const v7::MosaicPage next = v7::MosaicStep(page.position, count, m_view->size());
    for (const MosaicCell &c : next.cells) {
        keep << m_host->ZoomFilePath(c.item);
        m_cache.prefetchCell(keep.back(), c.rect.size(), cfg.E_Quality);
    }
    m_cache.keepCellsOf(keep);
    emit drawn();
}

void Frm_Zoom::StartStop()
{
    v7::StartStop(m_state, m_host->ZoomSelectedItem());
    syncMenu(); // a start also restarts the tick clock
}

void Frm_Zoom::ChooseMode(bool mosaic)
{
    const ModeDrawing drawing = ChooseShowMode(m_state, mosaic, m_host->ZoomSelectedItem());
    syncMenu();
    const bool single = m_state.singleItemsEnabled();
    for (QAction *a :
        { Mnu_Info[0], Mnu_Info[1], Mnu_Quit, Mnu_FileOps, Mnu_Fit[0], Mnu_Fit[1], Mnu_Fit[2], Mnu_Fit[3] })
        a->setEnabled(single);
    if (drawing == ModeDrawing::MosaicStep)
        MosaicStep();
    else
        m_host->ZoomImageStep(QString());
}

void Frm_Zoom::ToggleZoomLock()
{
    m_state.zoomLock = !m_state.zoomLock;
    if (m_state.zoomLock)
        m_host->SetPreviewZoom(ZoomFactor());
    syncMenu();
}

void Frm_Zoom::ChooseFit(int index)
{
    const QString mode = ZoomFitMode(index);
    if (mode.isEmpty())
        return;
    m_host->SetViewType(mode);
    m_host->ZoomImageStep(QString());
    for (int i = 0; i < 4; ++i)
        Mnu_Fit[i]->setChecked(i == index);
}

void Frm_Zoom::DeleteShown()
{
    // Not while a mosaic shows, in either mode: the file that would go is not the
    // one the user looks at.
    if (m_state.mosaic || m_mosaicShown)
        return;
    if (!m_host->ZoomDeleteShown())
        return; // refused or failed: the photo stays
    if (m_host->ZoomFileCount() == 0) {
        m_view->clearView();
        return;
    }
    Next();
}

void Frm_Zoom::CloseViewer()
{
    Timer1->stop();
    m_state.tickCount = 0;
    m_state.running = false;
    syncMenu();
    m_panOrigin = QPointF();
    unsetCursor();
    m_view->painter().finish();
    m_host->ZoomWindowClosing();
    QCoreApplication::processEvents();
    hide();
    // The photos held are the window's: the browser does not need them.
    m_cache.clear();
    m_shownFile.clear();
    emit closed();
}

void Frm_Zoom::closeEvent(QCloseEvent *event)
{
    // Closed by the desktop (Alt+F4, the window manager): the same close as Esc, so
    // the slideshow stops and the browser gets its preview back as it was.
    event->ignore();
    if (isVisible())
        CloseViewer();
}

void Frm_Zoom::ShowDelayLabel()
{
    const QFontMetrics metrics(font());
    const QRect box = DelayLabelBox(metrics.horizontalAdvance(QStringLiteral("10 sec.")), metrics.height());
    const QString text = DelayLabelText(m_state.delay);
    m_view->painter().paintOver([&](QPainter &p) {
        p.fillRect(box, Qt::white);
        p.setPen(Qt::black);
        p.setFont(font());
        p.drawText(DelayLabelTextAt + QPoint(0, metrics.ascent()), text);
    });
}

void Frm_Zoom::onTick()
{
    // Ticks are counted by the clock: one the event loop could not deliver (this
    // thread was busy past a tick) still counts, so the steps keep to the delay
    // instead of slipping a tick later each time. One step at most per tick.
    const qint64 due = std::max<qint64>(m_ticksSeen + 1, m_tickClock.elapsed() / ZoomTimerIntervalMs);
    TickAction a;
    for (; m_ticksSeen < due; ++m_ticksSeen) {
        const TickAction t = Tick(m_state);
        if (t.step)
            a = t;
    }
    if (!a.step)
        return;
    if (a.resetZoom)
        m_host->SetPreviewZoom(ZoomFactor());
    if (a.mosaic)
        MosaicStep();
    else
        Next();
}

void Frm_Zoom::keyPressEvent(QKeyEvent *event)
{
    // A key during a transition ends it at once and is never queued behind it.
    m_view->painter().finish();
    const std::optional<ZoomKeyAction> action = ZoomKeyLookup(event->key(), event->modifiers(), m_state);
    if (action)
        runKey(*action);
    else
        QWidget::keyPressEvent(event);
    setTag(QString());
}

void Frm_Zoom::runKey(const ZoomKeyAction &action)
{
    switch (action.command) {
    case ZoomCommand::Menu:
        popupMenu(mapToGlobal(PopupFromMenuKey), false);
        break;
    case ZoomCommand::Delete:
        DeleteShown();
        break;
    case ZoomCommand::Next:
        Next();
        break;
    case ZoomCommand::Previous:
        Previous();
        break;
    case ZoomCommand::Top:
        if (singleShown())
            if (const std::optional<int> y = TopOffset(viewState().imageH, viewState().viewH))
                setVerticalOffset(*y);
        break;
    case ZoomCommand::Bottom:
        if (singleShown())
            if (const std::optional<int> y = BottomOffset(viewState().imageH, viewState().viewH))
                setVerticalOffset(*y);
        break;
    case ZoomCommand::Options:
        emit optionsRequested();
        break;
    case ZoomCommand::Close:
        CloseViewer();
        break;
    case ZoomCommand::ZoomIn:
        m_host->ZoomStep(QStringLiteral("+"));
        break;
    case ZoomCommand::ZoomOut:
        m_host->ZoomStep(QStringLiteral("-"));
        break;
    case ZoomCommand::ZoomDigit:
        m_host->SetPreviewZoom(ZoomFactor::fromWhole(action.arg));
        m_host->ZoomStep(QString());
        break;
    case ZoomCommand::DelayUp:
        m_state.delay = LongerDelay(m_state.delay);
        ShowDelayLabel();
        break;
    case ZoomCommand::DelayDown:
        m_state.delay = ShorterDelay(m_state.delay);
        ShowDelayLabel();
        break;
    case ZoomCommand::PanLeft:
        keyboardPan(-1, 0);
        break;
    case ZoomCommand::PanRight:
        keyboardPan(1, 0);
        break;
    case ZoomCommand::PanUp:
        keyboardPan(0, -1);
        break;
    case ZoomCommand::PanDown:
        keyboardPan(0, 1);
        break;
    }
}

void Frm_Zoom::setVerticalOffset(int y)
{
    viewState().srcY = y;
    m_view->redrawAtOffset(0, 0);
}

void Frm_Zoom::keyboardPan(int dx, int dy)
{
    // Panning moves the single photo; a mosaic has nothing to pan.
    if (!singleShown())
        return;
    ViewState &vs = viewState();
    const std::vector<int> steps = dx != 0
        ? KeyboardPanOffsets(vs.srcX, vs.viewW, vs.imageW, dx, ZoomPanStep, ZoomPanMaxSteps)
        : KeyboardPanOffsets(vs.srcY, vs.viewH, vs.imageH, dy, ZoomPanStep, ZoomPanMaxSteps);
    for (int offset : steps) {
        (dx != 0 ? vs.srcX : vs.srcY) = offset;
        m_view->redrawAtOffset(0, 0);
        m_view->repaint(); // each step reaches the screen: the photo scrolls, it does not jump
    }
}

void Frm_Zoom::panBy(int dx, int dy)
{
    ViewState &vs = viewState();
    const PanGeometry g { vs.viewW, vs.viewH, vs.imageW, vs.imageH, vs.srcX, vs.srcY };
    const PanScroll s = IncrementalPan(g, dx, dy);
    if (s.shift.isNull())
        return;
    // Zoomed in, only the part near the view is composed: a pan beyond it composes
    // the part it reaches.
    const QRect visible = QRect(QPoint(0, 0), QSize(vs.viewW, vs.viewH)).translated(s.origin);
    if (!ComposePart(vs, visible.intersected(QRect(0, 0, vs.imageW, vs.imageH))))
        return;
    vs.srcX = s.offsets.x();
    vs.srcY = s.offsets.y();
    m_view->painter().scroll(s.shift, [&](QPainter &p) {
        for (const QRect &strip : s.strips)
            p.drawImage(strip.topLeft(), vs.offscreen, strip.translated(s.origin - vs.offscreenAt));
    });
}

void Frm_Zoom::popupMenu(const QPoint &globalPos, bool again)
{
    Mnu_View->setDefaultAction(Mnu_Info[0]);
    do {
        m_state.menuTag.clear();
        Mnu_View->setProperty("tag", QString());
        Mnu_View->exec(globalPos);
    } while (again && m_state.menuTag == QLatin1String("1") && isVisible());
}

void Frm_Zoom::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton) {
        popupMenu(event->globalPosition().toPoint() + PopupFromPointer, true);
        return;
    }
    if (!singleShown())
        return;
    m_panOrigin = event->position();
    setCursor(Qt::ClosedHandCursor);
}

void Frm_Zoom::mouseMoveEvent(QMouseEvent *event)
{
    if (m_panOrigin.isNull() || !(event->buttons() & Qt::LeftButton) || !singleShown())
        return;
    const QPointF d = m_panOrigin - event->position();
    const int dx = int(d.x()), dy = int(d.y());
    if (dx == 0 && dy == 0)
        return;
    panBy(dx, dy);
    // The part of the move below a pixel is kept for the next one.
    m_panOrigin -= QPointF(dx, dy);
}

void Frm_Zoom::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton)
        return;
    m_panOrigin = QPointF();
    unsetCursor();
}

void Frm_Zoom::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_view->setGeometry(rect());
}

bool Frm_Zoom::eventFilter(QObject *watched, QEvent *event)
{
    // While the window opens it shows nothing old: its photo comes right after.
    if (watched == m_view && event->type() == QEvent::Paint && tag() == QStringView(NoRepaintTag))
        return true;
    return QWidget::eventFilter(watched, event);
}

} // namespace v7
