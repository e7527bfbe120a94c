#include "childprocess.h"

#include <csignal>
#include <sys/prctl.h>

void ChildProcess::end(int timeoutMs)
{
    if (state() == QProcess::NotRunning)
        return;
    terminate();
    if (!waitForFinished(timeoutMs))
        kill();
    waitForFinished(timeoutMs);
}

void ChildProcess::setupChildProcess()
{
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
}
