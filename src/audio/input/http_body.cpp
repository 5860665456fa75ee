#include "input/http_body.h"

#include "text_util.h"

namespace bvaudio {

void HttpBody::takeLineByte(char c)
{
    if (c != '\n') {
        if (m_line.size() >= kMaxLine)
            m_state = State::Broken;
        m_line += c;
        return;
    }
    const std::string line = trimmed(m_line);
    m_line.clear();
    switch (m_state) {
    case State::Size: {
        // "SIZE[;extensions]": hex digits, at most 15 of them so that the size cannot overflow.
        const std::string digits = trimmed(line.substr(0, line.find(';')));
        if (digits.empty() || digits.size() > 15 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            m_state = State::Broken;
            return;
        }
        m_left = std::stoull(digits, nullptr, 16);
        m_state = m_left == 0 ? State::Trailer : State::Data;
        return;
    }
    case State::DataEnd:
        m_state = line.empty() ? State::Size : State::Broken;
        return;
    case State::Trailer:
        if (line.empty())
            m_state = State::Done;
        return;
    default:
        return;
    }
}

} // namespace bvaudio
