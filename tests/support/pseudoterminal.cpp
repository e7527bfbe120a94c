#include "pseudoterminal.h"

#include <QElapsedTimer>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal(FarEnd farEnd)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_master < 0)
        return;
    char name[128];
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0
        || ::ptsname_r(m_master, name, sizeof(name)) != 0) {
        close();
        return;
    }
    if (farEnd == FarEndHeldOpen && (m_slave = ::open(name, O_RDWR | O_NOCTTY)) < 0) {
        close();
        return;
    }
    // Both ends share one set of terminal settings.
    termios tio;
    if (::tcgetattr(m_master, &tio) != 0)
        return;
    ::cfmakeraw(&tio);
    if (::tcsetattr(m_master, TCSANOW, &tio) == 0)
        m_path = QString::fromLocal8Bit(name);
}

PseudoTerminal::~PseudoTerminal()
{
    close();
}

void PseudoTerminal::close()
{
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = -1;
    m_master = -1;
}

bool PseudoTerminal::write(const QByteArray &bytes) const
{
    return ::write(m_master, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
}

QByteArray PseudoTerminal::read(int expected, int timeoutMs) const
{
    QByteArray got;
    QElapsedTimer timer;
    timer.start();
    while (got.size() < expected && timer.elapsed() < timeoutMs) {
        pollfd p {m_master, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
            char buf[512];
            const ssize_t n = ::read(m_master, buf, sizeof(buf));
            if (n > 0)
                got.append(buf, int(n));
        }
    }
    return got;
}

void PseudoTerminal::drain() const
{
    char sink[256];
    while (::read(m_master, sink, sizeof(sink)) > 0) { }
}
