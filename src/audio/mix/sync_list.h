// The syncs set on one channel, and the events they turn into. Not
// thread-safe: the owning channel guards it with its mutex.
#pragma once

#include "bass.h"

#include <vector>

namespace bvaudio {

class SyncList {
public:
    struct Event {
        HSYNC id;
        SYNCPROC *proc;
        void *user;
        DWORD data;
        bool mixTime; // delivered when mixed rather than when heard
        bool oneTime; // removed as it fires
    };

    // `type` may carry BASS_SYNC_MIXTIME and BASS_SYNC_ONETIME.
    HSYNC add(DWORD type, QWORD param, SYNCPROC *proc, void *user);
    bool remove(HSYNC id);
    bool contains(HSYNC id) const;
    // Appends an event with `data` for every sync of `type` (its mix-time syncs only `withMixTime`).
    void collect(DWORD type, DWORD data, std::vector<Event> &out, bool withMixTime = true) const;
    // Appends an event for every position sync inside [from, to), in position order; for a
    // mix-time sync only from `mixTimeFrom` on (audio mixed again delivers those once).
    void collectPositions(QWORD from, QWORD to, std::vector<Event> &out, QWORD mixTimeFrom = 0) const;

private:
    struct Sync {
        HSYNC id;
        DWORD type;
        QWORD param;
        SYNCPROC *proc;
        void *user;
        bool mixTime;
        bool oneTime;
    };
    std::vector<Sync> m_syncs;
};

} // namespace bvaudio
