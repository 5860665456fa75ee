#include "channel.h"

#include "sync_dispatcher.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <atomic>
#include <cmath>

namespace bvaudio {
namespace {

std::atomic<HSYNC> g_nextSync{1};

} // namespace

Channel::Channel(DWORD handle, ChannelFormat format)
    : m_handle(handle), m_format(std::move(format)), m_levelHistory(std::max<DWORD>(m_format.freq, 1), 0.0f)
{
}

Channel::~Channel()
{
    swr_free(&m_swr);
}

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
    if (m_devicePaused)
        return BASS_ERROR_START;
    if (m_finished)
        return BASS_ERROR_ENDED;
    if (!m_playing || m_paused)
        m_stalled = m_fifo.empty() && !m_sourceEnded && m_resampledRead >= m_resampled.size();
    m_playing = true;
    m_paused = false;
    return BASS_OK;
}

int Channel::pause()
{
    std::lock_guard lock(m_mutex);
    if (!m_playing || m_paused)
        return BASS_ERROR_NOPLAY;
    m_paused = true;
    return BASS_OK;
}

void Channel::stop()
{
    std::lock_guard lock(m_mutex);
    m_playing = false;
    m_paused = false;
}

DWORD Channel::activity() const
{
    std::lock_guard lock(m_mutex);
    if (!m_playing)
        return BASS_ACTIVE_STOPPED;
    if (m_devicePaused)
        return BASS_ACTIVE_PAUSED_DEVICE;
    if (m_paused)
        return BASS_ACTIVE_PAUSED;
    return m_stalled ? BASS_ACTIVE_STALLED : BASS_ACTIVE_PLAYING;
}

QWORD Channel::position() const
{
    std::lock_guard lock(m_mutex);
    return m_position;
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
    if (m_swr)
        swr_free(&m_swr); // drops the resampler's delay line with the old audio
    m_swrFlushed = false;
    m_position = position;
    m_finished = false;
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
    const size_t capacity = m_levelHistory.size();
    size_t frames = static_cast<size_t>(std::clamp(seconds, 0.0f, 1.0f) * static_cast<float>(m_format.freq));
    frames = std::clamp<size_t>(frames, 1, capacity);
    double sum = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        float v = m_levelHistory[(m_levelWrite + capacity - 1 - i) % capacity];
        sum += static_cast<double>(v) * v;
    }
    return static_cast<float>(std::sqrt(sum / static_cast<double>(frames)));
}

void Channel::recordLevel(const int16_t *samples, size_t frames)
{
    const size_t chans = m_format.chans;
    const size_t capacity = m_levelHistory.size();
    const float scale = 1.0f / (32768.0f * static_cast<float>(chans));
    for (size_t f = 0; f < frames; ++f) {
        float sum = 0.0f;
        for (size_t c = 0; c < chans; ++c)
            sum += static_cast<float>(samples[f * chans + c]);
        m_levelHistory[m_levelWrite] = sum * scale;
        m_levelWrite = (m_levelWrite + 1) % capacity;
    }
}

HSYNC Channel::addSync(DWORD type, QWORD param, SYNCPROC *proc, void *user)
{
    std::lock_guard lock(m_mutex);
    HSYNC id = g_nextSync++;
    m_syncs.push_back({id, type, param, proc, user});
    return id;
}

bool Channel::removeSync(HSYNC sync)
{
    std::lock_guard lock(m_mutex);
    auto it = std::find_if(m_syncs.begin(), m_syncs.end(), [sync](const Sync &s) { return s.id == sync; });
    if (it == m_syncs.end())
        return false;
    m_syncs.erase(it);
    return true;
}

bool Channel::hasSync(HSYNC id) const
{
    std::lock_guard lock(m_mutex);
    return !m_shutdown && std::any_of(m_syncs.begin(), m_syncs.end(), [id](const Sync &s) { return s.id == id; });
}

void Channel::collectSyncs(DWORD type, DWORD data, std::vector<PendingSync> &out) const
{
    for (const Sync &s : m_syncs)
        if (s.type == type)
            out.push_back({s.id, s.proc, s.user, data});
}

void Channel::collectPositionSyncs(QWORD from, QWORD to, std::vector<PendingSync> &out) const
{
    for (const Sync &s : m_syncs)
        if (s.type == BASS_SYNC_POS && s.param >= from && s.param < to)
            out.push_back({s.id, s.proc, s.user, 0});
}

void Channel::postSyncs(DWORD type, DWORD data)
{
    std::vector<PendingSync> events;
    {
        std::lock_guard lock(m_mutex);
        collectSyncs(type, data, events);
    }
    post(events);
}

