#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include "bvglobal.h"
#include "bvplaybackhost.h"

// Fetches one HLS segment at a time and reports its body or a failure. A failure is
// reported no sooner than 10 s after the request began, which paces the retries.
class BREVANTPLAYER_EXPORT BVHlsChunkDownloader : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl downloadingUrl READ downloadingUrl NOTIFY downloadingUrlChanged)
    Q_PROPERTY(bool isDownloading READ isDownloading NOTIFY isDownloadingChanged)

public:
    static const int BV_HLS_ERROR_DELAY = 10000;
    // A segment larger than this is hostile: its download fails.
    static const qint64 BV_HLS_MAX_CHUNK_BYTES = 32 * 1024 * 1024;

    explicit BVHlsChunkDownloader(BVPlaybackHost *host, QObject *parent = nullptr);

    QUrl downloadingUrl() const { return m_downloadingUrl; }
    bool isDownloading() const { return m_isDownloading; }

    // Cancels any download in progress and starts fetching `url`.
    void download(const QUrl &url);
    // Cancels everything; nothing is reported for the cancelled request.
    void abort();

signals:
    void downloadingUrlChanged(const QUrl &downloadingUrl);
    void isDownloadingChanged(bool isDownloading);
    void downloadingError(const QUrl &url);
    void downloadingDone(const QUrl &url, const QByteArray &data);

public slots:
    bool updateDownloadingUrl(const QUrl &downloadingUrl);
    bool updateIsDownloading(bool isDownloading);
    void downloadRequestFinished();
    void handleError();

private:
    QUrl m_downloadingUrl;
    bool m_isDownloading = false;
    BVPlaybackHostRef m_host;
    qint64 m_requestedAtMs = 0; // on BVClock: failures are reported a fixed time after their request
    QTimer *m_errorTimer;
    QPointer<QNetworkReply> m_downloadReply;
};
