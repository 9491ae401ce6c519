#ifndef PULSEEVENTS_H
#define PULSEEVENTS_H

#include "serverstate.h"

#include <QHash>
#include <QObject>

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>

struct pa_glib_mainloop;
class QTimer;

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

    explicit PulseEvents(QObject *parent = nullptr);
    ~PulseEvents() override;

    // Connects to the server, or starts looking for one; what it finds is
    // told through changed(), the first state even when no server answers.
    void start();

    ServerState state() const { return published; }

public slots:
    // Moves a stream of this process to the sink, by name.
    void moveStream(quint32 index, const QString &sink);

signals:
    void changed(const ServerState &state);

private:
    // libpulse's callbacks, each handing on to the member it names.
    static void onContextState(pa_context *context, void *self);
    static void onEvent(pa_context *context, pa_subscription_event_type_t type, uint32_t index,
                        void *self);
    static void onServerInfo(pa_context *context, const pa_server_info *info, void *self);
    static void onSink(pa_context *context, const pa_sink_info *info, int eol, void *self);
    static void onStreamListed(pa_context *context, const pa_sink_input_info *info, int eol,
                               void *self);
    static void onStreamFound(pa_context *context, const pa_sink_input_info *info, int eol,
                              void *self);
    static void onMoved(pa_context *context, int success, void *self);

    void contextStateChanged();
    void event(pa_subscription_event_type_t type, uint32_t index);
    void serverInfo(const pa_server_info *info);
    void sinkListed(const pa_sink_info *info, int eol);
    void streamListed(const pa_sink_input_info *info, int eol);
    void streamFound(const pa_sink_input_info *info, int eol);
    void moved(bool success);
    void keep(const pa_sink_input_info *info);

    void connectToServer();
    void disconnectFromServer();
    void lost();
    void askAll();
    // Sends a request, counting its answer as awaited; a request that
    // cannot be sent is said and asked again.
    void request(pa_operation *operation, const char *what);
    void answered();
    // An answer ended in an error: the last good state stays, and the
    // server is asked again in a moment.
    void unanswered(const char *what);
    bool isOwn(const pa_sink_input_info *info) const;
    void publish();
    void tell();

    pa_glib_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    QTimer *reconnect = nullptr;
    QTimer *retry = nullptr;
    // What the answers so far say, and what was last told.
    ServerState current;
    ServerState published;
    bool told = false;
    // Answers still awaited: the state is told only when it is whole.
    int pending = 0;
    QList<ServerState::Sink> listing;
    // Sinks by index, and this process's streams with the index of their
    // sink, and of the sink each was first found on.
    QHash<quint32, QString> sinkNames;
    QHash<quint32, QString> sinkNamesListed;
    QHash<quint32, quint32> streams;
    QHash<quint32, quint32> homes;
};

#endif // PULSEEVENTS_H
