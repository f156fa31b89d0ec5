// The full-screen viewer: one photo large, panned with the mouse or the arrow
// keys, stepped through the host's file list, a slideshow, and a mosaic of nine
// photos at a time. The rules are ZoomLogic's; the photos come decoded ahead from
// a ViewerCache; single photos are drawn through the drawing layer and share its
// view state with the preview.
//
// Threads: user-interface thread only.
#pragma once

#include "viewer/ViewerCache.h"
#include "viewer/ZoomHost.h"
#include "viewer/ZoomLogic.h"

#include <QElapsedTimer>
#include <QPointF>
#include <QStringList>
#include <QWidget>

class QAction;
class QMenu;
class QScreen;
class QTimer;

namespace v7
{

class DrawView;

class Frm_Zoom : public QWidget
{
    Q_OBJECT
public:
    // host outlives the window (it is usually its parent).
    explicit Frm_Zoom(ZoomHost *host, QWidget *parent = nullptr);
    ~Frm_Zoom() override;

    // Shown over the whole of screen (full screen), with the fit item of the host's
    // ViewType checked.
    void showOn(QScreen *screen);
    // Mnu_Info (0) and (1).
    void setInfo(const QStringList &lines);
    QStringList infoLines() const;
    // Draws item (1-based) of the host's list fitted into the window, and starts
    // decoding its neighbours. False when the file cannot be drawn (the window then
    // says so).
    bool showItem(int item, const QString &fitMode, ZoomFactor zoom);
    // The window's tag: "NOREPAINT" holds its repaint back while it opens.
    void setTag(const QString &tag);
    QString tag() const;

    // The commands, as the keys and the menu run them.
    void Next();
    void Previous();
    void MosaicStep();
    void StartStop();
    void ChooseMode(bool mosaic); // "&Mosaicshow" (true) or "&Slideshow"
    void ToggleZoomLock();
    void ChooseFit(int index); // Mnu_Fit: 0 "FitAuto", 1 "FitNormal", 2 "FitWidth", 3 "FitHeight"
    void DeleteShown();
    void CloseViewer();
    void ShowDelayLabel();

    const ZoomShowState &showState() const { return m_state; }
    bool mosaicShown() const { return m_mosaicShown; }
    QMenu *menu() const { return Mnu_View; }
    QTimer *timer() const { return Timer1; }
    DrawView *view() const { return m_view; }
    ViewerCache &cache() { return m_cache; }
    // What the window shows (for tests and the benchmark).
    QImage shownImage() const;

signals:
    // F4 and "&Options": the host opens the options dialog, owned by this window.
    void optionsRequested();
    // The window was hidden by Esc, Enter, "E&xit" or the desktop's close.
    void closed();
    // A photo or a mosaic is on screen (for the benchmark).
    void drawn();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildMenu();
    void syncMenu();
    void popupMenu(const QPoint &globalPos, bool again);
    void onTick();
    void runKey(const ZoomKeyAction &action);
    void keyboardPan(int dx, int dy);
    void setVerticalOffset(int y);
    void panBy(int dx, int dy);
    void showFailure(const QString &name);
    void prefetchAround(int item);
    ViewTarget targetFor(const QString &fitMode, ZoomFactor zoom) const;
    bool singleShown() const;

    ZoomHost *m_host;
    DrawView *m_view = nullptr;
    QTimer *Timer1 = nullptr;
    QMenu *Mnu_View = nullptr;
    QAction *Mnu_Info[2] = { nullptr, nullptr };
    QAction *Mnu_Slideshow = nullptr;
    QAction *Mnu_Mosaic = nullptr;
    QAction *Mnu_Start = nullptr;
    QAction *Mnu_Quit = nullptr; // "Zoom &Lock"
    QAction *Mnu_Scan[2] = { nullptr, nullptr };
    QAction *Mnu_FileOps = nullptr;
    QAction *Mnu_Fit[4] = { nullptr, nullptr, nullptr, nullptr };
    QAction *Mnu_Option = nullptr;
    QAction *Mnu_Exit = nullptr;
    ZoomShowState m_state;
    ViewerCache m_cache;
    QElapsedTimer m_tickClock; // since the timer started or the tick count was reset
    qint64 m_ticksSeen = 0;
    QPointF m_panOrigin; // null when no pan runs
    bool m_mosaicShown = false;
    int m_lastItem = 0;
    QString m_shownFile; // the photo composed last, and what for
    ViewTarget m_shownTarget;
};

} // namespace v7
