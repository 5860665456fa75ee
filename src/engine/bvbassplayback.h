#pragma once

#include "bvplayback.h"

#include <QElapsedTimer>

#include <atomic>
#include <functional>

// The back-end for streams the audio engine downloads and decodes itself:
// HTTP(S) streams, playlists the engine follows, and local files.
class BREVANTPLAYER_EXPORT BVBassPlayback : public BVPlayback
{
    Q_OBJECT

public:
    explicit BVBassPlayback(BVPlayer *player, QObject *parent = nullptr);

    // The engine's BASS_TAG_META text of `handle`, empty when there is none.
    static QString streamReadMeta(quint32 handle);

public slots:
    quint32 start(quint64 startPos = 0) override;
    void stop() override;
    void streamDownloaded(quint32 length) { m_downloadedBytes += length; }
    void streamUpdateMeta();

protected:
    double speedCoef() override;

private:
    static void bassDownloaded(const void *buffer, quint32 length, void *user);
    static void bassMetaSync(quint32 sync, quint32 channel, quint32 data, void *user);
    static void bassReconnectSync(quint32 sync, quint32 channel, quint32 data, void *user);
    void postForChannel(quint32 channel, std::function<void()> action);

    QElapsedTimer m_downloadClock;
    std::atomic<quint64> m_downloadedBytes{0}; // written by the engine's download thread
};
