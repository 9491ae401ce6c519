#include "deviceplayer.h"

#include "generator.h"

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

} // namespace

DevicePlayer::DevicePlayer(const Tone::Settings &tone, const QAudioFormat &format, QObject *parent)
    : QObject(parent)
    , tone(tone)
    , format(format)
    , generator(new Generator(format, Tone::BufferDurationUs, tone.frequency, this))
{
    generator->startReading();
}

DevicePlayer::Report DevicePlayer::moveTo(const QAudioDeviceInfo &device)
{
    // What the old device taught says nothing of the new one.
    recovery = Recovery();
    return play(Report::Moved, Recovery::Healthy, device);
}

DevicePlayer::Report DevicePlayer::startAgain()
{
    const Report report = play(Report::Rebuilt, Recovery::Healthy, current);
    recovery.rebuilt(report.failed);
    return report;
}

DevicePlayer::Report DevicePlayer::release()
{
    countPlayed();
    if (output)
        output->stop();
    if (ownTick)
        ownTick->stop();
    sink = nullptr;
    return { Report::Released, Recovery::Healthy, current.deviceName(), current.deviceName() };
}

DevicePlayer::Report DevicePlayer::play(Report::Deed deed, Recovery::Cause cause,
                                        const QAudioDeviceInfo &device)
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
    }

    if (output) {
        countPlayed();
        output->stop();
        output->deleteLater();
    }
    BackendCatcher catcher;
    QCoreApplication::instance()->installEventFilter(&catcher);
    output = new QAudioOutput(current, format, this);
    QCoreApplication::instance()->removeEventFilter(&catcher);
    tick = catcher.backend
            ? catcher.backend->findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly)
            : nullptr;
    if (!tick) {
        if (!ownTick) {
            ownTick = new QTimer(this);
            ownTick->setTimerType(Qt::PreciseTimer);
            ownTick->setInterval(TickMs);
        }
        tick = ownTick;
    }
    connect(tick, &QTimer::timeout, this, &DevicePlayer::feed, Qt::UniqueConnection);
    countedUs = 0;
    unwritten.clear();
    // Before anything is written: Qt scales the samples as they are written.
    output->setVolume(tone.volume);
    emit startBegins();
    sink = output->start();
    emit startEnds();
    if (tick == ownTick)
        ownTick->start();
    // The buffer's first fill at once, not a tick later.
    feed();
    report.failed = failed();
    return report;
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

DevicePlayer::Report DevicePlayer::check(const ServerState &server, bool regular, qint64 nowMs)
{
    const QString name = current.deviceName();
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
    seen.streamListed = server.streamSinks().contains(name);
    const ServerState::Stream *stray = server.strayFrom(name);
    seen.streamMovedAway = stray != nullptr;

    const Recovery::Verdict verdict = recovery.next(seen);
    Report report { Report::Nothing, verdict.cause, name, name };
    report.retryInMs = verdict.retryInMs;
    switch (verdict.action) {
    case Recovery::Nothing:
        break;
    case Recovery::Rebuild:
        report = play(Report::Rebuilt, verdict.cause, current);
        recovery.rebuilt(report.failed);
        break;
    case Recovery::PutBack:
        report.deed = Report::PutBack;
        emit moveBack(stray->index, name);
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
