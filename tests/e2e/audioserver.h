#ifndef AUDIOSERVER_H
#define AUDIOSERVER_H

#include <QHash>
#include <QObject>
#include <QProcessEnvironment>
#include <QTemporaryDir>

class ChildProcess;

// A private audio server for one test: PulseAudio, or PipeWire with its pulse
// server, in a runtime directory of its own, with null sinks whose monitors
// can be recorded. It never talks to a server it did not start.
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
    };

    explicit AudioServer(Kind kind, QObject *parent = nullptr);
    ~AudioServer() override;

    // Starts the server with these sinks, the first one the default. Without
    // a pulse protocol (PipeWire only), nothing listens where clients look.
    bool start(const QList<Sink> &sinks, bool pulseProtocol = true);
    void stop();
    // Stops the server and starts it again with the sinks it has now.
    bool restart();

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
    bool waitForPulse();

    Kind kind;
    QTemporaryDir runtimeDir;
    QList<Sink> sinks;
    QHash<QString, QString> sinkModules;
    ChildProcess *server = nullptr;
    QString error;
};

#endif // AUDIOSERVER_H
