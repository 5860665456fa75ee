#include "byte_window.h"

#include <algorithm>
#include <cstring>

namespace bvaudio {

void ByteWindow::append(const uint8_t *data, size_t size, size_t keepBehind)
{
    if (m_readIndex > keepBehind + kDropStep) {
        const size_t drop = m_readIndex - keepBehind;
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<ptrdiff_t>(drop));
        m_start += drop;
        m_readIndex -= drop;
    }
    m_bytes.insert(m_bytes.end(), data, data + size);
}

size_t ByteWindow::read(uint8_t *out, size_t size)
{
    const size_t n = std::min(size, available());
    if (n > 0)
        std::memcpy(out, m_bytes.data() + m_readIndex, n);
    m_readIndex += n;
    return n;
}

bool ByteWindow::seek(uint64_t position)
{
    if (position < m_start || position > end())
        return false;
    m_readIndex = static_cast<size_t>(position - m_start);
    return true;
}

std::string ByteWindow::head(size_t bytes) const
{
    return std::string(m_bytes.begin(), m_bytes.begin() + static_cast<ptrdiff_t>(std::min(bytes, m_bytes.size())));
}

} // namespace bvaudio
