#include "device/write_plan.h"

#include <algorithm>
#include <limits>

namespace bvaudio {

WritePlan planWrite(const WriteState &s)
{
    const int64_t minQueue = int64_t{s.rate} * kMinQueueMs / 1000;
    const bool limited = s.ready.frames >= 0;
    WritePlan plan;
    if (s.rewriteSpan > 0) {
        // A rewrite renders only what every channel can fill; while enough is queued it waits
        // for them, and the old audio plays meanwhile.
        if (limited && s.ready.frames < s.rewriteSpan && s.queued > minQueue)
            return {false, 0, kPollMs, true, true};
        plan.rewrite = true;
    }
    const int64_t after = limited ? std::max<int64_t>(s.ready.frames - s.rewriteSpan, 0) : std::numeric_limits<int64_t>::max();
    int64_t extra = s.room;
    // Once the queue is short, what is playing goes on: a channel without audio stalls.
    const int64_t keep = s.queued <= minQueue ? 2 * minQueue - s.queued : 0;
    if (limited && s.ready.holding && !(s.ready.flowing && keep > 0)) {
        // Never past a channel getting ready while it plays alone or the queue holds enough; a
        // start on an empty queue waits for a little more than the shortest queue, so that one
        // late wake-up can not run the server dry.
        extra = s.queued == 0 && after < 2 * minQueue ? 0 : std::min(s.room, after);
        plan.waiting = extra < s.room;
    } else if (limited) {
        extra = std::min(s.room, std::max(after, keep));
        plan.waiting = s.ready.holding && extra < s.room;
    }
    extra = extra / s.period * s.period;
    plan.short_ = limited && after < s.room;
    plan.frames = (plan.rewrite ? s.rewriteSpan : 0) + extra;
    if (extra < s.room) {
        // Less ready than there is room for: look again halfway to the queue getting short.
        const int64_t halfway = (s.queued + extra - minQueue) * 500 / s.rate;
        plan.lookAgainMs = plan.waiting ? kPollMs : static_cast<int>(std::max<int64_t>(halfway, kPollMs));
    }
    return plan;
}

} // namespace bvaudio
