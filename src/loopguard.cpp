#include "loopguard.h"

#include <QDeadlineTimer>

LoopGuard::Judge::Judge(int tickMs, qint64 nowMs)
    : tickMs(tickMs)
    , lastTickMs(nowMs)
{ }

LoopGuard::Judge::Verdict LoopGuard::Judge::look(qint64 nowMs, quint64 checks, qint64 startBeganMs)
{
    const bool late = nowMs > nextLookMs() + LateMs;
    if (startBeganMs != watchedStartMs) {
        watchedStartMs = startBeganMs;
        startDeadlineMs = startBeganMs + FreshStart::StartLimitMs;
    }
    if (late) {
        lastTickMs = nowMs;
        seenChecks = checks;
        missed = 0;
        startDeadlineMs = qMax(startDeadlineMs, nowMs + FreshStart::StartLimitMs);
        return Fine;
    }
    Verdict verdict = Fine;
    if (nowMs >= lastTickMs + tickMs) {
        lastTickMs = nowMs;
        if (checks != seenChecks) {
            seenChecks = checks;
            missed = 0;
        } else if (++missed >= MissedTicks) {
            verdict = LoopStuck;
        }
    }
    if (watchedStartMs >= 0 && nowMs >= startDeadlineMs) {
        // Asked again a tick later, should nothing come of it.
        startDeadlineMs = nowMs + tickMs;
        verdict = StartStuck;
    }
    return verdict;
}

qint64 LoopGuard::Judge::nextLookMs() const
{
    const qint64 tick = lastTickMs + tickMs;
    return watchedStartMs >= 0 ? qMin(tick, startDeadlineMs) : tick;
}

LoopGuard::LoopGuard(int tickMs, std::function<void(FreshStart::Reason)> onHang, QObject *parent)
    : QThread(parent)
    , tickMs(tickMs)
    , onHang(std::move(onHang))
{
    clock.start();
}

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
    checks.fetch_add(1, std::memory_order_relaxed);
}

void LoopGuard::startBegins()
{
    startBeganMs.store(clock.elapsed());
    // The guard may sleep until its next tick: it must look sooner.
    QMutexLocker lock(&mutex);
    wake.wakeAll();
}

void LoopGuard::startEnds()
{
    startBeganMs.store(-1);
}

void LoopGuard::run()
{
    QMutexLocker lock(&mutex);
    Judge judge(tickMs, clock.elapsed());
    // It looks before it waits: a start that began before this thread first
    // held the lock woke nobody, and is found here.
    while (!stopping) {
        const Judge::Verdict verdict = judge.look(
                clock.elapsed(), checks.load(std::memory_order_relaxed), startBeganMs.load());
        if (verdict != Judge::Fine) {
            lock.unlock();
            onHang(verdict == Judge::StartStuck ? FreshStart::StartStuck : FreshStart::LoopStuck);
            lock.relock();
        }
        const qint64 waitMs = judge.nextLookMs() - clock.elapsed();
        if (waitMs > 0 && !stopping)
            wake.wait(&mutex, QDeadlineTimer(waitMs));
    }
}
