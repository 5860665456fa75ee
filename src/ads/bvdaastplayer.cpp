#include "bvdaastplayer.h"

#include "bvdaast.h"
#include "bvplayer.h"
#include "bvpropertyupdate.h"

BVDaastPlayer::BVDaastPlayer(BVNetworkAccessManager *nam, QObject *parent)
    : BVPlayerSimpleSource(parent),
      // The ad object's own starting value: both stay equal until the host sets another.
      m_daastTimeoutMs(BVDaast::BV_DAAST_DEFAULT_TIMEOUT),
      m_player(new BVPlayer(nam, this)),
      m_daast(new BVDaast(m_player))
{
    connectInnerObjects();
    copyPlayerValues();
    updateStateHelpers();
}

void BVDaastPlayer::connectInnerObjects()
{
    connect(this, &BVDaastPlayer::stateChanged, this, &BVDaastPlayer::updateStateHelpers);
    connect(this, &BVDaastPlayer::duckVolumeChanged, this, &BVDaastPlayer::updateVolume);
    connect(this, &BVDaastPlayer::volumeChanged, this, &BVDaastPlayer::updateVolume);
    connect(this, &BVDaastPlayer::daastUrlChanged, m_daast,
            [this](const QString &url) { m_daast->setDaastUrl(QUrl(url, QUrl::TolerantMode)); });
    connect(this, &BVDaastPlayer::daastTimeoutMsChanged, m_daast, &BVDaast::setDaastTimeoutMs);

    connect(m_daast, &BVDaast::started, this, &BVDaastPlayer::daastStarted);
    connect(m_daast, &BVDaast::error, this, &BVDaastPlayer::daastError);
    connect(m_daast, &BVDaast::skipped, this, &BVDaastPlayer::daastSkipped);
    connect(m_daast, &BVDaast::ended, this, &BVDaastPlayer::daastEnded);
    connect(m_daast, &BVDaast::skipped, this, &BVDaastPlayer::handleDaastEnd);
    connect(m_daast, &BVDaast::ended, this, &BVDaastPlayer::handleDaastEnd);
    connect(m_daast, &BVDaast::aboutToEnd, this, &BVDaastPlayer::handleDaastEnd);
    connect(m_daast, &BVDaast::stateChanged, this, &BVDaastPlayer::updateState);
    connect(m_daast, &BVDaast::isLenientChanged, this, &BVDaastPlayer::isLenientChanged);
    connect(m_daast, &BVDaast::maxDurationMsChanged, this, &BVDaastPlayer::maxDurationMsChanged);

    connect(m_player, &BVPlayer::ended, this, &BVDaastPlayer::ended);
    connect(m_player, &BVPlayer::error, this, &BVDaastPlayer::error);
    connect(m_player, &BVPlayer::streamUrlChanged, this, &BVDaastPlayer::setStreamUrlValue);
    connect(m_player, &BVPlayer::isRestartedChanged, this, &BVDaastPlayer::setIsRestartedValue);
    connect(m_player, &BVPlayer::isHlsChanged, this, &BVDaastPlayer::setIsHls);
    connect(m_player, &BVPlayer::isSeekableChanged, this, &BVDaastPlayer::setIsSeekable);
    connect(m_player, &BVPlayer::stateChanged, this, &BVDaastPlayer::updateState);
    connect(m_player, &BVPlayer::lengthChanged, this, &BVDaastPlayer::setLength);
    connect(m_player, &BVPlayer::bufferedLengthChanged, this, &BVDaastPlayer::setBufferedLength);
    connect(m_player, &BVPlayer::startPositionChanged, this, &BVDaastPlayer::setStartPosition);
    connect(m_player, &BVPlayer::positionChanged, this, &BVDaastPlayer::setPositionValue);
    connect(m_player, &BVPlayer::playbackRateChanged, this, &BVDaastPlayer::setPlaybackRateValue);
    connect(m_player, &BVPlayer::metaChanged, this, &BVDaastPlayer::setMeta);
    connect(m_player, &BVPlayer::streamsChanged, this, &BVDaastPlayer::setStreams);
    connect(m_player, &BVPlayer::availableBitratesChanged, this, &BVDaastPlayer::setAvailableBitrates);
    connect(m_player, &BVPlayer::playingBitratesChanged, this, &BVDaastPlayer::setPlayingBitrates);
    connect(m_player, &BVPlayer::currentBitrateChanged, this, &BVDaastPlayer::setCurrentBitrate);
    connect(m_player, &BVPlayer::currentQualityChanged, this, &BVDaastPlayer::setCurrentQuality);
    connect(m_player, &BVPlayer::playingBitrateChanged, this, &BVDaastPlayer::setPlayingBitrateValue);
    connect(m_player, &BVPlayer::playingQualityChanged, this, &BVDaastPlayer::setPlayingQualityValue);
}

