#include "decode/mp3_info.h"

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

constexpr int kBitRates[2][3][15] = { // kbit/s by [MPEG-1?][layer I, II, III][index]
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
};
constexpr int kSampleRates[3] = {44100, 48000, 32000}; // MPEG-1; halved for 2, quartered for 2.5

// The bits two frames of one stream share: sync, version, layer and sample rate.
bool sameStream(const uint8_t *a, const uint8_t *b)
{
    return a[0] == b[0] && (a[1] & 0xfe) == (b[1] & 0xfe) && (a[2] & 0x0c) == (b[2] & 0x0c);
}

} // namespace

int mpegFrameLength(const uint8_t *h)
{
    if (h[0] != 0xff || (h[1] & 0xe0) != 0xe0)
        return 0;
    const int version = h[1] >> 3 & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const int layerBits = h[1] >> 1 & 3; // 3 layer I, 2 layer II, 1 layer III
    const int bitRateIndex = h[2] >> 4;
    const int rateIndex = h[2] >> 2 & 3;
    if (version == 1 || layerBits == 0 || bitRateIndex == 0 || bitRateIndex == 15 || rateIndex == 3)
        return 0;
    const bool mpeg1 = version == 3;
    const int layer = 4 - layerBits;
    const int bitRate = kBitRates[mpeg1][layer - 1][bitRateIndex] * 1000;
    const int sampleRate = kSampleRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const int padding = h[2] >> 1 & 1;
    if (layer == 1)
        return (12 * bitRate / sampleRate + padding) * 4;
    const int perSlot = (layer == 3 && !mpeg1) ? 72 : 144;
    return perSlot * bitRate / sampleRate + padding;
}

int64_t mpegAudioStart(const uint8_t *data, size_t size)
{
    for (size_t i = 0; i + 4 <= size; ++i) {
        const int length = mpegFrameLength(data + i);
        const size_t next = i + static_cast<size_t>(length);
        if (length > 0 && next + 4 <= size && mpegFrameLength(data + next) > 0 && sameStream(data + i, data + next))
            return static_cast<int64_t>(i);
    }
    return -1;
}

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
