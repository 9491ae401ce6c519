#ifndef PULSEEVENTS_H
#define PULSEEVENTS_H

#include "serverstate.h"

#include <QObject>

#include <memory>

// Follows the PulseAudio server (or PipeWire's pulse server) that this user's
// clients reach, through a libpulse connection of its own on the event loop:
// its default sink, its sinks, and this process's streams. It follows the
// server away and back, and says whenever any of that changes. While nothing
// changes it costs nothing: no timer, no wakeup.
class PulseEvents : public QObject
{
    Q_OBJECT

public:
    // While no server answers, or after an answer that failed, it asks again
    // this much later.
    static constexpr int ReconnectMs = 1000;
    // A connection that is not ready this long after it was made is given
    // up and made afresh: connecting took a quarter of a second at most on
    // both servers, under load, also while the server was starting.
    static constexpr int ConnectTimeoutMs = 2000;

    explicit PulseEvents(QObject *parent = nullptr);
    ~PulseEvents() override;

    // Connects to the server, or starts looking for one; what it finds is
    // told through changed(), the first state even when no server answers.
    void start();

    ServerState state() const;

public slots:
    // Moves a stream of this process to the sink, by name.
    void moveStream(quint32 index, const QString &sink);

signals:
    void changed(const ServerState &state);

private:
    // The connection, and everything of libpulse's, live in the source file.
    class Connection;
    const std::unique_ptr<Connection> connection;
};

#endif // PULSEEVENTS_H
