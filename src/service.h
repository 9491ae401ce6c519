#ifndef SERVICE_H
#define SERVICE_H

#include "freshstart.h"

#include <QByteArrayList>
#include <QElapsedTimer>
#include <QObject>

#include <array>
#include <atomic>
#include <vector>

// The process as a service: it tells systemd that it is ready and that its
// event loop is alive, and it starts the program afresh, in this same process,
// when playback needs what only a fresh process has.
class Service : public QObject
{
    Q_OBJECT

public:
    // What crosses a restart, in the environment: how many restarts in a row
    // found nothing to play, and why the last one happened.
    static constexpr const char *RestartsVariable = "STEADYTONE_RESTARTS";
    static constexpr const char *ReasonVariable = "STEADYTONE_RESTARTED_BECAUSE";
    // The first restart after one that found nothing to play waits this long
    // after the start; each further one twice as long as the one before, up
    // to 2^MaxBackoffDoublings times as long, about an hour.
    static constexpr qint64 RestartBackoffMs = 60000;
    static constexpr int MaxBackoffDoublings = 6;

    struct RestartPlan
    {
        // Whether to restart now, or else how much longer to wait.
        bool now = true;
        qint64 waitMs = 0;
        // The count the new image starts with.
        int restarts = 0;
    };
    // A process counts as having played once its outputs, together, across
    // moves and rebuilds, played this much beyond the buffers they filled as
    // they started.
    static constexpr qint64 PlayedEnoughUs = 1000000;

    // A process that played hands on a fresh count. One that did not waits
    // out the backoff its count calls for, and hands on one more, unless the
    // server came back while it ran, or it hangs: a fault that has ended is
    // answered at once, once for each return, and the count stays; a hang
    // only a fresh process ends is ended at once, which counts.
    static RestartPlan planRestart(FreshStart::Reason reason, qint64 playedUs, int restarts,
                                   qint64 uptimeMs, bool serverReturned);
    // The environment the new image gets: this one without what the old
    // image handed on, which the restart writes afresh.
    static QByteArrayList handedOn(const QByteArrayList &environment);

    // Takes the command line before QCoreApplication sees it, to start the
    // program again exactly as it was started, and prepares the environment.
    Service(int argc, char **argv);

    // Why this process was started afresh, or empty when it was not.
    QString restartedBecause() const { return reasonGiven; }

    // The descriptor stays open in the new image, which learns its number
    // from the environment.
    void keepOpen(int fd);

    // Ready, after the first check, and what it is doing; statuses told
    // before are not sent.
    void notifyReady(const QString &status);

    // Starts the program afresh in place, unless the backoff says to wait,
    // in which case it returns the plan that says how long. On its way to
    // the new image it takes no lock and allocates nothing, so that any
    // thread may call it while the main thread is stuck anywhere; the new
    // image says why it started. Only when the exec fails does it write a
    // line, and the process ends with a failure, for the service manager to
    // start anew.
    RestartPlan restartNow(FreshStart::Reason reason);

public slots:
    void notifyAlive();
    void notifyStatus(const QString &status);
    // The outputs of this process have played this much more of the tone.
    void notePlayed(qint64 playedUs);
    // The audio server answers again, or its sinks changed: whatever kept
    // this process from playing may have ended.
    void noteServerReturned();

private:
    // Looked up at start, so the name the process runs under stays the same.
    const QByteArray executable;
    QByteArrayList arguments;
    QByteArrayList environment;
    std::vector<char *> argumentPointers;
    std::vector<char *> environmentPointers;
    // The entries written at the restart itself, in place.
    std::array<char, 64> restartsEntry {};
    std::array<char, 512> reasonEntry {};
    std::array<char, 64> descriptorEntry {};
    int keptOpen = -1;
    std::array<char, 600> notification {};
    int restarts = 0;
    QString reasonGiven;
    const bool watchdog = false;
    QElapsedTimer uptime;
    // What this process has played, in all: whether it played is judged
    // here, and only here.
    std::atomic<qint64> playedUs { 0 };
    std::atomic<bool> serverReturned { false };
    bool ready = false;
};

#endif // SERVICE_H
