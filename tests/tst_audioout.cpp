#include "arguments.h"
#include "audioout.h"
#include "audioserver.h"
#include "childprocess.h"
#include "fakeaudiocontrol.h"
#include "generator.h"
#include "pulseevents.h"
#include "service.h"
#include "tonereference.h"

#include <QAudioOutput>
#include <QtTest>

#include <memory>

#include <pulse/simple.h>

Q_DECLARE_METATYPE(FakeDevice)

// How late a single-shot timer may fire on a loaded machine.
constexpr int TimerAllowanceMs = 500;

// What the audio server itself reports, past Qt.
enum class Server { Unreachable, WithoutSink, WithSink, WithOtherSink };
Q_DECLARE_METATYPE(Server)

// What befalls the playing output in the recovery rows.
enum class Fault { None, Kill, KillEvery, Fail, LoseServer, Suspend };
Q_DECLARE_METATYPE(Fault)

// How the output played before the fault: for a while, seen by regular
// checks; for a second, seen by none; not at all.
enum class Played { Checked, Briefly, Never };
Q_DECLARE_METATYPE(Played)

namespace {

QStringList *capturedLog = nullptr;
QStringList *capturedAccount = nullptr;
QtMessageHandler defaultHandler = nullptr;

// The program's specified debug lines are captured, and its own account of
// what it does, with the type of each line; Qt's messages are shown as usual.
void captureDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static const char *const types[] = { "debug", "warning", "critical", "fatal", "info" };
    if (capturedLog && type == QtDebugMsg && qstrcmp(context.category, "default") == 0)
        capturedLog->append(message);
    else if (capturedAccount && qstrcmp(context.category, "steadytone") == 0)
        capturedAccount->append(QLatin1String(types[type]) + QLatin1String(": ") + message);
    else if (defaultHandler && type != QtDebugMsg)
        defaultHandler(type, context, message);
}

// A device that takes every valid format, unless given the rates and channel
// counts it takes.
FakeDevice device(const QString &name, const QList<int> &rates = {},
                  const QList<int> &channels = {})
{
    FakeDevice d;
    d.name = name;
    d.sampleRates = rates;
    d.channelCounts = channels;
    return d;
}

} // namespace

// The controller, driving a simulated audio system through Qt's own
// QAudioDeviceInfo and QAudioOutput.
class tst_AudioOut : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void startWithDevice_data();
    void startWithDevice();
    void noDeviceAtStart();
    void unchangedChecksDoNothing();
    void changeToDeviceThatTakesTheFormat();
    void changeToDeviceThatDoesNot();
    void volumeHandedOn_data();
    void volumeHandedOn();
    void defaultDeviceDisappears();
    void lastDeviceDisappearsAndReturns();
    void failedOutputIsRebuilt();
    void nullDefault_data();
    void nullDefault();
    void formatSurvivesANullDefault();
    void timerChecksTheDefault();
    void soakReleasesWhatItReplaces();
    void recovery_data();
    void recovery();
    void events_data();
    void events();
    void severalOutputs_data();
    void severalOutputs();
    void serverEvents();
    void restartBackoff_data();
    void restartBackoff();
    void fuzzedArguments();

private:
    void start(int frequency = 0, double volume = 0.0,
               const AudioOut::Outputs &outputs = AudioOut::Outputs());
    // What the server reports from now on, told at once, as its events do.
    void setServer(Server server);
    // What it reports of the simulated system, as it is now.
    ServerState serverState() const;
    void check(bool release = true);
    static void releaseReplaced();
    int generatorCount() const;

    FakeAudioControl *audio = nullptr;
    std::unique_ptr<AudioOut> audioOut;
    QStringList log;
    QStringList account;
    Server server = Server::Unreachable;
};

void tst_AudioOut::initTestCase()
{
    // Only the simulated system: no ALSA fallback, so "no device" means none.
    QCoreApplication::setLibraryPaths({ QStringLiteral(FAKEAUDIO_PLUGIN_DIR) });
    QPluginLoader loader(QStringLiteral(FAKEAUDIO_PLUGIN_FILE));
    audio = qobject_cast<FakeAudioControl *>(loader.instance());
    QVERIFY2(audio, qPrintable(loader.errorString()));
    capturedLog = &log;
    capturedAccount = &account;
    defaultHandler = qInstallMessageHandler(captureDebug);
}

void tst_AudioOut::cleanup()
{
    audioOut.reset();
    audio->clearOutputs();
    audio->setDevices({});
    log.clear();
    account.clear();
    setServer(Server::Unreachable);
}

ServerState tst_AudioOut::serverState() const
{
    ServerState state;
    state.reachable = server != Server::Unreachable;
    if (server == Server::WithSink || server == Server::WithOtherSink) {
        // The simulated system's devices, or one that Qt does not report.
        QStringList names = audio->deviceNames();
        if (names.isEmpty())
            names << QStringLiteral("alpha");
        if (server == Server::WithOtherSink)
            names = QStringList { QStringLiteral("omega") };
        state.defaultSink = names.first();
        for (const QString &name : names)
            state.sinks.append({ name, name.left(1).toUpper() + name.mid(1) });
    }
    state.streams = audio->liveStreams();
    return state;
}

void tst_AudioOut::setServer(Server kind)
{
    server = kind;
    if (audioOut)
        audioOut->serverChanged(serverState());
}

