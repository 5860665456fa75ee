// The cost of reading HLS playlists from a server nobody controls: master and media
// playlists of 1 MiB in the shapes that cost a backtracking matcher time growing with the
// square of their size, and an ordinary 1000-segment live window, each timed against a
// reference pass over the same bytes (their UTF-8 decoding to a QString).
// Usage: playlist_bench [REPEATS]
#include "bvhlsmediaplaylist.h"
#include "bvplaylistformats.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <functional>

namespace {

QByteArray repeated(const QByteArray &head, const QByteArray &piece, qsizetype size)
{
    QByteArray text = head;
    while (text.size() < size)
        text += piece;
    return text;
}

double msPer(int repeats, const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < repeats; ++i)
        work();
    return double(timer.nsecsElapsed()) / 1e6 / repeats;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int repeats = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    constexpr qsizetype kMiB = 1 << 20;
    const QUrl url(QStringLiteral("http://radio.test/live/list.m3u8"));
    QByteArray window = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:1\n";
    for (int i = 0; i < 1000; ++i)
        window += "#EXTINF:2.048,\nhttps://cdn.radio.test/live/v0/segment_" + QByteArray::number(i) + ".ts\n";
    const struct {
        const char *name;
        QByteArray text;
        bool master;
    } cases[] = {
        {"media: one line of #EXTINF:1#EXT-X-DISCONTINUITY", repeated("#EXTM3U\n", "#EXTINF:1#EXT-X-DISCONTINUITY", kMiB), false},
        {"media: #EXTINF lines without URIs", repeated("#EXTM3U\n", "#EXTINF:1,\n", kMiB), false},
        {"media: 1000-segment live window", window, false},
        {"master: one line of STREAM-INF and BANDWIDTH=", repeated("#EXTM3U\n", "#EXT-X-STREAM-INF:BANDWIDTH=1BANDWIDTH=", kMiB), true},
        {"master: STREAM-INF lines without URIs", repeated("#EXTM3U\n", "#EXT-X-STREAM-INF:BANDWIDTH=64000\n", kMiB), true},
    };
    std::printf("%-50s %9s %10s %7s\n", "playlist", "size KiB", "parse ms", "x utf8");
    for (const auto &c : cases) {
        const double parse = msPer(repeats, [&] {
            if (c.master)
                BVPlaylistFormats::hlsMasterStreams(c.text, url);
            else
                BVHlsMediaPlaylist::chunks(c.text, url, 64000);
        });
        const double reference = msPer(repeats, [&] { (void)QString::fromUtf8(c.text).size(); });
        std::printf("%-50s %9lld %10.2f %7.1f\n", c.name, static_cast<long long>(c.text.size() / 1024), parse, parse / reference);
    }
    return 0;
}
