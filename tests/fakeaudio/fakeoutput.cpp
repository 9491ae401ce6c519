#include "fakeoutput.h"

#include "fakeaudiosystem.h"

#include <unistd.h>

FakeOutput::FakeOutput(FakeAudioSystem *system, int index)
    : system(system)
    , index(index)
{ }

FakeOutput::~FakeOutput()
{
    if (index < system->outputCount())
        system->record(index).destroyed = true;
}

void FakeOutput::start(QIODevice *device)
{
    FakeOutputRecord &record = system->record(index);
    record.source = device;
    ++record.starts;
    while (system->blocksStart())
        ::pause();
    record.killed = system->deviceNamed(record.device).killsStreams;
    if (system->serverLost()) {
        setState(QAudio::StoppedState, QAudio::FatalError);
        return;
    }
    // The server takes its first buffer at once, as Qt's PulseAudio output
    // writes it.
    record.processedUSecs = FakeAudioControl::FirstFillUs;
    setState(QAudio::ActiveState, QAudio::NoError);
}

QIODevice *FakeOutput::start()
{
    return nullptr;
}

void FakeOutput::stop()
{
    ++system->record(index).stops;
    setState(QAudio::StoppedState, QAudio::NoError);
}

void FakeOutput::reset() { }
void FakeOutput::suspend() { }
void FakeOutput::resume() { }

int FakeOutput::bytesFree() const
{
    // What Qt's PulseAudio output reports, for good, once its stream was killed.
    return system->output(index).killed ? -1 : 0;
}

int FakeOutput::periodSize() const
{
    return 0;
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
    return system->output(index).processedUSecs;
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