void tst_AudioOut::start(int frequency, double volume, const AudioOut::Outputs &outputs)
{
    audioOut = std::make_unique<AudioOut>(frequency, volume, outputs, nullptr);
    // The program's connection to the server comes up after the first check.
    setServer(server);
}

void tst_AudioOut::check(bool release)
{
    // A check interval passes, and every output that can play does; the
    // server has told of the streams that came and went.
    audio->play(qint64(AudioOut::CheckIntervalMs) * 1000);
    if (server != Server::Unreachable)
        setServer(server);
    QVERIFY(QMetaObject::invokeMethod(audioOut.get(), "checkOut"));
    if (release)
        releaseReplaced();
}

void tst_AudioOut::releaseReplaced()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int tst_AudioOut::generatorCount() const
{
    return audioOut->findChildren<Generator *>().size();
}

void tst_AudioOut::startWithDevice_data()
{
    QTest::addColumn<FakeDevice>("alpha");
    QTest::addColumn<QAudioFormat>("format");

    QTest::newRow("takes the format") << device("alpha") << defaultFormat();
    QTest::newRow("needs another format")
            << device("alpha", { 48000 }, { 2 }) << makeFormat(48000, 2, 16);
}

void tst_AudioOut::startWithDevice()
{
    QFETCH(FakeDevice, alpha);
    QFETCH(QAudioFormat, format);
    audio->setDevices({ alpha });

    start();
    releaseReplaced();

    QCOMPARE(log, QStringList({ "0.02 20", "\"\"", "\"alpha\"" }));
    QCOMPARE(audio->outputCount(), 1);
    QCOMPARE(generatorCount(), 1);
    const FakeOutputRecord out = audio->output(0);
    QCOMPARE(out.device, QStringLiteral("alpha"));
    QCOMPARE(out.format, format);
    QCOMPARE(out.starts, 1);
    QCOMPARE(out.stops, 0);
    QCOMPARE(out.volume, 0.02);
    QVERIFY(out.source);
    QCOMPARE(out.source, audioOut->findChild<Generator *>());
    QVERIFY(out.source->isOpen());

    const QByteArray tone = referenceTone(format, 20, 44100);
    QCOMPARE(audio->pull(0, 3000), tone.left(3000));
    QCOMPARE(audio->pull(0, 5000), tone.mid(3000, 5000));
}

void tst_AudioOut::noDeviceAtStart()
{
    // With no server, Qt's backend reports a default device all the same,
    // with no name; Qt plays it on a null output of its own.
    start(440);
    QCOMPARE(log, QStringList({ "0.02 440", "\"\"", "\"\"" }));
    QCOMPARE(audio->outputCount(), 0);
    check();
    QCOMPARE(log.size(), 3);
    QCOMPARE(audio->outputCount(), 0);
    QCOMPARE(generatorCount(), 1);

    audio->setDevices({ device("alpha") });
    check();
    QCOMPARE(log, QStringList({ "0.02 440", "\"\"", "\"\"", "\"\"", "\"alpha\"" }));
    QCOMPARE(audio->outputCount(), 1);
    QCOMPARE(audio->pull(0, 400), referenceTone(defaultFormat(), 440, 200));
}

void tst_AudioOut::unchangedChecksDoNothing()
{
    audio->setDevices({ device("alpha"), device("beta") });
    start();
    const QStringList startLog = log;
    const QObjectList objects = audioOut->findChildren<QObject *>();
    for (int i = 0; i < 3; ++i)
        check();
    QCOMPARE(log, startLog);
    QCOMPARE(audio->outputCount(), 1);
    QCOMPARE(audioOut->findChildren<QObject *>(), objects);
    QCOMPARE(audio->output(0).stops, 0);
}

void tst_AudioOut::changeToDeviceThatTakesTheFormat()
{
    audio->setDevices({ device("alpha"), device("beta") });
    start();
    const QByteArray tone = referenceTone(defaultFormat(), 20, 2000);
    QCOMPARE(audio->pull(0, 1000), tone.left(1000));

    audio->setDevices({ device("beta"), device("alpha") });
    check();

    QCOMPARE(log.mid(3), QStringList({ "\"alpha\"", "\"beta\"" }));
    QCOMPARE(audio->outputCount(), 2);
    const FakeOutputRecord old = audio->output(0);
    QCOMPARE(old.stops, 1);
    QVERIFY(old.destroyed);
    const FakeOutputRecord now = audio->output(1);
    QCOMPARE(now.device, QStringLiteral("beta"));
    QCOMPARE(now.format, defaultFormat());
    QCOMPARE(now.starts, 1);
    QCOMPARE(now.volume, 0.02);
    QCOMPARE(generatorCount(), 1);
    QCOMPARE(now.source, old.source);
    // The same tone device carries on where the old output left it.
    QCOMPARE(audio->pull(1, 1000), tone.mid(1000, 1000));
}

