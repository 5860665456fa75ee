// bvplay: plays a local audio file through the engine, or with no file a
// built-in tune synthesised into a push stream, and prints its progress.
#include "bass.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kRate = 44100;

std::atomic<bool> g_ended{false};

void onEnd(HSYNC, DWORD, DWORD, void *)
{
    g_ended = true;
}

void usage(FILE *to)
{
    std::fprintf(to, "usage: bvplay [--device N] [--duration SEC] [FILE|URL]\n"
                     "  FILE|URL    a local audio file or an http(s) stream; without it a built-in tune plays\n"
                     "  --device N  output device: -1 default (PulseAudio), 0 no sound, 1.. a sink\n"
                     "  --duration  stop after SEC seconds\n");
}

// A short arpeggio with soft attack and decay, as 16-bit stereo PCM.
std::vector<int16_t> builtInTune()
{
    const double notes[] = {261.63, 329.63, 392.00, 523.25, 392.00, 329.63, 261.63, 196.00};
    const size_t noteFrames = kRate * 3 / 8;
    std::vector<int16_t> pcm;
    pcm.reserve(std::size(notes) * noteFrames * 2 * 2);
    for (int round = 0; round < 2; ++round) {
        for (double freq : notes) {
            for (size_t i = 0; i < noteFrames; ++i) {
                const double t = static_cast<double>(i) / kRate;
                const double envelope = std::min(1.0, t * 50.0) * std::exp(-3.0 * t);
                const auto v = static_cast<int16_t>(12000.0 * envelope * std::sin(2.0 * M_PI * freq * t));
                pcm.push_back(v);
                pcm.push_back(v);
            }
        }
    }
    return pcm;
}

HSTREAM openBuiltInTune()
{
    HSTREAM stream = BASS_StreamCreate(kRate, 2, BASS_STREAM_AUTOFREE, STREAMPROC_PUSH, nullptr);
    if (!stream)
        return 0;
    std::vector<int16_t> pcm = builtInTune();
    BASS_StreamPutData(stream, pcm.data(), static_cast<DWORD>(pcm.size() * 2) | BASS_STREAMPROC_END);
    return stream;
}

} // namespace

int main(int argc, char **argv)
{
    int device = -1;
    double duration = 0.0;
    const char *file = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--device" && i + 1 < argc) {
            device = std::atoi(argv[++i]);
        } else if (arg == "--duration" && i + 1 < argc) {
            duration = std::atof(argv[++i]);
        } else if (arg == "--help") {
            usage(stdout);
            return 0;
        } else if (arg.rfind("--", 0) == 0 || file) {
            std::fprintf(stderr, "bvplay: unexpected argument '%s'\n", argv[i]);
            usage(stderr);
            return 2;
        } else {
            file = argv[i];
        }
    }

    if (!BASS_Init(device, kRate, 0, nullptr, nullptr)) {
        std::fprintf(stderr, "bvplay: output device %d unavailable (error %d), playing with no sound\n", device,
                     BASS_ErrorGetCode());
        if (!BASS_Init(0, kRate, 0, nullptr, nullptr))
            return 1;
    }
    const bool network = file && (std::strncmp(file, "http://", 7) == 0 || std::strncmp(file, "https://", 8) == 0);
    const HSTREAM stream = network ? BASS_StreamCreateURL((std::string(file) + "\r\n").c_str(), 0, BASS_STREAM_AUTOFREE, nullptr, nullptr)
                           : file  ? BASS_StreamCreateFile(FALSE, file, 0, 0, BASS_STREAM_AUTOFREE)
                                   : openBuiltInTune();
    if (!stream) {
        std::fprintf(stderr, "bvplay: can not open %s (error %d)\n", file ? file : "the built-in tune",
                     BASS_ErrorGetCode());
        BASS_Free();
        return 1;
    }
    BASS_CHANNELINFO info{};
    BASS_ChannelGetInfo(stream, &info);
    const QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
    std::printf("playing %s: %u Hz, %u channels, %.1f s\n", file ? file : "built-in tune", info.freq, info.chans,
                length == static_cast<QWORD>(-1) ? 0.0 : BASS_ChannelBytes2Seconds(stream, length));
    BASS_ChannelSetSync(stream, BASS_SYNC_END, 0, onEnd, nullptr);
    BASS_ChannelPlay(stream, FALSE);

    const auto started = std::chrono::steady_clock::now();
    while (!g_ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (duration > 0.0 && elapsed >= duration)
            break;
        const QWORD pos = BASS_ChannelGetPosition(stream, BASS_POS_BYTE);
        const char *meta = BASS_ChannelGetTags(stream, BASS_TAG_META);
        if (pos != static_cast<QWORD>(-1))
            std::printf("\rposition %6.2f s %s", BASS_ChannelBytes2Seconds(stream, pos), meta ? meta : "");
        std::fflush(stdout);
    }
    std::printf("\n%s\n", g_ended ? "ended" : "stopped");
    BASS_Free();
    return 0;
}
