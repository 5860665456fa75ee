#include "channel.h"

#include "sync_dispatcher.h"

#include <algorithm>
#include <cmath>

namespace bvaudio {

Channel::Channel(DWORD handle, ChannelFormat format)
    : m_handle(handle),
      m_format(std::move(format)),
      m_levelMeter(static_cast<int>(m_format.freq), static_cast<int>(m_format.chans))
{
}

Channel::~Channel() = default;

int Channel::play(bool restart)
{
    if (restart && position() != 0) {
        int rc = setPosition(0);
        if (rc != BASS_OK)
            return rc;
    }
    std::lock_guard lock(m_mutex);
    if (m_shutdown)
        return BASS_ERROR_HANDLE;
    if (m_deviceLost)
        return BASS_ERROR_START;
    if (m_state == State::Ended)
        return BASS_ERROR_ENDED;
    if (!isRunning()) {
        const bool empty = m_fifo.empty() && !m_sourceEnded && m_resampledRead >= m_resampled.size();
        m_state = empty ? State::Stalled : State::Playing;
    }
    return BASS_OK;
}

int Channel::pause()
{
    std::lock_guard lock(m_mutex);
    if (!isRunning())
        return BASS_ERROR_NOPLAY;
    m_state = State::Paused;
    m_heardCount = 0; // a paused channel stands where it will go on
    return BASS_OK;
}

void Channel::stop()
{
    std::lock_guard lock(m_mutex);
    if (m_state != State::Ended)
        m_state = State::Stopped;
    m_heardCount = 0;
}

DWORD Channel::activity() const
{
    std::lock_guard lock(m_mutex);
    if (m_state == State::Stopped || m_state == State::Ended)
        return BASS_ACTIVE_STOPPED;
    if (m_deviceLost)
        return BASS_ACTIVE_PAUSED_DEVICE;
    if (m_state == State::Paused)
        return BASS_ACTIVE_PAUSED;
    return m_state == State::Stalled ? BASS_ACTIVE_STALLED : BASS_ACTIVE_PLAYING;
}

QWORD Channel::position() const
{
    std::lock_guard lock(m_mutex);
    if (m_heardCount == 0)
        return m_position;
    const auto now = MixTime::Clock::now();
    // The newest period that has begun to be heard, and how far into it the output is.
    for (size_t i = 1; i <= m_heardCount; ++i) {
        const HeardPeriod &p = m_heard[(m_heardNext + kHeardPeriods - i) % kHeardPeriods];
        if (p.at > now)
            continue;
        const double part = std::min(1.0, static_cast<double>((now - p.at).count()) / p.length.count());
        const auto into = static_cast<QWORD>(static_cast<double>(p.to - p.from) * part);
        return p.from + into - into % bytesPerFrame();
    }
    return m_heard[(m_heardNext + kHeardPeriods - m_heardCount) % kHeardPeriods].from; // nothing heard yet
}

void Channel::rememberHeard(const HeardPeriod &period)
{
    m_heard[m_heardNext] = period;
    m_heardNext = (m_heardNext + 1) % kHeardPeriods;
    m_heardCount = std::min(m_heardCount + 1, kHeardPeriods);
}

int Channel::setPosition(QWORD)
{
    return BASS_ERROR_NOTAVAIL;
}

int64_t Channel::filePosition(DWORD, int &error) const
{
    error = BASS_ERROR_NOTFILE;
    return -1;
}

const char *Channel::tags(DWORD) const
{
    return nullptr;
}

void Channel::resetPlayback(QWORD position)
{
    m_fifo.clear();
    m_resampled.clear();
    m_resampledRead = 0;
    m_resampler.reset(); // drops the delay line with the old audio
    m_resamplerDrained = false;
    m_position = position;
    m_heardCount = 0;
    if (m_state == State::Ended)
        m_state = State::Stopped;
}

int Channel::setAttribute(DWORD attrib, float value)
{
    std::lock_guard lock(m_mutex);
    switch (attrib) {
    case BASS_ATTRIB_VOL:
        if (value < 0.0f || std::isnan(value))
            return BASS_ERROR_ILLPARAM;
        m_volume = m_volumeTarget = value;
        m_volumeStep = 0.0f;
        m_slidePendingMs = 0;
        return BASS_OK;
    case BASS_ATTRIB_FREQ:
        if (value < 0.0f || std::isnan(value) || (value != 0.0f && (value < 100.0f || value > 768000.0f)))
            return BASS_ERROR_ILLPARAM;
        m_freq = value;
        return BASS_OK;
    default:
        return BASS_ERROR_ILLTYPE;
    }
}

int Channel::getAttribute(DWORD attrib, float &value) const
{
    std::lock_guard lock(m_mutex);
    switch (attrib) {
    case BASS_ATTRIB_VOL:
        value = m_volume;
        return BASS_OK;
    case BASS_ATTRIB_FREQ:
        value = m_freq > 0.0f ? m_freq : static_cast<float>(m_format.freq);
        return BASS_OK;
    default:
        return BASS_ERROR_ILLTYPE;
    }
}

int Channel::slideAttribute(DWORD attrib, float value, DWORD timeMs)
{
    if (attrib != BASS_ATTRIB_VOL)
        return BASS_ERROR_ILLTYPE;
    if (timeMs == 0)
        return setAttribute(attrib, value);
    if (value < 0.0f || std::isnan(value))
        return BASS_ERROR_ILLPARAM;
    std::lock_guard lock(m_mutex);
    m_volumeTarget = value;
    m_slidePendingMs = timeMs; // turned into a per-frame step at the device rate by the mixer
    return BASS_OK;
}

float Channel::level(float seconds) const
{
    std::lock_guard lock(m_mutex);
    return m_levelMeter.level(seconds);
}

HSYNC Channel::addSync(DWORD type, QWORD param, SYNCPROC *proc, void *user)
{
    std::lock_guard lock(m_mutex);
    return m_syncs.add(type, param, proc, user);
}

bool Channel::removeSync(HSYNC sync)
{
    std::lock_guard lock(m_mutex);
    return m_syncs.remove(sync);
}

bool Channel::hasSync(HSYNC id) const
{
    std::lock_guard lock(m_mutex);
    return !m_shutdown && m_syncs.contains(id);
}

void Channel::postSyncs(DWORD type, DWORD data)
{
    std::vector<SyncList::Event> events;
    {
        std::lock_guard lock(m_mutex);
        m_syncs.collect(type, data, events);
    }
    post(events);
}

void Channel::post(const std::vector<SyncList::Event> &events, MixTime::TimePoint due)
{
    if (events.empty())
        return;
    std::weak_ptr<Channel> weak = weak_from_this();
    const DWORD handle = m_handle;
    for (const SyncList::Event &e : events) {
        SyncDispatcher::instance().post(handle, [weak, handle, e] {
            // A sync removed or a channel freed after the event skips its callback.
            ChannelPtr channel = weak.lock();
            if (channel && channel->hasSync(e.id))
                e.proc(e.id, handle, e.data, e.user);
        }, e.mixTime ? MixTime::TimePoint{} : due, e.mixTime);
    }
}

void Channel::deviceFailed()
{
    std::vector<SyncList::Event> events;
    {
        std::lock_guard lock(m_mutex);
        if (m_deviceLost)
            return;
        m_deviceLost = true;
        m_syncs.collect(BASS_SYNC_DEV_FAIL, 0, events);
    }
    post(events);
}

void Channel::shutdown()
{
    std::lock_guard lock(m_mutex);
    m_shutdown = true;
    m_state = State::Stopped;
}

void Channel::fillResampled(int frames, std::vector<SyncList::Event> &events)
{
    // Compact what was already handed out.
    if (m_resampledRead > 0) {
        m_resampled.erase(m_resampled.begin(), m_resampled.begin() + static_cast<ptrdiff_t>(m_resampledRead));
        m_resampledRead = 0;
    }
    const size_t chans = m_format.chans;
    while (m_resampled.size() < static_cast<size_t>(frames) * 2) {
        if (m_state == State::Stalled) {
            if (m_fifo.size() < resumeSamples() * chans && !m_sourceEnded)
                return;
            m_state = State::Playing;
            m_syncs.collect(BASS_SYNC_STALL, 1, events);
        }
        const size_t missingOut = static_cast<size_t>(frames) - m_resampled.size() / 2;
        size_t inFrames = missingOut * static_cast<size_t>(m_resampler.inRate())
                              / static_cast<size_t>(m_resampler.outRate()) + 1;
        inFrames = std::min(inFrames, m_fifo.size() / chans);
        if (inFrames == 0) {
            if (!m_sourceEnded) {
                m_state = State::Stalled;
                m_syncs.collect(BASS_SYNC_STALL, 0, events);
                return;
            }
            if (m_resamplerDrained)
                return;
            m_resamplerDrained = true; // drain the resampler's delay line once at the end
        }
        m_scratch.resize(inFrames * chans);
        m_fifo.pop(m_scratch.data(), inFrames * chans);
        if (inFrames > 0)
            onSamplesConsumed();
        m_resampler.convert(inFrames ? m_scratch.data() : nullptr, static_cast<int>(inFrames), m_resampled);

        m_levelMeter.record(m_scratch.data(), inFrames);
        const QWORD before = m_position;
        m_position += inFrames * bytesPerFrame();
        m_syncs.collectPositions(before, m_position, events);
    }
}

void Channel::applyVolume(float *mix, const float *source, int frames, int deviceRate)
{
    if (m_slidePendingMs) {
        const float steps = static_cast<float>(m_slidePendingMs) * static_cast<float>(deviceRate) / 1000.0f;
        m_volumeStep = (m_volumeTarget - m_volume) / std::max(steps, 1.0f);
        m_slidePendingMs = 0;
    }
    for (int f = 0; f < frames; ++f) {
        if (m_volumeStep != 0.0f) {
            m_volume += m_volumeStep;
            if ((m_volumeStep > 0.0f && m_volume >= m_volumeTarget) || (m_volumeStep < 0.0f && m_volume <= m_volumeTarget)) {
                m_volume = m_volumeTarget;
                m_volumeStep = 0.0f;
            }
        }
        mix[2 * f] += source[2 * f] * m_volume;
        mix[2 * f + 1] += source[2 * f + 1] * m_volume;
    }
}

bool Channel::mixInto(float *mix, int frames, const MixTime &time)
{
    const int deviceRate = time.deviceRate;
    std::vector<SyncList::Event> events;
    bool ended = false;
    {
        std::lock_guard lock(m_mutex);
        const int sourceRate = m_freq > 0.0f ? static_cast<int>(std::lround(m_freq)) : static_cast<int>(m_format.freq);
        if (!isRunning() || m_deviceLost || m_shutdown
            || !m_resampler.configure(static_cast<int>(m_format.chans), sourceRate, deviceRate))
            return false;
        const QWORD from = m_position;
        fillResampled(frames, events);
        const int available = static_cast<int>((m_resampled.size() - m_resampledRead) / 2);
        const int n = std::min(frames, available);
        const std::chrono::nanoseconds length(1000000000LL * n / deviceRate);
        if (n > 0)
            rememberHeard({time.heardAt, length, from, m_position});
        applyVolume(mix, m_resampled.data() + m_resampledRead, n, deviceRate);
        m_resampledRead += static_cast<size_t>(n) * 2;
        if (m_sourceEnded && m_resamplerDrained && m_fifo.empty() && m_resampledRead >= m_resampled.size()) {
            m_state = State::Ended;
            ended = true;
            // The end position itself is reached now, and so is any position up to the stated
            // length that the decoded data fell short of.
            const QWORD last = std::max<QWORD>(m_position, static_cast<QWORD>(std::max<int64_t>(lengthBytes(), 0)));
            m_syncs.collectPositions(m_position, last + 1, events);
            m_syncs.collect(BASS_SYNC_END, 0, events);
        }
    }
    post(events, time.heardAt);
    return ended;
}

} // namespace bvaudio
