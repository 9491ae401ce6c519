#ifndef AUDIOSERVER_H
#define AUDIOSERVER_H

#include <QHash>
#include <QObject>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <functional>

class ChildProcess;

// A private audio server for one test: PulseAudio, or PipeWire with its
// session bus, session manager and pulse server, in a runtime directory of its
// own, with null sinks whose monitors can be recorded. It never talks to a
// server it did not start. Each of its processes is a child of the test.
class AudioServer : public QObject
{
    Q_OBJECT

public:
    enum Kind { PulseAudio, PipeWire };
    Q_ENUM(Kind)

    struct Sink
    {
        QString name;
        int rate = 44100;
        int channels = 1;
        // What the server calls it to people; empty for its own default.
        QString description = QString();
    };

    explicit AudioServer(Kind kind, QObject *parent = nullptr);
    // Stops the server; when the test has failed, prints its log first.
    ~AudioServer() override;

    // Starts the server with these sinks, the first one the default. Without
    // a pulse protocol (PipeWire only), nothing listens where clients look.
    bool start(const QList<Sink> &sinks, bool pulseProtocol = true);
    // PipeWire's session manager, left to itself, moves streams to a new
    // default sink, as PulseAudio does; the tests turn that off unless told,
    // so that a stream moves only when the program moves it.
    void setFollowsDefault(bool follows) { followsDefault = follows; }
    // As a desktop's server is: idle sinks suspended after a second
    // (PulseAudio; WirePlumber does so after five by itself), and each
    // stream's mute and volume remembered by its name (PulseAudio;
    // WirePlumber does so by itself).
    void setDesktop(bool desktop) { asDesktop = desktop; }
    void stop();
    // Sends the signal to the process that clients talk to: PulseAudio, or
    // PipeWire's pulse server. SIGSTOP freezes it as a hung server is.
    void signalPulseServer(int signal);
    // Stops the server and, after downMs with the event loop running, starts
    // it again with the sinks it has now.
    bool restart(int downMs = 0);

    // Takes a stream away, as a server does that kills it: Qt sees "Entity
    // killed".
    bool killStream(const QString &index);
    bool loadSink(const Sink &sink);
    bool unloadSink(const QString &name);
    bool setDefaultSink(const QString &name);
    bool pactl(const QStringList &arguments, QString *output = nullptr);

    // The environment of a client of this server, and of nothing else.
    QProcessEnvironment environment() const;
    // Where a client reaches it, as PULSE_SERVER names it.
    QString address() const;
    QString errorString() const;

private:
    bool launch(const QString &program, const QStringList &arguments);
    // Runs one of the server's tools against it, for at most 5 s.
    bool run(const QString &tool, const QStringList &arguments, QString *output = nullptr);
    // Polls what every 50 ms for up to 5 s; false if it never held.
    static bool waitUntil(const std::function<bool()> &what);
    bool waitForFile(const QString &name);
    bool waitForPulse();

    Kind kind;
    bool followsDefault = false;
    bool asDesktop = false;
    QTemporaryDir runtimeDir;
    QList<Sink> sinks;
    QHash<QString, QString> sinkModules;
    QList<ChildProcess *> processes;
    QString error;
};

#endif // AUDIOSERVER_H
