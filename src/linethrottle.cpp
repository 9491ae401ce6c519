#include "linethrottle.h"

#include "log.h"

#include <QTimer>

LineThrottle::LineThrottle(QObject *parent)
    : QObject(parent)
    , timer(new QTimer(this))
{
    wall.start();
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &LineThrottle::sayHeld);
}

void LineThrottle::say(QtMsgType type, const QString &device, const QString &line)
{
    const qint64 nowMs = clock();
    auto known = devices.find(device);
    if (known == devices.end() || nowMs - known->saidAtMs >= IntervalMs) {
        Held &said = devices[device];
        if (said.count > 0)
            writeHeld(said, nowMs);
        said = Held { nowMs, 0, type, QString() };
        write(type, line);
        return;
    }
    ++known->count;
    known->type = type;
    known->line = line;
    // Only while something is held back does this wake at all.
    const int dueMs = int(known->saidAtMs + IntervalMs - nowMs);
    if (!timer->isActive() || timer->remainingTime() > dueMs)
        timer->start(dueMs);
}

void LineThrottle::forget()
{
    for (Held &held : devices) {
        held.count = 0;
        held.line.clear();
    }
    timer->stop();
}

void LineThrottle::sayHeld()
{
    const qint64 nowMs = clock();
    int nextMs = -1;
    for (Held &held : devices) {
        if (held.count == 0)
            continue;
        const qint64 dueMs = held.saidAtMs + IntervalMs - nowMs;
        if (dueMs > 0)
            nextMs = nextMs < 0 ? int(dueMs) : qMin(nextMs, int(dueMs));
        else
            writeHeld(held, nowMs);
    }
    if (nextMs >= 0)
        timer->start(nextMs);
}

void LineThrottle::writeHeld(Held &held, qint64 nowMs)
{
    write(held.type,
          held.count == 1 ? held.line
                          : QStringLiteral("%1 (the last of %2 such lines in %3 s)")
                                    .arg(held.line)
                                    .arg(held.count)
                                    .arg((nowMs - held.saidAtMs + 999) / 1000));
    held = Held { nowMs, 0, held.type, QString() };
}

void LineThrottle::write(QtMsgType type, const QString &line)
{
    if (type == QtWarningMsg)
        qCWarning(lcTone).noquote() << line;
    else
        qCInfo(lcTone).noquote() << line;
}
