#include "narrator.h"

#include "linethrottle.h"
#include "log.h"
#include "words.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

using Words::quoted;

namespace {

const QString ListHint = QStringLiteral("(steadytone --list shows the names)");

QString playingOn(const Tone::Settings &tone, const QString &where)
{
    return QStringLiteral("Playing %1 Hz at volume %2 on %3")
            .arg(tone.frequency)
            .arg(tone.volume)
            .arg(where);
}

QString level(const Hearing &hearing)
{
    return QString::number(hearing.level, 'g', 2);
}

// Where the mixer's sliders stand, as far as they are below the top: "The
// steadytone stream on X is at 50 %", "X is at 30 %", or both.
QString sliders(const QString &device, const Hearing &hearing)
{
    const bool stream = hearing.streamPercent < 100;
    const bool sink = hearing.sinkPercent < 100;
    if (stream && sink)
        return QStringLiteral("The steadytone stream on %1 is at %2 % and the device at %3 %")
                .arg(device)
                .arg(hearing.streamPercent)
                .arg(hearing.sinkPercent);
    if (stream)
        return QStringLiteral("The steadytone stream on %1 is at %2 %")
                .arg(device)
                .arg(hearing.streamPercent);
    return QStringLiteral("%1 is at %2 %").arg(device).arg(hearing.sinkPercent);
}

// Why nothing of the tone reaches the device, for the status.
QString nothingReaches(const QString &device, const Hearing &hearing)
{
    switch (hearing.trouble) {
    case Hearing::Suspended:
        return QStringLiteral("Nothing plays on %1: the sound server has suspended it").arg(device);
    case Hearing::Stalled:
        return QStringLiteral("Nothing plays on %1; trying it again now and then").arg(device);
    case Hearing::StreamMuted:
        return QStringLiteral("Nothing reaches %1: the steadytone stream is muted in the mixer")
                .arg(device);
    case Hearing::SinkMuted:
        return QStringLiteral("Nothing reaches %1: it is muted in the mixer").arg(device);
    default:
        break;
    }
    const bool stream = hearing.streamPercent < 100;
    const bool sink = hearing.sinkPercent < 100;
    const QString why = stream && sink
            ? QStringLiteral("the steadytone stream is at %1 % and the device at %2 %")
                      .arg(hearing.streamPercent)
                      .arg(hearing.sinkPercent)
            : stream ? QStringLiteral("the steadytone stream is at %1 %").arg(hearing.streamPercent)
                     : QStringLiteral("it is at %1 %").arg(hearing.sinkPercent);
    return QStringLiteral("Nothing reaches %1: %2 in the mixer").arg(device, why);
}

QString described(const Tone::Outputs &outputs)
{
    switch (outputs.mode) {
    case Tone::Outputs::Default:
        return QStringLiteral("the default output, following it as it changes");
    case Tone::Outputs::All:
        return QStringLiteral("every output");
    case Tone::Outputs::Named:
        break;
    }
    QStringList names;
    for (const QString &name : outputs.names)
        names << quoted(name);
    return names.join(QStringLiteral(", "));
}

} // namespace

Narrator::Narrator(const Tone::Settings &tone, const Tone::Outputs &outputs, QObject *parent)
    : QObject(parent)
    , tone(tone)
    , outputs(outputs)
    , lines(new LineThrottle(this))
    , later(new QTimer(this))
{
    QElapsedTimer wall;
    wall.start();
    clock = [wall] { return wall.elapsed(); };
    later->setSingleShot(true);
    connect(later, &QTimer::timeout, this, &Narrator::lookAgain);
    // The program's long-standing log format, which people's scripts read:
    // the settings line at start, volume then frequency, as qDebug() writes
    // them; and, while it follows the default output, at each move the
    // device it leaves and the device it moves to, quoted (see report()).
    qDebug() << tone.volume << tone.frequency;
    // Nothing plays yet: what it sets out to do.
    qCInfo(lcTone).noquote() << QStringLiteral("Set to play %1 Hz at volume %2 on %3")
                                        .arg(tone.frequency)
                                        .arg(tone.volume)
                                        .arg(described(outputs));
}

