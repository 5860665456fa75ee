#include "bvhlsmediaplaylist.h"

#include "bvplaylisttext.h"
#include "bvweburl.h"

#include <QByteArrayList>

namespace BVHlsMediaPlaylist {

namespace {

const QByteArray kExtInf = QByteArrayLiteral("#EXTINF:");
const QByteArray kDiscontinuity = QByteArrayLiteral("#EXT-X-DISCONTINUITY");

// The longest number at `at` of the form digits, or [digits].digits; empty when there is none.
QByteArray durationAt(const QByteArray &line, qsizetype at)
{
    const QByteArray whole = bvDigitsAt(line, at);
    const qsizetype dot = at + whole.size();
    if (dot < line.size() && line[dot] == '.') {
        const QByteArray fraction = bvDigitsAt(line, dot + 1);
        if (!fraction.isEmpty())
            return whole + '.' + fraction;
    }
    return whole;
}

// The duration after the first "#EXTINF:" in `line` that has one.
QByteArray extInf(const QByteArray &line)
{
    for (qsizetype at = line.indexOf(kExtInf); at >= 0; at = line.indexOf(kExtInf, at + 1)) {
        const QByteArray duration = durationAt(line, at + kExtInf.size());
        if (!duration.isEmpty())
            return duration;
    }
    return {};
}

// A segment's URI line: the whole line when a newline ends it; the last line, which none
// ends, counts up to its last '$' (as the playlist grammar has always read it).
QByteArray uriLine(const QByteArrayList &lines, qsizetype index)
{
    if (index >= lines.size())
        return {};
    const QByteArray &line = lines[index];
    if (index + 1 < lines.size())
        return line;
    const qsizetype dollar = line.lastIndexOf('$');
    return dollar > 0 ? line.left(dollar) : QByteArray();
}

// The entries of a media playlist, read line by line with work bounded by each line's
// length: "#EXTINF:<duration>…" on a line ended by a newline, then the segment's URI line,
// optionally right after a line ending in "#EXT-X-DISCONTINUITY".
struct Entry {
    double duration = 0.0;
    QString uri;
    bool isDiscontinuity = false;
};

template <typename Take>
void forEachEntry(const QByteArray &body, Take take)
{
    const QByteArrayList lines = body.split('\n');
    const qsizetype terminated = lines.size() - 1; // the last piece has no newline after it
    for (qsizetype k = 0; k < terminated;) {
        QByteArray duration = extInf(lines[k]);
        QByteArray uri = duration.isEmpty() ? QByteArray() : uriLine(lines, k + 1);
        if (!uri.isEmpty()) {
            if (!take(Entry{duration.toDouble(), QString::fromUtf8(uri), false}))
                return;
            k += 2;
            continue;
        }
        if (lines[k].endsWith(kDiscontinuity) && k + 1 < terminated && lines[k + 1].startsWith(kExtInf)) {
            duration = durationAt(lines[k + 1], kExtInf.size());
            uri = duration.isEmpty() ? QByteArray() : uriLine(lines, k + 2);
            if (!uri.isEmpty()) {
                if (!take(Entry{duration.toDouble(), QString::fromUtf8(uri), true}))
                    return;
                k += 3;
                continue;
            }
        }
        ++k;
    }
}

// The first "#EXT-X-MEDIA-SEQUENCE:" followed by digits.
quint64 mediaSequence(const QByteArray &body)
{
    static const QByteArray tag = QByteArrayLiteral("#EXT-X-MEDIA-SEQUENCE:");
    for (qsizetype at = body.indexOf(tag); at >= 0; at = body.indexOf(tag, at + 1)) {
        const QByteArray digits = bvDigitsAt(body, at + tag.size());
        if (!digits.isEmpty())
            return digits.toULongLong();
    }
    return 0;
}

} // namespace

BVHlsChunks chunks(const QByteArray &body, const QUrl &url, quint32 bitrate)
{
    const quint64 sequence = mediaSequence(body);

    QString basePath = url.path(QUrl::FullyDecoded);
    basePath = basePath.left(basePath.lastIndexOf(QLatin1Char('/')) + 1);
    if (!basePath.endsWith(QLatin1Char('/')))
        basePath += QLatin1Char('/');

    BVHlsChunks result;
    quint64 seq = sequence - 1;
    forEachEntry(body, [&](const Entry &entry) {
        ++seq;
        if (!(entry.duration > 0.0) || entry.uri.isEmpty())
            return true;
        QUrl segmentUrl(entry.uri, QUrl::TolerantMode);
        if (segmentUrl.isRelative() && segmentUrl.host().isEmpty()) { // a local list's file: URLs stand
            if (!entry.uri.startsWith(QLatin1Char('/')))
                segmentUrl = QUrl(basePath + entry.uri, QUrl::TolerantMode);
            segmentUrl.setAuthority(url.authority());
            segmentUrl.setScheme(url.scheme());
        }
        // Segments of a playlist from the network are network resources, never local files.
        if (!bvIsAllowedEntry(segmentUrl, url))
            return true;
        BVHlsChunk chunk;
        chunk.sequence = quint32(seq);
        chunk.duration = entry.duration;
        chunk.bitrate = bitrate;
        chunk.url = segmentUrl;
        chunk.isDiscontinuity = entry.isDiscontinuity;
        result.insert(chunk.sequence, chunk);
        return result.size() < kMaxSegments;
    });
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
