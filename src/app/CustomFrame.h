// The custom window style on this platform: a frameless window whose mask is the
// tab-shaped outline, with a caption tab drawn by us. Moves and resizes go through the
// window system (startSystemMove / startSystemResize), so they work on X11 and Wayland;
// where the window system refuses, the tab moves and sizes the window itself.
//
// Threads: user-interface thread.
#pragma once

#include "app/Outline.h"

#include <QObject>
#include <QRect>
#include <QWidget>

namespace v7
{

class CaptionTab;

// The frame metrics of the window's style: title-bar height (PM_TitleBarHeight), the
// sizing frame (PM_MdiSubWindowFrameWidth, used for width and height) and the caption
// button width (PM_TitleBarButtonSize).
OutlineMetrics OutlineMetricsFor(const QWidget *window);

// The outline for the window's present size, title and font.
OutlineVertices ComputeOutline(const QWidget *window);

// Makes the outline the window's region and shows the caption tab. The window must
// already be frameless (CustomFrame does that); returns false when the platform has
// no window masks, leaving the window as it was.
bool ApplyOutline(QWidget *window);
// Clears the region and hides the caption tab.
void RemoveOutline(QWidget *window);

// Follows one top-level window: switches its frame and keeps its outline in step with
// its size and title. Windows that take part call attach() once; the style is switched
// for all of them by setStyleOn().
class CustomFrame : public QObject
{
    Q_OBJECT
public:
    // Idempotent. The frame lives as long as the window.
    static CustomFrame *attach(QWidget *window);
    ~CustomFrame() override;
    static CustomFrame *of(const QWidget *window);

    // Switches every attached window at once, keeping each one's place and size on
    // screen. Off gives back the desktop's frame.
    static void setStyleOn(bool on);
    static bool styleOn();
    // False where the platform cannot shape windows; said once on stderr.
    static bool platformSupportsOutline();

    bool isStyled() const { return m_styled; }
    // What the style adds around the window's contents (our caption band and sizing
    // edges); none while the desktop's frame is on. A stored window place means the
    // contents, so it reads the same with either frame.
    QMargins ownMargins() const;
    CaptionTab *captionTab() const { return m_tab; }

Q_SIGNALS:
    // Right button on the caption tab: the window menu, where the window has one.
    void windowMenuRequested(const QPoint &globalPos);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit CustomFrame(QWidget *window);
    void switchFrame(bool on);
    void refresh();
    Qt::Edges edgesAt(const QPoint &pos) const;

    QWidget *m_window; // the frame is the window's child: never outlives it
    CaptionTab *m_tab = nullptr;
    bool m_styled = false;
    Qt::WindowFlags m_desktopFlags;
    QMargins m_desktopMargins; // the window's own contents margins
    QMargins m_frameMargins; // the desktop frame around the window, last seen
    // Manual resize where the window system does not take it over.
    Qt::Edges m_dragEdges;
    QPoint m_dragStart;
    QRect m_dragGeometry;
};

// The tab: title, then minimise, maximise/restore and close. Drag moves the window,
// double-click maximises and restores.
class CaptionTab : public QWidget
{
    Q_OBJECT
public:
    enum Button { None = -1, Minimise, Maximise, Close };
    explicit CaptionTab(QWidget *window, const OutlineMetrics &metrics);
    void setMetrics(const OutlineMetrics &metrics);
    // The hit area of a caption button, in tab coordinates.
    QRect buttonRect(Button button) const;
    Button buttonAt(const QPoint &pos) const;
    void pressButton(Button button);

Q_SIGNALS:
    void windowMenuRequested(const QPoint &globalPos);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    QWidget *m_window;
    OutlineMetrics m_metrics;
    Button m_pressed = None;
    bool m_movePending = false; // pressed on the tab, not yet dragged far enough
    bool m_manualMove = false;
    QPoint m_pressPos;
    QPoint m_moveOffset;
};

} // namespace v7
