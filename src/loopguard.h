#ifndef LOOPGUARD_H
#define LOOPGUARD_H

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <functional>

// Watches, from a thread of its own, that the event loop keeps running its
// checks: Qt's audio backend can block the main thread for good. When the
// loop has not checked for MissedTicks ticks in a row while this thread
// itself kept time, it calls onHang, again at every further tick. A tick
// that comes late (the process was stopped, the machine overloaded) starts
// the count afresh, so only a hang that lasts in a running process counts.
// This thread does nothing else, and wakes once a tick.
class LoopGuard : public QThread
{
    Q_OBJECT

public:
    static constexpr int MissedTicks = 3;
    // How much later than due a tick may come and still count.
    static constexpr int LateMs = 2000;

    LoopGuard(int tickMs, std::function<void()> onHang, QObject *parent = nullptr);
    ~LoopGuard() override;

public slots:
    // The event loop has run a check.
    void beat();

protected:
    void run() override;

private:
    const int tickMs;
    const std::function<void()> onHang;
    std::atomic<quint64> beats { 0 };
    QMutex mutex;
    QWaitCondition wake;
    bool stopping = false;
};

#endif // LOOPGUARD_H
