#include "mix/resampler.h"

#include "mix/mix_queue.h"

#include <soxr.h>

#include <algorithm>

namespace bvaudio {
namespace {

constexpr float kSide = 0.70710678f; // -3 dB: centre and surround channels on a front side

// Where each channel of a WAVE-ordered layout goes: 'L', 'R', 'C'entre or 'N'one (LFE).
char placeOf(int channel, int channels)
{
    if (channels == 4) // quad: front pair, back pair
        return "LRLR"[channel];
    static const char wave[] = "LRCNLRLR"; // FL FR FC LFE BL BR SL SR
    return channel < 8 ? wave[channel] : 'N';
}

} // namespace

Resampler::~Resampler()
{
    reset();
}

bool Resampler::configure(int inChannels, int inRate, int outRate)
{
    if (inChannels == m_inChannels && inRate == m_inRate && outRate == m_outRate)
        return true;
    reset();
    if (inChannels <= 0 || inRate <= 0 || outRate <= 0)
        return false;
    m_left.assign(static_cast<size_t>(inChannels), 0.0f);
    m_right.assign(static_cast<size_t>(inChannels), 0.0f);
    if (inChannels == 1) {
        m_left[0] = m_right[0] = 1.0f; // mono plays at full level on both sides
    } else {
        for (int c = 0; c < inChannels; ++c) {
            const char place = placeOf(c, inChannels);
            const float gain = c < 2 ? 1.0f : kSide;
            m_left[c] = place == 'L' || place == 'C' ? gain : 0.0f;
            m_right[c] = place == 'R' || place == 'C' ? gain : 0.0f;
        }
        // A fold-down keeps every output at or below full scale.
        float sum = 0.0f;
        for (float g : m_left)
            sum += g;
        for (float &g : m_left)
            g /= sum;
        for (float &g : m_right)
            g /= sum;
    }
    if (inRate != outRate) {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_error_t error = nullptr;
        m_soxr = soxr_create(inRate, outRate, 2, &error, &io, &quality, nullptr);
        if (error || !m_soxr) {
            reset();
            return false;
        }
    }
    m_inChannels = inChannels;
    m_inRate = inRate;
    m_outRate = outRate;
    return true;
}

void Resampler::toStereo(const int16_t *in, int frames, float *out) const
{
    constexpr float scale = 1.0f / 32768.0f;
    const auto count = static_cast<size_t>(frames);
    const auto channels = static_cast<size_t>(m_inChannels);
    if (channels == 2) { // the common case: a straight conversion, no per-frame branching
        for (size_t i = 0; i < 2 * count; ++i)
            out[i] = in[i] * scale;
        return;
    }
    for (size_t f = 0; f < count; ++f) {
        const int16_t *frame = in + f * channels;
        float left = 0.0f, right = 0.0f;
        for (size_t c = 0; c < channels; ++c) {
            left += frame[c] * m_left[c];
            right += frame[c] * m_right[c];
        }
        out[2 * f] = left * scale;
        out[2 * f + 1] = right * scale;
    }
}

bool Resampler::convert(const int16_t *in, int inFrames, MixQueue &out)
{
    if (!isConfigured())
        return false;
    if (!m_soxr) { // at the device's rate: converted straight into the queue
        if (!in)
            return true; // nothing delayed
        out.append(static_cast<size_t>(inFrames), [this, &in](float *to, size_t frames) {
            toStereo(in, static_cast<int>(frames), to);
            in += frames * static_cast<size_t>(m_inChannels);
        });
        return true;
    }
    const float *stereo = nullptr;
    if (in) {
        m_stereo.resize(static_cast<size_t>(inFrames) * 2);
        toStereo(in, inFrames, m_stereo.data());
        stereo = m_stereo.data();
    }
    // Room for the converted input and what the delay line releases; loop until all is out.
    size_t inLeft = in ? static_cast<size_t>(inFrames) : 0;
    while (true) {
        const size_t room = inLeft * static_cast<size_t>(m_outRate) / static_cast<size_t>(m_inRate) + 256;
        m_converted.resize(room * 2);
        size_t used = 0, made = 0;
        if (soxr_process(m_soxr, stereo, inLeft, &used, m_converted.data(), room, &made))
            return false;
        out.push(m_converted.data(), made);
        if (stereo)
            stereo += used * 2;
        inLeft -= std::min(used, inLeft);
        if (made < room && inLeft == 0)
            return true;
    }
}

int64_t Resampler::heldBackFrames(int inRate, int outRate)
{
    if (inRate == outRate || inRate <= 0)
        return 0;
    // libsoxr at high quality releases its output in blocks: it holds back up to about 1,400
    // input frames when it raises the rate and about 1,300 output frames when it lowers it.
    constexpr int64_t kBlockFrames = 1500;
    return std::max<int64_t>(kBlockFrames, (kBlockFrames * outRate + inRate - 1) / inRate);
}

void Resampler::reset()
{
    if (m_soxr)
        soxr_delete(m_soxr);
    m_soxr = nullptr;
    m_inChannels = m_inRate = m_outRate = 0;
}

} // namespace bvaudio
