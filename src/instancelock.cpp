#include "instancelock.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>

#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool sameFile(int fd, const QByteArray &path)
{
    struct stat open
    { };
    struct stat named
    { };
    return fstat(fd, &open) == 0 && stat(path.constData(), &named) == 0
            && open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

} // namespace

InstanceLock::InstanceLock()
{
    // The user's own runtime directory, as systemd makes it; Qt's stand-in
    // for one, where there is none.
    QString directory = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (directory.isEmpty())
        directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    const QByteArray path = QFile::encodeName(directory + QStringLiteral("/steadytone.lock"));
    // After a restart in place, the descriptor the old image held is this
    // process's own, and holds the lock still.
    bool handedOn = false;
    const int inherited = qEnvironmentVariableIntValue(DescriptorVariable, &handedOn);
    if (handedOn && inherited > STDERR_FILENO && sameFile(inherited, path)) {
        fd = inherited;
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    } else {
        fd = open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    }
    if (fd < 0) {
        failure = QStringLiteral("%1: %2").arg(QFile::decodeName(path),
                                               QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        held = true;
        const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid()) + '\n';
        if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.constData(), size_t(pid.size()), 0) < 0)
            failure = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    if (errno != EWOULDBLOCK) {
        failure = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    // The holder writes its process ID just after it takes the lock.
    char written[24] = {};
    const ssize_t got = pread(fd, written, sizeof written - 1, 0);
    holderPid = got > 0 ? QByteArray(written, int(got)).trimmed().toLongLong() : 0;
    if (holderPid <= 0)
        holderPid = -1;
}

InstanceLock::~InstanceLock()
{
    if (fd >= 0)
        close(fd);
}
