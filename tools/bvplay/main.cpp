// bvplay: plays a stream, playlist or local file through BVPlayer and prints
// its state and now-playing changes; with no URL it plays a built-in tune
// synthesised into an engine push stream.
#include "bass.h"
#include "bvbass.h"
#include "bvplayer.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

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
    std::fprintf(to, "usage: bvplay [--device N] [--duration SEC] [URL|FILE]\n"
                     "  URL|FILE    a stream or playlist URL, or a local file; without it a built-in tune plays\n"
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

int playBuiltInTune(int device, double duration)
{
    if (!BASS_Init(device, kRate, 0, nullptr, nullptr))
        return 1;
    const HSTREAM stream = openBuiltInTune();
    BASS_ChannelSetSync(stream, BASS_SYNC_END, 0, onEnd, nullptr);
    BASS_ChannelPlay(stream, FALSE);
    std::printf("playing the built-in tune\n");
    const auto started = std::chrono::steady_clock::now();
    while (!g_ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (duration > 0.0 && elapsed >= duration)
            break;
        std::printf("\rposition %6.2f s", BASS_ChannelBytes2Seconds(stream, BASS_ChannelGetPosition(stream, BASS_POS_BYTE)));
        std::fflush(stdout);
    }
    std::printf("\n%s\n", g_ended ? "ended" : "stopped");
    BASS_Free();
    return 0;
}

const char *stateName(BVPlayerSource::State state)
{
    switch (state) {
    case BVPlayerSource::PlayingState: return "playing";
    case BVPlayerSource::StalledState: return "stalled";
    case BVPlayerSource::PausedState: return "paused";
    case BVPlayerSource::StoppedState: return "stopped";
    case BVPlayerSource::ErrorState: return "error";
    }
    return "?";
}

int playWithPlayer(int argc, char **argv, const char *location, int device, double duration)
{
    QCoreApplication app(argc, argv);
    BVBass::outputDevice = device;
    BVPlayer player;
    QObject::connect(&player, &BVPlayerSource::stateChanged, [&player](BVPlayerSource::State state) {
        std::printf("state: %s\n", stateName(state));
        if (state == BVPlayerSource::PlayingState)
            std::printf("bitrate: %u bit/s, %s\n", player.currentBitrate(),
                        player.isSeekable() ? qPrintable(QString("%1 s").arg(player.length(), 0, 'f', 1)) : "live");
        std::fflush(stdout);
    });
    QObject::connect(&player, &BVPlayerSource::metaChanged, [](const QString &meta) {
        if (!meta.isEmpty())
            std::printf("now playing: %s\n", qPrintable(meta));
        std::fflush(stdout);
    });
    QObject::connect(&player, &BVPlayerSource::error, [](const QString &message) {
        std::fprintf(stderr, "error: %s\n", qPrintable(message));
    });
    QObject::connect(&player, &BVPlayerSource::ended, &app, &QCoreApplication::quit);
    if (duration > 0.0)
        QTimer::singleShot(static_cast<int>(duration * 1000), &app, &QCoreApplication::quit);
    player.play(QUrl::fromUserInput(QString::fromLocal8Bit(location), QDir::currentPath(), QUrl::AssumeLocalFile));
    return app.exec();
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

    // An output that cannot be opened falls back to no sound.
    if (device != 0) {
        if (BASS_Init(device, kRate, 0, nullptr, nullptr)) {
            BASS_Free();
        } else {
            std::fprintf(stderr, "bvplay: output device %d unavailable (error %d), playing with no sound\n", device,
                         BASS_ErrorGetCode());
            device = 0;
        }
    }
    return file ? playWithPlayer(argc, argv, file, device, duration) : playBuiltInTune(device, duration);
}