void Channel::post(const std::vector<PendingSync> &events)
{
    if (events.empty())
        return;
    std::weak_ptr<Channel> weak = weak_from_this();
    const DWORD handle = m_handle;
    for (const PendingSync &e : events) {
        SyncDispatcher::instance().post(handle, [weak, handle, e] {
            // A sync removed or a channel freed after the event skips its callback.
            ChannelPtr channel = weak.lock();
            if (channel && channel->hasSync(e.id))
                e.proc(e.id, handle, e.data, e.user);
        });
    }
}

void Channel::deviceFailed()
{
    std::vector<PendingSync> events;
    {
        std::lock_guard lock(m_mutex);
        if (m_devicePaused)
            return;
        m_devicePaused = true;
        collectSyncs(BASS_SYNC_DEV_FAIL, 0, events);
    }
    post(events);
}

void Channel::shutdown()
{
    std::lock_guard lock(m_mutex);
    m_shutdown = true;
    m_playing = false;
}

bool Channel::ensureResampler(int deviceRate)
{
    const int inRate = m_freq > 0.0f ? static_cast<int>(std::lround(m_freq)) : static_cast<int>(m_format.freq);
    if (m_swr && inRate == m_swrInRate && deviceRate == m_swrOutRate)
        return true;
    swr_free(&m_swr);
    AVChannelLayout in{}, out{};
    av_channel_layout_default(&in, static_cast<int>(m_format.chans));
    av_channel_layout_default(&out, 2);
    int rc = swr_alloc_set_opts2(&m_swr, &out, AV_SAMPLE_FMT_FLT, deviceRate, &in, AV_SAMPLE_FMT_S16, inRate, 0, nullptr);
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    if (rc < 0 || swr_init(m_swr) < 0) {
        swr_free(&m_swr);
        return false;
    }
    m_swrInRate = inRate;
    m_swrOutRate = deviceRate;
    m_swrFlushed = false;
    return true;
}

void Channel::fillResampled(int frames, std::vector<PendingSync> &events)
{
    // Compact what was already handed out.
    if (m_resampledRead > 0) {
        m_resampled.erase(m_resampled.begin(), m_resampled.begin() + static_cast<ptrdiff_t>(m_resampledRead));
        m_resampledRead = 0;
    }
    const size_t chans = m_format.chans;
    while (m_resampled.size() < static_cast<size_t>(frames) * 2) {
        if (m_stalled) {
            if (m_fifo.size() < resumeSamples() * chans && !m_sourceEnded)
                return;
            m_stalled = false;
            collectSyncs(BASS_SYNC_STALL, 1, events);
        }
        const size_t missingOut = static_cast<size_t>(frames) - m_resampled.size() / 2;
        size_t inFrames = missingOut * static_cast<size_t>(m_swrInRate) / static_cast<size_t>(m_swrOutRate) + 1;
        inFrames = std::min(inFrames, m_fifo.size() / chans);
        if (inFrames == 0) {
            if (!m_sourceEnded) {
                m_stalled = true;
                collectSyncs(BASS_SYNC_STALL, 0, events);
                return;
            }
            if (m_swrFlushed)
                return;
            m_swrFlushed = true; // drain the resampler's delay line once at the end
        }
        m_scratch.resize(inFrames * chans);
        m_fifo.pop(m_scratch.data(), inFrames * chans);
        if (inFrames > 0)
            onSamplesConsumed();
        const int outCapacity = swr_get_out_samples(m_swr, static_cast<int>(inFrames)) + 32;
        const size_t old = m_resampled.size();
        m_resampled.resize(old + static_cast<size_t>(outCapacity) * 2);
        auto *dst = reinterpret_cast<uint8_t *>(m_resampled.data() + old);
        const auto *src = reinterpret_cast<const uint8_t *>(m_scratch.data());
        int got = swr_convert(m_swr, &dst, outCapacity, inFrames ? &src : nullptr, static_cast<int>(inFrames));
        m_resampled.resize(old + static_cast<size_t>(std::max(got, 0)) * 2);

        recordLevel(m_scratch.data(), inFrames);
        const QWORD before = m_position;
        m_position += inFrames * bytesPerFrame();
        collectPositionSyncs(before, m_position, events);
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

bool Channel::mixInto(float *mix, int frames, int deviceRate)
{
    std::vector<PendingSync> events;
    bool ended = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_playing || m_paused || m_devicePaused || m_shutdown || !ensureResampler(deviceRate))
            return false;
        fillResampled(frames, events);
        const int available = static_cast<int>((m_resampled.size() - m_resampledRead) / 2);
        const int n = std::min(frames, available);
        applyVolume(mix, m_resampled.data() + m_resampledRead, n, deviceRate);
        m_resampledRead += static_cast<size_t>(n) * 2;
        if (m_sourceEnded && m_swrFlushed && m_fifo.empty() && m_resampledRead >= m_resampled.size()) {
            m_playing = false;
            m_finished = true;
            ended = true;
            collectSyncs(BASS_SYNC_END, 0, events);
        }
    }
    post(events);
    return ended;
}

} // namespace bvaudio
