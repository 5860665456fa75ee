// The timed ID3 demuxer (MPEG-TS, PES reassembly across segments, packed-audio tags, TagLib's ID3v2 parser)
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
        // The audio is the segment less what tags open it; timestamps are 33-bit; no title is empty.
        if (!segment.endsWith(chunk.data) || (chunk.data.size() != segment.size() && !segment.startsWith("ID3")))
            std::abort();
        if (chunk.pts >= (qint64(1) << 33))
            std::abort();
        for (const BVHlsTitle &title : chunk.titles)
            if (title.text.isEmpty() || title.pts >= (qint64(1) << 33))
                std::abort();
    }
    return 0;
}
