#include "device/queued_writer.h"

#include "device/write_plan.h"

#include <algorithm>

namespace bvaudio {

void QueuedWriter::requestRewrite(int64_t from)
{
    int64_t pending = m_rewriteFrom.load();
    while (from < pending && !m_rewriteFrom.compare_exchange_weak(pending, from)) {
    }
}

int64_t QueuedWriter::rewriteStart(int64_t changedFrom, const Server &server) const
{
    const int64_t period = periodFrames(m_rate);
    const int64_t earliest = std::max(server.readFrame + m_marginFrames, changedFrom);
    return (earliest + period - 1) / period * period;
}

QueuedWriter::Outcome QueuedWriter::run(const OutputDriver::Callbacks &callbacks, const Server &server, Queue &queue)
{
    int64_t changedFrom = m_rewriteFrom.exchange(kNoRewrite);
    int64_t from = changedFrom == kNoRewrite ? m_written : rewriteStart(changedFrom, server);
    Readiness ready = callbacks.ready(std::min(from, m_written));
    if (ready.rewrite) { // a channel's audio changed under the queue: rewrite it from now
        changedFrom = std::min<int64_t>(changedFrom, 0);
        from = rewriteStart(changedFrom, server);
        ready = callbacks.ready(std::min(from, m_written));
    }
    WriteState state;
    state.rate = m_rate;
    state.period = periodFrames(m_rate);
    state.queued = std::max<int64_t>(m_written - server.heardFrame, 0);
    state.room = server.room / state.period * state.period;
    state.rewriteSpan = std::max<int64_t>(m_written - from, 0);
    state.ready = ready;
    const WritePlan plan = planWrite(state);
    if (changedFrom != kNoRewrite && !plan.rewrite && state.rewriteSpan > 0)
        requestRewrite(changedFrom); // still to do, once the channels can fill it
    Outcome outcome{true, plan.lookAgainMs, plan.waiting, plan.short_};
    if (plan.frames == 0)
        return outcome;
    if (plan.rewrite) {
        callbacks.rewind(from);
        m_written = from;
    }
    int16_t *out = queue.reserve(plan.frames);
    const bool reserved = out != nullptr;
    if (!reserved) {
        m_buffer.resize(static_cast<size_t>(plan.frames) * 2);
        out = m_buffer.data();
    }
    const auto heardAt = OutputDriver::Clock::now() + std::chrono::microseconds((m_written - server.heardFrame) * 1000000 / m_rate);
    int64_t frames = plan.frames;
    if (!callbacks.render(out, static_cast<int>(frames), {m_written, heardAt, server.heardFrame})) {
        if (!plan.rewrite) {
            if (reserved)
                queue.discard();
            return outcome; // nothing plays: the queue runs dry and the server rests
        }
        frames = state.rewriteSpan; // silence replaces what was queued, and no more
    }
    outcome.ok = queue.write(out, frames, plan.rewrite ? m_written : -1);
    m_written += frames;
    return outcome;
}

} // namespace bvaudio
