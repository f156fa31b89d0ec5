#include "app/Frm_Splash.h"

#include "app/Startup.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QScreen>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>
#include <unistd.h>

namespace v7
{

QString SplashVersionText(const QString &platformName)
{
    return QStringLiteral("Version %1.%2.%3 - on %4")
        .arg(V7_VERSION_MAJOR)
        .arg(V7_VERSION_MINOR)
        .arg(V7_VERSION_REVISION)
        .arg(platformName);
}

Frm_Splash::Frm_Splash(const QString &platformName, QWidget *parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint)
{
    setFixedSize(420, 240);
    auto *layout = new QVBoxLayout(this);
    layout->addStretch();
    m_version = new QLabel(SplashVersionText(platformName), this);
    m_version->setObjectName(QStringLiteral("Lbl_Version"));
    m_version->setStyleSheet(QStringLiteral("color: white;"));
    layout->addWidget(m_version, 0, Qt::AlignRight | Qt::AlignBottom);
}

Frm_Splash::~Frm_Splash()
{
    if (!m_marker.isEmpty())
        UnregisterTopLevelTitle(m_marker);
}

QString Frm_Splash::versionText() const
{
    return m_version->text();
}

void Frm_Splash::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    QLinearGradient g(0, 0, width(), height());
    g.setColorAt(0, QColor(0x1d, 0x3b, 0x5a));
    g.setColorAt(1, QColor(0x3f, 0x86, 0x9c));
    p.fillRect(rect(), g);
    QFont f = font();
    f.setPointSize(30);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(rect().adjusted(0, -30, 0, -30), Qt::AlignCenter, QStringLiteral("Vorlane7"));
}

void Frm_Splash::RunSplashSequence(const std::function<void()> &loadMainWindow, int minimumMs)
{
    QElapsedTimer clock;
    clock.start();
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    show();
    // Wait out the rest of the minimum time inside an event loop, so the splash paints
    // and the desktop sees a responsive program.
    while (clock.elapsed() < minimumMs) {
        QEventLoop loop;
        QTimer::singleShot(int(minimumMs - clock.elapsed()), &loop, &QEventLoop::quit);
        loop.exec();
    }
    hide();
    if (loadMainWindow)
        loadMainWindow();
    m_marker = MarkerTitle(std::uint32_t(::getpid()));
    setWindowTitle(m_marker);
    RegisterTopLevelTitle(m_marker);
}

} // namespace v7
