#pragma once

#include "bvvastreader.h"

#include <QDeadlineTimer>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;

// The ads of one break, found one at a time: a wrapper is followed to its in-line ad (every
// level's impressions, errors and tracking kept, outermost first), a pod plays in its
// sequence, and a stand-alone ad stands in for one that cannot play.
class BVAdBreak : public QObject
{
    Q_OBJECT

public:
    static const int kMaxAds = 5;
    static const int kMaxWrapperHops = 5;
    static const qint64 kMaxBreakMs = 180000;
    // What an ad's Error URLs are told, as ad servers define the codes.
    enum ErrorCode {
        WrapperTimeout = 301,
        TooManyWrappers = 302,
        NoAdAfterWrappers = 303,
        NoPlayableMedia = 403,
        MediaFailed = 405,
        UndefinedError = 900,
    };

    using Format = std::function<QUrl(const QUrl &)>;

    // Wrapped documents are fetched through `nam`, their URLs passed through `format`, each
    // within what is left of `deadline`.
    BVAdBreak(QNetworkAccessManager *nam, Format format, QDeadlineTimer deadline, int stationKbps, QObject *parent);
    ~BVAdBreak() override;

    // Takes the ads of the break's document, fetched from `url`; false when it holds none.
    bool begin(const BVVastDocument &document, const QUrl &url);
    // Looks for the next ad: ready(), or failed() for each that cannot play, or finished().
    // After an ad that could not play (`lastFailed`), a stand-alone ad takes its place.
    void next(bool lastFailed);
    // Whether another ad may follow the current one.
    bool hasMore() const;
    // The break's time not yet played.
    qint64 remainingMs() const { return kMaxBreakMs - m_playedMs; }
    void addPlayed(qint64 ms) { m_playedMs += ms; }

signals:
    void ready(const BVAdSpot &spot);
    void failed(const QStringList &errorUrls, int code);
    void finished();

private:
    struct Candidate {
        BVVastAd ad;
        QUrl documentUrl; // what a relative wrapper URI is resolved against
    };

    void follow(const BVVastAd &ad, const QUrl &documentUrl);
    void fail(int code);
    void wrappedDocumentFinished();

    QNetworkAccessManager *m_nam;
    Format m_format;
    QDeadlineTimer m_deadline;
    int m_stationKbps;
    QList<Candidate> m_pod;
    QList<Candidate> m_fallbacks;
    int m_handedOut = 0;
    qint64 m_playedMs = 0;
    // The wrapper chain being followed:
    BVAdSpot m_inherited;
    QSet<QUrl> m_seen;
    int m_hops = 0;
    QUrl m_requestUrl;
    QPointer<QNetworkReply> m_request;
};
