#include "mix/mix_queue.h"

#include <algorithm>
#include <cstring>

namespace bvaudio {

void MixQueue::grow(size_t needed)
{
    // The kept frames are turned to start at the front, then the free space is added behind them.
    if (capacity() > 0) {
        std::rotate(m_buffer.data(), at(m_begin), m_buffer.data() + m_buffer.size());
        m_origin = m_begin;
    }
    m_buffer.grow(std::max({needed, capacity() * 3 / 2, size_t(1024)}) * 2);
}

void MixQueue::push(const float *frames, size_t count)
{
    const size_t kept = static_cast<size_t>(m_end - m_begin);
    if (kept + count > capacity())
        grow(kept + count);
    for (size_t done = 0; done < count;) {
        const size_t slot = static_cast<size_t>(m_end - m_origin) % capacity();
        const size_t run = std::min(count - done, capacity() - slot);
        std::memcpy(m_buffer.data() + slot * 2, frames + done * 2, run * 2 * sizeof(float));
        done += run;
        m_end += static_cast<int64_t>(run);
    }
}

void MixQueue::rewindTo(int64_t index)
{
    m_read = std::clamp(index, m_begin, m_read);
}

void MixQueue::release(int64_t index)
{
    m_begin = std::clamp(index, m_begin, m_read);
}

} // namespace bvaudio
