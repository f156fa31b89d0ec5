// A picture area that shows the current image with a fit mode, a zoom factor
// and the chosen transition. Re-composes from the held decoded image when the
// fit mode, the zoom or its size changes.
//
// Threads: UI thread only. The drawing uses the thread's view state, so one
// DrawView shows the current image at a time.
#pragma once

#include "app/Settings.h"
#include "imaging/Zoom.h"
#include "imaging/widgets/TransitionPainter.h"

#include <QString>
#include <QWidget>

namespace v7
{

class DrawView : public QWidget
{
    Q_OBJECT
public:
    explicit DrawView(QWidget *parent = nullptr);

    // The settings the drawing reads (E_Quality, E_Index, E_Iter, E_Delay, ViewColor).
    void setDrawSettings(const Settings &cfg) { m_cfg = cfg; }
    const Settings &drawSettings() const { return m_cfg; }

    // Shows a file (an empty name redraws the held image) through the transition.
    bool showImage(const QString &file, const QString &fitMode, ZoomFactor zoom);
    // Shows the image already composed in the view state for this view's size
    // (decoded and composed ahead) through the transition; false when none is.
    bool showComposed(const QString &fitMode, ZoomFactor zoom);
    // Composes the held image again for the current size, fit mode and zoom,
    // and shows it at once.
    bool recompose();

    TransitionPainter &painter() { return m_painter; }

    // Panning: shows the held image moved by (dx, dy) from its offsets without
    // storing anything (mouse move), and then keeps the move (button release).
    // Offsets stay where the image edge never leaves the pane.
    void redrawAtOffset(int dx, int dy);
    void commitPan(int dx, int dy);
    // Clears the pane to the view colour (a file that could not be drawn).
    void clearView();
    bool hasImage() const { return m_shown; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    TransitionPainter m_painter;
    Settings m_cfg;
    QString m_fitMode = QString::fromUtf16(FitNormal);
    ZoomFactor m_zoom;
    bool m_shown = false;
};

} // namespace v7
