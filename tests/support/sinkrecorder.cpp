#include "sinkrecorder.h"

#include <pulse/error.h>
#include <pulse/simple.h>

namespace bvtest {

bool SinkRecorder::start()
{
    const pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, kRate, kChannels};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = kRate * kChannels * 2 / 100; // 10 ms reads
    int error = 0;
    pa_simple *pa = pa_simple_new(nullptr, "bvtest-recorder", PA_STREAM_RECORD, "bvtest_sink.monitor", "monitor", &sampleFormat,
                                  nullptr, &attr, &error);
    if (!pa)
        return false;
    m_quit = false;
    m_live = false;
    m_thread = std::thread([this, pa] {
        std::vector<int16_t> block(static_cast<size_t>(kRate * kChannels / 100));
        while (!m_quit) {
            if (pa_simple_read(pa, block.data(), block.size() * 2, nullptr) < 0)
                break;
            std::lock_guard lock(m_mutex);
            if (m_live)
                m_samples.insert(m_samples.end(), block.begin(), block.end());
            m_live = true;
            m_firstRead.notify_all();
        }
        pa_simple_free(pa);
    });
    // The monitor delivers a while after the stream connects: recording counts from its first block.
    std::unique_lock lock(m_mutex);
    return m_firstRead.wait_for(lock, std::chrono::seconds(3), [this] { return m_live; });
}

Pcm SinkRecorder::stop()
{
    m_quit = true;
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    return std::move(m_samples);
}

} // namespace bvtest
