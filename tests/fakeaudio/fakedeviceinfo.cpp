#include "fakedeviceinfo.h"

FakeDeviceInfo::FakeDeviceInfo(const FakeDevice &device)
    : device(device)
{ }

QAudioFormat FakeDeviceInfo::preferredFormat() const
{
    QAudioFormat format;
    format.setCodec(QStringLiteral("audio/pcm"));
    format.setSampleRate(device.sampleRates.value(0));
    format.setChannelCount(device.channelCounts.value(0));
    format.setSampleSize(device.sampleSizes.value(0));
    format.setByteOrder(device.byteOrders.value(0));
    format.setSampleType(device.sampleTypes.value(0));
    return format;
}

bool FakeDeviceInfo::isFormatSupported(const QAudioFormat &format) const
{
    return format.codec() == QLatin1String("audio/pcm")
            && device.sampleRates.contains(format.sampleRate())
            && device.channelCounts.contains(format.channelCount())
            && device.sampleSizes.contains(format.sampleSize())
            && device.byteOrders.contains(format.byteOrder())
            && device.sampleTypes.contains(format.sampleType());
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
    return device.sampleRates;
}

QList<int> FakeDeviceInfo::supportedChannelCounts()
{
    return device.channelCounts;
}

QList<int> FakeDeviceInfo::supportedSampleSizes()
{
    return device.sampleSizes;
}

QList<QAudioFormat::Endian> FakeDeviceInfo::supportedByteOrders()
{
    return device.byteOrders;
}

QList<QAudioFormat::SampleType> FakeDeviceInfo::supportedSampleTypes()
{
    return device.sampleTypes;
}
