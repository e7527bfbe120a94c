#include "simprocess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <csignal>

#ifndef KUVEL_SIM_PATH
#error "KUVEL_SIM_PATH must name the kuvel-counter-sim executable"
#endif

namespace {
constexpr int StartTimeoutMs = 5000;
constexpr int StopTimeoutMs = 5000;
} // namespace

SimProcess::SimProcess(Log log) : m_logged(log == Logged)
{
    // The simulator's complaints belong in the test's output.
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

SimProcess::~SimProcess()
{
    stop();
}

bool SimProcess::start(const QStringList &extraArgs, const QString &linkPath)
{
    stop();
    m_portPath.clear();
    if (!m_dir.isValid())
        return false;
    m_logPath = m_logged ? m_dir.filePath(QStringLiteral("sim-%1.log").arg(++m_starts)) : QString();

    QStringList args;
    if (m_logged)
        args << QStringLiteral("--log") << m_logPath;
    if (!linkPath.isEmpty())
        args << QStringLiteral("--link") << linkPath;
    args << extraArgs;
    m_process.start(QStringLiteral(KUVEL_SIM_PATH), args);
    if (!m_process.waitForStarted(StartTimeoutMs))
        return false;

    // The first line is the terminal's path; the port may be opened only after it came.
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(StartTimeoutMs)) {
            stop();
            return false;
        }
    }
    m_portPath = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    return !m_portPath.isEmpty();
}

void SimProcess::stop()
{
    m_process.end(StopTimeoutMs);
}

QStringList SimProcess::logLines() const
{
    QFile file(m_logPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool SimProcess::toggleSilence()
{
    const auto controlLines
        = [this]() { return logLines().filter(QStringLiteral(" ctl silent=")).size(); };
    const int before = controlLines();
    const qint64 pid = m_process.processId();
    if (pid <= 0 || ::kill(pid_t(pid), SIGUSR1) != 0)
        return false;
    // The signal is handled in the simulator's event loop; return once it has logged the
    // switch, so the test's next request meets the new state.
    QElapsedTimer clock;
    clock.start();
    while (controlLines() == before) {
        if (clock.elapsed() > StartTimeoutMs)
            return false;
        QThread::msleep(2);
    }
    return true;
}
