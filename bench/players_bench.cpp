// Many BVPlayers in one process on one thread, started at once on live streams:
// for each count, the time until all play, start errors, the longest block of
// the host's event loop during the start, then CPU per player-hour, resident
// memory per extra player and the process's thread count while all play.
// Usage: players_bench [--device N] [--seconds S] [--counts 1,8,32,64] URL...
//   (URLs are given to the players in turn; scripts/services.sh start gives an icecast URL)
#include "bench_util.h"
#include "bvbass.h"
#include "bvplayer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

int startErrors = 0;

void countStartErrors(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg && message.contains(QLatin1String("start error")))
        ++startErrors;
}

// A field of /proc/self/status ("VmRSS", "Threads") as a number.
double procStatus(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field) && line.at(static_cast<qsizetype>(qstrlen(field))) == ':')
            return line.mid(static_cast<qsizetype>(qstrlen(field)) + 1).trimmed().split(' ').first().toDouble();
    return -1;
}

// Runs the event loop for `ms`, or until `done` holds, checking every `tickMs`; returns the
// longest time the loop was held beyond a tick, in milliseconds.
template <typename Done>
qint64 runLoop(int ms, int tickMs, Done done)
{
    QEventLoop loop;
    QElapsedTimer clock, sinceTick;
    clock.start();
    sinceTick.start();
    qint64 longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        longest = std::max(longest, sinceTick.restart() - tickMs);
        if (clock.elapsed() >= ms || done())
            loop.quit();
    });
    tick.start(tickMs);
    loop.exec();
    return longest;
}

struct Figures {
    int players = 0;
    double startSeconds = -1; // until all play; -1 when some never did
    int startErrors = 0;
    qint64 longestBlockMs = 0;
    double cpuPerPlayerHour = 0;
    double rssMiB = 0;
    int threads = 0;
};

Figures measure(int count, const QStringList &urls, double seconds)
{
    Figures f;
    f.players = count;
    std::vector<std::unique_ptr<BVPlayer>> players;
    for (int i = 0; i < count; ++i)
        players.push_back(std::make_unique<BVPlayer>());
    startErrors = 0;
    QElapsedTimer start;
    start.start();
    for (int i = 0; i < count; ++i)
        players[static_cast<size_t>(i)]->play(QUrl(urls.at(i % urls.size())));
    f.longestBlockMs = start.elapsed(); // the play() calls themselves block the loop
    const auto allPlay = [&] {
        return std::all_of(players.begin(), players.end(),
                           [](const auto &p) { return p->state() == BVPlayerSource::PlayingState; });
    };
    f.longestBlockMs = std::max(f.longestBlockMs, runLoop(60000, 10, allPlay));
    if (allPlay())
        f.startSeconds = start.elapsed() / 1000.0;
    f.startErrors = startErrors;

    const double cpuBefore = bench::selfCpu();
    runLoop(static_cast<int>(seconds * 1000), 1000, [] { return false; });
    f.cpuPerPlayerHour = (bench::selfCpu() - cpuBefore) / seconds * 3600 / count;
    f.rssMiB = procStatus("VmRSS") / 1024;
    f.threads = static_cast<int>(procStatus("Threads"));
    players.clear();
    runLoop(500, 100, [] { return false; }); // let deferred deletions and engine threads finish
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QList<int> counts{1, 8, 32, 64};
    double seconds = 20;
    QStringList urls;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--device") && i + 1 < args.size())
            BVBass::outputDevice = args[++i].toInt();
        else if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = args[++i].toDouble();
        else if (args[i] == QLatin1String("--counts") && i + 1 < args.size()) {
            counts.clear();
            for (const QString &n : args[++i].split(QLatin1Char(',')))
                counts.append(n.toInt());
        } else
            urls.append(args[i]);
    }
    if (urls.isEmpty() || seconds <= 0 || counts.contains(0)) {
        std::fprintf(stderr, "usage: players_bench [--device N] [--seconds S] [--counts 1,8,32,64] URL...\n");
        return 2;
    }
    qInstallMessageHandler(countStartErrors);

    const double baseRss = procStatus("VmRSS") / 1024;
    std::printf("%d URL(s), %.0f s of playback per count, device %d; process before any player: %.1f MiB\n",
                static_cast<int>(urls.size()), seconds, BVBass::outputDevice, baseRss);
    std::printf("%8s %12s %8s %14s %16s %10s %14s %8s\n", "players", "all play (s)", "errors", "longest block",
                "CPU s/player-h", "RSS MiB", "MiB per extra", "threads");
    double firstRss = -1;
    int firstCount = 0;
    for (int count : counts) {
        const Figures f = measure(count, urls, seconds);
        if (firstRss < 0) {
            firstRss = f.rssMiB;
            firstCount = count;
        }
        const double perExtra = count > firstCount ? (f.rssMiB - firstRss) / (count - firstCount) : 0;
        std::printf("%8d %12.2f %8d %11lld ms %16.2f %10.1f %14.2f %8d\n", f.players, f.startSeconds, f.startErrors,
                    static_cast<long long>(f.longestBlockMs), f.cpuPerPlayerHour, f.rssMiB, perExtra, f.threads);
        std::fflush(stdout);
    }
    return 0;
}
