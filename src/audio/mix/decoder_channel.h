// A channel fed by a decode thread that keeps about the playback buffer
// length (BASS_CONFIG_BUFFER) of PCM ready from a ByteInput.
#pragma once

#include "mix/channel.h"
#include "decode/decoder.h"

#include <condition_variable>
#include <thread>

namespace bvaudio {

class DecoderChannel : public Channel {
public:
    // Probes and opens `input` on the calling thread; starts the decode thread.
    // Returns nullptr with `error` set on failure.
    static std::shared_ptr<DecoderChannel> create(DWORD handle, std::unique_ptr<ByteInput> input,
                                                  const Decoder::Options &options, DWORD flags, int &error);
    ~DecoderChannel() override;

    int64_t lengthBytes() const override { return m_decoder->lengthBytes(); }
    int64_t bitRate() const { return m_decoder->bitRate(); }
    int setPosition(QWORD bytes) override;
    int64_t filePosition(DWORD mode, int &error) const override;
    const char *tags(DWORD type) const override;
    void shutdown() override;

    // Blocks until decoded data (or the end) is ready, at most `timeoutMs`.
    void waitForData(int timeoutMs);

    // Blocks until every decode thread has exited (engine shut-down).
    static void waitForAllDecodeThreads();

protected:
    size_t resumeSamples() const override { return m_capacitySamples / 2 / format().chans; }
    bool isPrimed() const override { return m_sourceEnded || !m_refilling; }
    void onSamplesConsumed() override;

private:
    DecoderChannel(DWORD handle, ChannelFormat format, std::unique_ptr<ByteInput> input,
                   std::unique_ptr<Decoder> decoder);
    // Decoded audio kept ahead: the configured buffer, or more to fill the output's queue.
    static size_t bufferMs(int sourceRate);
    void run();
    // Decode thread: seeks to `target` and decodes a full buffer from there; false at the
    // source's end or an error. Gives up early when `generation` is superseded.
    bool decodeFrom(QWORD target, uint64_t generation, std::vector<int16_t> &samples);
    // Decode thread, after new audio was queued under `lock`: wakes an output that waits for it.
    void announceAudio(std::unique_lock<std::mutex> &lock, size_t queuedBefore, bool wasPrimed);

    std::unique_ptr<ByteInput> m_input;
    std::unique_ptr<Decoder> m_decoder;
    const size_t m_capacitySamples;
    std::condition_variable m_wake; // more room, a seek, data or shut-down
    bool m_refilling = true; // decoding until the queue is full; then idle until it is half empty
    bool m_seekPending = false;
    QWORD m_seekTo = 0;
    uint64_t m_generation = 0; // bumped by every seek: a chunk decoded before it is dropped
};

} // namespace bvaudio
