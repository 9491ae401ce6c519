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

Q_DECLARE_METATYPE(FreshStart::Reason)

// How late a timer may fire, or a signal arrive, on a loaded machine.
constexpr int TimerAllowanceMs = 500;

// What the audio server itself reports, past Qt: nothing; a server without
// sinks; one with the sinks Qt knows; one with another sink only.
enum class Server { Unreachable, WithoutSink, WithSink, WithOtherSink };
Q_DECLARE_METATYPE(Server)

// What befalls the playing output in the fault rows.
enum class Fault { Kill, Fail, LoseServer };
Q_DECLARE_METATYPE(Fault)

namespace {

QStringList *capturedLog = nullptr;
QStringList *capturedAccount = nullptr;
QStringList *capturedDebug = nullptr;
QtMessageHandler defaultHandler = nullptr;

// The program's long-standing debug lines are captured, and its own account
// of what it does, with the type of each line, and its own debug lines apart;
// Qt's messages are shown as usual.
void captureDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    static const char *const types[] = { "debug", "warning", "critical", "fatal", "info" };
    const bool own = qstrcmp(context.category, "steadytone") == 0;
    if (capturedLog && type == QtDebugMsg && qstrcmp(context.category, "default") == 0)
        capturedLog->append(message);
    else if (capturedDebug && own && type == QtDebugMsg)
        capturedDebug->append(message);
    else if (capturedAccount && own)
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

// Whether the output's first bytes go on with the tone, in its format, after
// `before` bytes of it were written: not a byte lost or repeated.
bool continues(const FakeOutputRecord &out, int frequency, qint64 before, int bytes = 1000)
{
    const QByteArray second = referenceTone(out.format, frequency, out.format.sampleRate());
    return out.written.size() >= bytes
            && out.written.left(bytes) == (second + second).mid(int(before % second.size()), bytes);
}

} // namespace

// The controller, its players and its narrator, driving a simulated audio
// system through Qt's own QAudioDeviceInfo and QAudioOutput, and told what the
// server reports. The rules the players follow are the decisions' tables; here
// is how they are wired: which fault gives which line, signal or new output.
// Time is the injected clock's, which moves only when a test moves it.
class tst_AudioOut : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void startWithDevice();
    void noDeviceAtStart();
    void nothingOnADeviceTheServerHasNot();
    void nullDefault_data();
    void nullDefault();
    void firstCheckWithoutServer();
    void soakReleasesWhatItReplaces();
    void faults_data();
    void faults();
    void playedIsWhatTheServerTook();
    void ticks_data();
    void ticks();
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
    void manyStartsAtOnce();
    void lineThrottle_data();
    void lineThrottle();
    void pausedAndResumed();

private:
    // Starts the program; unless told otherwise, what its first check
    // started settles.
    void start(const Tone::Settings &tone = {}, const Tone::Outputs &outputs = {},
               bool settled = true);
    // What the server reports from now on, told at once, as its events do.
    void setServer(Server server);
    // What it reports of the simulated system, as it is now.
    ServerState serverState() const;
    // Where the live outputs' streams play, sorted.
    QStringList liveStreams() const { return serverState().streamSinks(); }
    // A check interval passes, then a regular check.
    void check(bool release = true);
    // The server tells of what the last check started, and what reaches the
    // devices holds for long enough to be told.
    void settle();
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
    QStringList debugLines;
    QString readyStatus;
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
    QLoggingCategory::setFilterRules(QStringLiteral("steadytone.debug=true"));
    capturedLog = &log;
    capturedAccount = &account;
    capturedDebug = &debugLines;
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
    debugLines.clear();
    readyStatus.clear();
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

void tst_AudioOut::start(const Tone::Settings &tone, const Tone::Outputs &outputs, bool settled)
{
    narrator = std::make_unique<Narrator>(tone, outputs);
    connect(narrator.get(), &Narrator::ready, this,
            [this](const QString &status) { readyStatus = status; });
    audioOut = std::make_unique<AudioOut>(tone, outputs, narrator.get());
    // The server does what it is asked to: a stream it moved away goes back.
    connect(audioOut.get(), &AudioOut::streamMovedAway, this, [this](quint32 index) {
        audio->move(int(index), audio->output(int(index)).device);
        setServer(server);
    });
    simulatedMs = 0;
    const auto clock = [this] { return simulatedMs; };
    narrator->setClock(clock);
    audioOut->setClock(clock);
    // The server's state is known before the first check, which start() runs.
    setServer(server);
    audioOut->start();
    accountAtStart = account.size();
    if (settled) {
        settle();
        accountAtStart = account.size();
    }
}

