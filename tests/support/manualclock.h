// A clock the test moves by hand (header-only: only tests that link the library use it): the library's
// timers started while it is installed fire only when advance() passes their time, however long the test takes.
#pragma once

#include "bvclock.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace bvtest {

class ManualClock : public QObject, public BVClock
{
public:
    ManualClock() { install(this); }
    ~ManualClock() override { install(nullptr); }

    // Moves the clock on by `ms`, firing each timer that comes due on the way, in order, with
    // the events it causes handled before the next one.
    void advance(int ms)
    {
        const qint64 target = m_now + ms;
        for (;;) {
            // Stopped and deleted timers drop out; the earliest due one fires next.
            m_timers.erase(std::remove_if(m_timers.begin(), m_timers.end(),
                                          [](const Entry &entry) { return !entry.timer || !entry.timer->isActive(); }),
                           m_timers.end());
            const auto next = std::min_element(m_timers.begin(), m_timers.end(),
                                               [](const Entry &a, const Entry &b) { return a.due < b.due; });
            if (next == m_timers.end() || next->due > target)
                break;
            QTimer *timer = next->timer;
            m_now = next->due;
            if (timer->isSingleShot())
                timer->stop();
            else
                next->due += std::max(timer->interval(), 1);
            QMetaObject::invokeMethod(timer, "timeout");
            QCoreApplication::processEvents();
        }
        m_now = target;
    }

protected:
    void startTimer(QTimer *timer, int ms) override
    {
        timer->start(ms); // active as usual, so that isActive(), stop() and the interval still work
        timer->installEventFilter(this);
        const auto same = [timer](const Entry &entry) { return entry.timer == timer; };
        m_timers.erase(std::remove_if(m_timers.begin(), m_timers.end(), same), m_timers.end());
        m_timers.push_back({timer, m_now + ms});
    }
    qint64 elapsedMs() const override { return m_now; }
    // The timers' own (real-time) firing is held back.
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        return event->type() == QEvent::Timer || QObject::eventFilter(watched, event);
    }

private:
    struct Entry {
        QPointer<QTimer> timer;
        qint64 due;
    };
    qint64 m_now = 0;
    std::vector<Entry> m_timers;
};

} // namespace bvtest
