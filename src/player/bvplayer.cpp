#include "bvplayer.h"

#include "bass.h"
#include "bvbass.h"
#include "bvbassplayback.h"
#include "bvclock.h"
#include "bvhlsplayback.h"
#include "bvlogging.h"
#include "bvnetworkaccessmanager.h"
#include "bvplaylistparser.h"
#include "bvpushplayback.h"
#include "bvrecordplayback.h"

#include <QCoreApplication>
#include <QScopedValueRollback>

#include <algorithm>
#include <limits>

int BVPlayer::m_playersCount = 0;
bool BVPlayer::m_bassInitialized = false;
int BVPlayer::m_playersCreated = 0;

namespace {

constexpr int kPositionIntervalMs = 500;
constexpr int kLevelIntervalMs = 100;

// `baseMs` divided by the playback rate, kept in a range a timer can serve whatever the rate.
int timerInterval(int baseMs, double rate)
{
    return static_cast<int>(std::clamp(baseMs / rate, 20.0, 60000.0));
}

} // namespace

// The interface's container types are known to every process that loads the library,
// also one that holds only a replica or a simple source.
Q_CONSTRUCTOR_FUNCTION(bvRegisterPlaylistTypes)

BVPlayer::BVPlayer(QObject *parent) : BVPlayer(nullptr, parent) {}

