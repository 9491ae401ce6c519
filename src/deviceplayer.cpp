#include "deviceplayer.h"

#include "generator.h"

#include <QAudioOutput>
#include <QDebug>
#include <QDeadlineTimer>

DevicePlayer::DevicePlayer(const Tone::Settings &tone, const QAudioFormat &format, bool namesMoves,
                           QObject *parent)
    : QObject(parent)
    , tone(tone)
    , namesMoves(namesMoves)
    , format(format)
    , generator(new Generator(format, Tone::BufferDurationUs, tone.frequency, this))
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
    recovery.rebuilt(failed());
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
        generator = new Generator(format, Tone::BufferDurationUs, tone.frequency, this);
        generator->startReading();
    }

    if (output) {
        output->stop();
        output->deleteLater();
    }
    output = new QAudioOutput(current, format, this);
    // Pull mode: the output reads from the tone device whenever it needs data.
    emit startBegins();
    output->start(generator);
    emit startEnds();
    output->setVolume(tone.volume);
}

Recovery::Verdict DevicePlayer::assess(const ServerState &server, bool regular)
{
    if (!output || current.isNull())
        return {};
    Recovery::Observation seen;
    seen.regular = regular;
    seen.atMs = QDeadlineTimer::current().deadline();
    seen.failed = failed();
    // Qt leaves an output whose stream the server killed active, with no
    // error, and only the space it reports free shows the loss, for good.
    seen.killed = !seen.failed && output->bytesFree() < 0;
    seen.playedUs = output->processedUSecs();
    seen.bufferUs = format.durationForBytes(output->bufferSize());
    seen.serverAnswers = server.answers();
    seen.deviceListed = server.sink(current.deviceName()) != nullptr;
    seen.streamListed = server.streamSinks().contains(current.deviceName());
    seen.streamMovedAway = server.strayFrom(current.deviceName()) != nullptr;
    return recovery.next(seen);
}

bool DevicePlayer::failed() const
{
    return output && output->state() == QAudio::StoppedState && output->error() != QAudio::NoError;
}

bool DevicePlayer::live() const
{
    return output && !current.isNull() && !failed() && output->bytesFree() >= 0;
}
