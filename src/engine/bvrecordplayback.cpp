#include "bvrecordplayback.h"

#include "bass.h"
#include "bvbass.h"
#include "bvlogging.h"

namespace {

constexpr qsizetype kPendingLimit = 1048576; // as much as the push stream itself may hold

} // namespace

BVRecordPlayback::BVRecordPlayback(BVPlaybackHost *host, QObject *parent) : BVPlayback(host, parent) {}

BVRecordPlayback::~BVRecordPlayback()
{
    resetAndFree();
}

quint32 BVRecordPlayback::start(quint64 startPos)
{
    if (!m_host)
        return 0;
    BVPlayback::start(startPos);
    const QString name = m_host->playerName();
    const QUrl url = m_host->streamUrl();
    if (url.isEmpty()) {
        qCDebug(bvLog) << name << "Record playback: player stream url is empty";
        return 0;
    }
    if (url.scheme() != QLatin1String("record")) {
        qCDebug(bvLog) << name << "Record playback: player stream url scheme is not valid";
        return 0;
    }
    bool ok = false;
    m_recordDevice = url.path(QUrl::FullyDecoded).toInt(&ok, 10);
    if (!ok) {
        qCDebug(bvLog) << name << "Record playback: invalid device in stream url" << url.path(QUrl::FullyDecoded);
        return 0;
    }
    BASS_RecordSetDevice(static_cast<DWORD>(m_recordDevice));
    if (!BASS_RecordInit(m_recordDevice)) {
        qCDebug(bvLog) << name << "Record playback: can not init record device" << m_recordDevice << BVBass::errorMessage();
        return 0;
    }
    m_recordInitialized = true;
    m_recordChannel = BASS_RecordStart(44100, 0, 0, bassRecordProc, this);
    if (!m_recordChannel) {
        qCDebug(bvLog) << name << "Record playback: can not start record device" << m_recordDevice << BVBass::errorMessage();
        resetAndFree();
        return 0;
    }
    if (!BASS_ChannelSetSync(m_recordChannel, BASS_SYNC_DEV_FAIL, 0, bassRecordDevFailSync, this)) {
        qCDebug(bvLog) << name << "Record playback: can not set device" << m_recordDevice << "fail sync"
                       << BVBass::errorMessage();
        resetAndFree();
        return 0;
    }
    BASS_RECORDINFO info{};
    if (!BASS_RecordGetInfo(&info)) {
        qCDebug(bvLog) << name << "Record playback: can not get record device info" << m_recordDevice
                       << BVBass::errorMessage();
        resetAndFree();
        return 0;
    }
    const DWORD channels = (info.formats >> 24) ? (info.formats >> 24) : 2;
    const HSTREAM stream = BASS_StreamCreate(44100, channels, BASS_STREAM_AUTOFREE, STREAMPROC_PUSH, nullptr);
    if (!stream) {
        qCDebug(bvLog) << name << "Record playback: Can not create record stream" << BVBass::errorMessage();
        resetAndFree();
        return 0;
    }
    if (!BASS_ChannelSetAttribute(stream, BASS_ATTRIB_PUSH_LIMIT, 1048576.0f)) {
        qCWarning(bvLog) << name << "Can not set record channel limit attribute" << BVBass::errorMessage();
        BASS_StreamFree(stream);
        resetAndFree();
        return 0;
    }
    std::lock_guard lock(m_pendingMutex);
    if (!m_pending.isEmpty())
        BASS_StreamPutData(stream, m_pending.constData(), static_cast<DWORD>(m_pending.size()));
    m_pending.clear();
    m_pushStream = stream;
    return stream;
}

void BVRecordPlayback::stop()
{
    BVPlayback::stop();
    resetAndFree();
}

void BVRecordPlayback::resetAndFree()
{
    if (!m_recordInitialized && m_recordDevice == 0 && m_recordChannel == 0)
        return;
    BASS_RecordSetDevice(static_cast<DWORD>(m_recordDevice));
    // Freeing the recording waits for its callback: nothing is pushed after this.
    if (m_recordChannel && !BASS_ChannelFree(m_recordChannel))
        qCDebug(bvLog) << (m_host ? m_host->playerName() : QString()) << "Record playback: can not free record stream"
                       << BVBass::errorMessage();
    if (m_recordInitialized)
        BASS_RecordFree();
    m_recordInitialized = false;
    m_recordDevice = 0;
    m_recordChannel = 0;
    std::lock_guard lock(m_pendingMutex);
    m_pending.clear();
    m_pushStream = 0;
}

quint32 BVRecordPlayback::targetStream() const
{
    const quint32 current = m_host ? m_host->stream() : 0;
    return current ? current : m_pushStream.load();
}

int BVRecordPlayback::bassRecordProc(quint32, const void *buffer, quint32 length, void *user)
{
    auto *self = static_cast<BVRecordPlayback *>(user);
    std::lock_guard lock(self->m_pendingMutex);
    const quint32 stream = self->targetStream();
    if (!stream) {
        if (self->m_pending.size() + length > kPendingLimit)
            return FALSE;
        self->m_pending.append(static_cast<const char *>(buffer), length);
        return TRUE;
    }
    return BASS_StreamPutData(stream, buffer, length) != static_cast<DWORD>(-1);
}

void BVRecordPlayback::bassRecordDevFailSync(quint32, quint32, quint32, void *user)
{
    auto *self = static_cast<BVRecordPlayback *>(user);
    const quint32 stream = self->m_host ? self->m_host->stream() : 0;
    if (!stream)
        return;
    qCDebug(bvLog) << self->m_host->playerName() << "Record playback: device failure" << BVBass::errorMessage();
    BASS_StreamPutData(stream, nullptr, BASS_STREAMPROC_END);
}
