// The recent loudness of a channel: one second of mono samples (the mean of
// the channels, kept as 16-bit like the source) and the RMS over any part of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bvaudio {

class LevelMeter {
public:
    LevelMeter(int rate, int channels);

    void record(const int16_t *samples, size_t frames);
    // RMS (0..1) of the last `seconds` (at most one).
    float level(float seconds) const;

private:
    const int m_rate;
    const int m_channels;
    std::vector<int16_t> m_history;
    size_t m_write = 0;
};

} // namespace bvaudio
