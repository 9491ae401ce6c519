#ifndef FAKEDEVICEINFO_H
#define FAKEDEVICEINFO_H

#include "fakeaudiocontrol.h"

#include <QAbstractAudioDeviceInfo>

class FakeDeviceInfo : public QAbstractAudioDeviceInfo
{
    Q_OBJECT

public:
    explicit FakeDeviceInfo(const FakeDevice &device);

    QAudioFormat preferredFormat() const override;
    bool isFormatSupported(const QAudioFormat &format) const override;
    QString deviceName() const override;
    QStringList supportedCodecs() override;
    QList<int> supportedSampleRates() override;
    QList<int> supportedChannelCounts() override;
    QList<int> supportedSampleSizes() override;
    QList<QAudioFormat::Endian> supportedByteOrders() override;
    QList<QAudioFormat::SampleType> supportedSampleTypes() override;

private:
    FakeDevice device;
};

#endif // FAKEDEVICEINFO_H