void BVDaastPlayer::copyPlayerValues()
{
    setStreamUrlValue(m_player->streamUrl());
    setIsRestartedValue(m_player->isRestarted());
    setIsHls(m_player->isHls());
    setIsSeekable(m_player->isSeekable());
    setState(m_player->state());
    setLength(m_player->length());
    setBufferedLength(m_player->bufferedLength());
    setStartPosition(m_player->startPosition());
    setPositionValue(m_player->position());
    setPlaybackRateValue(m_player->playbackRate());
    setMeta(m_player->meta());
    setVolume(m_player->volume()); // runs updateVolume: the ad object gets its first volume
    setDuckVolume(m_player->duckVolume());
    setStreams(m_player->streams());
    setAvailableBitrates(m_player->availableBitrates());
    setPlayingBitrates(m_player->playingBitrates());
    setCurrentBitrate(m_player->currentBitrate());
    setCurrentQuality(m_player->currentQuality());
    setPlayingBitrateValue(m_player->playingBitrate());
    setPlayingQualityValue(m_player->playingQuality());
}

void BVDaastPlayer::daastClick()
{
    m_daast->click();
}

bool BVDaastPlayer::setDaastUrl(QString daastUrl)
{
    return bvUpdateProperty(this, m_daastUrl, daastUrl, &BVDaastPlayer::daastUrlChanged);
}

bool BVDaastPlayer::setDaastTimeoutMs(int daastTimeoutMs)
{
    return bvUpdateProperty(this, m_daastTimeoutMs, daastTimeoutMs, &BVDaastPlayer::daastTimeoutMsChanged);
}

void BVDaastPlayer::setStreamUrl(QUrl streamUrl) { m_player->setStreamUrl(streamUrl); }
void BVDaastPlayer::setIsRestarted(bool isRestarted) { m_player->setIsRestarted(isRestarted); }
void BVDaastPlayer::setPosition(double position) { m_player->setPosition(position); }
void BVDaastPlayer::setPlaybackRate(double playbackRate) { m_player->setPlaybackRate(playbackRate); }
void BVDaastPlayer::setPlayingBitrate(quint32 playingBitrate) { m_player->setPlayingBitrate(playingBitrate); }
void BVDaastPlayer::setPlayingQuality(Quality playingQuality) { m_player->setPlayingQuality(playingQuality); }
void BVDaastPlayer::skipForward(double duration) { m_player->skipForward(duration); }
void BVDaastPlayer::skipBackward(double duration) { m_player->skipBackward(duration); }

void BVDaastPlayer::setStreamUrlValue(QUrl streamUrl) { BVPlayerSimpleSource::setStreamUrl(streamUrl); }
void BVDaastPlayer::setIsRestartedValue(bool isRestarted) { BVPlayerSimpleSource::setIsRestarted(isRestarted); }
void BVDaastPlayer::setPositionValue(double position) { BVPlayerSimpleSource::setPosition(position); }
void BVDaastPlayer::setPlaybackRateValue(double playbackRate) { BVPlayerSimpleSource::setPlaybackRate(playbackRate); }
void BVDaastPlayer::setPlayingBitrateValue(quint32 playingBitrate)
{
    BVPlayerSimpleSource::setPlayingBitrate(playingBitrate);
}
void BVDaastPlayer::setPlayingQualityValue(Quality playingQuality)
{
    BVPlayerSimpleSource::setPlayingQuality(playingQuality);
}

void BVDaastPlayer::play(QUrl url)
{
    m_player->setVolume(0.0);
    m_player->play(url);
    m_daast->play();
}

void BVDaastPlayer::play()
{
    m_player->setVolume(0.0);
    m_player->play();
    m_daast->play();
}

void BVDaastPlayer::pause()
{
    m_player->pause();
    m_daast->pause();
}

void BVDaastPlayer::stop()
{
    // An ad under way is held, not ended: the next play() resumes or replaces it.
    m_player->stop();
    m_daast->pause();
}

void BVDaastPlayer::handleDaastEnd()
{
    m_player->setVolume(volume());
}

static bool adHoldsStream(BVPlayerSource::State state)
{
    return state == BVPlayerSource::PlayingState || state == BVPlayerSource::StalledState;
}

void BVDaastPlayer::updateVolume()
{
    const double adVolume = duckVolume() ? volume() * BV_DAAST_DUCK_FACTOR : volume();
    m_daast->setVolume(adVolume);
    m_player->setVolume(adHoldsStream(m_daast->state()) ? 0.0 : volume());
    m_player->setDuckVolume(duckVolume());
}

void BVDaastPlayer::updateState()
{
    const State adState = m_daast->state();
    setState(adHoldsStream(adState) || adState == PausedState ? adState : m_player->state());
}

void BVDaastPlayer::updateStateHelpers()
{
    const State current = state();
    setIsPlaying(current == PlayingState || current == StalledState);
    setIsStalled(current == StalledState);
    setIsPaused(current == PausedState);
    setIsStopped(current == StoppedState || current == ErrorState);
}

bool BVDaastPlayer::isLenient() const
{
    return m_daast->isLenient();
}

bool BVDaastPlayer::setIsLenient(bool isLenient)
{
    return m_daast->setIsLenient(isLenient);
}

int BVDaastPlayer::maxDurationMs() const
{
    return m_daast->maxDurationMs();
}

bool BVDaastPlayer::setMaxDurationMs(int maxDurationMs)
{
    return m_daast->setMaxDurationMs(maxDurationMs);
}
