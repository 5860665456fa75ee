#pragma once

#include "bvglobal.h"

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

// Keeps a station's "now playing" data fresh from a JSON service: the full document every
// 20 s, or with an ID URL the small ID document every 5 s and the full one only when its
// "uniqueid" changes; 5 s after any failure.
class BREVANTPLAYER_EXPORT BVMetadataUpdater : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl metaUrl READ metaUrl WRITE setMetaUrl NOTIFY metaUrlChanged)
    Q_PROPERTY(QUrl metaIdUrl READ metaIdUrl WRITE setMetaIdUrl NOTIFY metaIdUrlChanged)
    Q_PROPERTY(QJsonObject json READ json NOTIFY jsonChanged)
    Q_PROPERTY(QString title READ title NOTIFY titleChanged)
    Q_PROPERTY(QString subtitle READ subtitle NOTIFY subtitleChanged)
    Q_PROPERTY(QUrl coverUrl READ coverUrl NOTIFY coverUrlChanged)
    Q_PROPERTY(int ddbId READ ddbId NOTIFY ddbIdChanged)
    Q_PROPERTY(int type READ type NOTIFY typeChanged)

public:
    static const int BV_METADATA_INTERVAL = 20000;
    static const int BV_METADATA_FAST_INTERVAL = 5000;
    // A larger answer is hostile: the request fails.
    static const qint64 BV_METADATA_MAX_BYTES = 1024 * 1024;

    explicit BVMetadataUpdater(QNetworkAccessManager *nam, QObject *parent = nullptr);

    QUrl metaUrl() const { return m_metaUrl; }
    QUrl metaIdUrl() const { return m_metaIdUrl; }
    QJsonObject json() const { return m_json; }
    QString title() const { return m_title; }
    QString subtitle() const { return m_subtitle; }
    QUrl coverUrl() const { return m_coverUrl; }
    int ddbId() const { return m_ddbId; }
    int type() const { return m_type; }

    // The current state as an indented JSON object: uniqueid, artist, title, cover, ddbId, type.
    QString metaJson() const;

signals:
    void metaUrlChanged(const QUrl &metaUrl);
    void metaIdUrlChanged(const QUrl &metaIdUrl);
    void jsonChanged(const QJsonObject &json);
    void titleChanged(const QString &title);
    void subtitleChanged(const QString &subtitle);
    void coverUrlChanged(const QUrl &coverUrl);
    void ddbIdChanged(int ddbId);
    void typeChanged(int type);

public slots:
    bool setMetaUrl(const QUrl &metaUrl);
    bool setMetaIdUrl(const QUrl &metaIdUrl);
    void resetMeta();
    // Takes `metaJson` like a fetched full document; silently: no change signals.
    void updateMetaJson(const QString &metaJson, bool isSilence);
    void updateMetaJson(const QString &metaJson);
    void update();
    void updateMeta();
    void updateMetaId();

protected slots:
    bool updateJson(const QJsonObject &json);
    bool updateTitle(const QString &title);
    bool updateSubtitle(const QString &subtitle);
    bool updateCoverUrl(const QUrl &coverUrl);
    bool updateDdbId(int ddbId);
    bool updateType(int type);
    void updateMetaRequestFinished();
    void updateMetaIdRequestFinished();
    void startUpdateTimer();

protected:
    bool metaJsonParse(const QByteArray &data, bool isSilence);
    bool metaIdJsonParse(const QByteArray &data);
    void updateTimerInterval(bool fast);

private:
    // One request of either kind: the full document or the ID document.
    struct Request
    {
        QPointer<QNetworkReply> *reply;
        QUrl url;
        const char *nullNamWarning;
        const char *skipDebug;
        const char *abortWarning;
        void (BVMetadataUpdater::*finished)();
    };
    void startRequest(const Request &request);
    // The finished reply when it is current and good; otherwise null after a reset.
    QNetworkReply *finishedReply(QPointer<QNetworkReply> &reply, const QUrl &url, const char *name);
    void handleMetaUrlChanged();
    QUrl absoluteCover(const QString &cover) const;

    QUrl m_metaUrl;
    QUrl m_metaIdUrl;
    QJsonObject m_json;
    QString m_title;
    QString m_subtitle;
    QUrl m_coverUrl;
    int m_ddbId = 0;
    int m_type = -1;
    QPointer<QNetworkAccessManager> m_nam;
    QTimer m_updateTimer;
    QString m_lastMetaId;
    QPointer<QNetworkReply> m_metaReply;
    QPointer<QNetworkReply> m_metaIdReply;
};
