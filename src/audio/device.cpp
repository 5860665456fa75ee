#include "device.h"

#include <algorithm>
#include <cmath>

namespace bvaudio {

Device::Device(std::unique_ptr<OutputDriver> driver, ChannelEnded onChannelEnded)
    : m_driver(std::move(driver)), m_rate(m_driver->sampleRate()), m_onChannelEnded(std::move(onChannelEnded))
{
    m_driver->start([this](int16_t *out, int frames) { render(out, frames); }, [this] { fail(); });
}

Device::~Device()
{
    m_driver->stop();
}

void Device::attach(const ChannelPtr &channel)
{
    std::lock_guard lock(m_mutex);
    if (std::find(m_channels.begin(), m_channels.end(), channel) == m_channels.end())
        m_channels.push_back(channel);
}

void Device::detach(DWORD handle)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_channels, [handle](const ChannelPtr &c) { return c->handle() == handle; });
}

// Mixes period by period: each period knows when it will be heard, for the channels'
// positions and syncs.
void Device::render(int16_t *out, int frames)
{
    const int period = periodFrames(m_rate);
    const OutputDriver::Clock::time_point heardAt = m_driver->drainTime();
    for (int done = 0; done < frames; done += period) {
        const auto offset = std::chrono::nanoseconds(1000000000LL * done / m_rate);
        renderPeriod(out + 2 * done, std::min(period, frames - done), heardAt + offset);
    }
}

void Device::renderPeriod(int16_t *out, int frames, OutputDriver::Clock::time_point heardAt)
{
    {
        std::lock_guard lock(m_mutex);
        m_rendering = m_channels; // reuses its storage: no allocation per period
    }
    m_mix.assign(static_cast<size_t>(frames) * 2, 0.0f);
    const MixTime time{m_rate, heardAt};
    for (const ChannelPtr &channel : m_rendering)
        if (channel->mixInto(m_mix.data(), frames, time))
            m_onChannelEnded(channel, time.heardAt);
    m_rendering.clear();
    // Saturate rather than wrap when the sum leaves the 16-bit range.
    for (size_t i = 0; i < m_mix.size(); ++i)
        out[i] = static_cast<int16_t>(std::lrint(std::clamp(m_mix[i] * 32768.0f, -32768.0f, 32767.0f)));
}

void Device::fail()
{
    m_failed = true;
    std::vector<ChannelPtr> channels;
    {
        std::lock_guard lock(m_mutex);
        channels = m_channels;
    }
    for (const ChannelPtr &channel : channels)
        channel->deviceFailed();
}

} // namespace bvaudio
