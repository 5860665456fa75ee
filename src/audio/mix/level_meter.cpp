#include "mix/level_meter.h"

#include <algorithm>
#include <cmath>

namespace bvaudio {

LevelMeter::LevelMeter(int rate, int channels)
    : m_rate(rate), m_channels(std::max(channels, 1)), m_history(static_cast<size_t>(std::max(rate, 1)), 0)
{
}

void LevelMeter::record(const int16_t *samples, size_t frames)
{
    const auto chans = static_cast<size_t>(m_channels);
    // Only the last second matters; it is written in at most two runs up to the ring's end.
    if (frames > m_history.size()) {
        samples += (frames - m_history.size()) * chans;
        frames = m_history.size();
    }
    while (frames > 0) {
        const size_t run = std::min(frames, m_history.size() - m_write);
        int16_t *out = m_history.data() + m_write;
        if (chans == 2) {
            for (size_t f = 0; f < run; ++f)
                out[f] = static_cast<int16_t>((samples[2 * f] + samples[2 * f + 1]) / 2);
        } else {
            for (size_t f = 0; f < run; ++f) {
                int sum = 0;
                for (size_t c = 0; c < chans; ++c)
                    sum += samples[f * chans + c];
                out[f] = static_cast<int16_t>(sum / static_cast<int>(chans));
            }
        }
        samples += run * chans;
        frames -= run;
        m_write = (m_write + run) % m_history.size();
    }
}

float LevelMeter::level(float seconds) const
{
    const size_t capacity = m_history.size();
    size_t frames = static_cast<size_t>(std::clamp(seconds, 0.0f, 1.0f) * static_cast<float>(m_rate));
    frames = std::clamp<size_t>(frames, 1, capacity);
    int64_t sum = 0;
    for (size_t i = 0; i < frames; ++i) {
        const int64_t v = m_history[(m_write + capacity - 1 - i) % capacity];
        sum += v * v;
    }
    return static_cast<float>(std::sqrt(static_cast<double>(sum) / static_cast<double>(frames)) / 32768.0);
}

} // namespace bvaudio
