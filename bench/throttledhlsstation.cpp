#include "throttledhlsstation.h"

#include "hlsmedia.h"
#include "testhttpserver.h"

namespace bvtest {

namespace {
constexpr int kSegments = 24; // beyond the longest test that plays it
constexpr double kSegmentSeconds = 1.0;
} // namespace

ThrottledHlsStation::ThrottledHlsStation(TestHttpServer *server)
    : m_server(server)
{
    const QList<QByteArray> low = makeHlsSegments(QList<double>(kSegments, 440), kSegmentSeconds,
                                                  {"-c:a", "aac", "-b:a", "32k"});
    const QList<QByteArray> high = makeHlsSegments(QList<double>(kSegments, 660), kSegmentSeconds,
                                                   {"-c:a", "aac", "-b:a", "128k"});
    if (low.size() != kSegments || high.size() != kSegments)
        return;
    for (int i = 0; i < kSegments; ++i) {
        const QByteArray n = QByteArray::number(i);
        m_server->setResponse("/lo" + n + ".ts", HttpResponse::of("video/mp2t", low[i]));
        HttpResponse slow = HttpResponse::of("video/mp2t", high[i]);
        slow.bytesPerSecond = int(high[i].size() / 2);
        m_server->setResponse("/hi" + n + ".ts", slow);
    }
    m_server->setResponse(masterPath(),
                          HttpResponse::of("application/vnd.apple.mpegurl",
                                           "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=" + QByteArray::number(kLowBitrate)
                                               + "\nlo.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH="
                                               + QByteArray::number(kHighBitrate) + "\nhi.m3u8\n"));
    publish();
    QObject::connect(&m_window, &QTimer::timeout, [this] {
        m_last = qMin(m_last + 1, kSegments - 1);
        publish();
    });
    m_window.start(int(kSegmentSeconds * 1000));
    m_ready = true;
}

void ThrottledHlsStation::publish()
{
    for (const QByteArray variant : {"lo", "hi"}) {
        QList<QByteArray> uris;
        for (int i = m_last - 5; i <= m_last; ++i)
            uris.append(variant + QByteArray::number(i) + ".ts");
        m_server->setResponse("/" + variant + ".m3u8",
                              HttpResponse::of("application/vnd.apple.mpegurl",
                                               mediaPlaylist(quint64(m_last - 5), uris, kSegmentSeconds)));
    }
}

} // namespace bvtest
