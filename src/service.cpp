#include "service.h"

#include "log.h"

#include <QFile>

#include <systemd/sd-daemon.h>

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char **environ;

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

void Service::notifyReady(const QString &status)
{
    sd_notifyf(0, "READY=1\nSTATUS=%s", status.toUtf8().constData());
}

void Service::notifyStatus(const QString &status)
{
    sd_notifyf(0, "STATUS=%s", status.toUtf8().constData());
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

void Service::notePlayed()
{
    played = true;
}

void Service::restart(const QString &reason)
{
    // A restart after playing is always worth it. Restarts that keep finding
    // nothing to play on back off, so nothing restarts in a loop.
    const bool hasPlayed = played;
    const qint64 delayMs = restartDelayMs(restarts);
    if (!hasPlayed && uptime.elapsed() < delayMs) {
        if (!deferralLogged.exchange(true))
            qCInfo(lcTone).noquote() << reason
                            + QStringLiteral("; the last start found nothing to play, so the "
                                             "next waits until %1 s after it")
                                      .arg(delayMs / 1000);
        return;
    }
    qCWarning(lcTone).noquote() << reason + QStringLiteral(": starting afresh in place");
    notifyStatus(QStringLiteral("Starting afresh: ") + reason);

    // The environment is built here rather than changed: another thread may
    // be reading it.
    const QByteArray prefix = QByteArray(RestartsVariable) + '=';
    QByteArrayList environment { prefix + QByteArray::number(hasPlayed ? 1 : restarts + 1) };
    for (char **entry = environ; *entry; ++entry) {
        if (!QByteArray(*entry).startsWith(prefix))
            environment.append(*entry);
    }
    auto pointers = [](QByteArrayList &strings) {
        std::vector<char *> result;
        for (QByteArray &string : strings)
            result.push_back(string.data());
        result.push_back(nullptr);
        return result;
    };

    closeOnExec();
    execve(executable.constData(), pointers(arguments).data(), pointers(environment).data());
    qCCritical(lcTone, "Could not start %s afresh: %s", executable.constData(),
               std::strerror(errno));
    // Not exit(): the event loop may be hung, and nothing may wait on it.
    std::_Exit(EXIT_FAILURE);
}
