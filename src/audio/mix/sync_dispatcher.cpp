#include "mix/sync_dispatcher.h"

#include "thread_name.h"

#include <algorithm>
#include <vector>

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

void SyncDispatcher::post(DWORD channel, std::function<void()> task, TimePoint due, bool mixTime, int64_t audioFrame)
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
        m_queue.push_back({channel, std::move(task), due, mixTime, audioFrame});
    }
    m_wake.notify_one();
}

void SyncDispatcher::takeBack(DWORD channel, int64_t from)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_queue, [&](const Task &task) {
        return task.channel == channel && task.audioFrame >= 0 && task.audioFrame >= from;
    });
}

void SyncDispatcher::waitForChannel(DWORD channel)
{
    if (std::this_thread::get_id() == m_thread.get_id())
        return;
    std::unique_lock lock(m_mutex);
    m_taskDone.wait(lock, [&] { return m_running != channel; });
}

// The first task that may run: the oldest of its channel's tasks (of its channel's mix-time
// tasks for one of those), and due (everything is due at shut-down). `next` becomes the
// earliest due time of those oldest tasks.
std::deque<SyncDispatcher::Task>::iterator SyncDispatcher::nextReady(TimePoint now, TimePoint &next)
{
    std::vector<std::pair<DWORD, bool>> seen; // (channel, mix-time) whose oldest task was looked at
    next = TimePoint::max();
    for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
        const std::pair<DWORD, bool> lane{it->channel, it->mixTime};
        if (std::find(seen.begin(), seen.end(), lane) != seen.end())
            continue;
        if (m_quit || it->due <= now)
            return it;
        seen.push_back(lane);
        next = std::min(next, it->due);
    }
    return m_queue.end();
}

void SyncDispatcher::run()
{
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_quit || !m_queue.empty(); });
        if (m_queue.empty())
            break;
        TimePoint next;
        const auto ready = nextReady(std::chrono::steady_clock::now(), next);
        if (ready == m_queue.end()) {
            m_wake.wait_until(lock, next); // a new task or shut-down wakes it earlier
            continue;
        }
        Task task = std::move(*ready);
        m_queue.erase(ready);
        m_running = task.channel;
        lock.unlock();
        task.run();
        lock.lock();
        m_running = 0;
        m_taskDone.notify_all();
    }
}

} // namespace bvaudio
