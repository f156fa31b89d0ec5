// Turns SIGTERM and SIGINT into a Qt signal on the user-interface thread, so that
// a desktop session ending the program closes the main window the normal way and
// nothing is lost.
//
// Threads: InstallHandlers and the object on the user-interface thread; one object
// per process.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace v7
{

class SessionSignals : public QObject
{
    Q_OBJECT
public:
    // Catches the signals from now on. A signal caught before the object exists waits
    // in a pipe and is reported once the event loop runs; without this, one that came
    // during start-up would end the program on the spot. The object installs them too.
    static void InstallHandlers();

    explicit SessionSignals(QObject *parent = nullptr);
    ~SessionSignals() override;

Q_SIGNALS:
    void terminateRequested(int signalNumber);

private:
    void onReadable();
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace v7
