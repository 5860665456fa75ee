// Splits an ICY (SHOUTcast/Icecast) response body into audio bytes and the
// metadata blocks inserted every `metaint` bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bvaudio {

class IcyDemuxer {
public:
    // metaInt 0 = no metadata: everything is audio.
    explicit IcyDemuxer(size_t metaInt) : m_metaInt(metaInt), m_untilMeta(metaInt) {}

    // Appends the audio of `data` to `audio`; each complete, non-empty metadata
    // block goes to `onMeta` as UTF-8 (Latin-1 text is converted).
    void feed(const uint8_t *data, size_t size, std::vector<uint8_t> &audio,
              const std::function<void(const std::string &)> &onMeta);

    // Valid UTF-8 stays as it is; anything else is read as Latin-1.
    static std::string toUtf8(const std::string &text);

private:
    enum class State { Audio, Length, Text };

    const size_t m_metaInt;
    State m_state = State::Audio;
    size_t m_untilMeta;
    size_t m_textLeft = 0;
    std::string m_text;
};

} // namespace bvaudio
