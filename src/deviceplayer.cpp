#include "deviceplayer.h"

#include "audioout.h"
#include "generator.h"

#include <QAudioOutput>
#include <QDebug>

DevicePlayer::DevicePlayer(int frequency, double volume, const QAudioFormat &format,
                           bool namesMoves, QObject *parent)
    : QObject(parent)
    , frequency(frequency)
    , volume(volume)
    , namesMoves(namesMoves)
    , format(format)
    , generator(new Generator(format, AudioOut::ToneDuration, frequency, this))
{
    generator->startReading();
}

void DevicePlayer::moveTo(const QAudioDeviceInfo &device)
{
    recovery = Recovery();
    play(device);
}

void DevicePlayer::rebuild()
{
    play(current);
}

void DevicePlayer::release()
{
    if (output)
        output->stop();
}

void DevicePlayer::play(const QAudioDeviceInfo &device)
{
    if (namesMoves)
        qDebug() << current.deviceName();
    current = device;
    if (namesMoves)
        qDebug() << current.deviceName();

    // A null device supports nothing and its nearest format is invalid; adapting
    // to it would leave the next real device with a wrong format for good.
    if (!current.isNull() && !current.isFormatSupported(format)) {
        format = current.nearestFormat(format);
        generator->stopReading();
        generator->deleteLater();
        generator = new Generator(format, AudioOut::ToneDuration, frequency, this);
        generator->startReading();
    }

    if (output) {
        output->stop();
        output->deleteLater();
    }
    output = new QAudioOutput(current, format, this);
    // Pull mode: the output reads from the tone device whenever it needs data.
    output->start(generator);
    output->setVolume(volume);
}

Recovery::Sight DevicePlayer::sight(bool regular) const
{
    Recovery::Sight sight;
    sight.regular = regular;
    if (!output)
        return sight;
    sight.failed = failed();
    // Qt leaves an output whose stream the server killed active, with no
    // error, and only the space it reports free shows the loss, for good.
    sight.killed = !sight.failed && output->bytesFree() < 0;
    sight.playedUSecs = output->processedUSecs();
    sight.bufferUSecs = format.durationForBytes(output->bufferSize());
    return sight;
}

bool DevicePlayer::failed() const
{
    return output && output->state() == QAudio::StoppedState && output->error() != QAudio::NoError;
}

bool DevicePlayer::live() const
{
    return output && !current.isNull() && !failed() && output->bytesFree() >= 0;
}
