#include "requesttracker.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

RequestTracker::RequestTracker(QObject *owner) : m_answerTimer(new QTimer(owner))
{
    m_answerTimer->setSingleShot(true);
    m_answerTimer->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_answerTimer, &QTimer::timeout, owner, [this] {
        m_timedOut = true;
        wakeWaits();
    });
    m_clock.start();
}

RequestTracker::~RequestTracker() = default;

void RequestTracker::startAttempt(quint8 command, quint64 operation, int answerSize)
{
    m_answerTimer->start(m_timeOut);
    m_answered = false;
    m_timedOut = false;
    m_pendingCommand = command;
    m_requestPending = true;
    m_pendingOperation = operation;
    m_pendingAnswerSize = answerSize;
}

void RequestTracker::failAttempt()
{
    m_answerTimer->stop();
    m_requestPending = false;
    m_timedOut = true;
    // A wait this request took over would otherwise hang: its timer is stopped, and no answer
    // comes to a request that never went out.
    wakeWaits();
}

void RequestTracker::addOwed(quint8 command, quint64 operation)
{
    dropExpiredOwed();
    m_owed.push_back({command, m_clock.elapsed(), operation});
}

void RequestTracker::takeMessage(quint8 command, quint8 dataLength, const quint8 *data)
{
    // Only an answer to the outstanding operation ends its wait: a late answer to an earlier
    // request, an unsolicited message or another code must not pass for it. Answers come in
    // the order of the requests, so a message settles the oldest request of its code.
    dropExpiredOwed();
    const quint64 operation = settleOwed(command);
    const bool answersCurrent = m_requestPending && command == m_pendingCommand && operation != 0
        && operation == m_pendingOperation;
    if (answersCurrent) {
        m_requestPending = false;
        m_answerTimer->stop();
        if (dataLength < m_pendingAnswerSize) {
            // Shorter than the value: not an answer. The attempt fails at once and is retried.
            m_timedOut = true;
        } else {
            m_answered = true;
            m_answerData = QByteArray(reinterpret_cast<const char *>(data), dataLength);
        }
    }
    // Also wakes a request held back by waitForOwed, to look at its debt again.
    wakeWaits();
}

bool RequestTracker::waitForAnswer()
{
    const BusyScope busy(*this);
    while (!m_answered && !m_timedOut) {
        // A local loop sleeps until the next event instead of spinning, and is quit by the
        // answer or the time-out.
        QEventLoop loop;
        m_waitLoops.push_back(&loop);
        runWaitLoop(&loop);
        m_waitLoops.pop_back();
    }
    return !m_timedOut;
}

void RequestTracker::waitForOwed(int command)
{
    const BusyScope busy(*this);
    const auto stillOwed = [this, command] {
        dropExpiredOwed();
        return owes(command);
    };
    while (stillOwed()) {
        qint64 lastSent = 0;
        for (const Owed &owed : m_owed) {
            if (command < 0 || owed.command == command)
                lastSent = qMax(lastSent, owed.sentMs);
        }
        const qint64 leftMs = lastSent + qint64(OwedAnswerTimeOuts) * m_timeOut - m_clock.elapsed();
        // Ended early by any message for this device, then looked at again.
        QEventLoop loop;
        QTimer expiry;
        expiry.setSingleShot(true);
        expiry.setTimerType(Qt::PreciseTimer);
        QObject::connect(&expiry, &QTimer::timeout, &loop, &QEventLoop::quit);
        expiry.start(int(qMax<qint64>(leftMs, 0)) + 1);
        m_waitLoops.push_back(&loop);
        runWaitLoop(&loop);
        m_waitLoops.pop_back();
    }
}

void RequestTracker::runWaitLoop(QEventLoop *loop)
{
    constexpr QEventLoop::ProcessEventsFlags flags = QEventLoop::ExcludeUserInputEvents;
    // Once the application has been told to quit (the window closed during a wait, say), no
    // new event loop runs until the main one has returned: exec answers -1 at once, and the
    // wait would spin forever. It then waits for the next event itself, so the answer or the
    // time-out still ends it and the application gets to quit.
    if (loop->exec(flags) < 0)
        QCoreApplication::processEvents(flags | QEventLoop::WaitForMoreEvents);
}

void RequestTracker::wakeWaits()
{
    // A request started from an event handler during a wait shares this single bookkeeping,
    // so every wait ends together.
    for (QEventLoop *loop : m_waitLoops)
        loop->quit();
}

void RequestTracker::dropExpiredOwed()
{
    const qint64 oldest = m_clock.elapsed() - qint64(OwedAnswerTimeOuts) * m_timeOut;
    auto kept = m_owed.begin();
    for (const Owed &owed : m_owed) {
        if (owed.sentMs >= oldest)
            *kept++ = owed;
    }
    m_owed.erase(kept, m_owed.end());
}

bool RequestTracker::owes(int command) const
{
    if (command < 0)
        return !m_owed.empty();
    for (const Owed &owed : m_owed) {
        if (owed.command == command)
            return true;
    }
    return false;
}

quint64 RequestTracker::settleOwed(quint8 command)
{
    for (auto it = m_owed.begin(); it != m_owed.end(); ++it) {
        if (it->command == command) {
            const quint64 operation = it->operation;
            m_owed.erase(it);
            return operation;
        }
    }
    return 0; // unsolicited, or later than an answer can be
}
