#pragma once

#include "bvhlschunk.h"
#include "bvplaybackhost.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>

// Keeps one HLS media playlist fresh: fetches it at once and then on a timer that follows
// the segment durations, and reports its segments keyed by media sequence number.
class BREVANTPLAYER_EXPORT BVHlsPlaylistUpdater : public QObject
{
    Q_OBJECT
    Q_PROPERTY(quint32 bitrate READ bitrate NOTIFY bitrateChanged)
    Q_PROPERTY(QUrl playlistUrl READ playlistUrl NOTIFY playlistUrlChanged)
    Q_PROPERTY(bool isActive READ isActive NOTIFY isActiveChanged)
    Q_PROPERTY(bool wasUpdated READ wasUpdated NOTIFY wasUpdatedChanged)

public:
    // Failed requests in a row after which every further failure is reported.
    static const quint32 BV_HLS_MAX_READ_ERRORS = 10;
    // A larger playlist body is hostile: the request fails.
    static const qint64 BV_HLS_MAX_PLAYLIST_BYTES = 1024 * 1024;

    explicit BVHlsPlaylistUpdater(BVPlaybackHost *host, QObject *parent = nullptr);

    quint32 bitrate() const { return m_bitrate; }
    QUrl playlistUrl() const { return m_playlistUrl; }
    // Read without a lock by the HLS read path on engine threads.
    bool isActive() const { return m_isActive.loadRelaxed(); }
    bool wasUpdated() const { return m_wasUpdated.loadRelaxed(); }

    // Polls `url` for segments of `bitrate`; an empty URL stops polling.
    void changePlaylist(quint32 bitrate, const QUrl &url);
    void resetPlaylist();

signals:
    void bitrateChanged(quint32 bitrate);
    void playlistUrlChanged(const QUrl &playlistUrl);
    void isActiveChanged(bool isActive);
    void wasUpdatedChanged(bool wasUpdated);
    void playlistUpdated(const QMap<quint32,BVHlsChunk> &chunks, const QUrl &url);
    void playlistMaxReadErrorsCountReached();

protected slots:
    bool updateBitrate(quint32 bitrate);
    bool updatePlaylistUrl(const QUrl &playlistUrl);
    bool updateIsActive(bool isActive);
    bool updateWasUpdated(bool wasUpdated);

private slots:
    void start();
    void stop();
    void updatePlaylist();
    void playlistRequestFinished();

private:
    quint32 m_bitrate = 0;
    QUrl m_playlistUrl;
    QAtomicInteger<bool> m_isActive = false;
    QAtomicInteger<bool> m_wasUpdated = false;
    BVPlaybackHostRef m_host;
    QTimer *m_updateTimer;
    QPointer<QNetworkReply> m_playlistReply;
    quint32 m_readErrorsCount = 0;
};
