#include "device/output.h"

#include "thread_name.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace bvaudio {
namespace {

class NoSoundOutput : public OutputDriver {
public:
    explicit NoSoundOutput(int rate) : m_rate(rate) {}
    ~NoSoundOutput() override { stop(); }

    void start(Callbacks callbacks) override
    {
        m_quit = false;
        m_thread = std::thread([this, render = std::move(callbacks.render)] {
            nameThisThread("bv-output");
            // A real-time clock: every period is "heard" over the time it lasts. Period by
            // period, so that a channel started between two begins within 10 ms.
            const int frames = periodFrames(m_rate);
            const auto length = std::chrono::microseconds(1000000LL * frames / m_rate);
            std::vector<int16_t> buffer(static_cast<size_t>(frames) * 2);
            auto next = Clock::now();
            for (int64_t frame = 0; !m_quit; frame += frames) {
                render(buffer.data(), frames, Position{frame, next, frame});
                next += length;
                std::this_thread::sleep_until(next);
            }
        });
    }

    void stop() override
    {
        m_quit = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    int sampleRate() const override { return m_rate; }

private:
    const int m_rate;
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};

} // namespace

std::unique_ptr<OutputDriver> openNoSoundOutput(int rate)
{
    return std::make_unique<NoSoundOutput>(rate);
}

} // namespace bvaudio
