// Converts interleaved or planar PCM between sample formats, channel counts
// and rates (FFmpeg's swresample): the decoder's codec output to 16-bit, and
// a channel's 16-bit audio to the mixer's float stereo at the device rate.
#pragma once

#include <cstdint>

struct AVChannelLayout;
struct SwrContext;

namespace bvaudio {

class Resampler {
public:
    Resampler() = default;
    ~Resampler();
    Resampler(const Resampler &) = delete;
    Resampler &operator=(const Resampler &) = delete;

    // Sets up the conversion; `sampleFormat`s are AVSampleFormat values. Keeps the
    // current set-up (and its delay line) when nothing changed. False on failure.
    bool configure(const AVChannelLayout &inLayout, int inFormat, int inRate, int outChannels, int outFormat,
                   int outRate);
    bool configure(int inChannels, int inFormat, int inRate, int outChannels, int outFormat, int outRate);
    bool isConfigured() const { return m_swr != nullptr; }
    int inRate() const { return m_inRate; }
    int outRate() const { return m_outRate; }

    // Frames `inFrames` input frames may give, with what the delay line holds.
    int outFramesFor(int inFrames) const;
    // Converts `inFrames` frames (nullptr input drains the delay line); returns output frames, <0 on error.
    int convert(uint8_t **out, int outCapacity, const uint8_t *const *in, int inFrames);
    // Drops the set-up and the audio in its delay line.
    void reset();

private:
    SwrContext *m_swr = nullptr;
    int m_inRate = 0;
    int m_inFormat = -1;
    int m_outRate = 0;
    int m_outFormat = -1;
    int m_inChannels = 0;
    int m_outChannels = 0;
};

} // namespace bvaudio
