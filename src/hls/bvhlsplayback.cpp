#include "bvhlsplayback.h"

#include "bvbackgroundstream.h"
#include "bvbass.h"
#include "bvclock.h"
#include "bvhlschunkdownloader.h"
#include "bvhlsdemuxer.h"
#include "bvhlsplaylistupdater.h"
#include "bvlogging.h"

#include <QStringList>
#include <QThread>

#include <algorithm>
#include <cstring>

namespace {

constexpr DWORD kEndOfData = DWORD(-1);

} // namespace

const BASS_FILEPROCS BVHlsPlayback::m_fileProcs = {&BVHlsPlayback::bassCloseProc, &BVHlsPlayback::bassLenProc,
                                                   &BVHlsPlayback::bassReadProc, &BVHlsPlayback::bassSeekProc};

BVHlsPlayback::BVHlsPlayback(BVPlaybackHost *host, QObject *parent)
    : BVPlayback(host, parent),
      m_playlistUpdater(new BVHlsPlaylistUpdater(host, this)),
      m_chunkDownloader(new BVHlsChunkDownloader(host, this)),
      m_demuxer(new BVHlsDemuxer(this)),
      m_slowDeliveryTimer(new QTimer(this))
{
    m_slowDeliveryTimer->setSingleShot(true);
    m_slowDeliveryTimer->setTimerType(Qt::PreciseTimer);
    connect(m_slowDeliveryTimer, &QTimer::timeout, this, &BVHlsPlayback::switchDownForSlowDelivery);
    qRegisterMetaType<BVHlsChunks>("QMap<quint32,BVHlsChunk>");
    connect(this, &BVPlayback::restartRequired, this, &BVHlsPlayback::changePlaylistUpaterUrl);
    connect(m_playlistUpdater, &BVHlsPlaylistUpdater::playlistUpdated, this, &BVHlsPlayback::updatePlaylist);
    connect(m_playlistUpdater, &BVHlsPlaylistUpdater::isActiveChanged, this, [this] { m_chunksCondition.wakeAll(); });
    connect(m_playlistUpdater, &BVHlsPlaylistUpdater::playlistMaxReadErrorsCountReached, this,
            [this] { emit error(QStringLiteral("Hls playlist max read errors count reached")); });
    connect(m_chunkDownloader, &BVHlsChunkDownloader::downloadingDone, this, &BVHlsPlayback::demuxChunkData);
    connect(m_chunkDownloader, &BVHlsChunkDownloader::downloadingError, this, &BVHlsPlayback::downloadNextChunk);
    m_bitrateTimer->setInterval(500);
    m_speedCoefWindow = 20;
    m_speedCoefThreshold = 0.9;
    m_bitrateCoefStep = 0.04;
}

// The engine may still read from a stream the player has freed: every engine stream made
// here is waited for until the engine has closed it, so no read reaches a destroyed object.
BVHlsPlayback::~BVHlsPlayback()
{
    if (m_creation)
        m_creation->abandon(); // a stream it created is freed (and closed) now
    QMutexLocker locker(&m_chunksMutex);
    m_closing = true;
    m_chunksCondition.wakeAll();
    while (m_openStreams > 0)
        m_streamClosed.wait(&m_chunksMutex);
}

void BVHlsPlayback::startInBackground(quint64 startPos)
{
    supersedeStarts();
    abandonStart();
    if (!m_host) {
        reportStarted(0, QString());
        return;
    }
    BVPlayback::start(startPos);
    if (m_streams != m_host->streams()) {
        m_streams = m_host->streams();
        QMutexLocker locker(&m_chunksMutex);
        m_readStarted = false;
        m_chunks.clear();
        m_initSegments.clear();
        m_chunksCondition.wakeAll();
    }
    if (m_streams.isEmpty()) {
        reportStarted(0, QStringLiteral("no streams"));
        return;
    }
    const quint32 bitrate = m_host->bitrateByCoef(bitrateCoef());
    const QUrl url = m_host->streamByBitrate(bitrate);
    updateCurrentBitrate(bitrate);
    m_playlistUpdater->changePlaylist(bitrate, url);
    emit metaUpdated(QString());
    const SourceRef source = std::make_shared<Source>(this);
    {
        QMutexLocker locker(&m_chunksMutex);
        m_source = source;
        ++m_openStreams; // the engine calls bassCloseProc once for this creation, also when it fails
    }
    auto *user = new SourceRef(source); // released by bassCloseProc
    m_creation = BVBackgroundStream::launch(
        this,
        [user] {
            BASS_SetConfig(BASS_CONFIG_THREAD | BASS_CONFIG_VERIFY_NET, 4096); // segments open with their format
            return BASS_StreamCreateFileUser(STREAMFILE_BUFFER, BASS_STREAM_BLOCK | BASS_STREAM_AUTOFREE, &m_fileProcs, user);
        },
        [this, source](quint32 handle, const QString &errorMessage) {
            m_creation.reset();
            {
                // The titles read while the stream was created wait for it; it has not played yet.
                QMutexLocker locker(&m_chunksMutex);
                source->handle = handle;
                for (Cue &cue : source->cues)
                    arm(*source, cue);
            }
            emit started(handle, errorMessage);
        });
}

