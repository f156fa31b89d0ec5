// A window to try the drawing by hand: draw_demo IMAGE [IMAGE...]
// Keys: N/A/W/H fit mode, + and - zoom (FitNormal), 1-5 zoom, 0-5 with Ctrl
// transition effect, Q quality, Space next image. Resizing re-composes.
#include "imaging/widgets/DrawView.h"

#include <QApplication>
#include <QKeyEvent>
#include <QStringList>

namespace
{

class DemoView : public v7::DrawView
{
public:
    explicit DemoView(QStringList files)
        : m_files(std::move(files))
    {
        v7::Settings cfg;
        cfg.ViewColor = 0x00403020;
        setDrawSettings(cfg);
        setFocusPolicy(Qt::StrongFocus);
    }
    void showCurrent(bool newFile)
    {
        if (newFile)
            v7::FreeCurrentImage();
        showImage(m_files.value(m_index), m_mode, m_zoom);
        setWindowTitle(QStringLiteral("%1 - %2 - %3 - effect %4%5")
                           .arg(m_files.value(m_index), m_mode, m_zoom.statusText())
                           .arg(drawSettings().E_Index)
                           .arg(drawSettings().E_Quality ? QStringLiteral(" - quality") : QString()));
    }

protected:
    void keyPressEvent(QKeyEvent *e) override
    {
        v7::Settings cfg = drawSettings();
        const int key = e->key();
        if (e->modifiers() & Qt::ControlModifier && key >= Qt::Key_0 && key <= Qt::Key_5)
            cfg.E_Index = key - Qt::Key_0;
        else if (key >= Qt::Key_1 && key <= Qt::Key_5)
            m_zoom = v7::ZoomFactor::fromWhole(key - Qt::Key_0);
        else if (key == Qt::Key_Plus || key == Qt::Key_Equal)
            m_zoom = m_zoom.stepped(u"+");
        else if (key == Qt::Key_Minus)
            m_zoom = m_zoom.stepped(u"-");
        else if (key == Qt::Key_N)
            m_mode = QString::fromUtf16(v7::FitNormal);
        else if (key == Qt::Key_A)
            m_mode = QString::fromUtf16(v7::FitAuto);
        else if (key == Qt::Key_W)
            m_mode = QString::fromUtf16(v7::FitWidth);
        else if (key == Qt::Key_H)
            m_mode = QString::fromUtf16(v7::FitHeight);
        else if (key == Qt::Key_Q)
            cfg.E_Quality = !cfg.E_Quality;
        else if (key == Qt::Key_Space)
            m_index = (m_index + 1) % int(m_files.size());
        else
            return DrawView::keyPressEvent(e);
        setDrawSettings(cfg);
        showCurrent(key == Qt::Key_Space);
    }

private:
    QStringList m_files;
    int m_index = 0;
    QString m_mode = QString::fromUtf16(v7::FitAuto);
    v7::ZoomFactor m_zoom;
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList files = app.arguments().mid(1);
    if (files.isEmpty()) {
        qWarning("usage: draw_demo IMAGE [IMAGE...]");
        return 2;
    }
    DemoView view(files);
    view.resize(960, 640);
    view.show();
    view.showCurrent(true);
    return app.exec();
}