BVPlayer::BVPlayer(BVNetworkAccessManager *nam, QObject *parent)
    : BVPlayerSimpleSource(parent),
      m_positionTimer(new QTimer(this)),
      m_levelTimer(new QTimer(this)),
      m_restartTimer(new QTimer(this))
{
    if (!nam)
        nam = new BVNetworkAccessManager(this);
    m_nam = nam;
    m_nam->setAwait(false);

    m_positionTimer->setInterval(kPositionIntervalMs);
    m_levelTimer->setInterval(kLevelIntervalMs);
    m_restartTimer->setInterval(5000);
    m_restartTimer->setSingleShot(true);
    connect(m_positionTimer, &QTimer::timeout, this, &BVPlayer::updatePositionAndBufferedLength);
    connect(m_levelTimer, &QTimer::timeout, this, &BVPlayer::updateLevelDb);
    connect(m_restartTimer, &QTimer::timeout, this, &BVPlayer::processPlay);

    m_playlistParser = new BVPlaylistParser(this);
    connect(m_playlistParser, &BVPlaylistParser::parsingFinished, this, &BVPlayer::handlePlaylist);
    m_bassPlayback = new BVBassPlayback(this);
    connect(m_bassPlayback, &BVPlayback::metaUpdated, this, [this](const QString &meta) {
        if (!isHls() && isPlaying())
            setMeta(meta);
    });
    connect(m_bassPlayback, &BVPlayback::currentBitrateChanged, this, [this](quint32 bitrate) {
        if (!isHls())
            setCurrentBitrate(bitrate);
    });
    connect(m_bassPlayback, &BVPlayback::restartRequired, this, &BVPlayer::restart);
    connect(m_bassPlayback, &BVBassPlayback::preconnected, this, [this](const QByteArray &icyBitrate) {
        handlePlaylist(BVPlaylistParser::plainStream(streamUrl(), icyBitrate), false);
    });
    connect(m_bassPlayback, &BVBassPlayback::preconnectionFailed, this, [this](int errorCode, const QString &errorMessage) {
        if (errorCode == BASS_ERROR_UNSTREAMABLE || errorCode == BASS_ERROR_TIMEOUT) {
            // Nothing came of the server in time, or its answer never ends: the parser would fare no better.
            qCWarning(bvLog) << m_name << "Playback start error." << errorMessage;
            retryStart(errorMessage);
            return;
        }
        m_playlistParser->parse(streamUrl()); // not audio (perhaps a list), or a failure the parser explains
    });
    m_hlsPlayback = new BVHlsPlayback(this);
    connect(m_hlsPlayback, &BVPlayback::metaUpdated, this, [this](const QString &meta) {
        if (isHls() && isPlaying() && !(m_keepsTitle && meta.isEmpty()))
            setMeta(meta);
    });
    connect(m_hlsPlayback, &BVPlayback::currentBitrateChanged, this, [this](quint32 bitrate) {
        if (isHls())
            setCurrentBitrate(bitrate);
    });
    connect(m_hlsPlayback, &BVHlsPlayback::error, this, &BVPlayer::processError);
    m_pushPlayback = new BVPushPlayback(this);
    m_recordPlayback = new BVRecordPlayback(this);
    for (BVPlayback *backend : backends()) {
        connect(backend, &BVPlayback::started, this,
                [this, backend](quint32 handle, const QString &errorMessage) { startChannel(backend, handle, errorMessage); });
    }

    setIsRestarted(true);
    setState(StoppedState);
    setLevelDb(-std::numeric_limits<double>::infinity());
    setPlaybackRate(1.0);
    setVolume(1.0);
    setCurrentQuality(LowQuality);
    setPlayingQuality(AutoQuality);
    updateStateHelpers();

    connect(this, &BVPlayerSource::streamUrlChanged, this, [this] {
        setStreams(BVPlaylistStreams());
        restartProcedure();
    });
    connect(this, &BVPlayerSource::stateChanged, this, &BVPlayer::updateStateHelpers);
    connect(this, &BVPlayerSource::isPlayingChanged, this, [this](bool playing) {
        if (playing) {
            BVClock::start(m_positionTimer);
            if (isUpdatesLevel())
                BVClock::start(m_levelTimer);
        } else {
            m_positionTimer->stop();
            m_levelTimer->stop();
        }
    });
    connect(this, &BVPlayerSource::lengthChanged, this, &BVPlayer::updateIsSeekable);
    connect(this, &BVPlayerSource::startPositionChanged, this, &BVPlayer::updatePositionAndBufferedLength);
    connect(this, &BVPlayerSource::playbackRateChanged, this, [this] {
        changePlaybackRate();
        // A rate that is not positive has no usable interval: the timers keep theirs.
        if (playbackRate() > 0) {
            BVClock::setInterval(m_positionTimer, timerInterval(kPositionIntervalMs, playbackRate()));
            BVClock::setInterval(m_levelTimer, timerInterval(kLevelIntervalMs, playbackRate()));
        }
    });
    connect(this, &BVPlayerSource::isUpdatesLevelChanged, this, [this](bool updates) {
        if (!updates)
            m_levelTimer->stop();
        else if (isPlaying())
            BVClock::start(m_levelTimer);
    });
    connect(this, &BVPlayerSource::duckVolumeChanged, this, qOverload<>(&BVPlayer::changeVolume));
    connect(this, &BVPlayerSource::volumeChanged, this, qOverload<>(&BVPlayer::changeVolume));
    connect(this, &BVPlayerSource::streamsChanged, this, [this] {
        updateAvailableBitrates();
        updatePlayingBitrates();
    });
    connect(this, &BVPlayerSource::currentBitrateChanged, this, &BVPlayer::updateCurrentQuality);
    connect(this, &BVPlayerSource::playingBitrateChanged, this, &BVPlayer::updatePlayingBitrates);
    connect(this, &BVPlayerSource::playingQualityChanged, this, &BVPlayer::updatePlayingBitrates);

    if (m_playersCount == 0)
        BVBass::configInit();
    ++m_playersCount;
    m_name = QStringLiteral("BVPlayer #") + QString::number(++m_playersCreated);
    qCDebug(bvLog) << m_name << "was created";
}

BVPlayer::~BVPlayer()
{
    if (!isStopped())
        processStop(StoppedState, 0);
    if (--m_playersCount == 0 && m_bassInitialized) {
        BVBass::free();
        m_bassInitialized = false;
    }
    qCDebug(bvLog) << m_name << "was deleted";
}

bool BVPlayer::updateNam(QPointer<BVNetworkAccessManager> nam)
{
    if (m_nam.data() == nam.data())
        return false;
    m_nam = nam;
    emit namChanged(nam);
    return true;
}