void Narrator::setClock(std::function<qint64()> nowMs)
{
    clock = nowMs;
    lines->setClock(std::move(nowMs));
}

QString Narrator::status(const Tone::Settings &tone, const Scene &scene)
{
    if (!scene.deferral.isEmpty())
        return scene.deferral;
    if (scene.paused)
        return QStringLiteral("Paused while the session is idle");
    if (scene.reach != ServerState::Reachable)
        return QStringLiteral("Waiting for an audio server");
    if (scene.playing.isEmpty()) {
        return scene.absent.isEmpty()
                ? QStringLiteral("Waiting for an output device")
                : QStringLiteral("Waiting for %1 %2")
                          .arg(scene.absent.join(QStringLiteral(", ")), ListHint);
    }
    QList<Scene::Playing> reached;
    QStringList parts;
    for (const Scene::Playing &playing : scene.playing) {
        if (playing.hearing.reaches())
            reached << playing;
        else
            parts << nothingReaches(playing.name, playing.hearing);
    }
    if (reached.size() == 1) {
        QString heard = playingOn(tone, reached.first().name);
        if (reached.first().hearing.trouble == Hearing::Reduced)
            heard += QStringLiteral(", which the mixer turns down to volume %1")
                             .arg(level(reached.first().hearing));
        parts.prepend(heard);
    } else if (!reached.isEmpty()) {
        parts.prepend(playingOn(tone, QStringLiteral("%1 outputs").arg(reached.size())));
    }
    for (int i = 1; i < parts.size(); ++i)
        parts[i][0] = parts[i][0].toLower();
    QString status = parts.join(QStringLiteral("; "));
    if (!scene.absent.isEmpty())
        status += QStringLiteral(", waiting for ") + scene.absent.join(QStringLiteral(", "));
    return status;
}

void Narrator::started(const QString &freshStartReason, const QStringList &notes)
{
    // The reason came through the environment.
    if (!freshStartReason.isEmpty())
        qCInfo(lcTone).noquote() << "Started afresh in place:" << Words::shown(freshStartReason);
    for (const QString &note : notes)
        qCInfo(lcTone).noquote() << note;
}

void Narrator::sessionUnwatchable(const QString &reason)
{
    qCInfo(lcTone).noquote() << "Nothing tells when the session is idle (" + reason
                    + "): the tone plays all the same";
}

void Narrator::sessionWatched(const QString &id)
{
    qCInfo(lcTone).noquote() << "Following session " + id
                    + ": the tone pauses while it is idle or locked";
}

void Narrator::serverChanged(const ServerState &before, const ServerState &now)
{
    if (now.reach == ServerState::Unreachable && before.reach == ServerState::Unknown)
        qCInfo(lcTone) << "No audio server answers yet; waiting for one";
    else if (now.reach == ServerState::Unreachable && before.reach == ServerState::Reachable) {
        // What was held back about the devices no longer holds.
        lines->forget();
        qCWarning(lcTone) << "No audio server answers; waiting for one";
    } else if (now.reach == ServerState::Reachable && before.reach == ServerState::Unreachable)
        qCInfo(lcTone) << "The audio server answers";
    for (const ServerState::Sink &sink : now.sinks)
        descriptions.insert(sink.name, sink.description);
}

