#include "resampler.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <vector>

namespace bvaudio {

Resampler::~Resampler()
{
    reset();
}

bool Resampler::configure(int inChannels, int inFormat, int inRate, int outChannels, int outFormat, int outRate)
{
    AVChannelLayout in{};
    av_channel_layout_default(&in, inChannels);
    const bool ok = configure(in, inFormat, inRate, outChannels, outFormat, outRate);
    av_channel_layout_uninit(&in);
    return ok;
}

bool Resampler::configure(const AVChannelLayout &inLayout, int inFormat, int inRate, int outChannels, int outFormat,
                          int outRate)
{
    if (m_swr && inLayout.nb_channels == m_inChannels && inFormat == m_inFormat && inRate == m_inRate
        && outChannels == m_outChannels && outFormat == m_outFormat && outRate == m_outRate)
        return true;
    reset();
    AVChannelLayout out{};
    av_channel_layout_default(&out, outChannels);
    // FFmpeg 5.1 takes the input layout without const; it only reads it.
    const int rc = swr_alloc_set_opts2(&m_swr, &out, static_cast<AVSampleFormat>(outFormat), outRate,
                                       const_cast<AVChannelLayout *>(&inLayout), static_cast<AVSampleFormat>(inFormat),
                                       inRate, 0, nullptr);
    av_channel_layout_uninit(&out);
    // Mono plays at full level on every speaker, not 3 dB down as a centre channel would.
    const std::vector<double> monoToAll(static_cast<size_t>(std::max(outChannels, 1)), 1.0);
    const bool monoUpmix = inLayout.nb_channels == 1 && outChannels > 1;
    if (rc < 0 || (monoUpmix && swr_set_matrix(m_swr, monoToAll.data(), 1) < 0) || swr_init(m_swr) < 0) {
        reset();
        return false;
    }
    m_inChannels = inLayout.nb_channels;
    m_inFormat = inFormat;
    m_inRate = inRate;
    m_outChannels = outChannels;
    m_outFormat = outFormat;
    m_outRate = outRate;
    return true;
}

int Resampler::outFramesFor(int inFrames) const
{
    return swr_get_out_samples(m_swr, inFrames);
}

int Resampler::convert(uint8_t **out, int outCapacity, const uint8_t *const *in, int inFrames)
{
    return swr_convert(m_swr, out, outCapacity, const_cast<const uint8_t **>(in), inFrames);
}

void Resampler::reset()
{
    swr_free(&m_swr);
    m_inChannels = m_outChannels = 0;
    m_inRate = m_outRate = 0;
    m_inFormat = m_outFormat = -1;
}

} // namespace bvaudio
