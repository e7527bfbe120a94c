#include "devicecall.h"

#include "kuvelcounterdriver.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QTimer>

bool DeviceCall::run(const QString &failure,
                     const std::function<void(KuvelCounterDriver &driver, bool *ok)> &call)
{
    if (!m_driver)
        return false;
    bool ok = false;
    call(*m_driver, &ok);
    resumeDeferred();
    if (!ok && !failure.isEmpty())
        warn(failure);
    return ok;
}

void DeviceCall::addTick(QTimer *timer)
{
    m_ticks.append({timer, false});
}

bool DeviceCall::holdBack(QTimer *timer)
{
    // A request started now would share the driver's single bookkeeping with the one being
    // waited for.
    if (!m_driver || !m_driver->isWaiting())
        return false;
    for (Tick &tick : m_ticks) {
        if (tick.timer == timer)
            tick.deferred = true;
    }
    return true;
}

void DeviceCall::restart(QTimer *timer, int delayMs)
{
    for (Tick &tick : m_ticks) {
        if (tick.timer == timer)
            tick.deferred = false;
    }
    timer->start(delayMs);
}

void DeviceCall::resumeDeferred()
{
    if (!m_driver || m_driver->isWaiting())
        return;
    for (Tick &tick : m_ticks) {
        if (tick.deferred) {
            tick.deferred = false;
            tick.timer->start(0);
        }
    }
}

void DeviceCall::warn(const QString &text) const
{
    QMessageBox::warning(m_window, QCoreApplication::translate("MainWindow", "Warning..."), text);
}

int DeviceCall::delayMs(double timeConstSeconds, int factor)
{
    const double ms = timeConstSeconds * 1000.0 * factor;
    if (!(ms > 0.0))
        return 0;
    return ms < 1e9 ? int(ms) : 1000000000;
}
