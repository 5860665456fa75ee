#include "device/device.h"

#include <algorithm>

namespace bvaudio {

Device::Device(std::unique_ptr<OutputDriver> driver, ChannelEnded onChannelEnded)
    : m_driver(std::move(driver)), m_rate(m_driver->sampleRate()), m_onChannelEnded(std::move(onChannelEnded))
{
    m_driver->start({[this](int16_t *out, int frames, const OutputDriver::Position &at) { return render(out, frames, at); },
                     [this](int64_t from) { return readiness(from); }, [this](int64_t frame) { rewind(frame); }, [this] { fail(); }});
}

Device::~Device()
{
    m_driver->stop();
}

void Device::attach(const ChannelPtr &channel, int64_t from)
{
    {
        std::lock_guard lock(m_mutex);
        if (std::find(m_channels.begin(), m_channels.end(), channel) == m_channels.end())
            m_channels.push_back(channel);
    }
    mixChanged(from);
}

void Device::detach(DWORD handle)
{
    {
        std::lock_guard lock(m_mutex);
        std::erase_if(m_channels, [handle](const ChannelPtr &c) { return c->handle() == handle; });
    }
    mixChanged();
}

const std::vector<ChannelPtr> &Device::snapshot()
{
    std::lock_guard lock(m_mutex);
    m_rendering = m_channels; // reuses its storage: no allocation per period
    return m_rendering;
}

// Mixes period by period: each period knows where it lies on the output's timeline and
// when it will be heard, for the channels' positions and syncs.
bool Device::render(int16_t *out, int frames, const OutputDriver::Position &at)
{
    const int period = periodFrames(m_rate);
    const std::vector<ChannelPtr> &channels = snapshot(); // a channel attached meanwhile asks for a rewrite
    bool playing = false;
    for (int done = 0; done < frames; done += period) {
        const auto offset = std::chrono::nanoseconds(1000000000LL * done / m_rate);
        playing |= renderPeriod(channels, out + 2 * done, std::min(period, frames - done),
                                MixTime{m_rate, at.heardAt + offset, at.frame + done, at.heardFrame});
    }
    m_rendering.clear();
    return playing;
}

bool Device::renderPeriod(const std::vector<ChannelPtr> &channels, int16_t *out, int frames, const MixTime &time)
{
    m_mix.assign(static_cast<size_t>(frames) * 2, 0.0f);
    bool playing = false;
    for (const ChannelPtr &channel : channels) {
        const Channel::MixOutcome outcome = channel->mixInto(m_mix.data(), frames, time);
        playing |= outcome != Channel::MixOutcome::Idle;
        if (outcome == Channel::MixOutcome::Ended)
            m_onChannelEnded(channel, time);
    }
    // Saturate rather than wrap when the sum leaves the 16-bit range, and round to nearest (half
    // up): truncating a positive offset value is a conversion the compiler vectorises.
    for (size_t i = 0; i < m_mix.size(); ++i) {
        const float sample = std::clamp(m_mix[i] * 32768.0f, -32768.0f, 32767.0f);
        out[i] = static_cast<int16_t>(static_cast<int>(sample + 32768.5f) - 32768);
    }
    return playing;
}

Readiness Device::readiness(int64_t from)
{
    Readiness all;
    for (const ChannelPtr &channel : snapshot()) {
        const Readiness one = channel->readiness(m_rate, from);
        if (one.frames >= 0)
            all.frames = all.frames < 0 ? one.frames : std::min(all.frames, one.frames);
        all.holding |= one.holding;
        all.flowing |= one.flowing;
        all.rewrite |= one.rewrite;
    }
    m_rendering.clear();
    return all;
}

void Device::rewind(int64_t frame)
{
    for (const ChannelPtr &channel : snapshot())
        channel->rewindTo(frame);
    m_rendering.clear();
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
