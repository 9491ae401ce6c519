#ifndef PULSEEVENTS_H
#define PULSEEVENTS_H

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

struct pa_context;
struct pa_glib_mainloop;
class QTimer;

// What the audio server reports, as far as playback cares.
struct ServerState
{
    struct Sink
    {
        QString name;
        QString description;
        bool operator==(const Sink &other) const
        {
            return name == other.name && description == other.description;
        }
    };

    bool reachable = false;
    QString defaultSink;
    QList<Sink> sinks;
    // The sink each of this process's streams plays on, in no order.
    QStringList streams;

    // The sink of that name, or null when the server has none.
    const Sink *sink(const QString &name) const
    {
        for (const Sink &each : sinks) {
            if (each.name == name)
                return &each;
        }
        return nullptr;
    }

    bool operator==(const ServerState &other) const
    {
        return reachable == other.reachable && defaultSink == other.defaultSink
                && sinks == other.sinks && streams == other.streams;
    }
    bool operator!=(const ServerState &other) const { return !(*this == other); }
};
Q_DECLARE_METATYPE(ServerState)

// Follows the PulseAudio server (or PipeWire's pulse server) that this user's
// clients reach, through a libpulse connection of its own on the event loop:
// its default sink, its sinks, and this process's streams. It follows the
// server away and back, and says whenever any of that changes. While nothing
// changes it costs nothing: no timer, no wakeup.
class PulseEvents : public QObject
{
    Q_OBJECT

public:
    // While no server answers, it is looked for this often.
    static constexpr int ReconnectMs = 1000;

    explicit PulseEvents(QObject *parent = nullptr);
    ~PulseEvents() override;

    // Connects to the server, or starts looking for one; what it finds is
    // told through changed(), the first state even when no server answers.
    void start();

    ServerState state() const { return published; }

signals:
    void changed(const ServerState &state);

private:
    void connectToServer();
    void disconnectFromServer();
    void lost();
    void publish();
    void tell();
    void askServerInfo();
    void askSinks();

    // libpulse's callbacks, which reach into this.
    friend struct PulseCallbacks;

    pa_glib_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    QTimer *reconnect = nullptr;
    // What the answers so far say, and what was last told.
    ServerState current;
    ServerState published;
    bool told = false;
    // Answers still awaited before the first state after connecting is whole.
    int pending = 0;
    QList<ServerState::Sink> listing;
    // Sinks by index, and this process's streams with the index of their sink.
    QHash<quint32, QString> sinkNames;
    QHash<quint32, QString> sinkNamesListed;
    QHash<quint32, quint32> streams;
};

#endif // PULSEEVENTS_H
