#ifndef SIGNALWATCHER_H
#define SIGNALWATCHER_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP (a closed terminal) into a Qt signal. The handler only writes
// the signal number into a pipe; the event loop reads it, so all work happens outside the handler,
// also while a device request waits in a nested event loop.
class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    // Installs the handlers; false when the pipe cannot be made (the default actions stay).
    bool install();

    // The first signal received, 0 while none came.
    int received() const { return m_received; }

signals:
    void signalReceived(int signalNumber);

private:
    static void handle(int signalNumber);
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
    int m_received = 0;
    bool m_installed = false;
};

#endif // SIGNALWATCHER_H
