#include "bvadbreak.h"

#include "bvdaastparser.h"
#include "bvlogging.h"
#include "bvnetworkaccessmanager.h"
#include "bvweburl.h"

#include <QTimer>

#include <algorithm>

BVAdBreak::BVAdBreak(QNetworkAccessManager *nam, Format format, QDeadlineTimer deadline, int stationKbps,
                     QObject *parent)
    : QObject(parent), m_nam(nam), m_format(std::move(format)), m_deadline(deadline), m_stationKbps(stationKbps)
{
}

BVAdBreak::~BVAdBreak()
{
    BVNetworkAccessManager::discardReply(m_request, this);
}

bool BVAdBreak::begin(const BVVastDocument &document, const QUrl &url)
{
    for (const BVVastAd &ad : document.ads)
        (ad.sequence > 0 ? m_pod : m_fallbacks).append({ad, url});
    std::stable_sort(m_pod.begin(), m_pod.end(),
                     [](const Candidate &a, const Candidate &b) { return a.ad.sequence < b.ad.sequence; });
    if (m_pod.isEmpty() && !m_fallbacks.isEmpty())
        m_pod.append(m_fallbacks.takeFirst()); // no pod: the first ad is the break
    return !m_pod.isEmpty();
}

bool BVAdBreak::hasMore() const
{
    return !m_pod.isEmpty() && m_handedOut < kMaxAds && remainingMs() > 0;
}

void BVAdBreak::next(bool lastFailed)
{
    Candidate candidate;
    if (lastFailed && !m_fallbacks.isEmpty())
        candidate = m_fallbacks.takeFirst();
    else if (hasMore())
        candidate = m_pod.takeFirst();
    else {
        emit finished();
        return;
    }
    m_inherited = BVAdSpot();
    m_seen = {candidate.documentUrl};
    m_hops = 0;
    follow(candidate.ad, candidate.documentUrl);
}

void BVAdBreak::follow(const BVVastAd &ad, const QUrl &documentUrl)
{
    BVAdSpot level = ad.spot;
    level.inherit(m_inherited);
    if (ad.wrapperUri.isEmpty()) {
        if (level.mediaUrl.isEmpty()) {
            m_inherited = level;
            fail(NoPlayableMedia);
            return;
        }
        ++m_handedOut;
        emit ready(level);
        return;
    }
    m_inherited = level;
    const QUrl target = documentUrl.resolved(QUrl(ad.wrapperUri));
    if (!bvIsWebUrl(target)) {
        qCWarning(bvLog) << "Daast wrapper leads to a URL that is not http(s):" << target.scheme();
        fail(NoAdAfterWrappers);
        return;
    }
    if (++m_hops > kMaxWrapperHops || m_seen.contains(target)) {
        qCWarning(bvLog) << "Daast wrapper chain refused after" << m_hops << "hops";
        fail(TooManyWrappers);
        return;
    }
    m_seen.insert(target);
    m_requestUrl = target;
    m_request = BVNetworkAccessManager::getSafely(m_nam, m_format(target), BVDaastParser::kMaxDocumentBytes);
    connect(m_request, &QNetworkReply::finished, this, &BVAdBreak::wrappedDocumentFinished);
    if (!m_deadline.isForever()) {
        auto *timer = new QTimer(m_request);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, m_request, &QNetworkReply::abort);
        timer->start(int(qMax<qint64>(0, m_deadline.remainingTime())));
    }
}

void BVAdBreak::wrappedDocumentFinished()
{
    if (sender() != m_request)
        return;
    QNetworkReply *reply = BVNetworkAccessManager::senderReply(sender(), QStringLiteral("Daast wrapped document"), bvLog());
    m_request = nullptr;
    if (!reply) {
        fail(WrapperTimeout);
        return;
    }
    const BVVastDocument document = BVVastReader::read(reply->readAll(), m_stationKbps);
    if (document.ads.isEmpty()) {
        m_inherited.errorUrls += document.errorUrls;
        fail(NoAdAfterWrappers);
        return;
    }
    follow(document.ads.first(), m_requestUrl);
}

void BVAdBreak::fail(int code)
{
    emit failed(m_inherited.errorUrls, code);
    next(true);
}
