#ifndef GENERATOR_H
#define GENERATOR_H

#include <QAudioFormat>
#include <QByteArray>
#include <QIODevice>

// A read-only device that synthesizes a sine tone once, into memory, and then
// serves it in an endless loop: every read is filled completely. Generators
// of the same tone share its memory, each with a read position of its own.
class Generator : public QIODevice
{
    Q_OBJECT

public:
    // Size of the zeroed buffer a generator starts with; an invalid format
    // leaves it as it is, so the device serves that much silence in a loop.
    static constexpr int InitialBufferBytes = 32768;
    static constexpr qint64 MicrosecondsPerSecond = 1000000;
    // Ten seconds of the largest formats sound hardware offers (768 kHz,
    // 8 channels, 32 bits) fit; the cap only keeps absurd formats from asking
    // for more memory than a QByteArray can hold.
    static constexpr qint64 MaxBufferBytes = qint64(256) << 20;

    Generator(const QAudioFormat &format, qint64 durationUs, int frequency, QObject *parent);
    ~Generator() override;

    void startReading();
    void stopReading();

    qint64 bytesAvailable() const override;
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    void synthesize(const QAudioFormat &format, qint64 durationUs, int frequency);

    qint64 position = 0;
    QByteArray buffer;
    // What the tone is made of, by which generators share it.
    QString tone;
};

#endif // GENERATOR_H
