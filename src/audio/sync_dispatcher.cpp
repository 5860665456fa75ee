#include "sync_dispatcher.h"

#include "thread_name.h"

namespace bvaudio {

SyncDispatcher &SyncDispatcher::instance()
{
    static SyncDispatcher dispatcher;
    return dispatcher;
}

SyncDispatcher::~SyncDispatcher()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void SyncDispatcher::post(DWORD channel, std::function<void()> task, TimePoint due)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_quit)
            return;
        if (!m_thread.joinable())
            m_thread = std::thread([this] {
                nameThisThread("bv-sync");
                run();
            });
        m_queue.push_back({channel, std::move(task), due});
    }
    m_wake.notify_one();
}

void SyncDispatcher::waitForChannel(DWORD channel)
{
    if (std::this_thread::get_id() == m_thread.get_id())
        return;
    std::unique_lock lock(m_mutex);
    m_taskDone.wait(lock, [&] { return m_running != channel; });
}

void SyncDispatcher::run()
{
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_quit || !m_queue.empty(); });
        if (m_queue.empty())
            break;
        // Shut-down runs what is left at once.
        if (!m_quit && m_wake.wait_until(lock, m_queue.front().due, [this] { return m_quit; }))
            continue;
        Task task = std::move(m_queue.front());
        m_queue.pop_front();
        m_running = task.channel;
        lock.unlock();
        task.run();
        lock.lock();
        m_running = 0;
        m_taskDone.notify_all();
    }
}

} // namespace bvaudio
