#pragma once

#include "bvplayback.h"

#include <QElapsedTimer>

#include <atomic>
#include <functional>
#include <memory>

// The back-end for streams the audio engine downloads and decodes itself:
// HTTP(S) streams, playlists the engine follows, and local files.
class BREVANTPLAYER_EXPORT BVBassPlayback : public BVPlayback
{
    Q_OBJECT

public:
    explicit BVBassPlayback(BVPlaybackHost *host, QObject *parent = nullptr);
    ~BVBassPlayback() override;

    // The engine's BASS_TAG_META text of `handle`, empty when there is none.
    static QString streamReadMeta(quint32 handle);

public slots:
    // Opens the stream on the calling thread and returns it.
    quint32 start(quint64 startPos = 0) override;
    // Opens the stream on a worker thread, so the caller's thread never waits for the
    // network; reports through started(). A stop() before that abandons the start.
    void startInBackground(quint64 startPos = 0) override;
    // Starts opening an http(s) `url` from its beginning before it is known to be a plain stream;
    // reports through preconnected() or preconnectionFailed(). A startInBackground() that asks for
    // just this stream takes it over, anything else drops it. URLs named like lists are left
    // alone: returns false then.
    bool preconnect(const QUrl &url);
    void stop() override;
    void streamDownloaded(quint32 length) { m_downloadedBytes += length; }
    void streamUpdateMeta();

signals:
    // The preconnection found audio; `icyBitrate` is its server's "icy-br" header (empty when none).
    void preconnected(const QByteArray &icyBitrate);
    // The preconnection failed with the engine's `errorCode`.
    void preconnectionFailed(int errorCode, const QString &errorMessage);

protected:
    double speedCoef() override;

private:
    struct Request;
    struct PendingStart;

    bool prepareRequest(quint64 startPos, Request &request);
    Request requestFor(const QUrl &url, quint64 startPos) const;
    static quint32 createStream(const Request &request, void *user);
    quint32 finishStart(quint32 handle);
    void launch(const Request &request, bool wanted);
    void backgroundStartCreated(const std::shared_ptr<PendingStart> &pending);
    void deliver(std::shared_ptr<PendingStart> pending);
    void abandonBackgroundStart();
    // The value of the response header `name` (any case) the channel was opened with.
    static QByteArray responseHeader(quint32 handle, const char *name);

    static void bassDownloaded(const void *buffer, quint32 length, void *user);
    static void bassMetaSync(quint32 sync, quint32 channel, quint32 data, void *user);
    static void bassReconnectSync(quint32 sync, quint32 channel, quint32 data, void *user);
    void postForChannel(quint32 channel, std::function<void()> action);

    QElapsedTimer m_downloadClock;
    std::atomic<quint64> m_downloadedBytes{0}; // written by the engine's download thread
    std::shared_ptr<PendingStart> m_pendingStart;
};
