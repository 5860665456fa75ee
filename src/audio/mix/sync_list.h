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
    // Appends an event with `data` for every sync of `type`.
    void collect(DWORD type, DWORD data, std::vector<Event> &out) const;
    // Appends an event for every position sync inside [from, to), in position order.
    void collectPositions(QWORD from, QWORD to, std::vector<Event> &out) const;

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
