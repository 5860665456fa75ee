#pragma once

#include "bvglobal.h"
#include "rep_bvplayer_source.h"

class BVDaast;
class BVNetworkAccessManager;
class BVPlayer;

// A player that plays an audio ad at every start: the stream starts muted under the ad and
// becomes audible at the listener's volume when the ad is about to end, ended, was skipped or
// failed. It publishes the player interface of its inner player, with the ad's state while an
// ad is fetched, played or paused, and its own volume and duck flag.
class BREVANTPLAYER_EXPORT BVDaastPlayer : public BVPlayerSimpleSource
{
    Q_OBJECT
    Q_PROPERTY(QString daastUrl READ daastUrl WRITE setDaastUrl NOTIFY daastUrlChanged)
    Q_PROPERTY(int daastTimeoutMs READ daastTimeoutMs WRITE setDaastTimeoutMs NOTIFY daastTimeoutMsChanged)
    // The ad object's: how documents are read, and how long an ad may keep the station muted.
    Q_PROPERTY(bool isLenient READ isLenient WRITE setIsLenient NOTIFY isLenientChanged)
    Q_PROPERTY(int maxDurationMs READ maxDurationMs WRITE setMaxDurationMs NOTIFY maxDurationMsChanged)

public:
    // The ad plays at this share of the volume while the host ducks.
    static constexpr double BV_DAAST_DUCK_FACTOR = 0.2;

    explicit BVDaastPlayer(BVNetworkAccessManager *nam = nullptr, QObject *parent = nullptr);

    BVPlayer *player() const { return m_player; }
    BVDaast *daast() const { return m_daast; }
    // The listener clicked the companion banner announced by daastStarted().
    void daastClick();
    QString daastUrl() const { return m_daastUrl; }
    int daastTimeoutMs() const { return m_daastTimeoutMs; }
    bool isLenient() const;
    int maxDurationMs() const;

signals:
    void daastUrlChanged(QString daastUrl);
    void daastTimeoutMsChanged(int daastTimeoutMs);
    void daastStarted(QString meta, QString imageUrl, QString clickUrl);
    void daastError(QString message);
    void daastSkipped();
    void daastEnded();
    void isLenientChanged(bool isLenient);
    void maxDurationMsChanged(int maxDurationMs);

public slots:
    bool setDaastUrl(QString daastUrl);
    bool setDaastTimeoutMs(int daastTimeoutMs);
    bool setIsLenient(bool isLenient);
    bool setMaxDurationMs(int maxDurationMs);
    void setStreamUrl(QUrl streamUrl) override;
    void setIsRestarted(bool isRestarted) override;
    void setPosition(double position) override;
    void setPlaybackRate(double playbackRate) override;
    void setPlayingBitrate(quint32 playingBitrate) override;
    void setPlayingQuality(BVPlayerSource::Quality playingQuality) override;
    void play(QUrl url) override;
    void play() override;
    void pause() override;
    void stop() override;
    void skipForward(double duration) override;
    void skipBackward(double duration) override;

private slots:
    // Mirror the inner player's values without sending them back to it.
    void setStreamUrlValue(QUrl streamUrl);
    void setIsRestartedValue(bool isRestarted);
    void setPositionValue(double position);
    void setPlaybackRateValue(double playbackRate);
    void setPlayingBitrateValue(quint32 playingBitrate);
    void setPlayingQualityValue(BVPlayerSource::Quality playingQuality);
    void handleDaastEnd();
    void updateVolume();
    void updateState();
    void updateStateHelpers();

private:
    void connectInnerObjects();
    void copyPlayerValues();

    QString m_daastUrl;
    int m_daastTimeoutMs;
    BVPlayer *m_player;
    BVDaast *m_daast;
};
