// The image operations window: turn the shown image clockwise, mirror it either
// way, brightness and contrast sliders, and Reset. It works on the image pane of
// the window that opened it; the arithmetic is ImageEdit's.
//
// Threads: user-interface thread only.
#pragma once

#include "imaging/Zoom.h"

#include <QDialog>
#include <array>
#include <functional>

class QLabel;
class QPushButton;
class QSlider;

namespace v7
{

class DrawView;

class Frm_ImgOps : public QDialog
{
    Q_OBJECT
public:
    struct Host {
        std::function<DrawView *()> imagePane; // null while the preview is hidden
        std::function<QString()> fitMode;
        std::function<ZoomFactor()> zoom;
        std::function<void()> helpKey; // F1, passed on to the main window
    };
    Frm_ImgOps(QWidget *owner, Host host);

    // Btn_Rotate(index): 0 turn clockwise, 1 mirror vertically, 2 mirror horizontally.
    void TransformImage(int operation);
    // A slider's new value: 0 brightness, 1 contrast.
    void sliderChanged(int index, int value);
    // CancelButton ("&Reset").
    void Reset();

    std::array<QPushButton *, 3> Btn_Rotate {};
    std::array<QSlider *, 2> Slider1 {};
    std::array<QLabel *, 2> Lbl_Value {};
    QPushButton *CancelButton = nullptr;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void redrawPane();
    Host m_host;
};

} // namespace v7
