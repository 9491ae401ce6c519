#ifndef DEVICEPLAYER_H
#define DEVICEPLAYER_H

#include "freshstart.h"
#include "recovery.h"
#include "serverstate.h"
#include "tone.h"

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QObject>
#include <QPointer>

class Generator;
class QAudioOutput;
class QIODevice;
class QTimer;

// Plays the tone on one output device: its own tone device, read position,
// format and audio output, and the recovery that judges that output's health.
// It carries out what its recovery decides and reports what it did.
//
// It writes the tone to its output itself, as much as the server asks for at
// each of the output's ticks: Qt's PulseAudio output, left to pull, writes 20
// ms at a time, fifty times a second, and wakes the server and its own
// thread each time; written this way, a few times a second. The ticks are
// those of the timer Qt's output runs anyway, so that several outputs whose
// ticks are restarted together wake the program once.
class DevicePlayer : public QObject
{
    Q_OBJECT

public:
    // What the player did.
    struct Report
    {
        enum Deed { Nothing, Moved, Rebuilt, PutBack, Released };

        Deed deed = Nothing;
        // What was wrong with the output; Healthy for a rebuild on purpose.
        Recovery::Cause cause = Recovery::Healthy;
        // The device it played on before, and the one it plays on now.
        QString from;
        QString device;
        // The new output failed as it started.
        bool failed = false;
        // While a backoff is waited out: when to look again, in milliseconds.
        int retryInMs = 0;
    };

    // How often the player's own tick comes, where Qt's output has none to
    // offer: as often as Qt's PulseAudio output ticks.
    static constexpr int TickMs = 20;

    DevicePlayer(const Tone::Settings &tone, const QAudioFormat &format, QObject *parent);

    const QAudioDeviceInfo &device() const { return current; }

    // Moves playback to the device, first adapting the format if the device
    // cannot play the current one. The tone carries on where it was.
    Report moveTo(const QAudioDeviceInfo &device);
    // Looks at the output, from what Qt says of it and what the server
    // reports at nowMs on a monotonic clock, and does what its recovery
    // decides.
    Report check(const ServerState &server, bool regular, qint64 nowMs);
    // Starts playback again on the same device, on purpose.
    Report startAgain();
    // Lets go of the output: its device is gone, or the tone pauses.
    Report release();
    // The server changed in a way that may have ended the output's trouble.
    void rearm() { recovery.rearm(); }
    // Starts the output's tick afresh: ticks restarted together fall
    // together from then on.
    void restartTick();

    // Playing on a device, in the eyes of Qt.
    bool live() const;
    bool isStalled() const { return recovery.isStalled(); }

signals:
    // Around each start of an output, which Qt's backend can block for good.
    void startBegins();
    void startEnds();
    // The output has played this much more of the tone.
    void played(qint64 playedUs);
    // The server moved the output's stream, this one, away from the device.
    void moveBack(quint32 stream, const QString &device);
    // Only a fresh process can play here again.
    void restartNeeded(FreshStart::Reason reason);

private:
    Report play(Report::Deed deed, Recovery::Cause cause, const QAudioDeviceInfo &device);
    // Writes what the server asks for.
    void feed();
    void countPlayed();
    bool failed() const;

    const Tone::Settings tone;
    QAudioDeviceInfo current;
    QAudioOutput *output = nullptr;
    // Where the output takes what is written, and what it did not take yet.
    QIODevice *sink = nullptr;
    QByteArray unwritten;
    QByteArray chunk;
    // The output's tick: the timer Qt's output runs, or one of the
    // player's own where none is found.
    QPointer<QTimer> tick;
    QTimer *ownTick = nullptr;
    QAudioFormat format;
    Generator *generator = nullptr;
    Recovery recovery;
    // What the output had played beyond its first buffer when last counted.
    qint64 countedUs = 0;
};

#endif // DEVICEPLAYER_H
