// HLS on a live station, beside FFmpeg's own HLS client on the same master playlist:
//   start-up: play() to the first audio at the sink, for a BVPlayer in this process and
//             for ffplay spawned (medians of --runs);
//   CPU:      CPU seconds per hour of playback: this process while a BVPlayer plays
//             --seconds, and `ffmpeg -i URL -t SECONDS -f null -`;
//   titles:   on the station's MPEG-TS and packed-audio masters (master.m3u8, packed.m3u8
//             beside MASTER_URL), how long after each change of pitch heard at the sink
//             the title of the new tune reached the host (median over --seconds);
//   host:     the longest this process's 10 ms loop beat stalled during those starts, for
//             BVPlayer's and (the idle reference) ffplay's;
//   throttled: on a local station whose top variant arrives at half the speed it plays,
//             play() to the first audio at the sink, BVPlayer and ffplay (medians of --runs);
//   memory:   with --minutes M, the resident set every minute of M minutes of playback on
//             the "no sound" device (played segments are pruned, so it stays flat).
// Usage: hls_bench [--runs N] [--seconds S] [--minutes M] MASTER_URL
//   (scripts/services.sh start runs the station and prints its BV_HLS_MASTER)
#include "bench_util.h"
#include "bvbass.h"
#include "bvplayer.h"
#include "pcmanalysis.h"
#include "sinkrecorder.h"
#include "testhttpserver.h"
#include "throttledhlsstation.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

// Runs this thread's loop for `ms` or until `done`; returns the longest the loop went
// without serving its 10 ms beat, in ms.
qint64 runLoop(int ms, const std::function<bool()> &done = [] { return false; })
{
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    qint64 lastBeat = 0, longestGap = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        longestGap = std::max(longestGap, clock.elapsed() - lastBeat);
        lastBeat = clock.elapsed();
        if (clock.elapsed() >= ms || done())
            loop.quit();
    });
    tick.start(10);
    loop.exec();
    return longestGap;
}

double rssMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
    return -1;
}

// Milliseconds from the recorder's start to the first 10 ms above -40 dBFS, -1 when none.
double firstAudioMs(const bvtest::Pcm &interleaved)
{
    const bvtest::Pcm mono = bvtest::firstChannel(interleaved, bvtest::SinkRecorder::kChannels);
    const int window = bvtest::SinkRecorder::kRate / 100;
    for (qsizetype at = 0; at + window <= qsizetype(mono.size()); at += window)
        if (bvtest::rms(bvtest::Pcm(mono.begin() + at, mono.begin() + at + window)) > 0.01)
            return 1000.0 * double(at) / bvtest::SinkRecorder::kRate;
    return -1;
}

struct StartUp
{
    double firstAudioMs = -1;
    double longestLoopGapMs = -1; // of this process's loop, from start() on
};

// One start-up: `start` begins playing, `stop` ends it; the sink is recorded from just before.
StartUp startUp(const std::function<void()> &start, const std::function<void()> &stop)
{
    bvtest::SinkRecorder recorder;
    if (!recorder.start())
        return {};
    QElapsedTimer clock;
    clock.start();
    start();
    const qint64 startGap = clock.elapsed();
    const qint64 loopGap = std::max(startGap, runLoop(8000));
    const StartUp result{firstAudioMs(recorder.stop()), double(loopGap)};
    stop();
    runLoop(1500); // the sink falls silent before the next run
    return result;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? -1 : values[values.size() / 2];
}

