#include "input/icy_demuxer.h"

#include <algorithm>

namespace bvaudio {
namespace {

bool isValidUtf8(const std::string &s)
{
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 99;
        if (extra == 99 || i + extra >= s.size())
            return false;
        for (size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2)
                return false;
        i += extra + 1;
    }
    return true;
}

} // namespace

std::string IcyDemuxer::toUtf8(const std::string &text)
{
    if (isValidUtf8(text))
        return text;
    std::string out;
    out.reserve(text.size() * 2);
    for (unsigned char c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

void IcyDemuxer::feed(const uint8_t *data, size_t size, std::vector<uint8_t> &audio,
                      const std::function<void(const std::string &)> &onMeta)
{
    if (m_metaInt == 0) {
        audio.insert(audio.end(), data, data + size);
        return;
    }
    while (size > 0) {
        switch (m_state) {
        case State::Audio: {
            const size_t n = std::min(size, m_untilMeta);
            audio.insert(audio.end(), data, data + n);
            data += n;
            size -= n;
            m_untilMeta -= n;
            if (m_untilMeta == 0)
                m_state = State::Length;
            break;
        }
        case State::Length:
            m_textLeft = static_cast<size_t>(*data++) * 16;
            --size;
            m_text.clear();
            m_untilMeta = m_metaInt;
            m_state = m_textLeft ? State::Text : State::Audio;
            break;
        case State::Text: {
            const size_t n = std::min(size, m_textLeft);
            m_text.append(reinterpret_cast<const char *>(data), n);
            data += n;
            size -= n;
            m_textLeft -= n;
            if (m_textLeft == 0) {
                m_text.erase(std::find(m_text.begin(), m_text.end(), '\0'), m_text.end());
                if (!m_text.empty())
                    onMeta(toUtf8(m_text));
                m_state = State::Audio;
            }
            break;
        }
        }
    }
}

} // namespace bvaudio
