#include "imaging/widgets/TransitionPainter.h"

#include <QPaintEvent>
#include <QPainter>
#include <cstring>

namespace v7
{

TransitionPainter::TransitionPainter(QWidget *target)
    : QObject(target)
    , m_target(target)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { advance(false); });
    target->installEventFilter(this);
}

bool TransitionPainter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_target || event->type() != QEvent::Paint)
        return QObject::eventFilter(watched, event);
    // What the widget shows is the screen image: its own painting is not needed.
    QPainter painter(m_target);
    paint(painter, static_cast<QPaintEvent *>(event)->rect());
    return true;
}

QSize TransitionPainter::clientSize() const
{
    return m_target ? m_target->size() : QSize();
}

void TransitionPainter::ensureScreen()
{
    const QSize size = clientSize();
    if (m_screen.size() == size)
        return;
    QImage screen(size, QImage::Format_RGB32);
    screen.fill(m_target ? m_target->palette().color(m_target->backgroundRole()) : QColor(Qt::black));
    if (!m_screen.isNull()) {
        QPainter p(&screen);
        p.drawImage(0, 0, m_screen);
    }
    m_screen = screen;
}

void TransitionPainter::showComposed(const QImage &composed, const TransitionPlan &plan, QColor marginColor)
{
    finish();
    ensureScreen();
    m_composed = composed;
    m_plan = plan;
    m_next = 0;
    m_revealed = QRegion();
    if (plan.paintMargins) {
        QPainter p(&m_screen);
        PaintMargins(p, plan.place, m_screen.size(), marginColor);
        if (m_target) {
            for (const QRect &r : marginRects(plan.place, m_screen.size()))
                m_target->update(r);
        }
    }
    m_running = true;
    advance(false);
}

void TransitionPainter::copy(const QRect &rect)
{
    // Only what earlier steps have not shown yet is copied.
    const QRegion fresh = QRegion(rect) - m_revealed;
    if (fresh.isEmpty())
        return;
    QPainter p(&m_screen);
    for (const QRect &r : fresh)
        p.drawImage(r.topLeft(), m_composed, QRect(m_plan.sourceFor(r), r.size()));
    m_revealed += fresh;
    if (m_target)
        m_target->update(fresh);
}

void TransitionPainter::advance(bool toEnd)
{
    while (m_next < m_plan.ops.size()) {
        const TransitionOp &op = m_plan.ops[m_next++];
        if (op.kind == TransitionOp::Kind::Copy) {
            copy(op.rect);
        } else if (!toEnd) {
            m_timer.start(op.ms);
            return;
        }
    }
    m_timer.stop();
    m_running = false;
    m_composed = QImage();
    emit finished();
}

void TransitionPainter::finish()
{
    if (m_running)
        advance(true);
}

void TransitionPainter::paintOver(const std::function<void(QPainter &)> &paint)
{
    finish();
    ensureScreen();
    QPainter p(&m_screen);
    paint(p);
    p.end();
    if (m_target)
        m_target->update();
}

void TransitionPainter::scroll(QPoint shift, const std::function<void(QPainter &)> &paint)
{
    finish();
    ensureScreen();
    const QRect all = m_screen.rect();
    const QRect kept = all.intersected(all.translated(shift));
    if (!kept.isEmpty() && !shift.isNull()) {
        // Rows move inside one buffer: walk them so that none is read after being written.
        const QRect from = kept.translated(-shift);
        const qsizetype bpl = m_screen.bytesPerLine();
        const int px = m_screen.depth() / 8;
        uchar *bits = m_screen.bits();
        const auto moveRow = [&](int y) {
            std::memmove(bits + (kept.top() + y) * bpl + qsizetype(kept.left()) * px,
                bits + (from.top() + y) * bpl + qsizetype(from.left()) * px,
                size_t(kept.width()) * size_t(px));
        };
        if (shift.y() > 0)
            for (int y = kept.height() - 1; y >= 0; --y)
                moveRow(y);
        else
            for (int y = 0; y < kept.height(); ++y)
                moveRow(y);
    }
    QPainter p(&m_screen);
    paint(p);
    p.end();
    if (m_target)
        m_target->scroll(shift.x(), shift.y());
}

void TransitionPainter::setTag(const QString &tag)
{
    if (m_target)
        m_target->setProperty("tag", tag);
}

void TransitionPainter::paint(QPainter &painter, const QRect &exposed) const
{
    const QRect r = exposed.intersected(m_screen.rect());
    if (!r.isEmpty())
        painter.drawImage(r.topLeft(), m_screen, r);
    // The widget grew while its repaint was suppressed: show background there
    // rather than stale pixels.
    if (r != exposed && m_target) {
        const QColor background = m_target->palette().color(m_target->backgroundRole());
        for (const QRect &rest : QRegion(exposed) - QRegion(m_screen.rect()))
            painter.fillRect(rest, background);
    }
}

} // namespace v7
