#ifndef INSTANCELOCK_H
#define INSTANCELOCK_H

#include <QString>

// One program per user: a lock on a file in the user's runtime directory,
// taken before any stream is opened. The kernel frees it however the process
// ends, SIGKILL included; a restart in place hands its descriptor on to the
// new image, so that no second program can slip in between. Without a
// runtime directory, it is kept in a private directory of the program's own.
class InstanceLock
{
public:
    // The descriptor a restart in place hands on, by its number.
    static constexpr const char *DescriptorVariable = "STEADYTONE_LOCK_FD";
    // A program that finds the lock taken waits at most this long for its
    // holder to write its process ID, which it does as soon as it has it.
    static constexpr int HolderWaitMs = 2000;

    enum Outcome {
        // This process holds it.
        Held,
        // Another process of this user does.
        Taken,
        // It cannot be had: the program cannot make sure it plays alone.
        Unusable,
    };

    // Takes the lock, or learns which process holds it.
    InstanceLock();
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    Outcome outcome() const { return result; }
    // The process that holds it, when it is taken; 0 when that is not known.
    qint64 holder() const { return holderPid; }
    // The descriptor that holds it, while held.
    int descriptor() const { return result == Held ? fd : -1; }
    // Why it cannot be had, and what to do about it.
    QString error() const { return failure; }
    // Where it is kept, when not in the runtime directory; empty otherwise.
    QString note() const { return placeNote; }

private:
    void unusable(const QString &why);

    Outcome result = Unusable;
    int fd = -1;
    qint64 holderPid = 0;
    QString failure;
    QString placeNote;
};

#endif // INSTANCELOCK_H
