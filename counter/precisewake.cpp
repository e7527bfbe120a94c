#include "precisewake.h"

#include <QSocketNotifier>

#ifdef Q_OS_LINUX
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>
#endif

PreciseWake::PreciseWake(QObject *parent) : QObject(parent)
{
#ifdef Q_OS_LINUX
    m_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd < 0)
        return;
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PreciseWake::woken);
#endif
}

PreciseWake::~PreciseWake()
{
#ifdef Q_OS_LINUX
    if (m_fd >= 0) {
        delete m_notifier;
        ::close(m_fd);
    }
#endif
}

void PreciseWake::arm(int delayMs)
{
#ifdef Q_OS_LINUX
    if (m_fd < 0)
        return;
    // Read after the timer's start, on the clock Qt times it with: never before its deadline,
    // or the loop would wake a moment early and sleep on for a rounded-up millisecond.
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const qint64 deadlineNs
        = qint64(now.tv_sec) * 1000000000 + now.tv_nsec + qint64(qMax(delayMs, 0)) * 1000000;
    itimerspec when {};
    when.it_value.tv_sec = time_t(deadlineNs / 1000000000);
    when.it_value.tv_nsec = long(deadlineNs % 1000000000);
    timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &when, nullptr);
#else
    Q_UNUSED(delayMs)
#endif
}

void PreciseWake::disarm()
{
#ifdef Q_OS_LINUX
    if (m_fd < 0)
        return;
    const itimerspec never {};
    timerfd_settime(m_fd, 0, &never, nullptr);
    woken();
#endif
}

void PreciseWake::woken()
{
#ifdef Q_OS_LINUX
    quint64 expirations = 0;
    // Only to clear it: the timer it stands beside does the work.
    while (::read(m_fd, &expirations, sizeof expirations) > 0) { }
#endif
}
