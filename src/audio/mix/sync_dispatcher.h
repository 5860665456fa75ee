// The engine's sync thread: delivers sync callbacks one at a time, each not
// before its due time, in the order they were posted for each channel (a task
// due now does not wait for another channel's later one), with no engine lock
// held. Mix-time tasks keep an order of their own: they do not wait for their
// channel's tasks that are due when heard.
#pragma once

#include "bass.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace bvaudio {

class SyncDispatcher {
public:
    static SyncDispatcher &instance();

    using TimePoint = std::chrono::steady_clock::time_point;
    // Queues a task of `channel`'s for the sync thread (started on first use), to run once
    // `due` has come and the channel's tasks before it ran (only its mix-time ones for a mix-time task).
    // A task for audio mixed at output frame `audioFrame` (>= 0) goes with that audio when it is taken back.
    void post(DWORD channel, std::function<void()> task, TimePoint due = {}, bool mixTime = false, int64_t audioFrame = -1);
    // Drops the queued tasks of `channel` for audio mixed at output frame `from` or later.
    void takeBack(DWORD channel, int64_t from);
    // Returns once no task of `channel`'s is running (at once on the sync thread).
    void waitForChannel(DWORD channel);

private:
    SyncDispatcher() = default;
    ~SyncDispatcher();
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_taskDone;
    struct Task {
        DWORD channel;
        std::function<void()> run;
        TimePoint due;
        bool mixTime;
        int64_t audioFrame;
    };
    std::deque<Task>::iterator nextReady(TimePoint now, TimePoint &next);

    std::deque<Task> m_queue;
    DWORD m_running = 0; // channel of the task being run, 0 when idle
    bool m_quit = false;
    std::thread m_thread;
};

} // namespace bvaudio
