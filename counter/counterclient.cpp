#include "counterclient.h"

#include "curs485iointerface.h"
#include "linkfactory.h"

namespace {

// A property's value, passed on only when the read succeeded: after a failed read a property
// answers the value it stored last, which is no answer to this read.
template<typename Property, typename Value>
bool readInto(Property *property, int attempts, Value *out)
{
    bool ok = false;
    const auto value = property->getValueSync(&ok, attempts);
    if (ok)
        *out = value;
    return ok;
}

template<typename Command> bool execute(Command *command, int attempts)
{
    bool ok = false;
    command->executeSync(&ok, attempts);
    return ok;
}

} // namespace

CounterClient::CounterClient(const QString &portName, int attempts, QObject *parent)
    : CounterClient(createLink(portName), portName, attempts, parent)
{
}

CounterClient::CounterClient(cuIOInterface *link, const QString &portName, int attempts,
                             QObject *parent)
    : QObject(parent)
    , m_portName(portName)
    , m_attempts(attempts)
    , m_link(link)
    , m_driver(new KuvelCounterDriver(this))
{
    m_link->setParent(this);
    m_driver->setIOInterface(m_link);
    connect(m_link, &cuIOInterface::msgReceived, this, [this] { m_heardLine = true; });
}

CounterClient::~CounterClient()
{
    // Answers still owed to requests of this program would otherwise reach the next program
    // on the line, as answers to its own requests.
    if (m_waitForOwedAnswers)
        m_driver->waitForOwedAnswers();
    // The driver goes first: it must not outlive the link it listens to by even one message.
    delete m_driver;
    delete m_link;
}

bool CounterClient::open()
{
    return m_link->initialize();
}

void CounterClient::close()
{
    m_link->close();
}

bool CounterClient::isOpen() const
{
    return m_link->isOpen();
}

QString CounterClient::openErrorText() const
{
    return m_link->openErrorText();
}

QString CounterClient::printablePortName() const
{
    return cuRs485IOInterface::printablePortName(m_portName);
}

QString CounterClient::printableText(const QString &text)
{
    return cuRs485IOInterface::printablePortName(text);
}

CounterClient::Failure CounterClient::identify(QString *type)
{
    QString text;
    if (!readText(m_driver->deviceType(), &text))
        return NoAnswer;
    if (type)
        *type = text;
    // The same test as the window's: the family name anywhere in the type, case-sensitive.
    if (!m_driver->isSupportedType(text))
        return OtherDevice;
    // Its identifier tells it from another counter that may take its place on the line.
    return m_driver->acceptDevice(text, m_attempts) ? NoFailure : NoAnswer;
}

bool CounterClient::readText(DriverPropertyReadOnly<QString> *property, QString *text)
{
    return readInto(property, m_attempts, text);
}

bool CounterClient::readIdentifier(cUDID *identifier)
{
    return readInto(m_driver->UDID(), m_attempts, identifier);
}

bool CounterClient::readChannel(int *channel)
{
    unsigned char index = 0;
    if (!readInto(m_driver->currentChannel(), m_attempts, &index))
        return false;
    *channel = int(index) + 1;
    return true;
}

bool CounterClient::writeChannel(int channel)
{
    bool ok = false;
    m_driver->currentChannel()->setValueSync((unsigned char)(channel - 1), &ok, m_attempts);
    return ok;
}

bool CounterClient::readTimeConst(float *seconds)
{
    return readInto(m_driver->timeConst(), m_attempts, seconds);
}

bool CounterClient::writeTimeConst(float seconds)
{
    bool ok = false;
    m_driver->timeConst()->setValueSync(seconds, &ok, m_attempts);
    return ok;
}

bool CounterClient::writeLevel(int channel, int level, quint16 value)
{
    const Kuvel_RefLevel_t record = {quint8(channel - 1), quint8(level - 1), value};
    bool ok = false;
    m_driver->referenceLevel()->setValueSync(record, &ok, m_attempts);
    return ok;
}

bool CounterClient::readCounts(Kuvel_Counts_t *counts)
{
    return readInto(m_driver->counts(), m_attempts, counts);
}

bool CounterClient::startCounter()
{
    return execute(m_driver->startCounter(), m_attempts);
}

bool CounterClient::stopCounter()
{
    return execute(m_driver->stopCounter(), m_attempts);
}

bool CounterClient::writeEeprom()
{
    return execute(m_driver->writeEeprom(), m_attempts);
}

bool CounterClient::isBusy() const
{
    return m_driver->isWaiting();
}

bool CounterClient::isRefused() const
{
    return m_driver->isDeviceRefused();
}

DataContext::Entries CounterClient::context(const QString &program, const QString &firmware,
                                            int channel, double timeConstSeconds) const
{
    return DataContext::common(program, QDateTime::currentDateTimeUtc(), m_portName,
                               m_driver->acceptedType(), m_driver->acceptedIdentifier().toHex(),
                               firmware, channel, timeConstSeconds);
}

QString CounterClient::noAnswerText(const QString &what) const
{
    if (isRefused()) {
        return QStringLiteral("another device answers on %1 since it was opened again: type "
                              "\"%2\", identifier %3, not the counter \"%4\", identifier %5; "
                              "nothing more is sent to it")
            .arg(printablePortName(), printableText(m_driver->foundType()),
                 m_driver->foundIdentifier().toHex(), printableText(m_driver->acceptedType()),
                 m_driver->acceptedIdentifier().toHex());
    }
    return QStringLiteral("no answer from the counter on %1 to %2 after %3 attempt%4")
        .arg(printablePortName(), what)
        .arg(m_attempts)
        .arg(m_attempts == 1 ? "" : "s");
}
