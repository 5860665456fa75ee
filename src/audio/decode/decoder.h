// Demuxes and decodes one audio stream from a ByteInput into 16-bit interleaved PCM at
// the source's own rate and channel count. MPEG audio is decoded by libmpg123 in the
// engine itself; every other format by FFmpeg, in a module loaded when first needed.
#pragma once

#include "bass.h"
#include "input/byte_input.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace bvaudio {

// Handles of the built-in format sets that carry the plug-in names.
constexpr HPLUGIN kOpusPlugin = 1; // "bassopus"
constexpr HPLUGIN kHlsPlugin = 2;  // "basshls": MPEG-TS

class Decoder {
public:
    struct Options {
        int64_t probeBytes = 0;      // 0 = the decoder's default probe size
        const char *formatHint = nullptr; // format short name ("mp3", "aac", "mpegts" …), or nullptr
        // Open without seeking (a download that has not arrived yet); seek afterwards.
        bool seekOnlyAfterOpen = false;
        // Opening gives up at this time (the creation's deadline); the epoch = no limit.
        std::chrono::steady_clock::time_point deadline{};
    };

    // Bytes format detection may read before it gives up: room for large cover art, while
    // FFmpeg's parsers hold about twice what they read of input that never yields a frame.
    static constexpr int64_t kMaxOpenBytes = 8 * 1024 * 1024;
    // Bytes read without a single decoded sample before the stream counts as broken.
    static constexpr int64_t kMaxJunkBytes = 1024 * 1024;

    // Opens the input's first audio stream. On failure returns nullptr and sets
    // `error` to a BASS_ERROR_* code. The input must outlive the decoder.
    static std::unique_ptr<Decoder> open(ByteInput &input, const Options &options, int &error);
    virtual ~Decoder() = default;
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    int sampleRate() const { return m_rate; }
    int channels() const { return m_channels; }
    DWORD ctype() const { return m_ctype; }
    DWORD originalResolution() const { return m_resolution; }
    // The built-in set serving this format, 0 for core formats.
    HPLUGIN plugin() const { return m_plugin; }
    // Decoded length in bytes, -1 when unknown.
    int64_t lengthBytes() const { return m_lengthBytes; }
    bool canSeek() const { return m_input.isSeekable(); }
    // The stream's bit rate in bit/s, 0 when unknown.
    int64_t bitRate() const { return m_bitRate; }

    enum class Status { Data, End, Error };
    // Appends the next decoded samples to `out`.
    virtual Status decode(std::vector<int16_t> &out) = 0;
    ByteInput &input() { return m_input; }
    // Seeks to a byte position of the decoded data, exact to the sample.
    virtual bool seek(uint64_t bytePosition) = 0;

protected:
    explicit Decoder(ByteInput &input) : m_input(input) {}

    ByteInput &m_input;
    int m_rate = 0;
    int m_channels = 0;
    DWORD m_ctype = BASS_CTYPE_STREAM;
    DWORD m_resolution = 0;
    HPLUGIN m_plugin = 0;
    int64_t m_lengthBytes = -1;
    int64_t m_bitRate = 0;
};

} // namespace bvaudio
