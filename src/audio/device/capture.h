// Capture drivers: each runs one thread that reads a recording device and
// hands its blocks of 16-bit interleaved PCM to a procedure.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace bvaudio {

class CaptureDriver {
public:
    // Takes one block; false ends the capture.
    using Deliver = std::function<bool(const void *data, size_t bytes)>;
    using Failed = std::function<void()>;

    virtual ~CaptureDriver() = default;
    // Starts the capture thread. `failed` runs on it once if the device is lost.
    virtual void start(Deliver deliver, Failed failed) = 0;
    // Ends the capture: the thread stops after the block it is handling; destruction joins it.
    virtual void stop() = 0;
};

// A PulseAudio source by name (empty: the server's default) in 20 ms blocks.
// Returns nullptr with `error` set (BASS_ERROR_DRIVER without a server, BASS_ERROR_FORMAT,
// BASS_ERROR_DEVICE when the source can not be opened).
std::unique_ptr<CaptureDriver> openPulseCapture(const std::string &source, int rate, int channels, int &error);

} // namespace bvaudio
