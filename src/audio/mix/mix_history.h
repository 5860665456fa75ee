// What a channel mixed into the output and may not have been heard yet: one
// record per mixing period. It tells the position being heard, and lets the
// channel take periods back when the output rewrites the audio it queued.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

namespace bvaudio {

// A mixing period: the device's rate, where it starts on the output's timeline and when
// it will be heard.
struct MixTime {
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    int deviceRate = 0;
    TimePoint heardAt;      // when its first frame is heard
    int64_t frame = 0;      // the output frame it starts at
    int64_t heardFrame = 0; // the output frame being heard now

    std::chrono::nanoseconds span(int64_t frames) const { return std::chrono::nanoseconds(1000000000LL * frames / deviceRate); }
};

class MixHistory {
public:
    struct Period {
        int64_t frame = 0; // output frame it starts at
        int frames = 0;
        MixTime::TimePoint heardAt;
        std::chrono::nanoseconds length{0};
        double from = 0.0; // source frames it played
        double to = 0.0;
        int64_t resampledStart = 0; // its first frame in the channel's resampled stream
        float volume = 1.0f;        // the volume slide's state at its start
        float volumeStep = 0.0f;
        unsigned volumeSerial = 0;
    };

    void add(const Period &period) { m_periods.push_back(period); }
    void clear() { m_periods.clear(); }
    // Forgets the periods heard completely before `heardFrame`, except the newest of them.
    void forgetHeard(int64_t heardFrame);
    // Removes the periods from output frame `frame` on, and returns the first of them.
    std::optional<Period> takeBackFrom(int64_t frame);
    // Output frames mixed from output frame `frame` on: what takeBackFrom(frame) gives back.
    int64_t framesFrom(int64_t frame) const;
    // The source frame heard at `now`; `unmixed` when no period is recorded.
    double heardPosition(MixTime::TimePoint now, double unmixed) const;
    // Whether audio of a recorded period is still to be heard at `now`.
    bool unheardAt(MixTime::TimePoint now) const
    {
        return !m_periods.empty() && m_periods.back().heardAt + m_periods.back().length > now;
    }
    // The first resampled frame still needed; `next` when no period is recorded.
    int64_t firstResampled(int64_t next) const { return m_periods.empty() ? next : m_periods.front().resampledStart; }

private:
    std::deque<Period> m_periods;
};

} // namespace bvaudio
