#include "fakeoutput.h"

#include "fakeaudiosystem.h"

#include "deviceplayer.h"

#include <QIODevice>
#include <QTimer>

#include <unistd.h>

namespace {

// What a program writes to in push mode.
class FakeSink : public QIODevice
{
public:
    explicit FakeSink(FakeOutput *output)
        : QIODevice(output)
        , output(output)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 bytes) override { return output->take(data, bytes); }

private:
    FakeOutput *output;
};

} // namespace

FakeOutput::FakeOutput(FakeAudioSystem *system, int index)
    : system(system)
    , index(index)
{
    const FakeDevice::Tick kind = system->deviceNamed(system->record(index).device).tick;
    if (kind == FakeDevice::NoTick)
        return;
    tick = new QTimer(this);
    tick->setInterval(kind == FakeDevice::SlowTimer ? 5000 : DevicePlayer::QtTickMs);
    if (kind == FakeDevice::IdleTimer)
        tick = nullptr;
}

FakeOutput::~FakeOutput()
{
    // What was written to it goes with it: a soak makes thousands.
    if (index < system->outputCount()) {
        FakeOutputRecord &record = system->record(index);
        record.destroyed = true;
        record.written = QByteArray();
    }
}

void FakeOutput::start(QIODevice *)
{
    // The program writes what the server asks for itself.
    setState(QAudio::StoppedState, QAudio::OpenError);
}

QIODevice *FakeOutput::start()
{
    FakeOutputRecord &record = system->record(index);
    ++record.starts;
    while (system->blocksStart())
        ::pause();
    system->playOthers(index, system->deviceNamed(record.device).startTakesUs);
    record.killed = system->deviceNamed(record.device).killsStreams;
    if (system->serverLost()) {
        setState(QAudio::StoppedState, QAudio::FatalError);
        return nullptr;
    }
    sink = new FakeSink(this);
    if (tick)
        tick->start();
    setState(QAudio::ActiveState, QAudio::NoError);
    return sink;
}

void FakeOutput::stop()
{
    ++system->record(index).stops;
    stopped();
    setState(QAudio::StoppedState, QAudio::NoError);
}

void FakeOutput::stopped()
{
    if (tick)
        tick->stop();
    // Qt deletes the device it handed out; a write that comes before the
    // event loop does is counted.
    if (sink)
        sink->deleteLater();
    sink = nullptr;
}

void FakeOutput::reset() { }
void FakeOutput::suspend() { }
void FakeOutput::resume() { }

qint64 FakeOutput::take(const char *data, qint64 bytes)
{
    FakeOutputRecord &record = system->record(index);
    if (currentState == QAudio::StoppedState) {
        ++record.writesAfterStop;
        return -1;
    }
    qint64 taken = qMin<qint64>(bytes, qMax(0, bytesFree()));
    // Less than offered, and not a whole frame: what is left must come next.
    if (++writes % 2 == 0 && taken > 1)
        taken = taken / 2 | 1;
    record.written.append(
            data, int(qMin<qint64>(taken, FakeAudioControl::KeptBytes - record.written.size())));
    record.writtenBytes += taken;
    record.queuedBytes += taken;
    return taken;
}

int FakeOutput::bytesFree() const
{
    const FakeOutputRecord record = system->output(index);
    // What Qt's PulseAudio output reports, for good, once its stream was killed.
    if (record.killed)
        return -1;
    if (currentState != QAudio::ActiveState)
        return 0;
    const int room =
            int(record.format.bytesForDuration(FakeAudioControl::BufferUs) - record.queuedBytes);
    return room - room % periodSize();
}

int FakeOutput::periodSize() const
{
    return system->output(index).format.bytesForDuration(DevicePlayer::QtTickMs * 1000);
}

void FakeOutput::setBufferSize(int) { }

int FakeOutput::bufferSize() const
{
    return system->output(index).format.bytesForDuration(FakeAudioControl::BufferUs);
}

void FakeOutput::setNotifyInterval(int) { }

int FakeOutput::notifyInterval() const
{
    return 0;
}

qint64 FakeOutput::processedUSecs() const
{
    const FakeOutputRecord record = system->output(index);
    return record.format.durationForBytes(int(record.writtenBytes));
}

qint64 FakeOutput::elapsedUSecs() const
{
    return 0;
}

QAudio::Error FakeOutput::error() const
{
    return currentError;
}

QAudio::State FakeOutput::state() const
{
    return currentState;
}

void FakeOutput::setFormat(const QAudioFormat &format)
{
    system->record(index).format = format;
}

QAudioFormat FakeOutput::format() const
{
    return system->output(index).format;
}

void FakeOutput::setVolume(qreal volume)
{
    system->record(index).volume = volume;
}

qreal FakeOutput::volume() const
{
    return system->output(index).volume;
}

void FakeOutput::fail()
{
    stopped();
    setState(QAudio::StoppedState, QAudio::FatalError);
}

void FakeOutput::setState(QAudio::State state, QAudio::Error error)
{
    if (error != currentError) {
        currentError = error;
        emit errorChanged(error);
    }
    if (state != currentState) {
        currentState = state;
        emit stateChanged(state);
    }
}
