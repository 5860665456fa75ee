#include "bvpushplayback.h"

#include "bass.h"
#include "bvbass.h"
#include "bvlogging.h"

qint64 BVPushPlaybackDevice::readData(char *, qint64)
{
    return -1;
}

qint64 BVPushPlaybackDevice::writeData(const char *data, qint64 size)
{
    const quint32 handle = m_handle;
    if (size < 1 || handle == 0)
        return -1;
    if (BASS_StreamPutData(handle, data, static_cast<DWORD>(size)) == static_cast<DWORD>(-1))
        return -1;
    return size;
}

BVPushPlayback::BVPushPlayback(BVPlaybackHost *host, QObject *parent)
    : BVPlayback(host, parent), m_device(new BVPushPlaybackDevice(this))
{
    m_device->open(QIODevice::WriteOnly);
}

quint32 BVPushPlayback::start(quint64 startPos)
{
    if (!m_host)
        return 0;
    BVPlayback::start(startPos);
    const QUrl url = m_host->streamUrl();
    if (url.isEmpty()) {
        qCDebug(bvLog) << m_host->playerName() << "Push playback: player stream url is empty";
        return 0;
    }
    if (url.scheme() != QLatin1String("push")) {
        qCDebug(bvLog) << m_host->playerName() << "Push playback: player stream url scheme is not valid";
        return 0;
    }
    const HSTREAM handle = BASS_StreamCreate(44100, 2, BASS_STREAM_AUTOFREE, STREAMPROC_PUSH, nullptr);
    if (!handle) {
        qCDebug(bvLog) << m_host->playerName() << "Push playback: Can not create push stream" << BVBass::errorMessage();
        return 0;
    }
    if (!BASS_ChannelSetAttribute(handle, BASS_ATTRIB_PUSH_LIMIT, 1048576.0f)) {
        qCWarning(bvLog) << m_host->playerName() << "Can not set push channel limit attribute" << BVBass::errorMessage();
        BASS_StreamFree(handle);
        return 0;
    }
    m_device->setHandle(handle);
    return handle;
}

void BVPushPlayback::stop()
{
    BVPlayback::stop();
    m_device->setHandle(0);
}
