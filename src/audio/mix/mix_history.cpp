#include "mix/mix_history.h"

#include <algorithm>

namespace bvaudio {

void MixHistory::forgetHeard(int64_t heardFrame)
{
    while (m_periods.size() > 1 && m_periods[1].frame + m_periods[1].frames <= heardFrame)
        m_periods.pop_front();
}

std::optional<MixHistory::Period> MixHistory::takeBackFrom(int64_t frame)
{
    const auto first = std::find_if(m_periods.begin(), m_periods.end(), [frame](const Period &p) { return p.frame >= frame; });
    if (first == m_periods.end())
        return std::nullopt;
    const Period taken = *first;
    m_periods.erase(first, m_periods.end());
    return taken;
}

int64_t MixHistory::framesFrom(int64_t frame) const
{
    int64_t frames = 0;
    for (auto it = m_periods.rbegin(); it != m_periods.rend() && it->frame >= frame; ++it)
        frames += it->frames;
    return frames;
}

double MixHistory::heardPosition(MixTime::TimePoint now, double unmixed) const
{
    if (m_periods.empty())
        return unmixed;
    // The newest period that has begun to be heard, and how far into it the output is.
    for (auto it = m_periods.rbegin(); it != m_periods.rend(); ++it) {
        if (it->heardAt > now)
            continue;
        const double part = it->length.count() > 0
                                 ? std::min(1.0, static_cast<double>((now - it->heardAt).count()) / it->length.count())
                                 : 1.0;
        return it->from + (it->to - it->from) * part;
    }
    return m_periods.front().from; // nothing heard yet
}

} // namespace bvaudio