// ---- control ----

void BVPlayer::play(QUrl url)
{
    const bool wasPlaying = isPlaying();
    setStreamUrl(url);
    if (!wasPlaying)
        play();
}

void BVPlayer::play()
{
    if (!m_bassInitialized) {
        BVBass::init();
        m_bassInitialized = true;
    }
    if (isPlaying()) {
        qCDebug(bvLog) << m_name << "Already playing";
    } else if (isPaused() && m_stream) {
        qCDebug(bvLog) << m_name << "Play from pause";
        if (BASS_ChannelPlay(m_stream, FALSE))
            setState(PlayingState);
        else
            processError(QStringLiteral("Can not play stream from pause"));
    } else {
        processPlay();
    }
}

void BVPlayer::pause()
{
    if (!isPlaying()) {
        qCDebug(bvLog) << m_name << "Can not pause from state" << state();
        return;
    }
    if (!isSeekable()) {
        processStop(PausedState, 0); // a live stream is released and fetched again on play()
        return;
    }
    if (BASS_ChannelPause(m_stream))
        setState(PausedState);
    else
        processError(QStringLiteral("Can not pause stream"));
}

void BVPlayer::stop()
{
    processStop(StoppedState, 0);
}

void BVPlayer::restart()
{
    restartProcedure();
}

void BVPlayer::restartProcedure()
{
    const bool wasPlaying = isPlaying();
    processStop(wasPlaying ? StalledState : StoppedState, 0);
    if (wasPlaying)
        processPlay();
}

QPointer<BVPushPlaybackDevice> BVPlayer::pushPlaybackDevice() const
{
    return m_pushPlayback->pushPlaybackDevice();
}

QList<BVPlayback *> BVPlayer::backends() const
{
    return {m_bassPlayback, m_hlsPlayback, m_pushPlayback, m_recordPlayback};
}

void BVPlayer::stopBackends()
{
    for (BVPlayback *backend : backends())
        backend->stop();
}

void BVPlayer::processPlay()
{
    // Queued engine callbacks and back-end signals of the previous channel are handled
    // before the new start, so none of them lands on the new one's state.
    QCoreApplication::processEvents();
    if (streamUrl().isEmpty() || !streamUrl().isValid()) {
        qCDebug(bvLog) << m_name << "Stream url is not valid, stop playing";
        stop();
        return;
    }
    setState(StalledState);
    m_startClock.start();
    if (m_playlistParser->isProcessing()) {
        qCWarning(bvLog) << m_name << "Playlist parsing was not finished before play";
        m_playlistParser->abort();
    }
    m_restartTimer->stop();
    stopBackends();
    // The engine opens a network URL first: a plain stream needs no other request, and the
    // playlist parser looks only at what is not audio.
    if (m_startPosBytes == 0 && m_bassPlayback->preconnect(streamUrl()))
        return;
    m_playlistParser->parse(streamUrl());
}

void BVPlayer::handlePlaylist(BVPlaylistStreams streams, bool isHls)
{
    logStartStage("playlist classified");
    setIsHls(isHls);
    setStreams(streams);
    if (m_stream)
        processStop(StalledState, 0);
    const QString scheme = streamUrl().scheme();
    const bool hostFed = scheme == QLatin1String("push") || scheme == QLatin1String("record");
    if (streams.isEmpty() && !hostFed) {
        qCWarning(bvLog) << m_name << "Playback" << streamUrl().toString(QUrl::RemoveUserInfo)
                         << "start error, streams is empty";
        const QString parserError = m_playlistParser->errorString();
        retryStart(parserError.isEmpty() ? QStringLiteral("no stream found") : parserError);
        return;
    }
    BVPlayback *backend = m_bassPlayback;
    if (hostFed)
        backend = scheme == QLatin1String("push") ? static_cast<BVPlayback *>(m_pushPlayback) : m_recordPlayback;
    else if (isHls)
        backend = m_hlsPlayback;
    backend->startInBackground(m_startPosBytes); // goes on in startChannel
}