bool BVHlsPlayback::endedAtCut()
{
    QMutexLocker locker(&m_chunksMutex);
    return m_endedAtCut;
}

void BVHlsPlayback::abandonStart()
{
    if (m_creation)
        std::exchange(m_creation, nullptr)->abandon();
    QMutexLocker locker(&m_chunksMutex);
    if (m_source) {
        m_source->cancelled = true;
        m_source.reset();
    }
    m_chunksCondition.wakeAll();
}

void BVHlsPlayback::showEndedStreamTitles()
{
    if (m_source)
        showTitles(*m_source, 0);
}

void BVHlsPlayback::stop()
{
    abandonStart();
    BVPlayback::stop();
    m_playlistUpdater->resetPlaylist();
    m_chunkDownloader->abort();
    m_slowDeliveryTimer->stop();
    QMutexLocker locker(&m_chunksMutex);
    m_readStarted = false;
    m_endedAtCut = false;
    for (BVHlsChunk &chunk : m_chunks)
        if (chunk.readPos < chunk.data.size())
            chunk.readPos = 0;
    m_chunksCondition.wakeAll();
}

double BVHlsPlayback::speedCoef()
{
    if (hasDataToRead())
        return 1.0;
    if (!m_host)
        return 0.0;
    const quint64 end = m_host->streamFilePosEnd();
    const quint64 buffered = m_host->streamFilePosBuffer();
    if (end == 0 || end == ~quint64(0))
        return 0.0;
    return qBound(0.0, double(buffered) / double(end), 1.0);
}

void BVHlsPlayback::changePlaylistUpaterUrl(quint32 currentBitrate)
{
    if (!m_host)
        return;
    m_playlistUpdater->changePlaylist(currentBitrate, m_host->streamByBitrate(currentBitrate));
}

void BVHlsPlayback::updatePlaylist(const QMap<quint32,BVHlsChunk> &chunks)
{
    {
        QMutexLocker locker(&m_chunksMutex);
        const bool wasEmpty = m_chunks.isEmpty();
        const quint32 first = wasEmpty ? 0 : m_chunks.firstKey();
        for (const BVHlsChunk &incoming : chunks) {
            auto held = m_chunks.find(incoming.sequence);
            if (held != m_chunks.end()) {
                if (!held->isDownloaded) {
                    // Fetched from the variant now playing: a fetch of the other one is given up.
                    if (held->url != incoming.url && m_chunkDownloader->isDownloading()
                        && m_chunkDownloader->downloadingUrl() == held->url) {
                        m_chunkDownloader->abort();
                        m_slowDeliveryTimer->stop();
                    }
                    held->sequence = incoming.sequence;
                    held->duration = incoming.duration;
                    held->bitrate = incoming.bitrate;
                    held->url = incoming.url;
                    held->mapUrl = incoming.mapUrl;
                    held->isDiscontinuity = held->isDiscontinuity || incoming.isDiscontinuity;
                }
            } else if (wasEmpty || incoming.sequence > first) {
                m_chunks.insert(incoming.sequence, incoming);
            }
        }
        // A change of initialisation segment between two segments starts a new engine stream.
        const BVHlsChunk *previous = m_chunks.isEmpty() ? nullptr : &m_chunks.first();
        for (BVHlsChunk &chunk : m_chunks) {
            if (chunk.mapUrl != previous->mapUrl)
                chunk.isDiscontinuity = true;
            previous = &chunk;
        }
        // Segments that left the window go: once reading started all of them, before only those
        // not fetched yet (the server may no longer have them; the ones held still play).
        for (auto it = m_chunks.begin(); it != m_chunks.end();) {
            const bool beingRead = it->readPos > 0 && it->readPos < it->data.size();
            if (beingRead || chunks.contains(it.key()) || (!m_readStarted && it->isDownloaded)) {
                ++it;
                continue;
            }
            if (m_chunkDownloader->isDownloading() && m_chunkDownloader->downloadingUrl() == it->url)
                m_chunkDownloader->abort();
            it = m_chunks.erase(it);
        }
        for (auto it = m_initSegments.begin(); it != m_initSegments.end();) {
            const QUrl map = it.key();
            const bool needed = std::any_of(m_chunks.cbegin(), m_chunks.cend(),
                                            [&](const BVHlsChunk &chunk) { return chunk.mapUrl == map; });
            it = needed ? std::next(it) : m_initSegments.erase(it);
        }
        m_chunksCondition.wakeAll();
    }
    if (!m_chunkDownloader->isDownloading())
        downloadNextChunk();
}

