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

    // Queues a task for the sync thread (started on first use).
    void post(std::function<void()> task);
    // True on the sync thread itself.
    bool isSyncThread() const;
    // Blocks until every task posted before the call has run (no-op on the sync thread).
    void drain();

private:
    SyncDispatcher() = default;
    ~SyncDispatcher();
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void()>> m_queue;
    bool m_busy = false;
    bool m_quit = false;
    std::thread m_thread;
};

} // namespace bvaudio
