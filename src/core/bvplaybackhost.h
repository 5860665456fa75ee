#pragma once

#include "bvglobal.h"
#include "bvplaylisttypes.h"

#include <QPointer>

class BVNetworkAccessManager;

// What a playback back-end, the playlist parser, the HLS helpers and the ad object may ask
// of the player they serve. BVPlayer implements it; tests implement it without a player.
class BREVANTPLAYER_EXPORT BVPlaybackHost
{
public:
    virtual ~BVPlaybackHost() = default;

    // `host`'s object, or null without a host.
    static QObject *objectOf(BVPlaybackHost *host) { return host ? host->hostObject() : nullptr; }

    // The object behind the host: the default Qt parent of what serves it, and its liveness.
    virtual QObject *hostObject() = 0;
    virtual QPointer<BVNetworkAccessManager> nam() const = 0;
    // The name that starts the host's log lines.
    virtual QString playerName() const = 0;

    virtual QUrl streamUrl() const = 0;
    virtual BVPlaylistStreams streams() const = 0;
    virtual QList<quint32> playingBitrates() const = 0;
    virtual quint32 currentBitrate() const = 0;
    // Stream choice: the playing bitrate at a relative position, and one URL of a bitrate.
    virtual quint32 bitrateByCoef(double coef) const = 0;
    virtual QUrl streamByBitrate(quint32 bitrate) const = 0;

    // The channel the host plays (0 without one) and the engine's file positions of it.
    virtual quint32 stream() const = 0;
    virtual quint64 streamFilePosBuffer() const = 0;
    virtual quint64 streamFilePosEnd() const = 0;
};

// A guarded pointer to a host: null once the host's object is destroyed.
class BVPlaybackHostRef
{
public:
    BVPlaybackHostRef(BVPlaybackHost *host = nullptr) : m_object(BVPlaybackHost::objectOf(host)), m_host(host) {}

    BVPlaybackHost *get() const { return m_object ? m_host : nullptr; }
    BVPlaybackHost *operator->() const { return get(); }
    explicit operator bool() const { return !m_object.isNull(); }

private:
    QPointer<QObject> m_object;
    BVPlaybackHost *m_host;
};
