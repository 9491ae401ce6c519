#include "audioout.h"

#include "deviceplayer.h"
#include "linethrottle.h"
#include "log.h"

#include <QDebug>
#include <QTimer>

#include <algorithm>

namespace {

QString quoted(const QString &name)
{
    return QLatin1Char('"') + name + QLatin1Char('"');
}

} // namespace

AudioOut::AudioOut(const Tone::Settings &tone, const Tone::Outputs &outputs, QObject *parent)
    : QObject(parent)
    , tone(tone)
    , outputs(outputs)
    , lines(new LineThrottle(this))
    , timer(new QTimer(this))
    , soon(new QTimer(this))
{
    qDebug() << tone.volume << tone.frequency;
    qCInfo(lcTone).noquote() << playingOn(outputs.described());
    connect(timer, &QTimer::timeout, this, &AudioOut::checkOut);
    soon->setSingleShot(true);
    connect(soon, &QTimer::timeout, this, [this] { check(false); });
}

// The children still alive (players, timers) go with the QObject base.
AudioOut::~AudioOut() = default;

void AudioOut::start()
{
    started = true;
    timer->start(CheckIntervalMs);
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
    if (state.reach == ServerState::Unreachable && server.reach == ServerState::Unknown)
        qCInfo(lcTone) << "No audio server answers yet; waiting for one";
    else if (state.reach == ServerState::Unreachable && server.reach == ServerState::Reachable)
        qCWarning(lcTone) << "No audio server answers; waiting for one";
    else if (state.reach == ServerState::Reachable && server.reach == ServerState::Unreachable)
        qCInfo(lcTone) << "The audio server answers";

    // What may end a player's trouble: the server back, a device or the
    // default changed. Its streams coming and going do not: a sink that
    // kills every new stream would otherwise be answered at its own pace.
    const bool mayHeal = state.reach != server.reach || state.defaultSink != server.defaultSink
            || state.sinks != server.sinks;
    if (state.reach != server.reach || state.sinks != server.sinks)
        qtDevicesStale = true;
    for (const ServerState::Sink &sink : state.sinks)
        descriptions.insert(sink.name, sink.description);
    server = state;
    if (mayHeal) {
        for (DevicePlayer *player : qAsConst(players))
            player->rearm();
    }
    catchUp.setRemainingTime(CatchUpMs);
    if (started)
        scheduleCheck(EventDelayMs);
}

void AudioOut::setPaused(bool paused)
{
    if (paused == this->paused)
        return;
    this->paused = paused;
    if (paused)
        qCInfo(lcTone) << "The session is idle or locked: pausing the tone, so that the outputs "
                          "may sleep";
    else
        qCInfo(lcTone) << "The session is active again: playing the tone";
    check(false);
}

void AudioOut::systemResumed()
{
    qCInfo(lcTone) << "The system has woken up: starting the tone afresh";
    // The devices and the server may have changed under a stream that Qt
    // still takes for playing: start each again where the server has it.
    for (DevicePlayer *player : qAsConst(players)) {
        player->rearm();
        if (player->live() && serverHas(player->device()))
            player->rebuild();
    }
    check(false);
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
    const bool settled = !qtBehind || catchUp.hasExpired();
    QList<DevicePlayer *> kept;
    for (const QAudioDeviceInfo &device : wanted) {
        DevicePlayer *player = playerFor(device);
        kept << player;
        if (player->device() != device)
            follow(player, device);
        else if (settled)
            recover(player, regular);
    }
    for (DevicePlayer *player : qAsConst(players)) {
        if (!kept.contains(player))
            release(player,
                    paused ? QString()
                           : named(player->device().deviceName())
                                    + QStringLiteral(" is gone; waiting for it to return"));
    }
    players = kept;
    for (const DevicePlayer *player : qAsConst(players)) {
        const QString name = player->device().deviceName();
        if (!player->live() || !isSuspended(name)) {
            suspendedSaid.remove(name);
        } else if (!suspendedSaid.contains(name)) {
            lines->say(QtWarningMsg, name,
                       QStringLiteral("The sound server has suspended %1: nothing plays there "
                                      "until it resumes")
                               .arg(named(name)));
            suspendedSaid.insert(name);
        }
    }
    for (const QString &name : outputs.names) {
        if (hasPlayerOn(name)) {
            missed.remove(name);
        } else if (regular && server.answers() && !paused && !missed.contains(name)) {
            // Said at a regular check, so that a server that has just come
            // up has had the time to list its sinks.
            qCInfo(lcTone).noquote() << quoted(name) << "is not there; waiting for it"
                                     << "(steadytone --list shows the names)";
            missed.insert(name);
        }
    }
    if (qtDefault.isNull() && !paused)
        lookForHiddenSink();
    else
        hiddenSince.invalidate();

    updateStatus();
    emit checked();
    if (server.answers() && !catchUp.hasExpired()
        && (qtBehind || liveDevices() != server.streamSinks()))
        scheduleCheck(CatchUpIntervalMs);
}

