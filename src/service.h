#ifndef SERVICE_H
#define SERVICE_H

#include <QByteArrayList>
#include <QElapsedTimer>
#include <QObject>

#include <atomic>

// The process as a service: it tells systemd that it is ready and that its
// event loop is alive, and it starts the program afresh, in this same process,
// when playback needs what only a fresh process has.
class Service : public QObject
{
    Q_OBJECT

public:
    // Counts restarts in a row after which nothing played. It is the only
    // thing that crosses a restart, in the environment.
    static constexpr const char *RestartsVariable = "STEADYTONE_RESTARTS";
    // The first of those restarts waits this long; each further one twice as
    // long as the one before, up to about an hour.
    static constexpr qint64 RestartBackoffMs = 60000;

    // Takes the command line before QCoreApplication sees it, to start the
    // program again exactly as it was started.
    Service(int argc, char **argv);

    // Ready, after the first check, and what it is doing.
    void notifyReady(const QString &status);

    static qint64 restartDelayMs(int restarts);

public slots:
    void notifyAlive();
    void notifyStatus(const QString &status);
    // The tone has played in this process.
    void notePlayed();
    // Starts the program afresh in place, unless restarts keep finding
    // nothing to play and this one comes too soon. Safe from any thread: the
    // event loop may be the very thing that hangs. When the exec fails, the
    // process ends with a failure, for the service manager to start anew.
    void restart(const QString &reason);

private:
    // Looked up at start, so the name the process runs under stays the same.
    const QByteArray executable;
    QByteArrayList arguments;
    const int restarts = 0;
    const bool watchdog = false;
    QElapsedTimer uptime;
    std::atomic<bool> played { false };
    std::atomic<bool> deferralLogged { false };
};

#endif // SERVICE_H
