// Records what really reached the PulseAudio test sink, from its monitor source.
#pragma once

#include "pcmanalysis.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace bvtest {

class SinkRecorder {
public:
    static constexpr int kRate = 44100;
    static constexpr int kChannels = 2;

    ~SinkRecorder() { stop(); }
    // Starts recording the monitor of the test sink ("bvtest_sink", named: PipeWire's default
    // monitor is not the sink's) once it delivers; false when the server is not reachable.
    bool start();
    // Stops and returns everything recorded since start().
    Pcm stop();

private:
    std::atomic<bool> m_quit{false};
    std::mutex m_mutex;
    std::condition_variable m_firstRead;
    bool m_live = false;
    Pcm m_samples;
    std::thread m_thread;
};

} // namespace bvtest
