#include "signalwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int g_pipe[2] = {-1, -1};
const int g_watched[] = {SIGINT, SIGTERM, SIGHUP};
} // namespace

SignalWatcher::SignalWatcher(QObject *parent) : QObject(parent) { }

SignalWatcher::~SignalWatcher()
{
    if (!m_installed)
        return;
    for (int signalNumber : g_watched)
        std::signal(signalNumber, SIG_DFL);
    delete m_notifier;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

bool SignalWatcher::install()
{
    if (m_installed)
        return true;
    if (::pipe2(g_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;

    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::readPipe);

    struct sigaction action = {};
    action.sa_handler = &SignalWatcher::handle;
    sigemptyset(&action.sa_mask);
    // Restarted system calls keep a serial read or write from failing with EINTR.
    action.sa_flags = SA_RESTART;
    for (int signalNumber : g_watched)
        sigaction(signalNumber, &action, nullptr);
    m_installed = true;
    return true;
}

void SignalWatcher::handle(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    // Nothing but an async-signal-safe write here; a full pipe only loses a repeated signal.
    if (::write(g_pipe[1], &byte, 1) < 0) { }
    errno = savedErrno;
}

void SignalWatcher::readPipe()
{
    char bytes[16];
    const ssize_t count = ::read(g_pipe[0], bytes, sizeof(bytes));
    for (ssize_t i = 0; i < count; ++i) {
        const int signalNumber = quint8(bytes[i]);
        if (m_received == 0)
            m_received = signalNumber;
        emit signalReceived(signalNumber);
    }
}
