#include "audioout.h"

#include "deviceplayer.h"
#include "log.h"

#include <QAudioDeviceInfo>
#include <QDebug>
#include <QTimer>

#include <cmath>

namespace {

// A tone at or above half the sample rate would fold back into an audible
// whistle, or play nothing at all.
int playableFrequency(int frequency)
{
    const int limit = AudioOut::SampleRate / 2;
    return frequency > -limit && frequency < limit && frequency != 0 ? frequency
                                                                     : AudioOut::DefaultFrequency;
}

// Qt would play an infinite volume at full scale, and nothing for a
// negative or undefined one.
double playableVolume(double volume)
{
    return std::isfinite(volume) && volume > 0.0 ? volume : AudioOut::DefaultVolume;
}

QString quoted(const QString &device)
{
    return QLatin1Char('"') + device + QLatin1Char('"');
}

} // namespace

AudioOut::AudioOut(int frequency, double volume, QObject *parent)
    : AudioOut(frequency, volume, Outputs(), parent)
{ }

AudioOut::AudioOut(int frequency, double volume, const Outputs &outputs, QObject *parent)
    : QObject(parent)
    , frequency(playableFrequency(frequency))
    , volume(playableVolume(volume))
    , outputs(outputs)
    , soon(new QTimer(this))
{
    qDebug() << this->volume << this->frequency;

    format.setSampleRate(SampleRate);
    format.setChannelCount(1);
    format.setSampleSize(16);
    format.setCodec("audio/pcm");
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);

    if (followsDefault())
        player = new DevicePlayer(this->frequency, this->volume, format, true, this);

    soon->setSingleShot(true);
    connect(soon, &QTimer::timeout, this, [this] { check(false); });

    checkOut();

    auto *timer = new QTimer(this);
    connect(timer, SIGNAL(timeout()), this, SLOT(checkOut()));
    timer->start(CheckIntervalMs);
}

// The children still alive (players, timers) go with the QObject base.
AudioOut::~AudioOut() = default;

void AudioOut::serverChanged(const ServerState &state)
{
    if (!state.reachable && (server.reachable || !serverKnown))
        qCWarning(lcTone) << "No audio server answers; waiting for one";
    else if (state.reachable && serverKnown && !server.reachable)
        qCInfo(lcTone) << "The audio server answers again";
    serverKnown = true;
    server = state;
    catchUp.setRemainingTime(CatchUpMs);
    if (!soon->isActive())
        soon->start(EventDelayMs);
}

void AudioOut::checkOut()
{
    check(true);
}

void AudioOut::check(bool regular)
{
    if (followsDefault())
        followDefault(regular);
    else
        playEach(regular);
    updateStatus();
    emit checked();
    if (!catchUp.hasExpired() && !agreesWithServer())
        soon->start(CatchUpIntervalMs);
}

void AudioOut::followDefault(bool regular)
{
    const QAudioDeviceInfo device = QAudioDeviceInfo::defaultOutputDevice();
    if (device != player->device()) {
        hiddenSince.invalidate();
        // Asked afresh rather than reusing the value compared.
        if (serverHas(device))
            player->moveTo(QAudioDeviceInfo::defaultOutputDevice());
    } else if (device.isNull()) {
        lookForHiddenSink();
    } else {
        recover(player, regular);
    }
}

void AudioOut::playEach(bool regular)
{
    QMap<QString, QAudioDeviceInfo> present;
    const QAudioDeviceInfo fallback = QAudioDeviceInfo::defaultOutputDevice();
    for (const QAudioDeviceInfo &device : QAudioDeviceInfo::availableDevices(QAudio::AudioOutput)) {
        // Only the devices of the backend that gives the default: Qt lists
        // its ALSA devices too, which lead to the same sound server.
        if (device.realm() == fallback.realm() && wanted(device.deviceName()) && serverHas(device))
            present.insert(device.deviceName(), device);
    }
    for (auto it = players.begin(); it != players.end();) {
        if (present.contains(it.key())) {
            ++it;
            continue;
        }
        // Its stream must not stay where the server may have moved it, on
        // an output that plays a tone of its own.
        qCInfo(lcTone).noquote() << quoted(it.key()) << "is gone; waiting for it to return";
        it.value()->release();
        it.value()->deleteLater();
        it = players.erase(it);
    }
    for (const QAudioDeviceInfo &device : qAsConst(present)) {
        DevicePlayer *&each = players[device.deviceName()];
        if (each) {
            recover(each, regular);
            continue;
        }
        qCInfo(lcTone).noquote() << "Playing on" << quoted(device.deviceName());
        each = new DevicePlayer(frequency, volume, format, false, this);
        each->moveTo(device);
    }
    if (fallback.isNull())
        lookForHiddenSink();
    else
        hiddenSince.invalidate();
}

