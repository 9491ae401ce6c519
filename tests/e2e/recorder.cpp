#include "recorder.h"

#include "audioserver.h"
#include "childprocess.h"
#include "signalanalysis.h"

#include <QtTest>

Recorder::Recorder(const AudioServer &server, const QString &sink, int rate, int channels,
                   QObject *parent)
    : QObject(parent)
    , process(new ChildProcess(this))
    , sampleRate(rate)
    , channelCount(channels)
{
    process->setProcessEnvironment(server.environment());
    process->setProgram(QStringLiteral("parec"));
    // A short latency so data arrives as it is played, not in 2 s lumps.
    process->setArguments({ QStringLiteral("-d"), sink + QStringLiteral(".monitor"),
                            QStringLiteral("--format=s16le"), QStringLiteral("--rate=%1").arg(rate),
                            QStringLiteral("--channels=%1").arg(channels),
                            QStringLiteral("--latency-msec=20"), QStringLiteral("--raw") });
    connect(process, &QProcess::readyReadStandardOutput, this,
            [this] { data += process->readAllStandardOutput(); });
}

Recorder::~Recorder() = default;

bool Recorder::start()
{
    process->start();
    if (!process->waitForStarted(5000))
        return false;
    // A null sink's monitor may deliver nothing while no stream plays on it,
    // so there may be no data to wait for; give the stream time to connect.
    QTest::qWait(200);
    return process->state() == QProcess::Running;
}

bool Recorder::waitForSeconds(double seconds)
{
    const qint64 wanted = qint64(seconds * sampleRate);
    QDeadlineTimer deadline(qint64(seconds * 1000) + 5000);
    while (frames() < wanted && !deadline.hasExpired() && process->state() == QProcess::Running)
        QTest::qWait(20);
    return frames() >= wanted;
}

qint64 Recorder::frames() const
{
    return data.size() / (2 * channelCount);
}

QVector<qint16> Recorder::samples(int channel) const
{
    return SignalAnalysis::fromS16le(data, channelCount, channel);
}
