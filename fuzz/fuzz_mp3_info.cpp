// MPEG audio framing and the MP3 length headers on arbitrary bytes: no read outside the
// input, a length that is either unknown or positive, a stream start inside the input.
#include "decode/mp3_info.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int64_t tag = bvaudio::id3v2TagSize(data, size);
    if (tag < 0)
        std::abort();
    const int64_t samples = bvaudio::mp3HeaderSamples(data, size);
    if (samples == 0 || samples < -1)
        std::abort();
    // A stream start lies inside the input, with a whole frame header there.
    const int64_t start = bvaudio::mpegAudioStart(data, size);
    if (start < -1 || (start >= 0 && (size_t(start) + 4 > size || bvaudio::mpegFrameLength(data + start) <= 0)))
        std::abort();
    return 0;
}
