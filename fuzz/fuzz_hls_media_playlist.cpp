// HLS media playlists on arbitrary bytes: every segment kept has a positive duration and a
// network URL, and the poll interval stays one a timer can serve.
#include "bvhlsmediaplaylist.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const BVHlsChunks chunks =
        BVHlsMediaPlaylist::chunks(bytes, QUrl(QStringLiteral("http://radio.test/live/list.m3u8")), 64000);
    if (chunks.size() > BVHlsMediaPlaylist::kMaxSegments)
        std::abort();
    for (const BVHlsChunk &chunk : chunks) {
        const QString scheme = chunk.url.scheme();
        if (!(chunk.duration > 0.0) || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
            std::abort();
    }
    const int interval = BVHlsMediaPlaylist::pollInterval(chunks);
    if (interval <= 100 || interval > BVHlsMediaPlaylist::kMaxPollInterval)
        std::abort();
    return 0;
}