// One step down, now: the buffer is draining. The adaptation climbs again from a new window.
void BVHlsPlayback::switchDownForSlowDelivery()
{
    if (!m_host)
        return;
    const QList<quint32> bitrates = m_host->playingBitrates();
    const qsizetype index = bitrates.indexOf(currentBitrate());
    if (index <= 0)
        return;
    qCWarning(bvLog) << m_host->playerName() << "Hls playback: delivery too slow, switch down to" << bitrates[index - 1];
    updateBitrateCoef((double(index - 1) + 0.5) / double(bitrates.size()));
    restartAdaptation();
    updateCurrentBitrate(bitrates[index - 1]);
    m_chunkDownloader->abort();
    changePlaylistUpaterUrl(bitrates[index - 1]);
}

void BVHlsPlayback::downloadNextChunk()
{
    QUrl url;
    double duration = 0.0;
    double held = 0.0; // seconds fetched and not read yet
    {
        QMutexLocker locker(&m_chunksMutex);
        for (const BVHlsChunk &chunk : std::as_const(m_chunks)) {
            if (chunk.isDownloaded && chunk.readPos < chunk.data.size()) {
                held += chunk.duration;
                continue;
            }
            if (!chunk.isDownloaded) {
                // A segment's initialisation segment comes first.
                const bool needsMap = !chunk.mapUrl.isEmpty() && !m_initSegments.contains(chunk.mapUrl);
                url = needsMap ? chunk.mapUrl : chunk.url;
                duration = chunk.duration;
                break;
            }
        }
    }
    if (url.isEmpty())
        return;
    m_chunkDownloader->download(url);
    // Delivery is too slow when a segment takes longer to come than it plays and than the
    // audio held lasts. The deadline runs from the first request after a segment arrived,
    // across the requests that replace it (a segment that left the window is given up).
    if (!m_slowDeliveryTimer->isActive())
        BVClock::start(m_slowDeliveryTimer, int(qBound(1.0, qMax(duration, held), 60.0) * 1000));
}

void BVHlsPlayback::demuxChunkData(const QUrl &url, const QByteArray &mpegts)
{
    {
        QMutexLocker locker(&m_chunksMutex);
        bool matched = false;
        for (const BVHlsChunk &chunk : std::as_const(m_chunks)) {
            if (chunk.mapUrl == url && !chunk.isDownloaded) {
                m_initSegments.insert(url, mpegts);
                break;
            }
        }
        for (BVHlsChunk &chunk : m_chunks) {
            if (chunk.url != url)
                continue;
            chunk.isDownloaded = true;
            m_demuxer->demux(chunk, mpegts);
            matched = true;
            m_slowDeliveryTimer->stop();
        }
        if (matched)
            m_chunksCondition.wakeAll();
    }
    downloadNextChunk();
}

bool BVHlsPlayback::hasDataToRead()
{
    QMutexLocker locker(&m_chunksMutex);
    for (const BVHlsChunk &chunk : std::as_const(m_chunks))
        if (chunk.isDownloaded && chunk.readPos < chunk.data.size())
            return true;
    return false;
}

// ---- engine callbacks ----

void BVHlsPlayback::bassCloseProc(void *user)
{
    auto *source = static_cast<SourceRef *>(user);
    BVHlsPlayback *playback = (*source)->playback;
    {
        QMutexLocker locker(&playback->m_chunksMutex);
        --playback->m_openStreams;
        playback->m_streamClosed.wakeAll(); // the playback may be gone once the lock is released
    }
    delete source;
}

QWORD BVHlsPlayback::bassLenProc(void *)
{
    return 0;
}

BOOL BVHlsPlayback::bassSeekProc(QWORD, void *)
{
    return FALSE;
}

DWORD BVHlsPlayback::bassReadProc(void *buffer, DWORD length, void *user)
{
    Source &source = **static_cast<SourceRef *>(user);
    if (!source.playback->m_playlistUpdater->isActive())
        return kEndOfData;
    return source.playback->streamRead(buffer, length, source);
}

void BVHlsPlayback::bassTitleSync(HSYNC sync, DWORD, DWORD, void *user)
{
    // The engine's sync thread: the title is shown on the player's, unless a stop came first.
    const SourceRef source = static_cast<Source *>(user)->shared_from_this();
    QMetaObject::invokeMethod(
        source->playback, [source, sync] { source->playback->showTitles(*source, sync); }, Qt::QueuedConnection);
}

