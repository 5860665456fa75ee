// What one engine sync delivered, in arrival order, from whichever thread it ran on: its
// data, when it came, and the META tag the channel showed then; the error of a failed call; a timer.
#pragma once

#include "bass.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>

#include <chrono>
#include <mutex>

namespace bvtest {

// The error code a failed engine call (one returning 0) left; -1 when the call succeeded.
template <typename Result>
int failure(Result result)
{
    return result ? -1 : BASS_ErrorGetCode();
}

// A timer running from its creation.
struct Stopwatch : QElapsedTimer {
    Stopwatch() { start(); }
};

class SyncLog {
public:
    using Clock = std::chrono::steady_clock;

    // Sets the sync on `stream`; 0 when the engine refused it.
    HSYNC watch(HSTREAM stream, DWORD type, QWORD param = 0) { return BASS_ChannelSetSync(stream, type, param, record, this); }
    static void record(HSYNC, DWORD channel, DWORD data, void *user)
    {
        auto *log = static_cast<SyncLog *>(user);
        const char *tag = BASS_ChannelGetTags(channel, BASS_TAG_META);
        std::lock_guard lock(log->m_mutex);
        log->m_events.append({data, Clock::now(), tag ? QByteArray(tag) : QByteArray()});
    }

    qsizetype count() const { return events().size(); }
    Clock::time_point time(qsizetype i) const { return events().at(i).at; }
    // Milliseconds from `from` to the `i`th event.
    double msAfter(Clock::time_point from, qsizetype i = 0) const
    {
        return std::chrono::duration<double, std::milli>(time(i) - from).count();
    }
    QList<DWORD> data() const
    {
        QList<DWORD> values;
        for (const Event &e : events())
            values.append(e.data);
        return values;
    }
    // The tags of the last `count` events (all when negative), from one look at the log.
    QList<QByteArray> tags(qsizetype count = -1) const
    {
        const QList<Event> all = events();
        QList<QByteArray> values;
        for (qsizetype i = count < 0 ? 0 : qMax<qsizetype>(0, all.size() - count); i < all.size(); ++i)
            values.append(all[i].tag);
        return values;
    }

private:
    struct Event {
        DWORD data;
        Clock::time_point at;
        QByteArray tag;
    };
    QList<Event> events() const
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

    mutable std::mutex m_mutex;
    QList<Event> m_events;
};

} // namespace bvtest
