#include "bvplaylistparser.h"

#include "bvlogging.h"
#include "bvnetworkaccessmanager.h"

#include "bvplaylistformats.h"
#include "bvrequestidentity.h"
#include "bvpropertyupdate.h"

#include <QMetaEnum>

namespace {

constexpr qsizetype kClassifyBytes = 512;
constexpr quint32 kDefaultBitrate = 64000;
// Qt buffers at most this much of an answer that this thread has not read yet.
constexpr qint64 kReadBufferBytes = 64 * 1024;
// Master lists are read whole, up to this size.
constexpr qsizetype kMaxMasterBytes = 1024 * 1024;

} // namespace

BVPlaylistStreams BVPlaylistParser::plainStream(const QUrl &url, const QByteArray &icyBitrate)
{
    BVPlaylistStreams streams;
    streams.insert(BVPlaylistFormats::icyBitrate(icyBitrate, kDefaultBitrate), url);
    return streams;
}

BVPlaylistParser::BVPlaylistParser(BVPlaybackHost *host) : QObject(BVPlaybackHost::objectOf(host)), m_host(host) {}

bool BVPlaylistParser::updateIsProcessing(bool isProcessing)
{
    return bvUpdateProperty(this, m_isProcessing, isProcessing, &BVPlaylistParser::isProcessingChanged);
}

void BVPlaylistParser::parse(const QUrl &url)
{
    if (!m_host || !m_host->nam())
        return;
    abort();
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("push") || scheme == QLatin1String("record")) {
        emit parsingFinished(BVPlaylistStreams(), false);
        return;
    }
    updateIsProcessing(true);
    m_errorString.clear();
    m_url = url;
    m_reply = BVNetworkAccessManager::getSafely(m_host->nam(), url);
    m_reply->setReadBufferSize(kReadBufferBytes);
    connect(m_reply, &QNetworkReply::finished, this, &BVPlaylistParser::playlistRequestFinished);
    connect(m_reply, &QNetworkReply::readyRead, this, &BVPlaylistParser::playlistRequestReadyRead);
}

void BVPlaylistParser::abort()
{
    m_data.clear();
    m_contentTypeSeen = false;
    m_type = UnknowPlaylist;
    BVNetworkAccessManager::discardReply(m_reply, this);
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
    // Never more than one byte past the cap: a local file's reply holds all of it at once.
    m_data.append(m_reply->read(kMaxMasterBytes + 1 - m_data.size()));
    if (m_type == UnknowPlaylist && m_data.size() >= kClassifyBytes) {
        m_type = playlistTypeFromData();
        if (!isMasterType(m_type)) {
            disconnect(m_reply, &QNetworkReply::readyRead, this, &BVPlaylistParser::playlistRequestReadyRead);
            m_reply->abort(); // the first bytes decide; only master lists are read whole
            return;
        }
    }
    if (m_data.size() > kMaxMasterBytes) {
        qCWarning(bvLog) << m_host->playerName() << "Playlist parser: list larger than" << kMaxMasterBytes
                         << "bytes, reading no further" << m_reply->url().toString(QUrl::RemoveUserInfo);
        m_data.truncate(kMaxMasterBytes);
        disconnect(m_reply, &QNetworkReply::readyRead, this, &BVPlaylistParser::playlistRequestReadyRead);
        m_reply->abort();
    }
}

BVPlaylistParser::PlaylistType BVPlaylistParser::playlistTypeFromData() const
{
    switch (BVPlaylistFormats::classify(m_data)) {
    case BVPlaylistFormats::Kind::JsonMaster: return BassMasterPlaylist;
    case BVPlaylistFormats::Kind::HlsMaster: return HlsMasterPlaylist;
    case BVPlaylistFormats::Kind::HlsMedia: return HlsPlaylist;
    case BVPlaylistFormats::Kind::Plain: break;
    }
    return BassPlaylist;
}

void BVPlaylistParser::playlistRequestFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!m_host || !reply || reply != m_reply)
        return;
    reply->deleteLater();
    if (reply->isOpen() && m_data.size() < kMaxMasterBytes)
        m_data.append(reply->read(kMaxMasterBytes - m_data.size()));
    if (reply->error() == QNetworkReply::NoError && m_type == UnknowPlaylist && !m_data.isEmpty())
        m_type = playlistTypeFromData();
    if (isNonHttpAnswer(reply)) {
        // Qt reads only HTTP: a server that answered "ICY 200 OK" (or another non-HTTP status line)
        // gets here. The engine reads ICY answers itself, so the URL goes to it as a plain stream.
        qCDebug(bvLog) << m_host->playerName() << "Playlist parser: no HTTP answer, playing as a stream"
                       << m_url.toString(QUrl::RemoveUserInfo);
        m_type = BassPlaylist;
    } else if (reply->error() != QNetworkReply::NoError && reply->error() != QNetworkReply::OperationCanceledError) {
        const char *code = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error());
        m_errorString = BVRequestIdentity::withoutPassword(reply->errorString(), reply->url())
                        + QStringLiteral(" (%1)").arg(QLatin1String(code));
        qCWarning(bvLog) << m_host->playerName() << "Playlist parser error"
                         << reply->url().toString(QUrl::RemoveUserInfo)
                         << BVRequestIdentity::withoutPassword(reply->errorString(), reply->url()) << "Code:" << code;
        m_type = UnknowPlaylist;
    }

    BVPlaylistStreams streams;
    switch (m_type) {
    case HlsMasterPlaylist: streams = BVPlaylistFormats::hlsMasterStreams(m_data, reply->url()); break;
    case HlsPlaylist: streams.insert(BVPlaylistFormats::hlsMediaBitrate(m_data, kDefaultBitrate), m_url); break;
    case BassMasterPlaylist: streams = BVPlaylistFormats::jsonMasterStreams(m_data); break;
    case BassPlaylist: streams = plainStream(m_url, reply->rawHeader("icy-br")); break;
    case UnknowPlaylist: break;
    }
    if (isMasterType(m_type)) {
        int refused = 0;
        streams = BVPlaylistFormats::allowedEntries(streams, m_url, &refused);
        if (refused > 0)
            qCWarning(bvLog) << m_host->playerName() << "Playlist parser: refused" << refused
                             << "entries that are not network streams in" << m_url.toString(QUrl::RemoveUserInfo);
    }
    const bool isHls = isHlsType(m_type);
    m_reply = nullptr;
    reset();
    emit parsingFinished(streams, isHls);
}

bool BVPlaylistParser::isNonHttpAnswer(const QNetworkReply *reply) const
{
    const auto error = reply->error();
    return (error == QNetworkReply::RemoteHostClosedError || error == QNetworkReply::ProtocolFailure)
           && !reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() && m_data.isEmpty();
}

void BVPlaylistParser::reset()
{
    m_data.clear();
    m_type = UnknowPlaylist;
    m_contentTypeSeen = false;
    m_url.clear();
    updateIsProcessing(false);
}

