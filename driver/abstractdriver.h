#ifndef ABSTRACTDRIVER_H
#define ABSTRACTDRIVER_H

#include "cuiodeviceimpl.h"

#include <vector>
#include <QByteArray>
#include <QElapsedTimer>

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
    // The device answers with the request's code and nothing else, so while an earlier
    // request with `command` that timed out may still be answered, an answer with that code
    // could belong to either. Waits (as waitingAnswer does) until every such request has been
    // answered or is older than OwedAnswerTimeOuts answer time-outs, so that a synchronous
    // operation never takes an answer to an earlier one for its own.
    void waitForOwedAnswers(quint8 command);
    static constexpr int OwedAnswerTimeOuts = 2;

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
    void runWaitLoop(QEventLoop *loop);
    void dropExpiredOwed();
    bool owes(quint8 command) const;
    void settleOwed(quint8 command, bool answersCurrent);

    bool m_answered = false;
    bool m_timedOut = false;
    int m_timeOut = 500;
    QTimer *m_answerTimer = nullptr;
    std::vector<DriverProperty_p *> m_properties;

    quint8 m_pendingCommand = 0xFF;
    bool m_requestPending = false;
    int m_busy = 0;
    std::vector<QEventLoop *> m_waitLoops;

    // Requests sent and not yet answered, oldest first, with the time they went out.
    struct Owed
    {
        quint8 command;
        qint64 sentMs;
    };
    std::vector<Owed> m_owed;
    QElapsedTimer m_clock;
    // Payload of the message that ended the last wait: later messages in the same read may
    // replace the property's stored payload before the caller gets to it.
    QByteArray m_answerData;
};

#endif // ABSTRACTDRIVER_H
