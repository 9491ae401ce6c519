#include "audioout.h"

#include "deviceplayer.h"
#include "narrator.h"

#include <QTimer>

#include <algorithm>

#include <malloc.h>

AudioOut::AudioOut(const Tone::Settings &tone, const Tone::Outputs &outputs, Narrator *narrator,
                   QObject *parent)
    : QObject(parent)
    , tone(tone)
    , outputs(outputs)
    , narrator(narrator)
    , soon(new QTimer(this))
    , trim(new QTimer(this))
{
    soon->setSingleShot(true);
    connect(soon, &QTimer::timeout, this, [this] { check(false); });
    // Outputs let go of free their memory into the heap, where the C
    // library keeps it: a burst of outputs that come and go would leave the
    // process megabytes larger for good. Once the burst is over, the heap
    // gives back what it holds free.
    trim->setSingleShot(true);
    trim->setInterval(TrimDelayMs);
    connect(trim, &QTimer::timeout, this, [] { malloc_trim(0); });
    connect(narrator, &Narrator::lookAgain, this, [this] { narrate(false); });
}

// The children still alive (players, the timer) go with the QObject base.
AudioOut::~AudioOut() = default;

void AudioOut::start()
{
    started = true;
    // The first check waits for what the server says, which names the
    // devices in its lines; that comes at once, even when no server answers,
    // but a connection that never tells anything is not waited for.
    if (server.reach == ServerState::Unknown)
        scheduleCheck(FirstStateWaitMs);
    else
        check(false);
}

void AudioOut::serverChanged(const ServerState &state)
{
    // What may end a player's trouble: the server back, a device come or
    // gone, suspended or resumed, or the default changed. Its streams coming
    // and going do not: a sink that kills every new stream would otherwise be
    // answered at its own pace. Nor do the mixers' sliders.
    const auto suspended = [](const ServerState &each) {
        QStringList names;
        for (const ServerState::Sink &sink : each.sinks) {
            if (sink.suspended)
                names << sink.name;
        }
        return names;
    };
    const bool sinksChanged = state.sinkNames() != server.sinkNames();
    const bool mayHeal = state.reach != server.reach || state.defaultSink != server.defaultSink
            || sinksChanged || suspended(state) != suspended(server);
    if (state.reach != server.reach)
        qtDevicesStale = true;
    if (state.answers()
        && (server.reach == ServerState::Unreachable || (server.answers() && sinksChanged)))
        emit serverReturned();
    const qint64 nowMs = clock();
    QHash<QString, qint64> since;
    for (const ServerState::Sink &sink : state.sinks)
        since.insert(sink.name,
                     server.answers() ? sinksSinceMs.value(sink.name, nowMs) : nowMs - NewSinkMs);
    sinksSinceMs = since;
    narrator->serverChanged(server, state);
    server = state;
    if (mayHeal) {
        for (DevicePlayer *player : qAsConst(players))
            player->rearm();
    }
    catchUpUntilMs = nowMs + CatchUpMs;
    if (started)
        scheduleCheck(EventDelayMs);
}

void AudioOut::setPaused(bool paused)
{
    if (paused == this->paused)
        return;
    this->paused = paused;
    narrator->pausedChanged(paused);
    check(false);
}

void AudioOut::systemResumed()
{
    narrator->woke();
    // The devices and the server may have changed under a stream that Qt
    // still takes for playing: start each again where the server has it.
    for (DevicePlayer *player : qAsConst(players)) {
        player->rearm();
        if (player->live() && serverHas(player->device()))
            narrator->report(player->startAgain());
    }
    alignTicks();
    check(false);
}

// Every output's tick restarted back to back: they fall together from then
// on, and the program wakes once for all of them.
void AudioOut::alignTicks()
{
    for (DevicePlayer *player : qAsConst(players))
        player->restartTick();
}

void AudioOut::checkOut()
{
    check(true);
}

void AudioOut::scheduleCheck(int delayMs)
{
    if (soon->isActive() && soon->remainingTime() <= delayMs)
        return;
    soon->start(delayMs);
}

void AudioOut::check(bool regular)
{
    const QAudioDeviceInfo qtDefault = QAudioDeviceInfo::defaultOutputDevice();
    bool qtBehind = false;
    const QList<QAudioDeviceInfo> wanted =
            paused ? QList<QAudioDeviceInfo>() : wantedDevices(qtDefault, &qtBehind);
    // While Qt lags behind the server, what it says of an output may be out
    // of date: playback moves where Qt says, but no output is judged until
    // Qt has caught up, or has had the time to.
    const qint64 nowMs = clock();
    const bool catchingUp = nowMs < catchUpUntilMs;
    const bool settled = !qtBehind || !catchingUp;
    QList<DevicePlayer *> kept;
    bool anyStarted = false;
    for (const QAudioDeviceInfo &device : wanted) {
        DevicePlayer *player = playerFor(device);
        kept << player;
        Report report;
        if (player->device() != device) {
            if (!serverHas(device))
                continue;
            report = player->moveTo(device);
        } else if (settled) {
            report = player->check(server, regular, nowMs);
            if (player->retryInMs() > 0)
                scheduleCheck(player->retryInMs());
        }
        const bool started = report.deed == Report::Moved || report.deed == Report::Rebuilt;
        anyStarted = anyStarted || started;
        // A start holds the program while the server plays on: what plays
        // is topped up before the next start, however many come at once.
        if (started) {
            for (DevicePlayer *other : qAsConst(players))
                other->topUp();
        }
        // A rebuild, or an output that failed as it started, which shows that
        // Qt's backend has lost the server: look again in a moment.
        if (report.deed == Report::Rebuilt || report.failed)
            scheduleCheck(EventDelayMs);
        narrator->report(report);
    }
    for (DevicePlayer *player : qAsConst(players)) {
        if (kept.contains(player))
            continue;
        // Its stream must not stay where the server may have moved it, on
        // an output that plays a tone of its own.
        const Report released = player->release();
        if (!paused)
            narrator->report(released);
        player->deleteLater();
        trim->start();
    }
    players = kept;
    if (anyStarted)
        alignTicks();
    if (qtDefault.isNull() && !paused)
        lookForHiddenSink(nowMs);
    else
        hiddenSinceMs = -1;

    narrate(regular);
    emit checked();
    if (server.answers() && catchingUp && (qtBehind || liveDevices() != server.streamSinks()))
        scheduleCheck(CatchUpIntervalMs);
}

