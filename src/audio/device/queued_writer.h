// The write side of an output that queues audio at a server (PulseAudio, or the tests'
// simulated server): each run decides with planWrite what to render, takes back and renders
// again what is queued after a change to the mix, and hands the frames to the server.
#pragma once

#include "device/output.h"

#include <atomic>
#include <limits>
#include <vector>

namespace bvaudio {

class QueuedWriter {
public:
    // Where the server stands, in output frames.
    struct Server {
        int64_t heardFrame = 0; // being heard now
        int64_t readFrame = 0;  // the server's read point: the first frame that can be rewritten
        int64_t room = 0;       // frames it takes now after what is written
    };
    // The server's side of a write.
    class Queue {
    public:
        virtual ~Queue() = default;
        // Room for `frames` frames in the server's own memory, to render into without a copy;
        // nullptr when it has no such room in one piece.
        virtual int16_t *reserve(int64_t /*frames*/) { return nullptr; }
        // Gives back what reserve returned (only that), unwritten.
        virtual void discard() {}
        // Queues `frames` at the write index, or at output frame `at` over what is queued
        // there (at >= 0). False when the server is lost.
        virtual bool write(const int16_t *data, int64_t frames, int64_t at) = 0;
    };
    struct Outcome {
        bool ok = true;
        int lookAgainMs = -1; // -1: when the server asks
        bool waiting = false; // held back for a channel getting its audio ready
        bool short_ = false;  // the channels had less ready than the server has room for
    };

    QueuedWriter(int rate, int rewriteMarginMs) : m_rate(rate), m_marginFrames(int64_t{rate} * rewriteMarginMs / 1000) {}

    // Any thread: the mix changed from output frame `from` on (0: from now).
    void requestRewrite(int64_t from);
    // Output thread.
    Outcome run(const OutputDriver::Callbacks &callbacks, const Server &server, Queue &queue);
    int64_t written() const { return m_written; }

private:
    static constexpr int64_t kNoRewrite = std::numeric_limits<int64_t>::max();
    int64_t rewriteStart(int64_t changedFrom, const Server &server) const;

    const int m_rate;
    const int64_t m_marginFrames; // a rewrite starts this far after the read point
    std::atomic<int64_t> m_rewriteFrom{kNoRewrite};
    int64_t m_written = 0; // the server's write index (output thread only)
    std::vector<int16_t> m_buffer; // when the server has no room to render into
};

} // namespace bvaudio
