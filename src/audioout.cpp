#include "audioout.h"

#include "generator.h"

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
    // An output whose audio server went away stays stopped with an error even
    // after Qt reconnects, so a failed output on an unchanged device is rebuilt
    // as if the device had changed. A null device has nothing to rebuild on.
    if (!(QAudioDeviceInfo::defaultOutputDevice() != device) && !outputFailed())
        return;

    qDebug() << device.deviceName();
    // Asked afresh rather than reusing the value compared above.
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
}

bool AudioOut::outputFailed() const
{
    return output && !device.isNull() && output->state() == QAudio::StoppedState
            && output->error() != QAudio::NoError;
}
