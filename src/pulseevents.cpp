#include "pulseevents.h"

#include "log.h"
#include "pulseloop.h"

#include <QCoreApplication>
#include <QHash>
#include <QMap>
#include <QQueue>
#include <QTimer>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/volume.h>

#include <algorithm>

namespace {

ServerState::Mixer mixerOf(bool mute, const pa_cvolume &volume)
{
    return { mute,
             pa_cvolume_valid(&volume) ? double(pa_cvolume_max(&volume)) / PA_VOLUME_NORM : 1.0 };
}

ServerState::Sink sinkOf(const pa_sink_info &info)
{
    return { QString::fromUtf8(info.name), QString::fromUtf8(info.description),
             info.state == PA_SINK_SUSPENDED, mixerOf(info.mute != 0, info.volume) };
}

} // namespace

class PulseEvents::Connection
{
public:
    explicit Connection(PulseEvents *owner);
    ~Connection();

    void connectToServer();
    void moveStream(quint32 index, const QString &sink);

    // What was last announced.
    ServerState announced;

private:
    // libpulse's callbacks, each handing on to the member it names.
    static void onContextState(pa_context *, void *self)
    {
        static_cast<Connection *>(self)->contextStateChanged();
    }
    static void onEvent(pa_context *, pa_subscription_event_type_t type, uint32_t index, void *self)
    {
        static_cast<Connection *>(self)->eventArrived(type, index);
    }
    static void onServerInfo(pa_context *, const pa_server_info *info, void *self)
    {
        static_cast<Connection *>(self)->serverInfoArrived(info);
    }
    static void onSinkListed(pa_context *, const pa_sink_info *info, int eol, void *self)
    {
        static_cast<Connection *>(self)->sinkListed(info, eol);
    }
    static void onSinkFound(pa_context *, const pa_sink_info *info, int eol, void *self)
    {
        static_cast<Connection *>(self)->sinkFound(info, eol);
    }
    static void onStreamListed(pa_context *, const pa_sink_input_info *info, int eol, void *self)
    {
        static_cast<Connection *>(self)->streamListed(info, eol);
    }
    static void onStreamFound(pa_context *, const pa_sink_input_info *info, int eol, void *self)
    {
        static_cast<Connection *>(self)->streamFound(info, eol);
    }
    static void onMoved(pa_context *, int success, void *self)
    {
        static_cast<Connection *>(self)->moveAnswered(success != 0);
    }

    void contextStateChanged();
    void eventArrived(pa_subscription_event_type_t type, uint32_t index);
    void serverInfoArrived(const pa_server_info *info);
    void sinkListed(const pa_sink_info *info, int eol);
    void sinkFound(const pa_sink_info *info, int eol);
    // Asks about one sink, unless an answer about it is awaited already:
    // the server answers in the order it is asked, so that answer tells of
    // every change it had made by then.
    void askAboutSink(quint32 index);
    void streamListed(const pa_sink_input_info *info, int eol);
    void streamFound(const pa_sink_input_info *info, int eol);
    void moveAnswered(bool success);
    void keepStream(const pa_sink_input_info *info);
    bool isOwn(const pa_sink_input_info *info) const;

    void disconnectFromServer();
    void serverLost();
    void askEverything();
    // Sends a request, counting its answer as awaited; a request that
    // cannot be sent is said and asked again, and false returned.
    bool send(pa_operation *operation, const char *what);
    void answerArrived();
    // An answer ended in an error: the last good state stays, and the
    // server is asked again in a moment.
    void answerFailed(const char *what);
    // Once every answer awaited is in, the state they make.
    void assembleState();
    // Tells the state, unless it is what was told last.
    void announce();

    PulseEvents *const owner;
    PulseLoop *const loop;
    pa_context *context = nullptr;
    QTimer *const reconnect;
    QTimer *const retry;
    QTimer *const connecting;
    // What the answers so far say.
    ServerState current;
    bool announcedOnce = false;
    // Answers still awaited: the state is told only when it is whole.
    int pending = 0;
    // The server's sinks by index, and those of a whole listing while it
    // comes; the sinks asked about one by one, in the order asked.
    QMap<quint32, ServerState::Sink> sinks;
    QMap<quint32, ServerState::Sink> listing;
    QQueue<quint32> sinksAsked;
    // This process's streams, by index.
    struct Found
    {
        // The index of the sink it plays on, and of the one it was first
        // found on.
        quint32 sink = 0;
        quint32 home = 0;
        ServerState::Mixer mixer;
    };
    QHash<quint32, Found> streams;
};

PulseEvents::PulseEvents(QObject *parent)
    : QObject(parent)
    , connection(std::make_unique<Connection>(this))
{
    qRegisterMetaType<ServerState>();
}

