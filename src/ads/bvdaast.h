#pragma once

#include "bvdaastparser.h"
#include "bvglobal.h"
#include "rep_bvplayer_source.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <memory>
#include <vector>

class BVPlayer;

// Plays one audio ad beside its player's stream: fetches and parses the ad document,
// plays the ad's audio as an engine stream of its own and requests the document's
// tracking URLs at the impression, start, each second, the quartiles, the end, an
// error and a companion click.
class BREVANTPLAYER_EXPORT BVDaast : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl daastUrl READ daastUrl WRITE setDaastUrl NOTIFY daastUrlChanged)
    Q_PROPERTY(int daastTimeoutMs READ daastTimeoutMs WRITE setDaastTimeoutMs NOTIFY daastTimeoutMsChanged)
    Q_PROPERTY(double volume READ volume WRITE setVolume NOTIFY volumeChanged)
    Q_PROPERTY(BVPlayerSource::State state READ state NOTIFY stateChanged)

public:
    using State = BVPlayerSource::State;
    static const int BV_DAAST_DEFAULT_TIMEOUT = 5000;
    // A larger ad document is hostile: the request fails.
    static const qint64 BV_DAAST_MAX_DOCUMENT_BYTES = 1024 * 1024;
    // Tracking answers are never read; a long one is cut off.
    static const qint64 BV_DAAST_MAX_EVENT_BYTES = 64 * 1024;

    explicit BVDaast(BVPlayer *player);
    ~BVDaast() override;

    QUrl daastUrl() const { return m_daastUrl; }
    int daastTimeoutMs() const { return m_daastTimeoutMs; }
    double volume() const { return m_volume; }
    State state() const { return m_state; }

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

public slots:
    bool setDaastUrl(QUrl daastUrl);
    bool setDaastTimeoutMs(int daastTimeoutMs);
    bool setVolume(double volume);

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
    // A document's URL that the host shows or opens: http(s) only, else blank with a warning.
    QString webUrlForHost(const QString &text, const char *what);

    // What an engine sync of the ad stream carries: read on the engine's sync thread,
    // kept until the stream is freed. `streamSerial` lets events of an abandoned ad be dropped.
    struct SyncRecord {
        BVDaast *owner;
        QString event;
        quint64 streamSerial;
    };

    SyncRecord *newSyncRecord(const QString &event);
    // Runs `handler` on the ad object's thread, unless the stream of `record` was torn down meanwhile.
    static void post(const SyncRecord *record, void (BVDaast::*handler)(const SyncRecord &, quint32), quint32 data);
    void deliverEvent(const SyncRecord &record, quint32 data);
    void deliverEnd(const SyncRecord &record, quint32 data);
    void deliverStalled(const SyncRecord &record, quint32 data);
    void armPositionSyncs(quint64 length);
    QString mediaUrlForLog(const QUrl &mediaUrl) const;
    QString playerName() const;

    QUrl m_daastUrl;
    int m_daastTimeoutMs = BV_DAAST_DEFAULT_TIMEOUT;
    double m_volume = 1.0;
    State m_state = BVPlayerSource::StoppedState;
    QPointer<BVPlayer> m_player;
    QUrl m_requestUrl;
    QPointer<QNetworkReply> m_request;
    BVDaastParser m_parser;
    quint32 m_stream = 0;
    quint64 m_streamSerial = 0; // bumped for every ad stream opened
    std::vector<std::unique_ptr<SyncRecord>> m_syncRecords; // of m_stream
};
