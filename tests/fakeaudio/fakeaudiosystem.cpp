#include "fakeaudiosystem.h"

#include "fakedeviceinfo.h"
#include "fakeoutput.h"

FakeAudioSystem::FakeAudioSystem(QObject *parent)
    : QAudioSystemPlugin(parent)
    , blocking(qgetenv("FAKEAUDIO_BLOCK_START") == "1")
{
    const QString names = qEnvironmentVariable("FAKEAUDIO_DEVICES");
    for (const QString &name : names.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        FakeDevice device;
        device.name = name;
        devicesNow.append(device);
    }
}

QList<QByteArray> FakeAudioSystem::availableDevices(QAudio::Mode mode) const
{
    QList<QByteArray> names;
    if (mode == QAudio::AudioOutput) {
        ++listings;
        for (const FakeDevice &device : devicesNow)
            names.append(device.name.toUtf8());
        // Qt's PulseAudio backend with no sink, or no server, still names a
        // default device: one with an empty name.
        if (names.isEmpty())
            names.append(QByteArray());
    }
    return names;
}

QAbstractAudioInput *FakeAudioSystem::createInput(const QByteArray &)
{
    return nullptr;
}

QAbstractAudioOutput *FakeAudioSystem::createOutput(const QByteArray &device)
{
    FakeOutputRecord record;
    record.device = QString::fromUtf8(device);
    records.append(record);
    auto *output = new FakeOutput(this, records.size() - 1);
    outputs.append(output);
    return output;
}

QAbstractAudioDeviceInfo *FakeAudioSystem::createDeviceInfo(const QByteArray &device, QAudio::Mode)
{
    return new FakeDeviceInfo(deviceNamed(QString::fromUtf8(device)));
}

void FakeAudioSystem::setDevices(const QList<FakeDevice> &devices)
{
    devicesNow = devices;
}

void FakeAudioSystem::clearOutputs()
{
    // Outputs still alive keep writing into their records, so only forget
    // what the test no longer needs once every output is gone.
    records.clear();
    outputs.clear();
    lost = false;
}

int FakeAudioSystem::outputCount() const
{
    return records.size();
}

FakeOutputRecord FakeAudioSystem::output(int index) const
{
    return records.value(index);
}

QTimer *FakeAudioSystem::tick(int index) const
{
    FakeOutput *output = liveOutput(index);
    return output ? output->tickTimer() : nullptr;
}

void FakeAudioSystem::play(qint64 usecs)
{
    playOthers(-1, usecs);
}

void FakeAudioSystem::playOthers(int index, qint64 usecs)
{
    for (int i = 0; i < records.size(); ++i) {
        FakeOutput *output = liveOutput(i);
        FakeOutputRecord &r = records[i];
        if (i == index || !output || output->state() != QAudio::ActiveState || r.killed
            || deviceNamed(r.device).suspended)
            continue;
        const qint64 played = r.format.bytesForDuration(usecs);
        if (r.queuedBytes < played)
            ++r.underruns;
        r.queuedBytes -= qMin(r.queuedBytes, played);
    }
}

void FakeAudioSystem::fail(int index)
{
    if (FakeOutput *output = liveOutput(index))
        output->fail();
}

void FakeAudioSystem::kill(int index)
{
    record(index).killed = true;
}

void FakeAudioSystem::move(int index, const QString &device)
{
    record(index).movedTo = device;
}

void FakeAudioSystem::loseServer()
{
    lost = true;
    for (int i = 0; i < outputs.size(); ++i)
        fail(i);
}

QList<int> FakeAudioSystem::liveOutputs() const
{
    QList<int> live;
    for (int i = 0; i < records.size(); ++i) {
        const FakeOutput *output = liveOutput(i);
        if (output && output->state() == QAudio::ActiveState && !records.at(i).killed)
            live << i;
    }
    return live;
}

FakeOutputRecord &FakeAudioSystem::record(int index)
{
    return records[index];
}

FakeDevice FakeAudioSystem::deviceNamed(const QString &name) const
{
    for (const FakeDevice &device : devicesNow) {
        if (device.name == name)
            return device;
    }
    FakeDevice unknown;
    unknown.name = name;
    return unknown;
}

FakeOutput *FakeAudioSystem::liveOutput(int index) const
{
    return qobject_cast<FakeOutput *>(outputs.value(index));
}
