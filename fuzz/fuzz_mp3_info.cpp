// The MP3 length headers on arbitrary bytes: no read outside the input, and a length that is
// either unknown or positive.
#include "mp3_info.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int64_t tag = bvaudio::id3v2TagSize(data, size);
    if (tag < 0)
        std::abort();
    const int64_t samples = bvaudio::mp3HeaderSamples(data, size);
    if (samples == 0 || samples < -1)
        std::abort();
    return 0;
}
