// Output drivers: each runs one thread that pulls the mix from the device
// period by period and hands it to its back-end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace bvaudio {

class OutputDriver {
public:
    // Fills `frames` interleaved stereo 16-bit frames.
    using Render = std::function<void(int16_t *out, int frames)>;
    using Failed = std::function<void()>;

    virtual ~OutputDriver() = default;
    // Starts the output thread. `failed` runs on it once if the back-end is lost.
    virtual void start(Render render, Failed failed) = 0;
    // Stops and joins the output thread.
    virtual void stop() = 0;
    virtual int sampleRate() const = 0;
};

// A real-time clock that consumes the mix and discards it ("no sound").
std::unique_ptr<OutputDriver> openNoSoundOutput(int rate);

// PulseAudio sink: device -1 the server's default, 1..n the sinks in server
// order. Returns nullptr with `error` set (BASS_ERROR_DRIVER when no server
// answers within about a second, BASS_ERROR_DEVICE for an unknown sink).
std::unique_ptr<OutputDriver> openPulseOutput(int device, int rate, int &error);

// Frames per mixing period: 10 ms.
inline int periodFrames(int rate) { return rate / 100; }

} // namespace bvaudio
