#pragma once

#include "bvglobal.h"

#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

// The manager every request of the library goes through: it adds the user
// agent, referer, Basic authorisation and listener statistics items, and
// bounds each request by a time-out.
class BREVANTPLAYER_EXPORT BVNetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
    Q_PROPERTY(bool await READ await WRITE setAwait NOTIFY awaitChanged)
    Q_PROPERTY(int timeoutMs READ timeoutMs WRITE setTimeoutMs NOTIFY timeoutMsChanged)
    Q_PROPERTY(QString userAgent READ userAgent CONSTANT)
    Q_PROPERTY(QString referer READ referer WRITE setReferer NOTIFY refererChanged)
    Q_PROPERTY(QString tessaraUserId READ tessaraUserId WRITE setTessaraUserId NOTIFY tessaraUserIdChanged)
    Q_PROPERTY(QString tessaraUtmMark READ tessaraUtmMark WRITE setTessaraUtmMark NOTIFY tessaraUtmMarkChanged)

public:
    static const int BV_NETWORK_DEFAULT_TIMEOUT = 10000;

    explicit BVNetworkAccessManager(QObject *parent = nullptr);

    bool await() const { return m_await; }
    int timeoutMs() const { return m_timeoutMs; }
    QString userAgent() const { return m_userAgent; }
    QString referer() const { return m_referer; }
    QString tessaraUserId() const { return m_tessaraUserId; }
    QString tessaraUtmMark() const { return m_tessaraUtmMark; }

    // True when both URLs are the same without query and fragment.
    static bool isSameUrl(const QUrl &a, const QUrl &b);
    // The sender as a reply, scheduled for deletion; null when it is not one.
    static QNetworkReply *senderReply(QObject *sender);
    // As above; also null (and logged in `category`) when the reply failed.
    static QNetworkReply *senderReply(QObject *sender, const QString &name, const QLoggingCategory &category);
    // Cancels `reply` silently for `receiver` (no more of its signals there) and schedules its
    // deletion; forgets it. Does nothing when it is null.
    static void discardReply(QPointer<QNetworkReply> &reply, QObject *receiver);

    // A GET of `url` through `nam` that never follows a redirect to a less safe scheme and, with `maxBytes`
    // above 0, fails (OperationCanceledError) once its body passes that many bytes.
    static QNetworkReply *getSafely(QNetworkAccessManager *nam, const QUrl &url, qint64 maxBytes = 0);

signals:
    void awaitChanged(bool await);
    void timeoutMsChanged(int timeoutMs);
    void refererChanged(QString referer);
    void tessaraUserIdChanged(QString tessaraUserId);
    void tessaraUtmMarkChanged(QString tessaraUtmMark);

public slots:
    bool setAwait(bool await);
    bool setTimeoutMs(int timeoutMs);
    bool setReferer(const QString &referer);
    bool setTessaraUserId(const QString &tessaraUserId);
    bool setTessaraUtmMark(const QString &tessaraUtmMark);

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request, QIODevice *outgoingData) override;

private:
    void keepCredentialsAtHome(QNetworkReply *reply, const QUrl &origin);
    static void refuseRedirectLoops(QNetworkReply *reply, const QUrl &origin);
    void limitTime(QNetworkReply *reply);

    bool m_await = false;
    int m_timeoutMs = BV_NETWORK_DEFAULT_TIMEOUT;
    QString m_userAgent;
    QString m_referer;
    QString m_tessaraUserId;
    QString m_tessaraUtmMark;
};
