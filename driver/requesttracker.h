#ifndef REQUESTTRACKER_H
#define REQUESTTRACKER_H

#include <vector>
#include <QByteArray>
#include <QElapsedTimer>

class QEventLoop;
class QObject;
class QTimer;

// The bookkeeping of one driver's requests.
//
// Request: one command code sent to the device, which answers it with a message carrying the
//   same code and nothing else to tell which request it answers. An operation sends its request
//   up to its attempt count; an answer to any of its attempts answers it.
// Current attempt: the last request sent. It ends answered (an answer of its operation that
//   is long enough to carry the value), failed (an answer too short, or refused before it went
//   out) or timed out (its answer timer fires after timeOut() ms).
// Owed answers: every request that went out, oldest first. The device answers in order, so a
//   message settles the oldest owed request of its code. A request older than
//   OwedAnswerTimeOuts time-outs is owed no more: the next operation of its code goes out then.
//   A late answer that is still owed is settled and dispatched as usual but ends no wait. An
//   answer later than the bound cannot be told from an answer to a later request, as the
//   protocol carries no request number: it settles the oldest request of its code owed by
//   then (and ends that one's wait with its stale value), or, with none owed, is dispatched
//   as an unsolicited message. A lost answer is far more common on a real line than one that
//   late, and waiting longer would hold every request of the code for it.
// What ends a wait: waitForAnswer ends with the current attempt, true when it was answered;
//   a message of another code, a late answer or an unsolicited one ends none. waitForOwed ends
//   when nothing of its code is owed any more.
// Nested waits: a wait runs the event loop, so a handler may send and wait in turn. All waits
//   share the one current attempt, and every message for the device and every end of an
//   attempt wakes them all, each to look at its own condition again.
// Busy: a synchronous exchange is under way. Confirming: the device behind a reopened line is
//   being confirmed, and the requests that confirm it are not confirmed again.
class RequestTracker
{
public:
    // The answer timer is created as a Qt child of `owner`, the driver.
    explicit RequestTracker(QObject *owner);
    ~RequestTracker();

    // An answer is waited for this long (2 s with the default time-out); a later one is taken
    // as the answer to the next request of its code (see above).
    static constexpr int OwedAnswerTimeOuts = 4;

    int timeOut() const { return m_timeOut; }
    void setTimeOut(int milliseconds) { m_timeOut = milliseconds; }

    quint64 newOperation() { return ++m_lastOperation; }
    // Arms the current attempt: a getter answer shorter than `answerSize` is not an answer.
    void startAttempt(quint8 command, quint64 operation, int answerSize);
    // The armed attempt fails at once: it was refused and never went out.
    void failAttempt();
    // The armed attempt went out: its answer is owed from now on.
    void addOwed(quint8 command, quint64 operation);
    // A message for the device: settles what it answers and wakes every wait.
    void takeMessage(quint8 command, quint8 dataLength, const quint8 *data);
    // Payload of the message that ended the last wait: later messages in the same read may
    // replace the property's stored payload before the caller gets to it.
    QByteArray answerData() const { return m_answerData; }

    // Until the current attempt ends: true when answered.
    bool waitForAnswer();
    // Until nothing with `command` (-1: with any code) is owed any more.
    void waitForOwed(int command);

    bool isBusy() const { return m_busy > 0; }
    bool isConfirming() const { return m_confirming; }

    // Marks a synchronous exchange for its lifetime.
    class BusyScope
    {
    public:
        explicit BusyScope(RequestTracker &tracker) : m_tracker(tracker) { ++m_tracker.m_busy; }
        ~BusyScope() { --m_tracker.m_busy; }
        Q_DISABLE_COPY(BusyScope)

    private:
        RequestTracker &m_tracker;
    };

    // Marks the requests that confirm the device, for its lifetime.
    class ConfirmScope
    {
    public:
        explicit ConfirmScope(RequestTracker &tracker) : m_tracker(tracker)
        {
            m_tracker.m_confirming = true;
        }
        ~ConfirmScope() { m_tracker.m_confirming = false; }
        Q_DISABLE_COPY(ConfirmScope)

    private:
        RequestTracker &m_tracker;
    };

private:
    Q_DISABLE_COPY(RequestTracker)
    void wakeWaits();
    void runWaitLoop(QEventLoop *loop);
    void dropExpiredOwed();
    bool owes(int command) const;
    quint64 settleOwed(quint8 command);

    // The current attempt.
    bool m_answered = false;
    bool m_timedOut = false;
    int m_timeOut = 500;
    QTimer *m_answerTimer = nullptr;
    quint8 m_pendingCommand = 0xFF;
    bool m_requestPending = false;
    quint64 m_pendingOperation = 0;
    int m_pendingAnswerSize = 0;
    quint64 m_lastOperation = 0;
    QByteArray m_answerData;

    struct Owed
    {
        quint8 command;
        qint64 sentMs;
        quint64 operation;
    };
    std::vector<Owed> m_owed;
    QElapsedTimer m_clock;

    int m_busy = 0;
    bool m_confirming = false;
    std::vector<QEventLoop *> m_waitLoops;
};

#endif // REQUESTTRACKER_H
