// A live network stream through the engine against `ffmpeg -i URL -f null -`:
//  1. start-up: from BASS_StreamCreateURL to the first sample mixed to the
//     output (a position sync at 0 on the "no sound" device), against the
//     wall time ffmpeg needs to decode its first audio frame from the URL;
//  2. CPU per hour of live playback, against ffmpeg decoding the same stream
//     for as long.
// Usage: net_bench URL [SECONDS]   (scripts/services.sh start gives an icecast URL)
#include "bass.h"
#include "bench_util.h"


#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

std::atomic<bool> g_firstSample{false};
Clock::time_point g_firstSampleAt;

void onFirstSample(HSYNC, DWORD, DWORD, void *)
{
    g_firstSampleAt = Clock::now();
    g_firstSample = true;
}

double engineStartup(const std::string &url)
{
    g_firstSample = false;
    const auto start = Clock::now();
    const HSTREAM s = BASS_StreamCreateURL((url + "\r\n").c_str(), 0, BASS_STREAM_AUTOFREE, nullptr, nullptr);
    if (!s)
        return -1;
    BASS_ChannelSetSync(s, BASS_SYNC_POS, 0, onFirstSample, nullptr);
    BASS_ChannelPlay(s, FALSE);
    while (!g_firstSample && Clock::now() - start < std::chrono::seconds(20))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    BASS_ChannelStop(s);
    return g_firstSample ? std::chrono::duration<double>(g_firstSampleAt - start).count() : -1;
}

double engineLiveCpu(const std::string &url, double seconds)
{
    const HSTREAM s = BASS_StreamCreateURL((url + "\r\n").c_str(), 0, BASS_STREAM_AUTOFREE, nullptr, nullptr);
    return s ? bench::playingCpu(s, seconds) : -1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: net_bench URL [SECONDS]\n");
        return 2;
    }
    const std::string url = argv[1];
    const double seconds = argc > 2 ? std::atof(argv[2]) : 20.0;
    const int rounds = 5;
    BASS_SetConfig(BASS_CONFIG_NET_PREBUF_WAIT, 0);
    if (!BASS_Init(0, 44100, 0, nullptr, nullptr))
        return 1;

    double engineStart = 0, ffmpegStart = 0;
    for (int i = 0; i < rounds; ++i) {
        engineStart += engineStartup(url) / rounds;
        ffmpegStart += bench::runChild({"ffmpeg", "-nostdin", "-loglevel", "error", "-i", url, "-frames:a", "1", "-f", "null", "-"}).wall / rounds;
    }
    const double engineCpu = engineLiveCpu(url, seconds);
    const bench::ChildRun ffmpeg = bench::runChild({"ffmpeg", "-nostdin", "-loglevel", "error", "-i", url, "-t", std::to_string(seconds), "-f", "null", "-"});
    BASS_Free();

    std::printf("stream: %s, %d start-ups, %.0f s of live playback\n", url.c_str(), rounds, seconds);
    std::printf("%-38s %10s %10s\n", "", "engine", "ffmpeg");
    std::printf("%-38s %10.3f %10.3f   ratio %.2f\n", "start-up to first sample (s)", engineStart, ffmpegStart, engineStart / ffmpegStart);
    std::printf("%-38s %10.2f %10.2f   ratio %.2f\n", "CPU s per hour of live audio", engineCpu * 3600 / seconds,
                ffmpeg.cpu * 3600 / seconds, engineCpu / ffmpeg.cpu);
    return 0;
}
