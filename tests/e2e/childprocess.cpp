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

void ChildProcess::setOwnSession(bool own)
{
    ownSession = own;
}

void ChildProcess::terminateAndWait(int timeoutMs)
{
    if (state() == QProcess::NotRunning)
        return;
    const pid_t pid = pid_t(processId());
    const pid_t target = ownSession ? -pid : pid;
    ::kill(target, SIGTERM);
    if (!waitForFinished(timeoutMs)) {
        ::kill(target, SIGKILL);
        waitForFinished(timeoutMs);
    }
    if (ownSession) // whatever the leader left behind in its group
        ::kill(target, SIGKILL);
}

void ChildProcess::setupChildProcess()
{
    // A test that crashes or is killed takes its servers and players with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (ownSession)
        ::setsid();
}
