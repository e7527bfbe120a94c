#ifndef ABSTRACTDRIVER_H
#define ABSTRACTDRIVER_H

#include "cuiodeviceimpl.h"
#include "requesttracker.h"

#include <vector>
#include <QByteArray>

class DriverProperty_p;

// The base of every device driver. The device answers every request with a message that
// carries the request's command code; the driver tracks one outstanding request, ends its
// wait only on the answer with that code (or on the answer time-out), and hands every
// message for its address to the property that holds the message's code. The bookkeeping
// itself is a RequestTracker.
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
    // An answer is waited for this long (2 s with the default time-out); a later one is taken
    // as the answer to the next request of its code (see RequestTracker).
    static constexpr int OwedAnswerTimeOuts = RequestTracker::OwedAnswerTimeOuts;

    int timeOut() const { return m_requests.timeOut(); }
    void setTimeOut(int milliseconds) { m_requests.setTimeOut(milliseconds); }

    // A later property takes over the getter or setter code of an earlier one.
    void appendProperty(DriverProperty_p *property);

    // True while a synchronous request of this driver is on its way: callers hold back timer
    // work that would send a request of its own.
    bool isWaiting() const { return m_requests.isBusy(); }

    // The request bookkeeping, for the properties' synchronous exchanges.
    RequestTracker &requests() { return m_requests; }
    // One attempt of an operation (see RequestTracker::newOperation): arms the bookkeeping and
    // sends, unless the line cannot be opened or the device is not confirmed. `answerSize`: a
    // getter answer shorter than this is not an answer; the attempt fails.
    void sendRequest(quint8 command, const QByteArray &data, quint64 operation, int answerSize);

    bool pMsgReceived(quint8 address, quint8 command, quint8 dataLength, quint8 *data) override;

protected:
    // Run before each request with `command` goes out, before its bookkeeping is armed; false
    // keeps the request off the line (its wait then times out). May run requests of its own;
    // those it runs inside a RequestTracker::ConfirmScope go out unconfirmed. `answerSize` is
    // that of the request (see sendRequest).
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
    bool prepareLine(quint8 command, int answerSize);
    // A getter code: its answer carries a value, unlike a write's or command's confirmation.
    bool isReadCode(quint8 command) const;

    RequestTracker m_requests;
    std::vector<DriverProperty_p *> m_properties;
    quint64 m_lastOperation = 0; // of the last attempt sent or refused
};

#endif // ABSTRACTDRIVER_H
