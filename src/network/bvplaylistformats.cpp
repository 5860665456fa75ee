#include "bvplaylistformats.h"

#include "bvplaylisttext.h"
#include "bvweburl.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <iterator>
#include <limits>

namespace BVPlaylistFormats {

Kind classify(const QByteArray &data)
{
    if (data.contains("\"streamUrl\":") && data.contains("\"bandwidth\":"))
        return Kind::JsonMaster;
    if (!data.startsWith("#EXTM3U"))
        return Kind::Plain;
    if (data.contains("#EXT-X-STREAM-INF:"))
        return Kind::HlsMaster;
    if (data.contains("#EXT-X-TARGETDURATION:"))
        return Kind::HlsMedia;
    return Kind::Plain;
}

BVPlaylistStreams hlsMasterStreams(const QByteArray &data, const QUrl &playlistUrl)
{
    QString basePath = playlistUrl.path(QUrl::FullyDecoded);
    basePath = basePath.left(basePath.lastIndexOf(QLatin1Char('/')) + 1);
    if (!basePath.endsWith(QLatin1Char('/')))
        basePath += QLatin1Char('/');
    BVPlaylistStreams streams;
    // Line by line, with work bounded by each line's length: a line with "#EXT-X-STREAM-INF:"
    // and, after it, a last "BANDWIDTH=<digits>", ended by a newline, then a non-empty URI line
    // ended by a newline.
    static const QByteArray tag = QByteArrayLiteral("#EXT-X-STREAM-INF:");
    static const QByteArray key = QByteArrayLiteral("BANDWIDTH=");
    const QByteArrayList lines = data.split('\n');
    const qsizetype terminated = lines.size() - 1; // the last piece has no newline after it
    for (qsizetype k = 0; k + 1 < terminated; ++k) {
        const QByteArray &line = lines[k];
        const qsizetype inf = line.indexOf(tag);
        if (inf < 0 || lines[k + 1].isEmpty())
            continue;
        QByteArray digits;
        for (qsizetype at = line.lastIndexOf(key); at >= inf + tag.size() && digits.isEmpty();
             at = at > 0 ? line.lastIndexOf(key, at - 1) : -1)
            digits = bvDigitsAt(line, at + key.size());
        if (digits.isEmpty())
            continue;
        const quint32 bandwidth = digits.toUInt();
        const QString uri = QString::fromUtf8(lines[++k]);
        if (bandwidth == 0 || uri.isEmpty())
            continue;
        QUrl url(uri, QUrl::TolerantMode);
        if (url.host().isEmpty()) {
            if (!uri.startsWith(QLatin1Char('/')))
                url = QUrl(basePath + uri, QUrl::TolerantMode);
            url.setAuthority(playlistUrl.authority());
            url.setScheme(playlistUrl.scheme());
        }
        streams.insert(bandwidth, url);
    }
    return streams;
}

quint32 hlsMediaBitrate(const QByteArray &data, quint32 fallback)
{
    static const QRegularExpression bandwidth(QStringLiteral("#BANDWIDTH:(\\d+)"));
    const quint32 bitrate = bandwidth.match(QString::fromUtf8(data)).captured(1).toUInt();
    return bitrate ? bitrate : fallback;
}

BVPlaylistStreams jsonMasterStreams(const QByteArray &data)
{
    BVPlaylistStreams streams;
    const QJsonArray entries = QJsonDocument::fromJson(data).array();
    for (const QJsonValue &entry : entries) {
        const QJsonObject object = entry.toObject();
        const QUrl url(object.value(QLatin1String("streamUrl")).toString(), QUrl::TolerantMode);
        const auto bandwidth = static_cast<quint32>(object.value(QLatin1String("bandwidth")).toInteger());
        if (!url.isEmpty() && bandwidth != 0)
            streams.insert(bandwidth, url);
    }
    return streams;
}

quint32 icyBitrate(const QByteArray &header, quint32 fallback)
{
    // The first run of digits: "128", "128,128" and "128 kbps" all say 128 kbit/s.
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    const auto first = std::find_if(header.begin(), header.end(), isDigit);
    const auto last = std::find_if_not(first, header.end(), isDigit);
    const qulonglong kbits = QByteArray(first, last - first).toULongLong();
    return kbits > 0 && kbits <= std::numeric_limits<quint32>::max() / 1000 ? quint32(kbits * 1000) : fallback;
}

BVPlaylistStreams allowedEntries(const BVPlaylistStreams &streams, const QUrl &listUrl, int *refused)
{
    BVPlaylistStreams allowed;
    for (auto it = streams.cbegin(); it != streams.cend(); ++it) {
        if (bvIsAllowedEntry(it.value(), listUrl))
            allowed.insert(it.key(), it.value());
        else if (refused)
            ++*refused;
    }
    return allowed;
}

bool namePromisesList(const QUrl &url)
{
    static const char *const extensions[] = {".m3u", ".m3u8", ".pls", ".json", ".xspf", ".asx", ".wax", ".wvx", ".ram"};
    const QString path = url.path();
    return std::any_of(std::begin(extensions), std::end(extensions), [&](const char *extension) {
        return path.endsWith(QLatin1String(extension), Qt::CaseInsensitive);
    });
}

} // namespace BVPlaylistFormats