void tst_AudioOut::changeToDeviceThatDoesNot()
{
    audio->setDevices({ device("alpha") });
    start(1000);
    QCOMPARE(audio->pull(0, 1000), referenceTone(defaultFormat(), 1000, 500));
    const QPointer<QIODevice> first = audio->output(0).source;

    audio->setDevices({ device("gamma", { 48000 }, { 2 }) });
    check(false);
    // The old tone device is closed and waits for the event loop to go.
    QVERIFY(first);
    QVERIFY(!first->isOpen());
    releaseReplaced();
    QVERIFY(!first);

    QCOMPARE(log.mid(1), QStringList({ "\"\"", "\"alpha\"", "\"alpha\"", "\"gamma\"" }));
    const QAudioFormat stereo = makeFormat(48000, 2, 16);
    const FakeOutputRecord now = audio->output(1);
    QCOMPARE(now.device, QStringLiteral("gamma"));
    QCOMPARE(now.format, stereo);
    QVERIFY(now.source);
    QVERIFY(now.source->isOpen());
    QCOMPARE(generatorCount(), 1);
    // A new tone, for the new format, from its start.
    QCOMPARE(audio->pull(1, 4000), referenceTone(stereo, 1000, 1000));

    // The adapted format stays: a device that takes both keeps it.
    audio->setDevices({ device("delta", { 44100, 48000 }, { 1, 2 }) });
    check();
    QCOMPARE(audio->output(2).format, stereo);
    QCOMPARE(audio->output(2).source, now.source);
}

void tst_AudioOut::volumeHandedOn_data()
{
    QTest::addColumn<double>("volume");
    QTest::addColumn<QString>("line");
    QTest::addColumn<double>("outputVolume");

    // QAudioOutput itself bounds what reaches the backend to [0, 1].
    QTest::newRow("zero means default") << 0.0 << "0.02 20" << 0.02;
    QTest::newRow("half") << 0.5 << "0.5 20" << 0.5;
    QTest::newRow("above one") << 1.5 << "1.5 20" << 1.0;
    // A volume the tone cannot have gives the default.
    QTest::newRow("negative") << -1.0 << "0.02 20" << 0.02;
    QTest::newRow("infinite") << qInf() << "0.02 20" << 0.02;
    QTest::newRow("undefined") << qQNaN() << "0.02 20" << 0.02;
}

void tst_AudioOut::volumeHandedOn()
{
    QFETCH(double, volume);
    QFETCH(QString, line);
    QFETCH(double, outputVolume);

    audio->setDevices({ device("alpha"), device("beta") });
    start(0, volume);
    QCOMPARE(log.value(0), line);
    QCOMPARE(audio->output(0).volume, outputVolume);
    audio->setDevices({ device("beta") });
    check();
    QCOMPARE(audio->output(1).volume, outputVolume);
}

void tst_AudioOut::defaultDeviceDisappears()
{
    audio->setDevices({ device("alpha"), device("beta") });
    start();
    audio->setDevices({ device("beta") });
    check();
    QCOMPARE(log.mid(3), QStringList({ "\"alpha\"", "\"beta\"" }));
    QCOMPARE(audio->outputCount(), 2);
    QVERIFY(audio->output(0).destroyed);
    QCOMPARE(audio->output(1).device, QStringLiteral("beta"));
    QCOMPARE(audio->output(1).starts, 1);
}

void tst_AudioOut::lastDeviceDisappearsAndReturns()
{
    audio->setDevices({ device("alpha") });
    start();
    audio->setDevices({});
    check();
    // Playback leaves the vanished device; Qt plays the null device itself.
    QCOMPARE(log.mid(3), QStringList({ "\"alpha\"", "\"\"" }));
    QCOMPARE(audio->outputCount(), 1);
    QCOMPARE(audio->output(0).stops, 1);
    QVERIFY(audio->output(0).destroyed);

    audio->setDevices({ device("alpha") });
    check();
    QCOMPARE(log.mid(5), QStringList({ "\"\"", "\"alpha\"" }));
    QCOMPARE(audio->outputCount(), 2);
    QCOMPARE(audio->output(1).device, QStringLiteral("alpha"));
    QCOMPARE(audio->output(1).format, defaultFormat());
    QCOMPARE(audio->output(1).starts, 1);
}

void tst_AudioOut::failedOutputIsRebuilt()
{
    setServer(Server::WithSink);
    audio->setDevices({ device("alpha") });
    start(440, 0.5);
    const QByteArray tone = referenceTone(defaultFormat(), 440, 1000);
    QCOMPARE(audio->pull(0, 600), tone.left(600));

    audio->fail(0);
    check();
    QCOMPARE(log.mid(3), QStringList({ "\"alpha\"", "\"alpha\"" }));
    QCOMPARE(audio->outputCount(), 2);
    QVERIFY(audio->output(0).destroyed);
    const FakeOutputRecord now = audio->output(1);
    QCOMPARE(now.device, QStringLiteral("alpha"));
    QCOMPARE(now.starts, 1);
    QCOMPARE(now.volume, 0.5);
    QCOMPARE(now.source, audio->output(0).source);
    QCOMPARE(audio->pull(1, 600), tone.mid(600, 600));

    // The rebuilt output plays, so later checks leave it alone.
    check();
    QCOMPARE(audio->outputCount(), 2);
    QCOMPARE(log.size(), 5);
}

void tst_AudioOut::nullDefault_data()
{
    QTest::addColumn<Server>("server");
    QTest::addColumn<bool>("restart");

    QTest::newRow("no server") << Server::Unreachable << false;
    QTest::newRow("a server without sinks") << Server::WithoutSink << false;
    // Qt's backend never reached the server, and never will.
    QTest::newRow("a server with a sink Qt does not report") << Server::WithSink << true;
}

