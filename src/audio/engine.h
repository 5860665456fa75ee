// Process-wide engine state: the open device and the table of live channels.
#pragma once

#include "device/device.h"

#include <map>
#include <memory>
#include <mutex>

namespace bvaudio {

class Engine {
public:
    static Engine &instance();

    // Results are BASS error codes.
    int init(int device, int rate);
    // Plays through `driver` (BASS_Init opens the device's; tests bring their own).
    int open(std::unique_ptr<OutputDriver> driver);
    int free();
    bool isInitialized();

    // Registers a channel built by `make(handle)`; returns its handle, 0 with `error` on failure.
    // Playback channels need the output device; recordings do not.
    template <typename Make>
    DWORD addChannel(Make make, int &error, bool needsOutput = true)
    {
        const DWORD handle = reserveHandle(needsOutput, error);
        if (!handle)
            return 0;
        HandlePtr channel = make(handle, error);
        if (!channel)
            return 0;
        std::lock_guard lock(m_mutex);
        if (needsOutput && !m_device) { // the engine was freed meanwhile
            error = BASS_ERROR_INIT;
            channel->shutdown();
            return 0;
        }
        m_channels[handle] = channel;
        return handle;
    }

    // The channel of `handle`, playable or a recording; nullptr when there is none.
    HandlePtr channel(DWORD handle);
    int play(const ChannelPtr &channel, bool restart);
    // A channel stopped, moved or changed its volume: the output hears it at once.
    void mixChanged();
    // Decode or host thread, holding no channel's lock: a channel that the output holds back for
    // (starting or seeking) has new audio, so the output writes it without waiting for its poll.
    void audioArrived();
    // The open output's rate and how far it queues ahead of what is heard (zeros without one).
    struct OutputTiming {
        int rate = 0;
        int queueMs = 0;
    };
    OutputTiming outputTiming();
    bool freeChannel(DWORD handle);
    // Frees every channel for which `match` holds.
    void freeChannels(const std::function<bool(const ChannelHandle &)> &match);

private:
    Engine() = default;
    DWORD reserveHandle(bool needsOutput, int &error);
    void channelEnded(const ChannelPtr &channel, const MixTime &time);

    std::mutex m_mutex;
    std::unique_ptr<Device> m_device;
    std::map<DWORD, HandlePtr> m_channels;
    DWORD m_nextHandle = 1;
};

} // namespace bvaudio
