#include "imaging/widgets/DrawView.h"

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

void DrawView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (property("tag").toString() != QStringView(NoRepaintTag))
        recompose();
}

} // namespace v7
