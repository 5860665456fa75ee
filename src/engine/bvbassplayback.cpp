#include "bvbassplayback.h"

#include "bass.h"
#include "bvbass.h"
#include "bvlogging.h"
#include "bvnetworkaccessmanager.h"
#include "bvplayer.h"

#include <cmath>

BVBassPlayback::BVBassPlayback(BVPlayer *player, QObject *parent) : BVPlayback(player, parent)
{
    m_bitrateTimer->setInterval(500);
    m_speedCoefWindow = 20;
    m_speedCoefThreshold = 0.95;
    m_bitrateCoefStep = 0.01;
}

QString BVBassPlayback::streamReadMeta(quint32 handle)
{
    if (!handle)
        return QString();
    const char *tag = BASS_ChannelGetTags(handle, BASS_TAG_META);
    return tag ? QString::fromUtf8(tag) : QString();
}

quint32 BVBassPlayback::start(quint64 startPos)
{
    if (!m_player || !m_player->nam())
        return 0;
    BVPlayback::start(startPos);
    if (m_player->streams().isEmpty())
        return 0;
    const quint32 bitrate = m_player->bitrateByCoef(bitrateCoef());
    const QUrl url = m_player->streamByBitrate(bitrate);
    updateCurrentBitrate(bitrate);

    const BVNetworkAccessManager *nam = m_player->nam();
    const QByteArray request = BVBass::formatStreamUrl(url, nam->userAgent(), nam->referer(), nam->tessaraUserId(),
                                                       nam->tessaraUtmMark());
    // A start from the beginning needs little to detect the format; one inside a stream needs more.
    BVBass::setVerifyNetSize(startPos == 0 ? 4096 : 98304);
    HSTREAM handle = BASS_StreamCreateURL(request.constData(), static_cast<DWORD>(startPos), BASS_STREAM_AUTOFREE,
                                          bassDownloaded, this);
    if (!handle) {
        const QString urlError = BVBass::errorMessage();
        // Not a network stream: try the URL as a local file.
        handle = BASS_StreamCreateFile(FALSE, url.toLocalFile().toUtf8().constData(), startPos, 0, BASS_STREAM_AUTOFREE);
        if (!handle) {
            qCDebug(bvLog) << m_player->playerName() << "Bass playback: Can not create url (" << urlError
                           << ") and file stream (" << BVBass::errorMessage() << ") Url:"
                           << url.toString(QUrl::RemoveUserInfo);
            return 0;
        }
    }
    if (!BASS_ChannelSetSync(handle, BASS_SYNC_META, 0, bassMetaSync, this))
        qCWarning(bvLog) << m_player->playerName() << "Bass playback: Can not set meta sync" << BVBass::errorMessage();
    BASS_ChannelSetSync(handle, BASS_SYNC_NET_RECONNECT, 0, bassReconnectSync, this); // logged only
    emit metaUpdated(streamReadMeta(handle));
    m_downloadedBytes = 0;
    m_downloadClock.start();
    return handle;
}

void BVBassPlayback::stop()
{
    BVPlayback::stop();
    m_downloadClock.invalidate();
    m_downloadedBytes = 0;
}

void BVBassPlayback::streamUpdateMeta()
{
    emit metaUpdated(m_player ? streamReadMeta(m_player->stream()) : QString());
}

double BVBassPlayback::speedCoef()
{
    const double seconds = m_downloadClock.isValid() ? m_downloadClock.restart() / 1000.0 : 0.0;
    if (std::abs(seconds) <= 1e-12)
        return 0.0;
    return static_cast<double>(m_downloadedBytes.exchange(0)) * 8.0 / seconds;
}

void BVBassPlayback::bassDownloaded(const void *, quint32 length, void *user)
{
    static_cast<BVBassPlayback *>(user)->streamDownloaded(length);
}

// Runs `action` on the player's thread, and only while `channel` is still the player's:
// an event queued before a stop or restart never acts on the next stream.
void BVBassPlayback::postForChannel(quint32 channel, std::function<void()> action)
{
    QMetaObject::invokeMethod(this, [this, channel, action = std::move(action)] {
        if (m_player && m_player->stream() == channel)
            action();
    }, Qt::QueuedConnection);
}

void BVBassPlayback::bassMetaSync(quint32, quint32 channel, quint32, void *user)
{
    auto *playback = static_cast<BVBassPlayback *>(user);
    playback->postForChannel(channel, [playback] { playback->streamUpdateMeta(); });
}

void BVBassPlayback::bassReconnectSync(quint32, quint32 channel, quint32, void *user)
{
    auto *playback = static_cast<BVBassPlayback *>(user);
    playback->postForChannel(channel, [playback] {
        qCWarning(bvLog) << playback->m_player->playerName() << "Bass playback: connection lost, connected again";
    });
}
