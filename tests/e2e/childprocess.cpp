#include "childprocess.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

ChildProcess::ChildProcess(QObject *parent)
    : QProcess(parent)
{ }

ChildProcess::~ChildProcess()
{
    terminateAndWait();
}

void ChildProcess::terminateAndWait(int timeoutMs)
{
    if (state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(processId()), SIGTERM);
    if (!waitForFinished(timeoutMs)) {
        kill();
        waitForFinished(timeoutMs);
    }
}

void ChildProcess::setupChildProcess()
{
    // A test that crashes or is killed takes its servers and players with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}
