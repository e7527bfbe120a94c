#ifndef ABSTRACTDRIVER_H
#define ABSTRACTDRIVER_H

#include "cuiodeviceimpl.h"

#include <QByteArray>
#include <vector>

class DriverProperty_p;
class QEventLoop;
class QTimer;

// The base of every device driver. The device answers every request with a message that
// carries the request's command code; the driver tracks one outstanding request, ends its
// wait only on the answer with that code (or on the answer time-out), and hands every
// message for its address to the property that holds the message's code.
class AbstractDriver : public cuIODeviceImpl
{
    Q_OBJECT
public:
    explicit AbstractDriver(QObject *parent = nullptr);
    ~AbstractDriver() override;

    using cuIODeviceImpl::sendMsg;
    // Sends one request and arms the answer bookkeeping.
    void sendMsg(quint8 command, const QByteArray &data);
    // Waits until the outstanding request is answered (true) or timed out (false). Events are
    // processed meanwhile, except user input, which stays queued until the wait ends.
    bool waitingAnswer();

    int timeOut() const { return m_timeOut; }
    void setTimeOut(int milliseconds) { m_timeOut = milliseconds; }

    // A later property takes over the getter or setter code of an earlier one.
    void appendProperty(DriverProperty_p *property);

    // True while a synchronous request of this driver is on its way: callers hold back timer
    // work that would send a request of its own.
    bool isWaiting() const { return m_busy > 0; }

    bool pMsgReceived(quint8 address, quint8 command, quint8 dataLength, quint8 *data) override;

private:
    friend class DriverProperty_p;
    void finishWait();

    bool m_answered = false;
    bool m_timedOut = false;
    int m_timeOut = 500;
    QTimer *m_answerTimer = nullptr;
    std::vector<DriverProperty_p *> m_properties;

    quint8 m_pendingCommand = 0xFF;
    bool m_requestPending = false;
    int m_busy = 0;
    std::vector<QEventLoop *> m_waitLoops;
};

#endif // ABSTRACTDRIVER_H
