// A growable first-in first-out queue of 16-bit samples. Not thread-safe: the
// owning channel guards it with its mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include "mix/sample_buffer.h"

namespace bvaudio {

class SampleFifo {
public:
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

    void push(const int16_t *samples, size_t count);
    // Copies up to `count` samples out; returns how many.
    size_t pop(int16_t *out, size_t count);
    void clear() { m_head = m_size = 0; }

private:
    void grow(size_t needed);

    SampleBuffer<int16_t> m_buffer;
    size_t m_head = 0;
    size_t m_size = 0;
};

} // namespace bvaudio
