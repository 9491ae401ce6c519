#include "pulseevents.h"

#include <QCoreApplication>
#include <QTimer>

#include <pulse/context.h>
#include <pulse/glib-mainloop.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>

struct PulseCallbacks
{
    static void state(pa_context *context, void *data)
    {
        auto *self = static_cast<PulseEvents *>(data);
        switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY: {
            // The state is whole once the three answers are in.
            self->pending = 3;
            const auto mask =
                    pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK
                                           | PA_SUBSCRIPTION_MASK_SINK_INPUT);
            unref(pa_context_subscribe(context, mask, nullptr, nullptr));
            self->askServerInfo();
            self->askSinks();
            unref(pa_context_get_sink_input_info_list(context, streamListed, self));
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            self->lost();
            break;
        default:
            break;
        }
    }

    static void event(pa_context *context, pa_subscription_event_type_t type, uint32_t index,
                      void *data)
    {
        auto *self = static_cast<PulseEvents *>(data);
        const int kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
        case PA_SUBSCRIPTION_EVENT_SERVER:
            self->askServerInfo();
            break;
        case PA_SUBSCRIPTION_EVENT_SINK:
            // A sink's own changes (running, idle, suspended) say nothing new.
            if (kind != PA_SUBSCRIPTION_EVENT_CHANGE)
                self->askSinks();
            break;
        case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
            // Of the changes, only a move of this process's own streams matters.
            if (kind == PA_SUBSCRIPTION_EVENT_NEW
                || (kind == PA_SUBSCRIPTION_EVENT_CHANGE && self->streams.contains(index)))
                unref(pa_context_get_sink_input_info(context, index, streamAppeared, self));
            else if (kind == PA_SUBSCRIPTION_EVENT_REMOVE && self->streams.remove(index))
                self->publish();
            break;
        default:
            break;
        }
    }

    static void serverInfo(pa_context *, const pa_server_info *info, void *data)
    {
        auto *self = static_cast<PulseEvents *>(data);
        self->current.defaultSink =
                QString::fromUtf8(info && info->default_sink_name ? info->default_sink_name : "");
        answered(self);
    }

    static void sinkListed(pa_context *, const pa_sink_info *info, int eol, void *data)
    {
        auto *self = static_cast<PulseEvents *>(data);
        if (eol == 0 && info) {
            self->listing.append(
                    { QString::fromUtf8(info->name), QString::fromUtf8(info->description) });
            self->sinkNamesListed.insert(info->index, QString::fromUtf8(info->name));
            return;
        }
        self->current.sinks = self->listing;
        self->sinkNames = self->sinkNamesListed;
        self->listing.clear();
        self->sinkNamesListed.clear();
        answered(self);
    }

    static void streamListed(pa_context *context, const pa_sink_input_info *info, int eol,
                             void *data)
    {
        streamAppeared(context, info, eol, data);
        if (eol != 0)
            answered(static_cast<PulseEvents *>(data));
    }

    static void streamAppeared(pa_context *, const pa_sink_input_info *info, int eol, void *data)
    {
        auto *self = static_cast<PulseEvents *>(data);
        if (eol == 0 && info && isOwn(info->proplist))
            self->streams.insert(info->index, info->sink);
        else if (eol != 0)
            self->publish();
    }

    static bool isOwn(const pa_proplist *properties)
    {
        const char *pid = pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
        return pid && QByteArray(pid) == QByteArray::number(QCoreApplication::applicationPid());
    }

    static void answered(PulseEvents *self)
    {
        if (self->pending > 0)
            --self->pending;
        self->publish();
    }

    static void unref(pa_operation *operation)
    {
        if (operation)
            pa_operation_unref(operation);
    }
};

PulseEvents::PulseEvents(QObject *parent)
    : QObject(parent)
    // The server's events are dispatched by the GLib main loop that Qt's own
    // event loop runs on, on this thread.
    , loop(pa_glib_mainloop_new(nullptr))
    , reconnect(new QTimer(this))
{
    qRegisterMetaType<ServerState>();
    reconnect->setSingleShot(true);
    reconnect->setInterval(ReconnectMs);
    connect(reconnect, &QTimer::timeout, this, &PulseEvents::connectToServer);
}

void PulseEvents::start()
{
    connectToServer();
}

PulseEvents::~PulseEvents()
{
    disconnectFromServer();
    pa_glib_mainloop_free(loop);
}

void PulseEvents::connectToServer()
{
    context = pa_context_new(pa_glib_mainloop_get_api(loop), "steadytone");
    if (!context) {
        reconnect->start();
        return;
    }
    pa_context_set_state_callback(context, PulseCallbacks::state, this);
    pa_context_set_subscribe_callback(context, PulseCallbacks::event, this);
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

void PulseEvents::lost()
{
    disconnectFromServer();
    pending = 0;
    listing.clear();
    sinkNamesListed.clear();
    sinkNames.clear();
    streams.clear();
    current = ServerState();
    tell();
    reconnect->start();
}

void PulseEvents::publish()
{
    if (pending > 0)
        return;
    current.reachable = true;
    current.streams.clear();
    for (const quint32 sink : qAsConst(streams))
        current.streams.append(sinkNames.value(sink));
    current.streams.sort();
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

void PulseEvents::askServerInfo()
{
    PulseCallbacks::unref(pa_context_get_server_info(context, PulseCallbacks::serverInfo, this));
}

void PulseEvents::askSinks()
{
    PulseCallbacks::unref(pa_context_get_sink_info_list(context, PulseCallbacks::sinkListed, this));
}
