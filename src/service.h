#ifndef SERVICE_H
#define SERVICE_H

#include <QByteArrayList>
#include <QElapsedTimer>
#include <QObject>

// The process as a service: it tells systemd that it is ready and that its
// event loop is alive, and it starts the program afresh, in this same process,
// when playback needs an audio backend that Qt cannot give it any more.
class Service : public QObject
{
    Q_OBJECT

public:
    // Counts restarts in a row that did not get the tone playing. It is the
    // only thing that crosses a restart, in the environment.
    static constexpr const char *RestartsVariable = "STEADYTONE_RESTARTS";
    // The first of those restarts waits this long; each further one twice as
    // long as the one before, up to about an hour.
    static constexpr qint64 RestartBackoffMs = 60000;

    // Takes the command line before QCoreApplication sees it, to start the
    // program again exactly as it was started.
    Service(int argc, char **argv);

    void notifyReady();

    static qint64 restartDelayMs(int restarts);

public slots:
    void notifyAlive();
    void restart(bool hasPlayed);

private:
    // Looked up at start, so the name the process runs under stays the same.
    QByteArray executable;
    QByteArrayList arguments;
    int restarts = 0;
    bool watchdog = false;
    QElapsedTimer uptime;
};

#endif // SERVICE_H
