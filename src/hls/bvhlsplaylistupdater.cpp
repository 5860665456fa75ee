#include "bvhlsplaylistupdater.h"

#include "bvclock.h"
#include "bvhlsmediaplaylist.h"

#include "bvlogging.h"
#include "bvnetworkaccessmanager.h"
#include "bvpropertyupdate.h"


BVHlsPlaylistUpdater::BVHlsPlaylistUpdater(BVPlaybackHost *host, QObject *parent)
    : QObject(parent ? parent : BVPlaybackHost::objectOf(host)), m_host(host), m_updateTimer(new QTimer(this))
{
    m_updateTimer->setInterval(1000);
    connect(m_updateTimer, &QTimer::timeout, this, &BVHlsPlaylistUpdater::updatePlaylist);
}

void BVHlsPlaylistUpdater::changePlaylist(quint32 bitrate, const QUrl &url)
{
    updateBitrate(url.isEmpty() ? 0 : bitrate);
    updatePlaylistUrl(url);
    if (url.isEmpty())
        stop();
    else
        start();
}

void BVHlsPlaylistUpdater::resetPlaylist()
{
    changePlaylist(0, QUrl());
}

void BVHlsPlaylistUpdater::start()
{
    if (!m_playlistUrl.isEmpty())
        updatePlaylist();
    if (m_updateTimer->isActive())
        return;
    updateIsActive(true);
    BVClock::start(m_updateTimer);
    m_readErrorsCount = 0;
}

void BVHlsPlaylistUpdater::stop()
{
    m_updateTimer->stop();
    m_readErrorsCount = 0;
    BVNetworkAccessManager::discardReply(m_playlistReply, this);
    updateIsActive(false);
    updateWasUpdated(false);
}

void BVHlsPlaylistUpdater::updatePlaylist()
{
    if (!m_host || !m_host->nam() || m_playlistUrl.isEmpty())
        return;
    if (m_playlistReply && m_playlistReply->isRunning()) {
        if (BVNetworkAccessManager::isSameUrl(m_playlistReply->request().url(), m_playlistUrl)) {
            qCDebug(bvLog) << m_host->playerName()
                           << "Hls playlist updater: skip playlist update request, cause previous still running";
            return;
        }
        qCWarning(bvLog) << m_host->playerName() << "Hls playlist updater: abort prev playlist request";
        BVNetworkAccessManager::discardReply(m_playlistReply, this);
    }
    // A playlist larger than any real one is cut off and counts as a failed request.
    m_playlistReply = BVNetworkAccessManager::getSafely(m_host->nam(), m_playlistUrl, BV_HLS_MAX_PLAYLIST_BYTES);
    connect(m_playlistReply, &QNetworkReply::finished, this, &BVHlsPlaylistUpdater::playlistRequestFinished);
}

void BVHlsPlaylistUpdater::playlistRequestFinished()
{
    if (!m_host || sender() != m_playlistReply)
        return;
    m_playlistReply = nullptr;
    QNetworkReply *reply = BVNetworkAccessManager::senderReply(
        sender(), m_host->playerName() + QStringLiteral(" Hls playlist updater request"), bvLog());
    if (!reply) {
        if (++m_readErrorsCount >= BV_HLS_MAX_READ_ERRORS)
            emit playlistMaxReadErrorsCountReached();
        return;
    }
    const BVHlsChunks chunks = BVHlsMediaPlaylist::chunks(reply->readAll(), reply->url(), m_bitrate);
    BVClock::setInterval(m_updateTimer, BVHlsMediaPlaylist::pollInterval(chunks));
    m_readErrorsCount = 0;
    if (chunks.isEmpty())
        return;
    emit playlistUpdated(chunks, reply->url());
    updateWasUpdated(true);
}

bool BVHlsPlaylistUpdater::updateBitrate(quint32 bitrate)
{
    return bvUpdateProperty(this, m_bitrate, bitrate, &BVHlsPlaylistUpdater::bitrateChanged);
}

bool BVHlsPlaylistUpdater::updatePlaylistUrl(const QUrl &playlistUrl)
{
    return bvUpdateProperty(this, m_playlistUrl, playlistUrl, &BVHlsPlaylistUpdater::playlistUrlChanged);
}

bool BVHlsPlaylistUpdater::updateIsActive(bool isActive)
{
    if (m_isActive.loadRelaxed() == isActive)
        return false;
    m_isActive.storeRelaxed(isActive);
    emit isActiveChanged(isActive);
    return true;
}

bool BVHlsPlaylistUpdater::updateWasUpdated(bool wasUpdated)
{
    if (m_wasUpdated.loadRelaxed() == wasUpdated)
        return false;
    m_wasUpdated.storeRelaxed(wasUpdated);
    emit wasUpdatedChanged(wasUpdated);
    return true;
}
