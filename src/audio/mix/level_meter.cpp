#include "mix/level_meter.h"

#include <algorithm>
#include <cmath>

namespace bvaudio {

namespace {
constexpr std::chrono::seconds kLongestWindow{1};
}

double LevelMeter::monoSquares(const float *stereo, size_t frames)
{
    double sum = 0.0;
    for (size_t f = 0; f < frames; ++f) {
        const double mono = 0.5 * (static_cast<double>(stereo[2 * f]) + static_cast<double>(stereo[2 * f + 1]));
        sum += mono * mono;
    }
    return sum;
}

void LevelMeter::add(int64_t frame, size_t frames, TimePoint heardAt, std::chrono::nanoseconds length, double squares)
{
    // Periods heard before the longest window are done with.
    const TimePoint oldest = std::chrono::steady_clock::now() - kLongestWindow;
    while (!m_periods.empty() && m_periods.front().heardAt + m_periods.front().length < oldest)
        m_periods.pop_front();
    m_periods.push_back({frame, static_cast<double>(frames), heardAt, length, squares});
}

void LevelMeter::takeBackFrom(int64_t frame)
{
    while (!m_periods.empty() && m_periods.back().frame >= frame)
        m_periods.pop_back();
}

float LevelMeter::level(float seconds, TimePoint now) const
{
    const auto window = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(std::clamp(seconds, 0.0f, static_cast<float>(kLongestWindow.count()))));
    const TimePoint from = now - window;
    double squares = 0.0, frames = 0.0;
    for (const Period &p : m_periods) {
        // The part of the period heard inside the window, its audio taken as even through it.
        const TimePoint start = std::max(p.heardAt, from), end = std::min(p.heardAt + p.length, now);
        if (end <= start || p.length.count() <= 0)
            continue;
        const double part = std::chrono::duration<double>(end - start) / std::chrono::duration<double>(p.length);
        squares += part * p.squares;
        frames += part * p.frames;
    }
    return frames > 0.0 ? static_cast<float>(std::sqrt(squares / frames)) : 0.0f;
}

} // namespace bvaudio