// Takes over the channel a back-end opened (0 when it failed) and starts playing it.
void BVPlayer::startChannel(BVPlayback *backend, quint32 handle, const QString &errorMessage)
{
    m_stream = handle;
    logStartStage("stream created");
    setCurrentBitrate(backend->currentBitrate());
    if (!m_stream) {
        qCWarning(bvLog) << m_name << "Playback start error." << errorMessage;
        retryStart(errorMessage);
        return;
    }
    BASS_CHANNELINFO info{};
    if (!BASS_ChannelGetInfo(m_stream, &info)) {
        processError(QStringLiteral("Can not get channel info"));
        return;
    }
    m_streamInfo = StreamInfo{info.freq, info.chans, info.flags, info.ctype, info.origres};
    updateLength();
    updatePosition();
    updateBufferedLength();
    changePlaybackRate();
    changeVolume(volumeLevel(), 0);
    if (!installSyncs())
        return;
    if (!BASS_ChannelPlay(m_stream, FALSE)) {
        processError(QStringLiteral("Can not play stream"));
        return;
    }
    // A channel still buffering counts as stalled; its stall callback moves it on.
    setState(BASS_ChannelIsActive(m_stream) == BASS_ACTIVE_PLAYING ? PlayingState : StalledState);
}

// A start that found nothing to play stays stalled and runs again in 5 s.
void BVPlayer::retryStart(const QString &reason)
{
    setState(StalledState);
    BVClock::start(m_restartTimer);
    emit startFailed(reason); // last: the host may stop the player here
}

bool BVPlayer::installSyncs()
{
    const struct {
        DWORD type;
        SYNCPROC *proc;
        const char *failure;
    } syncs[] = {
        {BASS_SYNC_STALL, bassStalledSync, "Can not set stall sync"},
        {BASS_SYNC_END, bassEndSync, "Can not set end sync"},
        {BASS_SYNC_DEV_FAIL, bassDevFailSync, "Can not set dev fail sync"},
        {BASS_SYNC_DEV_FORMAT, bassDevFormatSync, "Can not set dev format sync"},
    };
    for (const auto &sync : syncs) {
        if (!BASS_ChannelSetSync(m_stream, sync.type, 0, sync.proc, this)) {
            processError(QString::fromLatin1(sync.failure));
            return false;
        }
    }
    return true;
}

void BVPlayer::processStop(BVPlayerSource::State stoppedState, quint64 startPosBytes)
{
    QCoreApplication::processEvents(); // as in processPlay: the old channel's events first
    if (m_stream && !BASS_ChannelStop(m_stream))
        qCWarning(bvLog) << m_name << "Can not stop stream" << BVBass::errorMessage();
    forgetChannel(startPosBytes);
    setState(stoppedState);
    clearPlaybackValues(startPosBytes == 0); // a seek keeps its new start position
}

void BVPlayer::forgetChannel(quint64 startPosBytes)
{
    m_restartTimer->stop();
    m_playlistParser->abort();
    stopBackends();
    m_stream = 0;
    resetStreamInfo();
    m_startPosBytes = startPosBytes;
}

void BVPlayer::clearPlaybackValues(bool clearStartPosition)
{
    setLength(0);
    setBufferedLength(0);
    if (clearStartPosition)
        setStartPosition(0);
    setPositionValue(0);
    setLevel(0);
    setLevelDb(-std::numeric_limits<double>::infinity());
    if (!m_keepsTitle)
        setMeta(QString());
}

void BVPlayer::processError(QString message)
{
    QCoreApplication::processEvents(); // as in processPlay: the old channel's events first
    message += QLatin1Char(' ') + BVBass::errorMessage();
    qCWarning(bvLog) << m_name << message;
    if (m_stream && !BASS_StreamFree(m_stream))
        qCWarning(bvLog) << m_name << "Can not free stream" << BVBass::errorMessage();
    forgetChannel(0);
    setState(ErrorState);
    clearPlaybackValues(true);
    emit error(message);
    if (isRestarted())
        BVClock::start(m_restartTimer);
}

