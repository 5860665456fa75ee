#include "mix/channel.h"

#include "mix/sync_dispatcher.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace bvaudio {

Channel::Channel(DWORD handle, ChannelFormat format) : ChannelHandle(handle, std::move(format)) {}

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
    if (reachedEnd()) {
        if (!m_history.unheardAt(Clock::now()))
            return BASS_ERROR_ENDED;
        if (m_state == State::Ended)
            return BASS_OK; // it is still playing
    }
    if (!isRunning()) {
        m_stoppedAt.reset();
        m_joinFrame = std::max<int64_t>(mixTimeSyncFrame(), 0);
        m_priming = true;
        m_primeUntil = Clock::now() + kPrimeLimit;
        const bool empty = m_fifo.empty() && !m_sourceEnded && m_resampled.pending() == 0;
        m_state = empty ? State::Stalled : State::Playing;
    }
    return BASS_OK;
}

int Channel::pause()
{
    std::lock_guard lock(m_mutex);
    if (!isRunning() && !endNotHeard())
        return BASS_ERROR_NOPLAY;
    m_state = State::Paused;
    m_stoppedAt = heardPosition();
    return BASS_OK;
}

void Channel::stop()
{
    std::lock_guard lock(m_mutex);
    const bool playing = isRunning() || endNotHeard();
    if (m_state == State::Ended && !playing)
        return;
    if (playing)
        m_stoppedAt = heardPosition();
    m_state = State::Stopped;
}

DWORD Channel::activity() const
{
    std::lock_guard lock(m_mutex);
    // An end or a stall counts once it is heard: until then the audio mixed before it plays.
    const bool unheard = m_history.unheardAt(Clock::now());
    if (m_state == State::Stopped || (reachedEnd() && !unheard))
        return BASS_ACTIVE_STOPPED;
    if (m_deviceLost)
        return BASS_ACTIVE_PAUSED_DEVICE;
    if (m_state == State::Paused)
        return BASS_ACTIVE_PAUSED;
    return m_state == State::Stalled && !unheard ? BASS_ACTIVE_STALLED : BASS_ACTIVE_PLAYING;
}

QWORD Channel::position() const
{
    std::lock_guard lock(m_mutex);
    if (m_seekTarget)
        return *m_seekTarget;
    return m_stoppedAt ? *m_stoppedAt : heardPosition();
}

