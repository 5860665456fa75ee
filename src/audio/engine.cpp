#include "engine.h"

#include "mix/decoder_channel.h"
#include "input/net_input.h"
#include "mix/sync_dispatcher.h"

#include <algorithm>

namespace bvaudio {

Engine &Engine::instance()
{
    static Engine engine;
    return engine;
}

int Engine::init(int device, int rate)
{
    if (device < -1)
        return BASS_ERROR_DEVICE;
    if (isInitialized())
        return BASS_ERROR_ALREADY;
    if (rate <= 0)
        rate = 44100;
    int error = BASS_OK;
    std::unique_ptr<OutputDriver> driver = device == 0 ? openNoSoundOutput(rate) : openPulseOutput(device, rate, error);
    return driver ? open(std::move(driver)) : error;
}

int Engine::open(std::unique_ptr<OutputDriver> driver)
{
    std::lock_guard lock(m_mutex);
    if (m_device)
        return BASS_ERROR_ALREADY;
    m_device = std::make_unique<Device>(std::move(driver), [this](const ChannelPtr &c, const MixTime &time) {
        channelEnded(c, time);
    });
    return BASS_OK;
}

int Engine::free()
{
    std::unique_ptr<Device> device;
    std::map<DWORD, HandlePtr> channels;
    {
        std::lock_guard lock(m_mutex);
        if (!m_device)
            return BASS_ERROR_INIT;
        device.swap(m_device);
        channels.swap(m_channels);
    }
    NetInput::abortAll(); // creations still waiting for the network give up at once
    device.reset(); // joins the output thread: no channel is mixed any more
    for (auto &entry : channels)
        entry.second->shutdown();
    for (auto &entry : channels)
        SyncDispatcher::instance().waitForChannel(entry.first);
    channels.clear();
    DecoderChannel::waitForAllDecodeThreads();
    return BASS_OK;
}

bool Engine::isInitialized()
{
    std::lock_guard lock(m_mutex);
    return m_device != nullptr;
}

DWORD Engine::reserveHandle(bool needsOutput, int &error)
{
    std::lock_guard lock(m_mutex);
    if (needsOutput && !m_device) {
        error = BASS_ERROR_INIT;
        return 0;
    }
    return m_nextHandle++;
}

HandlePtr Engine::channel(DWORD handle)
{
    std::lock_guard lock(m_mutex);
    auto it = m_channels.find(handle);
    return it == m_channels.end() ? nullptr : it->second;
}

int Engine::play(const ChannelPtr &channel, bool restart)
{
    std::lock_guard lock(m_mutex);
    if (!m_device)
        return BASS_ERROR_INIT;
    if (m_device->hasFailed())
        return BASS_ERROR_START;
    int rc = channel->play(restart);
    // Played from a mix-time sync, the channel starts where the sync's event was mixed: a
    // channel that follows another at its end follows it without a pause.
    if (rc == BASS_OK)
        m_device->attach(channel, std::max<int64_t>(Channel::mixTimeSyncFrame(), 0));
    return rc;
}

void Engine::mixChanged()
{
    std::lock_guard lock(m_mutex);
    // A change made by a mix-time sync belongs where the sync's position was mixed.
    if (m_device)
        m_device->mixChanged(std::max<int64_t>(Channel::mixTimeSyncFrame(), 0));
}

void Engine::audioArrived()
{
    std::lock_guard lock(m_mutex);
    if (m_device)
        m_device->audioArrived();
}

Engine::OutputTiming Engine::outputTiming()
{
    std::lock_guard lock(m_mutex);
    return m_device ? OutputTiming{m_device->sampleRate(), m_device->queueMs()} : OutputTiming{};
}

bool Engine::freeChannel(DWORD handle)
{
    HandlePtr channel;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_channels.find(handle);
        if (it == m_channels.end())
            return false;
        channel = it->second;
        m_channels.erase(it);
        if (m_device)
            m_device->detach(handle);
    }
    channel->shutdown();
    // No sync callback of the channel runs once the free returns.
    SyncDispatcher::instance().waitForChannel(handle);
    return true;
}

void Engine::freeChannels(const std::function<bool(const ChannelHandle &)> &match)
{
    std::vector<DWORD> handles;
    {
        std::lock_guard lock(m_mutex);
        for (const auto &[handle, channel] : m_channels)
            if (match(*channel))
                handles.push_back(handle);
    }
    for (DWORD handle : handles)
        freeChannel(handle);
}

void Engine::channelEnded(const ChannelPtr &channel, const MixTime &time)
{
    // After the END syncs already queued: an auto-free channel goes once they ran, unless its
    // end is taken back with them.
    if (channel->isAutoFree()) {
        const DWORD handle = channel->handle();
        SyncDispatcher::instance().post(handle, [this, handle] { freeChannel(handle); }, time.heardAt, false, time.frame);
    }
}

} // namespace bvaudio
