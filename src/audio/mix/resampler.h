// Turns a channel's 16-bit interleaved audio into the mixer's float stereo at the device
// rate: mono to both sides at full level, more channels folded down to two (WAVE order:
// front left and right, centre, LFE, then back and side pairs), and the rate converted
// by libsoxr when source and device differ.
#pragma once

#include <cstdint>
#include <vector>

struct soxr;

namespace bvaudio {

class MixQueue;

class Resampler {
public:
    Resampler() = default;
    ~Resampler();
    Resampler(const Resampler &) = delete;
    Resampler &operator=(const Resampler &) = delete;

    // Sets up the conversion; keeps the current set-up (and its delay line) when nothing
    // changed. False on failure.
    bool configure(int inChannels, int inRate, int outRate);
    bool isConfigured() const { return m_inChannels > 0; }
    int inRate() const { return m_inRate; }
    int outRate() const { return m_outRate; }

    // Appends the converted frames of `inFrames` input frames to `out`; nullptr input drains
    // the delay line. False on error.
    bool convert(const int16_t *in, int inFrames, MixQueue &out);
    // Drops the set-up and the audio in its delay line.
    void reset();
    // At most this many output frames of what was fed may still be held in the delay line
    // from `inRate` to `outRate`: what a channel's queue yields is counted without them.
    static int64_t heldBackFrames(int inRate, int outRate);

private:
    void toStereo(const int16_t *in, int frames, float *out) const;

    soxr *m_soxr = nullptr; // only while the rates differ
    int m_inChannels = 0;
    int m_inRate = 0;
    int m_outRate = 0;
    // Gains of each input channel on the left and right output.
    std::vector<float> m_left;
    std::vector<float> m_right;
    std::vector<float> m_stereo;    // input to libsoxr
    std::vector<float> m_converted; // output of libsoxr
};

} // namespace bvaudio
