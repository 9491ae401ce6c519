#include "instancelock.h"

#include "words.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

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

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

InstanceLock::InstanceLock()
{
    // The user's own runtime directory, as systemd makes it; where there is
    // none (cron, ssh without a user manager, a container), a directory of
    // the program's own, for this user alone.
    QString directory = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (directory.isEmpty()) {
        // Qt makes a TMPDIR that is not there, or relative, an empty path.
        const QString temporary = QDir::tempPath();
        directory = (QDir::isAbsolutePath(temporary) ? temporary : QStringLiteral("/tmp"))
                + QStringLiteral("/steadytone-%1").arg(getuid());
        const QByteArray own = QFile::encodeName(directory);
        struct stat made
        { };
        if (mkdir(own.constData(), 0700) != 0 && errno != EEXIST) {
            unusable(QStringLiteral("%1: %2").arg(Words::shown(directory), systemError(errno)));
            return;
        }
        if (lstat(own.constData(), &made) != 0 || S_ISLNK(made.st_mode) || !S_ISDIR(made.st_mode)
            || made.st_uid != getuid() || (made.st_mode & 077) != 0) {
            unusable(QStringLiteral("%1 is not a directory of this user's alone; remove it")
                             .arg(Words::shown(directory)));
            return;
        }
        placeNote = QStringLiteral("XDG_RUNTIME_DIR is not set: the lock that keeps to one "
                                   "steadytone for this user is in %1")
                            .arg(Words::shown(directory));
    }
    const QString shownPath = Words::shown(directory + QStringLiteral("/steadytone.lock"));
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
    const int openError = errno;
    struct stat file
    { };
    const bool found = lstat(path.constData(), &file) == 0;
    if (found && S_ISLNK(file.st_mode)) {
        unusable(QStringLiteral("%1 is a link; remove it").arg(shownPath));
        return;
    }
    if (found && S_ISDIR(file.st_mode)) {
        unusable(QStringLiteral("%1 is a directory; remove it").arg(shownPath));
        return;
    }
    if (found && file.st_uid != getuid()) {
        unusable(QStringLiteral("%1 belongs to another user, as after a start with sudo; "
                                "remove it: sudo rm %1")
                         .arg(shownPath));
        return;
    }
    if (fd < 0) {
        unusable(QStringLiteral("%1: %2").arg(shownPath, systemError(openError)));
        return;
    }

    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        result = Held;
        const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid()) + '\n';
        if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.constData(), size_t(pid.size()), 0) < 0)
            failure = systemError(errno);
        return;
    }
    if (errno != EWOULDBLOCK) {
        unusable(QStringLiteral("%1: %2").arg(shownPath, systemError(errno)));
        return;
    }
    // The holder writes its process ID just after it takes the lock: a
    // program that came a moment later may find it not written yet.
    result = Taken;
    const QDeadlineTimer deadline(HolderWaitMs);
    do {
        char written[24] = {};
        const ssize_t got = pread(fd, written, sizeof written - 1, 0);
        holderPid = got > 0 ? QByteArray(written, int(got)).trimmed().toLongLong() : 0;
        if (holderPid > 0)
            return;
        QThread::msleep(10);
    } while (!deadline.hasExpired());
    holderPid = 0;
}

InstanceLock::~InstanceLock()
{
    if (fd >= 0)
        close(fd);
}

void InstanceLock::unusable(const QString &why)
{
    result = Unusable;
    failure = why;
}
