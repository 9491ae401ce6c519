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

} // namespace

AudioOut::AudioOut(int frequency, double volume, QObject *parent)
    : QObject(parent)
    , frequency(playableFrequency(frequency))
    , volume(playableVolume(volume))
    , soon(new QTimer(this))
{
    qDebug() << this->volume << this->frequency;

    format.setSampleRate(SampleRate);
    format.setChannelCount(1);
    format.setSampleSize(16);
    format.setCodec("audio/pcm");
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);

    player = new DevicePlayer(this->frequency, this->volume, format, this);

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
    if (QAudioDeviceInfo::defaultOutputDevice() != player->device()) {
        // Asked afresh rather than reusing the value compared.
        player->moveTo(QAudioDeviceInfo::defaultOutputDevice());
        hiddenSince.invalidate();
    } else if (player->device().isNull()) {
        lookForHiddenSink();
    } else {
        recover(player, regular);
    }
    updateStatus();
    emit checked();
    if (!catchUp.hasExpired() && !agreesWithServer())
        soon->start(CatchUpIntervalMs);
}

void AudioOut::recover(DevicePlayer *player, bool regular)
{
    Recovery::Sight sight = player->sight(regular);
    sight.serverAnswers = server.reachable;
    const Recovery::Action action = player->recovery.next(sight);
    if (player->recovery.hasPlayed() && !hasPlayed) {
        hasPlayed = true;
        emit playing();
    }
    switch (action) {
    case Recovery::Nothing:
        return;
    case Recovery::Rebuild:
        if (sight.failed)
            qCInfo(lcTone).noquote()
                    << "Starting the tone again on" << describe(player->device().deviceName());
        else if (sight.killed)
            qCWarning(lcTone).noquote()
                    << "The audio server took the stream on"
                    << describe(player->device().deviceName()) << "away; starting it again";
        else
            qCInfo(lcTone).noquote()
                    << "Nothing played on" << describe(player->device().deviceName())
                    << "since the last check; starting it again";
        player->rebuild();
        player->recovery.rebuilt(player->failed());
        if (!player->recovery.isBackendLost())
            return;
        break;
    case Recovery::Restart:
        break;
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

// Whether Qt has caught up with what the server reported last.
bool AudioOut::agreesWithServer() const
{
    if (!server.reachable)
        return true;
    return QAudioDeviceInfo::defaultOutputDevice().deviceName() == server.defaultSink
            && server.ownStreams == (player->live() ? 1 : 0);
}

void AudioOut::updateStatus()
{
    QString next;
    if (serverKnown && !server.reachable)
        next = QStringLiteral("Waiting for an audio server");
    else if (!player->live())
        next = QStringLiteral("Waiting for an output device");
    else if (player->recovery.isStalled())
        next = QStringLiteral("Nothing plays on %1; trying it again now and then")
                       .arg(describe(player->device().deviceName()));
    else
        next = QStringLiteral("Playing %1 Hz at volume %2 on %3")
                       .arg(frequency)
                       .arg(volume)
                       .arg(describe(player->device().deviceName()));
    if (next == currentStatus)
        return;
    currentStatus = next;
    emit statusChanged(currentStatus);
}

// A device by the description the server gives it, or else by its name.
QString AudioOut::describe(const QString &device) const
{
    for (const ServerState::Sink &sink : server.sinks) {
        if (sink.name == device && !sink.description.isEmpty())
            return sink.description;
    }
    return device;
}
