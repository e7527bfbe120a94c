#include "devicecall.h"

#include "counterclient.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QTimer>

bool DeviceCall::run(const QString &failure, const std::function<bool(CounterClient &client)> &call)
{
    if (!m_client)
        return false;
    const bool ok = call(*m_client);
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
    if (!m_client || !m_client->isBusy())
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
    if (!m_client || m_client->isBusy())
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
