#ifndef PULSELOOP_H
#define PULSELOOP_H

#include <QObject>

#include <pulse/mainloop-api.h>

// libpulse's main loop interface on Qt's own event loop, on the thread that
// makes it: a connection's sockets are watched by socket notifiers, its
// timers and deferred calls are Qt timers. Whatever Qt's event loop is, the
// server's events arrive, and an event freed by any code at any moment is
// simply gone: nothing else of the loop depends on it.
class PulseLoop : public QObject
{
    Q_OBJECT

public:
    // The connections made on it are to be freed before it is.
    explicit PulseLoop(QObject *parent = nullptr);

    pa_mainloop_api *api() { return &vtable; }

private:
    pa_mainloop_api vtable {};
};

#endif // PULSELOOP_H
