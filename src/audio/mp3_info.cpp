#include "mp3_info.h"

#include <cstring>

namespace bvaudio {
namespace {

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool hasTag(const uint8_t *data, size_t size, size_t offset, const char *tag)
{
    return offset + 4 <= size && std::memcmp(data + offset, tag, 4) == 0;
}

// Samples from a Xing/Info header at `offset`, with the LAME tag after it when there is one.
int64_t xingSamples(const uint8_t *data, size_t size, size_t offset, int samplesPerFrame)
{
    if (offset + 8 > size)
        return -1;
    const uint32_t flags = be32(data + offset + 4);
    if (!(flags & 1) || offset + 12 > size)
        return -1; // no frame count
    const int64_t frames = be32(data + offset + 8);
    size_t lame = offset + 12;
    if (flags & 2)
        lame += 4;   // stream size
    if (flags & 4)
        lame += 100; // seek table
    if (flags & 8)
        lame += 4;   // quality
    int64_t samples = frames * samplesPerFrame;
    const bool encoderTag = hasTag(data, size, lame, "LAME") || hasTag(data, size, lame, "Lavf")
                            || hasTag(data, size, lame, "Lavc");
    if (encoderTag && lame + 24 <= size) {
        const uint8_t *gap = data + lame + 21;
        const int delay = gap[0] << 4 | gap[1] >> 4;
        const int padding = (gap[1] & 0x0f) << 8 | gap[2];
        samples -= delay + padding;
    }
    return samples > 0 ? samples : -1;
}

} // namespace

int64_t id3v2TagSize(const uint8_t *data, size_t size)
{
    if (size < 10 || std::memcmp(data, "ID3", 3) != 0)
        return 0;
    int64_t body = 0;
    for (int i = 6; i < 10; ++i) {
        if (data[i] & 0x80)
            return 0; // not a sync-safe size: not a tag
        body = body << 7 | data[i];
    }
    const bool footer = data[5] & 0x10;
    return 10 + body + (footer ? 10 : 0);
}

int64_t mp3HeaderSamples(const uint8_t *data, size_t size)
{
    if (size < 4 || data[0] != 0xff || (data[1] & 0xe0) != 0xe0)
        return -1;
    const int version = data[1] >> 3 & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const int layer = data[1] >> 1 & 3;   // 1 Layer III
    if (version == 1 || layer != 1)
        return -1;
    const bool mpeg1 = version == 3;
    const bool mono = (data[3] >> 6) == 3;
    const int samplesPerFrame = mpeg1 ? 1152 : 576;
    const size_t sideInfo = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    const size_t xing = 4 + sideInfo;
    if (hasTag(data, size, xing, "Xing") || hasTag(data, size, xing, "Info"))
        return xingSamples(data, size, xing, samplesPerFrame);
    // VBRI: always 32 bytes after the frame header; its frame count follows version, delay, quality and size.
    if (hasTag(data, size, 36, "VBRI") && 36 + 18 <= size) {
        const int64_t frames = be32(data + 36 + 14);
        return frames > 0 ? frames * samplesPerFrame : -1;
    }
    return -1;
}

} // namespace bvaudio
