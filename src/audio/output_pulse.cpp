#include "output.h"

#include "bass.h"
#include "pulse_stream.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <vector>

namespace bvaudio {
namespace {

constexpr int kConnectTimeoutMs = 1000;
// A long queue keeps the server's wake-ups rare: it asks for a fifth of a second at a time.
// Changes to the mix do not wait for it: what is queued is rewritten.
constexpr int kTargetLatencyMs = 450;
constexpr int kRequestMs = 200;
// While a channel has less audio ready than the server has room for, the output writes
// what it has and comes back before the queue is down to this; when the queue is that short
// it writes up to twice this much, and a channel short of audio stalls.
constexpr int kMinQueueMs = 40;
// A rewrite starts this far after the server's read point, for the time the write takes.
constexpr int kRewriteMarginMs = 10;

class PulseOutput : public OutputDriver {
public:
    PulseOutput(std::unique_ptr<PulseStream> stream, int rate) : m_stream(std::move(stream)), m_rate(rate) {}

    void start(Callbacks callbacks) override
    {
        Failed failed = std::move(callbacks.failed);
        m_stream->start("bv-output", [this, callbacks = std::move(callbacks)] { return writePeriods(callbacks); },
                        std::move(failed));
    }

    void stop() override { m_stream->stop(); }
    int sampleRate() const override { return m_rate; }

    void requestRewrite(int64_t from) override
    {
        int64_t pending = m_rewriteFrom.load();
        while (from < pending && !m_rewriteFrom.compare_exchange_weak(pending, from)) {
        }
        m_stream->wake();
    }

private:
    struct Queue {
        int64_t heardFrame; // being heard now
        int64_t readFrame;  // the server's read point: the first frame that can be rewritten
    };

    int64_t framesOf(int ms) const { return static_cast<int64_t>(m_rate) * ms / 1000; }
    int64_t wholePeriods(int64_t frames) const { return frames / periodFrames(m_rate) * periodFrames(m_rate); }

    // Where the server stands, from its last timing report moved on by the time since.
    Queue queue() const
    {
        const pa_timing_info *timing = pa_stream_get_timing_info(m_stream->stream());
        if (!timing)
            return {m_written, m_written}; // no report yet: count everything written as heard
        const auto frames = [this](pa_usec_t usec) { return static_cast<int64_t>(usec * static_cast<uint64_t>(m_rate) / 1000000); };
        int64_t read = timing->read_index / 4;
        if (timing->playing) {
            timeval now{};
            pa_gettimeofday(&now);
            read += frames(pa_timeval_diff(&now, &timing->timestamp));
        }
        read = std::clamp<int64_t>(read, 0, m_written);
        return {std::max<int64_t>(read - frames(timing->sink_usec), 0), read};
    }

    // Writes what the server has room for and the channels have ready; after a change to the
    // mix, first rewrites what is queued from the read point on.
    PulseStream::Step writePeriods(const Callbacks &callbacks)
    {
        pa_stream *stream = m_stream->stream();
        size_t writable = pa_stream_writable_size(stream);
        if (writable == static_cast<size_t>(-1))
            writable = 0; // not ready for data: a lost stream is told by the health check
        const Queue queued = queue();
        int64_t overwrite = 0;
        const int64_t changedFrom = m_rewriteFrom.exchange(kNoRewrite);
        if (changedFrom != kNoRewrite) {
            const int64_t earliest = std::max(queued.readFrame + framesOf(kRewriteMarginMs), changedFrom);
            const int64_t from = (earliest + periodFrames(m_rate) - 1) / periodFrames(m_rate) * periodFrames(m_rate);
            if (from < m_written) {
                callbacks.rewind(from);
                overwrite = m_written - from;
                m_written = from;
            }
        }
        const int64_t room = overwrite + wholePeriods(static_cast<int64_t>(writable / 4));
        int64_t frames = room;
        const int64_t ready = callbacks.ready();
        if (ready >= 0) {
            const int64_t queuedFrames = m_written - queued.heardFrame;
            const int64_t keep = queuedFrames <= framesOf(kMinQueueMs) ? 2 * framesOf(kMinQueueMs) - queuedFrames : 0;
            frames = std::max(overwrite, std::min(room, wholePeriods(std::max(ready, keep))));
        }
        // The channels had less ready: look again halfway to the queue getting short, so that
        // the queue grows with what they decode meanwhile.
        if (frames < room)
            m_stream->wakeAfter(static_cast<int>(std::max<int64_t>(
                (m_written + frames - queued.heardFrame - framesOf(kMinQueueMs)) * 500 / m_rate, 10)));
        if (frames == 0)
            return PulseStream::Step::Wait;
        m_buffer.resize(static_cast<size_t>(frames) * 2);
        const auto heardAt = Clock::now() + std::chrono::microseconds((m_written - queued.heardFrame) * 1000000 / m_rate);
        const bool playing = callbacks.render(m_buffer.data(), static_cast<int>(frames), {m_written, heardAt, queued.heardFrame});
        if (!playing) {
            if (overwrite == 0)
                return PulseStream::Step::Wait; // nothing plays: the queue runs dry and the server rests
            frames = overwrite; // silence replaces what was queued, and no more
        }
        const int64_t offset = overwrite ? m_written * 4 : 0;
        if (pa_stream_write(stream, m_buffer.data(), static_cast<size_t>(frames) * 4, nullptr, offset,
                            overwrite ? PA_SEEK_ABSOLUTE : PA_SEEK_RELATIVE) < 0)
            return PulseStream::Step::Lost;
        m_written += frames;
        return PulseStream::Step::Wait;
    }

    std::unique_ptr<PulseStream> m_stream;
    const int m_rate;
    static constexpr int64_t kNoRewrite = std::numeric_limits<int64_t>::max();
    std::atomic<int64_t> m_rewriteFrom{kNoRewrite}; // the earliest frame a change asks to rewrite from
    int64_t m_written = 0; // frames written: the server's write index (output thread only)
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
    attr.prebuf = bytesPerMs * 10; // a start is heard as soon as its first write arrives
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
