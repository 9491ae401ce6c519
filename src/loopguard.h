#ifndef LOOPGUARD_H
#define LOOPGUARD_H

#include "freshstart.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <functional>

// Watches, from a thread of its own, that the event loop keeps running its
// checks, and that no start of an output hangs: Qt's audio backend can block
// the main thread for good. When it finds the loop stuck it calls onHang with
// the reason, and again each time it looks while the loop stays stuck. The
// thread wakes once a tick, and while a start is under way when that start
// would have taken too long; it does nothing else.
class LoopGuard : public QThread
{
    Q_OBJECT

public:
    // Ticks in a row without a check after which the loop counts as stuck.
    static constexpr int MissedTicks = 3;
    // How much later than due the guard may wake and still count: a wake
    // that comes later (the process was stopped, the machine overloaded)
    // starts the count afresh, so only a hang in a running process counts.
    static constexpr int LateMs = 2000;

    // The guard's judgement, apart from its thread and clock.
    class Judge
    {
    public:
        enum Verdict { Fine, LoopStuck, StartStuck };

        Judge(int tickMs, qint64 nowMs);
        // Looks at nowMs, with the checks run so far and the time the start
        // under way began, or -1 when none is.
        Verdict look(qint64 nowMs, quint64 checks, qint64 startBeganMs);
        // When to look next.
        qint64 nextLookMs() const;

    private:
        const int tickMs;
        qint64 lastTickMs = 0;
        quint64 seenChecks = 0;
        int missed = 0;
        qint64 watchedStartMs = -1;
        qint64 startDeadlineMs = 0;
    };

    LoopGuard(int tickMs, std::function<void(FreshStart::Reason)> onHang,
              QObject *parent = nullptr);
    ~LoopGuard() override;

public slots:
    // The event loop has run a check.
    void beat();
    // An output is about to start, or has started.
    void startBegins();
    void startEnds();

protected:
    void run() override;

private:
    const int tickMs;
    const std::function<void(FreshStart::Reason)> onHang;
    // Shared by both threads; monotonic, so time in a system suspend does
    // not count.
    QElapsedTimer clock;
    std::atomic<quint64> checks { 0 };
    std::atomic<qint64> startBeganMs { -1 };
    QMutex mutex;
    QWaitCondition wake;
    bool stopping = false;
};

#endif // LOOPGUARD_H