QWORD Channel::heardPosition() const
{
    const double frame = m_history.heardPosition(MixTime::Clock::now(), m_mixedFrames);
    return std::min(static_cast<QWORD>(frame) * bytesPerFrame(), m_consumed);
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

bool Channel::audioLetsOutputOn(size_t queuedBefore, bool wasPrimed) const
{
    if (m_rewriteWanted)
        return true;
    if (!m_priming)
        return false;
    const size_t firstWrite = static_cast<size_t>(format().freq) * format().chans * 2 * kMinQueueMs / 1000;
    return (queuedBefore < firstWrite && m_fifo.size() >= firstWrite) || (!wasPrimed && isPrimed());
}

void Channel::resetPlayback(QWORD position)
{
    m_fifo.clear();
    m_resampled.clear();
    m_resampler.reset(); // drops the delay line with the old audio
    m_resamplerDrained = false;
    m_consumed = position;
    m_mixedFrames = static_cast<double>(position / bytesPerFrame());
    m_history.clear();
    m_endFrame = -1;
    m_endAnnounced = false;
    m_endMixTimeRan = false;
    m_mixTimeFrom = position;
    m_stoppedAt.reset();
    if (m_state == State::Ended)
        m_state = State::Stopped;
}

void Channel::startSeek(QWORD target)
{
    if (endNotHeard())
        m_state = State::Playing; // still heard: it plays on until the new audio replaces it
    if (!isRunning())
        resetPlayback(target); // nothing plays: the old audio goes at once
    m_seekTarget = target;
    m_sourceEnded = false; // the old audio running out is no end: the channel waits for the new
}

void Channel::landSeek(QWORD target, const std::vector<int16_t> &samples)
{
    resetPlayback(target);
    m_fifo.push(samples.data(), samples.size());
    m_seekTarget.reset();
    m_rewriteWanted = isRunning();
}

int Channel::setAttribute(DWORD attrib, float value)
{
    std::lock_guard lock(m_mutex);
    switch (attrib) {
    case BASS_ATTRIB_VOL:
        if (value < 0.0f || !std::isfinite(value)) // an infinite gain would make silence NaN
            return BASS_ERROR_ILLPARAM;
        m_volume = m_volumeTarget = value;
        m_volumeStep = 0.0f;
        m_slidePendingMs = 0;
        ++m_volumeSerial;
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
        value = m_freq > 0.0f ? m_freq : static_cast<float>(format().freq);
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
    if (value < 0.0f || !std::isfinite(value))
        return BASS_ERROR_ILLPARAM;
    std::lock_guard lock(m_mutex);
    m_volumeTarget = value;
    m_slidePendingMs = timeMs; // turned into a per-frame step at the device rate by the mixer
    ++m_volumeSerial;
    return BASS_OK;
}

float Channel::level(float seconds) const
{
    std::lock_guard lock(m_mutex);
    return m_levelMeter.level(seconds, Clock::now());
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

void Channel::fillResampled(int frames, std::vector<SyncList::Event> &resumed, std::vector<SyncList::Event> &ranDry)
{
    // Frames from the oldest period that may be taken back on are kept.
    m_resampled.release(m_history.firstResampled(m_resampled.readIndex()));
    const size_t chans = format().chans;
    while (m_resampled.pending() < static_cast<size_t>(frames)) {
        if (m_state == State::Stalled) {
            if (m_fifo.size() < resumeSamples() * chans && !m_sourceEnded)
                return;
            m_state = State::Playing;
            m_syncs.collect(BASS_SYNC_STALL, 1, resumed);
        }
        const size_t missingOut = static_cast<size_t>(frames) - m_resampled.pending();
        size_t inFrames = missingOut * static_cast<size_t>(m_resampler.inRate())
                              / static_cast<size_t>(m_resampler.outRate()) + 1;
        inFrames = std::min(inFrames, m_fifo.size() / chans);
        if (inFrames == 0) {
            if (!m_sourceEnded) {
                m_state = State::Stalled;
                m_syncs.collect(BASS_SYNC_STALL, 0, ranDry);
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
        m_consumed += inFrames * bytesPerFrame();
    }
}

Readiness Channel::readiness(int deviceRate, int64_t from)
{
    std::lock_guard lock(m_mutex);
    Readiness ready;
    ready.rewrite = std::exchange(m_rewriteWanted, false);
    if (!isRunning() || m_deviceLost || m_shutdown)
        return ready;
    if (m_priming && (isPrimed() || Clock::now() >= m_primeUntil))
        m_priming = false;
    ready.holding = m_priming || m_seekTarget;
    ready.flowing = !ready.holding && m_state == State::Playing;
    if (m_seekTarget) {
        ready.frames = 0; // its new audio is not decoded yet: what is queued plays meanwhile
        return ready;
    }
    if (m_sourceEnded)
        return ready;
    ready.frames = m_history.framesFrom(from);
    if (m_state == State::Stalled && m_fifo.size() < resumeSamples() * format().chans)
        return ready;
    const int sourceRate = m_freq > 0.0f ? static_cast<int>(std::lround(m_freq)) : static_cast<int>(format().freq);
    const auto queued = static_cast<int64_t>(m_fifo.size() / format().chans);
    const int64_t converted
        = queued * deviceRate / std::max(sourceRate, 1) - Resampler::heldBackFrames(sourceRate, deviceRate);
    ready.frames += static_cast<int64_t>(m_resampled.pending()) + std::max<int64_t>(converted, 0);
    return ready;
}

void Channel::startPendingSlide(int deviceRate)
{
    if (!m_slidePendingMs)
        return;
    const float steps = static_cast<float>(m_slidePendingMs) * static_cast<float>(deviceRate) / 1000.0f;
    m_volumeStep = (m_volumeTarget - m_volume) / std::max(steps, 1.0f);
    m_slidePendingMs = 0;
}

void Channel::applyVolume(float *mix, const float *source, int frames)
{
    int f = 0;
    // A slide moves the volume frame by frame until it reaches its target.
    for (; f < frames && m_volumeStep != 0.0f; ++f) {
        m_volume += m_volumeStep;
        if ((m_volumeStep > 0.0f && m_volume >= m_volumeTarget) || (m_volumeStep < 0.0f && m_volume <= m_volumeTarget)) {
            m_volume = m_volumeTarget;
            m_volumeStep = 0.0f;
        }
        mix[2 * f] += source[2 * f] * m_volume;
        mix[2 * f + 1] += source[2 * f + 1] * m_volume;
    }
    const float volume = m_volume;
    for (int i = 2 * f; i < 2 * frames; ++i)
        mix[i] += source[i] * volume;
}

void Channel::collectMixedPositions(double from, std::vector<SyncList::Event> &events)
{
    const QWORD begin = static_cast<QWORD>(from) * bytesPerFrame();
    const QWORD end = static_cast<QWORD>(m_mixedFrames) * bytesPerFrame();
    m_syncs.collectPositions(begin, end, events, m_mixTimeFrom);
    m_mixTimeFrom = std::max(m_mixTimeFrom, end);
}

// Remembers a period about to be mixed: where it plays from, and the state to restore
// should it be taken back.
void Channel::recordPeriod(const MixTime &time, int frames)
{
    MixHistory::Period period;
    period.frame = time.frame;
    period.frames = frames;
    period.heardAt = time.heardAt;
    period.length = time.span(frames);
    period.from = m_mixedFrames;
    m_mixedFrames += static_cast<double>(frames) * m_resampler.inRate() / m_resampler.outRate();
    period.to = m_mixedFrames;
    period.resampledStart = m_resampled.readIndex();
    period.volume = m_volume;
    period.volumeStep = m_volumeStep;
    period.volumeSerial = m_volumeSerial;
    m_history.add(period);
}

Channel::MixOutcome Channel::mixInto(float *mix, int frames, const MixTime &period)
{
    MixTime time = period;
    // Heard with the period's first frame, and after its last: stalls stand whatever happens to
    // the audio, positions and the end go with it when it is taken back.
    std::vector<SyncList::Event> resumed, positions;
    std::vector<SyncList::Event> ranDry, end;
    int n = 0;
    bool ended = false;
    {
        std::lock_guard lock(m_mutex);
        const int sourceRate = m_freq > 0.0f ? static_cast<int>(std::lround(m_freq)) : static_cast<int>(format().freq);
        if (!isRunning() || m_deviceLost || m_shutdown
            || !m_resampler.configure(static_cast<int>(format().chans), sourceRate, time.deviceRate))
            return MixOutcome::Idle;
        // A channel started from a mix-time sync begins where the sync was mixed, also when a
        // later change takes back queued audio from before that frame.
        if (const int64_t before = m_joinFrame - time.frame; before > 0) {
            if (before >= frames)
                return MixOutcome::Playing;
            mix += 2 * before;
            frames -= static_cast<int>(before);
            time.frame += before;
            time.heardAt += std::chrono::nanoseconds(1000000000LL * before / time.deviceRate);
        }
        m_history.forgetHeard(time.heardFrame);
        fillResampled(frames, resumed, ranDry);
        n = std::min(frames, static_cast<int>(m_resampled.pending()));
        startPendingSlide(time.deviceRate);
        const double mixedFrom = m_mixedFrames;
        if (n > 0)
            recordPeriod(time, n);
        double squares = 0.0;
        m_resampled.take(static_cast<size_t>(n), [this, &mix, &squares](const float *frames, size_t count) {
            squares += LevelMeter::monoSquares(frames, count);
            applyVolume(mix, frames, static_cast<int>(count));
            mix += 2 * count;
        });
        if (n > 0) {
            m_levelMeter.add(time, n, squares);
            collectMixedPositions(mixedFrom, positions);
        }
        if (m_sourceEnded && m_resamplerDrained && m_fifo.empty() && m_resampled.pending() == 0) {
            m_state = State::Ended;
            ended = !m_endAnnounced;
            m_endAnnounced = true;
            if (ended) {
                m_endFrame = time.frame;
                // The end position itself is reached now, and so is any position up to the
                // stated length that the decoded data fell short of.
                const QWORD mixed = static_cast<QWORD>(m_mixedFrames) * bytesPerFrame();
                const QWORD last = std::max({mixed, m_consumed, static_cast<QWORD>(std::max<int64_t>(lengthBytes(), 0))});
                m_syncs.collectPositions(mixed, last + 1, positions, m_mixTimeFrom);
                m_syncs.collect(BASS_SYNC_END, 0, end, !m_endMixTimeRan);
                m_endMixTimeRan = true;
                m_mixTimeFrom = std::max(m_mixTimeFrom, last + 1);
            }
        }
    }
    post(resumed, time.heardAt, time.frame);
    post(positions, time.heardAt, time.frame, true);
    const MixTime::TimePoint after = time.heardAt + time.span(n);
    post(ranDry, after, time.frame);
    post(end, after, time.frame, true);
    return ended ? MixOutcome::Ended : MixOutcome::Playing;
}

void Channel::rewindTo(int64_t frame)
{
    std::lock_guard lock(m_mutex);
    SyncDispatcher::instance().takeBack(handle(), frame);
    if (m_endAnnounced && m_endFrame >= frame) { // its end is taken back: reached, and announced, again
        if (m_state == State::Ended)
            m_state = State::Playing;
        m_endAnnounced = false;
    }
    m_levelMeter.takeBackFrom(frame);
    const std::optional<MixHistory::Period> first = m_history.takeBackFrom(frame);
    if (!first)
        return;
    m_resampled.rewindTo(first->resampledStart);
    m_mixedFrames = first->from;
    if (first->volumeSerial == m_volumeSerial) {
        m_volume = first->volume;
        m_volumeStep = first->volumeStep;
    }
}

} // namespace bvaudio
