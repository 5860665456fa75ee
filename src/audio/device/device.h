// The open output device: its driver and the mixer that sums every playing
// channel into the driver's periods.
#pragma once

#include "mix/channel.h"
#include "device/output.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace bvaudio {

class Device {
public:
    // Runs on the output thread for a channel whose last sample was mixed in the period `time`.
    using ChannelEnded = std::function<void(const ChannelPtr &, const MixTime &time)>;
    Device(std::unique_ptr<OutputDriver> driver, ChannelEnded onChannelEnded);
    ~Device();

    // The channel is mixed from output frame `from` on (0: as soon as possible).
    void attach(const ChannelPtr &channel, int64_t from = 0);
    void detach(DWORD handle);
    // Any thread: a channel started, stopped, moved or changed its volume; the output
    // rewrites what it queued so that the change is heard at once.
    // `from` is the output frame the change belongs to (0: now).
    void mixChanged(int64_t from = 0) { m_driver->requestRewrite(from); }
    // Any thread: a channel getting its audio ready has more of it.
    void audioArrived() { m_driver->wake(); }
    bool hasFailed() const { return m_failed; }
    int sampleRate() const { return m_rate; }
    int queueMs() const { return m_driver->queueMs(); }

private:
    bool render(int16_t *out, int frames, const OutputDriver::Position &at);
    bool renderPeriod(const std::vector<ChannelPtr> &channels, int16_t *out, int frames, const MixTime &time);
    Readiness readiness(int64_t from);
    void rewind(int64_t frame);
    // Output thread: the attached channels, copied under the lock into reused storage.
    const std::vector<ChannelPtr> &snapshot();
    void fail();

    std::unique_ptr<OutputDriver> m_driver;
    const int m_rate;
    ChannelEnded m_onChannelEnded;
    std::mutex m_mutex;
    std::vector<ChannelPtr> m_channels;
    std::atomic<bool> m_failed{false};
    // Output thread only: the channels being rendered, and the sum of a period.
    std::vector<ChannelPtr> m_rendering;
    std::vector<float> m_mix;
};

} // namespace bvaudio
