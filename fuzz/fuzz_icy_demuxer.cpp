// The ICY demuxer on arbitrary bodies: the first byte picks the metadata
// interval, the second the size of the pieces the body arrives in.
#include "input/icy_demuxer.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t metaInt = data[0] * 16;
    const size_t piece = data[1] + 1u;
    data += 2;
    size -= 2;
    bvaudio::IcyDemuxer demuxer(metaInt);
    std::vector<uint8_t> audio;
    size_t metaBytes = 0;
    for (size_t offset = 0; offset < size; offset += piece)
        demuxer.feed(data + offset, std::min(piece, size - offset), audio,
                     [&](const std::string &meta) { metaBytes += meta.size(); });
    // Every byte is audio or metadata framing: audio never grows beyond the input.
    if (audio.size() > size)
        std::abort();
    return 0;
}
