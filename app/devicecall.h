#ifndef DEVICECALL_H
#define DEVICECALL_H

#include <QString>
#include <QVector>

#include <functional>

class KuvelCounterDriver;
class QTimer;
class QWidget;

// A device call made for the operator: nothing without a driver, the request sent with the
// window's attempts, the ticks held back meanwhile resumed, and a "Warning..." box when the
// device did not confirm. Every call is synchronous and runs the event loop while it waits, and
// the driver keeps one request at a time: a tick of the live poll or of the scan that falls due
// then holds its own request back and runs once no request waits any more.
class DeviceCall
{
public:
    // Every request of the window is sent up to this many times.
    static constexpr int Attempts = 5;
    // The device holds the active channel as an index from 0; the window shows channels 1 to 8.
    static constexpr int ChannelCount = 8;

    explicit DeviceCall(QWidget *window) : m_window(window) { }

    void setDriver(KuvelCounterDriver *driver) { m_driver = driver; }
    KuvelCounterDriver *driver() const { return m_driver; }

    // Runs `call`, which fills the success flag, then resumes what was held back. False without
    // a driver or when the device did not answer; `failure`, unless empty, then warns.
    bool run(const QString &failure,
             const std::function<void(KuvelCounterDriver &driver, bool *ok)> &call);

    // A timer whose ticks are held back while a request waits; resumed in the order added.
    void addTick(QTimer *timer);
    // True while a request waits: the tick of `timer` is then held back until it is over.
    bool holdBack(QTimer *timer);
    // Starts the chain of `timer` anew: a tick held back from an earlier run is dropped.
    void restart(QTimer *timer, int delayMs);
    // Once no request waits any more, what fell due meanwhile runs from the event loop.
    void resumeDeferred();

    void warn(const QString &text) const;

    // Milliseconds of `factor` time constants, fraction dropped. A time constant reported by
    // the device reaches here unchecked, so a garbled one must not become a negative or
    // overflowing delay.
    static int delayMs(double timeConstSeconds, int factor);

private:
    struct Tick
    {
        QTimer *timer;
        bool deferred;
    };

    QWidget *m_window;
    KuvelCounterDriver *m_driver = nullptr;
    QVector<Tick> m_ticks;
};

#endif // DEVICECALL_H
