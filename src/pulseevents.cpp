#include "pulseevents.h"

#include "log.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

#include <pulse/error.h>
#include <pulse/glib-mainloop.h>

#include <algorithm>

PulseEvents::PulseEvents(QObject *parent)
    : QObject(parent)
    // The server's events are dispatched by the GLib main loop that Qt's own
    // event loop runs on, on this thread.
    , loop(pa_glib_mainloop_new(nullptr))
    , reconnect(new QTimer(this))
    , retry(new QTimer(this))
{
    qRegisterMetaType<ServerState>();
    reconnect->setSingleShot(true);
    reconnect->setInterval(ReconnectMs);
    connect(reconnect, &QTimer::timeout, this, &PulseEvents::connectToServer);
    retry->setSingleShot(true);
    retry->setInterval(ReconnectMs);
    connect(retry, &QTimer::timeout, this, &PulseEvents::askAll);
}

PulseEvents::~PulseEvents()
{
    disconnectFromServer();
    pa_glib_mainloop_free(loop);
}

void PulseEvents::start()
{
    const QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread());
    if (!dispatcher || !dispatcher->inherits("QEventDispatcherGlib"))
        qCWarning(lcTone) << "Qt's event loop is not GLib's, so the audio server's events never "
                             "arrive: changes are seen only at the regular checks";
    connectToServer();
}

void PulseEvents::onContextState(pa_context *, void *self)
{
    static_cast<PulseEvents *>(self)->contextStateChanged();
}

void PulseEvents::onEvent(pa_context *, pa_subscription_event_type_t type, uint32_t index,
                          void *self)
{
    static_cast<PulseEvents *>(self)->event(type, index);
}

void PulseEvents::onServerInfo(pa_context *, const pa_server_info *info, void *self)
{
    static_cast<PulseEvents *>(self)->serverInfo(info);
}

void PulseEvents::onSink(pa_context *, const pa_sink_info *info, int eol, void *self)
{
    static_cast<PulseEvents *>(self)->sinkListed(info, eol);
}

void PulseEvents::onStreamListed(pa_context *, const pa_sink_input_info *info, int eol, void *self)
{
    static_cast<PulseEvents *>(self)->streamListed(info, eol);
}

void PulseEvents::onStreamFound(pa_context *, const pa_sink_input_info *info, int eol, void *self)
{
    static_cast<PulseEvents *>(self)->streamFound(info, eol);
}

void PulseEvents::onMoved(pa_context *, int success, void *self)
{
    static_cast<PulseEvents *>(self)->moved(success != 0);
}

void PulseEvents::connectToServer()
{
    context = pa_context_new(pa_glib_mainloop_get_api(loop), "steadytone");
    if (!context) {
        reconnect->start();
        return;
    }
    pa_context_set_state_callback(context, onContextState, this);
    pa_context_set_subscribe_callback(context, onEvent, this);
    // Never starts a server: one that is not there is waited for.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        lost();
}

void PulseEvents::disconnectFromServer()
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

void PulseEvents::contextStateChanged()
{
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        const auto mask =
                pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK
                                       | PA_SUBSCRIPTION_MASK_SINK_INPUT);
        // Its answer says nothing of the state, so it is not awaited.
        if (pa_operation *operation = pa_context_subscribe(context, mask, nullptr, nullptr))
            pa_operation_unref(operation);
        askAll();
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        lost();
        break;
    default:
        break;
    }
}

void PulseEvents::event(pa_subscription_event_type_t type, uint32_t index)
{
    const int kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
    case PA_SUBSCRIPTION_EVENT_SERVER:
        request(pa_context_get_server_info(context, onServerInfo, this), "its default output");
        break;
    case PA_SUBSCRIPTION_EVENT_SINK:
        // Also a sink's own changes: it may have been suspended, or resumed.
        request(pa_context_get_sink_info_list(context, onSink, this), "its outputs");
        break;
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
        // Of the changes, only a move of this process's own streams matters.
        if (kind == PA_SUBSCRIPTION_EVENT_NEW
            || (kind == PA_SUBSCRIPTION_EVENT_CHANGE && streams.contains(index)))
            request(pa_context_get_sink_input_info(context, index, onStreamFound, this),
                    "a stream");
        else if (kind == PA_SUBSCRIPTION_EVENT_REMOVE && streams.remove(index)) {
            homes.remove(index);
            publish();
        }
        break;
    default:
        break;
    }
}

