#ifndef DEVICECALL_H
#define DEVICECALL_H

#include <QString>
#include <QVector>

#include <functional>

class CounterClient;
class QTimer;
class QWidget;

// A device call made for the operator: nothing without a counter, the request sent with the
// window's attempts, the ticks held back meanwhile resumed, and a "Warning..." box when the
// device did not confirm. Every call is synchronous and runs the event loop while it waits, and
// the driver keeps one request at a time: a tick of the live poll or of the scan that falls due
// then holds its own request back and runs once no request waits any more.
class DeviceCall
{
public:
    // Every request of the window is sent up to this many times.
    static constexpr int Attempts = 5;

    explicit DeviceCall(QWidget *window) : m_window(window) { }

    void setClient(CounterClient *client) { m_client = client; }
    CounterClient *client() const { return m_client; }

    // Runs `call`, which answers whether the device confirmed, then resumes what was held back.
    // False without a counter or when the device did not answer; `failure`, unless empty, then
    // warns.
    bool run(const QString &failure, const std::function<bool(CounterClient &client)> &call);

    // A timer whose ticks are held back while a request waits; resumed in the order added.
    void addTick(QTimer *timer);
    // True while a request waits: the tick of `timer` is then held back until it is over.
    bool holdBack(QTimer *timer);
    // Starts the chain of `timer` anew: a tick held back from an earlier run is dropped.
    void restart(QTimer *timer, int delayMs);
    // Once no request waits any more, what fell due meanwhile runs from the event loop.
    void resumeDeferred();

    void warn(const QString &text) const;

private:
    struct Tick
    {
        QTimer *timer;
        bool deferred;
    };

    QWidget *m_window;
    CounterClient *m_client = nullptr;
    QVector<Tick> m_ticks;
};

#endif // DEVICECALL_H
