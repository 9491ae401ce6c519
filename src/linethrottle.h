#ifndef LINETHROTTLE_H
#define LINETHROTTLE_H

#include <QElapsedTimer>
#include <QHash>
#include <QObject>

#include <functional>

class QTimer;

// Keeps the program's lines about each device to one a second, however fast
// the device comes and goes: a line that comes sooner is held back, and once
// the second is up the last one held is said, with how many were held.
class LineThrottle : public QObject
{
    Q_OBJECT

public:
    static constexpr int IntervalMs = 1000;

    explicit LineThrottle(QObject *parent = nullptr);

    // Milliseconds on a monotonic clock: the wall's, unless told otherwise.
    void setClock(std::function<qint64()> nowMs) { clock = std::move(nowMs); }

    // A line of the program's category, of the type given: QtInfoMsg or
    // QtWarningMsg.
    void say(QtMsgType type, const QString &device, const QString &line);
    // Drops what is held back: it no longer holds.
    void forget();

private:
    struct Held
    {
        qint64 saidAtMs = 0;
        int count = 0;
        QtMsgType type = QtInfoMsg;
        QString line;
    };

    static void write(QtMsgType type, const QString &line);
    void sayHeld();
    void writeHeld(Held &held, qint64 nowMs);

    QElapsedTimer wall;
    std::function<qint64()> clock = [this] { return wall.elapsed(); };
    QHash<QString, Held> devices;
    QTimer *timer = nullptr;
};

#endif // LINETHROTTLE_H
