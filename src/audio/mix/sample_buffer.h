// Storage for samples that grows in place: realloc lets the C library move a
// large block by remapping its pages, so a ring that grows while playing is not
// resident twice (old and new copy) at that moment.
#pragma once

#include <cstdlib>
#include <new>
#include <type_traits>

namespace bvaudio {

template <typename T>
class SampleBuffer {
    static_assert(std::is_trivially_copyable_v<T>, "moved as raw bytes");

public:
    SampleBuffer() = default;
    SampleBuffer(const SampleBuffer &) = delete;
    SampleBuffer &operator=(const SampleBuffer &) = delete;
    ~SampleBuffer() { std::free(m_data); }

    T *data() { return m_data; }
    const T *data() const { return m_data; }
    size_t size() const { return m_size; }

    // Grows to `count` elements; the first size() keep their values, the others are unset.
    void grow(size_t count)
    {
        void *moved = std::realloc(m_data, count * sizeof(T));
        if (!moved)
            throw std::bad_alloc();
        m_data = static_cast<T *>(moved);
        m_size = count;
    }

private:
    T *m_data = nullptr;
    size_t m_size = 0;
};

} // namespace bvaudio