// For each change of pitch heard while `url` plays for `seconds`: ms from the change to the
// first title naming the new pitch ("(660 Hz)"), negative when the title came first.
QList<double> titleLagsMs(const QUrl &url, double seconds)
{
    bvtest::SinkRecorder recorder;
    if (!recorder.start())
        return {};
    QElapsedTimer clock;
    clock.start();
    QList<QPair<qint64, QString>> titles;
    {
        BVPlayer player;
        QObject::connect(&player, &BVPlayer::metaChanged, [&](const QString &meta) {
            if (!meta.isEmpty())
                titles.append({clock.elapsed(), meta});
        });
        player.play(url);
        runLoop(int(seconds * 1000));
    }
    const bvtest::Pcm heard = bvtest::firstChannel(recorder.stop(), bvtest::SinkRecorder::kChannels);
    QList<double> lags;
    for (const bvtest::ToneChange &change : bvtest::toneChanges(heard, bvtest::SinkRecorder::kRate, {440, 660})) {
        const QString pitch = QStringLiteral("(%1 Hz)").arg(change.tone);
        for (const auto &[ms, title] : titles) {
            if (ms > change.ms - 2000 && title.contains(pitch)) {
                lags.append(double(ms) - change.ms);
                break;
            }
        }
    }
    return lags;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    int runs = 3;
    double seconds = 60;
    int minutes = 0;
    QString url;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--runs") && i + 1 < args.size())
            runs = args[++i].toInt();
        else if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = args[++i].toDouble();
        else if (args[i] == QLatin1String("--minutes") && i + 1 < args.size())
            minutes = args[++i].toInt();
        else
            url = args[i];
    }
    if (url.isEmpty() || runs <= 0 || seconds <= 0 || minutes < 0) {
        std::fprintf(stderr, "usage: hls_bench [--runs N] [--seconds S] [--minutes M] MASTER_URL\n");
        return 2;
    }
    qputenv("QT_LOGGING_RULES", "com.orlenza.brevantplayer.debug=false");

    QList<double> ours, ffplay, ourLoopGaps, idleLoopGaps;
    for (int run = 0; run < runs; ++run) {
        BVPlayer player;
        const StartUp our = startUp([&] { player.play(QUrl(url)); }, [&] { player.stop(); });
        QProcess process;
        const StartUp their = startUp(
            [&] { process.start("ffplay", {"-nodisp", "-autoexit", "-loglevel", "quiet", url}); },
            [&] { process.kill(); process.waitForFinished(); });
        ours.append(our.firstAudioMs);
        ourLoopGaps.append(our.longestLoopGapMs);
        ffplay.append(their.firstAudioMs);
        idleLoopGaps.append(their.longestLoopGapMs);
    }
    std::printf("start-up, play() to first audio at the sink (median of %d):\n", runs);
    std::printf("  BVPlayer %8.0f ms\n  ffplay   %8.0f ms   BVPlayer/ffplay %.2f\n", median(ours), median(ffplay),
                median(ours) / median(ffplay));
    std::printf("longest stall of the host's 10 ms loop beat during a start (worst of %d):\n", runs);
    std::printf("  BVPlayer start %5.0f ms\n  idle (ffplay)  %5.0f ms\n",
                *std::max_element(ourLoopGaps.begin(), ourLoopGaps.end()),
                *std::max_element(idleLoopGaps.begin(), idleLoopGaps.end()));

    double playerCpu = -1;
    {
        BVPlayer player;
        player.play(QUrl(url));
        runLoop(10000, [&] { return player.state() == BVPlayerSource::PlayingState; });
        const double before = bench::selfCpu();
        runLoop(int(seconds * 1000));
        playerCpu = (bench::selfCpu() - before) / seconds * 3600;
    }
    const bench::ChildRun ffmpeg = bench::runChild({"ffmpeg", "-nostdin", "-loglevel", "quiet", "-i",
                                                    url.toStdString(), "-t", std::to_string(seconds), "-f", "null", "-"});
    const double ffmpegCpu = ffmpeg.cpu / seconds * 3600;
    std::printf("CPU s per hour of playback (%.0f s):\n  BVPlayer %8.1f\n  ffmpeg   %8.1f   (decode only)   "
                "BVPlayer/ffmpeg %.2f\n", seconds, playerCpu, ffmpegCpu, playerCpu / ffmpegCpu);

    std::printf("title after its pitch was heard, ms (median, %.0f s each):\n", seconds);
    for (const char *master : {"master.m3u8", "packed.m3u8"}) {
        const QList<double> lags = titleLagsMs(QUrl(url).resolved(QUrl(QString::fromLatin1(master))), seconds);
        std::printf("  %-12s %8.0f   (%lld changes)\n", master, median(lags), static_cast<long long>(lags.size()));
    }

    QList<double> oursThrottled, ffplayThrottled;
    for (int run = 0; run < runs; ++run) {
        for (const bool bvPlayer : {true, false}) {
            bvtest::TestHttpServer server; // a fresh live window for each player
            const bvtest::ThrottledHlsStation station(&server);
            if (!station.isReady())
                break;
            const QString master = QString::fromLatin1(server.url(station.masterPath()));
            BVPlayer player;
            QProcess process;
            const StartUp start = bvPlayer
                ? startUp([&] { player.play(QUrl(master)); }, [&] { player.stop(); })
                : startUp([&] { process.start("ffplay", {"-nodisp", "-autoexit", "-loglevel", "quiet", master}); },
                          [&] { process.kill(); process.waitForFinished(); });
            (bvPlayer ? oursThrottled : ffplayThrottled).append(start.firstAudioMs);
        }
    }
    std::printf("throttled top variant, play() to first audio at the sink (median of %d, -1: none in 8 s):\n", runs);
    std::printf("  BVPlayer %8.0f ms\n  ffplay   %8.0f ms\n", median(oursThrottled), median(ffplayThrottled));

    if (minutes > 0) {
        BVBass::outputDevice = 0; // "no sound": the long run leaves the sink to others
        BVPlayer player;
        player.play(QUrl(url));
        std::printf("resident set while playing, MiB, every minute:");
        for (int minute = 0; minute <= minutes; ++minute) {
            if (minute > 0)
                runLoop(60000);
            std::printf(" %.1f", rssMiB());
            std::fflush(stdout);
        }
        std::printf("\n");
    }
    return 0;
}
