// How much an output renders each time it runs, and from where: one pure decision from
// what the server has queued and what the channels have ready, so that the output never
// writes a hole where a channel is about to have audio.
#pragma once

#include <cstdint>

namespace bvaudio {

// What the playing channels can fill, in output frames, from where the next write begins.
struct Readiness {
    int64_t frames = -1;  // the least any playing channel can fill; -1 for no limit
    bool holding = false; // a channel just started, sought or rewound is still getting its audio
                          // ready: nothing is written past it while the queue lasts, and the
                          // output looks again soon
    bool flowing = false; // a channel not getting ready has audio: it never runs dry for one that is
    bool rewrite = false; // a channel's audio changed under what is queued (a seek landed)
};

struct WriteState {
    int rate = 44100;
    int64_t period = 441;     // writes are whole mixing periods
    int64_t queued = 0;       // frames written and not yet heard
    int64_t room = 0;         // frames the server takes after what is queued (whole periods)
    int64_t rewriteSpan = 0;  // frames a pending rewrite renders again (0: none)
    Readiness ready;          // from the rewrite's first frame when one is pending
};

struct WritePlan {
    bool rewrite = false;   // take back the span and render it again first
    int64_t frames = 0;     // frames to render, the span included
    int lookAgainMs = -1;   // -1: when the server asks; else at the latest after this long
    bool waiting = false;   // held back for a channel getting its audio ready (a start, seek, rewrite)
    bool short_ = false;    // the channels had less ready than the server has room for
};

// Below this much queued a starved channel is written past (it stalls) rather than let the
// server run dry; a holding channel waits for more than this before the first write.
constexpr int kMinQueueMs = 40;
// How often the output looks again while a channel gets its audio ready. New audio of such a
// channel wakes the output at once; the poll catches what no audio announces (a priming that
// times out, a rewrite waiting for channels that are not getting ready).
constexpr int kPollMs = 10;

WritePlan planWrite(const WriteState &state);

} // namespace bvaudio
