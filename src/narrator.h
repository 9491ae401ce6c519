#ifndef NARRATOR_H
#define NARRATOR_H

#include "deviceplayer.h"
#include "freshstart.h"
#include "serverstate.h"
#include "tone.h"

#include <QHash>
#include <QObject>
#include <QSet>

#include <functional>

class LineThrottle;

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
        enum Trouble { Heard, Suspended, Stalled };
        struct Playing
        {
            // The output in words, as named().
            QString name;
            Trouble trouble = Heard;
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
    void statusChanged(const QString &status);

private:
    // A device as lines and the status name it: its description and name.
    QString named(const QString &device) const;
    bool isSuspended(const QString &device) const;

    const Tone::Settings tone;
    const Tone::Outputs outputs;
    LineThrottle *lines = nullptr;
    ServerState server;
    bool paused = false;
    // The last description the server gave each device, to name it by even
    // once it is gone.
    QHash<QString, QString> descriptions;
    // The named devices found missing, and the suspended ones, said so.
    QSet<QString> missed;
    QSet<QString> suspendedSaid;
    QString deferral;
    QString currentStatus;
};

#endif // NARRATOR_H
