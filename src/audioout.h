#ifndef AUDIOOUT_H
#define AUDIOOUT_H

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QObject>

class Generator;
class QAudioOutput;

// Plays the tone on the system's default output device and follows that
// device: checked every few seconds, playback moves to the new default, with
// the format adapted when the new device cannot play the current one.
class AudioOut : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultFrequency = 20;
    static constexpr double DefaultVolume = 0.02;
    // Ten seconds of audio per tone buffer.
    static constexpr qint64 ToneDuration = 1000000;
    static constexpr int CheckIntervalMs = 5000;

    AudioOut(int frequency, double volume, QObject *parent);
    ~AudioOut() override;

private slots:
    void checkOut();

private:
    bool outputFailed() const;

    int frequency = DefaultFrequency;
    double volume = DefaultVolume;
    QAudioDeviceInfo device;
    QAudioOutput *output = nullptr;
    QAudioFormat format;
    Generator *generator = nullptr;
};

#endif // AUDIOOUT_H
