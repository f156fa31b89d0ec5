#include "app/CustomFrame.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionTitleBar>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace v7
{
namespace
{

    bool g_styleOn = false;

    std::vector<QWidget *> &attachedWindows()
    {
        static std::vector<QWidget *> windows;
        return windows;
    }

    const char *const kFrameProperty = "v7CustomFrame";

    // The sizing border that stays free of children, so the edges can be grabbed.
    int grabWidth(const OutlineMetrics &m)
    {
        return std::max(4, m.frameWidth);
    }

    double titleWidth(const QWidget *window)
    {
        return QFontMetricsF(window->font()).horizontalAdvance(window->windowTitle());
    }

} // namespace

OutlineMetrics OutlineMetricsFor(const QWidget *window)
{
    const QStyle *style = window->style();
    QStyleOptionTitleBar option;
    option.initFrom(window);
    option.titleBarFlags = Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint
        | Qt::WindowCloseButtonHint;
    OutlineMetrics m;
    m.captionHeight = style->pixelMetric(QStyle::PM_TitleBarHeight, &option, window);
    m.frameWidth = style->pixelMetric(QStyle::PM_MdiSubWindowFrameWidth, nullptr, window);
    m.frameHeight = m.frameWidth;
    m.captionButtonWidth = style->pixelMetric(QStyle::PM_TitleBarButtonSize, &option, window);
    // A style that reports no button size still gets buttons one caption high.
    if (m.captionButtonWidth <= 0)
        m.captionButtonWidth = std::max(12, m.captionHeight - 4);
    if (m.captionHeight <= 0)
        m.captionHeight = 18;
    return m;
}

OutlineVertices ComputeOutline(const QWidget *window)
{
    return ComputeOutline(OutlineMetricsFor(window), window->width(), window->height(), titleWidth(window));
}

bool ApplyOutline(QWidget *window)
{
    if (!CustomFrame::platformSupportsOutline())
        return false;
    const OutlineMetrics metrics = OutlineMetricsFor(window);
    const OutlineVertices outline = ComputeOutline(metrics, window->width(), window->height(), titleWidth(window));
    window->setMask(QRegion(OutlinePolygon(outline), Qt::OddEvenFill));
    if (CustomFrame *frame = CustomFrame::of(window)) {
        CaptionTab *tab = frame->captionTab();
        tab->setMetrics(metrics);
        tab->setGeometry(0, 0, outline[1].x(), outline[2].y());
        tab->raise();
        tab->show();
    }
    window->update();
    return true;
}

void RemoveOutline(QWidget *window)
{
    window->clearMask();
    if (CustomFrame *frame = CustomFrame::of(window))
        frame->captionTab()->hide();
    window->update();
}

// ---------------------------------------------------------------------------

CustomFrame::CustomFrame(QWidget *window)
    : QObject(window)
    , m_window(window)
{
    m_tab = new CaptionTab(window, OutlineMetricsFor(window));
    m_tab->hide();
    connect(m_tab, &CaptionTab::windowMenuRequested, this, &CustomFrame::windowMenuRequested);
    m_desktopFlags = window->windowFlags();
    m_desktopMargins = window->contentsMargins();
    window->setProperty(kFrameProperty, QVariant::fromValue(static_cast<QObject *>(this)));
    window->installEventFilter(this);
}

CustomFrame::~CustomFrame()
{
    // Deleted with its window, as one of the window's children.
    auto &windows = attachedWindows();
    windows.erase(std::remove(windows.begin(), windows.end(), m_window), windows.end());
}

CustomFrame *CustomFrame::attach(QWidget *window)
{
    if (CustomFrame *existing = of(window))
        return existing;
    auto *frame = new CustomFrame(window);
    attachedWindows().push_back(window);
    if (g_styleOn)
        frame->switchFrame(true);
    return frame;
}

CustomFrame *CustomFrame::of(const QWidget *window)
{
    if (!window)
        return nullptr;
    return qobject_cast<CustomFrame *>(window->property(kFrameProperty).value<QObject *>());
}

bool CustomFrame::styleOn()
{
    return g_styleOn;
}

void CustomFrame::setStyleOn(bool on)
{
    g_styleOn = on;
    const std::vector<QWidget *> windows = attachedWindows();
    for (QWidget *w : windows)
        if (CustomFrame *frame = of(w))
            frame->switchFrame(on);
}

bool CustomFrame::platformSupportsOutline()
{
    // Platforms that draw into a bare frame buffer have no window shapes or frames.
    static const bool supported = [] {
        const QString name = QGuiApplication::platformName();
        const bool ok = !(name == QLatin1String("minimal") || name == QLatin1String("eglfs")
            || name == QLatin1String("linuxfb") || name == QLatin1String("vnc") || name == QLatin1String("minimalegl"));
        if (!ok)
            std::fprintf(stderr,
                "Vorlane7: the custom window style is not available on this display (%s); "
                "using the standard frame.\n",
                qPrintable(name));
        return ok;
    }();
    return supported;
}

void CustomFrame::switchFrame(bool on)
{
    QWidget *w = m_window;
    if (!w)
        return;
    on = on && platformSupportsOutline();
    if (on == m_styled)
        return;
    const bool visible = w->isVisible();
    const bool maximised = w->isMaximized();
    // The place on screen is the outer rectangle: with the desktop's frame it includes
    // the frame, without it the window itself.
    const QRect outer = w->frameGeometry();
    const QRect inner = w->geometry();
    if (on) {
        m_desktopFlags = w->windowFlags();
        m_desktopMargins = w->contentsMargins();
        m_frameMargins = QMargins(inner.left() - outer.left(),
            inner.top() - outer.top(),
            outer.right() - inner.right(),
            outer.bottom() - inner.bottom());
        w->setWindowFlags(m_desktopFlags | Qt::FramelessWindowHint);
        const OutlineMetrics metrics = OutlineMetricsFor(w);
        const int edge = grabWidth(metrics);
        w->setContentsMargins(
            m_desktopMargins + QMargins(edge, std::max(edge, OutlineCaptionHeight(metrics)), edge, edge));
        m_styled = true;
        if (visible && !maximised)
            w->setGeometry(outer);
    } else {
        RemoveOutline(w);
        w->setWindowFlags(m_desktopFlags);
        w->setContentsMargins(m_desktopMargins);
        m_styled = false;
        if (visible && !maximised) {
            w->setGeometry(outer.marginsRemoved(m_frameMargins));
            w->move(outer.topLeft());
        }
    }
    // Changing the flags hides a top-level window; show it again as it was.
    if (visible) {
        if (maximised)
            w->showMaximized();
        else
            w->show();
    }
    if (m_styled)
        refresh();
}

QMargins CustomFrame::ownMargins() const
{
    return m_styled && m_window ? m_window->contentsMargins() - m_desktopMargins : QMargins();
}

void CustomFrame::refresh()
{
    if (m_styled && m_window && !ApplyOutline(m_window))
        switchFrame(false);
}

Qt::Edges CustomFrame::edgesAt(const QPoint &pos) const
{
    Qt::Edges edges;
    if (!m_window || m_window->isMaximized())
        return edges;
    const int g = grabWidth(OutlineMetricsFor(m_window));
    const QRect r = m_window->rect();
    if (pos.x() < g)
        edges |= Qt::LeftEdge;
    if (pos.x() >= r.width() - g)
        edges |= Qt::RightEdge;
    if (pos.y() >= r.height() - g)
        edges |= Qt::BottomEdge;
    // The top edge exists only under the tab; right of it the window begins at the caption band.
    const int c = OutlineCaptionHeight(OutlineMetricsFor(m_window));
    if (pos.y() < g || (pos.x() > m_tab->width() && pos.y() >= c && pos.y() < c + g))
        edges |= Qt::TopEdge;
    return edges;
}

bool CustomFrame::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window || !m_styled)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::WindowTitleChange:
    case QEvent::FontChange:
    case QEvent::StyleChange:
    case QEvent::WindowStateChange:
        refresh();
        break;
    case QEvent::WindowActivate:
    case QEvent::WindowDeactivate:
        // The tab's colours follow activation; Qt repaints on it only where the
        // palette's active and inactive colours differ.
        m_tab->update();
        break;
    case QEvent::MouseButtonPress: {
        auto *me = static_cast<QMouseEvent *>(event);
        const Qt::Edges edges = edgesAt(me->position().toPoint());
        if (me->button() != Qt::LeftButton || !edges)
            break;
        QWindow *handle = m_window->windowHandle();
        if (handle && handle->startSystemResize(edges))
            return true;
        m_dragEdges = edges;
        m_dragStart = me->globalPosition().toPoint();
        m_dragGeometry = m_window->geometry();
        return true;
    }
    case QEvent::MouseMove: {
        auto *me = static_cast<QMouseEvent *>(event);
        if (m_dragEdges) {
            const QPoint d = me->globalPosition().toPoint() - m_dragStart;
            QRect g = m_dragGeometry;
            if (m_dragEdges & Qt::LeftEdge)
                g.setLeft(g.left() + d.x());
            if (m_dragEdges & Qt::RightEdge)
                g.setRight(g.right() + d.x());
            if (m_dragEdges & Qt::TopEdge)
                g.setTop(g.top() + d.y());
            if (m_dragEdges & Qt::BottomEdge)
                g.setBottom(g.bottom() + d.y());
            if (g.width() >= m_window->minimumWidth() && g.height() >= m_window->minimumHeight())
                m_window->setGeometry(g);
            return true;
        }
        const Qt::Edges edges = edgesAt(me->position().toPoint());
        if ((edges & (Qt::LeftEdge | Qt::TopEdge)) == (Qt::LeftEdge | Qt::TopEdge)
            || (edges & (Qt::RightEdge | Qt::BottomEdge)) == (Qt::RightEdge | Qt::BottomEdge))
            m_window->setCursor(Qt::SizeFDiagCursor);
        else if ((edges & (Qt::RightEdge | Qt::TopEdge)) == (Qt::RightEdge | Qt::TopEdge)
            || (edges & (Qt::LeftEdge | Qt::BottomEdge)) == (Qt::LeftEdge | Qt::BottomEdge))
            m_window->setCursor(Qt::SizeBDiagCursor);
        else if (edges & (Qt::LeftEdge | Qt::RightEdge))
            m_window->setCursor(Qt::SizeHorCursor);
        else if (edges & (Qt::TopEdge | Qt::BottomEdge))
            m_window->setCursor(Qt::SizeVerCursor);
        else
            m_window->unsetCursor();
        break;
    }
    case QEvent::MouseButtonRelease:
        if (m_dragEdges) {
            m_dragEdges = {};
            return true;
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------

CaptionTab::CaptionTab(QWidget *window, const OutlineMetrics &metrics)
    : QWidget(window)
    , m_window(window)
    , m_metrics(metrics)
{
    setObjectName(QStringLiteral("CaptionTab"));
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CaptionTab::setMetrics(const OutlineMetrics &metrics)
{
    m_metrics = metrics;
    update();
}

QRect CaptionTab::buttonRect(Button button) const
{
    if (button == None)
        return {};
    // The three buttons fill the last three button widths of the tab.
    const int b = m_metrics.captionButtonWidth;
    const int size = std::min(b, std::max(8, height() - 4));
    const int left = width() - (3 - int(button)) * b;
    return QRect(left + (b - size) / 2, (height() - size) / 2, size, size);
}

CaptionTab::Button CaptionTab::buttonAt(const QPoint &pos) const
{
    // The whole button column is the hit area, top to bottom of the tab.
    const int b = m_metrics.captionButtonWidth;
    for (Button button : { Minimise, Maximise, Close })
        if (pos.x() >= width() - (3 - int(button)) * b && pos.x() < width() - (2 - int(button)) * b)
            return button;
    return None;
}

void CaptionTab::pressButton(Button button)
{
    switch (button) {
    case Minimise:
        m_window->showMinimized();
        break;
    case Maximise:
        if (m_window->isMaximized())
            m_window->showNormal();
        else
            m_window->showMaximized();
        break;
    case Close:
        // The window's own close path, so a main window still closes as it always does.
        m_window->close();
        break;
    case None:
        break;
    }
}

void CaptionTab::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const bool active = m_window->isActiveWindow();
    const QPalette &pal = palette();
    const QColor base = active ? pal.color(QPalette::Highlight) : pal.color(QPalette::Mid);
    QLinearGradient fill(0, 0, 0, height());
    fill.setColorAt(0, base.lighter(135));
    fill.setColorAt(1, base);
    p.fillRect(rect(), fill);
    p.setPen(base.darker(150));
    p.drawRect(rect().adjusted(0, 0, -1, -1));

    const int b = m_metrics.captionButtonWidth;
    const QIcon icon = m_window->windowIcon();
    const int iconSize = std::min(b, height()) - 4;
    if (!icon.isNull() && iconSize > 4)
        icon.paint(&p, QRect(m_metrics.frameWidth + (b - iconSize) / 2, (height() - iconSize) / 2, iconSize, iconSize));
    p.setFont(m_window->font());
    p.setPen(active ? pal.color(QPalette::HighlightedText) : pal.color(QPalette::WindowText));
    const QRect titleRect(m_metrics.frameWidth + b, 0, width() - m_metrics.frameWidth - 4 * b, height());
    p.drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, m_window->windowTitle());

    p.setRenderHint(QPainter::Antialiasing);
    for (Button button : { Minimise, Maximise, Close }) {
        const QRect r = buttonRect(button);
        p.setPen(pal.color(QPalette::ButtonText));
        p.setBrush(button == m_pressed ? pal.color(QPalette::Dark) : pal.color(QPalette::Button));
        p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
        const QRectF g = QRectF(r).adjusted(r.width() * 0.28, r.height() * 0.28, -r.width() * 0.28, -r.height() * 0.28);
        QPen glyph(pal.color(QPalette::ButtonText), 1.4);
        p.setPen(glyph);
        p.setBrush(Qt::NoBrush);
        if (button == Minimise) {
            p.drawLine(QPointF(g.left(), g.bottom()), QPointF(g.right(), g.bottom()));
        } else if (button == Maximise) {
            if (m_window->isMaximized()) {
                p.drawRect(g.adjusted(g.width() * 0.3, 0, 0, -g.height() * 0.3));
                p.drawRect(g.adjusted(0, g.height() * 0.3, -g.width() * 0.3, 0));
            } else {
                p.drawRect(g);
            }
        } else {
            p.drawLine(g.topLeft(), g.bottomRight());
            p.drawLine(g.topRight(), g.bottomLeft());
        }
    }
}

