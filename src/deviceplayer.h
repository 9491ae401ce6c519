#ifndef DEVICEPLAYER_H
#define DEVICEPLAYER_H

#include "recovery.h"
#include "serverstate.h"
#include "tone.h"

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QObject>

class Generator;
class QAudioOutput;

// Plays the tone on one output device: its own tone device, read position,
// format and audio output, and the recovery that judges that output's health.
class DevicePlayer : public QObject
{
    Q_OBJECT

public:
    // A player that follows the default device writes the names of the
    // device it leaves and the one it moves to at every move.
    DevicePlayer(const Tone::Settings &tone, const QAudioFormat &format, bool namesMoves,
                 QObject *parent);

    const QAudioDeviceInfo &device() const { return current; }

    // Moves playback to the device, first adapting the format if the device
    // cannot play the current one. The tone carries on where it was.
    void moveTo(const QAudioDeviceInfo &device);
    // Lets go of the output: its device is gone.
    void release();

    // What to do about the output, from what Qt says of it and what the
    // server reports.
    Recovery::Verdict assess(const ServerState &server, bool regular);
    // Starts playback again on the same device, and tells the recovery how
    // that went.
    void rebuild();
    void rearm() { recovery.rearm(); }

    // Playing on a device, in the eyes of Qt.
    bool live() const;
    bool hasPlayed() const { return recovery.hasPlayed(); }
    bool isStalled() const { return recovery.isStalled(); }

signals:
    // Around each start of an output, which Qt's backend can block for good.
    void startBegins();
    void startEnds();

private:
    void play(const QAudioDeviceInfo &device);
    bool failed() const;

    const Tone::Settings tone;
    const bool namesMoves = false;
    QAudioDeviceInfo current;
    QAudioOutput *output = nullptr;
    QAudioFormat format;
    Generator *generator = nullptr;
    Recovery recovery;
};

#endif // DEVICEPLAYER_H
