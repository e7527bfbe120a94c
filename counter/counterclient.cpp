#include "counterclient.h"

#include "curs485iointerface.h"
#include "linkfactory.h"

#include <QStringList>

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
    for (auto &channel : m_state.levels)
        channel.fill(-1);
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
    if (!m_driver->acceptDevice(text, m_attempts))
        return NoAnswer;
    // A new run: nothing of the counter's state is known yet.
    forgetState();
    m_stateOpenCount = m_link->openCount();
    return NoFailure;
}

bool CounterClient::readText(DriverPropertyReadOnly<QString> *property, QString *text)
{
    beginOperation();
    const bool ok = readInto(property, m_attempts, text);
    return endOperation(ok);
}

bool CounterClient::readIdentifier(cUDID *identifier)
{
    beginOperation();
    const bool ok = readInto(m_driver->UDID(), m_attempts, identifier);
    return endOperation(ok);
}

bool CounterClient::rawReadChannel(int *channel)
{
    unsigned char index = 0;
    if (!readInto(m_driver->currentChannel(), m_attempts, &index))
        return false;
    *channel = int(index) + 1;
    return true;
}

bool CounterClient::readChannel(int *channel)
{
    beginOperation();
    int value = 0;
    bool ok = rawReadChannel(&value);
    bool restoreOk = true;
    // Read under another state: read again under the restored one.
    if (reopenedDuring(&restoreOk))
        ok = restoreOk && rawReadChannel(&value);
    if (!ok)
        return false;
    if (value >= MinChannel && value <= MaxChannel)
        m_state.channel = value;
    *channel = value;
    return true;
}

bool CounterClient::writeChannel(int channel)
{
    beginOperation();
    bool ok = false;
    m_driver->currentChannel()->setValueSync((unsigned char)(channel - 1), &ok, m_attempts);
    if (ok)
        m_state.channel = channel;
    return endOperation(ok);
}

bool CounterClient::rawReadTimeConst(float *seconds)
{
    return readInto(m_driver->timeConst(), m_attempts, seconds);
}

bool CounterClient::readTimeConst(float *seconds)
{
    beginOperation();
    float value = 0;
    bool ok = rawReadTimeConst(&value);
    bool restoreOk = true;
    if (reopenedDuring(&restoreOk))
        ok = restoreOk && rawReadTimeConst(&value);
    if (!ok)
        return false;
    m_state.timeConstKnown = true;
    m_state.timeConst = value;
    *seconds = value;
    return true;
}

bool CounterClient::writeTimeConst(float seconds)
{
    beginOperation();
    bool ok = false;
    m_driver->timeConst()->setValueSync(seconds, &ok, m_attempts);
    if (ok) {
        m_state.timeConstKnown = true;
        m_state.timeConst = seconds;
    }
    return endOperation(ok);
}

bool CounterClient::writeLevel(int channel, int level, quint16 value)
{
    beginOperation();
    const Kuvel_RefLevel_t record = {quint8(channel - 1), quint8(level - 1), value};
    bool ok = false;
    m_driver->referenceLevel()->setValueSync(record, &ok, m_attempts);
    const bool valid
        = channel >= MinChannel && channel <= MaxChannel && level >= 1 && level <= LevelCount;
    if (valid) {
        // A write the counter did not confirm may still have taken effect: the level is then
        // no longer known.
        m_state.levels[channel - 1][level - 1] = ok ? int(value) : -1;
        emit levelKnown(channel, level);
    }
    return endOperation(ok);
}

bool CounterClient::readCounts(Kuvel_Counts_t *counts)
{
    beginOperation();
    Kuvel_Counts_t value;
    bool ok = readInto(m_driver->counts(), m_attempts, &value);
    bool restoreOk = true;
    if (reopenedDuring(&restoreOk)) {
        if (!restoreOk)
            return false;
        // Counts of a counter that held another state belong to no run: they are dropped,
        // and the next read is one of the restored state.
        if (m_changedAtRestore) {
            m_restored = true;
            return false;
        }
        ok = readInto(m_driver->counts(), m_attempts, &value);
    }
    if (ok)
        *counts = value;
    return ok;
}

bool CounterClient::startCounter()
{
    beginOperation();
    const bool ok = execute(m_driver->startCounter(), m_attempts);
    if (ok)
        m_state.counting = 1;
    return endOperation(ok);
}

bool CounterClient::stopCounter()
{
    beginOperation();
    const bool ok = execute(m_driver->stopCounter(), m_attempts);
    if (ok)
        m_state.counting = 0;
    return endOperation(ok);
}

bool CounterClient::writeEeprom()
{
    beginOperation();
    const bool ok = execute(m_driver->writeEeprom(), m_attempts);
    return endOperation(ok);
}

