#include "counterclient.h"

#include "curs485iointerface.h"
#include "linkfactory.h"

CounterClient::CounterClient(const QString &portName, int attempts, QObject *parent)
    : QObject(parent)
    , m_portName(portName)
    , m_attempts(attempts)
    , m_link(createLink(portName, this))
    , m_driver(new KuvelCounterDriver(this))
{
    m_driver->setIOInterface(m_link);
}

CounterClient::~CounterClient()
{
    // Answers still owed to requests of this program would otherwise reach the next program
    // on the line, as answers to its own requests.
    m_driver->waitForOwedAnswers();
    // The driver goes first: it must not outlive the link it listens to by even one message.
    delete m_driver;
    delete m_link;
}

bool CounterClient::open()
{
    return m_link->initialize();
}

QString CounterClient::openErrorText() const
{
    return m_link->openErrorText();
}

QString CounterClient::printablePortName() const
{
    return cuRs485IOInterface::printablePortName(m_portName);
}

CliExitCode CounterClient::identify(QString *type)
{
    QString text;
    if (!readText(m_driver->deviceType(), &text))
        return ExitNoAnswer;
    if (type)
        *type = text;
    // The same test as the window's: the family name anywhere in the type, case-sensitive.
    if (!m_driver->isSupportedType(text))
        return ExitDevice;
    // Its identifier tells it from another counter that may take its place on the line.
    return m_driver->acceptDevice(text, m_attempts) ? ExitOk : ExitNoAnswer;
}

bool CounterClient::readText(DriverPropertyReadOnly<QString> *property, QString *text)
{
    bool ok = false;
    const QString value = property->getValueSync(&ok, m_attempts);
    if (ok)
        *text = value;
    return ok;
}

bool CounterClient::readIdentifier(cUDID *identifier)
{
    bool ok = false;
    const cUDID value = m_driver->UDID()->getValueSync(&ok, m_attempts);
    if (ok)
        *identifier = value;
    return ok;
}

bool CounterClient::readChannel(int *channel)
{
    bool ok = false;
    const unsigned char index = m_driver->currentChannel()->getValueSync(&ok, m_attempts);
    if (ok)
        *channel = int(index) + 1;
    return ok;
}

bool CounterClient::writeChannel(int channel)
{
    bool ok = false;
    m_driver->currentChannel()->setValueSync((unsigned char)(channel - 1), &ok, m_attempts);
    return ok;
}

bool CounterClient::readTimeConst(float *seconds)
{
    bool ok = false;
    const float value = m_driver->timeConst()->getValueSync(&ok, m_attempts);
    if (ok)
        *seconds = value;
    return ok;
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
    bool ok = false;
    const Kuvel_Counts_t value = m_driver->counts()->getValueSync(&ok, m_attempts);
    // The property answers its last stored counts after a failed read: never pass them on.
    if (ok)
        *counts = value;
    return ok;
}

bool CounterClient::startCounter()
{
    bool ok = false;
    m_driver->startCounter()->executeSync(&ok, m_attempts);
    return ok;
}

bool CounterClient::stopCounter()
{
    bool ok = false;
    m_driver->stopCounter()->executeSync(&ok, m_attempts);
    return ok;
}

bool CounterClient::writeEeprom()
{
    bool ok = false;
    m_driver->writeEeprom()->executeSync(&ok, m_attempts);
    return ok;
}

bool CounterClient::isBusy() const
{
    return m_driver->isWaiting();
}

bool CounterClient::isRefused() const
{
    return m_driver->isDeviceRefused();
}

QString CounterClient::noAnswerText(const QString &what) const
{
    if (isRefused()) {
        return QStringLiteral("another device answers on %1 since it was opened again: type "
                              "\"%2\", identifier %3, not the counter \"%4\", identifier %5; "
                              "nothing more is sent to it")
            .arg(m_portName, m_driver->foundType(), m_driver->foundIdentifier().toHex(),
                 m_driver->acceptedType(), m_driver->acceptedIdentifier().toHex());
    }
    return QStringLiteral("no answer from the counter on %1 to %2 after %3 attempt%4")
        .arg(printablePortName(), what)
        .arg(m_attempts)
        .arg(m_attempts == 1 ? "" : "s");
}
