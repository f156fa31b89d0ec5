#include "imaging/widgets/DrawView.h"

#include "imaging/Pan.h"

#include <QPainter>

namespace v7
{

DrawView::DrawView(QWidget *parent)
    : QWidget(parent)
    , m_painter(this)
{
    // The painter paints every exposed pixel.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

bool DrawView::showImage(const QString &file, const QString &fitMode, ZoomFactor zoom)
{
    m_fitMode = fitMode;
    m_zoom = zoom;
    m_shown = ShowImageFitted(file, m_painter, m_fitMode, m_zoom, m_cfg);
    return m_shown;
}

bool DrawView::showComposed(const QString &fitMode, ZoomFactor zoom)
{
    ViewState &vs = viewState();
    m_fitMode = fitMode;
    m_zoom = zoom;
    m_shown = !vs.offscreen.isNull() && QSize(vs.viewW, vs.viewH) == size();
    if (!m_shown)
        return false;
    RunTransition(m_painter, vs, m_cfg);
    m_painter.setTag(QString());
    return true;
}

bool DrawView::recompose()
{
    if (!m_shown)
        return false;
    ViewState &vs = viewState();
    if (!ComposeFitted(vs, size(), m_fitMode, m_zoom, m_cfg.E_Quality))
        return false;
    RunPlainCopy(m_painter, vs, m_cfg.ViewColor);
    return true;
}

namespace
{
    PanGeometry panGeometry(const ViewState &vs, QSize view)
    {
        return { view.width(), view.height(), vs.imageW, vs.imageH, vs.srcX, vs.srcY };
    }
} // namespace

void DrawView::redrawAtOffset(int dx, int dy)
{
    ViewState &vs = viewState();
    if (!m_shown || vs.offscreen.isNull())
        return;
    const PanCopy c = RedrawAtOffset(panGeometry(vs, size()), dx, dy);
    // Zoomed in, only the part near the view is composed: a pan beyond it
    // composes the part it reaches.
    if (!ComposePart(vs, c.source))
        return;
    const QRect from = c.source.translated(-vs.offscreenAt);
    const QColor background = colorFromBgr(m_cfg.ViewColor);
    m_painter.paintOver([&](QPainter &p) {
        if (c.margins)
            p.fillRect(rect(), background);
        p.drawImage(c.destination, vs.offscreen, from);
    });
}

void DrawView::commitPan(int dx, int dy)
{
    ViewState &vs = viewState();
    if (!m_shown || vs.offscreen.isNull())
        return;
    const QPoint o = PanOffsets(panGeometry(vs, size()), dx, dy);
    vs.srcX = o.x();
    vs.srcY = o.y();
    redrawAtOffset(0, 0);
}

void DrawView::clearView()
{
    m_shown = false;
    const QColor background = colorFromBgr(m_cfg.ViewColor);
    m_painter.paintOver([&](QPainter &p) { p.fillRect(rect(), background); });
}

void DrawView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (property("tag").toString() != QStringView(NoRepaintTag))
        recompose();
}

} // namespace v7
