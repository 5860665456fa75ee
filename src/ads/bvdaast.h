#pragma once

#include "bvadspot.h"
#include "bvdaastparser.h"
#include "bvglobal.h"
#include "bvplaybackhost.h"
#include "rep_bvplayer_source.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class BVAdBreak;
class BVBackgroundStream;
class QTimer;

// Plays one audio ad beside its player's stream: fetches and parses the ad document,
// plays the ad's audio as an engine stream of its own and requests the document's
// tracking URLs at the impression, start, each second, the quartiles, the end, an
// error and a companion click. A lenient ad object also reads documents as ad servers write
// them, follows wrappers and plays pods. The ad's stream is opened off the owner's thread, and
// no ad keeps the station muted past its document's duration plus 5 s or `maxDurationMs`.
class BREVANTPLAYER_EXPORT BVDaast : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl daastUrl READ daastUrl WRITE setDaastUrl NOTIFY daastUrlChanged)
    Q_PROPERTY(int daastTimeoutMs READ daastTimeoutMs WRITE setDaastTimeoutMs NOTIFY daastTimeoutMsChanged)
    Q_PROPERTY(double volume READ volume WRITE setVolume NOTIFY volumeChanged)
    Q_PROPERTY(BVPlayerSource::State state READ state NOTIFY stateChanged)
    Q_PROPERTY(bool isLenient READ isLenient WRITE setIsLenient NOTIFY isLenientChanged)
    Q_PROPERTY(int maxDurationMs READ maxDurationMs WRITE setMaxDurationMs NOTIFY maxDurationMsChanged)

public:
    using State = BVPlayerSource::State;
    static const int BV_DAAST_DEFAULT_TIMEOUT = 5000;
    // A larger ad document is hostile: the request fails.
    static const qint64 BV_DAAST_MAX_DOCUMENT_BYTES = BVDaastParser::kMaxDocumentBytes;
    // Tracking answers are never read; a long one is cut off.
    static const qint64 BV_DAAST_MAX_EVENT_BYTES = 64 * 1024;
    static const int BV_DAAST_DEFAULT_MAX_DURATION = 120000;
    // An ad may play this long past the duration its document gives.
    static const int BV_DAAST_DURATION_GRACE = 5000;

    explicit BVDaast(BVPlaybackHost *host);
    ~BVDaast() override;

    QUrl daastUrl() const { return m_daastUrl; }
    int daastTimeoutMs() const { return m_daastTimeoutMs; }
    double volume() const { return m_volume; }
    State state() const { return m_state; }
    bool isLenient() const { return m_isLenient; }
    int maxDurationMs() const { return m_maxDurationMs; }

    // Resumes a paused ad of the same document URL, or fetches and plays a new ad.
    void play();
    // Pauses a playing or stalled ad; nothing else.
    void pause();
    // Drops the ad and emits ended().
    void stop();
    // The listener clicked the companion banner: its click tracking URL is requested.
    void click();

signals:
    void daastUrlChanged(QUrl daastUrl);
    void daastTimeoutMsChanged(int daastTimeoutMs);
    void volumeChanged(double volume);
    void stateChanged(BVPlayerSource::State state);
    void started(QString meta, QString imageUrl, QString clickUrl);
    void error(QString message);
    void skipped();
    void ended();
    void aboutToEnd();
    void isLenientChanged(bool isLenient);
    void maxDurationMsChanged(int maxDurationMs);

public slots:
    bool setDaastUrl(QUrl daastUrl);
    bool setDaastTimeoutMs(int daastTimeoutMs);
    bool setVolume(double volume);
    bool setIsLenient(bool isLenient);
    bool setMaxDurationMs(int maxDurationMs);

protected slots:
    bool updateState(BVPlayerSource::State state);
    BVPlayerSource::State readState();
    void updateState();
    void daastRequestFinished();
    void eventRequestFinished();
    QUrl formatUrl(QUrl url);
    void startBassPlayback();
    void stopBassPlayback();
    void sendDaastEvent(QUrl url);
    bool createDaastPosSync(quint64 pos, QString event);
    void handleError(QString message);
    void handleStreamEnd();
    void handleStreamStalledChanged(bool isStalled);
    void handleStreamVolume();
    void handleDaastEvent(QString event);

protected:
    static void bassDaastEvent(quint32 handle, quint32 channel, quint32 data, void *user);
    static void bassEnd(quint32 handle, quint32 channel, quint32 data, void *user);
    static void bassStalled(quint32 handle, quint32 channel, quint32 data, void *user);

