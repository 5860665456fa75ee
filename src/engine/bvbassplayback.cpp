#include "bvbassplayback.h"

#include "bass.h"
#include "bvbackgroundstream.h"
#include "bvbass.h"
#include "bvlogging.h"
#include "bvnetworkaccessmanager.h"
#include "bvplaylistformats.h"

#include <QSet>
#include <QThreadPool>

#include <cmath>
#include <mutex>

namespace {

// Back-ends that are alive: the engine's download callback may still run for a stream
// whose back-end is gone (a background start abandoned by a destroyed player).
std::mutex liveMutex;
QSet<const void *> liveBackends;

} // namespace

struct BVBassPlayback::Request {
    QUrl url;
    QByteArray text; // URL plus request headers, as the engine takes it
    quint64 startPos = 0;
    QString playerName;
    DWORD verifyBytes = 0; // read to detect the format, set beside the creation on its thread
};

// A start running on a worker: the worker stores the new handle; the back-end takes it, or,
// once abandoned, whoever drops the last reference frees it.
struct BVBassPlayback::PendingStart {
    std::mutex mutex;
    BVBassPlayback *owner; // null once abandoned
    quint32 handle = 0;
    int errorCode = BASS_OK;
    QString errorMessage;
    // The player's thread only:
    QByteArray request;   // what the engine was asked to open
    bool wanted = false;  // a start asked for it, not only a preconnection
    bool created = false; // the worker is done

    explicit PendingStart(BVBassPlayback *backend) : owner(backend) {}
    ~PendingStart()
    {
        if (handle)
            BASS_StreamFree(handle);
    }
};

BVBassPlayback::BVBassPlayback(BVPlaybackHost *host, QObject *parent) : BVPlayback(host, parent)
{
    m_bitrateTimer->setInterval(500);
    m_speedCoefWindow = 20;
    m_speedCoefThreshold = 0.95;
    m_bitrateCoefStep = 0.01;
    std::lock_guard lock(liveMutex);
    liveBackends.insert(this);
}

BVBassPlayback::~BVBassPlayback()
{
    abandonBackgroundStart();
    std::lock_guard lock(liveMutex);
    liveBackends.remove(this);
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
    Request request;
    if (!prepareRequest(startPos, request))
        return 0;
    return finishStart(createStream(request, this));
}

bool BVBassPlayback::preconnect(const QUrl &url)
{
    abandonBackgroundStart();
    const QString scheme = url.scheme();
    if (!m_host || !m_host->nam() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        || BVPlaylistFormats::namePromisesList(url))
        return false;
    launch(requestFor(url, 0), false);
    return true;
}

void BVBassPlayback::startInBackground(quint64 startPos)
{
    supersedeStarts();
    Request request;
    if (!prepareRequest(startPos, request)) {
        abandonBackgroundStart();
        reportStarted(0, BVBass::errorMessage());
        return;
    }
    if (m_pendingStart && !m_pendingStart->wanted && m_pendingStart->request == request.text) {
        m_pendingStart->wanted = true; // the preconnection opened just this stream
        if (m_pendingStart->created)
            deliver(m_pendingStart);
        return;
    }
    abandonBackgroundStart();
    launch(request, true);
}

void BVBassPlayback::launch(const Request &request, bool wanted)
{
    auto pending = std::make_shared<PendingStart>(this);
    pending->request = request.text;
    pending->wanted = wanted;
    m_pendingStart = pending;
    BVBackgroundStream::pool().start([pending, request, user = static_cast<void *>(this)] {
        const quint32 handle = createStream(request, user);
        std::lock_guard lock(pending->mutex);
        pending->handle = handle;
        pending->errorCode = BASS_ErrorGetCode();
        pending->errorMessage = BVBass::errorMessage();
        // The owner is alive while the lock is held (abandoning takes it too); the event dies with it.
        if (BVBassPlayback *owner = pending->owner)
            QMetaObject::invokeMethod(owner, [owner, pending] { owner->backgroundStartCreated(pending); },
                                      Qt::QueuedConnection);
    });
}

void BVBassPlayback::backgroundStartCreated(const std::shared_ptr<PendingStart> &pending)
{
    if (pending != m_pendingStart)
        return;
    pending->created = true;
    if (pending->wanted) {
        deliver(pending);
    } else if (pending->handle) {
        emit preconnected(responseHeader(pending->handle, "icy-br"));
    } else {
        m_pendingStart.reset();
        emit preconnectionFailed(pending->errorCode, pending->errorMessage);
    }
}

