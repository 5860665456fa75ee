// A connected PulseAudio stream served by its own thread: the thread runs a
// step (write or read what the stream allows) and otherwise sleeps in the
// connection's main loop until the server or stop() wakes it. Output and
// capture drivers build on it.
#pragma once

#include "device/pulse_connection.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace bvaudio {

class PulseStream {
public:
    enum class Step {
        Again, // did some work; run the step again at once
        Wait,  // nothing to do until the server says so, wake() is called, or the time set by wakeAfter()
        Done,  // the work is over: the thread ends
        Lost,  // the stream failed: `failed` runs and the thread ends
    };

    // Takes a new stream, connects it with `connectStream` (a pa_stream_connect_* call) and
    // waits until it is ready; nullptr (the stream released) when that fails or `timeoutMs` passes.
    static std::unique_ptr<PulseStream> connect(std::unique_ptr<PulseConnection> connection, pa_stream *stream,
                                                const std::function<int(pa_stream *)> &connectStream, int timeoutMs);
    ~PulseStream();

    pa_stream *stream() const { return m_stream; }
    // Starts the thread (named `name`). `failed` runs on it once when the server or the stream is lost.
    void start(const char *name, std::function<Step()> step, std::function<void()> failed);
    // Tells the thread to end after its current step.
    void requestStop();
    // Any thread: runs the step again soon.
    void wake()
    {
        m_woken = true;
        pa_mainloop_wakeup(m_connection->loop());
    }
    // From the step: the next Wait lasts at most `ms`.
    void wakeAfter(int ms) { m_wakeAfterMs = ms; }
    // Stops and joins the thread; from the thread itself it only lets it end.
    void stop();

private:
    PulseStream(std::unique_ptr<PulseConnection> connection, pa_stream *stream);
    void run(const std::function<Step()> &step, const std::function<void()> &failed);
    bool isHealthy() const;
    // Sleeps in the main loop until an event, or until `timeoutMs` passed (-1: no limit).
    bool wait(int timeoutMs);

    std::unique_ptr<PulseConnection> m_connection;
    pa_stream *m_stream;
    std::atomic<bool> m_quit{false};
    std::atomic<bool> m_woken{false}; // a wake not yet seen by a wait
    int m_wakeAfterMs = -1; // the stream's thread only
    std::thread m_thread;
};

} // namespace bvaudio
