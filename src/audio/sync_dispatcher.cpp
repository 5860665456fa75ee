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

void SyncDispatcher::run()
{
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_quit || !m_queue.empty(); });
        if (m_queue.empty())
            break;
        std::function<void()> task = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
}

} // namespace bvaudio
