#include "fakeaudiosystem.h"

#include "fakedeviceinfo.h"
#include "fakeoutput.h"

#include <QIODevice>

FakeAudioSystem::FakeAudioSystem(QObject *parent)
    : QAudioSystemPlugin(parent)
{ }

QList<QByteArray> FakeAudioSystem::availableDevices(QAudio::Mode mode) const
{
    QList<QByteArray> names;
    if (mode == QAudio::AudioOutput) {
        for (const FakeDevice &device : devices)
            names.append(device.name.toUtf8());
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
    this->devices = devices;
}

void FakeAudioSystem::clearOutputs()
{
    // Outputs still alive keep writing into their records, so only forget
    // what the test no longer needs once every output is gone.
    records.clear();
    outputs.clear();
}

int FakeAudioSystem::outputCount() const
{
    return records.size();
}

FakeOutputRecord FakeAudioSystem::output(int index) const
{
    return records.value(index);
}

QByteArray FakeAudioSystem::pull(int index, qint64 bytes)
{
    FakeOutputRecord &r = record(index);
    if (!r.source || r.stops > 0 || r.destroyed)
        return QByteArray();
    const QByteArray data = r.source->read(bytes);
    r.pulled += data;
    return data;
}

void FakeAudioSystem::fail(int index)
{
    if (auto *output = qobject_cast<FakeOutput *>(outputs.value(index)))
        output->fail();
}

FakeOutputRecord &FakeAudioSystem::record(int index)
{
    return records[index];
}

FakeDevice FakeAudioSystem::deviceNamed(const QString &name) const
{
    for (const FakeDevice &device : devices) {
        if (device.name == name)
            return device;
    }
    FakeDevice unknown;
    unknown.name = name;
    return unknown;
}
