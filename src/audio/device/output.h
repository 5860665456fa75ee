// Output drivers: each runs one thread that pulls the mix from the device
// period by period and hands it to its back-end.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "device/write_plan.h"

namespace bvaudio {

// The output's timeline counts frames from its start. The driver asks the device to render
// the frames it queues next; the device asks the driver to rewrite what is queued but not
// yet heard when the mix changes (a start, stop, seek or volume change), so that the change
// is heard at once however long the queue.
class OutputDriver {
public:
    using Clock = std::chrono::steady_clock;
    // Where the output stands: `frame` is heard at `heardAt`; `heardFrame` is being heard now.
    struct Position {
        int64_t frame = 0;
        Clock::time_point heardAt;
        int64_t heardFrame = 0;
    };
    // Fills `frames` (a whole number of periods) interleaved stereo 16-bit frames from
    // `at.frame` on. Returns false when no channel plays: the driver may leave them unwritten.
    using Render = std::function<bool(int16_t *out, int frames, const Position &at)>;
    // What the playing channels can fill from output frame `from` on (the frames they mixed
    // from there count, as a rewind gives them back).
    using Ready = std::function<Readiness(int64_t from)>;
    // Takes back what was rendered from `frame` on: it is rendered again.
    using Rewind = std::function<void(int64_t frame)>;
    using Failed = std::function<void()>;
    struct Callbacks {
        Render render;
        Ready ready;
        Rewind rewind;
        Failed failed; // runs on the output thread once if the back-end is lost
    };

    virtual ~OutputDriver() = default;
    virtual void start(Callbacks callbacks) = 0;
    // Stops and joins the output thread.
    virtual void stop() = 0;
    virtual int sampleRate() const = 0;
    // How far the output queues ahead of what is heard. A change rewrites up to this much, so a
    // channel that starts or seeks must be able to fill it at once to be heard at once.
    virtual int queueMs() const { return 0; }
    // Any thread: the mix changed from output frame `from` on (0: from now); what is queued
    // from there and not yet heard is rendered again soon.
    virtual void requestRewrite(int64_t from) { (void)from; }
    // Any thread, without locks the render path takes: a channel the output holds back for has
    // new audio; the output looks again now instead of at its next poll.
    virtual void wake() {}
};

// A real-time clock that consumes the mix and discards it ("no sound").
std::unique_ptr<OutputDriver> openNoSoundOutput(int rate);

// PulseAudio sink: device -1 the server's default, 1..n the sinks in server
// order. Returns nullptr with `error` set (BASS_ERROR_DRIVER when no server
// answers within about a second, BASS_ERROR_DEVICE for an unknown sink).
std::unique_ptr<OutputDriver> openPulseOutput(int device, int rate, int &error);

// Frames per mixing period: 10 ms, the grain of slides, syncs and positions.
inline int periodFrames(int rate) { return rate / 100; }

} // namespace bvaudio
