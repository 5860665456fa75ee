#include "mix/mix_queue.h"

#include <algorithm>

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

void MixQueue::rewindTo(int64_t index)
{
    m_read = std::clamp(index, m_begin, m_read);
}

void MixQueue::release(int64_t index)
{
    m_begin = std::clamp(index, m_begin, m_read);
}

} // namespace bvaudio
