#include "bvhlstimeline.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr qint64 kWrap = qint64(1) << 33;
constexpr double kClock = 90000.0;

} // namespace

double BVHlsTimeline::place(quint32 sequence, qint64 pts, double duration)
{
    const bool follows = m_lastSequence >= 0 && qint64(sequence) == m_lastSequence + 1;
    m_lastSequence = sequence;
    double start = m_end;
    if (pts >= 0) {
        const bool onTheClock = m_zeroPts >= 0 && sinceZero(pts) >= m_start
            && std::abs(sinceZero(pts) - m_end) <= kMaxJumpSeconds;
        if (follows && onTheClock)
            start = sinceZero(pts);
        else
            m_zeroPts = ((pts - std::llround(start * kClock)) % kWrap + kWrap) % kWrap;
    }
    m_start = start;
    m_end = start + std::max(duration, 0.0);
    return start;
}

double BVHlsTimeline::timeOf(qint64 pts) const
{
    if (pts < 0 || m_zeroPts < 0)
        return m_start;
    return std::clamp(sinceZero(pts), m_start, m_end);
}

// Seconds from the zero timestamp to `pts`, across a wrap, negative for a little before.
double BVHlsTimeline::sinceZero(qint64 pts) const
{
    qint64 ticks = ((pts - m_zeroPts) % kWrap + kWrap) % kWrap;
    if (ticks >= kWrap / 2)
        ticks -= kWrap;
    return double(ticks) / kClock;
}