private:
    // An ad's media stream, opened or not (0, with the failure's text).
    using MediaOpened = std::function<void(quint32 handle, const QString &shownUrl, const QString &failure)>;

    void startBreak(const QByteArray &document);
    void askBreak(bool lastFailed);
    void spotFound(const BVAdSpot &spot);
    void playSpot(const BVAdSpot &spot);
    void playNext();
    std::shared_ptr<BVBackgroundStream> openMedia(const BVAdSpot &spot, MediaOpened opened);
    void streamCreated(quint32 handle, const QString &shownUrl, const QString &failure);
    void beginSpot();
    // The ad playing could not: the strict ad fails, a lenient break tries its next ad.
    void failSpot(const QString &message);
    void spotFailed(const BVAdSpot &spot, const QString &message);
    // The ad playing is over (heard to its end or cut at its time limit).
    void finishSpot();
    void finishBreak();
    void freeStream();
    void startTimeLimit();
    void sendTracking(const QString &url, int errorCode = 0);
    void reportError(const QStringList &errorUrls, int code);
    int stationKbps() const;

    // A document's URL that the host shows or opens: http(s) only, else blank with a warning.
    QString webUrlForHost(const QString &text, const char *what);

    // What an engine sync of the ad stream carries: read on the engine's sync thread,
    // kept until the stream is freed. `streamSerial` lets events of an abandoned ad be dropped.
    struct SyncRecord {
        BVDaast *owner;
        QString event;
        quint64 streamSerial;
    };
    using SyncRecords = std::vector<std::unique_ptr<SyncRecord>>;
    // A stream being armed: its handle, serial and the records of its syncs.
    struct SyncTarget {
        quint32 handle;
        quint64 serial;
        SyncRecords &records;
    };
    // A stream opened and armed ahead, to follow the ad playing.
    struct PreparedSpot {
        BVAdSpot spot;
        quint32 handle;
        quint64 serial;
        SyncRecords records;
    };
    using Handler = void (BVDaast::*)(const SyncRecord &, quint32);
    using SyncProc = void(quint32, quint32, quint32, void *);

    bool arm(const SyncTarget &stream, const BVAdSpot &spot, const QString &shownUrl, QString &failure);
    bool addSync(const SyncTarget &stream, quint32 type, quint64 param, SyncProc *proc, const QString &event);
    // Runs `handler` on the ad object's thread, unless the stream of `record` was torn down meanwhile.
    static void post(const SyncRecord *record, Handler handler, quint32 data);
    static void bassFollow(quint32 handle, quint32 channel, quint32 data, void *user);
    void deliver(const SyncRecord &record, Handler handler, quint32 data);
    void deliverEvent(const SyncRecord &record, quint32 data);
    void deliverEnd(const SyncRecord &record, quint32 data);
    void deliverStalled(const SyncRecord &record, quint32 data);
    void armPositionSyncs(const SyncTarget &stream, const BVAdSpot &spot, quint64 length);
    QString mediaUrlForLog(const QUrl &mediaUrl) const;
    QString playerName() const;

    QUrl m_daastUrl;
    int m_daastTimeoutMs = BV_DAAST_DEFAULT_TIMEOUT;
    double m_volume = 1.0;
    State m_state = BVPlayerSource::StoppedState;
    BVPlaybackHostRef m_host;
    QUrl m_requestUrl;
    QPointer<QNetworkReply> m_request;
    BVDaastParser m_parser;
    bool m_isLenient = false;
    int m_maxDurationMs = BV_DAAST_DEFAULT_MAX_DURATION;
    QDeadlineTimer m_deadline;         // for the document and its wrappers
    QPointer<BVAdBreak> m_break;       // lenient: the ads still to come
    BVAdSpot m_spot;                   // the ad being opened or played
    int m_spotsStarted = 0;            // in this break
    QString m_spotFailure;             // why the last ad of the break could not play
    std::shared_ptr<BVBackgroundStream> m_creation;     // of the ad to play now
    bool m_awaitingBreak = false;                       // the break looks for the next ad
    std::shared_ptr<BVBackgroundStream> m_nextCreation; // of the ad to follow
    std::optional<PreparedSpot> m_next;
    std::atomic<quint32> m_follower{0}; // m_next's handle, for the mixed end of m_stream to play
    QTimer *m_timeLimit;               // ends an ad that plays too long
    int m_timeLeftWhenPaused = -1;
    QElapsedTimer m_spotClock;
    quint32 m_stream = 0;
    quint64 m_streamSerial = 0;  // of m_stream
    quint64 m_streamSerials = 0; // one for every ad stream opened
    SyncRecords m_syncRecords;   // of m_stream
};
