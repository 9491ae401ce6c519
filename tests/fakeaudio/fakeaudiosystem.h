#ifndef FAKEAUDIOSYSTEM_H
#define FAKEAUDIOSYSTEM_H

#include "fakeaudiocontrol.h"

#include <QAudioSystemPlugin>

class FakeOutput;

// A scripted audio system that replaces the real one for the controller tests.
class FakeAudioSystem : public QAudioSystemPlugin, public FakeAudioControl
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.qt.audiosystemfactory/5.0" FILE "fakeaudio.json")
    Q_INTERFACES(QAudioSystemFactoryInterface FakeAudioControl)

public:
    explicit FakeAudioSystem(QObject *parent = nullptr);

    QList<QByteArray> availableDevices(QAudio::Mode mode) const override;
    QAbstractAudioInput *createInput(const QByteArray &device) override;
    QAbstractAudioOutput *createOutput(const QByteArray &device) override;
    QAbstractAudioDeviceInfo *createDeviceInfo(const QByteArray &device,
                                               QAudio::Mode mode) override;

    void setDevices(const QList<FakeDevice> &devices) override;
    QList<FakeDevice> devices() const override { return devicesNow; }
    int deviceListings() const override { return listings; }
    void clearOutputs() override;
    int outputCount() const override;
    FakeOutputRecord output(int index) const override;
    QTimer *tick(int index) const override;
    void play(qint64 usecs) override;
    // Plays on every output but one.
    void playOthers(int index, qint64 usecs);
    void fail(int index) override;
    void kill(int index) override;
    void move(int index, const QString &device) override;
    void loseServer() override;
    QList<int> liveOutputs() const override;

    FakeOutputRecord &record(int index);
    FakeDevice deviceNamed(const QString &name) const;
    bool serverLost() const { return lost; }
    bool blocksStart() const { return blocking; }

private:
    FakeOutput *liveOutput(int index) const;

    QList<FakeDevice> devicesNow;
    QList<FakeOutputRecord> records;
    QList<QPointer<QObject>> outputs;
    mutable int listings = 0;
    bool lost = false;
    bool blocking = false;
};

#endif // FAKEAUDIOSYSTEM_H
