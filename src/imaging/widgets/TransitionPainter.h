// Carries out transition plans on a widget. The painter keeps an image of what
// the widget shows; each step paints only the newly revealed strips into it and
// asks the widget to repaint those. Pauses between steps are timers, so the
// event loop keeps running and the widget really shows each step.
//
// Threads: UI thread only.
#pragma once

#include "imaging/Draw.h"

#include <QImage>
#include <QObject>
#include <QRegion>
#include <QTimer>
#include <QWidget>
#include <cstddef>

namespace v7
{

class TransitionPainter : public QObject, public DrawTarget
{
    Q_OBJECT
public:
    // Becomes a child of target and paints it: any widget can show images, with
    // no subclass. The target's "tag" property is the window tag.
    explicit TransitionPainter(QWidget *target);

    QSize clientSize() const override;
    // A transition still running is finished at once before the new one starts.
    void showComposed(const QImage &composed, const TransitionPlan &plan, QColor marginColor) override;
    void paintOver(const std::function<void(QPainter &)> &paint) override;
    void setTag(const QString &tag) override;

    bool isRunning() const { return m_running; }
    // Completes the running transition now, without its remaining pauses.
    void finish();

    // Moves what the target shows by shift (a pan), lets paint draw the strips the
    // move uncovered, and has the widget repaint only those: the rest is a block copy.
    void scroll(QPoint shift, const std::function<void(QPainter &)> &paint);

    // Paints what the target shows into the exposed rectangle.
    void paint(QPainter &painter, const QRect &exposed) const;
    const QImage &screen() const { return m_screen; }

signals:
    void finished();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void ensureScreen();
    void advance(bool toEnd);
    void copy(const QRect &rect);

    QWidget *m_target; // the parent: it outlives the painter
    QImage m_screen;
    QImage m_composed;
    TransitionPlan m_plan;
    std::size_t m_next = 0;
    QRegion m_revealed;
    QTimer m_timer;
    bool m_running = false;
};

} // namespace v7
