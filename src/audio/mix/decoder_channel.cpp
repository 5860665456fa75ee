#include "mix/decoder_channel.h"

#include "engine.h"
#include "engine_config.h"
#include "thread_name.h"

#include <chrono>

namespace bvaudio {
namespace {

// Decode threads run detached and own a reference to their channel, so that
// freeing a channel never waits on a read callback that blocks; the engine's
// shut-down waits for all of them instead.
std::mutex g_threadsMutex;
std::condition_variable g_threadsDone;
int g_threadCount = 0;

} // namespace

DecoderChannel::DecoderChannel(DWORD handle, ChannelFormat format, std::unique_ptr<ByteInput> input,
                               std::unique_ptr<Decoder> decoder)
    : Channel(handle, std::move(format)),
      m_input(std::move(input)),
      m_decoder(std::move(decoder)),
      m_capacitySamples(std::max<size_t>(static_cast<size_t>(m_decoder->sampleRate())
                                             * static_cast<size_t>(m_decoder->channels()) * bufferMs(m_decoder->sampleRate()) / 1000,
                                         4096))
{
}

DecoderChannel::~DecoderChannel() = default;

size_t DecoderChannel::bufferMs(int sourceRate)
{
    // A start or seek is written over what the output queued, from its read point on: the
    // buffer holds at least that much, what the resampler holds back and a margin, or the
    // change would wait for the queue to run down.
    constexpr int64_t kMarginMs = 60;
    const Engine::OutputTiming output = Engine::instance().outputTiming();
    if (output.rate <= 0)
        return EngineConfig::playbackBufferMs();
    const int64_t heldBackMs = Resampler::heldBackFrames(sourceRate, output.rate) * 1000 / output.rate;
    return std::max<size_t>(EngineConfig::playbackBufferMs(), static_cast<size_t>(output.queueMs + heldBackMs + kMarginMs));
}

std::shared_ptr<DecoderChannel> DecoderChannel::create(DWORD handle, std::unique_ptr<ByteInput> input,
                                                       const Decoder::Options &options, DWORD flags, int &error)
{
    std::unique_ptr<Decoder> decoder = Decoder::open(*input, options, error);
    if (!decoder)
        return nullptr;
    input->decoderOpened();
    ChannelFormat format;
    format.freq = static_cast<DWORD>(decoder->sampleRate());
    format.chans = static_cast<DWORD>(decoder->channels());
    format.flags = flags;
    format.ctype = decoder->ctype();
    format.origres = decoder->originalResolution();
    format.filename = input->name;
    format.plugin = decoder->plugin();
    std::shared_ptr<DecoderChannel> channel(
        new DecoderChannel(handle, std::move(format), std::move(input), std::move(decoder)));
    {
        std::lock_guard lock(g_threadsMutex);
        ++g_threadCount;
    }
    std::thread([channel]() mutable {
        nameThisThread("bv-decode");
        channel->run();
        channel.reset(); // the last reference may go here, closing the input on this thread
        std::lock_guard lock(g_threadsMutex);
        if (--g_threadCount == 0)
            g_threadsDone.notify_all();
    }).detach();
    return channel;
}

void DecoderChannel::waitForAllDecodeThreads()
{
    std::unique_lock lock(g_threadsMutex);
    g_threadsDone.wait(lock, [] { return g_threadCount == 0; });
}

void DecoderChannel::run()
{
    std::vector<int16_t> chunk;
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] {
            return m_shutdown || m_seekPending || (!m_sourceEnded && m_refilling);
        });
        if (m_shutdown)
            break;
        if (m_seekPending) {
            m_seekPending = false;
            const QWORD target = m_seekTo;
            const uint64_t generation = m_generation;
            lock.unlock();
            const bool more = decodeFrom(target, generation, chunk);
            lock.lock();
            if (generation == m_generation && !m_shutdown) {
                landSeek(target, chunk);
                m_sourceEnded = !more;
                m_refilling = more && m_fifo.size() < m_capacitySamples;
                announceAudio(lock, 0, false);
            }
            continue;
        }
        const uint64_t generation = m_generation;
        lock.unlock();
        chunk.clear();
        const Decoder::Status status = m_decoder->decode(chunk);
        lock.lock();
        if (generation != m_generation)
            continue; // a seek happened meanwhile: this audio is from before it
        const size_t queuedBefore = m_fifo.size();
        const bool wasPrimed = isPrimed();
        if (status == Decoder::Status::Data) {
            m_fifo.push(chunk.data(), chunk.size());
            m_refilling = m_fifo.size() < m_capacitySamples;
        } else
            m_sourceEnded = true; // errors end the stream like its end: it plays out what it has
        announceAudio(lock, queuedBefore, wasPrimed);
        m_wake.notify_all();
    }
}

