// The splash window: shows the version for at least a second while the program
// starts, then stays loaded and hidden for the life of the process, carrying the
// marker title that tells later threads they are workers.
//
// Threads: user-interface thread only.
#pragma once

#include <QWidget>
#include <functional>

class QLabel;

namespace v7
{

// "Version 7.1.67 - on " + platform name.
QString SplashVersionText(const QString &platformName);

class Frm_Splash : public QWidget
{
    Q_OBJECT
public:
    explicit Frm_Splash(const QString &platformName, QWidget *parent = nullptr);
    ~Frm_Splash() override;

    // Shows the splash for at least minimumMs (handing events to the loop meanwhile),
    // hides it, runs loadMainWindow, then takes the marker title of this process.
    void RunSplashSequence(const std::function<void()> &loadMainWindow, int minimumMs = 1000);

    QString versionText() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QLabel *m_version = nullptr;
    QString m_marker;
};

} // namespace v7