void tst_AudioOut::check(bool release)
{
    // Every output that can play does, and the server tells of the streams
    // and sinks that came and went, as they do; then a check interval has
    // passed.
    audio->play(qint64(AudioOut::CheckIntervalMs) * 1000);
    if (server != Server::Unreachable)
        setServer(server);
    simulatedMs += AudioOut::CheckIntervalMs;
    audioOut->checkOut();
    if (release)
        releaseReplaced();
}

void tst_AudioOut::settle()
{
    setServer(server);
    emit narrator->lookAgain();
    simulatedMs += Narrator::SettleMs;
    emit narrator->lookAgain();
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

void tst_AudioOut::startWithDevice()
{
    audio->setDevices({ device("alpha"), device("beta") });
    server = Server::WithSink;

    start({ 20, 0.5 });
    releaseReplaced();

    QCOMPARE(log, QStringList({ "0.5 20", "\"\"", "\"alpha\"" }));
    QCOMPARE(account,
             QStringList({ "info: Set to play 20 Hz at volume 0.5 on the default output, following "
                           "it as it changes",
                           "info: Playing 20 Hz at volume 0.5 on Alpha (alpha)" }));
    QCOMPARE(narrator->status(), QStringLiteral("Playing 20 Hz at volume 0.5 on Alpha (alpha)"));
    QCOMPARE(audio->outputCount(), 1);
    QCOMPARE(generatorCount(), 1);
    const FakeOutputRecord out = audio->output(0);
    QCOMPARE(out.device, QStringLiteral("alpha"));
    QCOMPARE(out.format, defaultFormat());
    QCOMPARE(out.starts, 1);
    QCOMPARE(out.stops, 0);
    QCOMPARE(out.volume, 0.5);
    // The tone, from its start, its buffer filled at once.
    QVERIFY(continues(out, 20, 0));
    QVERIFY(out.queuedBytes > defaultFormat().bytesForDuration(FakeAudioControl::BufferUs / 2));

    // Checks while nothing changes write nothing and make nothing.
    const QObjectList objects = audioOut->findChildren<QObject *>();
    for (int i = 0; i < 3; ++i)
        check();
    QCOMPARE(log.size(), 3);
    QCOMPARE(account.size(), 2);
    QCOMPARE(audio->outputCount(), 1);
    QCOMPARE(audio->output(0).stops, 0);
    QCOMPARE(audioOut->findChildren<QObject *>(), objects);
}

void tst_AudioOut::noDeviceAtStart()
{
    // With no server, Qt's backend reports a default device all the same,
    // with no name, which nothing plays on.
    start({ 440 });
    QCOMPARE(log, QStringList({ "0.02 440", "\"\"", "\"\"" }));
    QCOMPARE(account.mid(1), QStringList({ "info: No audio server answers yet; waiting for one" }));
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
    QCOMPARE(account.filter("Playing"), QStringList());
    QCOMPARE(audio->outputCount(), 1);
    QVERIFY(continues(audio->output(0), 440, 0));
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
    // No word of a device missing while the server has one.
    QCOMPARE(narrator->status() == "Waiting for an output device", !restart);
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

void tst_AudioOut::soakReleasesWhatItReplaces()
{
    // Changes alternate between a device that takes the current format and
    // one that does not: the tone goes on where the last output left it, in
    // the same format, and starts afresh in a format adapted to the device,
    // which the next device that takes it keeps. Low rates keep each
    // synthesis cheap.
    const FakeDevice low = device("low", { 8000 });
    const FakeDevice high = device("high", { 11025 });
    const FakeDevice both = device("both", { 8000, 11025 });
    const QList<QPair<FakeDevice, int>> cycle = {
        { both, 8000 }, { high, 11025 }, { both, 11025 }, { low, 8000 }
    };
    audio->setDevices({ low });
    start({ 440 });
    qint64 before = 0;
    auto change = [&](int step) {
        const QPair<FakeDevice, int> &next = cycle.at(step % cycle.size());
        const int last = audio->outputCount() - 1;
        audio->setDevices({ next.first });
        check();
        const FakeOutputRecord old = audio->output(last);
        const FakeOutputRecord out = audio->output(audio->outputCount() - 1);
        QCOMPARE(out.device, next.first.name);
        QCOMPARE(out.format.sampleRate(), next.second);
        QCOMPARE(old.stops, 1);
        before = out.format == old.format ? before + old.writtenBytes : 0;
        QVERIFY2(continues(out, 440, before), qPrintable(QString::number(step)));
    };
    for (int i = 0; i < 52; ++i) // let the allocator settle first
        change(i);
    const qint64 residentBefore = residentKiB();

    for (int i = 0; i < 1000; ++i) {
        change(i);
        if (QTest::currentTestFailed())
            return;
    }

    // Whatever was replaced is gone: one tone device, one output.
    QCOMPARE(generatorCount(), 1);
    int kept = 0;
    for (int i = 0; i < audio->outputCount(); ++i)
        kept += audio->output(i).destroyed ? 0 : 1;
    QCOMPARE(kept, 1);
    QCOMPARE(audio->outputCount(), 1053);
    QCOMPARE(log.size(), 3 + 2 * 1052);

    const qint64 after = residentKiB();
    qInfo("resident set after 52 changes: %lld KiB, after 1052: %lld KiB", residentBefore, after);
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer holds freed memory back on purpose, so only a plain
    // build says anything about growth.
    QVERIFY2(after - residentBefore < 2048, qPrintable(QString::number(after - residentBefore)));
#endif
}

void tst_AudioOut::faults_data()
{
    QTest::addColumn<Fault>("fault");
    // What the server reports at each check, one letter a check: n no
    // server, s a server with the sink. Each change is told as an event, and
    // the check it asks for runs before the regular one.
    QTest::addColumn<QString>("servers");
    // The check after which a fresh start is first asked for; 0 for none.
    QTest::addColumn<int>("restartAt");
    // What the program says of it, a letter a line: K the stream was killed,
    // F it failed, N no server answers, A the server answers again.
    QTest::addColumn<QString>("said");
    QTest::addColumn<QString>("status");

    const QString playing = "Playing 440 Hz at volume 0.5 on Alpha (alpha)";
    QTest::newRow("killed stream") << Fault::Kill << "sss" << 0 << "K" << playing;
    // The server went away and came back in time for Qt's own reconnect.
    QTest::newRow("server back at once") << Fault::Fail << "sss" << 0 << "F" << playing;
    // Qt's backend gave up on the server: rebuilding fails at once, and only
    // a fresh process plays again; nothing said it started the tone again.
    QTest::newRow("server lost, back after a while")
            << Fault::LoseServer << "nnnnssss" << 5 << "NA"
            << "Nothing plays on Alpha (alpha); trying it again now and then";
}

void tst_AudioOut::faults()
{
    QFETCH(Fault, fault);
    QFETCH(QString, servers);
    QFETCH(int, restartAt);
    QFETCH(QString, said);
    QFETCH(QString, status);

    audio->setDevices({ device("alpha") });
    server = Server::WithSink;
    start({ 440, 0.5 });
    QSignalSpy checks(audioOut.get(), &AudioOut::checked);
    check(); // the output's first check, from which on it is measured
    check(); // it plays
    simulatedMs += 1000;
    QSignalSpy restarts(audioOut.get(), &AudioOut::restartNeeded);
    QCOMPARE(accountSinceStart(), QStringList());

    if (fault == Fault::Kill)
        audio->kill(0);
    else if (fault == Fault::Fail)
        audio->fail(0);
    else
        audio->loseServer();

    int firstRestart = 0;
    for (int i = 0; i < servers.size(); ++i) {
        const int checked = checks.count();
        setServer(servers.at(i) == 's' ? Server::WithSink : Server::Unreachable);
        QTRY_VERIFY(checks.count() > checked);
        // As the server answers again, no word of what may pass.
        if (i > 0 && servers.mid(i - 1, 2) == "ns")
            QCOMPARE(narrator->status(), QStringLiteral("Waiting for an audio server"));
        check();
        if (!restarts.isEmpty() && firstRestart == 0)
            firstRestart = i + 1;
    }
    settle();
    QCOMPARE(firstRestart, restartAt);
    if (restartAt > 0)
        QCOMPARE(restarts.first().value(0).value<FreshStart::Reason>(), FreshStart::BackendLost);
    QStringList lines;
    for (const QChar letter : said) {
        lines << QHash<QChar, QString> {
            { 'K',
              "info: The audio server took the stream on Alpha (alpha) away; starting it again" },
            { 'F', "info: Starting the tone again on Alpha (alpha)" },
            { 'N', "warning: No audio server answers; waiting for one" },
            { 'A', "info: The audio server answers" },
        }.value(letter);
    }
    // Each line said, in whatever order the clock that runs here allows.
    QStringList saidNow = accountSinceStart();
    saidNow.removeDuplicates();
    saidNow.sort();
    lines.sort();
    QCOMPARE(saidNow, lines);
    QCOMPARE(narrator->status(), status);
    // Every output started again is the tone on the same device, at the
    // same volume, where the output before it stopped.
    qint64 before = 0;
    for (int i = 1; i < audio->outputCount(); ++i) {
        before += audio->output(i - 1).writtenBytes;
        QCOMPARE(audio->output(i).device, QStringLiteral("alpha"));
        QCOMPARE(audio->output(i).volume, 0.5);
        if (!audio->output(i).destroyed && audio->output(i).writtenBytes > 0)
            QVERIFY(continues(audio->output(i), 440, before, 100));
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
    // The server plays a little at a time, and the ticks top it up.
    const QAudioFormat format = defaultFormat();
    const qint64 full = format.bytesForDuration(FakeAudioControl::BufferUs)
            - format.bytesForDuration(DevicePlayer::QtTickMs * 1000);
    constexpr qint64 StepUs = 100000;
    auto playFor = [&](qint64 us) {
        for (qint64 played = 0; played < us; played += StepUs) {
            audio->play(StepUs);
            const int last = audio->outputCount() - 1;
            QTRY_VERIFY_WITH_TIMEOUT(audio->output(last).queuedBytes >= full,
                                     3 * DevicePlayer::QtTickMs + TimerAllowanceMs);
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
    // What each output lacked of a full buffer when it was last counted, a
    // period at the most, is yet to count.
    const qint64 expectedUs = 3000000 - 2 * Recovery::FirstFillSlackUs;
    QVERIFY2(total() <= expectedUs && total() >= expectedUs - 2 * DevicePlayer::QtTickMs * 1000,
             qPrintable(QString::number(total())));
}

void tst_AudioOut::ticks_data()
{
    // What ticks in the backend of each output.
    QTest::addColumn<int>("tick");
    // Which tick each output is written at, as its debug line says.
    QTest::addColumn<QString>("at");

    QTest::newRow("Qt's tick") << int(FakeDevice::QtTick) << "at Qt's tick";
    QTest::newRow("no timer") << int(FakeDevice::NoTick) << "at a tick of its own";
    QTest::newRow("a timer too slow to be a tick")
            << int(FakeDevice::SlowTimer) << "at a tick of its own";
    QTest::newRow("a timer that never runs")
            << int(FakeDevice::IdleTimer) << "at a tick of its own";
}

void tst_AudioOut::ticks()
{
    // Outputs started at different moments, and one started again: each
    // start restarts every output's tick, so that all fall together and the
    // program wakes once for them; at each tick, every output is written
    // what the server played.
    QFETCH(int, tick);
    QFETCH(QString, at);

    QList<FakeDevice> all { device("alpha"), device("beta"), device("gamma") };
    for (FakeDevice &each : all)
        each.tick = FakeDevice::Tick(tick);
    audio->setDevices(all.mid(0, 2));
    server = Server::WithSink;
    start({ 440, 1.0 }, { Tone::Outputs::All, {} });
    // How far apart Qt's ticks fall, in milliseconds. Ticks restarted
    // together stay together: a moment of preemption while they are read
    // passes when they are read again.
    auto togetherAgain = [this] {
        QList<int> remaining;
        for (const int i : audio->liveOutputs())
            remaining << audio->tick(i)->remainingTime();
        std::sort(remaining.begin(), remaining.end());
        return remaining.last() - remaining.first() <= 1;
    };
    // No event loop runs meanwhile, so no tick fires: a tick not restarted
    // would lag this much behind.
    constexpr int ApartMs = 7;
    QThread::msleep(ApartMs);
    audio->setDevices(all);
    check();
    QCOMPARE(audio->liveOutputs().size(), 3);
    if (tick == FakeDevice::QtTick)
        QTRY_VERIFY_WITH_TIMEOUT(togetherAgain(), 5 * DevicePlayer::QtTickMs + TimerAllowanceMs);
    QThread::msleep(ApartMs);
    for (const int i : audio->liveOutputs()) {
        if (audio->output(i).device == "beta")
            audio->kill(i);
    }
    check();
    QCOMPARE(audio->liveOutputs().size(), 3);
    if (tick == FakeDevice::QtTick)
        QTRY_VERIFY_WITH_TIMEOUT(togetherAgain(), 5 * DevicePlayer::QtTickMs + TimerAllowanceMs);
    QVERIFY2(debugLines.filter(at).size() == 4 && debugLines.size() == 4,
             qPrintable(debugLines.join(QLatin1Char('\n'))));

    // The server plays a little at a time; at the next ticks each output is
    // full again, though it tells its room in whole periods and takes less
    // than it is offered at every other write: with the tone, not a byte of
    // it lost or repeated.
    const QAudioFormat format = defaultFormat();
    const qint64 full = format.bytesForDuration(FakeAudioControl::BufferUs)
            - format.bytesForDuration(2 * DevicePlayer::QtTickMs * 1000);
    auto allFull = [&] {
        for (const int i : audio->liveOutputs()) {
            if (audio->output(i).queuedBytes < full)
                return false;
        }
        return true;
    };
    for (int i = 0; i < 20; ++i) {
        audio->play(37000);
        QTRY_VERIFY_WITH_TIMEOUT(allFull(), 3 * DevicePlayer::QtTickMs + TimerAllowanceMs);
    }
    QVERIFY(continues(audio->output(0), 440, 0, int(audio->output(0).written.size())));

    // Stopped under the player, as Qt stops an output whose server went:
    // what it wrote to is no longer written to.
    audio->fail(0);
    audio->play(100000);
    QTest::qWait(3 * DevicePlayer::QtTickMs);
    QCOMPARE(audio->output(0).writesAfterStop, 0);
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
    settle();
    QCOMPARE(audio->output(audio->outputCount() - 1).device, QStringLiteral("beta"));
    QCOMPARE(accountSinceStart().filter("Playing"), QStringList());

    // The fresh start waits: the status and one line say that nothing plays,
    // and when it tries again.
    narrator->restartDeferred(FreshStart::BackendLost, QTime(14, 3, 12));
    narrator->restartDeferred(FreshStart::BackendLost, QTime(14, 3, 20));
    check();
    QCOMPARE(accountSinceStart().filter("Nothing plays"),
             QStringList({ "warning: Nothing plays: Qt's audio backend has lost the audio server, "
                           "and the last start found nothing to play; starting afresh at 14:03:12, "
                           "or as soon as the audio server comes back" }));
    QCOMPARE(narrator->status(),
             QStringLiteral("Nothing plays (Qt's audio backend has lost the audio server); "
                            "starting afresh at 14:03:12, or when the audio server comes back"));
}

void tst_AudioOut::mixers_data()
{
    // Whether the program starts as the mixers stand, the sink suspended,
    // or they are set later; each state they are set to in turn, held for
    // how long, what is said of it, and the status:
    // "stream|sink|heldMs|line|status", the sliders in percent or "muted".
    QTest::addColumn<bool>("atStart");
    QTest::addColumn<bool>("suspended");
    QTest::addColumn<QStringList>("states");

    const QString playing = "Playing 440 Hz at volume 0.4 on Alpha (alpha)";
    const QString held = QString::number(LineThrottle::IntervalMs);
    const QString muted = "warning: The steadytone stream on Alpha (alpha) is muted in the mixer: "
                          "nothing reaches the device|Nothing reaches Alpha (alpha): the "
                          "steadytone stream is muted in the mixer";
    const QString back = "100|100|" + held + "|info: " + playing + "|" + playing;
    QTest::newRow("the mixers, one after another")
            << false << false
            << QStringList { "muted|100|" + held + "|" + muted,
                             "100|0|" + held
                                     + "|warning: Alpha (alpha) is at 0 % in the mixer: nothing "
                                       "reaches the device|Nothing reaches Alpha (alpha): it is "
                                       "at 0 % in the mixer",
                             "50|100|" + held
                                     + "|info: The steadytone stream on Alpha (alpha) is at 50 % "
                                       "in the mixer: the device gets the tone at volume "
                                       "0.05|"
                                     + playing + ", which the mixer turns down to volume 0.05",
                             back, "150|100|" + held + "||" + playing };
    QTest::newRow("muted for a moment")
            << false << false
            << QStringList { "muted|100|" + QString::number(Narrator::SettleMs / 2) + "||"
                             + playing };
    // The server applies a mute it remembers from an earlier run.
    QTest::newRow("a remembered mute")
            << true << false << QStringList { "muted|100|0|" + muted, back };
    // A sink that was idle is resumed as the stream starts.
    QTest::newRow("a sink suspended while idle") << true << true << QStringList();
}

void tst_AudioOut::mixers()
{
    QFETCH(bool, atStart);
    QFETCH(bool, suspended);
    QFETCH(QStringList, states);

    const QString playing = "Playing 440 Hz at volume 0.4 on Alpha (alpha)";
    auto mixer = [](const QString &given) {
        return ServerState::Mixer { given == "muted",
                                    given == "muted" ? 1.0 : given.toInt() / 100.0 };
    };
    FakeDevice alpha = device("alpha");
    alpha.suspended = suspended;
    audio->setDevices({ alpha });
    server = Server::WithSink;
    if (atStart && !states.isEmpty())
        streamMixer = mixer(states.first().section('|', 0, 0));
    start({ 440, 0.4 }, {}, false);
    // The sink resumes as the stream starts; ready once the server has told
    // of the stream and what reaches the device has held, with what it is
    // and no word of a passing state.
    alpha.suspended = false;
    audio->setDevices({ alpha });
    settle();
    const QString first = atStart && !states.isEmpty()
            ? states.takeFirst()
            : "100|100|0|info: " + playing + "|" + playing;
    QCOMPARE(readyStatus, first.section('|', 4));
    QCOMPARE(narrator->status(), readyStatus);
    QStringList said { first.section('|', 3, 3) };
    QCOMPARE(accountSinceStart(), said);
    // The server tells of each change; what holds long enough is said, a
    // second after the last line about the device at the most.
    for (const QString &state : qAsConst(states)) {
        const QStringList parts = state.split('|');
        streamMixer = mixer(parts.at(0));
        sinkMixer = mixer(parts.at(1));
        setServer(Server::WithSink);
        emit narrator->lookAgain();
        simulatedMs += parts.at(2).toInt();
        emit narrator->lookAgain();
        if (!parts.at(3).isEmpty())
            said << parts.at(3);
        QCOMPARE(accountSinceStart(), said);
        QCOMPARE(narrator->status(), parts.at(4));
    }
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
    // later, then two, not at the pace of the server's events, and says
    // that nothing plays. The default then moves to another device, as Qt
    // sees it before the server tells of it: a loss there is answered at
    // once, since what alpha taught says nothing of beta.
    FakeDevice alpha = device("alpha");
    audio->setDevices({ alpha, device("beta") });
    server = Server::WithSink;
    start();
    QSignalSpy checks(audioOut.get(), &AudioOut::checked);
    auto event = [&] {
        const int checked = checks.count();
        setServer(Server::WithSink);
        QTRY_VERIFY_WITH_TIMEOUT(checks.count() > checked,
                                 AudioOut::EventDelayMs + TimerAllowanceMs);
    };
    alpha.killsStreams = true;
    audio->setDevices({ alpha, device("beta") });
    audio->kill(0);
    event();
    QCOMPARE(audio->outputCount(), 2);
    // Half the wait, then all of it: a second, then two.
    for (const auto &[waitedMs, rebuilt] :
         QList<QPair<int, bool>> { { Recovery::RetryMs / 2, false },
                                   { Recovery::RetryMs / 2, true },
                                   { Recovery::RetryMs, false },
                                   { Recovery::RetryMs, true } }) {
        const int outputs = audio->outputCount();
        simulatedMs += waitedMs;
        event();
        QCOMPARE(audio->outputCount(), outputs + (rebuilt ? 1 : 0));
        if (QTest::currentTestFailed())
            return;
    }
    QCOMPARE(narrator->status(),
             QStringLiteral("Nothing plays on Alpha (alpha); trying it again now and then"));

    audio->setDevices({ device("beta"), alpha });
    audioOut->checkOut();
    QCOMPARE(audio->output(audio->outputCount() - 1).device, QStringLiteral("beta"));
    const int outputs = audio->outputCount();
    audio->kill(outputs - 1);
    simulatedMs += AudioOut::CatchUpMs;
    audioOut->checkOut();
    QCOMPARE(audio->outputCount(), outputs + 1);
}

void tst_AudioOut::qtBehind_data()
{
    // What the server reports: its default switched to beta, or this
    // process's stream gone; and whether Qt's backend ever sees it too.
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("qtCatchesUp");

    QTest::newRow("default switched, Qt behind") << "default" << true;
    QTest::newRow("default switched, Qt never catches up") << "default" << false;
    QTest::newRow("stream killed, Qt behind") << "kill" << true;
}

void tst_AudioOut::qtBehind()
{
    QFETCH(QString, change);
    QFETCH(bool, qtCatchesUp);

    audio->setDevices({ device("alpha"), device("beta") });
    server = Server::WithSink;
    start();
    check();
    check();
    QSignalSpy checks(audioOut.get(), &AudioOut::checked);
    // The server tells of the change before Qt has it: checks follow, a
    // moment apart, and nothing moves while Qt says otherwise.
    ServerState state = serverState();
    if (change == "default")
        state.defaultSink = QStringLiteral("beta");
    else
        state.streams.clear();
    audioOut->serverChanged(state);
    QTRY_VERIFY_WITH_TIMEOUT(checks.count() >= 2,
                             2 * AudioOut::CatchUpIntervalMs + TimerAllowanceMs);
    if (change == "default")
        QCOMPARE(audio->outputCount(), 1);

    if (!qtCatchesUp) {
        // Once the clock is past the catch-up window, the checks stop:
        // nothing wakes the program while Qt and the server disagree.
        simulatedMs += AudioOut::CatchUpMs;
        const int checked = checks.count();
        QTRY_VERIFY_WITH_TIMEOUT(checks.count() > checked,
                                 AudioOut::CatchUpIntervalMs + TimerAllowanceMs);
        const int last = checks.count();
        QTest::qWait(3 * AudioOut::CatchUpIntervalMs);
        QCOMPARE(checks.count(), last);
        QCOMPARE(audio->outputCount(), 1);
        return;
    }
    if (change == "default")
        audio->setDevices({ device("beta"), device("alpha") });
    else
        audio->kill(0);
    QTRY_COMPARE_WITH_TIMEOUT(audio->outputCount(), 2,
                              AudioOut::CatchUpIntervalMs + TimerAllowanceMs);
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
    // A sink that goes as soon as it came gets no stream, which could block
    // Qt for good as it is made.
    QTest::newRow("one that comes and goes at once")
            << QStringList() << "flash" << QStringList { "alpha", "beta" } << 2
            << "Playing 440 Hz at volume 1 on 2 outputs"
            << "";
    QTest::newRow("one removed and returned")
            << QStringList() << "returned" << QStringList { "alpha", "beta", "gamma" } << 4 << three
            << "info: Gamma (gamma) is gone; waiting for it to return";
    // Put back at the server's event, not at the next regular check; the
    // stream the server moved onto another output is that one's own no
    // more than the other's is its.
    QTest::newRow("two swapped by the server")
            << QStringList() << "moved" << QStringList { "alpha", "beta", "gamma" } << 3 << three
            << "info: The audio server moved the stream on Gamma (gamma) elsewhere; putting it "
               "back";
    QTest::newRow("one needs another format")
            << QStringList() << "stereo" << QStringList { "alpha", "beta", "gamma" } << 3 << three
            << "info: Playing 440 Hz at volume 1 on Gamma (gamma)";
    // What a server offers only when it has no other output is no output,
    // in every mode.
    QTest::newRow("only the dummy output")
            << QStringList() << "dummy" << QStringList() << 0 << "Waiting for an output device"
            << "warning: No output device; waiting for one";
    QTest::newRow("only the dummy output, following the default")
            << QStringList { "" } << "dummy" << QStringList() << 0 << "Waiting for an output device"
            << "warning: No output device; waiting for one";
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
        audio->setDevices({ device(ServerState::DummySink) });
    else
        audio->setDevices(change == "added" || change == "flash" ? all.mid(0, 2) : all);
    Tone::Outputs chosen { named.isEmpty() ? Tone::Outputs::All : Tone::Outputs::Named, named };
    if (named == QStringList { "" })
        chosen = Tone::Outputs();
    start({ 440, 1.0 }, chosen);
    // A named device is said missing only once the server has had a check
    // interval to list its sinks.
    QVERIFY(account.filter("is not there").isEmpty());
    check();
    check();
    const int listings = audio->deviceListings();
    // None left where the server moved one.
    auto home = [this] {
        for (const int i : audio->liveOutputs()) {
            if (!audio->output(i).movedTo.isEmpty()
                && audio->output(i).movedTo != audio->output(i).device)
                return false;
        }
        return true;
    };
    // A sink that appears is played on once it has stayed a moment.
    if (change == "added") {
        setDevices(all);
        simulatedMs += AudioOut::NewSinkMs;
    } else if (change == "flash") {
        QSignalSpy checks(audioOut.get(), &AudioOut::checked);
        setDevices(all);
        QTRY_VERIFY_WITH_TIMEOUT(!checks.isEmpty(), AudioOut::EventDelayMs + TimerAllowanceMs);
        setDevices(all.mid(0, 2));
        simulatedMs += AudioOut::NewSinkMs;
        check();
    } else if (change == "returned") {
        setDevices(all.mid(0, 2));
        check();
        setDevices(all);
        simulatedMs += AudioOut::NewSinkMs;
    } else if (change == "moved") {
        for (const int i : audio->liveOutputs()) {
            if (audio->output(i).device != "beta")
                audio->move(i, audio->output(i).device == "gamma" ? "alpha" : "gamma");
        }
        // Both at the one check that sees the swap: each player goes by its
        // own stream, not by whichever of ours is on its device.
        QObject during;
        bool checked = false;
        bool bothBack = false;
        connect(audioOut.get(), &AudioOut::checked, &during, [&] {
            bothBack = checked ? bothBack : home();
            checked = true;
        });
        setServer(Server::WithSink);
        QTRY_VERIFY_WITH_TIMEOUT(checked, AudioOut::EventDelayMs + TimerAllowanceMs);
        QVERIFY(bothBack);
    } else {
        // Regular checks ask Qt for its default device, and for no device
        // list: Qt reads its whole ALSA configuration each time.
        check();
        check();
        QCOMPARE(audio->deviceListings(), listings + 2);
    }
    // One stream a device, each on its own.
    QTRY_VERIFY_WITH_TIMEOUT(liveStreams() == playing && home(),
                             AudioOut::NewSinkMs + TimerAllowanceMs);
    settle();
    QCOMPARE(audio->outputCount(), outputs);
    QCOMPARE(narrator->status(), status);
    QVERIFY2(said.isEmpty() || account.contains(said), qPrintable(account.join('\n')));
    // Not a line names a move: those belong to following the default.
    if (chosen.mode != Tone::Outputs::Default)
        QCOMPARE(log, QStringList({ "1 440" }));
    // Each output is written a tone of its own, in the format of its
    // device, which runs on without a gap.
    for (const int i : audio->liveOutputs()) {
        QCOMPARE(audio->output(i).format,
                 audio->output(i).device == "gamma" && change == "stereo" ? makeFormat(48000, 2, 16)
                                                                          : defaultFormat());
        QVERIFY2(continues(audio->output(i), 440, 0), qPrintable(audio->output(i).device));
    }
}

void tst_AudioOut::manyStartsAtOnce()
{
    // Each start holds the program a moment while the server plays on, a
    // whole buffer in all for a dozen: the output that plays does not run
    // dry.
    QList<FakeDevice> devices { device("alpha") };
    audio->setDevices(devices);
    server = Server::WithSink;
    start({ 440, 1.0 }, { Tone::Outputs::All, {} });
    for (int i = 0; i < 12; ++i) {
        devices << device(QStringLiteral("s%1").arg(i));
        devices.last().startTakesUs = FakeAudioControl::BufferUs / 10;
    }
    audio->setDevices(devices);
    setServer(server);
    simulatedMs += AudioOut::NewSinkMs;
    audioOut->checkOut();
    QCOMPARE(liveStreams().size(), 13);
    QCOMPARE(audio->output(0).underruns, 0);
}

void tst_AudioOut::lineThrottle_data()
{
    // What is said, one step a line: "at ms|device|line", or "at ms|forget"
    // for the server going; and the lines written, those held back and
    // summed up once their second is up.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("written");

    // A device that goes and comes back every 100 ms.
    QStringList flapping { "0|beta|back" };
    for (int i = 1; i <= 16; ++i)
        flapping << QStringLiteral("%1|beta|%2").arg(i * 100).arg(i % 2 ? "gone" : "back");
    QTest::newRow("a device that flaps")
            << flapping
            << QStringList { "back", "gone (the last of 9 such lines in 1 s)", "back",
                             "back (the last of 6 such lines in 2 s)" };
    // What was held back no longer holds once the server is gone.
    QTest::newRow("held back when the server goes")
            << QStringList { "0|beta|gone", "100|beta|back", "200|forget", "1200|beta|back" }
            << QStringList { "gone", "back" };
    QTest::newRow("devices apart")
            << QStringList { "0|alpha|a", "100|beta|b", "200|alpha|c", "1200|alpha|d" }
            << QStringList { "a", "b", "c", "d" };
}

void tst_AudioOut::lineThrottle()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, written);

    LineThrottle lines;
    qint64 nowMs = 0;
    lines.setClock([&nowMs] { return nowMs; });
    for (const QString &step : steps) {
        nowMs = step.section('|', 0, 0).toLongLong();
        if (step.section('|', 1) == "forget")
            lines.forget();
        else
            lines.say(QtInfoMsg, step.section('|', 1, 1), step.section('|', 2));
    }
    // Held lines come out once their second is up, on the timer.
    nowMs += LineThrottle::IntervalMs;
    for (QString &line : written)
        line.prepend("info: ");
    QTRY_COMPARE_WITH_TIMEOUT(account, written, 2 * LineThrottle::IntervalMs + TimerAllowanceMs);
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
    settle();
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
