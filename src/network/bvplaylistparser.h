#pragma once

#include "bvglobal.h"
#include "bvplaybackhost.h"
#include "bvplaylisttypes.h"

#include <QNetworkReply>
#include <QPointer>

// Fetches the start of a URL and classifies it: a plain stream or a list the
// engine follows, an HLS multivariant or media playlist, or a JSON list of
// streams with bandwidths. Answers once per parse with a bitrate-to-URL map.
class BREVANTPLAYER_EXPORT BVPlaylistParser : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isProcessing READ isProcessing NOTIFY isProcessingChanged)

public:
    enum PlaylistType {
        UnknowPlaylist = -1,
        HlsMasterPlaylist = 0,
        HlsPlaylist = 1,
        BassMasterPlaylist = 2,
        BassPlaylist = 3,
    };
    Q_ENUM(PlaylistType)

    explicit BVPlaylistParser(BVPlaybackHost *host);

    bool isProcessing() const { return m_isProcessing; }
    // Why the last parse found nothing: the request's error and its code, empty when it got an answer.
    QString errorString() const { return m_errorString; }
    void parse(const QUrl &url);
    void abort();

    // What a plain stream at `url` offers: one entry, at the "icy-br" header's bitrate or a default.
    static BVPlaylistStreams plainStream(const QUrl &url, const QByteArray &icyBitrate);
    static bool isHlsType(PlaylistType type) { return type == HlsMasterPlaylist || type == HlsPlaylist; }
    static bool isMasterType(PlaylistType type) { return type == HlsMasterPlaylist || type == BassMasterPlaylist; }

signals:
    void isProcessingChanged(bool isProcessing);
    void parsingFinished(BVPlaylistStreams streams, bool isHls);

protected slots:
    bool updateIsProcessing(bool isProcessing);

private slots:
    void playlistRequestReadyRead();
    void playlistRequestFinished();

private:
    PlaylistType playlistTypeFromData() const;
    bool isNonHttpAnswer(const QNetworkReply *reply) const;
    void reset();

    bool m_isProcessing = false;
    BVPlaybackHostRef m_host;
    QUrl m_url;
    QPointer<QNetworkReply> m_reply;
    bool m_contentTypeSeen = false;
    PlaylistType m_type = UnknowPlaylist;
    QByteArray m_data;
    QString m_errorString;
};