void tst_AudioOut::nullDefault()
{
    QFETCH(Server, server);
    QFETCH(bool, restart);

    audio->setDevices({ device("alpha") });
    start();
    audio->setDevices({});
    check();
    QCOMPARE(log.mid(3), QStringList({ "\"alpha\"", "\"\"" }));
    const QObjectList objects = audioOut->findChildren<QObject *>();
    QSignalSpy restarts(audioOut.get(), &AudioOut::restartNeeded);
    setServer(server);
    // A sink Qt does not report may just have appeared and not reached Qt
    // yet: nothing is done for a moment, then it is looked at once more.
    QTest::qWait(AudioOut::HiddenSinkRecheckMs / 2);
    QCOMPARE(restarts.count(), 0);
    QTest::qWait(AudioOut::HiddenSinkRecheckMs / 2 + TimerAllowanceMs);
    QCOMPARE(!restarts.isEmpty(), restart);
    for (int i = 0; i < 3; ++i)
        check();
    QCOMPARE(log.size(), 5);
    QCOMPARE(audioOut->findChildren<QObject *>(), objects);
}

void tst_AudioOut::formatSurvivesANullDefault()
{
    audio->setDevices({ device("alpha") });
    start(5000, 1.0);
    const QPointer<QIODevice> first = audio->output(0).source;
    QCOMPARE(audio->pull(0, 800), referenceTone(defaultFormat(), 5000, 400));

    audio->setDevices({});
    check();
    QVERIFY(first);
    // A device that plays many rates, the lowest first: only the format in
    // use, 44100 Hz, keeps a 5 kHz tone right.
    audio->setDevices({ device("alpha", { 8000, 44100, 48000 }, { 1, 2 }) });
    check();
    QCOMPARE(audio->outputCount(), 2);
    QCOMPARE(audio->output(1).format, defaultFormat());
    QCOMPARE(audio->output(1).source, first);
    QCOMPARE(generatorCount(), 1);
    QCOMPARE(audio->pull(1, 800), referenceTone(defaultFormat(), 5000, 800).mid(800));
}

void tst_AudioOut::timerChecksTheDefault()
{
    start();
    QCOMPARE(audio->outputCount(), 0);
    audio->setDevices({ device("alpha") });
    QTRY_COMPARE_WITH_TIMEOUT(audio->outputCount(), 1, AudioOut::CheckIntervalMs + 2000);
    QCOMPARE(log, QStringList({ "0.02 20", "\"\"", "\"\"", "\"\"", "\"alpha\"" }));
}

static qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void tst_AudioOut::soakReleasesWhatItReplaces()
{
    // Changes alternate between a device that takes the current format and
    // one that does not, which also replaces the tone device. Low rates keep
    // each synthesis cheap.
    const FakeDevice low = device("low", { 8000 });
    const FakeDevice high = device("high", { 11025 });
    const FakeDevice both = device("both", { 8000, 11025 });
    const QList<QPair<FakeDevice, int>> cycle = {
        { both, 8000 }, { high, 11025 }, { both, 11025 }, { low, 8000 }
    };
    audio->setDevices({ low });
    start(440);
    auto change = [&](int step) {
        const QPair<FakeDevice, int> &next = cycle.at(step % cycle.size());
        audio->setDevices({ next.first });
        check();
        const FakeOutputRecord out = audio->output(audio->outputCount() - 1);
        QCOMPARE(out.device, next.first.name);
        QCOMPARE(out.format.sampleRate(), next.second);
    };
    for (int i = 0; i < 52; ++i) // let the allocator settle first
        change(i);
    const qint64 before = residentKiB();

    for (int i = 0; i < 1000; ++i) {
        change(i);
        if (QTest::currentTestFailed())
            return;
    }

    // Whatever was replaced is gone: one tone device, one output.
    QCOMPARE(generatorCount(), 1);
    QCOMPARE(audioOut->findChildren<QAudioOutput *>().size(), 1);
    int liveOutputs = 0;
    for (int i = 0; i < audio->outputCount(); ++i)
        liveOutputs += audio->output(i).destroyed ? 0 : 1;
    QCOMPARE(liveOutputs, 1);
    QCOMPARE(audio->outputCount(), 1053);

    const qint64 after = residentKiB();
    qInfo("resident set after 52 changes: %lld KiB, after 1052: %lld KiB", before, after);
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer holds freed memory back on purpose, so only a plain
    // build says anything about growth.
    QVERIFY2(after - before < 2048, qPrintable(QString::number(after - before)));
#endif
}