void AudioOut::recover(DevicePlayer *player, bool regular)
{
    Recovery::Sight sight = player->sight(regular);
    sight.serverAnswers = server.reachable;
    // A stream the server moved to another output plays there, not here,
    // beside that output's own tone.
    sight.elsewhere = !followsDefault() && serverKnown && server.reachable && player->live()
            && !server.streams.contains(player->device().deviceName());
    const Recovery::Action action = player->recovery.next(sight);
    if (player->recovery.hasPlayed() && !hasPlayed) {
        hasPlayed = true;
        emit playing();
    }
    if (action == Recovery::Nothing)
        return;
    // Qt still knows a device the server no longer has, where a new stream
    // could block it for good. Its view catches up soon, and playback moves;
    // unless Qt's backend lost the server with the output, and only a fresh
    // process sees the server as it is now.
    const bool gone = !serverHas(player->device());
    if (gone && !sight.failed)
        return;
    if (action == Recovery::Rebuild && !gone) {
        const QString device = describe(player->device().deviceName());
        if (sight.failed)
            qCInfo(lcTone).noquote() << "Starting the tone again on" << device;
        else if (sight.killed || sight.elsewhere)
            qCWarning(lcTone).noquote() << "The audio server" << (sight.killed ? "took" : "moved")
                                        << "the stream on" << device << "away; starting it again";
        else
            qCInfo(lcTone).noquote()
                    << "Nothing played on" << device << "since the last check; starting it again";
        player->rebuild();
        player->recovery.rebuilt(player->failed());
        if (!player->recovery.isBackendLost())
            return;
    }
    emit restartNeeded(QStringLiteral("Qt's audio backend has lost the audio server"));
}

// Qt reports no default device. When the server has a default sink all the
// same, for longer than Qt takes to catch up, Qt's backend never reached the
// server (it was not running when this process started) and never will.
void AudioOut::lookForHiddenSink()
{
    if (!server.reachable || server.defaultSink.isEmpty()) {
        hiddenSince.invalidate();
        return;
    }
    if (!hiddenSince.isValid()) {
        hiddenSince.start();
        QTimer::singleShot(HiddenSinkRecheckMs, this, [this] { check(false); });
        return;
    }
    if (hiddenSince.elapsed() >= HiddenSinkRecheckMs)
        emit restartNeeded(QStringLiteral("Qt's audio backend never reached the audio server"));
}

bool AudioOut::wanted(const QString &device) const
{
    if (outputs.all)
        return !device.isEmpty() && device != QLatin1String(DummySink);
    return outputs.names.contains(device);
}

bool AudioOut::serverHas(const QAudioDeviceInfo &device) const
{
    return device.isNull() || !serverKnown || !server.reachable || server.sink(device.deviceName());
}

// Whether Qt has caught up with what the server reported last.
bool AudioOut::agreesWithServer() const
{
    if (!server.reachable)
        return true;
    if (followsDefault()) {
        if (QAudioDeviceInfo::defaultOutputDevice().deviceName() != server.defaultSink)
            return false;
    } else {
        QStringList sinks;
        for (const ServerState::Sink &sink : server.sinks) {
            if (wanted(sink.name))
                sinks << sink.name;
        }
        sinks.sort();
        if (sinks != QStringList(players.keys()))
            return false;
    }
    return liveDevices() == server.streams;
}

// The devices that have a live output, in order: where the server should
// report this process's streams.
QStringList AudioOut::liveDevices() const
{
    const QList<DevicePlayer *> all =
            followsDefault() ? QList<DevicePlayer *> { player } : players.values();
    QStringList live;
    for (const DevicePlayer *each : all) {
        if (each->live())
            live << each->device().deviceName();
    }
    live.sort();
    return live;
}

void AudioOut::updateStatus()
{
    QString next;
    const QString tone =
            QStringLiteral("Playing %1 Hz at volume %2 on ").arg(frequency).arg(volume);
    if (serverKnown && !server.reachable) {
        next = QStringLiteral("Waiting for an audio server");
    } else if (followsDefault()) {
        const QString device = describe(player->device().deviceName());
        if (!player->live())
            next = QStringLiteral("Waiting for an output device");
        else if (player->recovery.isStalled())
            next = QStringLiteral("Nothing plays on %1; trying it again now and then").arg(device);
        else
            next = tone + device;
    } else {
        const int live = liveDevices().size();
        next = live == 0 ? QStringLiteral("Waiting for an output device")
                         : tone
                        + (live == 1 ? QStringLiteral("1 output")
                                     : QStringLiteral("%1 outputs").arg(live));
        QStringList absent;
        for (const QString &name : outputs.names) {
            if (!players.contains(name))
                absent << quoted(name);
        }
        if (live > 0 && !absent.isEmpty())
            next += QStringLiteral(", waiting for ") + absent.join(QStringLiteral(", "));
    }
    if (next == currentStatus)
        return;
    currentStatus = next;
    emit statusChanged(currentStatus);
}

// A device by the description the server gives it, or else by its name.
QString AudioOut::describe(const QString &device) const
{
    const ServerState::Sink *sink = server.sink(device);
    return sink && !sink->description.isEmpty() ? sink->description : device;
}
