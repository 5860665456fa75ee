#include "fakeoutput.h"

#include "engine.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace bvtest {
namespace {

// PulseAudio's figures for our stream: the queue it keeps and the room it asks for at a time.
constexpr int64_t kTargetFrames = FakeOutput::kRate * 800 / 1000;
constexpr int64_t kRequestFrames = FakeOutput::kRate * 350 / 1000;
constexpr int64_t kPeriod = FakeOutput::kRate / 100;

} // namespace

FakeOutput *FakeOutput::openEngine()
{
    auto output = std::make_unique<FakeOutput>();
    FakeOutput *raw = output.get();
    return bvaudio::Engine::instance().open(std::move(output)) == 0 ? raw : nullptr;
}

int FakeOutput::queueMs() const
{
    return static_cast<int>(kTargetFrames * 1000 / kRate);
}

void FakeOutput::requestRewrite(int64_t from)
{
    m_writer.requestRewrite(from);
    m_changed = true;
}

bvaudio::QueuedWriter::Server FakeOutput::server() const
{
    const int64_t queued = m_writer.written() - m_readFrame;
    return {m_readFrame, m_readFrame, std::max<int64_t>(kTargetFrames - queued, 0)};
}

bool FakeOutput::write(const int16_t *data, int64_t frames, int64_t at)
{
    const int64_t first = at >= 0 ? at : m_writer.written();
    m_queue.resize(static_cast<size_t>(first + frames) * 2);
    std::copy(data, data + frames * 2, m_queue.begin() + first * 2);
    return true;
}

void FakeOutput::runWriter()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (true) {
        const bvaudio::QueuedWriter::Outcome outcome = m_writer.run(m_callbacks, server(), *this);
        m_nextRunFrame = outcome.lookAgainMs >= 0 ? m_readFrame + kRate * outcome.lookAgainMs / 1000 : INT64_MAX;
        const bool starving = outcome.short_ && m_writer.written() - m_readFrame < kTargetFrames / 2;
        if (!(outcome.waiting || starving) || std::chrono::steady_clock::now() > deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void FakeOutput::play(int ms)
{
    for (int64_t left = int64_t{kRate} * ms / 1000; left > 0; left -= kPeriod) {
        if (m_changed.exchange(false) || server().room >= kRequestFrames || m_readFrame >= m_nextRunFrame)
            runWriter();
        const int64_t written = m_writer.written();
        if (m_readFrame + kPeriod > written) {
            m_heard.insert(m_heard.end(), static_cast<size_t>(kPeriod) * 2, 0);
            continue; // the server waits for data: its read point stands
        }
        const auto begin = m_queue.begin() + m_readFrame * 2;
        m_heard.insert(m_heard.end(), begin, begin + kPeriod * 2);
        m_readFrame += kPeriod;
    }
}

} // namespace bvtest