void tst_AudioOut::recovery_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<Played>("played");
    // What the server reports at each check, one letter a check: n no server,
    // s a server with the sink, o one with another sink only. Each is told as
    // an event, and the check it asks for runs before the regular one.
    QTest::addColumn<QString>("servers");
    QTest::addColumn<int>("rebuilds");
    // The check after which a restart is first asked for; 0 for none.
    QTest::addColumn<int>("restartAt");
    // What the program says of it, a letter a line: K the stream was killed,
    // S it stalled, F it failed, N no server answers, A the server answers
    // again.
    QTest::addColumn<QString>("said");

    QTest::newRow("healthy") << Fault::None << Played::Checked << "ssssss" << 0 << 0 << "";
    // The sink went and came back between two checks: Qt sees nothing amiss
    // but the space its output reports free.
    QTest::newRow("killed stream") << Fault::Kill << Played::Checked << "sss" << 1 << 0 << "K";
    QTest::newRow("killed stream, server gone")
            << Fault::Kill << Played::Checked << "nnnn" << 0 << 0 << "N";
    // Rebuilds that never play wait for twice as many checks each time.
    QTest::newRow("a sink that kills every stream")
            << Fault::KillEvery << Played::Checked << "ssssssssssss" << 3 << 0 << "KKK";
    // Half a minute of suspension: two rebuilds, then the pauses grow.
    QTest::newRow("suspended sink, 30 s")
            << Fault::Suspend << Played::Checked << "ssssss" << 2 << 0 << "SS";
    QTest::newRow("suspended sink, a minute")
            << Fault::Suspend << Played::Checked << "ssssssssssss" << 3 << 0 << "SSS";
    // The server went away and came back in time for Qt's own reconnect.
    QTest::newRow("server back at once")
            << Fault::Fail << Played::Checked << "sss" << 1 << 0 << "F";
    // Qt's backend gave up on the server: rebuilding fails at once, and only a
    // fresh process plays again.
    QTest::newRow("server lost, back before a check")
            << Fault::LoseServer << Played::Checked << "ssss" << 1 << 1 << "F";
    QTest::newRow("server lost for good")
            << Fault::LoseServer << Played::Checked << "nnnnnnnnnnnn" << 0 << 0 << "N";
    QTest::newRow("server lost, back after a while")
            << Fault::LoseServer << Played::Checked << "nnnnssss" << 1 << 5 << "NAF";
    // Qt still names the sink that was: no stream is started on it.
    QTest::newRow("server lost, back with another sink")
            << Fault::LoseServer << Played::Checked << "noo" << 0 << 2 << "NA";
    // However briefly the tone played, the restart counts as one that did.
    QTest::newRow("server lost a second after start")
            << Fault::LoseServer << Played::Briefly << "ss" << 1 << 1 << "F";
    QTest::newRow("server lost before anything played")
            << Fault::LoseServer << Played::Never << "ss" << 1 << 1 << "F";
}

void tst_AudioOut::recovery()
{
    QFETCH(Fault, fault);
    QFETCH(Played, played);
    QFETCH(QString, servers);
    QFETCH(int, rebuilds);
    QFETCH(int, restartAt);
    QFETCH(QString, said);

    FakeDevice alpha = device("alpha");
    audio->setDevices({ alpha });
    setServer(Server::WithSink);
    start(440, 0.5);
    QSignalSpy playing(audioOut.get(), &AudioOut::playing);
    QSignalSpy checks(audioOut.get(), &AudioOut::checked);
    if (played == Played::Checked) {
        check(); // the output's first check, from which on it is measured
        check(); // it plays
    } else if (played == Played::Briefly) {
        audio->play(1000000);
    }
    QSignalSpy restarts(audioOut.get(), &AudioOut::restartNeeded);
    const int logged = log.size();
    QVERIFY(account.isEmpty());

    if (fault == Fault::Kill || fault == Fault::KillEvery)
        audio->kill(0);
    else if (fault == Fault::Fail)
        audio->fail(0);
    else if (fault == Fault::LoseServer)
        audio->loseServer();
    alpha.suspended = fault == Fault::Suspend;
    alpha.killsStreams = fault == Fault::KillEvery;
    audio->setDevices({ alpha });

    int firstRestart = 0;
    for (int i = 0; i < servers.size(); ++i) {
        const int checked = checks.count();
        setServer(servers.at(i) == 's'           ? Server::WithSink
                          : servers.at(i) == 'o' ? Server::WithOtherSink
                                                 : Server::Unreachable);
        QTRY_VERIFY(checks.count() > checked);
        check();
        if (!restarts.isEmpty() && firstRestart == 0)
            firstRestart = i + 1;
    }
    QCOMPARE(firstRestart, restartAt);
    // Once the process is known to be past saving, every check with a server
    // asks again, and nothing more is rebuilt or logged.
    if (restartAt > 0)
        QVERIFY(restarts.count() >= int(servers.size()) - restartAt + 1);
    QCOMPARE(playing.count(), played == Played::Never ? 0 : 1);
    QCOMPARE(audio->outputCount(), 1 + rebuilds);
    QStringList rebuilt;
    for (int i = 0; i < rebuilds; ++i)
        rebuilt << "\"alpha\""
                << "\"alpha\"";
    QCOMPARE(log.mid(logged), rebuilt);
    QStringList lines;
    for (const QChar letter : said) {
        lines << QHash<QChar, QString> {
            { 'K', "warning: The audio server took the stream on Alpha away; starting it again" },
            { 'S', "info: Nothing played on Alpha since the last check; starting it again" },
            { 'F', "info: Starting the tone again on Alpha" },
            { 'N', "warning: No audio server answers; waiting for one" },
            { 'A', "info: The audio server answers again" }
        }.value(letter);
    }
    QCOMPARE(account, lines);
    // Every rebuild is the tone on the same device, at the same volume.
    for (int i = 1; i <= rebuilds; ++i) {
        QCOMPARE(audio->output(i).device, QStringLiteral("alpha"));
        QCOMPARE(audio->output(i).volume, 0.5);
        QCOMPARE(audio->output(i).source, audio->output(0).source);
    }
}