QList<QAudioDeviceInfo> AudioOut::wantedDevices(const QAudioDeviceInfo &qtDefault, bool *qtBehind)
{
    // The server's dummy output, which it offers when it has no other, is
    // no device: nothing it plays reaches one.
    if (outputs.mode == Tone::Outputs::Default) {
        *qtBehind = server.answers() && qtDefault.deviceName() != server.defaultSink;
        return { ServerState::isDummy(qtDefault.deviceName()) ? QAudioDeviceInfo() : qtDefault };
    }
    const auto wants = [&](const QString &name) {
        return !ServerState::isDummy(name)
                && (outputs.mode == Tone::Outputs::All ? !name.isEmpty()
                                                       : outputs.names.contains(name));
    };
    const qint64 nowMs = clock();
    const auto due = [&](const QString &name) {
        return !server.answers() || nowMs >= sinksSinceMs.value(name, nowMs) + NewSinkMs;
    };
    const auto listed = [this](const QString &name) {
        return std::any_of(
                qtDevices.cbegin(), qtDevices.cend(),
                [&name](const QAudioDeviceInfo &device) { return device.deviceName() == name; });
    };
    // Sinks to play on now that Qt's list lacks: Qt has yet to learn of them.
    const auto lacking = [&] {
        if (!server.answers())
            return false;
        return std::any_of(server.sinks.cbegin(), server.sinks.cend(),
                           [&](const ServerState::Sink &sink) {
                               return wants(sink.name) && due(sink.name) && !listed(sink.name);
                           });
    };
    // Qt reads its whole ALSA configuration for its list, so it is read
    // again only when it lacks a sink to play on now, or the server came or
    // went; while no server answers, Qt knows no more than before.
    if (server.reach != ServerState::Unreachable && (qtDevicesStale || lacking())) {
        qtDevices.clear();
        // Only the devices of the backend that gives the default: Qt lists
        // its ALSA devices too, which lead to the same sound server.
        for (const QAudioDeviceInfo &device :
             QAudioDeviceInfo::availableDevices(QAudio::AudioOutput)) {
            if (device.realm() == qtDefault.realm() && wants(device.deviceName()))
                qtDevices << device;
        }
        qtDevicesStale = false;
    }
    QList<QAudioDeviceInfo> wanted;
    for (const QAudioDeviceInfo &device : qAsConst(qtDevices)) {
        if (!serverHas(device))
            continue;
        if (due(device.deviceName()))
            wanted << device;
        else
            scheduleCheck(int(sinksSinceMs.value(device.deviceName()) + NewSinkMs - nowMs));
    }
    *qtBehind = lacking();
    return wanted;
}

void AudioOut::narrate(bool regular)
{
    QList<Narrator::Output> found;
    for (const DevicePlayer *player : qAsConst(players)) {
        if (!player->device().isNull())
            found.append({ player->device().deviceName(), player->live(), player->isStalled() });
    }
    narrator->checked(server, paused, found, regular);
}

DevicePlayer *AudioOut::playerFor(const QAudioDeviceInfo &device)
{
    // The default output has one player, which moves with it.
    const bool followsDefault = outputs.mode == Tone::Outputs::Default;
    for (DevicePlayer *player : qAsConst(players)) {
        if (followsDefault || player->device().deviceName() == device.deviceName())
            return player;
    }
    auto *player = new DevicePlayer(tone, Tone::format(), this);
    connect(player, &DevicePlayer::startBegins, this, &AudioOut::startBegins);
    connect(player, &DevicePlayer::startEnds, this, &AudioOut::startEnds);
    connect(player, &DevicePlayer::played, this, &AudioOut::played);
    connect(player, &DevicePlayer::moveBack, this, &AudioOut::streamMovedAway);
    connect(player, &DevicePlayer::restartNeeded, this, &AudioOut::restartNeeded);
    return player;
}

// Qt reports no default device. When the server has a default sink all the
// same, for longer than Qt takes to catch up, Qt's backend never reached the
// server (it was not running when this process started) and never will.
void AudioOut::lookForHiddenSink(qint64 nowMs)
{
    if (!server.answers() || !server.sink(server.defaultSink)) {
        hiddenSinceMs = -1;
        return;
    }
    if (hiddenSinceMs < 0) {
        hiddenSinceMs = nowMs;
        scheduleCheck(HiddenSinkRecheckMs);
        return;
    }
    if (nowMs - hiddenSinceMs >= HiddenSinkRecheckMs)
        emit restartNeeded(FreshStart::BackendNeverReached);
}

bool AudioOut::serverHas(const QAudioDeviceInfo &device) const
{
    return device.isNull() || !server.answers() || server.sink(device.deviceName());
}

// The devices that have a live output, in order: where the server should
// report this process's streams.
QStringList AudioOut::liveDevices() const
{
    QStringList live;
    for (const DevicePlayer *player : players) {
        if (player->live())
            live << player->device().deviceName();
    }
    live.sort();
    return live;
}
