#include "mix/sample_fifo.h"

#include <algorithm>
#include <cstring>

namespace bvaudio {

void SampleFifo::grow(size_t needed)
{
    // The contents are turned to start at the front, then the free space is added behind them.
    std::rotate(m_buffer.data(), m_buffer.data() + m_head, m_buffer.data() + m_buffer.size());
    m_head = 0;
    m_buffer.grow(std::max<size_t>({needed, m_buffer.size() * 3 / 2, 4096}));
}

void SampleFifo::push(const int16_t *samples, size_t count)
{
    if (count == 0)
        return;
    if (m_size + count > m_buffer.size())
        grow(m_size + count);
    size_t tail = (m_head + m_size) % m_buffer.size();
    size_t first = std::min(count, m_buffer.size() - tail);
    std::memcpy(m_buffer.data() + tail, samples, first * sizeof(int16_t));
    std::memcpy(m_buffer.data(), samples + first, (count - first) * sizeof(int16_t));
    m_size += count;
}

size_t SampleFifo::pop(int16_t *out, size_t count)
{
    count = std::min(count, m_size);
    if (count == 0)
        return 0;
    size_t first = std::min(count, m_buffer.size() - m_head);
    std::memcpy(out, m_buffer.data() + m_head, first * sizeof(int16_t));
    std::memcpy(out + first, m_buffer.data(), (count - first) * sizeof(int16_t));
    m_head = (m_head + count) % m_buffer.size();
    m_size -= count;
    return count;
}

} // namespace bvaudio
