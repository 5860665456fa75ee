#include "pcmanalysis.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <numeric>

namespace bvtest {

double rms(const Pcm &pcm)
{
    if (pcm.empty())
        return 0.0;
    const double sum = std::inner_product(pcm.begin(), pcm.end(), pcm.begin(), 0.0);
    return std::sqrt(sum / static_cast<double>(pcm.size())) / 32768.0;
}

Pcm firstChannel(const Pcm &pcm, int channels)
{
    Pcm mono;
    mono.reserve(pcm.size() / static_cast<size_t>(channels));
    for (size_t i = 0; i + static_cast<size_t>(channels) - 1 < pcm.size(); i += static_cast<size_t>(channels))
        mono.push_back(pcm[i]);
    return mono;
}

Pcm trimSilence(const Pcm &mono, int threshold)
{
    size_t first = 0, last = mono.size();
    while (first < last && std::abs(mono[first]) < threshold)
        ++first;
    while (last > first && std::abs(mono[last - 1]) < threshold)
        --last;
    return Pcm(mono.begin() + static_cast<ptrdiff_t>(first), mono.begin() + static_cast<ptrdiff_t>(last));
}

std::string silentGaps(const Pcm &mono, int rate, double minMs, int threshold)
{
    const Pcm sound = trimSilence(mono, threshold);
    const auto minLength = static_cast<size_t>(minMs * rate / 1000.0);
    std::string gaps;
    size_t quiet = 0;
    for (size_t i = 0; i <= sound.size(); ++i) {
        if (i < sound.size() && std::abs(sound[i]) < threshold) {
            ++quiet;
            continue;
        }
        if (quiet >= minLength) {
            char gap[64];
            std::snprintf(gap, sizeof gap, "%sat %.1f ms: %.1f ms", gaps.empty() ? "" : ", ", 1000.0 * (i - quiet) / rate,
                          1000.0 * quiet / rate);
            gaps += gap;
        }
        quiet = 0;
    }
    return gaps;
}

double zeroCrossingFrequency(const Pcm &mono, int rate)
{
    size_t crossings = 0, firstCrossing = 0, lastCrossing = 0;
    for (size_t i = 1; i < mono.size(); ++i) {
        if ((mono[i - 1] < 0) == (mono[i] < 0))
            continue;
        if (crossings++ == 0)
            firstCrossing = i;
        lastCrossing = i;
    }
    if (crossings < 3)
        return 0.0;
    const double seconds = static_cast<double>(lastCrossing - firstCrossing) / rate;
    return static_cast<double>(crossings - 1) / 2.0 / seconds;
}

double tonePower(const Pcm &mono, int rate, double frequency)
{
    if (mono.empty())
        return 0.0;
    const double w = 2.0 * M_PI * frequency / rate;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0.0, s2 = 0.0;
    for (int16_t sample : mono) {
        const double s0 = sample / 32768.0 + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    const double n = static_cast<double>(mono.size());
    return power / (n * n);
}

std::vector<ToneChange> toneChanges(const Pcm &mono, int rate, const std::vector<double> &tones)
{
    const size_t window = size_t(rate / 100);
    constexpr int kSteadyWindows = 5;
    std::vector<ToneChange> changes;
    double current = 0, candidate = 0;
    int run = 0;
    for (size_t at = 0; at + window <= mono.size(); at += window) {
        const Pcm part(mono.begin() + ptrdiff_t(at), mono.begin() + ptrdiff_t(at + window));
        if (rms(part) < 0.01) {
            run = 0;
            continue;
        }
        const double loudest = *std::max_element(tones.begin(), tones.end(), [&](double a, double b) {
            return tonePower(part, rate, a) < tonePower(part, rate, b);
        });
        run = loudest == candidate ? run + 1 : 1;
        candidate = loudest;
        if (run != kSteadyWindows || loudest == current)
            continue;
        if (current != 0)
            changes.push_back({1000.0 * double(at - (kSteadyWindows - 1) * window) / rate, loudest});
        current = loudest;
    }
    return changes;
}

} // namespace bvtest
