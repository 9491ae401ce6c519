#ifndef AUDIOOUT_H
#define AUDIOOUT_H

#include "serverstate.h"
#include "tone.h"

#include <QAudioDeviceInfo>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>

class DevicePlayer;
class LineThrottle;
class QTimer;

// Plays the tone on the system's default output device and follows that
// device: checked every few seconds, and at once when the audio server says
// something changed, playback moves to the new default, with the format
// adapted when the new device cannot play the current one. Asked to, it plays
// on every output device instead, or on the ones named, each with a player of
// its own. The same checks notice playback that has died and bring it back.
class AudioOut : public QObject
{
    Q_OBJECT

public:
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
    // The output a sound server offers when it has no other.
    static constexpr const char *DummySink = "auto_null";

    AudioOut(const Tone::Settings &tone, const Tone::Outputs &outputs, QObject *parent = nullptr);
    ~AudioOut() override;

    // Runs the first check, once the server's state is known, and from then
    // on the regular ones.
    void start();

    // What it is doing, in a few words, for the service manager to show.
    QString status() const { return currentStatus; }

public slots:
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
    // The tone has played, for the first time in this process.
    void playing();
    // Only a fresh process can play again; the reason is static text.
    void restartNeeded(const char *reason);
    void statusChanged(const QString &status);
    // The server moved a stream away from where it plays: it should be
    // moved back there.
    void streamMovedAway(quint32 index, const QString &device);
    // Around each start of an output, which Qt's backend can block for good.
    void startBegins();
    void startEnds();

private slots:
    void checkOut();

private:
    void check(bool regular);
    void scheduleCheck(int delayMs);
    // What the modes differ in: which devices are wanted now, as Qt knows
    // them (and whether Qt lags behind the server on that); and which
    // player plays a wanted device.
    QList<QAudioDeviceInfo> wantedDevices(const QAudioDeviceInfo &qtDefault, bool *qtBehind);
    DevicePlayer *playerFor(const QAudioDeviceInfo &device);

    void follow(DevicePlayer *player, const QAudioDeviceInfo &device);
    void recover(DevicePlayer *player, bool regular);
    void release(DevicePlayer *player, const QString &line);
    void lookForHiddenSink();
    bool wantsSink(const QString &name) const;
    // Whether the server, as far as it has been heard, has the device: a
    // stream started on a sink that has just gone can block Qt for good.
    bool serverHas(const QAudioDeviceInfo &device) const;
    bool hasPlayerOn(const QString &device) const;
    bool isSuspended(const QString &device) const;
    QStringList liveDevices() const;
    void updateStatus();
    // What plays where, in words.
    QString playingOn(const QString &where) const;
    // A device as lines and the status name it: its description and name.
    QString named(const QString &device) const;

    const Tone::Settings tone;
    const Tone::Outputs outputs;
    QList<DevicePlayer *> players;
    // Qt's output devices of the backend that gives the default, looked up
    // again only when the server's sinks changed: Qt reads its whole ALSA
    // configuration each time.
    QList<QAudioDeviceInfo> qtDevices;
    bool qtDevicesStale = true;
    ServerState server;
    // The last description the server gave each device, to name it by
    // even once it is gone.
    QHash<QString, QString> descriptions;
    // The named devices found missing, and the suspended ones, said so.
    QSet<QString> missed;
    QSet<QString> suspendedSaid;
    LineThrottle *lines = nullptr;
    QTimer *timer = nullptr;
    QTimer *soon = nullptr;
    bool started = false;
    bool paused = false;
    QDeadlineTimer catchUp;
    QElapsedTimer hiddenSince;
    bool hasPlayed = false;
    QString currentStatus;
};

#endif // AUDIOOUT_H
