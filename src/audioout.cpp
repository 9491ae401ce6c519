#include "audioout.h"

#include "deviceplayer.h"

#include <QAudioDeviceInfo>
#include <QDebug>
#include <QTimer>

AudioOut::AudioOut(int frequency, double volume, QObject *parent)
    : QObject(parent)
    , frequency(frequency != 0 ? frequency : DefaultFrequency)
    , volume(volume != 0.0 ? volume : DefaultVolume)
    , soon(new QTimer(this))
{
    qDebug() << this->volume << this->frequency;

    format.setSampleRate(44100);
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
