#include "bvhlschunkdownloader.h"

#include "bvclock.h"
#include "bvlogging.h"
#include "bvnetworkaccessmanager.h"
#include "bvpropertyupdate.h"

BVHlsChunkDownloader::BVHlsChunkDownloader(BVPlaybackHost *host, QObject *parent)
    : QObject(parent ? parent : BVPlaybackHost::objectOf(host)), m_host(host), m_errorTimer(new QTimer(this))
{
    m_errorTimer->setSingleShot(true);
    m_errorTimer->setTimerType(Qt::PreciseTimer); // a coarse timer may fire 5 % early
    connect(m_errorTimer, &QTimer::timeout, this, &BVHlsChunkDownloader::handleError);
}

void BVHlsChunkDownloader::download(const QUrl &url)
{
    if (!m_host || !m_host->nam())
        return;
    abort();
    updateIsDownloading(true);
    updateDownloadingUrl(url);
    m_requestedAtMs = BVClock::nowMs();
    m_downloadReply = BVNetworkAccessManager::getSafely(m_host->nam(), url, BV_HLS_MAX_CHUNK_BYTES);
    connect(m_downloadReply, &QNetworkReply::finished, this, &BVHlsChunkDownloader::downloadRequestFinished);
}

void BVHlsChunkDownloader::abort()
{
    BVNetworkAccessManager::discardReply(m_downloadReply, this);
    m_errorTimer->stop();
    updateDownloadingUrl(QUrl());
    updateIsDownloading(false);
}

void BVHlsChunkDownloader::downloadRequestFinished()
{
    if (!m_host || sender() != m_downloadReply)
        return;
    m_downloadReply = nullptr;
    QNetworkReply *reply = BVNetworkAccessManager::senderReply(
        sender(), m_host->playerName() + QStringLiteral(" Hls chunk downloader request"), bvLog());
    if (!reply) {
        const qint64 wait = BV_HLS_ERROR_DELAY - (BVClock::nowMs() - m_requestedAtMs);
        if (wait > 0)
            BVClock::start(m_errorTimer, int(wait));
        else
            handleError();
        return;
    }
    const QByteArray body = reply->readAll();
    const QUrl url = m_downloadingUrl;
    updateDownloadingUrl(QUrl());
    updateIsDownloading(false);
    emit downloadingDone(url, body);
}

void BVHlsChunkDownloader::handleError()
{
    const QUrl url = m_downloadingUrl;
    updateDownloadingUrl(QUrl());
    updateIsDownloading(false);
    emit downloadingError(url);
}

bool BVHlsChunkDownloader::updateDownloadingUrl(const QUrl &downloadingUrl)
{
    return bvUpdateProperty(this, m_downloadingUrl, downloadingUrl, &BVHlsChunkDownloader::downloadingUrlChanged);
}

bool BVHlsChunkDownloader::updateIsDownloading(bool isDownloading)
{
    return bvUpdateProperty(this, m_isDownloading, isDownloading, &BVHlsChunkDownloader::isDownloadingChanged);
}
