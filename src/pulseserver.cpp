#include "pulseserver.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/timeval.h>

namespace {

struct Probe
{
    pa_mainloop *loop = nullptr;
    PulseServer::Status status = PulseServer::Unreachable;
};

void onServerInfo(pa_context *, const pa_server_info *info, void *data)
{
    auto *probe = static_cast<Probe *>(data);
    const bool sink = info && info->default_sink_name && *info->default_sink_name;
    probe->status = sink ? PulseServer::HasDefaultSink : PulseServer::NoDefaultSink;
    pa_mainloop_quit(probe->loop, 0);
}

void onContextState(pa_context *context, void *data)
{
    auto *probe = static_cast<Probe *>(data);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        if (pa_operation *operation = pa_context_get_server_info(context, onServerInfo, probe))
            pa_operation_unref(operation);
        else
            pa_mainloop_quit(probe->loop, 0);
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        pa_mainloop_quit(probe->loop, 0);
        break;
    default:
        break;
    }
}

void onTimeout(pa_mainloop_api *, pa_time_event *, const struct timeval *, void *data)
{
    pa_mainloop_quit(static_cast<Probe *>(data)->loop, 0);
}

} // namespace

PulseServer::Status PulseServer::status()
{
    Probe probe;
    probe.loop = pa_mainloop_new();
    if (!probe.loop)
        return Unreachable;
    pa_mainloop_api *api = pa_mainloop_get_api(probe.loop);
    pa_context *context = pa_context_new(api, "steadytone");
    if (context) {
        pa_context_set_state_callback(context, onContextState, &probe);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
            timeval deadline;
            pa_timeval_add(pa_gettimeofday(&deadline), pa_usec_t(TimeoutMs) * PA_USEC_PER_MSEC);
            api->time_new(api, &deadline, onTimeout, &probe);
            pa_mainloop_run(probe.loop, nullptr);
        }
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    // Frees the timer event with the loop.
    pa_mainloop_free(probe.loop);
    return probe.status;
}
