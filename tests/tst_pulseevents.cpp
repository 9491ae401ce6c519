#include "audioserver.h"
#include "childprocess.h"
#include "pulseevents.h"

#include <QtTest>

#include <pulse/simple.h>

#include <signal.h>

// How late a single-shot timer may fire on a loaded machine.
constexpr int TimerAllowanceMs = 500;

// What the program hears of the audio server, against a real PulseAudio.
class tst_PulseEvents : public QObject
{
    Q_OBJECT

private slots:
    void followsTheServer();
    void followsAFrozenServerBack();
};

void tst_PulseEvents::followsTheServer()
{
    AudioServer server(AudioServer::PulseAudio);
    QVERIFY2(server.start({ { "alpha" } }), qPrintable(server.errorString()));
    qputenv("PULSE_SERVER", server.address().toLocal8Bit());
    PulseEvents events;
    QSignalSpy changes(&events, &PulseEvents::changed);
    events.start();
    auto reports = [&](const QString &defaultSink, const QStringList &sinks) {
        QStringList names;
        for (const ServerState::Sink &sink : events.state().sinks)
            names << sink.name;
        return events.state().answers() && events.state().defaultSink == defaultSink
                && names == sinks;
    };
    QTRY_VERIFY(reports("alpha", { "alpha" }));
    QCOMPARE(events.state().streamSinks(), QStringList());

    // This process's own streams are counted, another client's are not.
    ChildProcess other;
    other.setProcessEnvironment(server.environment());
    other.start(QStringLiteral("pacat"), { QStringLiteral("/dev/zero") });
    const pa_sample_spec sampleFormat { PA_SAMPLE_S16LE, 44100, 1 };
    const QByteArray address = server.address().toLocal8Bit();
    pa_simple *own = pa_simple_new(address.constData(), "test", PA_STREAM_PLAYBACK, nullptr, "own",
                                   &sampleFormat, nullptr, nullptr, nullptr);
    QVERIFY(own);
    QTRY_COMPARE(events.state().streamSinks(), QStringList({ "alpha" }));

    // A sink that appears, the default moving there and the stream with it,
    // which it tells as moved away from where it started, and puts back.
    QVERIFY(server.loadSink({ "beta" }));
    QTRY_VERIFY(reports("alpha", { "alpha", "beta" }));
    QVERIFY(server.setDefaultSink("beta"));
    QTRY_VERIFY(reports("beta", { "alpha", "beta" }));
    QTRY_COMPARE(events.state().streamSinks(), QStringList({ "beta" }));
    QCOMPARE(events.state().ownStream("alpha")->sink, QStringLiteral("beta"));
    events.moveStream(events.state().ownStream("alpha")->index, "alpha");
    QTRY_COMPARE(events.state().streamSinks(), QStringList({ "alpha" }));
    QVERIFY(server.unloadSink("beta"));
    QTRY_VERIFY(reports("alpha", { "alpha" }));
    // A sink suspended by hand, and resumed.
    QVERIFY(server.pactl({ "suspend-sink", "alpha", "1" }));
    QTRY_VERIFY(events.state().sink("alpha")->suspended);
    QVERIFY(server.pactl({ "suspend-sink", "alpha", "0" }));
    QTRY_VERIFY(!events.state().sink("alpha")->suspended);
    // The mixers: the stream's mute button and slider, and the sink's.
    const QString stream = QString::number(events.state().streams.first().index);
    QVERIFY(server.pactl({ "set-sink-input-mute", stream, "1" }));
    QVERIFY(server.pactl({ "set-sink-input-volume", stream, "50%" }));
    QTRY_VERIFY(events.state().streams.first().mixer == (ServerState::Mixer { true, 0.5 }));
    QVERIFY(server.pactl({ "set-sink-mute", "alpha", "1" }));
    QVERIFY(server.pactl({ "set-sink-volume", "alpha", "30%" }));
    QTRY_VERIFY(events.state().sink("alpha")->mixer.muted);
    QTRY_COMPARE(qRound(events.state().sink("alpha")->mixer.volume * 100), 30);
    pa_simple_free(own);
    QTRY_COMPARE(events.state().streamSinks(), QStringList());

    // It follows the server away and back.
    server.stop();
    QTRY_VERIFY(events.state().reach == ServerState::Unreachable);
    QVERIFY2(server.start({ { "gamma" } }), qPrintable(server.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(reports("gamma", { "gamma" }),
                             PulseEvents::ReconnectMs + 2 * TimerAllowanceMs);
    // Every change was told once, and only a change.
    for (int i = 1; i < changes.size(); ++i)
        QVERIFY(changes.at(i).value(0).value<ServerState>()
                != changes.at(i - 1).value(0).value<ServerState>());
    qunsetenv("PULSE_SERVER");
}

void tst_PulseEvents::followsAFrozenServerBack()
{
    // A frozen server's socket takes the connection and says nothing: it
    // is given up, and tried again a moment later.
    AudioServer server(AudioServer::PulseAudio);
    QVERIFY2(server.start({ { "alpha" } }), qPrintable(server.errorString()));
    qputenv("PULSE_SERVER", server.address().toLocal8Bit());
    server.signalPulseServer(SIGSTOP);
    PulseEvents events;
    events.start();
    QTRY_VERIFY_WITH_TIMEOUT(events.state().reach == ServerState::Unreachable,
                             PulseEvents::ConnectTimeoutMs + TimerAllowanceMs);
    QTest::qWait(PulseEvents::ReconnectMs + TimerAllowanceMs / 5);
    // The event loop is then held past the connect timeout, as Qt's backend
    // holds it while it waits for the same server, and the server is killed
    // meanwhile: the timeout and the hang-up come due together.
    QThread::msleep(PulseEvents::ConnectTimeoutMs / 2);
    server.signalPulseServer(SIGKILL);
    QThread::msleep(PulseEvents::ConnectTimeoutMs);
    QTRY_VERIFY(events.state().reach == ServerState::Unreachable);
    QVERIFY2(server.restart(), qPrintable(server.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(events.state().answers(),
                             PulseEvents::ReconnectMs + 2 * TimerAllowanceMs);
    qunsetenv("PULSE_SERVER");
}

QTEST_GUILESS_MAIN(tst_PulseEvents)
#include "tst_pulseevents.moc"
