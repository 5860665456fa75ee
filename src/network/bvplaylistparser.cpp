#include "bvplaylistparser.h"

#include "bvlogging.h"
#include "bvnetworkaccessmanager.h"
#include "bvplayer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QRegularExpression>

namespace {

constexpr qsizetype kClassifyBytes = 512;
constexpr quint32 kDefaultBitrate = 64000;

} // namespace

BVPlaylistParser::BVPlaylistParser(BVPlayer *player) : QObject(player), m_player(player) {}

bool BVPlaylistParser::updateIsProcessing(bool isProcessing)
{
    if (m_isProcessing == isProcessing)
        return false;
    m_isProcessing = isProcessing;
    emit isProcessingChanged(isProcessing);
    return true;
}

void BVPlaylistParser::parse(const QUrl &url)
{
    if (!m_player || !m_player->nam())
        return;
    abort();
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("push") || scheme == QLatin1String("record")) {
        emit parsingFinished(BVPlaylistStreams(), false);
        return;
    }
    updateIsProcessing(true);
    m_url = url;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    m_reply = m_player->nam()->get(request);
    connect(m_reply, &QNetworkReply::finished, this, &BVPlaylistParser::playlistRequestFinished);
    connect(m_reply, &QNetworkReply::readyRead, this, &BVPlaylistParser::playlistRequestReadyRead);
}

void BVPlaylistParser::abort()
{
    m_data.clear();
    m_contentTypeSeen = false;
    m_type = UnknowPlaylist;
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    m_url.clear();
    updateIsProcessing(false);
}

void BVPlaylistParser::playlistRequestReadyRead()
{
    if (sender() != m_reply || !m_reply)
        return;
    // The body of an error answer classifies nothing; the finished handler reports the error.
    if (m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 400)
        return;
    if (!m_contentTypeSeen) {
        m_contentTypeSeen = true;
        const QString type = m_reply->header(QNetworkRequest::ContentTypeHeader).toString();
        if (!type.isEmpty() && !type.startsWith(QLatin1String("application"), Qt::CaseInsensitive)
            && !type.startsWith(QLatin1String("audio/mpegurl"), Qt::CaseInsensitive)) {
            // A plain audio stream: the engine fetches it again itself.
            m_type = BassPlaylist;
            disconnect(m_reply, &QNetworkReply::readyRead, this, &BVPlaylistParser::playlistRequestReadyRead);
            m_reply->abort();
            return;
        }
    }
    m_data.append(m_reply->readAll());
    if (m_data.size() >= kClassifyBytes) {
        disconnect(m_reply, &QNetworkReply::readyRead, this, &BVPlaylistParser::playlistRequestReadyRead);
        m_type = playlistTypeFromData();
        if (!isMasterType(m_type))
            m_reply->abort(); // the first bytes decide; only master lists are read whole
    }
}

BVPlaylistParser::PlaylistType BVPlaylistParser::playlistTypeFromData() const
{
    if (m_data.contains("\"streamUrl\":") && m_data.contains("\"bandwidth\":"))
        return BassMasterPlaylist;
    if (!m_data.startsWith("#EXTM3U"))
        return BassPlaylist;
    if (m_data.contains("#EXT-X-STREAM-INF:"))
        return HlsMasterPlaylist;
    if (m_data.contains("#EXT-X-TARGETDURATION:"))
        return HlsPlaylist;
    return BassPlaylist;
}

void BVPlaylistParser::playlistRequestFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!m_player || !reply || reply != m_reply)
        return;
    reply->deleteLater();
    if (reply->isOpen())
        m_data.append(reply->readAll());
    if (reply->error() == QNetworkReply::NoError && m_type == UnknowPlaylist && !m_data.isEmpty())
        m_type = playlistTypeFromData();
    if (reply->error() != QNetworkReply::NoError && reply->error() != QNetworkReply::OperationCanceledError) {
        qCWarning(bvLog) << m_player->playerName() << "Playlist parser error"
                         << reply->url().toString(QUrl::RemoveUserInfo) << reply->errorString() << "Code:"
                         << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error());
        m_type = UnknowPlaylist;
    }

    BVPlaylistStreams streams;
    switch (m_type) {
    case HlsMasterPlaylist: streams = hlsMasterStreams(reply->url()); break;
    case HlsPlaylist: streams = hlsMediaStreams(); break;
    case BassMasterPlaylist: streams = jsonMasterStreams(); break;
    case BassPlaylist: streams = plainStreams(reply); break;
    case UnknowPlaylist: break;
    }
    const bool isHls = isHlsType(m_type);
    m_reply = nullptr;
    reset();
    emit parsingFinished(streams, isHls);
}

void BVPlaylistParser::reset()
{
    m_data.clear();
    m_type = UnknowPlaylist;
    m_contentTypeSeen = false;
    m_url.clear();
    updateIsProcessing(false);
}

BVPlaylistStreams BVPlaylistParser::hlsMasterStreams(const QUrl &playlistUrl) const
{
    QString basePath = playlistUrl.path(QUrl::FullyDecoded);
    basePath = basePath.left(basePath.lastIndexOf(QLatin1Char('/')) + 1);
    if (!basePath.endsWith(QLatin1Char('/')))
        basePath += QLatin1Char('/');
    BVPlaylistStreams streams;
    static const QRegularExpression variant(QStringLiteral("#EXT-X-STREAM-INF:.*BANDWIDTH=(\\d+).*\\n(.+)\\n"));
    auto matches = variant.globalMatch(QString::fromUtf8(m_data));
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        const quint32 bandwidth = match.captured(1).toUInt();
        const QString uri = match.captured(2);
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

BVPlaylistStreams BVPlaylistParser::hlsMediaStreams() const
{
    static const QRegularExpression bandwidth(QStringLiteral("#BANDWIDTH:(\\d+)"));
    const quint32 bitrate = bandwidth.match(QString::fromUtf8(m_data)).captured(1).toUInt();
    BVPlaylistStreams streams;
    streams.insert(bitrate ? bitrate : kDefaultBitrate, m_url);
    return streams;
}

BVPlaylistStreams BVPlaylistParser::jsonMasterStreams() const
{
    BVPlaylistStreams streams;
    const QJsonArray entries = QJsonDocument::fromJson(m_data).array();
    for (const QJsonValue &entry : entries) {
        const QJsonObject object = entry.toObject();
        const QUrl url(object.value(QLatin1String("streamUrl")).toString(), QUrl::TolerantMode);
        const auto bandwidth = static_cast<quint32>(object.value(QLatin1String("bandwidth")).toInteger());
        if (!url.isEmpty() && bandwidth != 0)
            streams.insert(bandwidth, url);
    }
    return streams;
}

BVPlaylistStreams BVPlaylistParser::plainStreams(const QNetworkReply *reply) const
{
    static const QRegularExpression digits(QStringLiteral("(\\d+)"));
    // "icy-br" gives kilobits per second.
    const quint32 bitrate = digits.match(QString::fromLatin1(reply->rawHeader("icy-br"))).captured(1).toUInt() * 1000;
    BVPlaylistStreams streams;
    streams.insert(bitrate != 0 ? bitrate : kDefaultBitrate, m_url);
    return streams;
}
