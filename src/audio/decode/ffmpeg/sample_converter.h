// Converts a codec's output frames (any sample format, planar or not) to 16-bit
// interleaved PCM with the same channels and rate (FFmpeg's swresample).
#pragma once

#include <cstdint>

struct AVChannelLayout;
struct SwrContext;

namespace bvaudio {

class SampleConverter {
public:
    SampleConverter() = default;
    ~SampleConverter();
    SampleConverter(const SampleConverter &) = delete;
    SampleConverter &operator=(const SampleConverter &) = delete;

    // `format` is an AVSampleFormat value. False on failure.
    bool configure(const AVChannelLayout &layout, int format, int rate);
    // Converts `frames` frames into `out` (room for as many); returns the frames written, <0 on error.
    int convert(int16_t *out, const uint8_t *const *in, int frames);

private:
    SwrContext *m_swr = nullptr;
};

} // namespace bvaudio
