// Measurements on 16-bit interleaved PCM.
#pragma once

#include <cstdint>
#include <vector>

namespace bvtest {

using Pcm = std::vector<int16_t>;

// RMS of all samples, 0..1.
double rms(const Pcm &pcm);
// The first channel of interleaved PCM.
Pcm firstChannel(const Pcm &pcm, int channels);
// Drops leading and trailing near-silence.
Pcm trimSilence(const Pcm &mono, int threshold = 300);
// Frequency estimated from zero crossings of a mono tone.
double zeroCrossingFrequency(const Pcm &mono, int rate);
// Relative power of `frequency` in a mono signal (Goertzel), 0..~0.5 for a full-scale tone.
double tonePower(const Pcm &mono, int rate, double frequency);

} // namespace bvtest
