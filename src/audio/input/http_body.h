// The framing of an HTTP response body: as it comes until the server closes, a
// Content-Length's worth, or chunked. Takes bytes off the wire and hands on the payload.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace bvaudio {

class HttpBody {
public:
    enum class Framing { UntilClose, Length, Chunked };
    // A chunk-size or trailer line longer than this is not HTTP.
    static constexpr size_t kMaxLine = 4096;

    HttpBody(Framing framing, uint64_t length) : m_framing(framing), m_left(length) {}

    // Hands the payload among `size` wire bytes to `sink(data, size)`, which returns false
    // to stop. Returns how many wire bytes were taken (all of them unless the body completed,
    // the sink stopped or the framing broke).
    template <typename Sink>
    size_t feed(const char *data, size_t size, Sink &&sink);

    bool complete() const { return m_state == State::Done; }
    bool broken() const { return m_state == State::Broken; }
    // The server closed the connection: fine for a body that runs until then, or one that completed.
    bool acceptsClose() const { return m_framing == Framing::UntilClose || complete(); }

private:
    enum class State { Size, Data, DataEnd, Trailer, Done, Broken };
    // Takes one byte of a chunk-size, chunk-end or trailer line.
    void takeLineByte(char c);

    Framing m_framing;
    uint64_t m_left; // payload bytes left: of the body (Length) or of the chunk (Chunked)
    State m_state = m_framing == Framing::Chunked ? State::Size
                    : m_framing == Framing::Length && m_left == 0 ? State::Done : State::Data;
    std::string m_line;
};

template <typename Sink>
size_t HttpBody::feed(const char *data, size_t size, Sink &&sink)
{
    size_t used = 0;
    while (used < size && m_state != State::Done && m_state != State::Broken) {
        if (m_state != State::Data) {
            takeLineByte(data[used++]);
            continue;
        }
        size_t n = size - used;
        if (m_framing != Framing::UntilClose)
            n = static_cast<size_t>(std::min<uint64_t>(n, m_left));
        if (!sink(data + used, n))
            return used;
        used += n;
        if (m_framing == Framing::UntilClose)
            continue;
        m_left -= n;
        if (m_left == 0)
            m_state = m_framing == Framing::Length ? State::Done : State::DataEnd;
    }
    return used;
}

} // namespace bvaudio
