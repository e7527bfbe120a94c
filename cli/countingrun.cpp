#include "countingrun.h"

#include "cliexitcode.h"
#include "clioutput.h"
#include "counterclient.h"

#include <QDateTime>

#include <QtMath>

#include <csignal>

CountingRun::CountingRun(CounterClient *client, QObject *parent) : QObject(parent), m_client(client)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (!m_finished)
            tick();
    });
    // Another device behind the reopened port ends the run; it gets not even the stop.
    connect(
        m_client->driver(), &CommonDriver::deviceChanged, this, [this] { finish(ExitDevice); },
        Qt::QueuedConnection);
    // The counter came back with another state, which the client restored: the readings
    // taken before are dropped, and the data says where the gap is.
    connect(m_client, &CounterClient::stateRestored, this,
            [this](bool changed, const QString &text) {
                if (!changed || m_finished)
                    return;
                CliOutput::error(text);
                if (m_dataStarted)
                    writeContextLines(DataContext::gap(QDateTime::currentDateTimeUtc(), text));
            });
}

CountingRun::~CountingRun() = default;

void CountingRun::start()
{
    QMetaObject::invokeMethod(this, &CountingRun::runBegin, Qt::QueuedConnection);
}

void CountingRun::runBegin()
{
    if (!m_finished && !endIfInterrupted())
        begin();
}

void CountingRun::interrupt(int signalNumber)
{
    if (m_finished)
        return;
    if (m_signal == 0)
        m_signal = signalNumber;
    // Inside a request's wait the step that sent it is still on the stack; it looks at the
    // signal when the request is done.
    if (!m_client->isBusy())
        endIfInterrupted();
}

qint64 CountingRun::delayMs(double seconds, int count)
{
    return qRound64(seconds * 1000.0 * count);
}

bool CountingRun::readTimeConst(float *seconds)
{
    float value = 0;
    if (!m_client->readTimeConst(&value)) {
        failNoAnswer("the time constant read");
        return false;
    }
    if (endIfInterrupted())
        return false;
    // The runs are timed by it: a value outside the device's range would give no delay or
    // one of hours.
    if (!(value >= 0.01f && value <= 10.0f)) {
        CliOutput::error(
            QStringLiteral("the counter reports a time constant of %1 s, outside 0.01 to 10 s")
                .arg(double(value), 0, 'g', 6));
        finish(ExitDevice);
        return false;
    }
    *seconds = value;
    return true;
}

void CountingRun::setContext(const QString &deviceType)
{
    m_withContext = true;
    m_deviceType = deviceType;
}

bool CountingRun::writeContext(int channel, float timeConst, const DataContext::Entries &more)
{
    if (!m_withContext)
        return true;
    cUDID identifier;
    QString firmware;
    if (!m_client->readIdentifier(&identifier)) {
        failNoAnswer("the identifier read");
        return false;
    }
    if (endIfInterrupted())
        return false;
    if (!m_client->readText(m_client->driver()->firmwareVersion(), &firmware)) {
        failNoAnswer("the firmware version read");
        return false;
    }
    if (endIfInterrupted())
        return false;
    const QByteArray id(reinterpret_cast<const char *>(identifier.bytes), sizeof(identifier.bytes));
    const DataContext::Entries entries
        = DataContext::common(DataContext::program(QStringLiteral("kuvel-counter-cli")),
                              QDateTime::currentDateTimeUtc(), m_client->portName(), m_deviceType,
                              DataContext::identifierText(id), firmware, channel, double(timeConst))
        + DataContext::levels(m_client->knownLevels(channel));
    return writeContextLines(entries + more);
}

bool CountingRun::writeContextLines(const DataContext::Entries &entries)
{
    if (!m_withContext)
        return true;
    const QByteArray lines = DataContext::lines(entries);
    // writeData adds the line end of the last line.
    return writeData(QString::fromUtf8(lines.left(lines.size() - 1)));
}

bool CountingRun::startCounter()
{
    // Even an unconfirmed start may have reached the device, so from here on every way out
    // stops the counter.
    m_counterStartSent = true;
    if (!m_client->startCounter()) {
        failNoAnswer("the start of counting");
        return false;
    }
    return !endIfInterrupted();
}

bool CountingRun::writeData(const QString &line)
{
    m_dataStarted = true;
    if (CliOutput::data(line))
        return true;
    finish(CliOutput::dataFailure(QStringLiteral("stopping")));
    return false;
}

void CountingRun::failNoAnswer(const QString &what)
{
    CliOutput::error(m_client->noAnswerText(what));
    finish(cliExitCode(m_client->failure()));
}

bool CountingRun::endIfInterrupted()
{
    if (m_finished)
        return true;
    if (m_signal == 0)
        return false;
    CliOutput::error(m_signal == SIGINT ? QStringLiteral("interrupted, stopping")
                                        : QStringLiteral("terminated, stopping"));
    finish(128 + m_signal);
    return true;
}

void CountingRun::finish(int exitCode)
{
    if (m_finished)
        return;
    m_finished = true;
    m_timer.stop();
    if (m_counterStartSent && !m_client->isRefused() && !m_client->stopCounter()) {
        CliOutput::error(m_client->noAnswerText("the stop of counting")
                         + QStringLiteral(": the counter may still be counting"));
        exitCode = ExitNoAnswer;
    }
    emit finished(exitCode);
}

void CountingRun::arm(qint64 milliseconds)
{
    if (!m_finished)
        m_timer.start(int(qBound<qint64>(0, milliseconds, 24 * 3600 * 1000)));
}
