// The engine's sync thread: delivers sync callbacks one at a time, in the
// order the events were posted, with no engine lock held.
#pragma once

#include "bass.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace bvaudio {

class SyncDispatcher {
public:
    static SyncDispatcher &instance();

    // Queues a task of `channel`'s for the sync thread (started on first use).
    void post(DWORD channel, std::function<void()> task);
    // Returns once no task of `channel`'s is running (at once on the sync thread).
    void waitForChannel(DWORD channel);

private:
    SyncDispatcher() = default;
    ~SyncDispatcher();
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_taskDone;
    std::deque<std::pair<DWORD, std::function<void()>>> m_queue;
    DWORD m_running = 0; // channel of the task being run, 0 when idle
    bool m_quit = false;
    std::thread m_thread;
};

} // namespace bvaudio
