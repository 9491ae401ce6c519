#ifndef NARRATOR_H
#define NARRATOR_H

#include "freshstart.h"
#include "hearing.h"
#include "report.h"
#include "serverstate.h"
#include "tone.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QTime>

#include <functional>

class LineThrottle;
class QTimer;

// Tells people what the program does: every line it writes about playback,
// and the status the service manager shows. It is told what the players did,
// and, after every check, what the server reports, whether the tone pauses
// and what was found of each player, and it decides nothing about playback.
// It keeps what it needs for the words alone: the devices' descriptions,
// what has been said of each, and the throttle that keeps lines about a
// device to one a second.
class Narrator : public QObject
{
    Q_OBJECT

public:
    // What a check found of one player on a device.
    struct Output
    {
        QString device;
        // Playing, in the eyes of Qt.
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
    // long; so is the first, once the server lists the player's stream. As
    // a stream starts on a sink that was idle, PipeWire reports the sink
    // suspended for up to 56 ms (measured with both cores busy), and the new
    // stream at volume 0 for up to 15 ms; PulseAudio reports the state from
    // before the stream until its events arrive; a slider dragged to the top
    // passes every level on its way. Five times the longest of these.
    static constexpr int SettleMs = 300;
    // Ready is told once what reaches the devices is settled, or this long
    // after the first check at the latest; a passing state holds the status
    // back for as long at most.
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
    // The server reported this before, and now this.
    void serverChanged(const ServerState &before, const ServerState &now);
    void report(const Report &report);
    void pausedChanged(bool paused);
    void woke();
    // After every check, and whenever it asked to look again, with what the
    // server reports, whether the tone pauses, and what was found of every
    // player on a device. A regular check comes a check interval after the
    // last.
    void checked(const ServerState &server, bool paused, const QList<Output> &outputs,
                 bool regular);
    // A fresh start was asked for, and waits until this time of the day.
    void restartDeferred(FreshStart::Reason reason, const QTime &at);

public slots:
    // What the session watch finds: nothing to watch, for this reason; or a
    // display session, by its id, that pauses the tone while it is idle.
    void sessionUnwatchable(const QString &reason);
    void sessionWatched(const QString &id);

signals:
    // Once, when the first check's outcome is settled, with the status.
    void ready(const QString &status);
    void statusChanged(const QString &status);
    // What reaches a device may have settled: checked() is due again.
    void lookAgain();

private:
    // What reaches a device: what was said last, if anything was, and what
    // the server reports now, since when.
    struct Heard
    {
        Hearing said;
        bool told = false;
        Hearing now;
        qint64 sinceMs = 0;
    };

    void tellHearing(const QString &device, const Heard &heard);
    // Looks again this much later, unless it is to look sooner already.
    void lookAgainIn(qint64 delayMs);
    // A device as lines and the status name it: its description and name.
    QString named(const QString &device) const;

    const Tone::Settings tone;
    const Tone::Outputs outputs;
    LineThrottle *const lines;
    QTimer *const later;
    std::function<qint64()> clock;
    QHash<QString, Heard> hearings;
    // The last description the server gave each device, to name it by even
    // once it is gone.
    QHash<QString, QString> descriptions;
    // The named devices found missing, said so.
    QSet<QString> missed;
    QString deferral;
    bool toldNoDevice = false;
    QString currentStatus;
    // Since when the status waits for a passing state to end; -1 if it does
    // not.
    qint64 passingSinceMs = -1;
    qint64 firstCheckMs = -1;
    bool readyTold = false;
};

#endif // NARRATOR_H
