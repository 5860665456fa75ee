#include "output.h"

#include "bass.h"
#include "pulse_stream.h"

#include <vector>

namespace bvaudio {
namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr int kTargetLatencyMs = 100;
// The server asks for more when this much room is free: a few periods per wake-up.
constexpr int kRequestMs = 10 * kPeriodsPerWrite;

class PulseOutput : public OutputDriver {
public:
    PulseOutput(std::unique_ptr<PulseStream> stream, int rate) : m_stream(std::move(stream)), m_rate(rate) {}

    void start(Render render, Failed failed) override
    {
        m_stream->start("bv-output", [this, render = std::move(render)] { return writePeriods(render); },
                        std::move(failed));
    }

    void stop() override { m_stream->stop(); }
    int sampleRate() const override { return m_rate; }

private:
    // Writes every whole period the server has room for, in one go.
    PulseStream::Step writePeriods(const Render &render)
    {
        pa_stream *stream = m_stream->stream();
        const size_t periodBytes = static_cast<size_t>(periodFrames(m_rate)) * 4;
        const size_t writable = pa_stream_writable_size(stream);
        if (writable == static_cast<size_t>(-1) || writable < periodBytes)
            return PulseStream::Step::Wait;
        const size_t bytes = writable / periodBytes * periodBytes;
        m_buffer.resize(bytes / 2);
        updateDrainTime();
        render(m_buffer.data(), static_cast<int>(bytes / 4));
        if (pa_stream_write(stream, m_buffer.data(), bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return PulseStream::Step::Lost;
        return PulseStream::Step::Wait;
    }

    // The server's view of what is still to be played (its interpolated timing).
    void updateDrainTime()
    {
        pa_usec_t latency = 0;
        int negative = 0;
        if (pa_stream_get_latency(m_stream->stream(), &latency, &negative) != 0 || negative)
            latency = 0;
        setDrainTime(Clock::now() + std::chrono::microseconds(latency));
    }

    std::unique_ptr<PulseStream> m_stream;
    const int m_rate;
    std::vector<int16_t> m_buffer;
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
    attr.minreq = bytesPerMs * kRequestMs;
    attr.fragsize = static_cast<uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE
                                                      | PA_STREAM_INTERPOLATE_TIMING);
    std::unique_ptr<PulseStream> ready = PulseStream::connect(
        std::move(connection), stream,
        [&](pa_stream *s) {
            return pa_stream_connect_playback(s, sink.empty() ? nullptr : sink.c_str(), &attr, flags, nullptr, nullptr);
        },
        kConnectTimeoutMs);
    if (!ready) {
        error = BASS_ERROR_DEVICE;
        return nullptr;
    }
    return std::make_unique<PulseOutput>(std::move(ready), rate);
}

} // namespace bvaudio