PulseEvents::~PulseEvents() = default;

void PulseEvents::start()
{
    connection->connectToServer();
}

ServerState PulseEvents::state() const
{
    return connection->announced;
}

void PulseEvents::moveStream(quint32 index, const QString &sink)
{
    connection->moveStream(index, sink);
}

PulseEvents::Connection::Connection(PulseEvents *owner)
    : owner(owner)
    , loop(new PulseLoop(owner))
    , reconnect(new QTimer(owner))
    , retry(new QTimer(owner))
    , connecting(new QTimer(owner))
{
    reconnect->setSingleShot(true);
    reconnect->setInterval(ReconnectMs);
    QObject::connect(reconnect, &QTimer::timeout, owner, [this] { connectToServer(); });
    retry->setSingleShot(true);
    retry->setInterval(ReconnectMs);
    QObject::connect(retry, &QTimer::timeout, owner, [this] { askEverything(); });
    // libpulse waits for good on a server that took the connection and never
    // answers; a connection that is not ready by then is tried afresh.
    connecting->setSingleShot(true);
    connecting->setInterval(ConnectTimeoutMs);
    QObject::connect(connecting, &QTimer::timeout, owner, [this] { serverLost(); });
}

PulseEvents::Connection::~Connection()
{
    disconnectFromServer();
}

void PulseEvents::Connection::connectToServer()
{
    context = pa_context_new(loop->api(), "steadytone");
    if (!context) {
        reconnect->start();
        return;
    }
    pa_context_set_state_callback(context, onContextState, this);
    pa_context_set_subscribe_callback(context, onEvent, this);
    // Never starts a server: one that is not there is waited for.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        serverLost();
    else
        connecting->start();
}

void PulseEvents::Connection::disconnectFromServer()
{
    if (!context)
        return;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    // Cancels whatever is still awaited, so no answer reaches this again.
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
}

void PulseEvents::Connection::contextStateChanged()
{
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        connecting->stop();
        const auto mask =
                pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK
                                       | PA_SUBSCRIPTION_MASK_SINK_INPUT);
        // Its answer says nothing of the state, so it is not awaited.
        if (pa_operation *operation = pa_context_subscribe(context, mask, nullptr, nullptr))
            pa_operation_unref(operation);
        askEverything();
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        serverLost();
        break;
    default:
        break;
    }
}

void PulseEvents::Connection::eventArrived(pa_subscription_event_type_t type, uint32_t index)
{
    const int kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
    case PA_SUBSCRIPTION_EVENT_SERVER:
        send(pa_context_get_server_info(context, onServerInfo, this), "its default output");
        break;
    case PA_SUBSCRIPTION_EVENT_SINK:
        // A sink that came or changed (its mute or volume, suspended or
        // resumed) is asked about alone: a burst of events costs the server
        // an answer about each sink, not a whole listing for each event.
        if (kind != PA_SUBSCRIPTION_EVENT_REMOVE)
            askAboutSink(index);
        else if (sinks.remove(index))
            assembleState();
        break;
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
        // Of the changes, only those of this process's own streams matter: a
        // move, a mute, a new volume.
        if (kind == PA_SUBSCRIPTION_EVENT_NEW
            || (kind == PA_SUBSCRIPTION_EVENT_CHANGE && streams.contains(index)))
            send(pa_context_get_sink_input_info(context, index, onStreamFound, this), "a stream");
        else if (kind == PA_SUBSCRIPTION_EVENT_REMOVE && streams.remove(index))
            assembleState();
        break;
    default:
        break;
    }
}

void PulseEvents::Connection::serverInfoArrived(const pa_server_info *info)
{
    if (!info) {
        answerFailed("its default output");
        return;
    }
    current.defaultSink = QString::fromUtf8(info->default_sink_name ? info->default_sink_name : "");
    answerArrived();
}

void PulseEvents::Connection::sinkListed(const pa_sink_info *info, int eol)
{
    if (eol == 0 && info) {
        listing.insert(info->index, sinkOf(*info));
        return;
    }
    if (eol > 0)
        sinks = listing;
    listing.clear();
    if (eol < 0)
        answerFailed("its outputs");
    else
        answerArrived();
}

void PulseEvents::Connection::askAboutSink(quint32 index)
{
    if (!sinksAsked.contains(index)
        && send(pa_context_get_sink_info_by_index(context, index, onSinkFound, this), "an output"))
        sinksAsked.enqueue(index);
}

void PulseEvents::Connection::sinkFound(const pa_sink_info *info, int eol)
{
    if (eol == 0 && info) {
        sinks.insert(info->index, sinkOf(*info));
        return;
    }
    // Answers come in the order asked. A sink that has gone by the time it
    // is asked about is no error: its removal comes as an event.
    if (!sinksAsked.isEmpty())
        sinksAsked.dequeue();
    if (eol < 0 && pa_context_errno(context) != PA_ERR_NOENTITY) {
        answerFailed("an output");
        return;
    }
    answerArrived();
}

