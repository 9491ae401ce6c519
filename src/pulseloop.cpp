#include "pulseloop.h"

#include <QSocketNotifier>
#include <QTimer>

#include <sys/time.h>

#include <climits>

// The events libpulse asks for. Each is freed by libpulse alone, possibly
// from its own callback: the Qt objects behind it are then stopped at once
// and deleted once control is back in the event loop.

struct pa_io_event
{
    pa_mainloop_api *api = nullptr;
    int fd = -1;
    pa_io_event_cb_t callback = nullptr;
    void *userdata = nullptr;
    pa_io_event_destroy_cb_t destroy = nullptr;
    QSocketNotifier *read = nullptr;
    QSocketNotifier *write = nullptr;
};

struct pa_time_event
{
    pa_mainloop_api *api = nullptr;
    pa_time_event_cb_t callback = nullptr;
    void *userdata = nullptr;
    pa_time_event_destroy_cb_t destroy = nullptr;
    QTimer *timer = nullptr;
    timeval due {};
};

struct pa_defer_event
{
    pa_mainloop_api *api = nullptr;
    pa_defer_event_cb_t callback = nullptr;
    void *userdata = nullptr;
    pa_defer_event_destroy_cb_t destroy = nullptr;
    QTimer *timer = nullptr;
};

namespace {

QObject *owner(pa_mainloop_api *api)
{
    return static_cast<PulseLoop *>(api->userdata);
}

// Stopped now, deleted later: it may be the one whose signal runs. A
// notifier must not watch a descriptor that libpulse closes next.
void release(QSocketNotifier *notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    QObject::disconnect(notifier, nullptr, nullptr, nullptr);
    notifier->deleteLater();
}

void release(QTimer *timer)
{
    timer->stop();
    QObject::disconnect(timer, nullptr, nullptr, nullptr);
    timer->deleteLater();
}

QSocketNotifier *watch(pa_io_event *e, QSocketNotifier::Type type, pa_io_event_flags_t flag)
{
    auto *notifier = new QSocketNotifier(e->fd, type, owner(e->api));
    // Nothing of e is touched after the callback, which may free it.
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [e, flag] { e->callback(e->api, e, e->fd, flag, e->userdata); });
    return notifier;
}

void ioEnable(pa_io_event *e, pa_io_event_flags_t events)
{
    // A hang-up or an error shows as readable: libpulse then reads, and
    // finds out.
    if (e->read)
        e->read->setEnabled(events & PA_IO_EVENT_INPUT);
    else if (events & PA_IO_EVENT_INPUT)
        e->read = watch(e, QSocketNotifier::Read, PA_IO_EVENT_INPUT);
    if (e->write)
        e->write->setEnabled(events & PA_IO_EVENT_OUTPUT);
    else if (events & PA_IO_EVENT_OUTPUT)
        e->write = watch(e, QSocketNotifier::Write, PA_IO_EVENT_OUTPUT);
}

pa_io_event *ioNew(pa_mainloop_api *api, int fd, pa_io_event_flags_t events, pa_io_event_cb_t cb,
                   void *userdata)
{
    auto *e = new pa_io_event { api, fd, cb, userdata };
    ioEnable(e, events);
    return e;
}

// Every kind of event is told of its end, and freed, alike.
template<typename Event>
void destroy(Event *e)
{
    if (e->destroy)
        e->destroy(e->api, e, e->userdata);
    delete e;
}

template<typename Event, typename Callback>
void setDestroy(Event *e, Callback cb)
{
    e->destroy = cb;
}

// A time or deferred event is a timer.
template<typename Event>
void freeTimed(Event *e)
{
    release(e->timer);
    destroy(e);
}

void ioFree(pa_io_event *e)
{
    release(e->read);
    release(e->write);
    destroy(e);
}

// libpulse hands a loop that is not its own times on the wall clock.
void timeRestart(pa_time_event *e, const timeval *tv)
{
    if (!tv) {
        e->timer->stop();
        return;
    }
    e->due = *tv;
    timeval now {};
    gettimeofday(&now, nullptr);
    const qint64 inUs =
            qint64(tv->tv_sec - now.tv_sec) * 1000000 + qint64(tv->tv_usec - now.tv_usec);
    e->timer->start(int(qBound<qint64>(0, (inUs + 999) / 1000, INT_MAX)));
}

pa_time_event *timeNew(pa_mainloop_api *api, const timeval *tv, pa_time_event_cb_t cb,
                       void *userdata)
{
    auto *e = new pa_time_event { api, cb, userdata };
    e->timer = new QTimer(owner(api));
    e->timer->setSingleShot(true);
    QObject::connect(e->timer, &QTimer::timeout, e->timer,
                     [e] { e->callback(e->api, e, &e->due, e->userdata); });
    timeRestart(e, tv);
    return e;
}

void deferEnable(pa_defer_event *e, int enable)
{
    if (enable)
        e->timer->start();
    else
        e->timer->stop();
}

// A deferred call runs at every pass of the event loop while it is enabled.
pa_defer_event *deferNew(pa_mainloop_api *api, pa_defer_event_cb_t cb, void *userdata)
{
    auto *e = new pa_defer_event { api, cb, userdata };
    e->timer = new QTimer(owner(api));
    e->timer->setInterval(0);
    QObject::connect(e->timer, &QTimer::timeout, e->timer,
                     [e] { e->callback(e->api, e, e->userdata); });
    e->timer->start();
    return e;
}

// Nothing runs this loop but Qt's, which libpulse does not end.
void quit(pa_mainloop_api *, int) { }

} // namespace

PulseLoop::PulseLoop(QObject *parent)
    : QObject(parent)
    , vtable { this,
               ioNew,
               ioEnable,
               ioFree,
               setDestroy<pa_io_event, pa_io_event_destroy_cb_t>,
               timeNew,
               timeRestart,
               freeTimed<pa_time_event>,
               setDestroy<pa_time_event, pa_time_event_destroy_cb_t>,
               deferNew,
               deferEnable,
               freeTimed<pa_defer_event>,
               setDestroy<pa_defer_event, pa_defer_event_destroy_cb_t>,
               quit }
{ }
