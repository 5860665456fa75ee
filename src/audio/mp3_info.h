// The MP3 headers that tell a file's exact decoded length before decoding it:
// the Xing/Info header (with LAME's encoder delay and padding) or the VBRI header
// in the first frame. Pure functions over bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bvaudio {

// Size of the ID3v2 tag (header, body and footer) at the start of `data`; 0 without one.
int64_t id3v2TagSize(const uint8_t *data, size_t size);

// Decoded samples per channel announced by the header frame at the start of `data` (the
// first bytes after any ID3v2 tag): frames x samples per frame, less LAME's encoder delay
// and padding, which decoders drop. -1 when the first frame carries no such header.
int64_t mp3HeaderSamples(const uint8_t *data, size_t size);

} // namespace bvaudio
