#include "mainwin/Frm_Main.h"

#include "app/Settings.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>

namespace v7
{

Frm_Main::Frm_Main(const QString &folderOverride, QWidget *parent)
    : QMainWindow(parent)
    , m_folderOverride(folderOverride)
{
    setObjectName(QStringLiteral("Frm_Main"));
    m_folderLabel = new QLabel(this);
    m_folderLabel->setAlignment(Qt::AlignCenter);
    setCentralWidget(m_folderLabel);
    for (int i = 0; i < 5; ++i) {
        auto *panel = new QLabel(this);
        m_panels.push_back(panel);
        statusBar()->addWidget(panel, i == 4 ? 1 : 0);
    }
    m_firstDisplayTimer = new QTimer(this);
    m_firstDisplayTimer->setSingleShot(true);
    m_firstDisplayTimer->setInterval(50);
    connect(m_firstDisplayTimer, &QTimer::timeout, this, &Frm_Main::FirstDisplay);
}

QString Frm_Main::statusPanelText(int panel) const
{
    return panel >= 1 && panel <= int(m_panels.size()) ? m_panels[size_t(panel - 1)]->text() : QString();
}

void Frm_Main::Form_Load()
{
    setWindowTitle(QStringLiteral("Vorlane7"));
    RestoreWindowState();
    show();
    if (isVisible())
        m_firstDisplayTimer->start();
    WriteSetting(QStringLiteral("StartUp"), QStringLiteral("LastOK"), std::int32_t(0));
    m_panels[3]->setText(QStringLiteral("Zoom: ") + m_zoomText + QStringLiteral("X"));
}

void Frm_Main::RestoreWindowState()
{
    const QSize screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->size() : QSize(1024, 768);
    m_state = RestoreWindowStateValues(screen.width() * TwipsPerPixel, screen.height() * TwipsPerPixel);
    if (!m_folderOverride.isEmpty())
        m_state.LastFolder = m_folderOverride;
    m_folderLabel->setText(m_state.LastFolder);

    const QRect normal(m_state.Left / TwipsPerPixel,
        m_state.Top / TwipsPerPixel,
        m_state.Width / TwipsPerPixel,
        m_state.Height / TwipsPerPixel);
    setGeometry(normal);
    if (m_state.WindowState == 2)
        setWindowState(Qt::WindowMaximized);
    else if (m_state.WindowState == 1)
        setWindowState(Qt::WindowMinimized);
}

void Frm_Main::FirstDisplay()
{
    m_firstDisplayTimer->stop();
    Q_EMIT firstDisplayStarted();
}

void Frm_Main::SaveWindowState()
{
    if (m_saved)
        return;
    m_saved = true;
    m_state.WindowState = isMaximized() ? 2 : (isMinimized() ? 1 : 0);
    const QRect g = (m_state.WindowState == 0) ? geometry() : normalGeometry();
    m_state.Left = g.x() * TwipsPerPixel;
    m_state.Top = g.y() * TwipsPerPixel;
    m_state.Width = g.width() * TwipsPerPixel;
    m_state.Height = g.height() * TwipsPerPixel;
    SaveWindowStateValues(m_state);
}

void Frm_Main::closeEvent(QCloseEvent *event)
{
    SaveWindowState();
    event->accept();
}

} // namespace v7
