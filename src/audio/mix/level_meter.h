// The loudness of what a channel's listener hears: for each period the channel mixed, the
// squares of its mono signal (before the volume) and when that period is heard, so that the
// RMS over any part of the last second heard follows the sound, however far the output
// queues ahead of it.
#pragma once

#include "mix/mix_history.h"

#include <cstddef>
#include <cstdint>
#include <deque>

namespace bvaudio {

class LevelMeter {
public:
    using TimePoint = MixTime::TimePoint;

    // The sum of the squares of the mean of each stereo frame's two samples.
    static double monoSquares(const float *stereo, size_t frames);
    // The period `time` mixed `frames` into, whose mono signal's squares sum to `squares`.
    void add(const MixTime &time, int64_t frames, double squares);
    // Forgets the periods from output frame `frame` on: the output mixes them again.
    void takeBackFrom(int64_t frame);
    // RMS (0..1) of what is heard over the `seconds` (at most one) up to `now`; 0 when nothing is.
    float level(float seconds, TimePoint now) const;

private:
    struct Period {
        int64_t frame;
        double frames;
        TimePoint heardAt;
        std::chrono::nanoseconds length;
        double squares;
    };
    std::deque<Period> m_periods; // in output order
};

} // namespace bvaudio
