#include "arguments.h"
#include "audioout.h"
#include "loopguard.h"
#include "pulseevents.h"
#include "service.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    // Before the application object, which may take arguments out of argv.
    Service service(argc, argv);
    // The audio server's events are dispatched by Qt's GLib-based event loop.
    qunsetenv("QT_NO_GLIB");
    QCoreApplication app(argc, argv);

    // Qt's audio backend can block the main thread for good; only another
    // thread can then start the program afresh.
    LoopGuard guard(AudioOut::CheckIntervalMs,
                    [&service] { service.restart(QStringLiteral("The event loop is stuck")); });
    guard.start();

    const Arguments arguments(app.arguments());
    PulseEvents events;
    AudioOut audioOut(arguments.frequency, arguments.volume, nullptr);
    QObject::connect(&audioOut, &AudioOut::checked, &service, &Service::notifyAlive);
    QObject::connect(&audioOut, &AudioOut::checked, &guard, &LoopGuard::beat, Qt::DirectConnection);
    QObject::connect(&audioOut, &AudioOut::playing, &service, &Service::notePlayed);
    QObject::connect(&audioOut, &AudioOut::restartNeeded, &service, &Service::restart);
    QObject::connect(&events, &PulseEvents::changed, &audioOut, &AudioOut::serverChanged);
    // The first check has run: playback has started, or waits for a device.
    service.notifyReady();
    return app.exec();
}
