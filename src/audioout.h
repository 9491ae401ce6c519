#ifndef AUDIOOUT_H
#define AUDIOOUT_H

#include "pulseevents.h"

#include <QAudioFormat>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>

class DevicePlayer;
class QTimer;

// Plays the tone on the system's default output device and follows that
// device: checked every few seconds, and at once when the audio server says
// something changed, playback moves to the new default, with the format
// adapted when the new device cannot play the current one. The same checks
// notice playback that has died and bring it back.
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

    AudioOut(int frequency, double volume, QObject *parent);
    ~AudioOut() override;

    // What it is doing, in a few words, for the service manager to show.
    QString status() const { return currentStatus; }

public slots:
    // What the audio server reports has changed: check at once.
    void serverChanged(const ServerState &state);

signals:
    // After every check of the default device.
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
    void check(bool regular);
    void recover(DevicePlayer *player, bool regular);
    void lookForHiddenSink();
    bool agreesWithServer() const;
    void updateStatus();
    QString describe(const QString &device) const;

    int frequency = DefaultFrequency;
    double volume = DefaultVolume;
    QAudioFormat format;
    DevicePlayer *player = nullptr;

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