void PulseEvents::serverInfo(const pa_server_info *info)
{
    if (!info) {
        unanswered("its default output");
        return;
    }
    current.defaultSink = QString::fromUtf8(info->default_sink_name ? info->default_sink_name : "");
    answered();
}

void PulseEvents::sinkListed(const pa_sink_info *info, int eol)
{
    if (eol == 0 && info) {
        listing.append({ QString::fromUtf8(info->name), QString::fromUtf8(info->description),
                         info->state == PA_SINK_SUSPENDED });
        sinkNamesListed.insert(info->index, QString::fromUtf8(info->name));
        return;
    }
    if (eol > 0) {
        current.sinks = listing;
        sinkNames = sinkNamesListed;
    }
    listing.clear();
    sinkNamesListed.clear();
    if (eol < 0)
        unanswered("its outputs");
    else
        answered();
}

void PulseEvents::streamListed(const pa_sink_input_info *info, int eol)
{
    if (eol == 0 && info && isOwn(info))
        keep(info);
    else if (eol < 0)
        unanswered("its streams");
    else if (eol > 0)
        answered();
}

void PulseEvents::streamFound(const pa_sink_input_info *info, int eol)
{
    if (eol == 0 && info && isOwn(info))
        keep(info);
    // A stream that has already gone by the time it is asked for is no error.
    else if (eol < 0 && pa_context_errno(context) != PA_ERR_NOENTITY)
        unanswered("a stream");
    else if (eol != 0)
        answered();
}

void PulseEvents::keep(const pa_sink_input_info *info)
{
    streams.insert(info->index, info->sink);
    if (!homes.contains(info->index))
        homes.insert(info->index, info->sink);
}

void PulseEvents::moveStream(quint32 index, const QString &sink)
{
    if (!context || pa_context_get_state(context) != PA_CONTEXT_READY)
        return;
    // Its answer says nothing of the state: the move itself is an event.
    pa_operation *operation = pa_context_move_sink_input_by_name(
            context, index, sink.toUtf8().constData(), onMoved, this);
    if (operation)
        pa_operation_unref(operation);
    else
        moved(false);
}

void PulseEvents::moved(bool success)
{
    if (!success)
        qCWarning(lcTone, "The audio server did not move a stream back: %s",
                  pa_strerror(pa_context_errno(context)));
}

void PulseEvents::askAll()
{
    if (!context || pa_context_get_state(context) != PA_CONTEXT_READY)
        return;
    request(pa_context_get_server_info(context, onServerInfo, this), "its default output");
    request(pa_context_get_sink_info_list(context, onSink, this), "its outputs");
    request(pa_context_get_sink_input_info_list(context, onStreamListed, this), "its streams");
}

void PulseEvents::request(pa_operation *operation, const char *what)
{
    if (!operation) {
        qCWarning(lcTone, "Could not ask the audio server for %s: %s; asking again", what,
                  pa_strerror(pa_context_errno(context)));
        retry->start();
        return;
    }
    ++pending;
    pa_operation_unref(operation);
}

void PulseEvents::answered()
{
    --pending;
    publish();
}

void PulseEvents::unanswered(const char *what)
{
    qCWarning(lcTone, "The audio server did not tell %s: %s; asking again", what,
              pa_strerror(pa_context_errno(context)));
    retry->start();
    answered();
}

bool PulseEvents::isOwn(const pa_sink_input_info *info) const
{
    const char *pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
    return pid && QByteArray(pid) == QByteArray::number(QCoreApplication::applicationPid());
}

void PulseEvents::lost()
{
    disconnectFromServer();
    retry->stop();
    pending = 0;
    listing.clear();
    sinkNamesListed.clear();
    sinkNames.clear();
    streams.clear();
    homes.clear();
    current = ServerState();
    current.reach = ServerState::Unreachable;
    tell();
    reconnect->start();
}

void PulseEvents::publish()
{
    if (pending > 0)
        return;
    current.reach = ServerState::Reachable;
    current.streams.clear();
    for (auto stream = streams.cbegin(); stream != streams.cend(); ++stream)
        current.streams.append({ stream.key(), sinkNames.value(stream.value()),
                                 sinkNames.value(homes.value(stream.key())) });
    std::sort(current.streams.begin(), current.streams.end(),
              [](const ServerState::Stream &one, const ServerState::Stream &other) {
                  return one.index < other.index;
              });
    tell();
}

void PulseEvents::tell()
{
    // The first state is told even when no server answers: that is news too.
    if (told && current == published)
        return;
    told = true;
    published = current;
    emit changed(published);
}
