#include "audioout.h"
#include "deviceplayer.h"
#include "fakeaudiocontrol.h"
#include "generator.h"
#include "linethrottle.h"
#include "narrator.h"
#include "recovery.h"
#include "tonereference.h"

#include <QAudioOutput>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(FakeDevice)
Q_DECLARE_METATYPE(ServerState::Mixer)
Q_DECLARE_METATYPE(FreshStart::Reason)

// How late a single-shot timer may fire on a loaded machine.
constexpr int TimerAllowanceMs = 500;

// What the audio server itself reports, past Qt: nothing; a server without
// sinks; one with the sinks Qt knows; one with another sink only.
enum class Server { Unreachable, WithoutSink, WithSink, WithOtherSink };
Q_DECLARE_METATYPE(Server)

// What befalls the playing output in the fault rows.
enum class Fault { Kill, Fail, LoseServer, Suspend };
Q_DECLARE_METATYPE(Fault)

namespace {

QStringList *capturedLog = nullptr;
QStringList *capturedAccount = nullptr;
QtMessageHandler defaultHandler = nullptr;

// The program's long-standing debug lines are captured, and its own account
// of what it does, with the type of each line; Qt's messages are shown as
// usual.
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

// The controller, its players and its narrator, driving a simulated audio
// system through Qt's own QAudioDeviceInfo and QAudioOutput, and told what the
// server reports. The rules the players follow are the decisions' tables; here
// is how they are wired: which fault gives which line, signal or new output.
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
    void nothingOnADeviceTheServerHasNot();
    void nullDefault_data();
    void nullDefault();
    void firstCheckWithoutServer();
    void soakReleasesWhatItReplaces();
    void faults_data();
    void faults();
    void playedIsWhatTheServerTook();
    void aPlayerWritesAtEachTick();
    void aMoveForgetsTheBackoff();
    void lostBackendPlaysNothing();
    void mixers_data();
    void mixers();
    void serverReturns_data();
    void serverReturns();
    void killStormThatEnds();
    void qtBehind_data();
    void qtBehind();
    void severalOutputs_data();
    void severalOutputs();
    void ticksFallTogether();
    void flappingIsQuiet();
    void heldLinesGoWithTheServer();
    void pausedAndResumed();

private:
    void start(const Tone::Settings &tone = {}, const Tone::Outputs &outputs = {});
    // What the server reports from now on, told at once, as its events do.
    void setServer(Server server);
    // What it reports of the simulated system, as it is now.
    ServerState serverState() const;
    // Where the live outputs' streams play, sorted.
    QStringList liveStreams() const { return serverState().streamSinks(); }
    // A check interval passes, then a regular check.
    void check(bool release = true);
    static void releaseReplaced();
    int generatorCount() const;
    // The program's account since start, with what it said at start left
    // out, and what the throttle held back and summed up counted once.
    QStringList accountSinceStart() const;

    FakeAudioControl *audio = nullptr;
    std::unique_ptr<Narrator> narrator;
    std::unique_ptr<AudioOut> audioOut;
    QStringList log;
    QStringList account;
    int accountAtStart = 0;
    qint64 simulatedMs = 0;
    Server server = Server::Unreachable;
    // Where the mixers stand, for every sink and every stream of the program.
    ServerState::Mixer sinkMixer;
    ServerState::Mixer streamMixer;
};

void tst_AudioOut::initTestCase()
{
    // Only the simulated system: no ALSA fallback, so "no device" means none.
    QCoreApplication::setLibraryPaths({ QStringLiteral(FAKEAUDIO_PLUGIN_DIR) });
    QPluginLoader loader(QStringLiteral(FAKEAUDIO_PLUGIN_FILE));
    audio = qobject_cast<FakeAudioControl *>(loader.instance());
    QVERIFY2(audio, qPrintable(loader.errorString()));
    qRegisterMetaType<FreshStart::Reason>();
    capturedLog = &log;
    capturedAccount = &account;
    defaultHandler = qInstallMessageHandler(captureDebug);
}

void tst_AudioOut::cleanup()
{
    audioOut.reset();
    narrator.reset();
    audio->clearOutputs();
    audio->setDevices({});
    log.clear();
    account.clear();
    server = Server::Unreachable;
    sinkMixer = streamMixer = ServerState::Mixer();
}

ServerState tst_AudioOut::serverState() const
{
    ServerState state;
    state.reach = server == Server::Unreachable ? ServerState::Unreachable : ServerState::Reachable;
    if (server == Server::WithSink || server == Server::WithOtherSink) {
        // The simulated system's devices, or one that Qt does not report.
        QList<FakeDevice> sinks = audio->devices();
        if (sinks.isEmpty())
            sinks << device("alpha");
        if (server == Server::WithOtherSink)
            sinks = { device("omega") };
        state.defaultSink = sinks.first().name;
        for (const FakeDevice &sink : qAsConst(sinks))
            state.sinks.append({ sink.name, sink.name.left(1).toUpper() + sink.name.mid(1),
                                 sink.suspended, sinkMixer });
    }
    for (const int i : audio->liveOutputs()) {
        const FakeOutputRecord out = audio->output(i);
        state.streams.append({ quint32(i), out.movedTo.isEmpty() ? out.device : out.movedTo,
                               out.device, streamMixer });
    }
    return state;
}

