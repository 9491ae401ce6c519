#ifndef INSTANCELOCK_H
#define INSTANCELOCK_H

#include <QString>

// One program per user: a lock on a file in the user's runtime directory,
// taken before any stream is opened. The kernel frees it however the process
// ends, SIGKILL included; a restart in place hands its descriptor on to the
// new image, so that no second program can slip in between.
class InstanceLock
{
public:
    // The descriptor a restart in place hands on, by its number.
    static constexpr const char *DescriptorVariable = "STEADYTONE_LOCK_FD";

    // Takes the lock, or learns which process holds it.
    InstanceLock();
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // Another process of this user holds the lock.
    bool isTaken() const { return holderPid != 0; }
    // Its process ID; -1 when it has not written it yet.
    qint64 holder() const { return holderPid; }
    // The descriptor that holds the lock, or -1 when the lock could not be
    // had at all (error() says why) or another holds it.
    int descriptor() const { return held ? fd : -1; }
    QString error() const { return failure; }

private:
    int fd = -1;
    bool held = false;
    qint64 holderPid = 0;
    QString failure;
};

#endif // INSTANCELOCK_H