void tst_AudioOut::events_data()
{
    // What the server reports: its default switched to beta, or this
    // process's stream gone.
    QTest::addColumn<QString>("change");
    // How much later Qt's backend sees the change; -1 for never.
    QTest::addColumn<int>("qtLateMs");

    QTest::newRow("default switched") << "default" << 0;
    QTest::newRow("default switched, Qt 300 ms behind") << "default" << 300;
    QTest::newRow("default switched, Qt never catches up") << "default" << -1;
    QTest::newRow("stream killed") << "kill" << 0;
    QTest::newRow("stream killed, Qt 300 ms behind") << "kill" << 300;
}

void tst_AudioOut::events()
{
    QFETCH(QString, change);
    QFETCH(int, qtLateMs);

    audio->setDevices({ device("alpha"), device("beta") });
    setServer(Server::WithSink);
    start();
    check();
    check();
    // Only the server's events drive the checks here.
    for (QTimer *timer : audioOut->findChildren<QTimer *>()) {
        if (timer->interval() == AudioOut::CheckIntervalMs)
            timer->stop();
    }
    QSignalSpy checks(audioOut.get(), &AudioOut::checked);
    QTest::qWait(AudioOut::EventDelayMs + TimerAllowanceMs);
    QCOMPARE(audio->outputCount(), 1);
    checks.clear();

    // The server tells of the change before Qt has it.
    ServerState state = serverState();
    if (change == "default")
        state.defaultSink = QStringLiteral("beta");
    else
        state.streams.clear();
    QElapsedTimer clock;
    clock.start();
    audioOut->serverChanged(state);
    if (qtLateMs >= 0) {
        QTest::qWait(qtLateMs);
        if (change == "default")
            audio->setDevices({ device("beta"), device("alpha") });
        else
            audio->kill(0);
    }

    if (qtLateMs < 0) {
        // Checks follow for a while, then stop: nothing wakes the program
        // while Qt and the server disagree for good.
        QTest::qWait(AudioOut::CatchUpMs + TimerAllowanceMs);
        const int checked = checks.count();
        QVERIFY(checked >= 2);
        QVERIFY(checked <= AudioOut::CatchUpMs / AudioOut::CatchUpIntervalMs + 2);
        QTest::qWait(1000);
        QCOMPARE(checks.count(), checked);
        QCOMPARE(audio->outputCount(), 1);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(audio->outputCount(), 2, AudioOut::CatchUpMs);
    qInfo("acted on after %lld ms", clock.elapsed());
    QVERIFY(clock.elapsed() <= qtLateMs + AudioOut::CatchUpIntervalMs + TimerAllowanceMs);
    const QString name = change == "default" ? "beta" : "alpha";
    QCOMPARE(log.mid(3), QStringList({ "\"alpha\"", '"' + name + '"' }));
    QCOMPARE(audio->output(1).device, name);
}

void tst_AudioOut::severalOutputs_data()
{
    // The outputs named with --device; none for --all.
    QTest::addColumn<QStringList>("named");
    // What befalls the device gamma once all play.
    QTest::addColumn<QString>("change");
    // Devices that play at the end, and the outputs built in all.
    QTest::addColumn<QStringList>("playing");
    QTest::addColumn<int>("outputs");
    QTest::addColumn<QString>("status");
    // A line it says of the change.
    QTest::addColumn<QString>("said");

    const QString three = "Playing 440 Hz at volume 1 on 3 outputs";
    QTest::newRow("every output") << QStringList() << "" << QStringList { "alpha", "beta", "gamma" }
                                  << 3 << three << "info: Playing on \"gamma\"";
    QTest::newRow("one added") << QStringList() << "added"
                               << QStringList { "alpha", "beta", "gamma" } << 3 << three
                               << "info: Playing on \"gamma\"";
    QTest::newRow("one removed") << QStringList() << "removed" << QStringList { "alpha", "beta" }
                                 << 3 << "Playing 440 Hz at volume 1 on 2 outputs"
                                 << "info: \"gamma\" is gone; waiting for it to return";
    QTest::newRow("one removed and returned")
            << QStringList() << "returned" << QStringList { "alpha", "beta", "gamma" } << 4 << three
            << "info: \"gamma\" is gone; waiting for it to return";
    QTest::newRow("one killed") << QStringList() << "killed"
                                << QStringList { "alpha", "beta", "gamma" } << 4 << three
                                << "warning: The audio server took the stream on Gamma away; "
                                   "starting it again";
    QTest::newRow("one moved by the server")
            << QStringList() << "moved" << QStringList { "alpha", "beta", "gamma" } << 4 << three
            << "warning: The audio server moved the stream on Gamma away; starting it again";
    QTest::newRow("one needs another format")
            << QStringList() << "stereo" << QStringList { "alpha", "beta", "gamma" } << 3 << three
            << "info: Playing on \"gamma\"";
    // What a server offers only when it has no other output is no output.
    QTest::newRow("only the dummy output")
            << QStringList() << "dummy" << QStringList() << 0 << "Waiting for an output device"
            << "";
    QTest::newRow("the named ones, one absent")
            << QStringList { "beta", "delta" } << "" << QStringList { "beta" } << 1
            << "Playing 440 Hz at volume 1 on 1 output, waiting for \"delta\""
            << "info: Playing on \"beta\"";
    QTest::newRow("a named one appears")
            << QStringList { "gamma" } << "added" << QStringList { "gamma" } << 1
            << "Playing 440 Hz at volume 1 on 1 output"
            << "info: Playing on \"gamma\"";
}

void tst_AudioOut::severalOutputs()
{
    QFETCH(QStringList, named);
    QFETCH(QString, change);
    QFETCH(QStringList, playing);
    QFETCH(int, outputs);
    QFETCH(QString, status);
    QFETCH(QString, said);

    FakeDevice gamma = device("gamma");
    if (change == "stereo")
        gamma = device("gamma", { 48000 }, { 2 });
    const QList<FakeDevice> all { device("alpha"), device("beta"), gamma };
    auto setDevices = [this](const QList<FakeDevice> &devices) {
        audio->setDevices(devices);
        setServer(Server::WithSink);
    };
    if (change == "dummy")
        setDevices({ device(AudioOut::DummySink) });
    else
        setDevices(change == "added" ? all.mid(0, 2) : all);
    start(440, 1.0, { named.isEmpty(), named });
    check();
    check();
    if (change == "added") {
        setDevices(all);
    } else if (change == "removed" || change == "returned") {
        setDevices(all.mid(0, 2));
        check();
        if (change == "returned")
            setDevices(all);
    } else if (change == "killed" || change == "moved") {
        for (int i = 0; i < audio->outputCount(); ++i) {
            if (audio->output(i).device == "gamma" && change == "killed")
                audio->kill(i);
            else if (audio->output(i).device == "gamma")
                audio->move(i, "alpha");
        }
        setServer(Server::WithSink);
    }
    check();
    check();

    // One stream a device, and none left where the server moved one.
    QCOMPARE(audio->liveStreams(), playing);
    QCOMPARE(audio->outputCount(), outputs);
    QCOMPARE(audioOut->status(), status);
    QVERIFY2(said.isEmpty() || account.contains(said), qPrintable(account.join('\n')));
    // Not a line names a move: those belong to following the default.
    QCOMPARE(log, QStringList({ "1 440" }));
    // Each output reads a tone of its own, in the format of its device: two
    // rounds of reads from all of them, and each output's bytes run on
    // without a gap.
    QList<int> live;
    for (int i = 0; i < audio->outputCount(); ++i) {
        if (!audio->output(i).destroyed && audio->output(i).stops == 0)
            live << i;
    }
    QCOMPARE(live.size(), playing.size());
    QHash<int, QByteArray> pulled;
    for (int round = 0; round < 2; ++round) {
        for (const int i : qAsConst(live))
            pulled[i] += audio->pull(i, 300);
    }
    for (const int i : qAsConst(live)) {
        const QAudioFormat format = audio->output(i).format;
        QCOMPARE(format,
                 audio->output(i).device == "gamma" && change == "stereo" ? makeFormat(48000, 2, 16)
                                                                          : defaultFormat());
        const QByteArray second = referenceTone(format, 440, format.sampleRate());
        QVERIFY2((second + second).contains(pulled.value(i)),
                 qPrintable(audio->output(i).device + " skipped"));
    }
}

void tst_AudioOut::serverEvents()
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
        return events.state().reachable && events.state().defaultSink == defaultSink
                && names == sinks;
    };
    QTRY_VERIFY(reports("alpha", { "alpha" }));
    QCOMPARE(events.state().streams, QStringList());

    // This process's own streams are counted, another client's are not.
    ChildProcess other;
    other.setProcessEnvironment(server.environment());
    other.start(QStringLiteral("pacat"), { QStringLiteral("/dev/zero") });
    const pa_sample_spec sampleFormat { PA_SAMPLE_S16LE, 44100, 1 };
    const QByteArray address = server.address().toLocal8Bit();
    pa_simple *own = pa_simple_new(address.constData(), "test", PA_STREAM_PLAYBACK, nullptr, "own",
                                   &sampleFormat, nullptr, nullptr, nullptr);
    QVERIFY(own);
    QTRY_COMPARE(events.state().streams, QStringList({ "alpha" }));
    pa_simple_free(own);
    QTRY_COMPARE(events.state().streams, QStringList());
    QString inputs;
    QVERIFY(server.pactl({ "list", "short", "sink-inputs" }, &inputs));
    QCOMPARE(inputs.count('\n'), 1);

    QVERIFY(server.loadSink({ "beta" }));
    QTRY_VERIFY(reports("alpha", { "alpha", "beta" }));
    QVERIFY(server.setDefaultSink("beta"));
    QTRY_VERIFY(reports("beta", { "alpha", "beta" }));
    QVERIFY(server.unloadSink("beta"));
    QTRY_VERIFY(reports("alpha", { "alpha" }));

    // It follows the server away and back.
    server.stop();
    QTRY_VERIFY(!events.state().reachable);
    QVERIFY2(server.start({ { "gamma" } }), qPrintable(server.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(reports("gamma", { "gamma" }),
                             PulseEvents::ReconnectMs + 2 * TimerAllowanceMs);
    // Every change was told once, and only a change.
    for (int i = 1; i < changes.size(); ++i)
        QVERIFY(changes.at(i).value(0).value<ServerState>()
                != changes.at(i - 1).value(0).value<ServerState>());
    qunsetenv("PULSE_SERVER");
}

void tst_AudioOut::restartBackoff_data()
{
    QTest::addColumn<int>("restarts");
    QTest::addColumn<qint64>("delayMs");

    // Restarts in a row that found nothing to play: the first waits a
    // minute, each further one twice as long, up to 64 minutes.
    QTest::newRow("none yet") << 0 << qint64(0);
    QTest::newRow("one") << 1 << qint64(60000);
    QTest::newRow("two") << 2 << qint64(120000);
    QTest::newRow("seven") << 7 << qint64(3840000);
    QTest::newRow("a hundred") << 100 << qint64(3840000);
}

void tst_AudioOut::restartBackoff()
{
    QFETCH(int, restarts);
    QFETCH(qint64, delayMs);
    QCOMPARE(Service::restartDelayMs(restarts), delayMs);
}

void tst_AudioOut::fuzzedArguments()
{
    QRandomGenerator random(20261207);
    auto bytes = [&random](int length, int low, int high) {
        QByteArray out;
        for (int i = 0; i < length; ++i)
            out.append(char(random.bounded(low, high + 1)));
        return out;
    };
    auto pick = [&random](const QList<QByteArray> &from) {
        return from.at(random.bounded(from.size()));
    };
    const QList<QByteArray> special = {
        "nan",        "-nan",        "inf", "+inf",  "-inf",     "-0",
        "+0",         "0",           "0.0", "1e999", "-1e999",   "1e-999",
        "0x10",       "0b11",        "010", "1e3",   "4.9e-324", "1.7976931348623157e308",
        "2147483648", "-2147483649", "440", "0.5",   "-440",     "NaN",
        "Infinity",   "1,5",         "١٢٣"
    };

    QList<QList<QByteArray>> vectors;
    for (int i = 0; i < 2000; ++i) {
        QList<QByteArray> arguments;
        const int count = i % 10 == 8 ? random.bounded(3, 9) : random.bounded(0, 3);
        for (int a = 0; a < count; ++a) {
            switch ((i + a) % 10) {
            case 0:
                arguments.append(bytes(random.bounded(0, 41), 1, 255));
                break;
            case 1:
                arguments.append(bytes(random.bounded(1, 11), 0x80, 0xff));
                break;
            case 2:
                arguments.append(QByteArray());
                break;
            case 3:
                arguments.append(pick({ "", "-", "+" }) + bytes(random.bounded(10, 400), '0', '9'));
                break;
            case 4:
                arguments.append(QByteArray::number(random.bounded(1, 10)) + "e"
                                 + QByteArray::number(random.bounded(-400, 401)));
                break;
            case 5:
                arguments.append(pick(special));
                break;
            case 6:
                arguments.append(bytes(random.bounded(0, 4), ' ', ' ') + pick(special)
                                 + bytes(random.bounded(0, 4), '\t', '\t'));
                break;
            case 7:
                arguments.append(bytes(100 * 1024, 0x21, 0x7e));
                break;
            case 8:
                arguments.append(pick(special) + pick(special));
                break;
            default: {
                static const QByteArray alphabet = "0123456789+-.eExXn ";
                QByteArray mixed;
                for (int c = random.bounded(1, 12); c > 0; --c)
                    mixed.append(alphabet.at(random.bounded(alphabet.size())));
                arguments.append(mixed);
            }
            }
        }
        vectors.append(arguments);
    }

    // Each vector goes the way of a real start: decoded as QCoreApplication
    // decodes argv, parsed as main parses it, then played.
    audio->setDevices({ device("alpha") });
    const QRegularExpression settings(QStringLiteral("^(\\S+) (-?\\d+)$"));
    for (int i = 0; i < vectors.size(); ++i) {
        QStringList arguments { QStringLiteral("steadytone") };
        QByteArray shown;
        for (const QByteArray &argument : vectors.at(i)) {
            arguments.append(QString::fromLocal8Bit(argument));
            shown += '"' + argument.left(40).toPercentEncoding() + "\" ";
        }
        const QString run = QStringLiteral("run %1 (%2)").arg(i).arg(QString::fromLatin1(shown));
        const Arguments parsed(arguments);
        if (parsed.request != Arguments::Play)
            continue;
        start(parsed.frequency, parsed.volume);
        // Whatever was asked for, the tone in effect is one that can be.
        const QRegularExpressionMatch line = settings.match(log.value(0));
        QVERIFY2(line.hasMatch(), qPrintable(run + ": " + log.value(0)));
        const double volume = line.captured(1).toDouble();
        const int frequency = line.captured(2).toInt();
        QVERIFY2(std::isfinite(volume) && volume > 0.0, qPrintable(run + ": " + log.value(0)));
        QVERIFY2(frequency != 0 && qAbs(frequency) < AudioOut::SampleRate / 2,
                 qPrintable(run + ": " + log.value(0)));
        QVERIFY2(log.mid(1) == QStringList({ "\"\"", "\"alpha\"" }), qPrintable(run));
        const FakeOutputRecord out = audio->output(0);
        QVERIFY2(out.volume >= 0.0 && out.volume <= 1.0, qPrintable(run));
        QVERIFY2(audio->pull(0, 4096).size() == 4096, qPrintable(run));
        audioOut.reset();
        audio->clearOutputs();
        log.clear();
    }
}

QTEST_GUILESS_MAIN(tst_AudioOut)
#include "tst_audioout.moc"
