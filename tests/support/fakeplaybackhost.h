// A playback host without a player (its own network access manager, a fixed stream) for testing back-ends alone.
#pragma once

#include "bvnetworkaccessmanager.h"
#include "bvplaybackhost.h"

namespace bvtest {

class FakePlaybackHost : public QObject, public BVPlaybackHost
{
public:
    FakePlaybackHost() : m_nam(new BVNetworkAccessManager(this)) { m_nam->setAwait(false); } // as a player sets it

    QObject *hostObject() override { return this; }
    QPointer<BVNetworkAccessManager> nam() const override { return m_nam; }
    QString playerName() const override { return QStringLiteral("Fake host"); }
    // The first stream is the URL; there is no stream choice.
    QUrl streamUrl() const override { return m_streams.isEmpty() ? QUrl() : m_streams.begin().value(); }
    BVPlaylistStreams streams() const override { return m_streams; }
    QList<quint32> playingBitrates() const override { return m_streams.uniqueKeys(); }
    quint32 currentBitrate() const override { return 0; }
    quint32 bitrateByCoef(double) const override { return 0; }
    QUrl streamByBitrate(quint32 bitrate) const override { return m_streams.value(bitrate); }
    quint32 stream() const override { return 0; }
    quint64 streamFilePosBuffer() const override { return 0; }
    quint64 streamFilePosEnd() const override { return 0; }

    BVPlaylistStreams m_streams;

private:
    BVNetworkAccessManager *m_nam;
};

} // namespace bvtest
