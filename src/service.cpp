#include "service.h"

#include "instancelock.h"
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

// Writes the texts one after another into the buffer, as far as they fit,
// and ends it: no allocation, no lock.
template<size_t N>
void compose(std::array<char, N> &buffer, std::initializer_list<const char *> texts)
{
    size_t at = 0;
    for (const char *text : texts) {
        for (; *text && at + 1 < N; ++text)
            buffer[at++] = *text;
    }
    buffer[at] = '\0';
}

template<size_t N>
void composeNumber(std::array<char, N> &buffer, const char *name, int number)
{
    char digits[16];
    char *end = digits + sizeof digits;
    char *at = end;
    *--at = '\0';
    unsigned value = unsigned(qMax(0, number));
    do {
        *--at = char('0' + value % 10);
        value /= 10;
    } while (value > 0);
    compose(buffer, { name, "=", at });
}

std::vector<char *> pointersTo(QByteArrayList &strings)
{
    std::vector<char *> pointers;
    for (QByteArray &string : strings)
        pointers.push_back(string.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

Service::RestartPlan Service::planRestart(FreshStart::Reason reason, qint64 playedUs, int restarts,
                                          qint64 uptimeMs, bool serverReturned)
{
    if (playedUs >= PlayedEnoughUs)
        return {};
    if (serverReturned)
        return { true, 0, restarts };
    // Waiting would leave the process hung, unable to see the server return.
    if (reason == FreshStart::StartStuck || reason == FreshStart::LoopStuck)
        return { true, 0, restarts + 1 };
    const qint64 delayMs =
            restarts <= 0 ? 0 : RestartBackoffMs << qMin(restarts - 1, MaxBackoffDoublings);
    return { uptimeMs >= delayMs, qMax<qint64>(0, delayMs - uptimeMs), restarts + 1 };
}

QByteArrayList Service::handedOn(const QByteArrayList &environment)
{
    QByteArrayList kept;
    for (const QByteArray &entry : environment) {
        const QByteArray name = entry.left(entry.indexOf('='));
        if (name != RestartsVariable && name != ReasonVariable
            && name != InstanceLock::DescriptorVariable)
            kept.append(entry);
    }
    return kept;
}

Service::Service(int argc, char **argv)
    : executable(QFile::encodeName(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))))
    , restarts(qMax(0, qEnvironmentVariableIntValue(RestartsVariable)))
    , reasonGiven(qEnvironmentVariable(ReasonVariable))
    , watchdog(sd_watchdog_enabled(0, nullptr) > 0)
{
    for (int i = 0; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    argumentPointers = pointersTo(arguments);
    // Built now, once: a restart may come from any thread, with the main
    // thread stuck anywhere, and must not read or change the environment.
    QByteArrayList current;
    for (char **entry = environ; *entry; ++entry)
        current.append(QByteArray(*entry));
    environment = handedOn(current);
    environmentPointers = pointersTo(environment);
    environmentPointers.back() = restartsEntry.data();
    environmentPointers.push_back(reasonEntry.data());
    environmentPointers.push_back(nullptr);
    uptime.start();
}

void Service::keepOpen(int fd)
{
    keptOpen = fd;
    composeNumber(descriptorEntry, InstanceLock::DescriptorVariable, fd);
    environmentPointers.insert(environmentPointers.end() - 1, descriptorEntry.data());
}

void Service::notifyReady(const QString &status)
{
    ready = true;
    sd_notifyf(0, "READY=1\nSTATUS=%s", status.toUtf8().constData());
}

void Service::notifyStatus(const QString &status)
{
    // Until then, the status goes with READY=1.
    if (ready)
        sd_notifyf(0, "STATUS=%s", status.toUtf8().constData());
}

void Service::notifyAlive()
{
    // Without a watchdog there is nobody to tell, and nothing is sent.
    if (watchdog)
        sd_notify(0, "WATCHDOG=1");
}

void Service::notePlayed(qint64 us)
{
    playedUs += us;
}

void Service::noteServerReturned()
{
    serverReturned = true;
}

Service::RestartPlan Service::restartNow(FreshStart::Reason reason)
{
    const RestartPlan plan =
            planRestart(reason, playedUs, restarts, uptime.elapsed(), serverReturned);
    if (!plan.now)
        return plan;
    composeNumber(restartsEntry, RestartsVariable, plan.restarts);
    const char *why = FreshStart::text(reason);
    compose(reasonEntry, { ReasonVariable, "=", why });
    // Alive right now, so that the new image has a whole watchdog interval
    // to get going; the new image says why it started afresh.
    compose(notification, { "WATCHDOG=1\nSTATUS=Starting afresh: ", why });
    sd_notify(0, notification.data());
    closeOnExec();
    if (keptOpen >= 0)
        fcntl(keptOpen, F_SETFD, 0);
    execve(executable.constData(), argumentPointers.data(), environmentPointers.data());
    qCCritical(lcTone, "Could not start %s afresh: %s", executable.constData(),
               std::strerror(errno));
    // Not exit(): the event loop may be hung, and nothing may wait on it.
    std::_Exit(EXIT_FAILURE);
}
