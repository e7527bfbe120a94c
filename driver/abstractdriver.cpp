#include "abstractdriver.h"

#include "cuiointerface.h"
#include "driverproperty.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

AbstractDriver::AbstractDriver(QObject *parent)
    : cuIODeviceImpl(parent), m_answerTimer(new QTimer(this))
{
    m_answerTimer->setSingleShot(true);
    m_answerTimer->setTimerType(Qt::PreciseTimer);
    connect(m_answerTimer, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        finishWait();
    });
    m_clock.start();
}

AbstractDriver::~AbstractDriver() = default;

void AbstractDriver::sendMsg(quint8 command, const QByteArray &data)
{
    sendRequest(command, data, newOperation(), 0);
}

void AbstractDriver::sendRequest(quint8 command, const QByteArray &data, quint64 operation,
                                 int answerSize)
{
    // Bytes the link has already read from the line wait in the event queue (the link takes
    // them in through a queued call), and so may the closing of a line that was lost. Taken in
    // now, before the request is armed, a frame that came before the request was sent cannot
    // pass for its answer, and a line closed meanwhile is opened and its device confirmed
    // below rather than by the send itself.
    cuIOInterface *link = iOInterface();
    if (link)
        QCoreApplication::sendPostedEvents(link, QEvent::MetaCall);
    bool ready = prepareLine(command, answerSize);
    if (link) {
        QCoreApplication::sendPostedEvents(link, QEvent::MetaCall);
        // Lost again while the device was confirmed: the next attempt opens and confirms anew.
        ready = ready && link->isOpen();
    }
    m_answerTimer->start(m_timeOut);
    m_answered = false;
    m_timedOut = false;
    m_pendingCommand = command;
    m_requestPending = true;
    m_pendingOperation = operation;
    m_pendingAnswerSize = answerSize;
    if (!ready) {
        if (isDeviceRefused()) {
            // Nothing to wait for: the request fails at once.
            m_answerTimer->stop();
            m_requestPending = false;
            m_timedOut = true;
        }
        return;
    }
    dropExpiredOwed();
    m_owed.push_back({command, m_clock.elapsed(), operation});
    cuIODeviceImpl::sendMsg(command, quint8(data.size()),
                            reinterpret_cast<quint8 *>(const_cast<char *>(data.constData())));
}

bool AbstractDriver::prepareLine(quint8 command, int answerSize)
{
    // A line that was lost is opened here rather than by the send itself, so that the device
    // behind it can be confirmed before it receives anything.
    cuIOInterface *link = iOInterface();
    if (link && !link->isOpen() && !link->initialize())
        return false; // not sent; its wait times out as for a silent device
    return confirmDevice(command, answerSize);
}

bool AbstractDriver::waitingAnswer()
{
    ++m_busy;
    while (!m_answered && !m_timedOut) {
        // A local loop sleeps until the next event instead of spinning, and is quit by the
        // answer or the time-out.
        QEventLoop loop;
        m_waitLoops.push_back(&loop);
        runWaitLoop(&loop);
        m_waitLoops.pop_back();
    }
    --m_busy;
    return !m_timedOut;
}

void AbstractDriver::runWaitLoop(QEventLoop *loop)
{
    constexpr QEventLoop::ProcessEventsFlags flags = QEventLoop::ExcludeUserInputEvents;
    // Once the application has been told to quit (the window closed during a wait, say), no
    // new event loop runs until the main one has returned: exec answers -1 at once, and the
    // wait would spin forever. It then waits for the next event itself, so the answer or the
    // time-out still ends it and the application gets to quit.
    if (loop->exec(flags) < 0)
        QCoreApplication::processEvents(flags | QEventLoop::WaitForMoreEvents);
}

void AbstractDriver::waitForOwedAnswers(quint8 command)
{
    waitForOwed(command);
}

void AbstractDriver::waitForOwedAnswers()
{
    waitForOwed(-1);
}

void AbstractDriver::waitForOwed(int command)
{
    ++m_busy;
    const auto owed = [this, command] {
        dropExpiredOwed();
        return command < 0 ? !m_owed.empty() : owes(quint8(command));
    };
    while (owed()) {
        qint64 lastSent = 0;
        for (const Owed &owed : m_owed) {
            if (command < 0 || owed.command == command)
                lastSent = qMax(lastSent, owed.sentMs);
        }
        const qint64 leftMs = lastSent + qint64(OwedAnswerTimeOuts) * m_timeOut - m_clock.elapsed();
        // Ended early by any message for this device (finishWait), then looked at again.
        QEventLoop loop;
        QTimer expiry;
        expiry.setSingleShot(true);
        expiry.setTimerType(Qt::PreciseTimer);
        connect(&expiry, &QTimer::timeout, &loop, &QEventLoop::quit);
        expiry.start(int(qMax<qint64>(leftMs, 0)) + 1);
        m_waitLoops.push_back(&loop);
        runWaitLoop(&loop);
        m_waitLoops.pop_back();
    }
    --m_busy;
}

void AbstractDriver::dropExpiredOwed()
{
    const qint64 oldest = m_clock.elapsed() - qint64(OwedAnswerTimeOuts) * m_timeOut;
    auto kept = m_owed.begin();
    for (const Owed &owed : m_owed) {
        if (owed.sentMs >= oldest)
            *kept++ = owed;
    }
    m_owed.erase(kept, m_owed.end());
}

bool AbstractDriver::owes(quint8 command) const
{
    for (const Owed &owed : m_owed) {
        if (owed.command == command)
            return true;
    }
    return false;
}

quint64 AbstractDriver::settleOwed(quint8 command)
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

void AbstractDriver::finishWait()
{
    // A request started from an event handler during a wait shares this driver's single
    // bookkeeping, so every wait ends together.
    for (QEventLoop *loop : m_waitLoops)
        loop->quit();
}

void AbstractDriver::appendProperty(DriverProperty_p *property)
{
    const quint8 getter = property->cmdGetter();
    const quint8 setter = property->cmdSetter();
    for (auto it = m_properties.begin(); it != m_properties.end();) {
        const bool sameGetter = getter != NoCommand && (*it)->cmdGetter() == getter;
        const bool sameSetter = setter != NoCommand && (*it)->cmdSetter() == setter;
        if (sameGetter || sameSetter)
            it = m_properties.erase(it);
        else
            ++it;
    }
    m_properties.push_back(property);
}

bool AbstractDriver::pMsgReceived(quint8 address, quint8 command, quint8 dataLength, quint8 *data)
{
    if (address != devAddress())
        return false;

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
    // Also wakes a request held back by waitForOwedAnswers, to look at its debt again.
    finishWait();

    if (command == NoCommand) // the code that means "no such operation" is never dispatched
        return false;
    for (DriverProperty_p *property : m_properties) {
        if (property->cmdGetter() == command) {
            // A getter answer shorter than the value it carries is not taken in.
            if (dataLength < property->answerSize())
                return false;
            property->setBufferData(QByteArray(reinterpret_cast<const char *>(data), dataLength));
            property->gettedSignal()->run();
            return true;
        }
        if (property->cmdSetter() == command) {
            property->settedSignal()->run();
            return true;
        }
    }
    return false;
}
