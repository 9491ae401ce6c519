#include "narrator.h"

#include "linethrottle.h"
#include "log.h"
#include "words.h"

#include <QDebug>
#include <QTime>

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
{
    // The program's long-standing log format, which people's scripts read:
    // the settings line at start, volume then frequency, as qDebug() writes
    // them; and, while it follows the default output, at each move the
    // device it leaves and the device it moves to, quoted (see report()).
    qDebug() << tone.volume << tone.frequency;
    qCInfo(lcTone).noquote() << playingOn(tone, described(outputs));
}

void Narrator::setClock(std::function<qint64()> nowMs)
{
    lines->setClock(std::move(nowMs));
}

QString Narrator::status(const Tone::Settings &tone, const Scene &scene)
{
    if (!scene.deferral.isEmpty())
        return scene.deferral;
    if (scene.paused)
        return QStringLiteral("Paused while the session is idle");
    if (scene.reach == ServerState::Unreachable)
        return QStringLiteral("Waiting for an audio server");
    if (scene.playing.isEmpty()) {
        return scene.absent.isEmpty()
                ? QStringLiteral("Waiting for an output device")
                : QStringLiteral("Waiting for %1 %2")
                          .arg(scene.absent.join(QStringLiteral(", ")), ListHint);
    }
    if (scene.playing.size() == 1) {
        const Scene::Playing &only = scene.playing.first();
        if (only.trouble == Scene::Suspended)
            return QStringLiteral("Nothing plays on %1: the sound server has suspended it")
                    .arg(only.name);
        if (only.trouble == Scene::Stalled)
            return QStringLiteral("Nothing plays on %1; trying it again now and then")
                    .arg(only.name);
    }
    QString status = playingOn(tone,
                               scene.playing.size() == 1
                                       ? scene.playing.first().name
                                       : QStringLiteral("%1 outputs").arg(scene.playing.size()));
    if (!scene.absent.isEmpty())
        status += QStringLiteral(", waiting for ") + scene.absent.join(QStringLiteral(", "));
    return status;
}

void Narrator::started(const QString &freshStartReason, const QStringList &notes)
{
    if (!freshStartReason.isEmpty())
        qCInfo(lcTone).noquote() << "Started afresh in place:" << freshStartReason;
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

void Narrator::serverChanged(const ServerState &state)
{
    if (state.reach == ServerState::Unreachable && server.reach == ServerState::Unknown)
        qCInfo(lcTone) << "No audio server answers yet; waiting for one";
    else if (state.reach == ServerState::Unreachable && server.reach == ServerState::Reachable)
        qCWarning(lcTone) << "No audio server answers; waiting for one";
    else if (state.reach == ServerState::Reachable && server.reach == ServerState::Unreachable)
        qCInfo(lcTone) << "The audio server answers";
    for (const ServerState::Sink &sink : state.sinks)
        descriptions.insert(sink.name, sink.description);
    server = state;
}

void Narrator::report(const DevicePlayer::Report &report)
{
    const QString device = named(report.device);
    switch (report.deed) {
    case DevicePlayer::Report::Nothing:
        return;
    case DevicePlayer::Report::Moved:
        break;
    case DevicePlayer::Report::Rebuilt:
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
        break;
    case DevicePlayer::Report::PutBack:
        lines->say(
                QtInfoMsg, report.device,
                QStringLiteral("The audio server moved the stream on %1 elsewhere; putting it back")
                        .arg(device));
        return;
    case DevicePlayer::Report::Released:
        if (!paused) {
            lines->say(QtInfoMsg, report.device,
                       QStringLiteral("%1 is gone; waiting for it to return").arg(device));
            missed.insert(report.device);
        }
        return;
    }
    // Moved or started again: the long-standing pair of device names.
    if (outputs.mode == Tone::Outputs::Default) {
        qDebug() << report.from;
        qDebug() << report.device;
    }
    if (report.deed != DevicePlayer::Report::Moved)
        return;
    if (report.device.isEmpty())
        lines->say(QtWarningMsg, QString(), QStringLiteral("No output device; waiting for one"));
    // An output that failed as it started plays nothing: Qt's backend has
    // lost the server, which the next check finds.
    else if (!report.failed)
        lines->say(QtInfoMsg, report.device, playingOn(tone, device));
}

void Narrator::pausedChanged(bool paused)
{
    this->paused = paused;
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

void Narrator::checked(const QList<Output> &players, bool regular)
{
    Scene scene;
    scene.paused = paused;
    scene.reach = server.reach;
    QSet<QString> present;
    for (const Output &player : players) {
        present.insert(player.device);
        const bool suspended = player.live && isSuspended(player.device);
        if (!suspended) {
            suspendedSaid.remove(player.device);
        } else if (!suspendedSaid.contains(player.device)) {
            lines->say(QtWarningMsg, player.device,
                       QStringLiteral(
                               "The sound server has suspended %1: nothing plays there until it "
                               "resumes")
                               .arg(named(player.device)));
            suspendedSaid.insert(player.device);
        }
        if (player.live)
            scene.playing.append({ named(player.device),
                                   suspended                ? Scene::Suspended
                                           : player.stalled ? Scene::Stalled
                                                            : Scene::Heard });
    }
    for (const QString &name : outputs.names) {
        if (present.contains(name)) {
            missed.remove(name);
            continue;
        }
        scene.absent << quoted(name);
        // Said at a regular check, so that a server that has just come up
        // has had the time to list its sinks.
        if (regular && server.answers() && !paused && !missed.contains(name)) {
            qCInfo(lcTone).noquote() << QStringLiteral("%1 is not there; waiting for it %2")
                                                .arg(quoted(name), ListHint);
            missed.insert(name);
        }
    }
    // Playback that came back by itself needs no fresh start.
    for (const Scene::Playing &playing : qAsConst(scene.playing)) {
        if (playing.trouble == Scene::Heard)
            deferral.clear();
    }
    scene.deferral = deferral;
    const QString next = status(tone, scene);
    if (next == currentStatus)
        return;
    currentStatus = next;
    emit statusChanged(currentStatus);
}

void Narrator::restartDeferred(FreshStart::Reason reason, qint64 waitMs)
{
    if (!deferral.isEmpty())
        return;
    const QString why = QString::fromUtf8(FreshStart::text(reason));
    const QString when =
            QTime::currentTime().addMSecs(int(waitMs)).toString(QStringLiteral("HH:mm:ss"));
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
            ? device
            : QStringLiteral("%1 (%2)").arg(description, device);
}

bool Narrator::isSuspended(const QString &device) const
{
    const ServerState::Sink *sink = server.sink(device);
    return sink && sink->suspended;
}
