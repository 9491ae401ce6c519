#ifndef SERVERSTATE_H
#define SERVERSTATE_H

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

// What the audio server reports, as far as playback cares.
struct ServerState
{
    // Unknown until it has been asked.
    enum Reach { Unknown, Unreachable, Reachable };

    // Where a mixer's slider and mute button stand: the volume as a share of
    // the slider's 100 %, on the server's cubic scale, the loudest channel's.
    struct Mixer
    {
        bool muted = false;
        double volume = 1.0;
        bool operator==(const Mixer &other) const
        {
            return muted == other.muted && volume == other.volume;
        }
    };

    struct Sink
    {
        QString name;
        QString description;
        // Suspended, by hand or by a policy: nothing it plays is heard.
        bool suspended = false;
        Mixer mixer;
        bool operator==(const Sink &other) const
        {
            return name == other.name && description == other.description
                    && suspended == other.suspended && mixer == other.mixer;
        }
    };

    // One of this process's streams: where it plays, and where it played
    // first, which is where the program put it.
    struct Stream
    {
        quint32 index = 0;
        QString sink;
        QString home;
        Mixer mixer;
        bool operator==(const Stream &other) const
        {
            return index == other.index && sink == other.sink && home == other.home
                    && mixer == other.mixer;
        }
    };

    // The output a sound server offers when it has no other, which is no
    // device to play on.
    static constexpr const char *DummySink = "auto_null";
    static bool isDummy(const QString &sink) { return sink == QLatin1String(DummySink); }

    Reach reach = Unknown;
    QString defaultSink;
    QList<Sink> sinks;
    // This process's streams, by index.
    QList<Stream> streams;

    bool answers() const { return reach == Reachable; }

    // Whether it has an output device to play on.
    bool hasOutputs() const
    {
        for (const Sink &sink : sinks) {
            if (!isDummy(sink.name))
                return true;
        }
        return false;
    }

    QStringList sinkNames() const
    {
        QStringList names;
        for (const Sink &sink : sinks)
            names << sink.name;
        return names;
    }

    // The sinks this process's streams play on, sorted.
    QStringList streamSinks() const
    {
        QStringList on;
        for (const Stream &stream : streams)
            on << stream.sink;
        on.sort();
        return on;
    }

    // The stream of this process that a player put on the sink, wherever
    // the server has it now: the newest that played there first. Null when
    // there is none.
    const Stream *ownStream(const QString &home) const
    {
        const Stream *own = nullptr;
        for (const Stream &stream : streams) {
            if (stream.home == home && (!own || stream.index > own->index))
                own = &stream;
        }
        return own;
    }

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
        return reach == other.reach && defaultSink == other.defaultSink && sinks == other.sinks
                && streams == other.streams;
    }
    bool operator!=(const ServerState &other) const { return !(*this == other); }
};
Q_DECLARE_METATYPE(ServerState)

#endif // SERVERSTATE_H
