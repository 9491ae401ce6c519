#ifndef FAKEOUTPUT_H
#define FAKEOUTPUT_H

#include <QAbstractAudioOutput>

class FakeAudioSystem;
class QTimer;

// An output that plays nothing: it records what it is asked to do, and what
// is written to it, in its system's record at index. It is as strict as Qt's
// PulseAudio output: it ticks on a timer of its own, its child from the
// start, running from each start to the stop; it tells its free space in
// whole periods, and takes less than it is offered at every other write; and
// what it was written to goes when it stops, by itself or when told.
class FakeOutput : public QAbstractAudioOutput
{
    Q_OBJECT

public:
    FakeOutput(FakeAudioSystem *system, int index);
    ~FakeOutput() override;

    void start(QIODevice *device) override;
    QIODevice *start() override;
    void stop() override;
    void reset() override;
    void suspend() override;
    void resume() override;
    int bytesFree() const override;
    int periodSize() const override;
    void setBufferSize(int value) override;
    int bufferSize() const override;
    void setNotifyInterval(int milliSeconds) override;
    int notifyInterval() const override;
    qint64 processedUSecs() const override;
    qint64 elapsedUSecs() const override;
    QAudio::Error error() const override;
    QAudio::State state() const override;
    void setFormat(const QAudioFormat &format) override;
    QAudioFormat format() const override;
    void setVolume(qreal volume) override;
    qreal volume() const override;

    void fail();
    QTimer *tickTimer() const { return tick; }
    // Takes what is written, as far as the server's buffer has room.
    qint64 take(const char *data, qint64 bytes);

private:
    void setState(QAudio::State state, QAudio::Error error);
    void stopped();

    FakeAudioSystem *system = nullptr;
    int index = -1;
    QTimer *tick = nullptr;
    QIODevice *sink = nullptr;
    int writes = 0;
    QAudio::State currentState = QAudio::StoppedState;
    QAudio::Error currentError = QAudio::NoError;
};

#endif // FAKEOUTPUT_H
