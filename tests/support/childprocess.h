#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>

// A helper program run beside a test, report or benchmark: the system ends it with this
// program however this program ends (a crash, a time-out's kill), so no simulator or server
// outlives the run and holds its port.
class ChildProcess : public QProcess
{
public:
    using QProcess::QProcess;

    // SIGTERM, and SIGKILL when it has not ended `timeoutMs` later.
    void end(int timeoutMs = 3000);

protected:
    void setupChildProcess() override;
};

#endif // CHILDPROCESS_H
