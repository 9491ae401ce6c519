#ifndef AUDIOOUT_H
#define AUDIOOUT_H

#include "pulseevents.h"

#include <QAudioFormat>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>

class DevicePlayer;
class QAudioDeviceInfo;
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
    static constexpr int DefaultFrequency = 20;
    static constexpr double DefaultVolume = 0.02;
    // The rate asked for first; a tone at or above half of it cannot be.
    static constexpr int SampleRate = 44100;
    // Ten seconds of audio per tone buffer.
    static constexpr qint64 ToneDuration = 1000000;
    static constexpr int CheckIntervalMs = 5000;
    // A burst of the server's events is answered with one check this much later.
    static constexpr int EventDelayMs = 30;
    // Qt's backend learns of the server's events through a connection of its
    // own, possibly later: until it agrees with the server, checks follow
    // this often, for at most CatchUpMs.
    static constexpr int CatchUpIntervalMs = 100;
    static constexpr int CatchUpMs = 2000;
    // A default sink that Qt does not report is looked at again this much
    // later, since one that has just appeared may not have reached Qt yet.
    static constexpr int HiddenSinkRecheckMs = 1000;
    // The output a sound server offers when it has no other.
    static constexpr const char *DummySink = "auto_null";

    // Which outputs to play on: the default one, which playback follows;
    // every one; or the ones named.
    struct Outputs
    {
        bool all = false;
        QStringList names;
    };

    AudioOut(int frequency, double volume, QObject *parent);
    AudioOut(int frequency, double volume, const Outputs &outputs, QObject *parent);
    ~AudioOut() override;

    // What it is doing, in a few words, for the service manager to show.
    QString status() const { return currentStatus; }

public slots:
    // What the audio server reports has changed: check at once.
    void serverChanged(const ServerState &state);

signals:
    // After every check.
    void checked();
    // The tone has played, for the first time in this process.
    void playing();
    // Qt's audio backend has lost the audio server for good, or never reached
    // it: only a fresh process can play again.
    void restartNeeded(const QString &reason);
    void statusChanged(const QString &status);

private slots:
    void checkOut();

private:
    bool followsDefault() const { return !outputs.all && outputs.names.isEmpty(); }
    void check(bool regular);
    void followDefault(bool regular);
    void playEach(bool regular);
    void recover(DevicePlayer *player, bool regular);
    void lookForHiddenSink();
    bool wanted(const QString &device) const;
    // Whether the server, as far as it has been heard, has the device: a
    // stream started on a sink that has just gone can block Qt for good.
    bool serverHas(const QAudioDeviceInfo &device) const;
    bool agreesWithServer() const;
    QStringList liveDevices() const;
    void updateStatus();
    QString describe(const QString &device) const;

    int frequency = DefaultFrequency;
    double volume = DefaultVolume;
    QAudioFormat format;
    const Outputs outputs;
    // Following the default, a single player that is never let go; else one
    // player a device that is there.
    DevicePlayer *player = nullptr;
    QMap<QString, DevicePlayer *> players;

    ServerState server;
    // Whether the server's state has been told yet: until then, that none
    // answers means nothing.
    bool serverKnown = false;
    QTimer *soon = nullptr;
    QDeadlineTimer catchUp;
    QElapsedTimer hiddenSince;
    bool hasPlayed = false;
    QString currentStatus;
};

#endif // AUDIOOUT_H
