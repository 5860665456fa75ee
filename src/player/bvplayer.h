#pragma once

#include "bvglobal.h"
#include "bvplaybackhost.h"
#include "bvplaylisttypes.h"
#include "rep_bvplayer_source.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include <atomic>

class BVNetworkAccessManager;
class BVPlaylistParser;
class BVBassPlayback;
class BVHlsPlayback;
class BVPlayback;
class BVPushPlayback;
class BVPushPlaybackDevice;
class BVRecordPlayback;

// Plays one audio stream at a time: classifies the URL, picks a back-end,
// drives the engine channel and publishes the interface model's properties.
class BREVANTPLAYER_EXPORT BVPlayer : public BVPlayerSimpleSource, public BVPlaybackHost
{
    Q_OBJECT
    Q_PROPERTY(QPointer<BVNetworkAccessManager> nam READ nam NOTIFY namChanged)

public:
    explicit BVPlayer(QObject *parent = nullptr);
    explicit BVPlayer(BVNetworkAccessManager *nam, QObject *parent = nullptr);
    ~BVPlayer() override;

    QString playerName() const override { return m_name; }
    quint32 stream() const override { return m_stream; }
    QPointer<BVNetworkAccessManager> nam() const override { return m_nam; }
    // Where the host writes PCM for "push" URLs: stereo 16-bit at 44100 Hz, from any thread.
    QPointer<BVPushPlaybackDevice> pushPlaybackDevice() const;

    // Stream choice: the playing bitrate at a relative position, and one URL of a bitrate.
    quint32 bitrateByCoef(double coef) const override;
    QUrl streamByBitrate(quint32 bitrate) const override;

    // The engine's file positions of the current channel; 0 without one or when unknown.
    quint64 streamFilePosBuffer() const override;
    quint64 streamFilePosCurrent() const;
    quint64 streamFilePosEnd() const override;
    quint64 streamFilePosition(quint32 mode) const;

    void setPosition(double position) override;

    // The interface model's values, as its back-ends read them.
    QObject *hostObject() override { return this; }
    QUrl streamUrl() const override { return BVPlayerSimpleSource::streamUrl(); }
    BVPlaylistStreams streams() const override { return BVPlayerSimpleSource::streams(); }
    QList<quint32> playingBitrates() const override { return BVPlayerSimpleSource::playingBitrates(); }
    quint32 currentBitrate() const override { return BVPlayerSimpleSource::currentBitrate(); }

public slots:
    void play(QUrl url) override;
    void play() override;
    void pause() override;
    void stop() override;
    void skipForward(double duration) override;
    void skipBackward(double duration) override;

signals:
    void namChanged(QPointer<BVNetworkAccessManager> nam);
    // A start attempt failed: nothing to play was found, or its channel could not be opened.
    // Emitted once the retry is scheduled; stop() in a slot cancels it.
    void startFailed(QString reason);

protected slots:
    bool updateNam(QPointer<BVNetworkAccessManager> nam);

private slots:
    void handlePlaylist(BVPlaylistStreams streams, bool isHls);
    void restart();
    void setPositionValue(double position);
    void updateIsSeekable();
    void updateLength();
    void updatePosition();
    void updateBufferedLength();
    void updatePositionAndBufferedLength();
    void updateLevelDb();
    void updateStateHelpers();
    void updateAvailableBitrates();
    void updatePlayingBitrates();
    void updateCurrentQuality();
    void changePosition(double position);
    void changePlaybackRate();
    void changeVolume();
    void changeVolume(double volume, quint32 timeMs = 0);
    void streamStalled(bool isStalled);
    void streamEnd();
    double streamBytesToSeconds(quint64 bytes, QString paramName = QString());
    void processStop(BVPlayerSource::State stoppedState = StoppedState, quint64 startPosBytes = 0);
    void processPlay();
    void processError(QString message);
    double volumeLevel();
    void resetStreamInfo();
    void handleDeviceFailure();

private:
    struct StreamInfo {
        quint32 freq = 0;
        quint32 chans = 0;
        quint32 flags = 0;
        quint32 ctype = 0;
        quint32 origres = 0;
    };

    static void bassEndSync(quint32 sync, quint32 channel, quint32 data, void *user);
    static void bassStalledSync(quint32 sync, quint32 channel, quint32 data, void *user);
    static void bassDevFailSync(quint32 sync, quint32 channel, quint32 data, void *user);
    static void bassDevFormatSync(quint32 sync, quint32 channel, quint32 data, void *user);

    void restartProcedure();
    void startChannel(BVPlayback *backend, quint32 handle, const QString &errorMessage);
    bool installSyncs();
    void retryStart(const QString &reason);
    // After the channel was stopped or freed: cancel retries, parse and back-ends, drop the handle.
    void forgetChannel(quint64 startPosBytes);
    void clearPlaybackValues(bool clearStartPosition);
    void handleStreamEnd();
    void logStartStage(const char *stage);
    void handleStreamStalled(bool isStalled);
    QList<BVPlayback *> backends() const;
    void stopBackends();

    QPointer<BVNetworkAccessManager> m_nam;
    QString m_name;
    QTimer *m_positionTimer;
    QTimer *m_levelTimer;
    std::atomic<quint32> m_stream{0}; // also read by back-end callbacks on engine threads
    StreamInfo m_streamInfo;
    quint64 m_startPosBytes = 0;
    QElapsedTimer m_startClock; // runs from a start procedure until the player first plays
    QTimer *m_restartTimer;
    bool m_keepsTitle = false; // across the restart at an HLS cut: the station goes on
    BVPlaylistParser *m_playlistParser;
    BVBassPlayback *m_bassPlayback;
    BVHlsPlayback *m_hlsPlayback;
    BVPushPlayback *m_pushPlayback;
    BVRecordPlayback *m_recordPlayback;

    static int m_playersCount;
    static bool m_bassInitialized;
    static int m_playersCreated;
};
