// The main window's toolbar strip: caption labels 0 to 8 with their icons, the
// zoom label's minus and plus ends, the scroll arrows and the logo that moves the
// window. It only reports what the pointer did; the window runs the commands.
//
// Threads: user-interface thread.
#pragma once

#include <QElapsedTimer>
#include <QWidget>

class QLabel;
class QTimer;

namespace v7
{

class MainToolbar : public QWidget
{
    Q_OBJECT
public:
    explicit MainToolbar(QWidget *parent = nullptr);

    QLabel *label(int index) const { return m_labels[index]; }
    QLabel *icon(int index) const { return m_icons[index]; }
    // The width the strip needs for its labels.
    int preferredWidth() const { return m_width; }
    // The zoom label's tag: "1" minus end, "2" plus end, "0" middle.
    QString zoomTag() const { return m_zoomTag; }

Q_SIGNALS:
    // Button down on label 0, 1, 2 or 7 (or a click on their icons): the menu of that
    // label opens at globalPos.
    void menuLabelPressed(int index, const QPoint &globalPos);
    // A click on label 4, 5 or 6 (or their icons).
    void commandLabelClicked(int index);
    // A click on the zoom label: the key it stands for (Qt::Key_Minus or Qt::Key_Plus).
    void zoomKey(int key);
    // The scroll arrows: held down, one list step every interval (+1 down, -1 up).
    void scrollStarted();
    void scrollStep(int step);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onScrollTick();
    // After a menu: only the label under the pointer stays highlighted.
    void dropStaleHover();
    QLabel *m_labels[9] = {};
    QLabel *m_icons[10] = {};
    QLabel *m_logo = nullptr;
    QString m_zoomTag;
    QString m_scrollTag; // set on button up: ends the hold
    QTimer *m_scrollTimer = nullptr;
    QElapsedTimer m_scrollHeld;
    int m_width = 0;
};

} // namespace v7