QByteArray BVBassPlayback::responseHeader(quint32 handle, const char *name)
{
    const uint nameLength = qstrlen(name);
    for (const char *line = BASS_ChannelGetTags(handle, BASS_TAG_HTTP); line && *line; line += qstrlen(line) + 1) {
        if (qstrnicmp(line, name, nameLength) == 0 && line[nameLength] == ':')
            return QByteArray(line + nameLength + 1).trimmed();
    }
    return QByteArray();
}

void BVBassPlayback::deliver(std::shared_ptr<PendingStart> pending) // a copy: it may be m_pendingStart
{
    m_pendingStart.reset();
    const quint32 handle = std::exchange(pending->handle, 0);
    reportStarted(finishStart(handle), pending->errorMessage);
}

void BVBassPlayback::abandonBackgroundStart()
{
    if (!m_pendingStart)
        return;
    {
        std::lock_guard lock(m_pendingStart->mutex);
        m_pendingStart->owner = nullptr;
    }
    m_pendingStart.reset();
}

// Steps on the player's thread before the engine is asked: the bitrate and its URL.
bool BVBassPlayback::prepareRequest(quint64 startPos, Request &request)
{
    if (!m_host || !m_host->nam())
        return false;
    BVPlayback::start(startPos);
    if (m_host->streams().isEmpty())
        return false;
    const quint32 bitrate = m_host->bitrateByCoef(bitrateCoef());
    request = requestFor(m_host->streamByBitrate(bitrate), startPos);
    updateCurrentBitrate(bitrate);
    return true;
}

BVBassPlayback::Request BVBassPlayback::requestFor(const QUrl &url, quint64 startPos) const
{
    const BVNetworkAccessManager *nam = m_host->nam();
    return Request{url,
                   BVBass::formatStreamUrl(url, nam->userAgent(), nam->referer(), nam->tessaraUserId(),
                                           nam->tessaraUtmMark()),
                   startPos, m_host->playerName(),
                   // A start from the beginning needs little to detect the format; one inside a stream more.
                   startPos == 0 ? DWORD(4096) : DWORD(98304)};
}

// Opens the URL, or the same URL as a local file; safe on any thread.
quint32 BVBassPlayback::createStream(const Request &request, void *user)
{
    BASS_SetConfig(BASS_CONFIG_THREAD | BASS_CONFIG_VERIFY_NET, request.verifyBytes);
    HSTREAM handle = BASS_StreamCreateURL(request.text.constData(), static_cast<DWORD>(request.startPos),
                                          BASS_STREAM_AUTOFREE, bassDownloaded, user);
    if (handle)
        return handle;
    const QString urlError = BVBass::errorMessage();
    // Not a network stream: try the URL as a local file. A URL that names none keeps its own error.
    const QString path = request.url.toLocalFile();
    if (path.isEmpty())
        return 0;
    handle = BASS_StreamCreateFile(FALSE, path.toUtf8().constData(), request.startPos, 0, BASS_STREAM_AUTOFREE);
    if (!handle)
        qCDebug(bvLog) << request.playerName << "Bass playback: Can not create url (" << urlError
                       << ") and file stream (" << BVBass::errorMessage() << ") Url:"
                       << request.url.toString(QUrl::RemoveUserInfo);
    return handle;
}

// Steps on the player's thread once the channel exists: title sync, first title, rate clock.
quint32 BVBassPlayback::finishStart(quint32 handle)
{
    if (!handle)
        return 0;
    if (!BASS_ChannelSetSync(handle, BASS_SYNC_META, 0, bassMetaSync, this))
        qCWarning(bvLog) << m_host->playerName() << "Bass playback: Can not set meta sync" << BVBass::errorMessage();
    BASS_ChannelSetSync(handle, BASS_SYNC_NET_RECONNECT, 0, bassReconnectSync, this); // logged only
    emit metaUpdated(streamReadMeta(handle));
    m_downloadedBytes = 0;
    m_downloadClock.start();
    return handle;
}

void BVBassPlayback::stop()
{
    abandonBackgroundStart();
    BVPlayback::stop();
    m_downloadClock.invalidate();
    m_downloadedBytes = 0;
}

void BVBassPlayback::streamUpdateMeta()
{
    emit metaUpdated(m_host ? streamReadMeta(m_host->stream()) : QString());
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
    std::lock_guard lock(liveMutex);
    if (liveBackends.contains(user))
        static_cast<BVBassPlayback *>(user)->streamDownloaded(length);
}

// Runs `action` on the player's thread, and only while `channel` is still the player's:
// an event queued before a stop or restart never acts on the next stream.
void BVBassPlayback::postForChannel(quint32 channel, std::function<void()> action)
{
    QMetaObject::invokeMethod(this, [this, channel, action = std::move(action)] {
        if (m_host && m_host->stream() == channel)
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
        qCWarning(bvLog) << playback->m_host->playerName() << "Bass playback: connection lost, connected again";
    });
}
