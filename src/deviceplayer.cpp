#include "deviceplayer.h"

#include "generator.h"
#include "log.h"

#include <QAudioOutput>
#include <QCoreApplication>
#include <QTimer>

namespace {

// Qt's audio output makes a backend object of its own, which is not its
// child and which makes the tick timer its child as it is built: the first
// object to be given a child while the output is built is that backend.
class BackendCatcher : public QObject
{
public:
    QObject *backend = nullptr;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!backend && event->type() == QEvent::ChildAdded
            && watched->inherits("QAbstractAudioOutput"))
            backend = watched;
        return false;
    }
};

// Qt's output ticks on a timer of its backend's, which it starts with the
// output. Only a timer that is that, active and repeating at about Qt's
// period, is taken: feeding at the tick of another would starve the output.
QTimer *qtTickOf(QObject *backend)
{
    if (!backend)
        return nullptr;
    for (QTimer *timer : backend->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (timer->isActive() && !timer->isSingleShot() && timer->interval() > 0
            && timer->interval() <= 2 * DevicePlayer::QtTickMs)
            return timer;
    }
    return nullptr;
}

} // namespace

DevicePlayer::DevicePlayer(const Tone::Settings &tone, const QAudioFormat &format, QObject *parent)
    : QObject(parent)
    , tone(tone)
    , format(format)
    , generator(new Generator(format, Tone::BufferDurationUs, tone.frequency, this))
{
    generator->startReading();
}

Report DevicePlayer::moveTo(const QAudioDeviceInfo &device)
{
    // What the old device taught says nothing of the new one.
    recovery = Recovery();
    return play(Report::Moved, Recovery::Healthy, device);
}

Report DevicePlayer::startAgain()
{
    const Report report = play(Report::Rebuilt, Recovery::Healthy, current);
    recovery.rebuilt(report.failed);
    return report;
}

Report DevicePlayer::release()
{
    countPlayed();
    if (output)
        output->stop();
    stopTicking();
    return { Report::Released, Recovery::Healthy, current.deviceName(), current.deviceName() };
}

Report DevicePlayer::play(Report::Deed deed, Recovery::Cause cause, const QAudioDeviceInfo &device)
{
    Report report { deed, cause, current.deviceName(), device.deviceName() };
    current = device;

    // A null device supports nothing and its nearest format is invalid; adapting
    // to it would leave the next real device with a wrong format for good.
    if (!current.isNull() && !current.isFormatSupported(format)) {
        format = current.nearestFormat(format);
        generator->stopReading();
        generator->deleteLater();
        generator = new Generator(format, Tone::BufferDurationUs, tone.frequency, this);
        generator->startReading();
        unwritten.clear();
    }

    if (output) {
        countPlayed();
        // What it says as it stops and goes is of no concern any more.
        output->disconnect(this);
        output->stop();
        output->deleteLater();
        output = nullptr;
    }
    stopTicking();
    countedUs = 0;
    // No device, nothing to play on: no output, and nothing ticks.
    if (current.isNull())
        return report;
    BackendCatcher catcher;
    QCoreApplication::instance()->installEventFilter(&catcher);
    output = new QAudioOutput(current, format, this);
    QCoreApplication::instance()->removeEventFilter(&catcher);
    // Qt may stop the output by itself, when its server goes: what it wrote
    // to is no longer to be written to, and nothing is to tick for it.
    connect(output, &QAudioOutput::stateChanged, this, [this](QAudio::State state) {
        if (state == QAudio::StoppedState)
            stopTicking();
    });
    // Before anything is written: Qt scales the samples as they are written.
    output->setVolume(tone.volume);
    emit startBegins();
    QIODevice *written = output->start();
    emit startEnds();
    report.failed = failed();
    if (written && !report.failed) {
        sink = written;
        tickWith(qtTickOf(catcher.backend));
        // The buffer's first fill at once, not a tick later.
        feed();
    }
    return report;
}

