#ifndef NARRATOR_H
#define NARRATOR_H

#include "deviceplayer.h"
#include "freshstart.h"
#include "hearing.h"
#include "serverstate.h"
#include "tone.h"

#include <QHash>
#include <QObject>
#include <QSet>

#include <functional>

class LineThrottle;
class QTimer;

// Tells people what the program does: every line it writes about playback,
// and the status the service manager shows. It is told what the players did,
// what the server reports, what each check found and whether the tone
// pauses, and it decides nothing about playback. It owns what it needs for
// the words alone: the devices' descriptions, what has been said, and the
// throttle that keeps lines about a device to one a second.
class Narrator : public QObject
{
    Q_OBJECT

public:
    // What a check found of one player.
    struct Output
    {
        QString device;
        bool live = false;
        bool stalled = false;
    };

    // What the status says, as it is given.
    struct Scene
    {
        struct Playing
        {
            // The output in words, as named().
            QString name;
            Hearing hearing;
        };

        bool paused = false;
        ServerState::Reach reach = ServerState::Unknown;
        // The outputs that play, in the eyes of Qt.
        QList<Playing> playing;
        // Named outputs that are not there, quoted.
        QStringList absent;
        // A fresh start waited for, in words; empty when none is.
        QString deferral;
    };

    // A new state of what reaches a device is told once it has held this
    // long. As a stream starts on a sink that was idle, PipeWire reports the
    // sink suspended for up to 56 ms (measured with both cores busy), and
    // the new stream at volume 0 for up to 15 ms; PulseAudio reports the
    // state from before the stream until its events arrive; a slider
    // dragged to the top passes every level on its way. Five times the
    // longest of these.
    static constexpr int SettleMs = 300;
    // Ready is told once what reaches the devices is settled, or this long
    // after the first check at the latest.
    static constexpr int ReadyWaitMs = 2000;

    static QString status(const Tone::Settings &tone, const Scene &scene);

    // Writes the settings line and what the program sets out to play.
    Narrator(const Tone::Settings &tone, const Tone::Outputs &outputs, QObject *parent = nullptr);

    // Milliseconds on a monotonic clock: the wall's, unless told otherwise.
    void setClock(std::function<qint64()> nowMs);

    // What it is doing, in a few words, for the service manager to show.
    QString status() const { return currentStatus; }

    // Why this process was started afresh (empty when it was not), and
    // what was taken instead of the values asked for.
    void started(const QString &freshStartReason, const QStringList &notes);
    void serverChanged(const ServerState &state);
    void report(const DevicePlayer::Report &report);
    void pausedChanged(bool paused);
    void woke();
    // After every check, with what it found of every player.
    void checked(const QList<Output> &outputs, bool regular);
    // A fresh start was asked for, and waits this much longer.
    void restartDeferred(FreshStart::Reason reason, qint64 waitMs);

public slots:
    // What the session watch finds: nothing to watch, for this reason; or a
    // display session, by its id, that pauses the tone while it is idle.
    void sessionUnwatchable(const QString &reason);
    void sessionWatched(const QString &id);

signals:
    // Once, when the first check's outcome is settled, with the status.
    void ready(const QString &status);
    void statusChanged(const QString &status);

private:
    // What reaches a device: what was said last, and what the server
    // reports now, since when.
    struct Heard
    {
        Hearing said;
        Hearing now;
        qint64 sinceMs = 0;
    };

    // Settles what reaches each live output and tells the status.
    void update();
    void tellHearing(const QString &device, const Hearing &before, const Hearing &after);
    // Looks again this much later, unless it is to look sooner already.
    void lookAgainIn(qint64 delayMs);
    // Whether the last check found a player on the device.
    bool hasPlayerOn(const QString &device) const;
    // A device as lines and the status name it: its description and name.
    QString named(const QString &device) const;

    const Tone::Settings tone;
    const Tone::Outputs outputs;
    LineThrottle *const lines;
    QTimer *const later;
    std::function<qint64()> clock;
    ServerState server;
    bool paused = false;
    // What the last check found of the players.
    QList<Output> players;
    QHash<QString, Heard> hearings;
    // The last description the server gave each device, to name it by even
    // once it is gone.
    QHash<QString, QString> descriptions;
    // The named devices found missing, said so.
    QSet<QString> missed;
    QString deferral;
    QString currentStatus;
    qint64 firstCheckMs = -1;
    bool readyTold = false;
};

#endif // NARRATOR_H
