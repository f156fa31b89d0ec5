#include "mainwin/MainToolbar.h"

#include "mainwin/MainCommands.h"

#include <QCursor>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QWindow>

namespace v7
{

namespace
{

    constexpr int IconSize = 16;
    constexpr int ArrowHeight = 34; // up arrow above y 16, down arrow below y 18

    QPixmap drawnIcon(int index)
    {
        const int h = index == 8 ? ArrowHeight : IconSize;
        QPixmap pm(IconSize, h);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QColor(50, 50, 50));
        switch (index) {
        case 0: // the menu: three bars
            p.setBrush(QColor(70, 110, 170));
            for (int y : { 3, 7, 11 })
                p.drawRect(2, y, 12, 2);
            break;
        case 1: // panes
            p.setBrush(QColor(230, 230, 240));
            p.drawRect(1, 2, 14, 12);
            p.drawLine(6, 2, 6, 14);
            break;
        case 2: // fit: a frame with corner arrows
            p.drawRect(2, 2, 12, 12);
            p.drawLine(4, 4, 7, 7);
            p.drawLine(12, 12, 9, 9);
            break;
        case 3: // zoom: a lens
            p.setBrush(QColor(210, 230, 250));
            p.drawEllipse(2, 2, 9, 9);
            p.setPen(QPen(QColor(50, 50, 50), 2));
            p.drawLine(10, 10, 14, 14);
            break;
        case 4: { // reload: a round arrow
            p.setPen(QPen(QColor(40, 120, 40), 2));
            p.drawArc(3, 3, 10, 10, 30 * 16, 290 * 16);
            p.setBrush(QColor(40, 120, 40));
            p.drawPolygon(QPolygon({ QPoint(12, 2), QPoint(14, 7), QPoint(9, 6) }));
            break;
        }
        case 5: // options: a cog-like wheel
            p.setBrush(QColor(160, 160, 160));
            p.drawEllipse(2, 2, 12, 12);
            p.setBrush(Qt::white);
            p.drawEllipse(6, 6, 4, 4);
            break;
        case 6: // effects: a star
            p.setBrush(QColor(240, 190, 40));
            p.drawPolygon(QPolygon({ QPoint(8, 1),
                QPoint(10, 6),
                QPoint(15, 6),
                QPoint(11, 9),
                QPoint(13, 15),
                QPoint(8, 11),
                QPoint(3, 15),
                QPoint(5, 9),
                QPoint(1, 6),
                QPoint(6, 6) }));
            break;
        case 7: // help: a question mark
            p.setBrush(QColor(70, 110, 170));
            p.drawEllipse(1, 1, 14, 14);
            p.setPen(Qt::white);
            p.drawText(QRect(1, 1, 14, 14), Qt::AlignCenter, QStringLiteral("?"));
            break;
        case 8: // the scroll arrows
            p.setBrush(QColor(90, 90, 90));
            p.drawPolygon(QPolygon({ QPoint(8, 2), QPoint(14, 13), QPoint(2, 13) }));
            p.drawPolygon(QPolygon({ QPoint(2, 21), QPoint(14, 21), QPoint(8, 32) }));
            break;
        default: // 9: the strip's end mark
            p.setBrush(QColor(180, 180, 180));
            p.drawRect(6, 2, 3, 12);
            break;
        }
        return pm;
    }

    QPixmap logo()
    {
        QPixmap pm(40, 34);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(40, 80, 140));
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRect(0, 2, 40, 30), 6, 6);
        p.setPen(Qt::white);
        QFont f = p.font();
        f.setBold(true);
        f.setPointSize(10);
        p.setFont(f);
        p.drawText(QRect(0, 2, 40, 30), Qt::AlignCenter, QStringLiteral("V7"));
        return pm;
    }

} // namespace

