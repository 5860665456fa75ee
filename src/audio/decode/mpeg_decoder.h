// MPEG audio (layers I, II and III) decoded by libmpg123, reading through the engine's
// ByteInput: the formats most radio streams use, without loading FFmpeg.
#pragma once

#include "decode/decoder.h"

#include <sys/types.h>

struct mpg123_handle_struct;

namespace bvaudio {

class MpegDecoder : public Decoder {
public:
    // Where the stream's first frame begins, and the bytes from there on (at least its
    // first frame, which may carry the Xing/Info or VBRI length header).
    struct Start {
        int64_t offset = -1;
        std::vector<uint8_t> head;
    };

    static std::unique_ptr<Decoder> open(ByteInput &input, const Options &options, const Start &start, int &error);
    ~MpegDecoder() override;

    Status decode(std::vector<int16_t> &out) override;
    bool seek(uint64_t bytePosition) override;

private:
    explicit MpegDecoder(ByteInput &input) : Decoder(input) {}
    int openStream(const Options &options, const Start &start);
    static ssize_t readInput(void *opaque, void *buffer, size_t size);
    static off_t seekInput(void *opaque, off_t offset, int whence);
    void allowFormats(int channels);
    bool skipToStart(bool canSeek);
    bool timedOut() const;

    mpg123_handle_struct *m_handle = nullptr;
    bool m_opening = true;
    int64_t m_start = 0;             // where the first frame begins in the input
    std::chrono::steady_clock::time_point m_deadline{};
    int64_t m_position = 0;          // the input's read position
    int64_t m_bytesRead = 0;         // from the input, in all
    int64_t m_bytesAtLastSample = 0; // m_bytesRead when the last samples were decoded
};

} // namespace bvaudio
