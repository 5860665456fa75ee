#include "bvhlsmediaplaylist.h"

#include "bvplaylisttext.h"
#include "bvweburl.h"

#include <QByteArrayList>

namespace BVHlsMediaPlaylist {

namespace {

const QByteArray kExtInf = QByteArrayLiteral("#EXTINF:");
const QByteArray kDiscontinuity = QByteArrayLiteral("#EXT-X-DISCONTINUITY");
const QByteArray kMap = QByteArrayLiteral("#EXT-X-MAP:");

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

// The quoted URI attribute of an "#EXT-X-MAP:" line, empty when it has none.
QString mapUri(const QByteArray &line)
{
    static const QByteArray attribute = QByteArrayLiteral("URI=\"");
    const qsizetype from = line.indexOf(attribute);
    const qsizetype to = from < 0 ? -1 : line.indexOf('"', from + attribute.size());
    return to < 0 ? QString() : QString::fromUtf8(line.mid(from + attribute.size(), to - from - attribute.size()));
}

// The entries of a media playlist, read line by line with work bounded by each line's
// length: "#EXTINF:<duration>…" on a line ended by a newline, then the segment's URI line,
// optionally right after a line ending in "#EXT-X-DISCONTINUITY"; an "#EXT-X-MAP:" line
// names the initialisation segment of the entries after it.
struct Entry {
    double duration = 0.0;
    QString uri;
    bool isDiscontinuity = false;
    QString mapUri;
};

template <typename Take>
void forEachEntry(const QByteArray &body, Take take)
{
    const QByteArrayList lines = body.split('\n');
    const qsizetype terminated = lines.size() - 1; // the last piece has no newline after it
    QString map;
    for (qsizetype k = 0; k < terminated;) {
        if (lines[k].startsWith(kMap)) {
            map = mapUri(lines[k]);
            ++k;
            continue;
        }
        QByteArray duration = extInf(lines[k]);
        QByteArray uri = duration.isEmpty() ? QByteArray() : uriLine(lines, k + 1);
        if (!uri.isEmpty()) {
            if (!take(Entry{duration.toDouble(), QString::fromUtf8(uri), false, map}))
                return;
            k += 2;
            continue;
        }
        if (lines[k].endsWith(kDiscontinuity) && k + 1 < terminated && lines[k + 1].startsWith(kExtInf)) {
            duration = durationAt(lines[k + 1], kExtInf.size());
            uri = duration.isEmpty() ? QByteArray() : uriLine(lines, k + 2);
            if (!uri.isEmpty()) {
                if (!take(Entry{duration.toDouble(), QString::fromUtf8(uri), true, map}))
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

    // An entry's absolute URL; empty when it may not be taken: entries of a playlist from the
    // network are network resources, never local files.
    const auto resolve = [&](const QString &uri) {
        QUrl resolved(uri, QUrl::TolerantMode);
        if (resolved.isRelative() && resolved.host().isEmpty()) { // a local list's file: URLs stand
            if (!uri.startsWith(QLatin1Char('/')))
                resolved = QUrl(basePath + uri, QUrl::TolerantMode);
            resolved.setAuthority(url.authority());
            resolved.setScheme(url.scheme());
        }
        return bvIsAllowedEntry(resolved, url) ? resolved : QUrl();
    };

    BVHlsChunks result;
    quint64 seq = sequence - 1;
    forEachEntry(body, [&](const Entry &entry) {
        ++seq;
        if (!(entry.duration > 0.0) || entry.uri.isEmpty())
            return true;
        const QUrl segmentUrl = resolve(entry.uri);
        const QUrl mapUrl = entry.mapUri.isEmpty() ? QUrl() : resolve(entry.mapUri);
        if (segmentUrl.isEmpty() || (mapUrl.isEmpty() && !entry.mapUri.isEmpty()))
            return true;
        BVHlsChunk chunk;
        chunk.sequence = quint32(seq);
        chunk.duration = entry.duration;
        chunk.bitrate = bitrate;
        chunk.url = segmentUrl;
        chunk.mapUrl = mapUrl;
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