void DevicePlayer::tickWith(QTimer *qtTick)
{
    if (!qtTick && !ownTick) {
        ownTick = new QTimer(this);
        ownTick->setTimerType(Qt::PreciseTimer);
        ownTick->setInterval(QtTickMs);
    }
    tick = qtTick ? qtTick : ownTick;
    connect(tick, &QTimer::timeout, this, &DevicePlayer::feed);
    if (tick == ownTick)
        ownTick->start();
    qCDebug(lcTone).noquote() << "Writing to" << current.deviceName()
                              << (tick == ownTick ? "at a tick of its own" : "at Qt's tick");
}

void DevicePlayer::stopTicking()
{
    if (tick)
        disconnect(tick, nullptr, this, nullptr);
    tick = nullptr;
    if (ownTick)
        ownTick->stop();
    sink = nullptr;
}

void DevicePlayer::feed()
{
    if (!sink || !output)
        return;
    qint64 free = output->bytesFree();
    if (free <= 0 || free < output->periodSize())
        return;
    // What the output did not take last time goes first: not a byte of the
    // tone is lost or repeated.
    if (!unwritten.isEmpty()) {
        const qint64 put = qMax<qint64>(0, sink->write(unwritten));
        unwritten.remove(0, int(put));
        free -= put;
        if (!unwritten.isEmpty() || free <= 0)
            return;
    }
    chunk.resize(int(free));
    const qint64 got = generator->read(chunk.data(), free);
    const qint64 put = qMax<qint64>(0, sink->write(chunk.constData(), got));
    if (put < got)
        unwritten = chunk.mid(int(put), int(got - put));
}

void DevicePlayer::restartTick()
{
    if (!tick || !tick->isActive())
        return;
    // Topped up first: the tick restarted comes up to a tick later than it
    // would have.
    feed();
    tick->start();
}

Report DevicePlayer::check(const ServerState &server, bool regular, qint64 nowMs)
{
    const QString name = current.deviceName();
    retryWaitMs = 0;
    if (!output || current.isNull())
        return { Report::Nothing, Recovery::Healthy, name, name };
    // Topped up first: what the server took since the last tick is played.
    feed();
    countPlayed();
    Recovery::Observation seen;
    seen.regular = regular;
    seen.atMs = nowMs;
    seen.failed = failed();
    // Qt leaves an output whose stream the server killed active, with no
    // error, and only the space it reports free shows the loss, for good.
    seen.killed = !seen.failed && output->bytesFree() < 0;
    seen.playedUs = output->processedUSecs();
    seen.bufferUs = format.durationForBytes(output->bufferSize());
    seen.serverAnswers = server.answers();
    seen.deviceListed = server.sink(name) != nullptr;
    // Its own stream: another of this process's may have been moved here.
    const ServerState::Stream *own = server.ownStream(name);
    seen.streamListed = own && own->sink == name;
    seen.streamMovedAway = own && own->sink != name;

    const Recovery::Verdict verdict = recovery.next(seen);
    Report report { Report::Nothing, verdict.cause, name, name };
    retryWaitMs = verdict.retryInMs;
    switch (verdict.action) {
    case Recovery::Nothing:
        break;
    case Recovery::Rebuild:
        report = play(Report::Rebuilt, verdict.cause, current);
        recovery.rebuilt(report.failed);
        break;
    case Recovery::PutBack:
        report.deed = Report::PutBack;
        emit moveBack(own->index, name);
        break;
    case Recovery::Restart:
        emit restartNeeded(FreshStart::BackendLost);
        break;
    }
    return report;
}

void DevicePlayer::countPlayed()
{
    if (!output)
        return;
    const qint64 beyondUs = Recovery::playedBeyondFirstFill(
            output->processedUSecs(), format.durationForBytes(output->bufferSize()));
    if (beyondUs <= countedUs)
        return;
    emit played(beyondUs - countedUs);
    countedUs = beyondUs;
}

bool DevicePlayer::failed() const
{
    return output && output->state() == QAudio::StoppedState && output->error() != QAudio::NoError;
}

bool DevicePlayer::live() const
{
    return output && !current.isNull() && !failed() && output->bytesFree() >= 0;
}
