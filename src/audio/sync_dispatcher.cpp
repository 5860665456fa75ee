#include "sync_dispatcher.h"

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

void SyncDispatcher::post(std::function<void()> task)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_quit)
            return;
        if (!m_thread.joinable())
            m_thread = std::thread(&SyncDispatcher::run, this);
        m_queue.push_back(std::move(task));
    }
    m_wake.notify_one();
}

bool SyncDispatcher::isSyncThread() const
{
    return std::this_thread::get_id() == m_thread.get_id();
}

void SyncDispatcher::drain()
{
    if (isSyncThread())
        return;
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

void SyncDispatcher::run()
{
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_quit || !m_queue.empty(); });
        if (m_queue.empty())
            break;
        std::function<void()> task = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();
        task();
        lock.lock();
        m_busy = false;
        if (m_queue.empty())
            m_idle.notify_all();
    }
}

} // namespace bvaudio
