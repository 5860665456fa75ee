#include "bvhlsmediaplaylist.h"

#include <QRegularExpression>

namespace BVHlsMediaPlaylist {

BVHlsChunks chunks(const QByteArray &body, const QUrl &url, quint32 bitrate)
{
    const QString text = QString::fromUtf8(body);
    static const QRegularExpression sequenceExpression(QStringLiteral("#EXT-X-MEDIA-SEQUENCE:(\\d+)"));
    const QRegularExpressionMatch sequenceMatch = sequenceExpression.match(text);
    const quint64 sequence = sequenceMatch.hasMatch() ? sequenceMatch.captured(1).toULongLong() : 0;

    QString basePath = url.path(QUrl::FullyDecoded);
    basePath = basePath.left(basePath.lastIndexOf(QLatin1Char('/')) + 1);
    if (!basePath.endsWith(QLatin1Char('/')))
        basePath += QLatin1Char('/');

    static const QRegularExpression segmentExpression(
        QStringLiteral("(#EXT-X-DISCONTINUITY\n)?#EXTINF:(\\d*\\.?\\d+).*\n(.+)[\n$]"));
    BVHlsChunks result;
    quint64 seq = sequence - 1;
    for (auto it = segmentExpression.globalMatch(text); it.hasNext() && result.size() < kMaxSegments;) {
        const QRegularExpressionMatch match = it.next();
        ++seq;
        const double duration = match.captured(2).toDouble();
        const QString uri = match.captured(3);
        if (!(duration > 0.0) || uri.isEmpty())
            continue;
        QUrl segmentUrl(uri, QUrl::TolerantMode);
        if (segmentUrl.host().isEmpty()) {
            if (!uri.startsWith(QLatin1Char('/')))
                segmentUrl = QUrl(basePath + uri, QUrl::TolerantMode);
            segmentUrl.setAuthority(url.authority());
            segmentUrl.setScheme(url.scheme());
        }
        // Segments of a playlist from the network are network resources, never local files.
        const QString scheme = segmentUrl.scheme();
        if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
            continue;
        BVHlsChunk chunk;
        chunk.sequence = quint32(seq);
        chunk.duration = duration;
        chunk.bitrate = bitrate;
        chunk.url = segmentUrl;
        chunk.isDiscontinuity = !match.captured(1).isEmpty();
        result.insert(chunk.sequence, chunk);
    }
    return result;
}

int pollInterval(const BVHlsChunks &chunks)
{
    double total = 0.0;
    for (const BVHlsChunk &chunk : chunks)
        total += chunk.duration;
    const double average = chunks.isEmpty() ? 0.0 : total / chunks.size();
    // A server's absurd durations must not stop the polling (nor overflow the conversion).
    const int interval = int(qMin(qMin(total * 0.5, average) * 1000, double(kMaxPollInterval)));
    return interval <= 100 ? 1000 : interval;
}

} // namespace BVHlsMediaPlaylist