void PulseEvents::Connection::streamListed(const pa_sink_input_info *info, int eol)
{
    if (eol == 0 && info && isOwn(info))
        keepStream(info);
    else if (eol < 0)
        answerFailed("its streams");
    else if (eol > 0)
        answerArrived();
}

void PulseEvents::Connection::streamFound(const pa_sink_input_info *info, int eol)
{
    if (eol == 0 && info && isOwn(info))
        keepStream(info);
    // A stream that has already gone by the time it is asked for is no error.
    else if (eol < 0 && pa_context_errno(context) != PA_ERR_NOENTITY)
        answerFailed("a stream");
    else if (eol != 0)
        answerArrived();
}

void PulseEvents::Connection::keepStream(const pa_sink_input_info *info)
{
    // Its home is the first sink it was found on: PipeWire reports a new
    // stream on none for a moment.
    Found found = streams.value(info->index, Found { PA_INVALID_INDEX, PA_INVALID_INDEX, {} });
    found.sink = info->sink;
    if (found.home == PA_INVALID_INDEX)
        found.home = info->sink;
    // A stream that has no volume of its own, such as a passthrough one,
    // plays at the sink's.
    found.mixer = info->has_volume ? mixerOf(info->mute != 0, info->volume)
                                   : ServerState::Mixer { info->mute != 0, 1.0 };
    streams.insert(info->index, found);
}

void PulseEvents::Connection::moveStream(quint32 index, const QString &sink)
{
    if (!context || pa_context_get_state(context) != PA_CONTEXT_READY)
        return;
    // Its answer says nothing of the state: the move itself is an event.
    pa_operation *operation = pa_context_move_sink_input_by_name(
            context, index, sink.toUtf8().constData(), onMoved, this);
    if (operation)
        pa_operation_unref(operation);
    else
        moveAnswered(false);
}

void PulseEvents::Connection::moveAnswered(bool success)
{
    if (!success)
        qCWarning(lcTone, "The audio server did not move a stream back: %s",
                  pa_strerror(pa_context_errno(context)));
}

void PulseEvents::Connection::askEverything()
{
    if (!context || pa_context_get_state(context) != PA_CONTEXT_READY)
        return;
    send(pa_context_get_server_info(context, onServerInfo, this), "its default output");
    send(pa_context_get_sink_info_list(context, onSinkListed, this), "its outputs");
    send(pa_context_get_sink_input_info_list(context, onStreamListed, this), "its streams");
}

bool PulseEvents::Connection::send(pa_operation *operation, const char *what)
{
    if (!operation) {
        qCWarning(lcTone, "Could not ask the audio server for %s: %s; asking again", what,
                  pa_strerror(pa_context_errno(context)));
        retry->start();
        return false;
    }
    ++pending;
    pa_operation_unref(operation);
    return true;
}

void PulseEvents::Connection::answerArrived()
{
    --pending;
    assembleState();
}

void PulseEvents::Connection::answerFailed(const char *what)
{
    qCWarning(lcTone, "The audio server did not tell %s: %s; asking again", what,
              pa_strerror(pa_context_errno(context)));
    retry->start();
    answerArrived();
}

bool PulseEvents::Connection::isOwn(const pa_sink_input_info *info) const
{
    const char *pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
    return pid && QByteArray(pid) == QByteArray::number(QCoreApplication::applicationPid());
}

void PulseEvents::Connection::serverLost()
{
    disconnectFromServer();
    retry->stop();
    connecting->stop();
    pending = 0;
    sinks.clear();
    listing.clear();
    sinksAsked.clear();
    streams.clear();
    current = ServerState();
    current.reach = ServerState::Unreachable;
    announce();
    reconnect->start();
}

void PulseEvents::Connection::assembleState()
{
    if (pending > 0)
        return;
    current.reach = ServerState::Reachable;
    current.sinks = sinks.values();
    current.streams.clear();
    for (auto stream = streams.cbegin(); stream != streams.cend(); ++stream)
        current.streams.append({ stream.key(), sinks.value(stream->sink).name,
                                 sinks.value(stream->home).name, stream->mixer });
    std::sort(current.streams.begin(), current.streams.end(),
              [](const ServerState::Stream &one, const ServerState::Stream &other) {
                  return one.index < other.index;
              });
    announce();
}

void PulseEvents::Connection::announce()
{
    // The first state is told even when no server answers: that is news too.
    if (announcedOnce && current == announced)
        return;
    announcedOnce = true;
    announced = current;
    emit owner->changed(announced);
}