void Narrator::report(const Report &report)
{
    const QString device = named(report.device);
    // A start that failed at once started nothing: Qt's backend has lost
    // the server, and a fresh start follows.
    if (report.deed == Report::Rebuilt && !report.failed) {
        switch (report.cause) {
        case Recovery::Healthy:
            break;
        case Recovery::Killed:
            lines->say(
                    QtInfoMsg, report.device,
                    QStringLiteral("The audio server took the stream on %1 away; starting it again")
                            .arg(device));
            break;
        case Recovery::Moved:
            lines->say(
                    QtInfoMsg, report.device,
                    QStringLiteral("The audio server moved the stream on %1 elsewhere; starting it "
                                   "again")
                            .arg(device));
            break;
        case Recovery::Stalled:
            lines->say(
                    QtWarningMsg, report.device,
                    QStringLiteral("Nothing played on %1 since the last check; starting it again")
                            .arg(device));
            break;
        default:
            lines->say(QtInfoMsg, report.device,
                       QStringLiteral("Starting the tone again on %1").arg(device));
            break;
        }
    } else if (report.deed == Report::PutBack) {
        lines->say(
                QtInfoMsg, report.device,
                QStringLiteral("The audio server moved the stream on %1 elsewhere; putting it back")
                        .arg(device));
    } else if (report.deed == Report::Released) {
        lines->say(QtInfoMsg, report.device,
                   QStringLiteral("%1 is gone; waiting for it to return").arg(device));
        missed.insert(report.device);
    }
    // Moved or started again: the long-standing pair of device names. What
    // plays there is told once the server lists the stream.
    if ((report.deed == Report::Moved || report.deed == Report::Rebuilt)
        && outputs.mode == Tone::Outputs::Default) {
        qDebug() << report.from;
        qDebug() << report.device;
    }
}

void Narrator::pausedChanged(bool paused)
{
    if (paused)
        qCInfo(lcTone) << "The session is idle or locked: pausing the tone, so that the outputs "
                          "may sleep";
    else
        qCInfo(lcTone) << "The session is active again: playing the tone";
}

void Narrator::woke()
{
    qCInfo(lcTone) << "The system has woken up: starting the tone afresh";
}

void Narrator::checked(const ServerState &server, bool paused, const QList<Output> &found,
                       bool regular)
{
    const qint64 nowMs = clock();
    if (firstCheckMs < 0)
        firstCheckMs = nowMs;
    const auto hasPlayerOn = [&found](const QString &device) {
        return std::any_of(found.cbegin(), found.cend(),
                           [&device](const Output &player) { return player.device == device; });
    };
    Scene scene;
    scene.paused = paused;
    scene.reach = server.reach;
    for (const QString &name : outputs.names) {
        if (hasPlayerOn(name)) {
            missed.remove(name);
            continue;
        }
        scene.absent << quoted(name);
        if (regular && server.answers() && !paused && !missed.contains(name)) {
            // Said at a regular check, so that a server that has just come
            // up has had the time to list its sinks.
            qCInfo(lcTone).noquote() << QStringLiteral("%1 is not there; waiting for it %2")
                                                .arg(quoted(name), ListHint);
            missed.insert(name);
        }
    }

    QHash<QString, Heard> kept;
    bool settled = true;
    bool passing = false;
    for (const Output &player : found) {
        // Only the player's own stream plays its tone, and only while the
        // server has it on the player's device.
        const ServerState::Stream *stream = server.ownStream(player.device);
        const bool plays = player.live && stream && stream->sink == player.device;
        const Hearing now = Hearing::of(tone.volume, server.sink(player.device),
                                        plays ? stream : nullptr, player.stalled);
        // What a device hears is told once it has held; until then, the
        // status says what it said before, or, held back too long, what the
        // server reports now.
        Heard heard = hearings.value(player.device, Heard { Hearing(), false, now, nowMs });
        if (now != heard.now || heard.sinceMs < 0) {
            heard.now = now;
            heard.sinceMs = nowMs;
        }
        // Nothing is seen while the server does not answer: what holds once
        // it does is timed from then.
        if (!server.answers())
            heard.sinceMs = -1;
        if (server.answers() && (heard.now != heard.said || !heard.told)) {
            const qint64 dueMs = heard.sinceMs + SettleMs;
            if (nowMs >= dueMs) {
                tellHearing(player.device, heard);
                heard.said = heard.now;
                heard.told = true;
            } else {
                lookAgainIn(dueMs - nowMs);
                passing = true;
            }
        }
        settled = settled && (heard.told || !server.answers());
        kept.insert(player.device, heard);
        scene.playing.append({ named(player.device), heard.told ? heard.said : heard.now });
        // Playback that came back by itself needs no fresh start.
        if (heard.said.reaches())
            deferral.clear();
    }
    hearings = kept;

    // No output the tone could play on: said once, for as long as it lasts.
    const bool nothingFound =
            server.answers() && !paused && found.isEmpty() && outputs.mode != Tone::Outputs::Named;
    const bool noDevice = nothingFound && !server.hasOutputs();
    if (noDevice && !toldNoDevice)
        lines->say(QtWarningMsg, QString(), QStringLiteral("No output device; waiting for one"));
    toldNoDevice = noDevice;

    scene.deferral = deferral;
    // A state that may pass leaves the status as it was, for a while at
    // most: what reaches a device that has not held yet, or an output the
    // server has and nothing plays on yet, as a fresh start comes.
    passing = (passing || (nothingFound && !noDevice)) && deferral.isEmpty()
            && !currentStatus.isEmpty();
    if (!passing)
        passingSinceMs = -1;
    else if (passingSinceMs < 0)
        passingSinceMs = nowMs;
    const QString next = status(tone, scene);
    if (passing && nowMs < passingSinceMs + ReadyWaitMs) {
        lookAgainIn(passingSinceMs + ReadyWaitMs - nowMs);
    } else if (next != currentStatus) {
        currentStatus = next;
        emit statusChanged(currentStatus);
    }
    if (readyTold)
        return;
    const qint64 readyDueMs = firstCheckMs + ReadyWaitMs;
    if (settled || nowMs >= readyDueMs) {
        readyTold = true;
        emit ready(currentStatus);
    } else {
        lookAgainIn(readyDueMs - nowMs);
    }
}

