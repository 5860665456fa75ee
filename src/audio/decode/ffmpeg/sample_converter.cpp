#include "sample_converter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace bvaudio {

SampleConverter::~SampleConverter()
{
    swr_free(&m_swr);
}

bool SampleConverter::configure(const AVChannelLayout &layout, int format, int rate)
{
    swr_free(&m_swr);
    // FFmpeg 5.1 takes the layouts without const; it only reads them.
    auto *channels = const_cast<AVChannelLayout *>(&layout);
    return swr_alloc_set_opts2(&m_swr, channels, AV_SAMPLE_FMT_S16, rate, channels, static_cast<AVSampleFormat>(format),
                               rate, 0, nullptr) >= 0
           && swr_init(m_swr) >= 0;
}

int SampleConverter::convert(int16_t *out, const uint8_t *const *in, int frames)
{
    auto *dst = reinterpret_cast<uint8_t *>(out);
    return swr_convert(m_swr, &dst, frames, const_cast<const uint8_t **>(in), frames);
}

} // namespace bvaudio