void tst_AudioOut::setServer(Server kind)
{
    server = kind;
    if (audioOut)
        audioOut->serverChanged(serverState());
}

void tst_AudioOut::start(const Tone::Settings &tone, const Tone::Outputs &outputs)
{
    narrator = std::make_unique<Narrator>(tone, outputs);
    audioOut = std::make_unique<AudioOut>(tone, outputs, narrator.get());
    // The server does what it is asked to: a stream it moved away goes back.
    connect(audioOut.get(), &AudioOut::streamMovedAway, this, [this](quint32 index) {
        audio->move(int(index), audio->output(int(index)).device);
        setServer(server);
    });
    // Time runs with the check intervals that pass here.
    simulatedMs = 0;
    const auto clock = [this] { return simulatedMs; };
    narrator->setClock(clock);
    audioOut->setClock(clock);
    // The server's state is known before the first check, which start() runs.
    setServer(server);
    audioOut->start();
    accountAtStart = account.size();
}

void tst_AudioOut::check(bool release)
{
    // Every output that can play does; the server has told of the streams
    // that came and went.
    audio->play(qint64(AudioOut::CheckIntervalMs) * 1000);
    simulatedMs += AudioOut::CheckIntervalMs;
    if (server != Server::Unreachable)
        setServer(server);
    audioOut->checkOut();
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

QStringList tst_AudioOut::accountSinceStart() const
{
    QStringList lines;
    for (QString line : account.mid(accountAtStart)) {
        line.remove(QRegularExpression(
                QStringLiteral(" \\(the last of \\d+ such lines in \\d+ s\\)$")));
        if (lines.isEmpty() || lines.constLast() != line)
            lines << line;
    }
    return lines;
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
    server = Server::WithSink;

    start({ 20, 0.5 });
    releaseReplaced();

    QCOMPARE(log, QStringList({ "0.5 20", "\"\"", "\"alpha\"" }));
    QCOMPARE(account,
             QStringList({ "info: Playing 20 Hz at volume 0.5 on the default output, following "
                           "it as it changes",
                           "info: Playing 20 Hz at volume 0.5 on Alpha (alpha)" }));
    QCOMPARE(narrator->status(), QStringLiteral("Playing 20 Hz at volume 0.5 on Alpha (alpha)"));
    QCOMPARE(audio->outputCount(), 1);
    QCOMPARE(generatorCount(), 1);
    const FakeOutputRecord out = audio->output(0);
    QCOMPARE(out.device, QStringLiteral("alpha"));
    QCOMPARE(out.format, format);
    QCOMPARE(out.starts, 1);
    QCOMPARE(out.stops, 0);
    QCOMPARE(out.volume, 0.5);
    // The tone, from its start, a whole buffer of it at once.
    const int buffer = format.bytesForDuration(FakeAudioControl::BufferUs);
    QCOMPARE(out.written, referenceTone(format, 20, format.sampleRate()).left(buffer));
}

void tst_AudioOut::noDeviceAtStart()
{
    // With no server, Qt's backend reports a default device all the same,
    // with no name; Qt plays it on a null output of its own.
    start({ 440 });
    QCOMPARE(log, QStringList({ "0.02 440", "\"\"", "\"\"" }));
    QCOMPARE(account.mid(1),
             QStringList({ "info: No audio server answers yet; waiting for one",
                           "warning: No output device; waiting for one" }));
    QCOMPARE(narrator->status(), QStringLiteral("Waiting for an audio server"));
    QCOMPARE(audio->outputCount(), 0);
    check();
    QCOMPARE(log.size(), 3);
    QCOMPARE(audio->outputCount(), 0);
    QCOMPARE(generatorCount(), 1);

    // The null device left the format alone: the tone carries on in it.
    // With no server to say what is heard, nothing says it plays there.
    audio->setDevices({ device("alpha") });
    check();
    QCOMPARE(log, QStringList({ "0.02 440", "\"\"", "\"\"", "\"\"", "\"alpha\"" }));
    QCOMPARE(account.filter("Playing"), account.mid(0, 1));
    QCOMPARE(audio->outputCount(), 1);
    QCOMPARE(audio->output(0).written.left(400), referenceTone(defaultFormat(), 440, 200));
}

void tst_AudioOut::unchangedChecksDoNothing()
{
    audio->setDevices({ device("alpha"), device("beta") });
    server = Server::WithSink;
    start();
    const QStringList startLog = log;
    const QObjectList objects = audioOut->findChildren<QObject *>();
    for (int i = 0; i < 3; ++i)
        check();
    QCOMPARE(log, startLog);
    QCOMPARE(audio->outputCount(), 1);
    QCOMPARE(audioOut->findChildren<QObject *>(), objects);
    QCOMPARE(audio->output(0).stops, 0);
    QCOMPARE(accountSinceStart(), QStringList());
}

void tst_AudioOut::changeToDeviceThatTakesTheFormat()
{
    audio->setDevices({ device("alpha"), device("beta") });
    start({ 20, 0.5 });
    const QByteArray tone = referenceTone(defaultFormat(), 20, 44100);

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
    QCOMPARE(now.volume, 0.5);
    QCOMPARE(generatorCount(), 1);
    // The same tone device carries on where the old output left it.
    QCOMPARE(now.written.left(1000), tone.mid(int(old.writtenBytes), 1000));
}

void tst_AudioOut::changeToDeviceThatDoesNot()
{
    audio->setDevices({ device("alpha") });
    start({ 1000 });
    const QPointer<Generator> first = audioOut->findChild<Generator *>();

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
    QCOMPARE(generatorCount(), 1);
    // A new tone, for the new format, from its start.
    const QByteArray tone = referenceTone(stereo, 1000, 48000);
    QCOMPARE(now.written.left(4000), tone.left(4000));

    // The adapted format stays: a device that takes both keeps it.
    audio->setDevices({ device("delta", { 44100, 48000 }, { 1, 2 }) });
    check();
    QCOMPARE(audio->output(2).format, stereo);
    QCOMPARE(generatorCount(), 1);
    QCOMPARE(audio->output(2).written.left(4000),
             tone.mid(int(audio->output(1).writtenBytes), 4000));
}

void tst_AudioOut::nothingOnADeviceTheServerHasNot()
{
    // Qt's backend still reports a device the server has already let go: a
    // stream started there could block Qt for good.
    audio->setDevices({ device("alpha"), device("beta") });
    server = Server::WithSink;
    start();
    ServerState state = serverState();
    state.sinks.removeLast();
    audioOut->serverChanged(state);
    audio->setDevices({ device("beta"), device("alpha") });
    audioOut->checkOut();
    QCOMPARE(audio->outputCount(), 1);
    QCOMPARE(log.size(), 3);

    // Once the server has it, playback moves there.
    state.sinks = { { "alpha", "Alpha", false, {} }, { "beta", "Beta", false, {} } };
    state.defaultSink = QStringLiteral("beta");
    audioOut->serverChanged(state);
    audioOut->checkOut();
    QCOMPARE(audio->outputCount(), 2);
    QCOMPARE(audio->output(1).device, QStringLiteral("beta"));
}

void tst_AudioOut::nullDefault_data()
{
    QTest::addColumn<Server>("server");
    QTest::addColumn<bool>("restart");

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
    // A sink Qt does not report may just have appeared and not reached Qt
    // yet: nothing is done at once, only when it is still so a moment later.
    setServer(server);
    audioOut->checkOut();
    QCOMPARE(restarts.count(), 0);
    simulatedMs += AudioOut::HiddenSinkRecheckMs;
    audioOut->checkOut();
    QCOMPARE(!restarts.isEmpty(), restart);
    if (restart)
        QCOMPARE(restarts.first().value(0).value<FreshStart::Reason>(),
                 FreshStart::BackendNeverReached);
    for (int i = 0; i < 3; ++i)
        check();
    QCOMPARE(log.size(), 5);
    QCOMPARE(audioOut->findChildren<QObject *>(), objects);
}

void tst_AudioOut::firstCheckWithoutServer()
{
    // The first check waits for the server's state, but not for ever.
    audio->setDevices({ device("alpha") });
    narrator = std::make_unique<Narrator>(Tone::Settings(), Tone::Outputs());
    audioOut = std::make_unique<AudioOut>(Tone::Settings(), Tone::Outputs(), narrator.get());
    audioOut->start();
    QCOMPARE(log.size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(audio->outputCount(), 1,
                              AudioOut::FirstStateWaitMs + TimerAllowanceMs);
    QCOMPARE(log, QStringList({ "0.02 20", "\"\"", "\"alpha\"" }));
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
    start({ 440 });
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

void tst_AudioOut::faults_data()
{
    QTest::addColumn<Fault>("fault");
    // What the server reports at each check, one letter a check: n no
    // server, s a server with the sink. Each change is told as an event, and
    // the check it asks for runs before the regular one.
    QTest::addColumn<QString>("servers");
    QTest::addColumn<int>("rebuilds");
    // The check after which a fresh start is first asked for; 0 for none.
    QTest::addColumn<int>("restartAt");
    // What the program says of it, a letter a line: K the stream was killed,
    // U its sink suspended, S it stalled, F it failed, N no server answers,
    // A the server answers again.
    QTest::addColumn<QString>("said");
    QTest::addColumn<QString>("status");

    const QString playing = "Playing 440 Hz at volume 0.5 on Alpha (alpha)";
    QTest::newRow("killed stream") << Fault::Kill << "sss" << 1 << 0 << "K" << playing;
    QTest::newRow("suspended sink, a minute")
            << Fault::Suspend << "ssssssssssss" << 3 << 0 << "US"
            << "Nothing plays on Alpha (alpha): the sound server has suspended it";
    // The server went away and came back in time for Qt's own reconnect.
    QTest::newRow("server back at once") << Fault::Fail << "sss" << 1 << 0 << "F" << playing;
    // Qt's backend gave up on the server: rebuilding fails at once, and only
    // a fresh process plays again.
    QTest::newRow("server lost, back after a while")
            << Fault::LoseServer << "nnnnssss" << 1 << 5 << "NAF"
            << "Waiting for an output device";
}

void tst_AudioOut::faults()
{
    QFETCH(Fault, fault);
    QFETCH(QString, servers);
    QFETCH(int, rebuilds);
    QFETCH(int, restartAt);
    QFETCH(QString, said);
    QFETCH(QString, status);

    FakeDevice alpha = device("alpha");
    audio->setDevices({ alpha });
    server = Server::WithSink;
    start({ 440, 0.5 });
    QSignalSpy checks(audioOut.get(), &AudioOut::checked);
    check(); // the output's first check, from which on it is measured
    check(); // it plays
    simulatedMs += 1000;
    QSignalSpy restarts(audioOut.get(), &AudioOut::restartNeeded);
    const int logged = log.size();
    QCOMPARE(accountSinceStart(), QStringList());

    if (fault == Fault::Kill)
        audio->kill(0);
    else if (fault == Fault::Fail)
        audio->fail(0);
    else if (fault == Fault::LoseServer)
        audio->loseServer();
    alpha.suspended = fault == Fault::Suspend;
    audio->setDevices({ alpha });

    int firstRestart = 0;
    for (int i = 0; i < servers.size(); ++i) {
        const int checked = checks.count();
        setServer(servers.at(i) == 's' ? Server::WithSink : Server::Unreachable);
        QTRY_VERIFY(checks.count() > checked);
        check();
        if (!restarts.isEmpty() && firstRestart == 0)
            firstRestart = i + 1;
    }
    QCOMPARE(firstRestart, restartAt);
    if (restartAt > 0)
        QCOMPARE(restarts.first().value(0).value<FreshStart::Reason>(), FreshStart::BackendLost);
    QCOMPARE(audio->outputCount(), 1 + rebuilds);
    QStringList rebuilt;
    for (int i = 0; i < rebuilds; ++i)
        rebuilt << "\"alpha\""
                << "\"alpha\"";
    QCOMPARE(log.mid(logged), rebuilt);
    QStringList lines;
    for (const QChar letter : said) {
        lines << QHash<QChar, QString> {
            { 'K',
              "info: The audio server took the stream on Alpha (alpha) away; starting it again" },
            { 'S',
              "warning: Nothing played on Alpha (alpha) since the last check; starting it "
              "again" },
            { 'F', "info: Starting the tone again on Alpha (alpha)" },
            { 'N', "warning: No audio server answers; waiting for one" },
            { 'A', "info: The audio server answers" },
            { 'U',
              "warning: The sound server has suspended Alpha (alpha): nothing plays there "
              "until it resumes" }
        }.value(letter);
    }
    // Each line said, in whatever order the clock that runs here allows.
    QStringList saidNow = accountSinceStart();
    saidNow.removeDuplicates();
    saidNow.sort();
    lines.sort();
    QCOMPARE(saidNow, lines);
    QCOMPARE(narrator->status(), status);
    // Every rebuild is the tone on the same device, at the same volume,
    // where the output before it stopped.
    const QByteArray tone = referenceTone(defaultFormat(), 440, 44100);
    for (int i = 1; i <= rebuilds; ++i) {
        QCOMPARE(audio->output(i).device, QStringLiteral("alpha"));
        QCOMPARE(audio->output(i).volume, 0.5);
        qint64 before = 0;
        for (int j = 0; j < i; ++j)
            before += audio->output(j).writtenBytes;
        const int at = int(before % tone.size());
        if (!audio->output(i).destroyed && audio->output(i).writtenBytes > 0)
            QCOMPARE(audio->output(i).written.left(100), (tone + tone).mid(at, 100));
    }
}

void tst_AudioOut::playedIsWhatTheServerTook()
{
    audio->setDevices({ device("alpha"), device("beta") });
    server = Server::WithSink;
    start();
    QSignalSpy played(audioOut.get(), &AudioOut::played);
    auto total = [&played] {
        qint64 us = 0;
        for (const QList<QVariant> &each : qAsConst(played))
            us += each.value(0).toLongLong();
        return us;
    };
    // A stream taken away as it filled its first buffer played nothing, and
    // neither did the one started again that the same befell.
    audio->kill(0);
    setServer(Server::WithSink);
    QTRY_COMPARE_WITH_TIMEOUT(audio->outputCount(), 2, AudioOut::EventDelayMs + TimerAllowanceMs);
    audio->kill(1);
    audioOut->checkOut();
    QCOMPARE(total(), 0);

    // What plays beyond the first buffer counts, across a move to another
    // device and the outputs it replaced.
    audio->setDevices({ device("alpha"), device("beta"), device("gamma") });
    setServer(Server::WithSink);
    QTRY_COMPARE_WITH_TIMEOUT(audio->outputCount(), 3, AudioOut::EventDelayMs + TimerAllowanceMs);
    // The server plays a buffer at a time, and a check tops it up.
    auto playFor = [this](qint64 us) {
        for (qint64 played = 0; played < us; played += FakeAudioControl::BufferUs) {
            audio->play(FakeAudioControl::BufferUs);
            setServer(Server::WithSink);
            audioOut->checkOut();
        }
    };
    playFor(1000000);
    audio->setDevices({ device("beta"), device("alpha"), device("gamma") });
    setServer(Server::WithSink);
    audioOut->checkOut();
    QCOMPARE(audio->output(audio->outputCount() - 1).device, QStringLiteral("beta"));
    playFor(2000000);
    QCOMPARE(total(), 3000000 - 2 * Recovery::FirstFillSlackUs);
}

void tst_AudioOut::aPlayerWritesAtEachTick()
{
    // At each of its output's ticks, a player writes what the server played.
    audio->setDevices({ device("alpha") });
    DevicePlayer player({}, defaultFormat(), nullptr);
    player.moveTo(QAudioDeviceInfo::availableDevices(QAudio::AudioOutput).first());
    const qint64 buffer = defaultFormat().bytesForDuration(FakeAudioControl::BufferUs);
    QCOMPARE(audio->output(0).writtenBytes, buffer);
    audio->play(100000);
    QTRY_COMPARE_WITH_TIMEOUT(audio->output(0).writtenBytes,
                              buffer + defaultFormat().bytesForDuration(100000),
                              2 * FakeAudioControl::TickMs + TimerAllowanceMs);
}

void tst_AudioOut::aMoveForgetsTheBackoff()
{
    // A player whose outputs on alpha were taken away again and again waits
    // before the next rebuild; on beta, the first loss is answered at once.
    audio->setDevices({ device("alpha"), device("beta") });
    DevicePlayer player({}, defaultFormat(), nullptr);
    const QList<QAudioDeviceInfo> devices = QAudioDeviceInfo::availableDevices(QAudio::AudioOutput);
    ServerState state;
    state.reach = ServerState::Reachable;
    state.sinks = { { "alpha", "Alpha", false, {} }, { "beta", "Beta", false, {} } };
    auto lose = [&](qint64 nowMs) {
        audio->kill(audio->outputCount() - 1);
        return player.check(state, false, nowMs).deed;
    };
    player.moveTo(devices.at(0));
    QCOMPARE(lose(100), DevicePlayer::Report::Rebuilt);
    QCOMPARE(lose(200), DevicePlayer::Report::Nothing);
    player.moveTo(devices.at(1));
    QCOMPARE(lose(300), DevicePlayer::Report::Rebuilt);
    QCOMPARE(audio->output(audio->outputCount() - 1).device, QStringLiteral("beta"));
}

void tst_AudioOut::lostBackendPlaysNothing()
{
    // Qt's backend has lost the server for good: a move to the new default
    // fails as it starts, and nothing says it plays there.
    audio->setDevices({ device("alpha"), device("beta") });
    server = Server::WithSink;
    start({ 440, 0.5 });
    check();
    QSignalSpy restarts(audioOut.get(), &AudioOut::restartNeeded);
    audio->loseServer();
    audio->setDevices({ device("beta"), device("alpha") });
    setServer(Server::WithSink);
    QTRY_VERIFY_WITH_TIMEOUT(!restarts.isEmpty(), 2 * (AudioOut::EventDelayMs + TimerAllowanceMs));
    QCOMPARE(audio->output(audio->outputCount() - 1).device, QStringLiteral("beta"));
    QCOMPARE(accountSinceStart().filter("Playing"), QStringList());

    // The fresh start waits: the status and one line say that nothing plays,
    // and when it tries again.
    narrator->restartDeferred(FreshStart::BackendLost, 58000);
    narrator->restartDeferred(FreshStart::BackendLost, 53000);
    check();
    const QString at = QTime::currentTime().addMSecs(58000).toString("HH:mm:ss");
    QCOMPARE(accountSinceStart().filter("Nothing plays"),
             QStringList({ "warning: Nothing plays: Qt's audio backend has lost the audio server, "
                           "and the last start found nothing to play; starting afresh at "
                           + at + ", or as soon as the audio server comes back" }));
    QCOMPARE(narrator->status(),
             "Nothing plays (Qt's audio backend has lost the audio server); starting afresh at "
                     + at + ", or when the audio server comes back");
}

void tst_AudioOut::mixers_data()
{
    // Where the stream's and the sink's mixers stand, and whether the server
    // has the sink suspended, as the program starts or later; for how long,
    // before they are put back.
    QTest::addColumn<bool>("atStart");
    QTest::addColumn<bool>("suspended");
    QTest::addColumn<ServerState::Mixer>("stream");
    QTest::addColumn<ServerState::Mixer>("sink");
    QTest::addColumn<int>("heldMs");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QString>("status");

    const ServerState::Mixer top;
    const ServerState::Mixer muted { true, 1.0 };
    const QString playing = "Playing 440 Hz at volume 0.4 on Alpha (alpha)";
    const QString streamMuted = "warning: The steadytone stream on Alpha (alpha) is muted in the "
                                "mixer: nothing reaches the device";
    const QString nothing = "Nothing reaches Alpha (alpha): ";
    const int held = LineThrottle::IntervalMs;
    QTest::newRow("the stream muted") << false << false << muted << top << held << streamMuted
                                      << nothing + "the steadytone stream is muted in the mixer";
    QTest::newRow("the sink at 0 %")
            << false << false << top << ServerState::Mixer { false, 0.0 } << held
            << "warning: Alpha (alpha) is at 0 % in the mixer: nothing reaches the device"
            << nothing + "it is at 0 % in the mixer";
    QTest::newRow("the stream half-way")
            << false << false << ServerState::Mixer { false, 0.5 } << top << held
            << "info: The steadytone stream on Alpha (alpha) is at 50 % in the mixer: the device "
               "gets the tone at volume 0.05"
            << playing + ", which the mixer turns down to volume 0.05";
    QTest::newRow("muted for a moment")
            << false << false << muted << top << Narrator::SettleMs / 2 << "" << playing;
    QTest::newRow("the stream turned up")
            << false << false << ServerState::Mixer { false, 1.5 } << top << held << "" << playing;
    // The server applies a mute it remembers from an earlier run.
    QTest::newRow("a remembered mute") << true << false << muted << top << held << streamMuted
                                       << nothing + "the steadytone stream is muted in the mixer";
    // A sink that was idle is resumed as the stream starts.
    QTest::newRow("a sink suspended while idle")
            << true << true << top << top << held << "" << playing;
}

void tst_AudioOut::mixers()
{
    QFETCH(bool, atStart);
    QFETCH(bool, suspended);
    QFETCH(ServerState::Mixer, stream);
    QFETCH(ServerState::Mixer, sink);
    QFETCH(int, heldMs);
    QFETCH(QString, said);
    QFETCH(QString, status);

    FakeDevice alpha = device("alpha");
    alpha.suspended = suspended;
    audio->setDevices({ alpha });
    server = Server::WithSink;
    start({ 440, 0.4 });
    QSignalSpy ready(narrator.get(), &Narrator::ready);
    QSignalSpy checks(audioOut.get(), &AudioOut::checked);
    // Ready once the server has told of the stream, and what reaches the
    // device is settled.
    QCOMPARE(ready.count(), 0);
    if (!atStart)
        check();
    // The server tells of each change; what holds long enough is said, a
    // second after the last line about the device at the most.
    auto hold = [&](const ServerState::Mixer &streamNow, const ServerState::Mixer &sinkNow, int ms,
                    const QString &expected) {
        streamMixer = streamNow;
        sinkMixer = sinkNow;
        alpha.suspended = false;
        audio->setDevices({ alpha });
        const int checked = checks.count();
        setServer(Server::WithSink);
        QTRY_VERIFY(checks.count() > checked);
        const bool same = narrator->status() == expected;
        simulatedMs += ms;
        QTRY_COMPARE_WITH_TIMEOUT(narrator->status(), expected,
                                  Narrator::SettleMs + TimerAllowanceMs);
        // Where the status stays as it was, what is said comes once the new
        // state has held, or not at all.
        if (same)
            QTest::qWait(Narrator::SettleMs + TimerAllowanceMs / 5);
    };
    hold(stream, sink, heldMs, status);
    QCOMPARE(accountSinceStart(), said.isEmpty() ? QStringList() : QStringList { said });
    QCOMPARE(ready.count(), 1);
    if (atStart)
        QCOMPARE(ready.first().value(0).toString(), status);

    // Put back, the tone plays as before, and a line says so.
    const QString playing = "Playing 440 Hz at volume 0.4 on Alpha (alpha)";
    hold(ServerState::Mixer(), ServerState::Mixer(), LineThrottle::IntervalMs, playing);
    QCOMPARE(accountSinceStart().mid(said.isEmpty() ? 0 : 1),
             said.isEmpty() ? QStringList() : QStringList { "info: " + playing });
}

void tst_AudioOut::serverReturns_data()
{
    // What the server reported before, and now.
    QTest::addColumn<Server>("before");
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("returned");

    QTest::newRow("answers again") << Server::Unreachable << "" << true;
    QTest::newRow("a sink added") << Server::WithSink << "added" << true;
    QTest::newRow("a sink suspended") << Server::WithSink << "suspended" << false;
    QTest::newRow("goes away") << Server::WithSink << "gone" << false;
}

void tst_AudioOut::serverReturns()
{
    QFETCH(Server, before);
    QFETCH(QString, change);

    FakeDevice alpha = device("alpha");
    audio->setDevices({ alpha });
    server = before;
    start();
    QSignalSpy returned(audioOut.get(), &AudioOut::serverReturned);
    alpha.suspended = change == "suspended";
    audio->setDevices(change == "added" ? QList<FakeDevice> { alpha, device("beta") }
                                        : QList<FakeDevice> { alpha });
    setServer(change == "gone" ? Server::Unreachable : Server::WithSink);
    QTEST(!returned.isEmpty(), "returned");
}

void tst_AudioOut::killStormThatEnds()
{
    // A sink that kills every new stream: the program tries again a second
    // later, not at the pace of the server's events, on the wall's clock; a
    // change on the server that may have ended the kills is answered at once.
    FakeDevice alpha = device("alpha");
    audio->setDevices({ alpha });
    server = Server::WithSink;
    start();
    audioOut->setClock([] { return QDeadlineTimer::current().deadline(); });
    alpha.killsStreams = true;
    audio->setDevices({ alpha });
    audio->kill(0);
    setServer(Server::WithSink);
    QTRY_COMPARE_WITH_TIMEOUT(audio->outputCount(), 2, AudioOut::EventDelayMs + TimerAllowanceMs);
    QTest::qWait(Recovery::RetryMs / 2);
    QCOMPARE(audio->outputCount(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(audio->outputCount(), 3, Recovery::RetryMs + TimerAllowanceMs);

    alpha.killsStreams = false;
    audio->setDevices({ alpha, device("beta") });
    setServer(Server::WithSink);
    QTRY_COMPARE_WITH_TIMEOUT(audio->outputCount(), 4, AudioOut::EventDelayMs + TimerAllowanceMs);
    QCOMPARE(liveStreams(), QStringList({ "alpha" }));
}

void tst_AudioOut::qtBehind_data()
{
    // What the server reports: its default switched to beta, or this
    // process's stream gone.
    QTest::addColumn<QString>("change");
    // How much later Qt's backend sees the change; -1 for never.
    QTest::addColumn<int>("qtLateMs");

    QTest::newRow("default switched, Qt 300 ms behind") << "default" << 300;
    QTest::newRow("default switched, Qt never catches up") << "default" << -1;
    QTest::newRow("stream killed, Qt 300 ms behind") << "kill" << 300;
}

void tst_AudioOut::qtBehind()
{
    QFETCH(QString, change);
    QFETCH(int, qtLateMs);

    audio->setDevices({ device("alpha"), device("beta") });
    server = Server::WithSink;
    start();
    check();
    check();
    // Only the server's events drive the checks here: the one the last
    // check's report asked for comes first.
    QSignalSpy checks(audioOut.get(), &AudioOut::checked);
    QTRY_VERIFY_WITH_TIMEOUT(!checks.isEmpty(), AudioOut::EventDelayMs + TimerAllowanceMs);
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
        QTest::qWait(TimerAllowanceMs);
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
    QTest::newRow("one added") << QStringList() << "added"
                               << QStringList { "alpha", "beta", "gamma" } << 3 << three
                               << "info: Playing 440 Hz at volume 1 on Gamma (gamma)";
    QTest::newRow("one removed and returned")
            << QStringList() << "returned" << QStringList { "alpha", "beta", "gamma" } << 4 << three
            << "info: Gamma (gamma) is gone; waiting for it to return";
    // Put back at the server's event, not at the next regular check.
    QTest::newRow("one moved by the server")
            << QStringList() << "moved" << QStringList { "alpha", "beta", "gamma" } << 3 << three
            << "info: The audio server moved the stream on Gamma (gamma) elsewhere; putting it "
               "back";
    QTest::newRow("one needs another format")
            << QStringList() << "stereo" << QStringList { "alpha", "beta", "gamma" } << 3 << three
            << "info: Playing 440 Hz at volume 1 on Gamma (gamma)";
    // What a server offers only when it has no other output is no output.
    QTest::newRow("only the dummy output")
            << QStringList() << "dummy" << QStringList() << 0 << "Waiting for an output device"
            << "";
    QTest::newRow("the named ones, one absent")
            << QStringList { "beta", "delta" } << "" << QStringList { "beta" } << 1
            << "Playing 440 Hz at volume 1 on Beta (beta), waiting for \"delta\""
            << "info: \"delta\" is not there; waiting for it (steadytone --list shows the names)";
    QTest::newRow("none of the named ones")
            << QStringList { "delta" } << "" << QStringList() << 0
            << "Waiting for \"delta\" (steadytone --list shows the names)"
            << "";
    QTest::newRow("a named one appears")
            << QStringList { "gamma" } << "added" << QStringList { "gamma" } << 1
            << "Playing 440 Hz at volume 1 on Gamma (gamma)"
            << "info: Playing 440 Hz at volume 1 on Gamma (gamma)";
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
    server = Server::WithSink;
    if (change == "dummy")
        audio->setDevices({ device(AudioOut::DummySink) });
    else
        audio->setDevices(change == "added" ? all.mid(0, 2) : all);
    start({ 440, 1.0 }, { named.isEmpty() ? Tone::Outputs::All : Tone::Outputs::Named, named });
    // A named device is said missing only once the server has had a check
    // interval to list its sinks.
    QVERIFY(account.filter("is not there").isEmpty());
    check();
    check();
    const int listings = audio->deviceListings();
    if (change == "added") {
        setDevices(all);
    } else if (change == "returned") {
        setDevices(all.mid(0, 2));
        check();
        setDevices(all);
    } else if (change == "moved") {
        for (int i = 0; i < audio->outputCount(); ++i) {
            if (audio->output(i).device == "gamma")
                audio->move(i, "alpha");
        }
        setServer(Server::WithSink);
    } else {
        // Regular checks ask Qt for its default device, and for no device
        // list: Qt reads its whole ALSA configuration each time.
        check();
        check();
        QCOMPARE(audio->deviceListings(), listings + 2);
    }
    QTest::qWait(AudioOut::EventDelayMs + TimerAllowanceMs / 5);

    // One stream a device, and none left where the server moved one.
    QCOMPARE(liveStreams(), playing);
    QCOMPARE(audio->outputCount(), outputs);
    QCOMPARE(narrator->status(), status);
    QVERIFY2(said.isEmpty() || account.contains(said), qPrintable(account.join('\n')));
    // Not a line names a move: those belong to following the default.
    QCOMPARE(log, QStringList({ "1 440" }));
    // Each output is written a tone of its own, in the format of its
    // device, which runs on without a gap.
    QList<int> live;
    for (int i = 0; i < audio->outputCount(); ++i) {
        if (!audio->output(i).destroyed && audio->output(i).stops == 0)
            live << i;
    }
    QCOMPARE(live.size(), playing.size());
    for (const int i : qAsConst(live)) {
        const QAudioFormat format = audio->output(i).format;
        QCOMPARE(format,
                 audio->output(i).device == "gamma" && change == "stereo" ? makeFormat(48000, 2, 16)
                                                                          : defaultFormat());
        const QByteArray second = referenceTone(format, 440, format.sampleRate());
        QVERIFY2((second + second).contains(audio->output(i).written.left(second.size())),
                 qPrintable(audio->output(i).device + " skipped"));
    }
}

void tst_AudioOut::ticksFallTogether()
{
    // Outputs started at different moments, and one started again: each
    // start restarts every output's tick, so that all fall together and the
    // program wakes once for them.
    const QList<FakeDevice> all { device("alpha"), device("beta"), device("gamma") };
    audio->setDevices(all.mid(0, 2));
    server = Server::WithSink;
    start({ 440, 1.0 }, { Tone::Outputs::All, {} });
    auto spreadMs = [this] {
        QList<int> remaining;
        for (const int i : audio->liveOutputs())
            remaining << audio->tick(i)->remainingTime();
        std::sort(remaining.begin(), remaining.end());
        return remaining.last() - remaining.first();
    };
    // No event loop runs meanwhile, so no tick fires: a tick not restarted
    // would lag this much behind.
    constexpr int ApartMs = 7;
    QThread::msleep(ApartMs);
    audio->setDevices(all);
    setServer(Server::WithSink);
    audioOut->checkOut();
    QCOMPARE(audio->liveOutputs().size(), 3);
    QVERIFY2(spreadMs() <= 1, qPrintable(QString::number(spreadMs())));
    QThread::msleep(ApartMs);
    for (const int i : audio->liveOutputs()) {
        if (audio->output(i).device == "beta")
            audio->kill(i);
    }
    setServer(Server::WithSink);
    audioOut->checkOut();
    QCOMPARE(audio->liveOutputs().size(), 3);
    QVERIFY2(spreadMs() <= 1, qPrintable(QString::number(spreadMs())));
}

void tst_AudioOut::flappingIsQuiet()
{
    // A device that goes and comes back every 100 ms: a line a second about
    // it, and what was held back summed up in one, once its second is up.
    const QList<FakeDevice> both { device("alpha"), device("beta") };
    audio->setDevices(both);
    server = Server::WithSink;
    start({ 440, 1.0 }, { Tone::Outputs::All, {} });
    for (int i = 1; i <= 16; ++i) {
        audio->setDevices(i % 2 == 1 ? both.mid(0, 1) : both);
        setServer(Server::WithSink);
        simulatedMs += 100;
        audioOut->checkOut();
    }
    simulatedMs += 1000;
    QTest::qWait(1000 + TimerAllowanceMs);
    const QStringList beta = account.filter("(beta)");
    const QString playing = "info: Playing 440 Hz at volume 1 on Beta (beta)";
    QCOMPARE(beta,
             QStringList({ playing,
                           "info: Beta (beta) is gone; waiting for it to return (the last of 9 "
                           "such lines in 1 s)",
                           playing, playing + " (the last of 6 such lines in 2 s)" }));
    QCOMPARE(liveStreams(), QStringList({ "alpha", "beta" }));
}

void tst_AudioOut::heldLinesGoWithTheServer()
{
    // A line held back about a device no longer holds once the server is
    // gone: it is not said later.
    const QList<FakeDevice> both { device("alpha"), device("beta") };
    audio->setDevices(both);
    server = Server::WithSink;
    start({ 440, 1.0 }, { Tone::Outputs::All, {} });
    audio->setDevices(both.mid(0, 1));
    setServer(Server::WithSink);
    simulatedMs += 100;
    audioOut->checkOut();
    setServer(Server::Unreachable);
    audio->setDevices(both);
    simulatedMs += LineThrottle::IntervalMs;
    setServer(Server::WithSink);
    audioOut->checkOut();
    const QString playing = "info: Playing 440 Hz at volume 1 on Beta (beta)";
    QCOMPARE(account.filter("(beta)"), QStringList({ playing, playing }));
}

void tst_AudioOut::pausedAndResumed()
{
    audio->setDevices({ device("alpha"), device("beta") });
    server = Server::WithSink;
    start({ 440, 1.0 }, { Tone::Outputs::Named, { "alpha", "beta" } });
    check();
    QCOMPARE(liveStreams(), QStringList({ "alpha", "beta" }));

    // Paused, it holds no stream, and its checks neither rebuild nor miss
    // anything.
    audioOut->setPaused(true);
    check();
    check();
    QCOMPARE(liveStreams(), QStringList());
    QCOMPARE(audio->outputCount(), 2);
    QCOMPARE(narrator->status(), QStringLiteral("Paused while the session is idle"));
    QCOMPARE(accountSinceStart(),
             QStringList({ "info: The session is idle or locked: pausing the tone, so that the "
                           "outputs may sleep" }));
    audioOut->setPaused(false);
    QCOMPARE(liveStreams(), QStringList({ "alpha", "beta" }));
    QCOMPARE(narrator->status(), QStringLiteral("Playing 440 Hz at volume 1 on 2 outputs"));

    // Awake again, every output starts afresh at once.
    check();
    const int outputs = audio->outputCount();
    audioOut->systemResumed();
    QCOMPARE(audio->outputCount(), outputs + 2);
    QCOMPARE(liveStreams(), QStringList({ "alpha", "beta" }));
}

QTEST_GUILESS_MAIN(tst_AudioOut)
#include "tst_audioout.moc"
