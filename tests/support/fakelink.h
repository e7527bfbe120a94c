#ifndef FAKELINK_H
#define FAKELINK_H

#include "cuiointerface.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QSharedPointer>
#include <QVector>

#include <map>

// One message a FakeLink sends back for a request.
struct FakeReply
{
    QByteArray data;
    int delayMs = 0; // 0: on the next pass of the event loop
    int command = -1; // -1: the request's code
    int address = -1; // -1: the request's address
    int skip = 0; // leave this many requests unanswered first
    bool synchronous = false; // emitted inside sendMsg, before it returns

    FakeReply &withData(const QByteArray &payload)
    {
        data = payload;
        return *this;
    }
    FakeReply &after(int milliseconds)
    {
        delayMs = milliseconds;
        return *this;
    }
    FakeReply &withCode(quint8 code)
    {
        command = code;
        return *this;
    }
    FakeReply &toAddress(quint8 value)
    {
        address = value;
        return *this;
    }
    FakeReply &skipping(int requests)
    {
        skip = requests;
        return *this;
    }
    FakeReply &atOnce()
    {
        synchronous = true;
        return *this;
    }
};

// An in-process link for driver tests. It records every message sent and answers as the test
// tells it. Answers arrive from the event loop, as bytes from a real line do, unless a reply
// is marked synchronous.
class FakeLink : public cuIOInterface
{
    Q_OBJECT
public:
    struct Sent
    {
        quint8 address;
        quint8 command;
        QByteArray payload;
        qint64 msecs; // since the link was created
    };

    using Reply = FakeReply;

    explicit FakeLink(QObject *parent = nullptr);

    // Every later request with `command` gets `reply`, besides the replies already set for it.
    void answer(quint8 command, const Reply &reply = Reply());
    // Every later request, whatever its code, gets `reply`.
    void answerAll(const Reply &reply = Reply());
    // From now on requests go unanswered.
    void silence();

    // An unsolicited message, delivered from the event loop after `delayMs`.
    void inject(quint8 address, quint8 command, const QByteArray &data = QByteArray(),
                int delayMs = 0);
    // A message delivered at once, inside this call.
    void deliver(quint8 address, quint8 command, const QByteArray &data = QByteArray());

    const QVector<Sent> &sent() const { return m_sent; }
    QList<quint8> sentCommands() const;
    void clearSent() { m_sent.clear(); }
    qint64 elapsed() const { return m_clock.elapsed(); }

    bool initialize() override { return true; }
    int openCount() const override { return m_openCount; }
    // The line was lost and opened again: whatever answers may be another device.
    void reopen() { ++m_openCount; }
    bool sendMsg(quint8 address, quint8 command, quint8 dataLength, quint8 *data) override;

signals:
    // After a request has been recorded, before any synchronous reply.
    void requestSent(quint8 command);

private:
    struct Rule
    {
        Reply reply;
        int seen = 0;
    };
    void reply(const Sent &request, Rule &rule);
    using Rules = QVector<QSharedPointer<Rule>>;

    QVector<Sent> m_sent;
    std::map<int, Rules> m_rules; // key -1: every code
    QElapsedTimer m_clock;
    int m_openCount = 1;
};

// A driver of type Driver on a fake link, with a short answer time-out.
template<typename Driver> struct DriverOnFakeLink
{
    explicit DriverOnFakeLink(int timeOut = 50)
    {
        driver.setIOInterface(&link);
        driver.setTimeOut(timeOut);
    }
    FakeLink link;
    Driver driver;
};

#endif // FAKELINK_H
