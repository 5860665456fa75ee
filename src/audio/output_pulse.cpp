#include "output.h"

#include "bass.h"
#include "pulse_connection.h"
#include "thread_name.h"

#include <atomic>
#include <thread>
#include <vector>

namespace bvaudio {
namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr int kTargetLatencyMs = 100;

class PulseOutput : public OutputDriver {
public:
    PulseOutput(std::unique_ptr<PulseConnection> connection, pa_stream *stream, int rate)
        : m_connection(std::move(connection)), m_stream(stream), m_rate(rate)
    {
    }

    ~PulseOutput() override
    {
        stop();
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
    }

    void start(Render render, Failed failed) override
    {
        m_quit = false;
        m_thread = std::thread([this, render = std::move(render), failed = std::move(failed)] {
            nameThisThread("bv-output");
            run(render, failed);
        });
    }

    void stop() override
    {
        m_quit = true;
        pa_mainloop_wakeup(m_connection->loop());
        if (m_thread.joinable())
            m_thread.join();
    }

    int sampleRate() const override { return m_rate; }

private:
    bool healthy() const
    {
        return m_connection->isReady() && pa_stream_get_state(m_stream) == PA_STREAM_READY;
    }

    void run(const Render &render, const Failed &failed)
    {
        const int frames = periodFrames(m_rate);
        const size_t periodBytes = static_cast<size_t>(frames) * 4;
        std::vector<int16_t> buffer(static_cast<size_t>(frames) * 2);
        while (!m_quit) {
            if (!healthy()) {
                failed();
                return;
            }
            const size_t writable = pa_stream_writable_size(m_stream);
            if (writable != static_cast<size_t>(-1) && writable >= periodBytes) {
                render(buffer.data(), frames);
                if (pa_stream_write(m_stream, buffer.data(), periodBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
                    failed();
                    return;
                }
                continue;
            }
            if (pa_mainloop_iterate(m_connection->loop(), 1, nullptr) < 0) {
                failed();
                return;
            }
        }
    }

    std::unique_ptr<PulseConnection> m_connection;
    pa_stream *m_stream;
    const int m_rate;
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};

} // namespace

std::unique_ptr<OutputDriver> openPulseOutput(int device, int rate, int &error)
{
    std::unique_ptr<PulseConnection> connection = PulseConnection::connect("BrevantPlayer", kConnectTimeoutMs);
    if (!connection) {
        error = BASS_ERROR_DRIVER;
        return nullptr;
    }
    std::string sink;
    if (device > 0) {
        std::vector<std::string> sinks = connection->sinkNames();
        if (static_cast<size_t>(device) > sinks.size()) {
            error = BASS_ERROR_DEVICE;
            return nullptr;
        }
        sink = sinks[static_cast<size_t>(device) - 1];
    }
    const pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, static_cast<uint32_t>(rate), 2};
    pa_stream *stream = pa_stream_new(connection->context(), "BrevantPlayer playback", &sampleFormat, nullptr);
    if (!stream) {
        error = BASS_ERROR_FORMAT;
        return nullptr;
    }
    const uint32_t bytesPerMs = static_cast<uint32_t>(rate) * 4 / 1000;
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = bytesPerMs * kTargetLatencyMs;
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = bytesPerMs * 10;
    attr.fragsize = static_cast<uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE
                                                      | PA_STREAM_INTERPOLATE_TIMING);
    if (pa_stream_connect_playback(stream, sink.empty() ? nullptr : sink.c_str(), &attr, flags, nullptr, nullptr) < 0
        || !connection->runUntil([stream] {
               pa_stream_state_t s = pa_stream_get_state(stream);
               return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
           }, kConnectTimeoutMs)
        || pa_stream_get_state(stream) != PA_STREAM_READY) {
        pa_stream_unref(stream);
        error = BASS_ERROR_DEVICE;
        return nullptr;
    }
    return std::make_unique<PulseOutput>(std::move(connection), stream, rate);
}

} // namespace bvaudio