void CaptionTab::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton) {
        Q_EMIT windowMenuRequested(event->globalPosition().toPoint());
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    m_pressed = buttonAt(event->position().toPoint());
    if (m_pressed != None) {
        update();
        return;
    }
    // The move starts once the pointer has travelled: a window manager that takes over
    // the pointer on a bare press would swallow the second click of a double-click.
    m_movePending = true;
    m_pressPos = event->globalPosition().toPoint();
    m_moveOffset = m_pressPos - m_window->frameGeometry().topLeft();
}

void CaptionTab::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const QPoint global = event->globalPosition().toPoint();
    if (m_movePending && (global - m_pressPos).manhattanLength() >= QApplication::startDragDistance()) {
        m_movePending = false;
        QWindow *handle = m_window->windowHandle();
        m_manualMove = !(handle && handle->startSystemMove());
    }
    if (m_manualMove && !m_window->isMaximized())
        m_window->move(global - m_moveOffset);
}

void CaptionTab::mouseReleaseEvent(QMouseEvent *event)
{
    m_manualMove = false;
    m_movePending = false;
    const Button pressed = m_pressed;
    m_pressed = None;
    update();
    // A button acts only when the pointer is let go over the button it went down on.
    if (pressed != None && buttonAt(event->position().toPoint()) == pressed)
        pressButton(pressed);
}

void CaptionTab::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && buttonAt(event->position().toPoint()) == None)
        pressButton(Maximise);
}

} // namespace v7