DWORD BVHlsPlayback::streamRead(void *buffer, DWORD length, Source &source)
{
    const BVPlaybackHostRef host = m_host;
    if (!host)
        return kEndOfData;
    const bool hasData = hasDataToRead();
    QMutexLocker locker(&m_chunksMutex);
    if (m_closing || source.cancelled)
        return kEndOfData;
    if (QThread::currentThread() == thread()) {
        qCWarning(bvLog) << host->playerName() << "Hls playback: can not read from playback thread";
        return kEndOfData;
    }
    if (!hasData && m_playlistUpdater->isActive() && !m_playlistUpdater->wasUpdated()
        && !m_chunksCondition.wait(&m_chunksMutex, BV_HLS_READ_TIMEOUT)) {
        qCWarning(bvLog) << host->playerName() << "Hls playback: chunks was empty for too long";
        return kEndOfData;
    }
    BVHlsChunk *chunk = nullptr;
    while (!chunk) {
        if (m_closing || source.cancelled || !m_playlistUpdater->isActive() || m_chunks.isEmpty())
            return kEndOfData;
        chunk = nextChunkToRead();
        if (!chunk && !m_chunksCondition.wait(&m_chunksMutex, BV_HLS_READ_TIMEOUT)) {
            qCWarning(bvLog) << host->playerName() << "Hls playback: chunks was empty for too long";
            return kEndOfData;
        }
    }
    if (source.begun && chunk->readPos == 0 && (chunk->isDiscontinuity || chunk->audioFormat != source.audioFormat)) {
        m_readStarted = false; // the next engine stream begins with this segment
        m_endedAtCut = true;
        return kEndOfData;
    }
    if (!source.begun) {
        source.begun = true;
        source.prefix = m_initSegments.value(chunk->mapUrl);
        source.audioFormat = chunk->audioFormat;
    }
    m_readStarted = true;
    if (!source.prefix.isEmpty()) {
        const qint32 n = qint32(qMin<qint64>(length, source.prefix.size()));
        std::memcpy(buffer, source.prefix.constData(), size_t(n));
        source.prefix.remove(0, n);
        return DWORD(n);
    }
    const qint32 before = chunk->readPos;
    if (before == 0)
        cueTitles(source, *chunk);
    const qint32 n = qint32(qMin<qint64>(length, chunk->data.size() - before));
    std::memcpy(buffer, chunk->data.constData() + before, size_t(n));
    chunk->readPos += n;
    if (chunk->readPos == chunk->data.size())
        chunk->data.clear(); // read to its end: its bytes go (its read position still tells it is read)
    return DWORD(n);
}

BVHlsChunk *BVHlsPlayback::nextChunkToRead()
{
    for (BVHlsChunk &chunk : m_chunks) {
        if (!chunk.isDownloaded)
            return nullptr;
        if (chunk.readPos < chunk.data.size())
            return &chunk;
    }
    return nullptr;
}

void BVHlsPlayback::cueTitles(Source &source, const BVHlsChunk &chunk)
{
    source.timeline.place(chunk.sequence, chunk.pts, chunk.duration);
    for (const BVHlsTitle &title : chunk.titles) {
        source.cues.push_back(Cue{source.timeline.timeOf(title.pts), title.text});
        arm(source, source.cues.back());
    }
}

// Decoding runs behind the reads, so a segment's audio has not been mixed when its first
// bytes are read, nor any of the stream's before it is created: the sync is never late.
void BVHlsPlayback::arm(Source &source, Cue &cue)
{
    if (source.handle && !cue.sync)
        cue.sync = BASS_ChannelSetSync(source.handle, BASS_SYNC_POS | BASS_SYNC_ONETIME,
                                       BASS_ChannelSeconds2Bytes(source.handle, cue.seconds), bassTitleSync, &source);
}

void BVHlsPlayback::showTitles(Source &source, HSYNC sync)
{
    QStringList due;
    {
        QMutexLocker locker(&m_chunksMutex);
        if (source.cancelled)
            return;
        const auto last = std::find_if(source.cues.begin(), source.cues.end(),
                                       [sync](const Cue &cue) { return sync && cue.sync == sync; });
        const auto end = last == source.cues.end() ? last : std::next(last);
        if (sync && last == source.cues.end())
            return; // shown already
        for (auto it = source.cues.begin(); it != end; ++it)
            due.append(it->text);
        source.cues.erase(source.cues.begin(), end);
    }
    for (const QString &text : std::as_const(due))
        emit metaUpdated(text);
}
