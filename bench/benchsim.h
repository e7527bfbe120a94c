#ifndef BENCHSIM_H
#define BENCHSIM_H

// The simulated counter as a child process of a benchmark: started with the given options,
// its pseudo-terminal's path taken from the first line it prints, ended with the benchmark.

#include <QProcess>
#include <QString>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>

namespace bench {

// Ends the child with the benchmark, however the benchmark ends.
class ChildOfBenchmark : public QProcess
{
protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGTERM); }
};

// SIGTERM, and SIGKILL when it has not ended 3 s later.
inline void endChild(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000))
        process.kill();
    process.waitForFinished(3000);
}

class SimulatorProcess
{
public:
    explicit SimulatorProcess(const QStringList &arguments = {})
    {
        m_process.setProgram(QStringLiteral(KUVEL_SIM_PATH));
        m_process.setArguments(arguments);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        if (!m_process.waitForStarted(5000)) {
            std::fprintf(stderr, "cannot start %s\n", KUVEL_SIM_PATH);
            return;
        }
        while (!m_process.canReadLine() && m_process.waitForReadyRead(5000)) { }
        m_portName = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }

    ~SimulatorProcess() { endChild(m_process); }

    // Empty when the simulator did not come up.
    QString portName() const { return m_portName; }
    qint64 processId() const { return m_process.processId(); }

private:
    ChildOfBenchmark m_process;
    QString m_portName;
};

} // namespace bench

#endif // BENCHSIM_H
