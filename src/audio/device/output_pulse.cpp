#include "device/output.h"

#include "bass.h"
#include "device/pulse_stream.h"
#include "device/queued_writer.h"

#include <algorithm>
#include <vector>

namespace bvaudio {
namespace {

constexpr int kConnectTimeoutMs = 1000;
// The server asks for 350 ms at a time from an 800 ms queue, of which it gives the sink
// (800 - 2 * 350) / 2 = 50 ms; a shorter queue would leave the sink no buffer of its own.
// A write is at most one block of the client's shared memory (its tile, 371 ms of 16-bit
// stereo at 44.1 kHz), since every block costs a message when the server is done with it: the
// output wakes about seven times a second. Changes to the mix do not wait for the queue: what
// is queued is rewritten.
constexpr int kTargetLatencyMs = 800;
constexpr int kRequestMs = 350;
// A rewrite starts this far after the server's read point, for the time the write takes.
constexpr int kRewriteMarginMs = 10;

class PulseOutput : public OutputDriver {
public:
    // Before the output thread runs: the stream's buffer is read here, on the opening thread.
    PulseOutput(std::unique_ptr<PulseStream> stream, int rate)
        : m_stream(std::move(stream)), m_rate(rate), m_queueMs(targetLengthMs(m_stream->stream(), rate)),
          m_writer(rate, kRewriteMarginMs)
    {
    }

    void start(Callbacks callbacks) override
    {
        Failed failed = std::move(callbacks.failed);
        m_stream->start("bv-output", [this, callbacks = std::move(callbacks)] { return writePeriods(callbacks); },
                        std::move(failed));
    }

    void stop() override { m_stream->stop(); }
    int sampleRate() const override { return m_rate; }
    int queueMs() const override { return m_queueMs; }

    void requestRewrite(int64_t from) override
    {
        m_writer.requestRewrite(from);
        m_stream->wake();
    }
    void wake() override { m_stream->wake(); }

private:
    // The queue the server keeps for the stream, as it settled it.
    static int targetLengthMs(pa_stream *stream, int rate)
    {
        const pa_buffer_attr *attr = pa_stream_get_buffer_attr(stream);
        return attr ? static_cast<int>(int64_t{attr->tlength} * 1000 / (int64_t{rate} * 4)) : kTargetLatencyMs;
    }

    // Where the server stands, from its last timing report moved on by the time since.
    QueuedWriter::Server server() const
    {
        size_t writable = pa_stream_writable_size(m_stream->stream());
        if (writable == static_cast<size_t>(-1))
            writable = 0; // not ready for data: a lost stream is told by the health check
        const int64_t written = m_writer.written();
        QueuedWriter::Server server{written, written, static_cast<int64_t>(writable / 4)};
        const pa_timing_info *timing = pa_stream_get_timing_info(m_stream->stream());
        if (!timing)
            return server; // no report yet: count everything written as heard
        const auto frames = [this](pa_usec_t usec) { return static_cast<int64_t>(usec * static_cast<uint64_t>(m_rate) / 1000000); };
        int64_t read = timing->read_index / 4;
        if (timing->playing) {
            timeval now{};
            pa_gettimeofday(&now);
            read += frames(pa_timeval_diff(&now, &timing->timestamp));
        }
        server.readFrame = std::clamp<int64_t>(read, 0, written);
        server.heardFrame = std::max<int64_t>(server.readFrame - frames(timing->sink_usec), 0);
        return server;
    }

    // Audio is rendered straight into the server's shared memory when a block holds the write.
    class ServerQueue : public QueuedWriter::Queue {
    public:
        explicit ServerQueue(pa_stream *stream) : m_stream(stream) {}
        int16_t *reserve(int64_t frames) override
        {
            void *data = nullptr;
            size_t bytes = static_cast<size_t>(frames) * 4;
            if (pa_stream_begin_write(m_stream, &data, &bytes) < 0 || !data)
                return nullptr;
            if (bytes < static_cast<size_t>(frames) * 4) {
                pa_stream_cancel_write(m_stream);
                return nullptr;
            }
            return static_cast<int16_t *>(data);
        }
        void discard() override { pa_stream_cancel_write(m_stream); }
        bool write(const int16_t *data, int64_t frames, int64_t at) override
        {
            return pa_stream_write(m_stream, data, static_cast<size_t>(frames) * 4, nullptr, at >= 0 ? at * 4 : 0,
                                   at >= 0 ? PA_SEEK_ABSOLUTE : PA_SEEK_RELATIVE)
                   >= 0;
        }

    private:
        pa_stream *const m_stream;
    };

    PulseStream::Step writePeriods(const Callbacks &callbacks)
    {
        ServerQueue queue(m_stream->stream());
        const QueuedWriter::Outcome outcome = m_writer.run(callbacks, server(), queue);
        if (!outcome.ok)
            return PulseStream::Step::Lost;
        if (outcome.lookAgainMs >= 0)
            m_stream->wakeAfter(outcome.lookAgainMs);
        return PulseStream::Step::Wait;
    }

    std::unique_ptr<PulseStream> m_stream;
    const int m_rate;
    const int m_queueMs;
    QueuedWriter m_writer;
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
    attr.prebuf = bytesPerMs * 10; // a start is heard as soon as its first write arrives
    attr.minreq = std::min<uint32_t>(bytesPerMs * kRequestMs,
                                     static_cast<uint32_t>(pa_context_get_tile_size(connection->context(), &sampleFormat)));
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
