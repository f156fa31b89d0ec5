#include "app/SessionSignals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace v7
{

namespace
{
    int g_pipe[2] = { -1, -1 };

    // Only async-signal-safe work here: hand the number to the event loop.
    void onSignal(int sig)
    {
        const int saved = errno;
        const unsigned char b = static_cast<unsigned char>(sig);
        [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &b, 1);
        errno = saved;
    }
} // namespace

void SessionSignals::InstallHandlers()
{
    if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction sa {
    };
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

SessionSignals::SessionSignals(QObject *parent)
    : QObject(parent)
{
    InstallHandlers();
    if (g_pipe[0] < 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SessionSignals::onReadable);
}

SessionSignals::~SessionSignals()
{
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
}

void SessionSignals::onReadable()
{
    unsigned char b = 0;
    while (::read(g_pipe[0], &b, 1) == 1)
        Q_EMIT terminateRequested(b);
}

} // namespace v7