int CounterClient::knownLevel(int channel, int level) const
{
    if (channel < MinChannel || channel > MaxChannel || level < 1 || level > LevelCount)
        return -1;
    return m_state.levels[channel - 1][level - 1];
}

QVector<int> CounterClient::knownLevels(int channel) const
{
    QVector<int> levels;
    for (int level = 1; level <= LevelCount; ++level)
        levels.append(knownLevel(channel, level));
    return levels;
}

void CounterClient::forgetState()
{
    m_state = RunState();
    for (auto &channel : m_state.levels)
        channel.fill(-1);
    emit levelKnown(0, 0);
}

void CounterClient::beginOperation()
{
    if (!m_restoring)
        m_restored = false;
}

bool CounterClient::endOperation(bool ok)
{
    // An operation that met a reopened line succeeds only once the run's state is back.
    bool restoreOk = true;
    return reopenedDuring(&restoreOk) ? restoreOk && ok : ok;
}

bool CounterClient::reopenedDuring(bool *restoreOk)
{
    if (m_restoring || m_stateOpenCount < 0 || !m_driver->isDeviceAccepted() || isRefused()
        || !m_link->isOpen() || m_link->openCount() == m_stateOpenCount)
        return false;
    *restoreOk = restoreState();
    return true;
}

bool CounterClient::restoreState()
{
    m_restoring = true;
    const int openCount = m_link->openCount();
    int channel = 0;
    float timeConst = 0;
    // Read first: the requests also confirm that the same counter answers.
    bool ok = rawReadChannel(&channel) && rawReadTimeConst(&timeConst);
    if (!ok || isRefused()) {
        m_restoring = false;
        return false;
    }
    const QString type = m_driver->deviceType()->currentValue();
    QStringList found;
    QStringList written;
    if (type != m_driver->acceptedType())
        found << QStringLiteral("type \"%1\" (was \"%2\")")
                     .arg(printableText(type), printableText(m_driver->acceptedType()));
    if (m_state.channel > 0 && channel != m_state.channel) {
        found << QStringLiteral("channel %1 (the run's %2)").arg(channel).arg(m_state.channel);
        bool written1 = false;
        m_driver->currentChannel()->setValueSync((unsigned char)(m_state.channel - 1), &written1,
                                                 m_attempts);
        ok = written1;
        written << QStringLiteral("channel %1").arg(m_state.channel);
    }
    if (ok && m_state.timeConstKnown && !qFuzzyCompare(timeConst, m_state.timeConst)) {
        found << QStringLiteral("time constant %1 s (the run's %2 s)")
                     .arg(double(timeConst), 0, 'g', 6)
                     .arg(double(m_state.timeConst), 0, 'g', 6);
        m_driver->timeConst()->setValueSync(m_state.timeConst, &ok, m_attempts);
        written << QStringLiteral("time constant %1 s").arg(double(m_state.timeConst), 0, 'g', 6);
    }
    for (int c = 0; ok && c < MaxChannel; ++c) {
        QStringList levels;
        for (int l = 0; ok && l < LevelCount; ++l) {
            if (m_state.levels[c][l] < 0)
                continue;
            const Kuvel_RefLevel_t record = {quint8(c), quint8(l), quint16(m_state.levels[c][l])};
            m_driver->referenceLevel()->setValueSync(record, &ok, m_attempts);
            levels << QStringLiteral("%1: %2").arg(l + 1).arg(m_state.levels[c][l]);
        }
        if (!levels.isEmpty())
            written << QStringLiteral("levels %1 of channel %2").arg(levels.join(", ")).arg(c + 1);
    }
    if (ok && m_state.counting == 1) {
        ok = execute(m_driver->startCounter(), m_attempts);
        written << QStringLiteral("counting started");
    }
    m_restoring = false;
    if (!ok || isRefused())
        return false; // the next operation tries again
    m_stateOpenCount = openCount;
    m_changedAtRestore = !found.isEmpty();
    m_restoreText
        = QStringLiteral("the counter on %1 answered after its port was opened "
                         "again%2; restored: %3")
              .arg(printablePortName(),
                   found.isEmpty() ? QStringLiteral(", its channel and time constant "
                                                    "unchanged")
                                   : QStringLiteral(" with ") + found.join(", "),
                   written.isEmpty() ? QStringLiteral("nothing to write") : written.join(", "));
    emit stateRestored(m_changedAtRestore, m_restoreText);
    return true;
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
                               firmware, channel, timeConstSeconds)
        + DataContext::levels(knownLevels(channel));
}

QString CounterClient::noAnswerText(const QString &what) const
{
    if (m_restored)
        return QStringLiteral("%1 was taken while the counter held another state and is "
                              "dropped: %2")
            .arg(what, m_restoreText);
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
