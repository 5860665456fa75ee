// The decoder for every format but MPEG audio: FFmpeg's demuxers and codecs. It lives in
// a module of its own that the engine loads only when such a stream is opened, so that a
// process playing MP3 never maps FFmpeg and the many libraries it pulls in.
#pragma once

#include "decode/decoder.h"
#include "sample_converter.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVIOContext;
struct AVPacket;
struct AVFrame;

// The module's one entry point, looked up by this name.
#define BV_FFMPEG_OPEN_SYMBOL "bvaudioOpenFfmpegDecoder"
extern "C" {
using BvFfmpegOpenFunction = bvaudio::Decoder *(bvaudio::ByteInput &input, const bvaudio::Decoder::Options &options,
                                                int &error);
}

namespace bvaudio {

class FfmpegDecoder : public Decoder {
public:
    // The demuxers the engine serves; nothing else (no playlist readers that open more locations).
    static constexpr const char *kFormats = "mp3,aac,loas,ogg,flac,wav,w64,aiff,mpegts,mov,matroska,asf";

    static std::unique_ptr<Decoder> open(ByteInput &input, const Options &options, int &error);
    ~FfmpegDecoder() override;

    Status decode(std::vector<int16_t> &out) override;
    bool seek(uint64_t bytePosition) override;

private:
    explicit FfmpegDecoder(ByteInput &input) : Decoder(input) {}
    int openStream(const Options &options);
    static int readPacket(void *opaque, uint8_t *buffer, int size);
    static int64_t seekInput(void *opaque, int64_t offset, int whence);
    static int interrupted(void *opaque);
    Status receiveFrames(std::vector<int16_t> &out);
    void appendFrame(const AVFrame *frame, std::vector<int16_t> &out);

    AVIOContext *m_io = nullptr;
    AVFormatContext *m_format = nullptr;
    AVCodecContext *m_codec = nullptr;
    SampleConverter m_converter; // codec output to 16-bit interleaved
    AVPacket *m_packet = nullptr;
    AVFrame *m_frame = nullptr;
    int m_streamIndex = -1;
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
