#include "service.h"

#include <QFile>

#include <systemd/sd-daemon.h>

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

namespace {

// Whatever the old image holds open (server connections, Qt's event pipes)
// must not reach the new one; standard input, output and error do.
void closeOnExec()
{
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    // Kernels before 5.11 lack the flag: one descriptor at a time.
    rlimit limit {};
    const int last = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
            ? int(limit.rlim_cur)
            : 65536;
    for (int fd = 3; fd < last; ++fd)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
}

} // namespace

Service::Service(int argc, char **argv)
    : executable(QFile::encodeName(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))))
    , restarts(qMax(0, qEnvironmentVariableIntValue(RestartsVariable)))
    , watchdog(sd_watchdog_enabled(0, nullptr) > 0)
{
    for (int i = 0; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    uptime.start();
}

void Service::notifyReady()
{
    sd_notify(0, "READY=1");
}

void Service::notifyAlive()
{
    // Without a watchdog there is nobody to tell, and nothing is sent.
    if (watchdog)
        sd_notify(0, "WATCHDOG=1");
}

qint64 Service::restartDelayMs(int restarts)
{
    return restarts <= 0 ? 0 : RestartBackoffMs << qMin(restarts - 1, 6);
}

void Service::restart(bool hasPlayed)
{
    // A restart after playing is always worth it. Restarts that keep finding
    // nothing to play on back off, so nothing restarts in a loop.
    if (!hasPlayed && uptime.elapsed() < restartDelayMs(restarts))
        return;
    qputenv(RestartsVariable, QByteArray::number(hasPlayed ? 1 : restarts + 1));
    closeOnExec();
    std::vector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(executable.constData(), argv.data());
    // Still here: the exec failed, and this process plays on as it can until
    // the next check asks again.
}
