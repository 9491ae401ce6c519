#ifndef DEVICEPLAYER_H
#define DEVICEPLAYER_H

#include "freshstart.h"
#include "recovery.h"
#include "report.h"
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
// It writes the tone to its output itself, at the output's ticks, as much as
// the server has room for once that is a whole period: Qt's PulseAudio
// output, left to pull, writes a period at every tick and wakes the server
// each time. The ticks are those of the timer Qt's output runs anyway, so that
// several outputs whose ticks are restarted together wake the program once.
class DevicePlayer : public QObject
{
    Q_OBJECT

public:
    // How often Qt's PulseAudio output ticks; the player's own tick, where
    // Qt's output has none to offer, comes as often.
    static constexpr int QtTickMs = 20;

    DevicePlayer(const Tone::Settings &tone, const QAudioFormat &format, QObject *parent);

    const QAudioDeviceInfo &device() const { return current; }

    // Moves playback to the device, first adapting the format if the device
    // cannot play the current one. The tone carries on where it was.
    Report moveTo(const QAudioDeviceInfo &device);
    // Looks at the output, from what Qt says of it and what the server
    // reports at nowMs on a monotonic clock, and does what its recovery
    // decides.
    Report check(const ServerState &server, bool regular, qint64 nowMs);
    // While a backoff is waited out: when the last check wants to look
    // again, in milliseconds; 0 when it does not.
    int retryInMs() const { return retryWaitMs; }
    // Starts playback again on the same device, on purpose.
    Report startAgain();
    // Lets go of the output: its device is gone, or the tone pauses.
    Report release();
    // The server changed in a way that may have ended the output's trouble.
    void rearm() { recovery.rearm(); }
    // Starts the output's tick afresh: ticks restarted together fall
    // together from then on.
    void restartTick();
    // Writes what the server has room for now, not at the next tick.
    void topUp() { feed(); }

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
    // The output has a stream: it is written at Qt's tick, or else at one of
    // the player's own. Without a stream nothing ticks.
    void tickWith(QTimer *qtTick);
    void stopTicking();
    void countPlayed();
    bool failed() const;

    const Tone::Settings tone;
    QAudioDeviceInfo current;
    QAudioOutput *output = nullptr;
    // Where the output takes what is written, while it has a stream; Qt
    // deletes it when it stops the output. What it did not take yet goes to
    // it, or to the output after it in the same format, first.
    QPointer<QIODevice> sink;
    QByteArray unwritten;
    QByteArray chunk;
    // The output's tick: the timer Qt's output runs, or one of the
    // player's own where none is found; null while there is no stream.
    QPointer<QTimer> tick;
    QTimer *ownTick = nullptr;
    QAudioFormat format;
    Generator *generator = nullptr;
    Recovery recovery;
    int retryWaitMs = 0;
    // What the output had played beyond its first buffer when last counted.
    qint64 countedUs = 0;
};

#endif // DEVICEPLAYER_H
