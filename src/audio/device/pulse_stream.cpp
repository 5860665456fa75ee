#include "device/pulse_stream.h"

#include "thread_name.h"

#include <utility>

namespace bvaudio {

PulseStream::PulseStream(std::unique_ptr<PulseConnection> connection, pa_stream *stream)
    : m_connection(std::move(connection)), m_stream(stream)
{
}

std::unique_ptr<PulseStream> PulseStream::connect(std::unique_ptr<PulseConnection> connection, pa_stream *stream,
                                                  const std::function<int(pa_stream *)> &connectStream, int timeoutMs)
{
    std::unique_ptr<PulseStream> result(new PulseStream(std::move(connection), stream));
    if (connectStream(stream) < 0)
        return nullptr;
    const bool ready = result->m_connection->runUntil([stream] {
        const pa_stream_state_t s = pa_stream_get_state(stream);
        return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
    }, timeoutMs);
    if (!ready || pa_stream_get_state(stream) != PA_STREAM_READY)
        return nullptr;
    return result;
}

PulseStream::~PulseStream()
{
    stop();
    pa_stream_disconnect(m_stream);
    pa_stream_unref(m_stream);
}

void PulseStream::start(const char *name, std::function<Step()> step, std::function<void()> failed)
{
    m_quit = false;
    m_thread = std::thread([this, name, step = std::move(step), failed = std::move(failed)] {
        nameThisThread(name);
        run(step, failed);
    });
}

void PulseStream::requestStop()
{
    m_quit = true;
    wake();
}

void PulseStream::stop()
{
    requestStop();
    if (!m_thread.joinable())
        return;
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach(); // the thread's own work dropped its owner: it ends after this step
    else
        m_thread.join();
}

bool PulseStream::isHealthy() const
{
    return m_connection->isReady() && pa_stream_get_state(m_stream) == PA_STREAM_READY;
}

void PulseStream::run(const std::function<Step()> &step, const std::function<void()> &failed)
{
    while (!m_quit) {
        if (!isHealthy()) {
            failed();
            return;
        }
        switch (step()) {
        case Step::Again:
            continue;
        case Step::Done:
            return;
        case Step::Lost:
            failed();
            return;
        case Step::Wait:
            if (!wait(std::exchange(m_wakeAfterMs, -1))) {
                failed();
                return;
            }
        }
    }
}

bool PulseStream::wait(int timeoutMs)
{
    pa_mainloop *loop = m_connection->loop();
    if (pa_mainloop_prepare(loop, timeoutMs < 0 ? -1 : timeoutMs * 1000) < 0)
        return false;
    // Preparing empties the wake-up pipe: a wake that came while the step ran is renewed, or
    // the step would not run again until the timeout or the server's next message.
    if (m_woken.exchange(false))
        pa_mainloop_wakeup(loop);
    return pa_mainloop_poll(loop) >= 0 && pa_mainloop_dispatch(loop) >= 0;
}

} // namespace bvaudio
