// Output drivers: each runs one thread that pulls the mix from the device
// period by period and hands it to its back-end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace bvaudio {

class OutputDriver {
public:
    using Clock = std::chrono::steady_clock;
    // Fills `frames` (a whole number of periods) interleaved stereo 16-bit frames.
    using Render = std::function<void(int16_t *out, int frames)>;
    using Failed = std::function<void()>;

    virtual ~OutputDriver() = default;
    // Starts the output thread. `failed` runs on it once if the back-end is lost.
    virtual void start(Render render, Failed failed) = 0;
    // Stops and joins the output thread.
    virtual void stop() = 0;
    virtual int sampleRate() const = 0;

    // When the audio written so far will have been heard: the back-end's queue and latency.
    Clock::time_point drainTime() const { return Clock::time_point(Clock::duration(m_drainTime.load())); }

protected:
    void setDrainTime(Clock::time_point at) { m_drainTime = at.time_since_epoch().count(); }

private:
    std::atomic<Clock::rep> m_drainTime{0}; // read by the mixer, written by the output thread
};

// A real-time clock that consumes the mix and discards it ("no sound").
std::unique_ptr<OutputDriver> openNoSoundOutput(int rate);

// PulseAudio sink: device -1 the server's default, 1..n the sinks in server
// order. Returns nullptr with `error` set (BASS_ERROR_DRIVER when no server
// answers within about a second, BASS_ERROR_DEVICE for an unknown sink).
std::unique_ptr<OutputDriver> openPulseOutput(int device, int rate, int &error);

// Frames per mixing period: 10 ms, the grain of slides, syncs and positions.
inline int periodFrames(int rate) { return rate / 100; }
// Periods the PulseAudio output hands over at once while playing.
constexpr int kPeriodsPerWrite = 4;

} // namespace bvaudio
