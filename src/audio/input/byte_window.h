// The bytes of a download between what its reader may still go back to and what has
// arrived: appended at the end, read from a position inside, and dropped from the front
// once the reader is far enough past them. Not thread-safe: the network input guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bvaudio {

class ByteWindow {
public:
    // Bytes are dropped in steps of at least this many, so that the window is not moved for every append.
    static constexpr size_t kDropStep = 64 * 1024;

    // Drops what lies more than `keepBehind` bytes behind the reader, then appends.
    void append(const uint8_t *data, size_t size, size_t keepBehind);
    // Copies up to `size` bytes from the read position on and moves past them; returns how many.
    size_t read(uint8_t *out, size_t size);
    // Moves the read position to `position`; false when the window does not hold it.
    bool seek(uint64_t position);
    // The first `bytes` held (fewer when fewer arrived), for format detection before any read.
    std::string head(size_t bytes) const;

    size_t available() const { return m_bytes.size() - m_readIndex; }
    uint64_t start() const { return m_start; }
    uint64_t end() const { return m_start + m_bytes.size(); } // also every byte ever appended
    uint64_t readPosition() const { return m_start + m_readIndex; }

private:
    std::vector<uint8_t> m_bytes;
    uint64_t m_start = 0;    // stream position of m_bytes[0]
    size_t m_readIndex = 0;  // next byte to read, in m_bytes
};

} // namespace bvaudio
