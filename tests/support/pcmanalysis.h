// Measurements on 16-bit interleaved PCM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bvtest {

using Pcm = std::vector<int16_t>;

// RMS of all samples, 0..1.
double rms(const Pcm &pcm);
// The first channel of interleaved PCM.
Pcm firstChannel(const Pcm &pcm, int channels);
// Drops leading and trailing near-silence.
Pcm trimSilence(const Pcm &mono, int threshold = 300);
// The runs of near-silence of `minMs` or more between a mono signal's first and last sound, holes
// in a tone, as "at 120.5 ms: 33.0 ms, …"; empty when there are none.
std::string silentGaps(const Pcm &mono, int rate, double minMs = 2.0, int threshold = 100);
// Frequency estimated from zero crossings of a mono tone.
double zeroCrossingFrequency(const Pcm &mono, int rate);
// Relative power of `frequency` in a mono signal (Goertzel), 0..~0.5 for a full-scale tone.
double tonePower(const Pcm &mono, int rate, double frequency);
// Where another of `tones` than the one before begins to dominate a mono signal (for 50 ms
// at least, so onsets and gaps do not count): ms from its start, and that tone.
struct ToneChange {
    double ms = 0;
    double tone = 0;
};
std::vector<ToneChange> toneChanges(const Pcm &mono, int rate, const std::vector<double> &tones);

} // namespace bvtest
