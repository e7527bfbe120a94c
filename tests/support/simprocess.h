#ifndef SIMPROCESS_H
#define SIMPROCESS_H

#include "childprocess.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Runs kuvel-counter-sim for a test, report or benchmark: starts it with a log in a temporary
// directory, waits for the terminal path it prints first, and stops it again (also on
// destruction).
// Log lines: "<seconds> rx|tx <code> <payload hex...> [tags]", "<seconds> bad ...",
// "<seconds> ctl ..."; see simulator/kuvelcountersim.h.
class SimProcess
{
public:
    // Unlogged: the simulator writes nothing per frame, for measurements of the line.
    enum Log { Logged, Unlogged };

    explicit SimProcess(Log log = Logged);
    ~SimProcess();

    // Starts the simulator (stopping a running one first). With a linkPath it also makes a
    // symlink to its terminal there. Returns false when it does not start or print a path.
    bool start(const QStringList &extraArgs = {}, const QString &linkPath = {});
    // SIGTERM, then waits; the simulator removes its symlink and exits with 0.
    void stop();

    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    int exitCode() const { return m_process.exitCode(); }
    qint64 processId() const { return m_process.processId(); }
    // The terminal the simulator created (not the symlink).
    QString portPath() const { return m_portPath; }
    // Each start gets a fresh log file, so the lines of an earlier run stay readable until
    // the next start.
    QString logPath() const { return m_logPath; }
    QStringList logLines() const;
    // Switches the simulator between answering and silence (SIGUSR1); returns once it has
    // taken effect.
    bool toggleSilence();

private:
    ChildProcess m_process;
    QTemporaryDir m_dir;
    QString m_portPath;
    QString m_logPath;
    int m_starts = 0;
    const bool m_logged;
};

#endif // SIMPROCESS_H
