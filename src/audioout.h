#ifndef AUDIOOUT_H
#define AUDIOOUT_H

#include "freshstart.h"
#include "serverstate.h"
#include "tone.h"

#include <QAudioDeviceInfo>
#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QObject>

#include <functional>

class DevicePlayer;
class Narrator;
class QTimer;

// Plays the tone on the system's default output device and follows that
// device: at every regular check, and at once when the audio server says
// something changed, playback moves to the new default, with the format
// adapted when the new device cannot play the current one. Asked to, it plays
// on every output device instead, or on the ones named, each with a player of
// its own. It picks the devices and hands each player its device; the players
// bring back playback that has died, and the narrator tells what happened.
class AudioOut : public QObject
{
    Q_OBJECT

public:
    // How often the regular checks come: checkOut() is called this often.
    static constexpr int CheckIntervalMs = 5000;
    // The first check waits at most this long for the server's state.
    static constexpr int FirstStateWaitMs = 1000;
    // A burst of the server's events is answered with one check this much
    // later; so is a rebuild, to see how it fared.
    static constexpr int EventDelayMs = 30;
    // Qt's backend learns of the server's events through a connection of its
    // own, possibly later: until it agrees with the server, checks follow
    // this often, for at most CatchUpMs, and meanwhile nothing is rebuilt.
    static constexpr int CatchUpIntervalMs = 100;
    static constexpr int CatchUpMs = 2000;
    // A default sink that Qt does not report is looked at again this much
    // later, since one that has just appeared may not have reached Qt yet.
    static constexpr int HiddenSinkRecheckMs = 1000;
    // With every output or the ones named, a sink that appears is played on
    // once it has stayed this long: sinks come and go by the dozen as a
    // device changes its profile or a server loads modules, and a stream
    // started on one that goes as the stream is made blocks Qt for good.
    static constexpr int NewSinkMs = 1000;
    // Memory is given back this long after the last output was let go.
    static constexpr int TrimDelayMs = 1000;

    AudioOut(const Tone::Settings &tone, const Tone::Outputs &outputs, Narrator *narrator,
             QObject *parent = nullptr);
    ~AudioOut() override;

    // Milliseconds on a monotonic clock, by which outputs are judged.
    void setClock(std::function<qint64()> nowMs) { clock = std::move(nowMs); }

    // Runs the first check, once the server's state is known.
    void start();

public slots:
    // A regular check, a whole check interval after the last one.
    void checkOut();
    // What the audio server reports has changed: check at once.
    void serverChanged(const ServerState &state);
    // While paused, no tone plays and no stream is held, so that the sound
    // server can suspend the sinks and the devices can sleep; the checks go
    // on.
    void setPaused(bool paused);
    // The system has woken from sleep: every output starts afresh, at once.
    void systemResumed();

signals:
    // After every check.
    void checked();
    // The outputs have played this much more of the tone.
    void played(qint64 playedUs);
    // Only a fresh process can play again.
    void restartNeeded(FreshStart::Reason reason);
    // The server answers again, or its sinks are others than before.
    void serverReturned();
    // The server moved a stream away from where it plays: it should be
    // moved back there.
    void streamMovedAway(quint32 index, const QString &device);
    // Around each start of an output, which Qt's backend can block for good.
    void startBegins();
    void startEnds();

private:
    void check(bool regular);
    void scheduleCheck(int delayMs);
    void alignTicks();
    // What the modes differ in: which devices are wanted now, as Qt knows
    // them (and whether Qt lags behind the server on that); and which
    // player plays a wanted device.
    QList<QAudioDeviceInfo> wantedDevices(const QAudioDeviceInfo &qtDefault, bool *qtBehind);
    DevicePlayer *playerFor(const QAudioDeviceInfo &device);
    // Tells the narrator what there is to tell after a check.
    void narrate(bool regular);
    void lookForHiddenSink(qint64 nowMs);
    // Whether the server, as far as it has been heard, has the device: a
    // stream started on a sink that has just gone can block Qt for good.
    bool serverHas(const QAudioDeviceInfo &device) const;
    QStringList liveDevices() const;

    const Tone::Settings tone;
    const Tone::Outputs outputs;
    Narrator *const narrator;
    QList<DevicePlayer *> players;
    // Qt's output devices of the backend that gives the default, looked up
    // again only when the server's sinks changed: Qt reads its whole ALSA
    // configuration each time.
    QList<QAudioDeviceInfo> qtDevices;
    bool qtDevicesStale = true;
    ServerState server;
    QTimer *soon = nullptr;
    QTimer *trim = nullptr;
    bool started = false;
    bool paused = false;
    // Until when, on the clock, checks follow a change on the server.
    qint64 catchUpUntilMs = -1;
    // Since when Qt has reported no default device while the server had a
    // default sink; -1 while it does not.
    qint64 hiddenSinceMs = -1;
    // Since when the server has had each of its sinks, on the clock; those
    // it had when it was first heard, or came back, are taken as old.
    QHash<QString, qint64> sinksSinceMs;
    std::function<qint64()> clock = [] { return QDeadlineTimer::current().deadline(); };
};

#endif // AUDIOOUT_H
