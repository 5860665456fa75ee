#include "mix/mix_queue.h"

#include <algorithm>
#include <cstring>

namespace bvaudio {

void MixQueue::grow(size_t needed)
{
    std::vector<float> bigger(std::max({needed, capacity() * 3 / 2, size_t(1024)}) * 2);
    const size_t kept = static_cast<size_t>(m_end - m_begin);
    const size_t newCapacity = bigger.size() / 2;
    for (size_t i = 0; i < kept; ++i) {
        const int64_t index = m_begin + static_cast<int64_t>(i);
        std::memcpy(bigger.data() + static_cast<size_t>(index) % newCapacity * 2, at(index), 2 * sizeof(float));
    }
    m_buffer.swap(bigger);
}

void MixQueue::push(const float *frames, size_t count)
{
    const size_t kept = static_cast<size_t>(m_end - m_begin);
    if (kept + count > capacity())
        grow(kept + count);
    for (size_t done = 0; done < count;) {
        const size_t slot = static_cast<size_t>(m_end) % capacity();
        const size_t run = std::min(count - done, capacity() - slot);
        std::memcpy(m_buffer.data() + slot * 2, frames + done * 2, run * 2 * sizeof(float));
        done += run;
        m_end += static_cast<int64_t>(run);
    }
}

void MixQueue::take(float *out, size_t count)
{
    count = std::min(count, pending());
    for (size_t done = 0; done < count;) {
        const size_t slot = static_cast<size_t>(m_read) % capacity();
        const size_t run = std::min(count - done, capacity() - slot);
        std::memcpy(out + done * 2, m_buffer.data() + slot * 2, run * 2 * sizeof(float));
        done += run;
        m_read += static_cast<int64_t>(run);
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
