// The player's playlist classification and the lists it reads (HLS
// multivariant, HLS media, JSON master list, icy-br) on arbitrary bytes.
#include "bvplaylistformats.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QUrl remote(QStringLiteral("http://radio.test/hls/master.m3u8"));
    BVPlaylistStreams streams;
    switch (BVPlaylistFormats::classify(bytes)) {
    case BVPlaylistFormats::Kind::HlsMaster: streams = BVPlaylistFormats::hlsMasterStreams(bytes, remote); break;
    case BVPlaylistFormats::Kind::JsonMaster: streams = BVPlaylistFormats::jsonMasterStreams(bytes); break;
    case BVPlaylistFormats::Kind::HlsMedia: BVPlaylistFormats::hlsMediaBitrate(bytes, 64000); break;
    case BVPlaylistFormats::Kind::Plain: BVPlaylistFormats::icyBitrate(bytes.left(64), 64000); break;
    }
    // Whatever a remote list names, what remains after the origin check is a network URL.
    for (const QUrl &url : BVPlaylistFormats::allowedEntries(streams, remote, nullptr))
        if (url.scheme().toLower() != QLatin1String("http") && url.scheme().toLower() != QLatin1String("https"))
            std::abort();
    return 0;
}
