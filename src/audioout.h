#ifndef AUDIOOUT_H
#define AUDIOOUT_H

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QObject>

class Generator;
class QAudioOutput;

// Plays the tone on the system's default output device and follows that
// device: checked every few seconds, playback moves to the new default, with
// the format adapted when the new device cannot play the current one. The
// same checks notice playback that has died and bring it back.
class AudioOut : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultFrequency = 20;
    static constexpr double DefaultVolume = 0.02;
    // Ten seconds of audio per tone buffer.
    static constexpr qint64 ToneDuration = 1000000;
    static constexpr int CheckIntervalMs = 5000;
    // A default sink that Qt does not report is looked at again this much
    // later, since one that has just appeared may not have reached Qt yet.
    static constexpr int HiddenSinkRecheckMs = 1000;
    // Stalled outputs are rebuilt at most every 2^MaxStallBackoff checks.
    static constexpr int MaxStallBackoff = 6;

    AudioOut(int frequency, double volume, QObject *parent);
    ~AudioOut() override;

signals:
    // After every check of the default device.
    void checked();
    // Qt's audio backend has lost the audio server for good, or never reached
    // it: only a fresh process can play again.
    void restartNeeded(bool hasPlayed);

private slots:
    void checkOut();

private:
    void play();
    bool stalled();
    // Rebuilds a failed output, or a stalled one (stall), or asks for a fresh
    // start when that cannot help.
    void recover(bool stall);
    void lookForHiddenSink();
    bool outputFailed() const;

    int frequency = DefaultFrequency;
    double volume = DefaultVolume;
    QAudioDeviceInfo device;
    QAudioOutput *output = nullptr;
    QAudioFormat format;
    Generator *generator = nullptr;

    // What the output had played at the last check; -1 before its first.
    qint64 processedAtCheck = -1;
    bool hasPlayed = false;
    // Checks in a row that found playback failed or stalled.
    int troubledChecks = 0;
    // Rebuilds of stalled outputs in a row, and stalled checks since the last.
    int stallRebuilds = 0;
    int stalledChecks = 0;
    bool backendLost = false;
    bool hiddenSinkSeen = false;
};

#endif // AUDIOOUT_H
