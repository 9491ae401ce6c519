// Qt's floor for the benchmark: the same tone device played by a bare
// QAudioOutput on the default device, with no controller, no checks and no
// recovery.
//   bareoutput
#include "generator.h"

#include <QAudioDeviceInfo>
#include <QAudioOutput>
#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QAudioFormat format;
    format.setSampleRate(44100);
    format.setChannelCount(1);
    format.setSampleSize(16);
    format.setCodec(QStringLiteral("audio/pcm"));
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);
    Generator tone(format, 1000000, 20, nullptr);
    tone.startReading();
    QAudioOutput output(QAudioDeviceInfo::defaultOutputDevice(), format);
    output.start(&tone);
    output.setVolume(0.02);
    return app.exec();
}
