#include "mix/channel_handle.h"

#include "mix/sync_dispatcher.h"

#include <utility>

namespace bvaudio {
namespace {

thread_local int64_t t_mixTimeSyncFrame = -1;

} // namespace

int64_t ChannelHandle::mixTimeSyncFrame()
{
    return t_mixTimeSyncFrame;
}

ChannelHandle::ChannelHandle(DWORD handle, ChannelFormat format) : m_handle(handle), m_format(std::move(format))
{
}

ChannelHandle::~ChannelHandle() = default;

HSYNC ChannelHandle::addSync(DWORD type, QWORD param, SYNCPROC *proc, void *user)
{
    std::lock_guard lock(m_mutex);
    return m_syncs.add(type, param, proc, user);
}

bool ChannelHandle::removeSync(HSYNC sync)
{
    std::lock_guard lock(m_mutex);
    return m_syncs.remove(sync);
}

bool ChannelHandle::claimSync(const SyncList::Event &event)
{
    std::lock_guard lock(m_mutex);
    if (m_shutdown)
        return false;
    return event.oneTime ? m_syncs.remove(event.id) : m_syncs.contains(event.id);
}

void ChannelHandle::postSyncs(DWORD type, DWORD data)
{
    std::vector<SyncList::Event> events;
    {
        std::lock_guard lock(m_mutex);
        m_syncs.collect(type, data, events);
    }
    post(events);
}

void ChannelHandle::post(const std::vector<SyncList::Event> &events, MixTime::TimePoint due, int64_t frame, bool ofAudio)
{
    if (events.empty())
        return;
    std::weak_ptr<ChannelHandle> weak = weak_from_this();
    const DWORD handle = m_handle;
    for (const SyncList::Event &e : events) {
        SyncDispatcher::instance().post(handle, [weak, handle, e, frame] {
            // A sync removed or a channel freed after the event skips its callback.
            HandlePtr channel = weak.lock();
            if (!channel || !channel->claimSync(e))
                return;
            t_mixTimeSyncFrame = e.mixTime ? frame : -1;
            e.proc(e.id, handle, e.data, e.user);
            t_mixTimeSyncFrame = -1;
        }, e.mixTime ? MixTime::TimePoint{} : due, e.mixTime, ofAudio && !e.mixTime ? frame : -1);
    }
}

void ChannelHandle::shutdown()
{
    std::lock_guard lock(m_mutex);
    m_shutdown = true;
}

} // namespace bvaudio
