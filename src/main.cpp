#include "arguments.h"
#include "audioout.h"
#include "log.h"
#include "loopguard.h"
#include "pulseevents.h"
#include "service.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Before the application object, which may take arguments out of argv.
    Service service(argc, argv);
    // The audio server's events are dispatched by Qt's GLib-based event loop.
    qunsetenv("QT_NO_GLIB");
    QCoreApplication app(argc, argv);
    Log::install();

    const Arguments arguments(app.arguments());
    if (arguments.request == Arguments::Help) {
        std::fputs(qPrintable(Arguments::usage()), stdout);
        return 0;
    }
    if (arguments.request == Arguments::Version) {
        std::printf("steadytone %s\n", STEADYTONE_VERSION);
        return 0;
    }

    // Qt's audio backend can block the main thread for good; only another
    // thread can then start the program afresh.
    LoopGuard guard(AudioOut::CheckIntervalMs,
                    [&service] { service.restart(QStringLiteral("The event loop is stuck")); });
    guard.start();

    PulseEvents events;
    AudioOut audioOut(arguments.frequency, arguments.volume, nullptr);
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
