#ifndef FAKEAUDIOCONTROL_H
#define FAKEAUDIOCONTROL_H

#include <QAudio>
#include <QAudioFormat>
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtPlugin>

class QTimer;

// An output device of the simulated audio system. Like a PulseAudio sink it
// takes every valid format, unless the test lists the formats it takes.
struct FakeDevice
{
    QString name;
    QList<int> sampleRates;
    QList<int> channelCounts;
    // A suspended sink drains nothing, so its outputs play nothing.
    bool suspended = false;
    // A broken sink, whose server kills every stream it gets at once.
    bool killsStreams = false;
    // The timer its outputs tick on: Qt's, running at Qt's period from each
    // start; or none; or a timer of the backend's that is no tick, one too
    // slow or one that never runs.
    enum Tick { QtTick, NoTick, SlowTimer, IdleTimer };
    Tick tick = QtTick;
    // How long a start on it holds the program, while the server plays on.
    qint64 startTakesUs = 0;
};

// What one audio output was asked to do, in creation order.
struct FakeOutputRecord
{
    QString device;
    QAudioFormat format;
    int starts = 0;
    int stops = 0;
    qreal volume = -1.0;
    // What was written to it: the first bytes, while it lives, and how many
    // in all; and how many of them wait in the server's buffer.
    QByteArray written;
    qint64 writtenBytes = 0;
    qint64 queuedBytes = 0;
    // Writes that came after the output stopped, when what they were written
    // to is no longer to be used.
    int writesAfterStop = 0;
    // How often the server found less in its buffer than it played.
    int underruns = 0;
    bool killed = false;
    // Where the server moved the stream, if it did.
    QString movedTo;
    bool destroyed = false;
};

// Lets a test script the simulated audio system and read back what its
// outputs saw. Reached through QPluginLoader on the plugin's own file. A
// process that loads it through QT_PLUGIN_PATH is scripted by its
// environment instead: FAKEAUDIO_DEVICES names its devices, comma-separated,
// the default first, and FAKEAUDIO_BLOCK_START=1 makes every start block
// for good, as Qt's PulseAudio output can when a stream fails while it is
// being created.
class FakeAudioControl
{
public:
    // The server's buffer, as Qt's PulseAudio output has it. The first bytes
    // written to an output are kept.
    static constexpr qint64 BufferUs = 250000;
    static constexpr int KeptBytes = 1 << 20;

    virtual ~FakeAudioControl() = default;

    // The first device is the default output. An empty list means none, which
    // the system reports as Qt's PulseAudio backend does: a device with an
    // empty name that is null, yet not equal to QAudioDeviceInfo().
    virtual void setDevices(const QList<FakeDevice> &devices) = 0;
    virtual QList<FakeDevice> devices() const = 0;
    // How often Qt has asked for the list of output devices.
    virtual int deviceListings() const = 0;
    virtual void clearOutputs() = 0;
    virtual int outputCount() const = 0;
    virtual FakeOutputRecord output(int index) const = 0;
    // The timer the output ticks on, as Qt's outputs do from their start;
    // null once the output is gone.
    virtual QTimer *tick(int index) const = 0;
    // Lets time pass: the server plays this much of what waits in the
    // buffer of every output that plays.
    virtual void play(qint64 usecs) = 0;
    // What a server that went away does to an output: stopped, with an error.
    virtual void fail(int index) = 0;
    // What a server that kills a stream does to it: the output stays active,
    // with no error, and never plays again.
    virtual void kill(int index) = 0;
    // What a server does to the streams on a sink that goes away while
    // others stay: it moves them, and Qt never knows.
    virtual void move(int index, const QString &device) = 0;
    // What Qt's backend does once its single reconnect has failed: every
    // output fails, and every new one fails as it starts. The devices it knew
    // are still reported.
    virtual void loseServer() = 0;
    // The outputs whose streams the server holds, the live ones.
    virtual QList<int> liveOutputs() const = 0;
};

#define FakeAudioControl_iid "steadytone.test.FakeAudioControl/1.0"
Q_DECLARE_INTERFACE(FakeAudioControl, FakeAudioControl_iid)

#endif // FAKEAUDIOCONTROL_H
