#include "bvclock.h"

#include <QTimer>

#include <atomic>
#include <chrono>

namespace {

std::atomic<BVClock *> g_clock{nullptr};

} // namespace

void BVClock::start(QTimer *timer, int ms)
{
    if (ms < 0)
        ms = timer->interval();
    if (BVClock *clock = g_clock.load())
        clock->startTimer(timer, ms);
    else
        timer->start(ms);
}

void BVClock::setInterval(QTimer *timer, int ms)
{
    const bool wasActive = timer->isActive();
    timer->setInterval(ms);
    if (BVClock *clock = g_clock.load(); clock && wasActive)
        clock->startTimer(timer, ms);
}

void BVClock::install(BVClock *clock)
{
    g_clock.store(clock);
}

qint64 BVClock::nowMs()
{
    if (const BVClock *clock = g_clock.load())
        return clock->elapsedMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