void Narrator::tellHearing(const QString &device, const Heard &heard)
{
    const QString name = named(device);
    const Hearing &after = heard.now;
    switch (after.trouble) {
    case Hearing::Heard:
        // First heard, or back from what kept the tone away or turned it
        // down; a stall's end the rebuild's own line told of, and a slider
        // turned up tells nothing new.
        if (!heard.told
            || (heard.said.trouble != Hearing::Stalled && heard.said.trouble != Hearing::Heard))
            lines->say(QtInfoMsg, device, playingOn(tone, name));
        return;
    case Hearing::Reduced:
        lines->say(QtInfoMsg, device,
                   QStringLiteral("%1 in the mixer: the device gets the tone at volume %2")
                           .arg(sliders(name, after), level(after)));
        return;
    case Hearing::Stalled:
        return;
    case Hearing::StreamMuted:
        lines->say(QtWarningMsg, device,
                   QStringLiteral("The steadytone stream on %1 is muted in the mixer: nothing "
                                  "reaches the device")
                           .arg(name));
        return;
    case Hearing::SinkMuted:
        lines->say(
                QtWarningMsg, device,
                QStringLiteral("%1 is muted in the mixer: nothing reaches the device").arg(name));
        return;
    case Hearing::Silenced:
        lines->say(QtWarningMsg, device,
                   QStringLiteral("%1 in the mixer: nothing reaches the device")
                           .arg(sliders(name, after)));
        return;
    case Hearing::Suspended:
        lines->say(QtWarningMsg, device,
                   QStringLiteral("The sound server has suspended %1: nothing plays there until "
                                  "it resumes")
                           .arg(name));
        return;
    }
}

void Narrator::lookAgainIn(qint64 delayMs)
{
    if (later->isActive() && later->remainingTime() <= delayMs)
        return;
    later->start(int(qMax<qint64>(0, delayMs)));
}

void Narrator::restartDeferred(FreshStart::Reason reason, const QTime &at)
{
    if (!deferral.isEmpty())
        return;
    const QString why = QString::fromUtf8(FreshStart::text(reason));
    const QString when = at.toString(QStringLiteral("HH:mm:ss"));
    deferral = QStringLiteral("Nothing plays (%1); starting afresh at %2, or when the audio server "
                              "comes back")
                       .arg(why, when);
    qCWarning(lcTone).noquote()
            << QStringLiteral("Nothing plays: %1, and the last start found nothing to play; "
                              "starting afresh at %2, or as soon as the audio server comes back")
                       .arg(why, when);
}

QString Narrator::named(const QString &device) const
{
    const QString description = descriptions.value(device);
    return description.isEmpty() || description == device
            ? Words::shown(device)
            : QStringLiteral("%1 (%2)").arg(Words::shown(description), Words::shown(device));
}
