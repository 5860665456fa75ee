// CPU cost of the engine against `ffmpeg -i FILE -f null -` on the same file:
//  1. decode and mix as fast as the engine allows (decode thread + mixer);
//  2. real-time playback on the "no sound" device.
// Figures are CPU seconds per hour of audio, and their ratio to ffmpeg's.
#include "bass.h"
#include "bench_util.h"
#include "mix/decoder_channel.h"
#include "device/output.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

double audioSeconds(const std::string &file)
{
    const HSTREAM s = BASS_StreamCreateFile(FALSE, file.c_str(), 0, 0, 0);
    const double seconds = BASS_ChannelBytes2Seconds(s, BASS_ChannelGetLength(s, BASS_POS_BYTE));
    BASS_StreamFree(s);
    return seconds;
}

// Decode and mix the whole file as fast as possible through a channel and its mixer path.
double fastDecodeAndMixCpu(const std::string &file)
{
    int error = 0;
    const double before = bench::selfCpu();
    auto channel = bvaudio::DecoderChannel::create(1, std::unique_ptr<bvaudio::ByteInput>(
                                                          bvaudio::FileInput::open(file, 0, 0)),
                                                   {}, 0, error);
    if (!channel)
        return -1;
    channel->play(false);
    const int frames = bvaudio::periodFrames(44100);
    std::vector<float> mix(static_cast<size_t>(frames) * 2);
    // A stall just means the decode thread is behind: ask again.
    for (int64_t frame = 0; channel->mixInto(mix.data(), frames, {44100, bvaudio::MixTime::Clock::now(), frame, frame})
                            != bvaudio::Channel::MixOutcome::Ended;
         frame += frames)
        ;
    channel->shutdown();
    channel.reset();
    bvaudio::DecoderChannel::waitForAllDecodeThreads();
    return bench::selfCpu() - before;
}

double realTimeCpu(const std::string &file, double seconds)
{
    return bench::playingCpu(BASS_StreamCreateFile(FALSE, file.c_str(), 0, 0, BASS_STREAM_AUTOFREE), seconds);
}

} // namespace

int main(int argc, char **argv)
{
    std::string file = argc > 1 ? argv[1] : "/tmp/brevant-bench-60s.mp3";
    const double realTimeSeconds = argc > 2 ? std::atof(argv[2]) : 20.0;
    if (argc <= 1 && access(file.c_str(), R_OK) != 0) {
        if (bench::runChild({"ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                             "sine=frequency=440:duration=60,aformat=channel_layouts=stereo", "-c:a", "libmp3lame",
                             "-b:a", "128k", file}).cpu < 0) {
            std::fprintf(stderr, "engine_bench: could not make %s with ffmpeg\n", file.c_str());
            return 1;
        }
    }
    if (!BASS_Init(0, 44100, 0, nullptr, nullptr))
        return 1;
    const double audio = audioSeconds(file);
    if (audio <= 0) {
        std::fprintf(stderr, "engine_bench: can not open %s\n", file.c_str());
        return 1;
    }
    const double perHour = 3600.0 / audio;
    const double ffmpeg = bench::runChild({"ffmpeg", "-loglevel", "error", "-nostdin", "-i", file, "-f", "null", "-"}).cpu;
    const double fast = fastDecodeAndMixCpu(file);
    const double live = realTimeCpu(file, realTimeSeconds);
    BASS_Free();

    std::printf("file: %s (%.1f s of audio)\n", file.c_str(), audio);
    std::printf("%-34s %10s %12s\n", "", "CPU s/h", "vs ffmpeg");
    std::printf("%-34s %10.2f %12s\n", "ffmpeg -i FILE -f null -", ffmpeg * perHour, "1.00");
    std::printf("%-34s %10.2f %12.2f\n", "engine decode+mix, fast", fast * perHour, fast / ffmpeg);
    std::printf("%-34s %10.2f %12.2f\n", "engine real-time (no sound)", live * 3600.0 / realTimeSeconds,
                (live * 3600.0 / realTimeSeconds) / (ffmpeg * perHour));
    return 0;
}
