// Turns SIGTERM and SIGINT into a Qt signal on the user-interface thread, so that
// a desktop session ending the program closes the main window the normal way and
// nothing is lost.
//
// Threads: create on the user-interface thread; one instance per process.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace v7
{

class SessionSignals : public QObject
{
    Q_OBJECT
public:
    explicit SessionSignals(QObject *parent = nullptr);
    ~SessionSignals() override;

Q_SIGNALS:
    void terminateRequested(int signalNumber);

private:
    void onReadable();
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace v7
