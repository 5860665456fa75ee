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

private:
    SyncDispatcher() = default;
    ~SyncDispatcher();
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_queue;
    bool m_quit = false;
    std::thread m_thread;
};

} // namespace bvaudio
