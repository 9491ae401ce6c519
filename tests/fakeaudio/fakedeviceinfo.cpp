#include "fakedeviceinfo.h"

namespace {

// What a device that lists no formats offers: what Qt's PulseAudio backend
// reports for every sink.
template<typename T>
QList<T> orAnything(const QList<T> &listed, const QList<T> &anything)
{
    return listed.isEmpty() ? anything : listed;
}

} // namespace

FakeDeviceInfo::FakeDeviceInfo(const FakeDevice &device)
    : device(device)
{ }

QAudioFormat FakeDeviceInfo::preferredFormat() const
{
    QAudioFormat format;
    format.setCodec(QStringLiteral("audio/pcm"));
    format.setSampleRate(orAnything(device.sampleRates, { 44100 }).first());
    format.setChannelCount(orAnything(device.channelCounts, { 2 }).first());
    format.setSampleSize(16);
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);
    return format;
}

bool FakeDeviceInfo::isFormatSupported(const QAudioFormat &format) const
{
    auto takes = [](const auto &listed, const auto &value) {
        return listed.isEmpty() || listed.contains(value);
    };
    return format.isValid() && format.codec() == QLatin1String("audio/pcm")
            && takes(device.sampleRates, format.sampleRate())
            && takes(device.channelCounts, format.channelCount());
}

QString FakeDeviceInfo::deviceName() const
{
    return device.name;
}

QStringList FakeDeviceInfo::supportedCodecs()
{
    return { QStringLiteral("audio/pcm") };
}

QList<int> FakeDeviceInfo::supportedSampleRates()
{
    return orAnything(device.sampleRates, { 8000, 11025, 22050, 44100, 48000 });
}

QList<int> FakeDeviceInfo::supportedChannelCounts()
{
    return orAnything(device.channelCounts, { 1, 2, 3, 4, 5, 6, 7, 8 });
}

QList<int> FakeDeviceInfo::supportedSampleSizes()
{
    return { 8, 16, 24, 32 };
}

QList<QAudioFormat::Endian> FakeDeviceInfo::supportedByteOrders()
{
    return { QAudioFormat::LittleEndian, QAudioFormat::BigEndian };
}

QList<QAudioFormat::SampleType> FakeDeviceInfo::supportedSampleTypes()
{
    return { QAudioFormat::SignedInt, QAudioFormat::UnSignedInt, QAudioFormat::Float };
}
