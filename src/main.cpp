#include "arguments.h"
#include "audioout.h"
#include "instancelock.h"
#include "log.h"
#include "loopguard.h"
#include "narrator.h"
#include "pulseevents.h"
#include "service.h"
#include "sessionwatch.h"
#include "words.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTime>
#include <QTimer>

#include <cstdio>

namespace {

// The exit status of a program that could not take the lock that keeps it
// to one per user, for a reason other than another that plays.
constexpr int UnusableLockStatus = 3;

// Prints the server's output devices, a line each: the name --device takes,
// a tab, the description, and a tab and "default" for the default one.
int listDevices()
{
    PulseEvents events;
    QEventLoop loop;
    QObject::connect(&events, &PulseEvents::changed, &loop, &QEventLoop::quit);
    QTimer::singleShot(PulseEvents::ReconnectMs, &loop, &QEventLoop::quit);
    events.start();
    if (!events.state().answers())
        loop.exec();
    const ServerState server = events.state();
    if (!server.answers()) {
        std::fputs("steadytone: no audio server answers\n", stderr);
        return 1;
    }
    // One output a line, whatever its name holds; the name whole, as
    // --device takes it. The dummy output is none to choose.
    for (const ServerState::Sink &sink : server.sinks) {
        if (ServerState::isDummy(sink.name))
            continue;
        std::printf("%s\t%s%s\n", qPrintable(Words::shown(sink.name, true)),
                    qPrintable(Words::shown(sink.description, true)),
                    sink.name == server.defaultSink ? "\tdefault" : "");
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // Mixers show the stream under this name and icon, the same on every
    // run, so that the sound server can remember its volume; Qt would name
    // it after the process ID. No media role: role-based policies could cork
    // or duck it.
    if (qEnvironmentVariableIsEmpty("PULSE_PROP_OVERRIDE"))
        qputenv("PULSE_PROP_OVERRIDE",
                "application.name='steadytone' application.icon_name='audio-speakers'");
    // Before the application object, which may take arguments out of argv.
    Service service(argc, argv);
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
        std::fprintf(stderr, "steadytone: %s\nTry 'steadytone --help'\n",
                     qPrintable(arguments.error));
        return 2;
    }

    // One program per user, found before any stream is opened. A program
    // that cannot make sure of it does not play: two would play twice as
    // loud.
    const InstanceLock lock;
    switch (lock.outcome()) {
    case InstanceLock::Held:
        service.keepOpen(lock.descriptor());
        break;
    case InstanceLock::Taken: {
        const QByteArray pid = QByteArray::number(lock.holder());
        if (lock.holder() > 0)
            std::fprintf(stderr,
                         "steadytone: another steadytone already plays for this user, as process "
                         "%s: systemctl --user status steadytone shows it; systemctl --user stop "
                         "steadytone, or kill %s, stops it\n",
                         pid.constData(), pid.constData());
        else
            std::fputs("steadytone: another steadytone already plays for this user: systemctl "
                       "--user status steadytone shows it, and systemctl --user stop steadytone "
                       "stops it\n",
                       stderr);
        return 1;
    }
    case InstanceLock::Unusable:
        std::fprintf(stderr,
                     "steadytone: cannot make sure that no other steadytone plays for this user, "
                     "so none plays: %s\n",
                     qPrintable(lock.error()));
        return UnusableLockStatus;
    }

    // Qt's audio backend can block the main thread for good; only another
    // thread can then start the program afresh.
    LoopGuard guard(AudioOut::CheckIntervalMs,
                    [&service](FreshStart::Reason reason) { service.restartNow(reason); });
    guard.start();

    PulseEvents events;
    Narrator narrator(arguments.tone, arguments.outputs);
    narrator.started(service.restartedBecause(),
                     lock.note().isEmpty() ? arguments.notes
                                           : arguments.notes + QStringList(lock.note()));
    AudioOut audioOut(arguments.tone, arguments.outputs, &narrator);
    // The regular checks: they also show the guard and systemd that the
    // event loop is alive.
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, &audioOut, &AudioOut::checkOut);

    // The login manager is followed once the first check has run, so that
    // no system bus, however slow, keeps the tone from starting.
    SessionWatch *session = nullptr;
    QObject::connect(&audioOut, &AudioOut::checked, &service, [&]() {
        if (session)
            return;
        session = new SessionWatch(&app);
        QObject::connect(session, &SessionWatch::resumed, &audioOut, &AudioOut::systemResumed);
        QObject::connect(session, &SessionWatch::idleChanged, &audioOut, &AudioOut::setPaused);
        QObject::connect(session, &SessionWatch::unwatchable, &narrator,
                         &Narrator::sessionUnwatchable);
        QObject::connect(session, &SessionWatch::watching, &narrator, &Narrator::sessionWatched);
        session->start(arguments.pauseWhenIdle);
    });
    QObject::connect(&audioOut, &AudioOut::checked, &service, &Service::notifyAlive);
    QObject::connect(&audioOut, &AudioOut::checked, &guard, &LoopGuard::beat, Qt::DirectConnection);
    QObject::connect(&audioOut, &AudioOut::startBegins, &guard, &LoopGuard::startBegins,
                     Qt::DirectConnection);
    QObject::connect(&audioOut, &AudioOut::startEnds, &guard, &LoopGuard::startEnds,
                     Qt::DirectConnection);
    QObject::connect(&audioOut, &AudioOut::played, &service, &Service::notePlayed);
    QObject::connect(&audioOut, &AudioOut::serverReturned, &service, &Service::noteServerReturned);
    QObject::connect(&audioOut, &AudioOut::restartNeeded, &service, [&](FreshStart::Reason reason) {
        const Service::RestartPlan plan = service.restartNow(reason);
        if (!plan.now)
            narrator.restartDeferred(reason, QTime::currentTime().addMSecs(plan.waitMs));
    });
    // Ready once the first check's outcome is settled: playback has started,
    // with what reaches the devices known, or waits for a device.
    QObject::connect(&narrator, &Narrator::ready, &service, &Service::notifyReady);
    QObject::connect(&narrator, &Narrator::statusChanged, &service, &Service::notifyStatus);
    QObject::connect(&events, &PulseEvents::changed, &audioOut, &AudioOut::serverChanged);
    QObject::connect(&audioOut, &AudioOut::streamMovedAway, &events, &PulseEvents::moveStream);
    events.start();
    audioOut.start();
    heartbeat.start(AudioOut::CheckIntervalMs);
    return app.exec();
}
