// What every engine handle is, whether it plays or records: its number and format, its
// syncs and their delivery on the sync thread, stop, activity and shut-down.
#pragma once

#include "bass.h"
#include "mix/mix_history.h"
#include "mix/sync_list.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bvaudio {

struct ChannelFormat {
    DWORD freq = 0;
    DWORD chans = 0;
    DWORD flags = 0;
    DWORD ctype = BASS_CTYPE_STREAM;
    DWORD origres = 0;
    HPLUGIN plugin = 0;
    std::string filename;
};

class ChannelHandle : public std::enable_shared_from_this<ChannelHandle> {
public:
    // The output frame at which the mix-time sync running on this thread was mixed; -1 on
    // other threads.
    static int64_t mixTimeSyncFrame();

    ChannelHandle(DWORD handle, ChannelFormat format);
    virtual ~ChannelHandle();
    ChannelHandle(const ChannelHandle &) = delete;
    ChannelHandle &operator=(const ChannelHandle &) = delete;

    DWORD handle() const { return m_handle; }
    const ChannelFormat &format() const { return m_format; }
    DWORD bytesPerFrame() const { return m_format.chans * 2; }
    bool isAutoFree() const { return m_format.flags & BASS_STREAM_AUTOFREE; }

    virtual void stop() = 0;
    virtual DWORD activity() const = 0;

    HSYNC addSync(DWORD type, QWORD param, SYNCPROC *proc, void *user);
    bool removeSync(HSYNC sync);
    // Posts every sync of `type` to the sync thread with `data`, to run at once.
    void postSyncs(DWORD type, DWORD data);

    // Stops producers and syncs; the handle is gone. Called once.
    virtual void shutdown();

protected:
    // Heard-time events wait for `due`; mix-time ones run at once and know `frame`. Heard-time
    // events `ofAudio` belong to the audio mixed at `frame` and are dropped when it is taken back.
    void post(const std::vector<SyncList::Event> &events, MixTime::TimePoint due = {}, int64_t frame = 0, bool ofAudio = false);

    mutable std::mutex m_mutex; // the syncs, the shut-down and the state of the subclass
    SyncList m_syncs;
    bool m_shutdown = false;

private:
    // Whether the event's sync is still set, as it fires; a one-time sync goes.
    bool claimSync(const SyncList::Event &event);

    const DWORD m_handle;
    const ChannelFormat m_format;
};

using HandlePtr = std::shared_ptr<ChannelHandle>;

} // namespace bvaudio
