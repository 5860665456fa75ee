// Demuxes and decodes one audio stream from a ByteInput into 16-bit
// interleaved PCM at the source's own rate and channel count (FFmpeg).
#pragma once

#include "bass.h"
#include "byte_input.h"
#include "resampler.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVIOContext;
struct AVPacket;
struct AVFrame;

namespace bvaudio {

// Handles of the built-in format sets that carry the plug-in names.
constexpr HPLUGIN kOpusPlugin = 1; // "bassopus"
constexpr HPLUGIN kHlsPlugin = 2;  // "basshls": MPEG-TS

class Decoder {
public:
    struct Options {
        int64_t probeBytes = 0;      // 0 = FFmpeg's default probe size
        const char *formatHint = nullptr; // FFmpeg demuxer short name, or nullptr
        // Open without seeking (a download that has not arrived yet); seek afterwards.
        bool seekOnlyAfterOpen = false;
        // Opening gives up at this time (the creation's deadline); the epoch = no limit.
        std::chrono::steady_clock::time_point deadline{};
    };

    // Bytes format detection may read before it gives up (room for large cover-art tags).
    static constexpr int64_t kMaxOpenBytes = 16 * 1024 * 1024;
    // Bytes read without a single decoded sample before the stream counts as broken.
    static constexpr int64_t kMaxJunkBytes = 1024 * 1024;
    // The demuxers the engine serves; nothing else (no playlist readers that open more locations).
    // The largest MPEG audio frame: the one that may carry a Xing or VBRI header.
    static constexpr int kMaxMp3HeaderFrame = 2881;
    static constexpr const char *kFormats = "mp3,aac,loas,ogg,flac,wav,w64,aiff,mpegts,mov,matroska,asf";

    // Opens the input's first audio stream. On failure returns nullptr and sets
    // `error` to a BASS_ERROR_* code. The input must outlive the decoder.
    static std::unique_ptr<Decoder> open(ByteInput &input, const Options &options, int &error);
    ~Decoder();

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
    Status decode(std::vector<int16_t> &out);
    ByteInput &input() { return m_input; }
    // Seeks to a byte position of the decoded data, exact to the sample.
    bool seek(uint64_t bytePosition);

private:
    explicit Decoder(ByteInput &input);
    int openStream(const Options &options);
    static int readPacket(void *opaque, uint8_t *buffer, int size);
    std::vector<uint8_t> readAt(int64_t position, int size);
    int64_t mp3LengthBytes();
    static int interrupted(void *opaque);
    Status receiveFrames(std::vector<int16_t> &out);
    void appendFrame(const AVFrame *frame, std::vector<int16_t> &out);

    ByteInput &m_input;
    AVIOContext *m_io = nullptr;
    AVFormatContext *m_format = nullptr;
    AVCodecContext *m_codec = nullptr;
    Resampler m_resampler; // codec output to 16-bit interleaved
    AVPacket *m_packet = nullptr;
    AVFrame *m_frame = nullptr;
    int m_streamIndex = -1;
    int m_rate = 0;
    int m_channels = 0;
    DWORD m_ctype = BASS_CTYPE_STREAM;
    DWORD m_resolution = 0;
    HPLUGIN m_plugin = 0;
    int64_t m_lengthBytes = -1;
    int64_t m_bitRate = 0;
    bool m_draining = false;
    bool m_opening = true;
    std::chrono::steady_clock::time_point m_deadline{};
    int64_t m_bytesRead = 0;      // from the input, in all
    int64_t m_bytesAtLastSample = 0; // m_bytesRead when the last samples were decoded
    // After a seek: decoded samples (per channel) before this one are dropped.
    int64_t m_skipToSample = -1;
    std::vector<int16_t> m_convertBuffer;
};

} // namespace bvaudio