QList<QAudioDeviceInfo> AudioOut::wantedDevices(const QAudioDeviceInfo &qtDefault, bool *qtBehind)
{
    if (outputs.mode == Tone::Outputs::Default) {
        *qtBehind = server.answers() && qtDefault.deviceName() != server.defaultSink;
        return { qtDefault };
    }
    const auto wants = [this](const QString &name) {
        return outputs.mode == Tone::Outputs::All
                ? !name.isEmpty() && name != QLatin1String(DummySink)
                : outputs.names.contains(name);
    };
    // While no server answers, Qt knows no more than before.
    if (qtDevicesStale && server.reach != ServerState::Unreachable) {
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
    QStringList names;
    for (const QAudioDeviceInfo &device : qAsConst(qtDevices)) {
        if (serverHas(device)) {
            wanted << device;
            names << device.deviceName();
        }
    }
    *qtBehind = false;
    if (server.answers()) {
        for (const ServerState::Sink &sink : qAsConst(server.sinks))
            *qtBehind = *qtBehind || (wants(sink.name) && !names.contains(sink.name));
    }
    // Qt has yet to learn of a sink: ask it again at the next check.
    qtDevicesStale = qtDevicesStale || *qtBehind;
    return wanted;
}

DevicePlayer *AudioOut::playerFor(const QAudioDeviceInfo &device)
{
    // The default output has one player, which moves with it.
    const bool followsDefault = outputs.mode == Tone::Outputs::Default;
    for (DevicePlayer *player : qAsConst(players)) {
        if (followsDefault || player->device().deviceName() == device.deviceName())
            return player;
    }
    auto *player = new DevicePlayer(tone, Tone::format(), followsDefault, this);
    connect(player, &DevicePlayer::startBegins, this, &AudioOut::startBegins);
    connect(player, &DevicePlayer::startEnds, this, &AudioOut::startEnds);
    return player;
}

void AudioOut::follow(DevicePlayer *player, const QAudioDeviceInfo &device)
{
    if (!serverHas(device))
        return;
    player->moveTo(device);
    if (device.isNull())
        lines->say(QtWarningMsg, QString(), QStringLiteral("No output device; waiting for one"));
    else
        lines->say(QtInfoMsg, device.deviceName(), playingOn(named(device.deviceName())));
}

void AudioOut::recover(DevicePlayer *player, bool regular)
{
    const Recovery::Verdict verdict = player->assess(server, regular);
    if (player->hasPlayed() && !hasPlayed) {
        hasPlayed = true;
        emit playing();
    }
    const QString name = player->device().deviceName();
    const QString device = named(name);
    switch (verdict.action) {
    case Recovery::Nothing:
        if (verdict.retryInMs > 0)
            scheduleCheck(verdict.retryInMs);
        return;
    case Recovery::Rebuild:
        switch (verdict.cause) {
        case Recovery::Killed:
            lines->say(QtInfoMsg, name,
                       QStringLiteral("The audio server took the stream on %1 away; starting it "
                                      "again")
                               .arg(device));
            break;
        case Recovery::Moved:
            lines->say(QtInfoMsg, name,
                       QStringLiteral("The audio server moved the stream on %1 elsewhere; "
                                      "starting it again")
                               .arg(device));
            break;
        case Recovery::Stalled:
            lines->say(QtWarningMsg, name,
                       QStringLiteral("Nothing played on %1 since the last check; starting it "
                                      "again")
                               .arg(device));
            break;
        default:
            lines->say(QtInfoMsg, name,
                       QStringLiteral("Starting the tone again on %1").arg(device));
            break;
        }
        player->rebuild();
        // A rebuild that fails as it starts shows that Qt's backend has lost
        // the server: look again in a moment.
        scheduleCheck(EventDelayMs);
        return;
    case Recovery::PutBack:
        lines->say(QtInfoMsg, name,
                   QStringLiteral("The audio server moved the stream on %1 elsewhere; putting it "
                                  "back")
                           .arg(device));
        emit streamMovedAway(server.strayFrom(name)->index, name);
        return;
    case Recovery::Restart:
        emit restartNeeded("Qt's audio backend has lost the audio server");
        return;
    }
}

void AudioOut::release(DevicePlayer *player, const QString &line)
{
    // Its stream must not stay where the server may have moved it, on an
    // output that plays a tone of its own.
    const QString name = player->device().deviceName();
    if (!line.isEmpty()) {
        lines->say(QtInfoMsg, name, line);
        missed.insert(name);
    }
    player->release();
    player->deleteLater();
}

// Qt reports no default device. When the server has a default sink all the
// same, for longer than Qt takes to catch up, Qt's backend never reached the
// server (it was not running when this process started) and never will.
void AudioOut::lookForHiddenSink()
{
    if (!server.answers() || !server.sink(server.defaultSink)) {
        hiddenSince.invalidate();
        return;
    }
    if (!hiddenSince.isValid()) {
        hiddenSince.start();
        scheduleCheck(HiddenSinkRecheckMs);
        return;
    }
    if (hiddenSince.elapsed() >= HiddenSinkRecheckMs)
        emit restartNeeded("Qt's audio backend never reached the audio server");
}

bool AudioOut::serverHas(const QAudioDeviceInfo &device) const
{
    return device.isNull() || !server.answers() || server.sink(device.deviceName());
}

bool AudioOut::isSuspended(const QString &device) const
{
    const ServerState::Sink *sink = server.sink(device);
    return sink && sink->suspended;
}

bool AudioOut::hasPlayerOn(const QString &device) const
{
    return std::any_of(players.cbegin(), players.cend(), [&device](const DevicePlayer *player) {
        return player->device().deviceName() == device;
    });
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

void AudioOut::updateStatus()
{
    QStringList absent;
    for (const QString &name : outputs.names) {
        if (!hasPlayerOn(name))
            absent << quoted(name);
    }
    QList<const DevicePlayer *> live;
    for (const DevicePlayer *player : qAsConst(players)) {
        if (player->live())
            live << player;
    }
    QString next;
    if (paused) {
        next = QStringLiteral("Paused while the session is idle");
    } else if (server.reach == ServerState::Unreachable) {
        next = QStringLiteral("Waiting for an audio server");
    } else if (live.isEmpty()) {
        next = absent.isEmpty()
                ? QStringLiteral("Waiting for an output device")
                : QStringLiteral("Waiting for %1 (steadytone --list shows the names)")
                          .arg(absent.join(QStringLiteral(", ")));
    } else if (live.size() == 1 && isSuspended(live.first()->device().deviceName())) {
        next = QStringLiteral("Nothing plays on %1: the sound server has suspended it")
                       .arg(named(live.first()->device().deviceName()));
    } else if (live.size() == 1 && live.first()->isStalled()) {
        next = QStringLiteral("Nothing plays on %1; trying it again now and then")
                       .arg(named(live.first()->device().deviceName()));
    } else {
        next = playingOn(live.size() == 1 ? named(live.first()->device().deviceName())
                                          : QStringLiteral("%1 outputs").arg(live.size()));
        if (!absent.isEmpty())
            next += QStringLiteral(", waiting for ") + absent.join(QStringLiteral(", "));
    }
    if (next == currentStatus)
        return;
    currentStatus = next;
    emit statusChanged(currentStatus);
}

QString AudioOut::playingOn(const QString &where) const
{
    return QStringLiteral("Playing %1 Hz at volume %2 on %3")
            .arg(tone.frequency)
            .arg(tone.volume)
            .arg(where);
}

QString AudioOut::named(const QString &device) const
{
    const QString description = descriptions.value(device);
    return description.isEmpty() || description == device
            ? device
            : QStringLiteral("%1 (%2)").arg(description, device);
}
