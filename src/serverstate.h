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

    struct Sink
    {
        QString name;
        QString description;
        bool operator==(const Sink &other) const
        {
            return name == other.name && description == other.description;
        }
    };

    Reach reach = Unknown;
    QString defaultSink;
    QList<Sink> sinks;
    // The sink each of this process's streams plays on, sorted.
    QStringList streams;

    bool answers() const { return reach == Reachable; }

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
