// A channel whose PCM is written by the host (STREAMPROC_PUSH).
#pragma once

#include "mix/channel.h"

namespace bvaudio {

class PushChannel : public Channel {
public:
    PushChannel(DWORD handle, ChannelFormat format) : Channel(handle, std::move(format)) {}

    // Queues `length` bytes (BASS_STREAMPROC_END may be or-ed in). Returns the
    // bytes queued afterwards, or -1 with `error` set.
    DWORD put(const void *data, DWORD length, int &error);
    int setAttribute(DWORD attrib, float value) override;

private:
    // put under the lock; `outputWaits`: the output holds back for this channel's audio.
    DWORD queue(const void *data, DWORD length, int &error, bool &outputWaits);

    DWORD m_limitBytes = 0; // 0 = no limit
};

} // namespace bvaudio
