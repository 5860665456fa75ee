// An output driver for tests: a simulated sound server whose clock moves only when the test says.
// It queues what the engine's real queued-output writer hands it (PulseAudio's write policy) and
// keeps every frame it "plays", for frame-by-frame checks without a sound server or timing luck.
#pragma once

#include "device/output.h"
#include "device/queued_writer.h"

#include <atomic>
#include <memory>
#include <vector>

namespace bvtest {

class FakeOutput : public bvaudio::OutputDriver, private bvaudio::QueuedWriter::Queue {
public:
    static constexpr int kRate = 44100;

    // Opens the engine on a new fake output; the engine owns it until BASS_Free.
    static FakeOutput *openEngine();

    void start(Callbacks callbacks) override { m_callbacks = std::move(callbacks); }
    void stop() override {}
    int sampleRate() const override { return kRate; }
    int queueMs() const override;
    void requestRewrite(int64_t from) override;
    void wake() override
    {
        ++m_wakes;
        m_changed = true;
    }

    // Plays `ms` of what is queued, a period at a time, running the writer whenever the server would
    // ask; the clock waits (up to seconds) while a channel readies audio, as if decoding took no time.
    void play(int ms);
    // Everything played so far: interleaved stereo; a period the queue could not fill is silence.
    const std::vector<int16_t> &heard() const { return m_heard; }
    // How often a channel's new audio woke the output.
    int wakes() const { return m_wakes; }

private:
    void runWriter();
    bool write(const int16_t *data, int64_t frames, int64_t at) override; // into the timeline
    bvaudio::QueuedWriter::Server server() const;

    Callbacks m_callbacks;
    bvaudio::QueuedWriter m_writer{kRate, 10};
    std::vector<int16_t> m_queue; // the timeline: every frame written, by output frame
    int64_t m_readFrame = 0;
    int64_t m_nextRunFrame = 0; // when the writer asked to look again
    std::atomic<bool> m_changed{false};
    std::atomic<int> m_wakes{0};
    std::vector<int16_t> m_heard;
};

} // namespace bvtest
