#ifndef DEVICEPLAYER_H
#define DEVICEPLAYER_H

#include "recovery.h"

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QObject>

class Generator;
class QAudioOutput;

// Plays the tone on one output device: its own tone device, read position,
// format and audio output, and what is known of that output's health.
class DevicePlayer : public QObject
{
    Q_OBJECT

public:
    // A player that follows the default device writes the names of the
    // device it leaves and the one it moves to at every move.
    DevicePlayer(int frequency, double volume, const QAudioFormat &format, bool namesMoves,
                 QObject *parent);

    const QAudioDeviceInfo &device() const { return current; }

    // Moves playback to the device, first adapting the format if the device
    // cannot play the current one. The tone carries on where it was.
    void moveTo(const QAudioDeviceInfo &device);
    // Starts playback again on the same device.
    void rebuild();
    // Lets go of the output: its device is gone.
    void release();

    // What a check sees of the output.
    Recovery::Sight sight(bool regular) const;
    // Stopped with an error, as when the audio server went away.
    bool failed() const;
    // Playing on a device, in the eyes of Qt.
    bool live() const;

    Recovery recovery;

private:
    void play(const QAudioDeviceInfo &device);

    int frequency = 0;
    double volume = 0.0;
    bool namesMoves = false;
    QAudioDeviceInfo current;
    QAudioOutput *output = nullptr;
    QAudioFormat format;
    Generator *generator = nullptr;
};

#endif // DEVICEPLAYER_H
