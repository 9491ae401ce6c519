#include "audioout.h"

#include "generator.h"
#include "pulseserver.h"

#include <QAudioOutput>
#include <QDebug>
#include <QTimer>

AudioOut::AudioOut(int frequency, double volume, QObject *parent)
    : QObject(parent)
    , frequency(frequency != 0 ? frequency : DefaultFrequency)
    , volume(volume != 0.0 ? volume : DefaultVolume)
{
    qDebug() << this->volume << this->frequency;

    format.setSampleRate(44100);
    format.setChannelCount(1);
    format.setSampleSize(16);
    format.setCodec("audio/pcm");
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);

    generator = new Generator(format, ToneDuration, this->frequency, this);
    generator->startReading();

    checkOut();

    auto *timer = new QTimer(this);
    connect(timer, SIGNAL(timeout()), this, SLOT(checkOut()));
    timer->start(CheckIntervalMs);
}

// The children still alive (tone device, output, timer) go with the QObject base.
AudioOut::~AudioOut() = default;

void AudioOut::checkOut()
{
    if (QAudioDeviceInfo::defaultOutputDevice() != device)
        play();
    else if (device.isNull())
        lookForHiddenSink();
    else if (outputFailed())
        recover(false);
    else if (stalled())
        recover(true);
    emit checked();
}

// Moves playback to the default device, or rebuilds it there.
void AudioOut::play()
{
    qDebug() << device.deviceName();
    // Asked afresh rather than reusing the value compared before.
    device = QAudioDeviceInfo::defaultOutputDevice();
    qDebug() << device.deviceName();

    // A null device supports nothing and its nearest format is invalid; adapting
    // to it would leave the next real device with a wrong format for good.
    if (!device.isNull() && !device.isFormatSupported(format)) {
        format = device.nearestFormat(format);
        generator->stopReading();
        generator->deleteLater();
        generator = new Generator(format, ToneDuration, frequency, this);
        generator->startReading();
    }

    if (output) {
        output->stop();
        output->deleteLater();
    }
    output = new QAudioOutput(device, format, this);
    // Pull mode: the output reads from the tone device whenever it needs data.
    output->start(generator);
    output->setVolume(volume);
    processedAtCheck = -1;
    hiddenSinkSeen = false;
}

// Whether the output has played nothing since the last check. A healthy one
// plays a whole check interval of audio in between; a new one is measured from
// its first check on, since filling its buffer is not playing.
bool AudioOut::stalled()
{
    const qint64 previous = processedAtCheck;
    processedAtCheck = output->processedUSecs();
    if (previous < 0)
        return false;
    if (processedAtCheck == previous)
        return true;
    hasPlayed = true;
    troubledChecks = 0;
    stallRebuilds = 0;
    stalledChecks = 0;
    return false;
}

void AudioOut::recover(bool stall)
{
    ++troubledChecks;
    stalledChecks += stall ? 1 : 0;
    // Nothing plays without a server: wait, quietly, for it to come back.
    if (PulseServer::status() == PulseServer::Unreachable)
        return;
    if (backendLost) {
        emit restartNeeded(hasPlayed);
        return;
    }
    // A sink suspended on purpose stalls a stream just like one the server
    // killed. Each rebuild of a stalled output therefore waits for twice as
    // many stalled checks as the one before, up to about five minutes, so a
    // suspension costs a rebuild or two and never a loop.
    if (stall) {
        if (stalledChecks < 1 << qMin(stallRebuilds, MaxStallBackoff))
            return;
        ++stallRebuilds;
        stalledChecks = 0;
    }
    play();
    // Qt's backend retries a lost server once, 3 s after the loss. An output
    // that fails the moment it starts, while the server answers and after a
    // check that had already found playback failed, shows that retry is
    // spent: this process cannot play again.
    if (outputFailed() && troubledChecks > 1) {
        backendLost = true;
        emit restartNeeded(hasPlayed);
    }
}

// Qt reports no default device. When the server has a default sink all the
// same, Qt's backend never reached the server (it was not running when this
// process started) and never will.
void AudioOut::lookForHiddenSink()
{
    if (PulseServer::status() != PulseServer::HasDefaultSink) {
        hiddenSinkSeen = false;
        return;
    }
    if (!hiddenSinkSeen) {
        hiddenSinkSeen = true;
        QTimer::singleShot(HiddenSinkRecheckMs, this, &AudioOut::checkOut);
        return;
    }
    emit restartNeeded(hasPlayed);
}

// An output whose audio server went away stays stopped with an error even
// after Qt reconnects.
bool AudioOut::outputFailed() const
{
    return output && output->state() == QAudio::StoppedState && output->error() != QAudio::NoError;
}
