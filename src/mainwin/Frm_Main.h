// The main window. It restores its saved state when it loads and writes it back,
// with every global setting, when it closes.
//
// Threads: user-interface thread only.
#pragma once

#include "app/WindowState.h"

#include <QMainWindow>

class QLabel;
class QTimer;

namespace v7
{

class Frm_Main : public QMainWindow
{
    Q_OBJECT
public:
    // folderOverride: a folder named on the command line, opened instead of LastFolder.
    explicit Frm_Main(const QString &folderOverride = QString(), QWidget *parent = nullptr);

    // The window load: restore the state, show, arm the first display, write LastOK 0.
    void Form_Load();

    QString currentFolder() const { return m_state.LastFolder; }
    const MainWindowState &state() const { return m_state; }
    QString statusPanelText(int panel) const;

Q_SIGNALS:
    void firstDisplayStarted();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void RestoreWindowState();
    void SaveWindowState();
    void FirstDisplay();

    QString m_folderOverride;
    MainWindowState m_state;
    QString m_zoomText = QStringLiteral("1");
    QTimer *m_firstDisplayTimer = nullptr;
    QLabel *m_folderLabel = nullptr;
    std::vector<QLabel *> m_panels; // status bar panels 1 to 5
    bool m_saved = false;
};

} // namespace v7
