// A channel's stereo float frames at the device rate, on their way from its resampler to
// the mixer. Frames stay after they were mixed until released, so that the mixer can go
// back to them. Frames are numbered from the channel's start. Not thread-safe: the owning
// channel guards it with its mutex.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include "mix/sample_buffer.h"

namespace bvaudio {

class MixQueue {
public:
    // Appends `count` frames, written in place by `fill(float *frames, size_t n)` in runs as
    // they lie in the ring.
    template <typename Fill>
    void append(size_t count, Fill &&fill)
    {
        const size_t kept = static_cast<size_t>(m_end - m_begin);
        if (kept + count > capacity())
            grow(kept + count);
        forRuns(m_end, count, fill);
    }
    void push(const float *frames, size_t count)
    {
        append(count, [&frames](float *to, size_t n) {
            std::memcpy(to, frames, n * 2 * sizeof(float));
            frames += 2 * n;
        });
    }
    size_t pending() const { return static_cast<size_t>(m_end - m_read); }
    // Hands `count` (at most pending()) frames to `use(const float *frames, size_t n)` in
    // runs as they lie in the ring, and moves past them.
    template <typename Use>
    void take(size_t count, Use &&use)
    {
        forRuns(m_read, std::min(count, pending()), [&use](float *frames, size_t n) { use(static_cast<const float *>(frames), n); });
    }
    // The number of the next frame to take.
    int64_t readIndex() const { return m_read; }
    // Moves the read point back to frame `index`, which must not have been released.
    void rewindTo(int64_t index);
    // Forgets the frames before `index` (never pending ones).
    void release(int64_t index);
    // Drops every frame.
    void clear() { m_begin = m_read = m_end; }

private:
    size_t capacity() const { return m_buffer.size() / 2; }
    float *at(int64_t index) { return m_buffer.data() + static_cast<size_t>(index - m_origin) % capacity() * 2; }
    void grow(size_t needed);
    // Hands the `count` frames from `index` on to `f(float *frames, size_t n)` in runs as they
    // lie in the ring, and moves `index` past them.
    template <typename F>
    void forRuns(int64_t &index, size_t count, F &&f)
    {
        while (count > 0) {
            const size_t slot = static_cast<size_t>(index - m_origin) % capacity();
            const size_t run = std::min(count, capacity() - slot);
            f(m_buffer.data() + slot * 2, run);
            count -= run;
            index += static_cast<int64_t>(run);
        }
    }

    SampleBuffer<float> m_buffer; // a ring: frame n lives at n - m_origin modulo the capacity
    int64_t m_origin = 0;
    int64_t m_begin = 0; // oldest frame kept
    int64_t m_read = 0;  // next frame to take
    int64_t m_end = 0;   // one past the newest
};

} // namespace bvaudio
