#include "device/capture.h"

#include "bass.h"
#include "device/pulse_stream.h"

#include <vector>

namespace bvaudio {
namespace {

constexpr int kConnectTimeoutMs = 1000;

class PulseCapture : public CaptureDriver {
public:
    explicit PulseCapture(std::unique_ptr<PulseStream> stream) : m_stream(std::move(stream)) {}

    void start(Deliver deliver, Failed failed) override
    {
        m_stream->start("bv-record", [this, deliver = std::move(deliver)] { return readBlock(deliver); },
                        std::move(failed));
    }

    void stop() override { m_stream->requestStop(); }

private:
    PulseStream::Step readBlock(const Deliver &deliver)
    {
        pa_stream *stream = m_stream->stream();
        const void *data = nullptr;
        size_t size = 0;
        if (pa_stream_readable_size(stream) == 0 || pa_stream_peek(stream, &data, &size) != 0 || size == 0)
            return PulseStream::Step::Wait;
        // A hole (no data) comes as a null pointer with a size: it is silence.
        if (!data) {
            m_silence.assign(size, 0);
            data = m_silence.data();
        }
        const bool more = deliver(data, size);
        pa_stream_drop(stream);
        return more ? PulseStream::Step::Again : PulseStream::Step::Done;
    }

    std::unique_ptr<PulseStream> m_stream;
    std::vector<unsigned char> m_silence;
};

} // namespace

std::unique_ptr<CaptureDriver> openPulseCapture(const std::string &source, int rate, int channels, int &error)
{
    std::unique_ptr<PulseConnection> connection = PulseConnection::connect("BrevantPlayer recorder", kConnectTimeoutMs);
    if (!connection) {
        error = BASS_ERROR_DRIVER;
        return nullptr;
    }
    const pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, static_cast<uint32_t>(rate), static_cast<uint8_t>(channels)};
    pa_stream *stream = pa_stream_new(connection->context(), "BrevantPlayer recording", &sampleFormat, nullptr);
    if (!stream) {
        error = BASS_ERROR_FORMAT;
        return nullptr;
    }
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(rate * channels * 2 / 50); // 20 ms blocks
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    std::unique_ptr<PulseStream> ready = PulseStream::connect(
        std::move(connection), stream,
        [&](pa_stream *s) { return pa_stream_connect_record(s, source.empty() ? nullptr : source.c_str(), &attr, flags); },
        kConnectTimeoutMs);
    if (!ready) {
        error = BASS_ERROR_DEVICE;
        return nullptr;
    }
    return std::make_unique<PulseCapture>(std::move(ready));
}

} // namespace bvaudio