MainToolbar::MainToolbar(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("Toolbar"));
    const auto entries = ToolbarEntries();
    // The hovered label is highlighted; the others are not.
    const QString style = QStringLiteral("QLabel { padding: 0px 3px; border-radius: 3px; }"
                                         "QLabel:hover { background: palette(highlight); color: "
                                         "palette(highlighted-text); }");
    for (int i = 0; i < 9; ++i) {
        m_labels[i] = new QLabel(QString::fromLatin1(entries[size_t(i)].caption), this);
        m_labels[i]->setObjectName(QStringLiteral("Lbl_Toolbar%1").arg(i));
        m_labels[i]->setStyleSheet(style);
        m_labels[i]->setAttribute(Qt::WA_Hover);
        m_labels[i]->installEventFilter(this);
    }
    for (int i = 0; i < 10; ++i) {
        m_icons[i] = new QLabel(this);
        m_icons[i]->setObjectName(QStringLiteral("Image3_%1").arg(i));
        m_icons[i]->setPixmap(drawnIcon(i));
        m_icons[i]->setToolTip(QString::fromLatin1(entries[size_t(i)].tooltip));
        m_icons[i]->installEventFilter(this);
    }
    m_logo = new QLabel(this);
    m_logo->setObjectName(QStringLiteral("Image1"));
    m_logo->setPixmap(logo());
    m_logo->setToolTip(QStringLiteral("Vorlane7"));
    m_logo->installEventFilter(this);

    // Icons 0..7 each with its label beside it; label 8 above "Zoom"; the scroll
    // arrows, the end mark and the logo last.
    const int rowY = 22;
    int x = 2;
    for (int i = 0; i < 8; ++i) {
        m_icons[i]->setGeometry(x, rowY, IconSize, IconSize);
        x += IconSize + 1;
        const int w = m_labels[i]->sizeHint().width();
        m_labels[i]->setGeometry(x, rowY - 1, w, IconSize + 2);
        if (i == 3)
            m_labels[8]->setGeometry(x, 2, std::max(w, m_labels[8]->sizeHint().width()), IconSize + 2);
        x += w + 6;
    }
    m_icons[8]->setGeometry(x, 6, IconSize, ArrowHeight);
    x += IconSize + 2;
    m_icons[9]->setGeometry(x, rowY, IconSize, IconSize);
    x += IconSize + 4;
    m_logo->setGeometry(x, 6, 40, 34);
    m_width = x + 42;
    setMinimumSize(m_width, 44);

    m_scrollTimer = new QTimer(this);
    m_scrollTimer->setSingleShot(true);
    connect(m_scrollTimer, &QTimer::timeout, this, &MainToolbar::onScrollTick);
}

void MainToolbar::onScrollTick()
{
    if (!m_scrollTag.isEmpty())
        return;
    const int y = m_icons[8]->mapFromGlobal(QCursor::pos()).y();
    Q_EMIT scrollStep(ScrollArrowStep(y));
    if (m_scrollTag.isEmpty())
        m_scrollTimer->start(ScrollArrowDelayMs(m_scrollHeld.elapsed()));
}

void MainToolbar::dropStaleHover()
{
    // A menu held the mouse: the label it opened from saw no leave, so it would
    // stay highlighted beside the one now under the pointer.
    const QPoint at = QCursor::pos();
    for (QLabel *l : m_labels) {
        const bool under = l->rect().contains(l->mapFromGlobal(at));
        if (l->testAttribute(Qt::WA_UnderMouse) != under) {
            l->setAttribute(Qt::WA_UnderMouse, under);
            l->update();
        }
    }
}

bool MainToolbar::eventFilter(QObject *watched, QEvent *event)
{
    const bool press = event->type() == QEvent::MouseButtonPress;
    const bool release = event->type() == QEvent::MouseButtonRelease;
    if (!press && !release)
        return QWidget::eventFilter(watched, event);
    auto *mouse = static_cast<QMouseEvent *>(event);
    const bool inside = static_cast<QWidget *>(watched)->rect().contains(mouse->position().toPoint());
    if (watched == m_logo && press && mouse->button() == Qt::LeftButton) {
        // The window manager moves the window, as a press on its caption would.
        if (QWindow *w = window()->windowHandle())
            w->startSystemMove();
        return true;
    }
    for (int i = 0; i < 10; ++i) {
        if (watched != m_icons[i])
            continue;
        if (release) {
            m_scrollTag = QStringLiteral("1"); // any button up ends the arrows' hold
            m_scrollTimer->stop();
        }
        if (i == 8 && press) {
            m_scrollTag.clear();
            Q_EMIT scrollStarted();
            m_scrollHeld.start();
            onScrollTick();
            return true;
        }
        if (!release || !inside || mouse->button() != Qt::LeftButton)
            return true;
        if (i <= 2 || i == 7) {
            Q_EMIT menuLabelPressed(i, m_labels[i]->mapToGlobal(QPoint(0, m_labels[i]->height())));
            dropStaleHover();
        } else if (i >= 4 && i <= 6)
            Q_EMIT commandLabelClicked(i);
        return true;
    }
    for (int i = 0; i < 9; ++i) {
        if (watched != m_labels[i])
            continue;
        if (i <= 2 || i == 7) {
            if (press) {
                Q_EMIT menuLabelPressed(i, m_labels[i]->mapToGlobal(QPoint(0, m_labels[i]->height())));
                dropStaleHover();
            }
        } else if (i >= 4 && i <= 6) {
            if (release && inside && mouse->button() == Qt::LeftButton)
                Q_EMIT commandLabelClicked(i);
        } else if (i == 8) {
            if (press)
                m_zoomTag = QString::number(ZoomLabelPart(int(mouse->position().x()), m_labels[8]->width()));
            else if (inside && m_zoomTag == QLatin1String("1"))
                Q_EMIT zoomKey(Qt::Key_Minus);
            else if (inside && m_zoomTag == QLatin1String("2"))
                Q_EMIT zoomKey(Qt::Key_Plus);
        }
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace v7