void DecoderChannel::announceAudio(std::unique_lock<std::mutex> &lock, size_t queuedBefore, bool wasPrimed)
{
    if (!audioLetsOutputOn(queuedBefore, wasPrimed))
        return;
    // The engine's lock comes before a channel's: the output is told without this one held.
    lock.unlock();
    Engine::instance().audioArrived();
    lock.lock();
}

bool DecoderChannel::decodeFrom(QWORD target, uint64_t generation, std::vector<int16_t> &samples)
{
    const auto superseded = [&] {
        std::lock_guard lock(m_mutex);
        return m_shutdown || generation != m_generation;
    };
    samples.clear();
    if (!m_decoder->seek(target))
        return false;
    std::vector<int16_t> chunk;
    while (samples.size() < m_capacitySamples && !superseded()) {
        chunk.clear();
        if (m_decoder->decode(chunk) != Decoder::Status::Data)
            return false;
        samples.insert(samples.end(), chunk.begin(), chunk.end());
    }
    return true;
}

void DecoderChannel::onSamplesConsumed()
{
    // Decoding in bursts from half to full keeps the decode thread asleep most of the time.
    if (!m_refilling && m_fifo.size() < m_capacitySamples / 2) {
        m_refilling = true;
        m_wake.notify_all();
    }
}

void DecoderChannel::waitForData(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [this] { return m_shutdown || m_sourceEnded || !m_fifo.empty(); });
}

int DecoderChannel::setPosition(QWORD bytes)
{
    if (!m_decoder->canSeek())
        return BASS_ERROR_NOTAVAIL;
    const int64_t length = m_decoder->lengthBytes();
    if (length >= 0 && bytes > static_cast<QWORD>(length))
        return BASS_ERROR_POSITION;
    bytes -= bytes % bytesPerFrame();
    std::lock_guard lock(m_mutex);
    startSeek(bytes);
    m_seekPending = true;
    m_seekTo = bytes;
    ++m_generation;
    m_wake.notify_all();
    return BASS_OK;
}

int64_t DecoderChannel::filePosition(DWORD mode, int &error) const
{
    int64_t value = -1;
    switch (mode) {
    case BASS_FILEPOS_CURRENT: value = m_input->consumed.load(); break;
    case BASS_FILEPOS_START: value = m_input->audioStart.load(); break;
    case BASS_FILEPOS_BUFFER: value = m_input->bufferPosition(); break;
    case BASS_FILEPOS_END: value = m_input->endPosition(); break;
    default:
        error = BASS_ERROR_ILLTYPE;
        return -1;
    }
    if (value < 0)
        error = BASS_ERROR_NOTAVAIL;
    return value;
}

const char *DecoderChannel::tags(DWORD type) const
{
    // A per-thread copy: valid until the caller's next tag read, whatever the download thread does.
    thread_local std::string copy;
    if (type == BASS_TAG_META)
        copy = m_input->metadata();
    else if (type == BASS_TAG_HTTP)
        copy = m_input->responseHeaders(); // c_str() adds the closing '\0'
    else
        return nullptr;
    return copy.empty() ? nullptr : copy.c_str();
}

void DecoderChannel::shutdown()
{
    Channel::shutdown();
    m_input->abort();
    m_wake.notify_all();
}

} // namespace bvaudio
