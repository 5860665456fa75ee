// The timed ID3 demuxer (MPEG-TS, PES reassembly across segments, TagLib's ID3v2 parser)
// on arbitrary bytes, cut into two segments at a point the input chooses.
#include "bvhlsdemuxer.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const qsizetype cut = qsizetype((data[0] << 8 | data[1]) % size);
    const QByteArray bytes(reinterpret_cast<const char *>(data) + 2, qsizetype(size - 2));
    BVHlsDemuxer demuxer;
    for (const QByteArray &segment : {bytes.left(cut), bytes.mid(cut)}) {
        BVHlsChunk chunk;
        demuxer.demux(chunk, segment);
        // The segment stays as it came, and every text sits at its end.
        if (chunk.data != segment)
            std::abort();
        for (auto it = chunk.meta.cbegin(); it != chunk.meta.cend(); ++it)
            if (it.key() != segment.size())
                std::abort();
    }
    return 0;
}
