#include "options/Frm_ImgOps.h"

#include "imaging/Fit.h"
#include "imaging/widgets/DrawView.h"
#include "options/ImageEdit.h"

#include <QApplication>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>

namespace v7
{

Frm_ImgOps::Frm_ImgOps(QWidget *owner, Host host)
    : QDialog(owner)
    , m_host(std::move(host))
{
    setObjectName(QStringLiteral("Frm_ImgOps"));
    setWindowTitle(QStringLiteral("Effects"));
    auto *grid = new QGridLayout(this);
    const char *const captions[3] = { "Rotate 90deg clockwise", "Mirror/Filp Vertical", "Mirror/Filp Horizontal" };
    for (int i = 0; i < 3; ++i) {
        Btn_Rotate[size_t(i)] = new QPushButton(QString::fromLatin1(captions[i]), this);
        Btn_Rotate[size_t(i)]->setAutoDefault(false);
        grid->addWidget(Btn_Rotate[size_t(i)], i, 0, 1, 3);
        connect(Btn_Rotate[size_t(i)], &QPushButton::clicked, this, [this, i] { TransformImage(i); });
    }
    const char *const names[2] = { "Brightness", "Contrast" };
    const ViewState &vs = viewState();
    const int start[2] = { vs.brightness, vs.contrast };
    for (int i = 0; i < 2; ++i) {
        Slider1[size_t(i)] = new QSlider(Qt::Horizontal, this);
        Slider1[size_t(i)]->setRange(-100, 100);
        Slider1[size_t(i)]->setValue(start[i]);
        Slider1[size_t(i)]->setPageStep(10);
        Lbl_Value[size_t(i)] = new QLabel(QString::number(start[i]), this);
        Lbl_Value[size_t(i)]->setMinimumWidth(36);
        Lbl_Value[size_t(i)]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grid->addWidget(new QLabel(QString::fromLatin1(names[i]), this), 3 + i, 0);
        grid->addWidget(Slider1[size_t(i)], 3 + i, 1);
        grid->addWidget(Lbl_Value[size_t(i)], 3 + i, 2);
        connect(Slider1[size_t(i)], &QSlider::valueChanged, this, [this, i](int v) { sliderChanged(i, v); });
    }
    CancelButton = new QPushButton(QStringLiteral("&Reset"), this);
    CancelButton->setAutoDefault(false);
    connect(CancelButton, &QPushButton::clicked, this, &Frm_ImgOps::Reset);
    grid->addWidget(CancelButton, 5, 0, 1, 3);
}

void Frm_ImgOps::redrawPane()
{
    if (DrawView *pane = m_host.imagePane ? m_host.imagePane() : nullptr)
        pane->recompose();
}

void Frm_ImgOps::TransformImage(int operation)
{
    if (!m_host.imagePane || !m_host.imagePane())
        return;
    if (v7::TransformImage(viewState(), operation))
        redrawPane();
}

void Frm_ImgOps::sliderChanged(int index, int value)
{
    Lbl_Value[size_t(index)]->setNum(value);
    QApplication::processEvents();
    if (!m_host.imagePane || !m_host.imagePane())
        return;
    ViewState &vs = viewState();
    if (EnhanceImage(vs, Slider1[0]->value(), Slider1[1]->value()))
        redrawPane();
}

void Frm_ImgOps::Reset()
{
    for (int i = 0; i < 2; ++i) {
        const QSignalBlocker block(Slider1[size_t(i)]);
        Slider1[size_t(i)]->setValue(0);
        Lbl_Value[size_t(i)]->setNum(0);
    }
    DrawView *pane = m_host.imagePane ? m_host.imagePane() : nullptr;
    if (!pane)
        return;
    ResetImageEdits(viewState());
    // Composed again from the held image, through the chosen transition.
    pane->showImage(QString(),
        m_host.fitMode ? m_host.fitMode() : QString::fromUtf16(FitNormal),
        m_host.zoom ? m_host.zoom() : ZoomFactor::fromWhole(1));
}

void Frm_ImgOps::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_F1) {
        if (m_host.helpKey)
            m_host.helpKey();
        return;
    }
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace v7
