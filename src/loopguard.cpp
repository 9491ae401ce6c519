#include "loopguard.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

LoopGuard::LoopGuard(int tickMs, std::function<void()> onHang, QObject *parent)
    : QThread(parent)
    , tickMs(tickMs)
    , onHang(std::move(onHang))
{ }

LoopGuard::~LoopGuard()
{
    {
        QMutexLocker lock(&mutex);
        stopping = true;
        wake.wakeAll();
    }
    wait();
}

void LoopGuard::beat()
{
    beats.fetch_add(1, std::memory_order_relaxed);
}

void LoopGuard::run()
{
    quint64 seen = beats.load(std::memory_order_relaxed);
    int missed = 0;
    // Monotonic: time spent in a system suspend does not count.
    QElapsedTimer sinceTick;
    sinceTick.start();
    QMutexLocker lock(&mutex);
    while (!stopping) {
        const QDeadlineTimer due(tickMs);
        while (!stopping && !due.hasExpired())
            wake.wait(&mutex, due);
        if (stopping)
            break;
        const bool late = sinceTick.restart() > tickMs + LateMs;
        const quint64 now = beats.load(std::memory_order_relaxed);
        if (now != seen || late) {
            seen = now;
            missed = 0;
        } else if (++missed >= MissedTicks) {
            lock.unlock();
            onHang();
            lock.relock();
        }
    }
}
