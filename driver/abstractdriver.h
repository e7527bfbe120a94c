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
    // request with `command` may still be answered, an answer with that code could belong to
    // either. Waits (as waitingAnswer does) until every such request has been answered or is
    // older than OwedAnswerTimeOuts answer time-outs, so that an operation never takes the
    // answer to an earlier one for its own.
    void waitForOwedAnswers(quint8 command);
    // The same for every code: a program waits so before it lets go of the line, so that the
    // next program on it does not take an answer owed to this one for its own.
    void waitForOwedAnswers();
    // An answer later than this is taken for lost (2 s with the default time-out).
    static constexpr int OwedAnswerTimeOuts = 4;

    int timeOut() const { return m_timeOut; }
    void setTimeOut(int milliseconds) { m_timeOut = milliseconds; }

    // A later property takes over the getter or setter code of an earlier one.
    void appendProperty(DriverProperty_p *property);

    // True while a synchronous request of this driver is on its way: callers hold back timer
    // work that would send a request of its own.
    bool isWaiting() const { return m_busy > 0; }

    bool pMsgReceived(quint8 address, quint8 command, quint8 dataLength, quint8 *data) override;

protected:
    // Run before each request with `command` goes out, before its bookkeeping is armed; false
    // keeps the request off the line (its wait then times out). May run requests of its own.
    // `answerSize` is that of the request (see sendRequest).
    virtual bool confirmDevice(quint8 command, int answerSize)
    {
        Q_UNUSED(command)
        Q_UNUSED(answerSize)
        return true;
    }

public:
    // True while requests are refused without being sent: another device was found on the line.
    virtual bool isDeviceRefused() const { return false; }

private:
    friend class DriverProperty_p;
    // One operation is one request sent up to its attempt count; any of its attempts may be
    // answered, and only by an answer to one of them.
    quint64 newOperation() { return ++m_lastOperation; }
    // `answerSize`: a getter answer shorter than this is not an answer; the attempt fails.
    void sendRequest(quint8 command, const QByteArray &data, quint64 operation, int answerSize);
    bool prepareLine(quint8 command, int answerSize);
    void finishWait();
    void waitForOwed(int command); // -1: every code
    void runWaitLoop(QEventLoop *loop);
    void dropExpiredOwed();
    bool owes(quint8 command) const;
    quint64 settleOwed(quint8 command);

    bool m_answered = false;
    bool m_timedOut = false;
    int m_timeOut = 500;
    QTimer *m_answerTimer = nullptr;
    std::vector<DriverProperty_p *> m_properties;

    quint8 m_pendingCommand = 0xFF;
    bool m_requestPending = false;
    quint64 m_pendingOperation = 0;
    int m_pendingAnswerSize = 0;
    quint64 m_lastOperation = 0;
    int m_busy = 0;
    std::vector<QEventLoop *> m_waitLoops;

    // Requests sent and not yet answered, oldest first, with the time they went out. The device
    // answers in order, so an answer settles the oldest request of its code.
    struct Owed
    {
        quint8 command;
        qint64 sentMs;
        quint64 operation;
    };
    std::vector<Owed> m_owed;
    QElapsedTimer m_clock;
    // Payload of the message that ended the last wait: later messages in the same read may
    // replace the property's stored payload before the caller gets to it.
    QByteArray m_answerData;
};

#endif // ABSTRACTDRIVER_H
