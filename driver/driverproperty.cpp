#include "driverproperty.h"

DriverProperty_p::DriverProperty_p(AbstractDriver *driver, quint8 cmdGetter, quint8 cmdSetter)
    : m_abstractDriver(driver)
    , m_cmdGetter(cmdGetter)
    , m_cmdSetter(cmdSetter)
    , m_gettedSignal(new PropertySignal)
    , m_settedSignal(new PropertySignal)
{
    m_abstractDriver->appendProperty(this);
}

DriverProperty_p::~DriverProperty_p()
{
    delete m_gettedSignal;
    delete m_settedSignal;
}

void DriverProperty_p::readWrite(quint8 command, const QByteArray &data)
{
    request(command, data, m_abstractDriver->requests().newOperation());
}

void DriverProperty_p::request(quint8 command, const QByteArray &data, quint64 operation)
{
    m_abstractDriver->sendRequest(command, data, operation,
                                  command == m_cmdGetter ? m_answerSize : 0);
    m_lastSettedData = data;
}

QByteArray DriverProperty_p::readWriteSync(quint8 command, const QByteArray &data, bool *ok,
                                           int attempts)
{
    RequestTracker &requests = m_abstractDriver->requests();
    // The whole exchange, sending included, counts as the driver's wait: the send itself
    // processes events.
    const RequestTracker::BusyScope busy(requests);
    bool answered = false;
    // Retries need no such wait: an answer to any attempt answers this same request.
    if (attempts > 0)
        m_abstractDriver->waitForOwedAnswers(command);
    const quint64 operation = requests.newOperation();
    while (attempts > 0) {
        request(command, data, operation);
        --attempts;
        if (m_abstractDriver->waitingAnswer()) {
            answered = true;
            break;
        }
    }
    if (ok)
        *ok = answered;
    // The payload of the answer itself: a message read right behind it may already have
    // replaced the stored one.
    if (answered && command == m_cmdGetter)
        return requests.answerData();
    return m_data;
}

DriverCommand::DriverCommand(AbstractDriver *driver, quint8 cmdGetter, quint8 cmdSetter)
    : DriverProperty_p(driver, cmdGetter, cmdSetter)
{
}

DriverCommand::~DriverCommand() = default;

void DriverCommand::execute()
{
    readWrite(cmdSetter(), QByteArray());
}

void DriverCommand::executeSync(bool *ok, int attempts)
{
    readWriteSync(cmdSetter(), QByteArray(), ok, attempts);
}
