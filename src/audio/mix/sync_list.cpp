#include "mix/sync_list.h"

#include <algorithm>
#include <atomic>

namespace bvaudio {
namespace {

std::atomic<HSYNC> nextSync{1}; // sync handles are unique in the process

} // namespace

HSYNC SyncList::add(DWORD type, QWORD param, SYNCPROC *proc, void *user)
{
    const HSYNC id = nextSync++;
    m_syncs.push_back({id, type & ~DWORD(BASS_SYNC_MIXTIME | BASS_SYNC_ONETIME), param, proc, user,
                       (type & BASS_SYNC_MIXTIME) != 0, (type & BASS_SYNC_ONETIME) != 0});
    return id;
}

bool SyncList::remove(HSYNC id)
{
    return std::erase_if(m_syncs, [id](const Sync &s) { return s.id == id; }) > 0;
}

bool SyncList::contains(HSYNC id) const
{
    return std::any_of(m_syncs.begin(), m_syncs.end(), [id](const Sync &s) { return s.id == id; });
}

void SyncList::collect(DWORD type, DWORD data, std::vector<Event> &out, bool withMixTime) const
{
    for (const Sync &s : m_syncs)
        if (s.type == type && (withMixTime || !s.mixTime))
            out.push_back({s.id, s.proc, s.user, data, s.mixTime, s.oneTime});
}

void SyncList::collectPositions(QWORD from, QWORD to, std::vector<Event> &out, QWORD mixTimeFrom) const
{
    std::vector<const Sync *> reached;
    for (const Sync &s : m_syncs)
        if (s.type == BASS_SYNC_POS && s.param >= (s.mixTime ? std::max(from, mixTimeFrom) : from) && s.param < to)
            reached.push_back(&s);
    // In the order the positions are played, whatever order the syncs were set in.
    std::stable_sort(reached.begin(), reached.end(), [](const Sync *a, const Sync *b) { return a->param < b->param; });
    for (const Sync *s : reached)
        out.push_back({s->id, s->proc, s->user, 0, s->mixTime, s->oneTime});
}

} // namespace bvaudio
