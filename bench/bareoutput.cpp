// Qt's floor for the benchmark: the same tone device played by a bare
// QAudioOutput on the default device, with no controller, no checks and no
// recovery.
//   bareoutput
#include "generator.h"
#include "tone.h"

#include <QAudioDeviceInfo>
#include <QAudioOutput>
#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QAudioFormat format = Tone::format();
    Generator tone(format, Tone::BufferDurationUs, Tone::DefaultFrequency, nullptr);
    tone.startReading();
    QAudioOutput output(QAudioDeviceInfo::defaultOutputDevice(), format);
    output.start(&tone);
    output.setVolume(Tone::DefaultVolume);
    return app.exec();
}
