#include "mix/level_meter.h"

#include <algorithm>
#include <cmath>

namespace bvaudio {

LevelMeter::LevelMeter(int rate, int channels)
    : m_rate(rate), m_channels(std::max(channels, 1)), m_history(static_cast<size_t>(std::max(rate, 1)), 0.0f)
{
}

void LevelMeter::record(const int16_t *samples, size_t frames)
{
    const auto chans = static_cast<size_t>(m_channels);
    const float scale = 1.0f / (32768.0f * static_cast<float>(chans));
    // Only the last second matters; it is written in at most two runs up to the ring's end.
    if (frames > m_history.size()) {
        samples += (frames - m_history.size()) * chans;
        frames = m_history.size();
    }
    while (frames > 0) {
        const size_t run = std::min(frames, m_history.size() - m_write);
        float *out = m_history.data() + m_write;
        if (chans == 2) {
            for (size_t f = 0; f < run; ++f)
                out[f] = (static_cast<float>(samples[2 * f]) + static_cast<float>(samples[2 * f + 1])) * scale;
        } else {
            for (size_t f = 0; f < run; ++f) {
                float sum = 0.0f;
                for (size_t c = 0; c < chans; ++c)
                    sum += static_cast<float>(samples[f * chans + c]);
                out[f] = sum * scale;
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
    double sum = 0.0;
    for (size_t i = 0; i < frames; ++i) {
        const float v = m_history[(m_write + capacity - 1 - i) % capacity];
        sum += static_cast<double>(v) * v;
    }
    return static_cast<float>(std::sqrt(sum / static_cast<double>(frames)));
}

} // namespace bvaudio
