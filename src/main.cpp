#include "arguments.h"
#include "audioout.h"
#include "log.h"
#include "loopguard.h"
#include "pulseevents.h"
#include "service.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

namespace {

// Prints the server's output devices, a line each: the name --device takes,
// a tab, and the description.
int listDevices()
{
    PulseEvents events;
    QEventLoop loop;
    QObject::connect(&events, &PulseEvents::changed, &loop, &QEventLoop::quit);
    QTimer::singleShot(PulseEvents::ReconnectMs, &loop, &QEventLoop::quit);
    events.start();
    if (!events.state().reachable)
        loop.exec();
    if (!events.state().reachable) {
        std::fputs("steadytone: no audio server answers\n", stderr);
        return 1;
    }
    for (const ServerState::Sink &sink : events.state().sinks)
        std::printf("%s\t%s\n", qPrintable(sink.name), qPrintable(sink.description));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // Before the application object, which may take arguments out of argv.
    Service service(argc, argv);
    // The audio server's events are dispatched by Qt's GLib-based event loop.
    qunsetenv("QT_NO_GLIB");
    QCoreApplication app(argc, argv);
    Log::install();

    const Arguments arguments(app.arguments());
    switch (arguments.request) {
    case Arguments::Play:
        break;
    case Arguments::List:
        return listDevices();
    case Arguments::Help:
        std::fputs(qPrintable(Arguments::usage()), stdout);
        return 0;
    case Arguments::Version:
        std::printf("steadytone %s\n", STEADYTONE_VERSION);
        return 0;
    case Arguments::Wrong:
        std::fprintf(stderr, "steadytone: %s\n\n%s", qPrintable(arguments.error),
                     qPrintable(Arguments::usage()));
        return 2;
    }

    // Qt's audio backend can block the main thread for good; only another
    // thread can then start the program afresh.
    LoopGuard guard(AudioOut::CheckIntervalMs,
                    [&service] { service.restart(QStringLiteral("The event loop is stuck")); });
    guard.start();

    PulseEvents events;
    AudioOut audioOut(arguments.frequency, arguments.volume, { arguments.all, arguments.devices },
                      nullptr);
    QObject::connect(&audioOut, &AudioOut::checked, &service, &Service::notifyAlive);
    QObject::connect(&audioOut, &AudioOut::checked, &guard, &LoopGuard::beat, Qt::DirectConnection);
    QObject::connect(&audioOut, &AudioOut::playing, &service, &Service::notePlayed);
    QObject::connect(&audioOut, &AudioOut::restartNeeded, &service, &Service::restart);
    QObject::connect(&audioOut, &AudioOut::statusChanged, &service, &Service::notifyStatus);
    QObject::connect(&events, &PulseEvents::changed, &audioOut, &AudioOut::serverChanged);
    events.start();
    // The first check has run: playback has started, or waits for a device.
    service.notifyReady(audioOut.status());
    return app.exec();
}