void BVPlayer::resetStreamInfo()
{
    m_streamInfo = StreamInfo();
}

// A debug line per stage of a start, with the time since the start procedure began.
void BVPlayer::logStartStage(const char *stage)
{
    if (m_startClock.isValid())
        qCDebug(bvLog) << m_name << "Start:" << stage << "after" << m_startClock.elapsed() << "ms";
}

void BVPlayer::updateStateHelpers()
{
    const State s = state();
    if (s == PlayingState) {
        logStartStage("playing");
        m_startClock.invalidate();
    }
    setIsPlaying(s == PlayingState || s == StalledState);
    setIsStalled(s == StalledState);
    setIsPaused(s == PausedState);
    setIsStopped(s == StoppedState || s == ErrorState);
}

// ---- engine callbacks: engine threads post to the player's thread ----

// Events of a channel that is no longer the player's (stopped, replaced) are dropped.
void BVPlayer::bassEndSync(quint32, quint32 channel, quint32, void *user)
{
    auto *player = static_cast<BVPlayer *>(user);
    QMetaObject::invokeMethod(player, [player, channel] {
        if (player->m_stream == channel)
            player->handleStreamEnd();
    }, Qt::QueuedConnection);
}

void BVPlayer::bassStalledSync(quint32, quint32 channel, quint32 data, void *user)
{
    auto *player = static_cast<BVPlayer *>(user);
    QMetaObject::invokeMethod(player, [player, channel, isStalled = data == 0] {
        if (player->m_stream == channel)
            player->handleStreamStalled(isStalled);
    }, Qt::QueuedConnection);
}

void BVPlayer::bassDevFailSync(quint32, quint32, quint32, void *user)
{
    static_cast<BVPlayer *>(user)->handleDeviceFailure();
}

void BVPlayer::bassDevFormatSync(quint32, quint32, quint32, void *user)
{
    auto *player = static_cast<BVPlayer *>(user);
    qCWarning(bvLog) << player->m_name << "Device format changed. Restarting.";
    QMetaObject::invokeMethod(player, [player] { player->restartProcedure(); }, Qt::QueuedConnection);
}

void BVPlayer::streamEnd()
{
    QMetaObject::invokeMethod(this, [this] { handleStreamEnd(); }, Qt::QueuedConnection);
}

void BVPlayer::streamStalled(bool isStalled)
{
    QMetaObject::invokeMethod(this, [this, isStalled] { handleStreamStalled(isStalled); }, Qt::QueuedConnection);
}

// A player that was stopped, paused or failed meanwhile is not moved by a late end or stall.
void BVPlayer::handleStreamEnd()
{
    if (!isPlaying())
        return;
    // An HLS stream cut at a discontinuity or a change of audio format goes on, restarted or
    // not, and a live stream that ended or dropped starts again at once.
    if (isHls() && m_hlsPlayback->endedAtCut()) {
        // The ended stream was heard to its end, so its last titles are due; the title stays
        // while the next stream starts.
        m_hlsPlayback->showEndedStreamTitles();
        const QScopedValueRollback keepTitle(m_keepsTitle, true);
        processStop(StalledState, 0);
        handlePlaylist(streams(), true);
        return;
    }
    if (isRestarted() && !isSeekable()) {
        processStop(StalledState, 0);
        processPlay();
        return;
    }
    processStop(StoppedState, 0);
    emit ended();
}

void BVPlayer::handleStreamStalled(bool isStalled)
{
    if (isPlaying())
        setState(!isStalled && m_stream ? PlayingState : StalledState);
}

void BVPlayer::handleDeviceFailure()
{
    QMetaObject::invokeMethod(this, [this] {
        qCWarning(bvLog) << m_name << "Device failure" << BVBass::errorMessage();
        stop();
        emit deviceFailure();
    }, Qt::QueuedConnection);
}
