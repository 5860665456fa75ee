// MPEG audio framing: recognising an MPEG audio stream from its first bytes, and the
// MP3 headers that tell a file's exact decoded length before decoding it (the Xing/Info
// header with LAME's encoder delay and padding, or the VBRI header in the first frame).
// Pure functions over bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bvaudio {

// Size of the ID3v2 tag (header, body and footer) at the start of `data`; 0 without one.
int64_t id3v2TagSize(const uint8_t *data, size_t size);

// Length in bytes of the MPEG audio (layer I, II or III) frame whose 4-byte header is at
// `header`; 0 when those bytes are no valid header (free-format frames included).
int mpegFrameLength(const uint8_t *header);

// Offset of the first frame in `data` that is followed by a second frame of the same
// version, layer and sample rate: where an MPEG audio stream begins; -1 when `data` holds
// no such pair. ADTS AAC (layer bits 00) does not count.
int64_t mpegAudioStart(const uint8_t *data, size_t size);

// Decoded samples per channel announced by the header frame at the start of `data` (the
// first bytes after any ID3v2 tag): frames x samples per frame, less LAME's encoder delay
// and padding, which decoders drop. -1 when the first frame carries no such header.
int64_t mp3HeaderSamples(const uint8_t *data, size_t size);

} // namespace bvaudio
