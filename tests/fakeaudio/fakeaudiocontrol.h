#ifndef FAKEAUDIOCONTROL_H
#define FAKEAUDIOCONTROL_H

#include <QAudio>
#include <QAudioFormat>
#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QString>
#include <QtPlugin>

class QIODevice;

// An output device of the simulated audio system, with the formats it takes.
struct FakeDevice
{
    QString name;
    QList<int> sampleRates = { 44100 };
    QList<int> channelCounts = { 1 };
    QList<int> sampleSizes = { 16 };
    QList<QAudioFormat::Endian> byteOrders = { QAudioFormat::LittleEndian };
    QList<QAudioFormat::SampleType> sampleTypes = { QAudioFormat::SignedInt };
};

// What one audio output was asked to do, in creation order.
struct FakeOutputRecord
{
    QString device;
    QAudioFormat format;
    QPointer<QIODevice> source;
    int starts = 0;
    int stops = 0;
    qreal volume = -1.0;
    QByteArray pulled;
    bool destroyed = false;
};

// Lets a test script the simulated audio system and read back what its
// outputs saw. Reached through QPluginLoader on the plugin's own file.
class FakeAudioControl
{
public:
    virtual ~FakeAudioControl() = default;

    // The first device is the default output; an empty list means none.
    virtual void setDevices(const QList<FakeDevice> &devices) = 0;
    virtual void clearOutputs() = 0;
    virtual int outputCount() const = 0;
    virtual FakeOutputRecord output(int index) const = 0;
    // Reads up to bytes from the device the output was started on, as a
    // playing output would, and records what came back.
    virtual QByteArray pull(int index, qint64 bytes) = 0;
    // Puts the output in the state a lost audio server leaves it in.
    virtual void fail(int index) = 0;
};

#define FakeAudioControl_iid "steadytone.test.FakeAudioControl/1.0"
Q_DECLARE_INTERFACE(FakeAudioControl, FakeAudioControl_iid)

#endif // FAKEAUDIOCONTROL_H
