#pragma once

#include "bvglobal.h"

class QTimer;

// The time the library's own timers run on (restarts, position and level refresh,
// adaptation steps, HLS polls, metadata rhythm, request time-outs). It is the system's
// clock; a test may install a clock that it advances by hand, so that waits of seconds
// take none. The intervals themselves are the product's and do not change.
class BREVANTPLAYER_EXPORT BVClock
{
public:
    virtual ~BVClock() = default;

    // Starts `timer` to fire after `ms`, or after its interval when `ms` is negative, as
    // QTimer::start() does.
    static void start(QTimer *timer, int ms = -1);
    // Sets `timer`'s interval; a running timer starts counting it again, as with QTimer.
    static void setInterval(QTimer *timer, int ms);
    // Makes `clock` the one timers run on; nullptr gives them back to the system's clock.
    static void install(BVClock *clock);
    // Milliseconds on the clock timers run on, from an arbitrary start: for waits measured
    // from an earlier moment.
    static qint64 nowMs();

protected:
    // Starts `timer` with `ms` and counts it on this clock.
    virtual void startTimer(QTimer *timer, int ms) = 0;
    virtual qint64 elapsedMs() const = 0;
};
