#ifndef RECORDER_H
#define RECORDER_H

#include <QByteArray>
#include <QObject>
#include <QVector>

class AudioServer;
class ChildProcess;

// Records a sink's monitor as signed 16-bit frames for as long as it lives.
class Recorder : public QObject
{
    Q_OBJECT

public:
    Recorder(const AudioServer &server, const QString &sink, int rate, int channels,
             QObject *parent = nullptr);
    ~Recorder() override;

    // Starts recording.
    bool start();
    // Waits, bounded, until this many seconds have been recorded.
    bool waitForSeconds(double seconds);

    int rate() const { return sampleRate; }
    qint64 frames() const;
    // One channel's samples, from the first recorded frame on.
    QVector<qint16> samples(int channel = 0) const;

private:
    ChildProcess *process = nullptr;
    QByteArray data;
    int sampleRate = 0;
    int channelCount = 0;
};

#endif // RECORDER_H
