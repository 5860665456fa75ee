#include "mix/push_channel.h"

#include "engine.h"

#include <cmath>

namespace bvaudio {

DWORD PushChannel::put(const void *data, DWORD length, int &error)
{
    bool outputWaits = false;
    const DWORD queued = queue(data, length, error, outputWaits);
    if (outputWaits)
        Engine::instance().audioArrived();
    return queued;
}

DWORD PushChannel::queue(const void *data, DWORD length, int &error, bool &outputWaits)
{
    const bool end = length & BASS_STREAMPROC_END;
    length &= ~BASS_STREAMPROC_END;
    std::lock_guard lock(m_mutex);
    if (m_shutdown) {
        error = BASS_ERROR_HANDLE;
        return static_cast<DWORD>(-1);
    }
    if (m_sourceEnded) {
        error = BASS_ERROR_ENDED;
        return static_cast<DWORD>(-1);
    }
    if (length && !data) {
        error = BASS_ERROR_ILLPARAM;
        return static_cast<DWORD>(-1);
    }
    const size_t queuedBytes = m_fifo.size() * 2;
    if (m_limitBytes && queuedBytes + length > m_limitBytes) {
        error = BASS_ERROR_NOTAVAIL;
        return static_cast<DWORD>(-1);
    }
    const size_t queuedBefore = m_fifo.size();
    const bool wasPrimed = isPrimed();
    // Whole samples only: a trailing odd byte is dropped.
    m_fifo.push(static_cast<const int16_t *>(data), length / 2);
    if (end)
        m_sourceEnded = true;
    outputWaits = audioLetsOutputOn(queuedBefore, wasPrimed);
    error = BASS_OK;
    return static_cast<DWORD>(m_fifo.size() * 2);
}

int PushChannel::setAttribute(DWORD attrib, float value)
{
    if (attrib != BASS_ATTRIB_PUSH_LIMIT)
        return Channel::setAttribute(attrib, value);
    if (value < 0.0f || std::isnan(value))
        return BASS_ERROR_ILLPARAM;
    std::lock_guard lock(m_mutex);
    m_limitBytes = static_cast<DWORD>(value);
    return BASS_OK;
}

} // namespace bvaudio
