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

void LevelMeter::add(const MixTime &time, int64_t frames, double squares)
{
    // Periods that ended over the longest window before the frame being heard are done with.
    const int64_t oldest = time.heardFrame - time.deviceRate * kLongestWindow.count();
    while (!m_periods.empty() && m_periods.front().frame + static_cast<int64_t>(m_periods.front().frames) < oldest)
        m_periods.pop_front();
    m_periods.push_back({time.frame, static_cast<double>(frames), time.heardAt, time.span(frames), squares});
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
