#include "bvnetworkaccessmanager.h"

#include "bass.h"
#include "bvclock.h"
#include "bvlogging.h"
#include "bvpropertyupdate.h"
#include "bvrequestidentity.h"

#include <QEventLoop>
#include <QLocale>
#include <QMetaEnum>
#include <QSysInfo>
#include <QTimer>

#include <memory>

namespace {

// Redirects a request follows at most: a server's redirect chain costs a handful of requests.
constexpr int kMaxRedirects = 5;

// Set on a reply whose body passed the limit given to getSafely().
const char *const kOverLimitProperty = "bvOverLimit";

QString buildUserAgent()
{
    const QStringList languages = QLocale::system().uiLanguages();
    return QStringLiteral("BrevantPlayer/%1 (%2; %3; %4; %5) Qt/%6 BASS/%7")
        .arg(QStringLiteral(BREVANTPLAYER_VERSION), QSysInfo::prettyProductName(),
             QSysInfo::kernelType() + QLatin1Char(' ') + QSysInfo::kernelVersion(),
             QSysInfo::currentCpuArchitecture(),
             languages.isEmpty() ? QLocale::system().bcp47Name() : languages.first(),
             QString::fromLatin1(qVersion()), QString::number(BASS_GetVersion(), 16));
}

} // namespace

BVNetworkAccessManager::BVNetworkAccessManager(QObject *parent)
    : QNetworkAccessManager(parent), m_userAgent(buildUserAgent())
{
}

bool BVNetworkAccessManager::setAwait(bool await)
{
    return bvUpdateProperty(this, m_await, await, &BVNetworkAccessManager::awaitChanged);
}

bool BVNetworkAccessManager::setTimeoutMs(int timeoutMs)
{
    return bvUpdateProperty(this, m_timeoutMs, timeoutMs, &BVNetworkAccessManager::timeoutMsChanged);
}

bool BVNetworkAccessManager::setReferer(const QString &referer)
{
    return bvUpdateProperty(this, m_referer, referer, &BVNetworkAccessManager::refererChanged);
}

bool BVNetworkAccessManager::setTessaraUserId(const QString &tessaraUserId)
{
    return bvUpdateProperty(this, m_tessaraUserId, tessaraUserId, &BVNetworkAccessManager::tessaraUserIdChanged);
}

bool BVNetworkAccessManager::setTessaraUtmMark(const QString &tessaraUtmMark)
{
    return bvUpdateProperty(this, m_tessaraUtmMark, tessaraUtmMark, &BVNetworkAccessManager::tessaraUtmMarkChanged);
}

bool BVNetworkAccessManager::isSameUrl(const QUrl &a, const QUrl &b)
{
    const auto options = QUrl::RemoveQuery | QUrl::RemoveFragment;
    return a.toString(options) == b.toString(options);
}

QNetworkReply *BVNetworkAccessManager::senderReply(QObject *sender)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender);
    if (reply)
        reply->deleteLater();
    return reply;
}

QNetworkReply *BVNetworkAccessManager::senderReply(QObject *sender, const QString &name,
                                                   const QLoggingCategory &category)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender);
    if (!reply) {
        qCWarning(category) << "Can not cast" << name << "from sender";
        return nullptr;
    }
    reply->deleteLater();
    if (reply->property(kOverLimitProperty).toBool()) {
        qCWarning(category) << "Error" << name << ":" << reply->url().toString(QUrl::RemoveUserInfo)
                            << "answer larger than allowed";
        return nullptr;
    }
    if (reply->error() == QNetworkReply::NoError)
        return reply;
    qCWarning(category) << "Error" << name << ":" << reply->url().toString(QUrl::RemoveUserInfo)
                        << BVRequestIdentity::withoutPassword(reply->errorString(), reply->url()) << "Code:"
                        << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error());
    return nullptr;
}

void BVNetworkAccessManager::discardReply(QPointer<QNetworkReply> &reply, QObject *receiver)
{
    if (!reply)
        return;
    reply->disconnect(receiver);
    reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

QNetworkReply *BVNetworkAccessManager::getSafely(QNetworkAccessManager *nam, const QUrl &url, qint64 maxBytes)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply *reply = nam->get(request);
    if (maxBytes > 0) {
        // Qt reads no further than its read buffer: the body never grows past the limit in memory.
        // The whole body may already be there when the progress is reported, so the reply is
        // also marked, and senderReply() takes it as failed.
        reply->setReadBufferSize(maxBytes + 1);
        connect(reply, &QNetworkReply::downloadProgress, reply, [reply, maxBytes](qint64 received, qint64) {
            if (received <= maxBytes)
                return;
            reply->setProperty(kOverLimitProperty, true);
            reply->abort();
        });
    }
    return reply;
}

QNetworkReply *BVNetworkAccessManager::createRequest(Operation op, const QNetworkRequest &request,
                                                     QIODevice *outgoingData)
{
    QNetworkRequest identified(request);
    const QUrl url = BVRequestIdentity::withStatisticsItems(request.url(), m_tessaraUserId, m_tessaraUtmMark);
    identified.setUrl(url);
    const QByteArray authorization = BVRequestIdentity::basicAuthorization(url);
    const bool guardsCredentials = !authorization.isEmpty()
        && request.attribute(QNetworkRequest::RedirectPolicyAttribute).toInt() != QNetworkRequest::ManualRedirectPolicy;
    if (!authorization.isEmpty())
        identified.setRawHeader("Authorization", authorization);
    if (guardsCredentials) // each redirect is checked before it is followed
        identified.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    identified.setMaximumRedirectsAllowed(qMin(request.maximumRedirectsAllowed(), kMaxRedirects));
    if (!m_userAgent.isEmpty())
        identified.setRawHeader("User-Agent", m_userAgent.toUtf8());
    const QString referer = BVRequestIdentity::effectiveReferer(m_referer, m_tessaraUtmMark);
    if (!referer.isEmpty())
        identified.setRawHeader("Referer", referer.toUtf8());

    QNetworkReply *reply = QNetworkAccessManager::createRequest(op, identified, outgoingData);
    if (guardsCredentials)
        keepCredentialsAtHome(reply, url);
    refuseRedirectLoops(reply, url);
    limitTime(reply);
    return reply;
}

void BVNetworkAccessManager::keepCredentialsAtHome(QNetworkReply *reply, const QUrl &origin)
{
    // Qt sends a request's raw headers on to every redirect target: a request that carries
    // the URL's credentials follows redirects within its own origin only.
    connect(reply, &QNetworkReply::redirected, reply, [reply, origin](const QUrl &target) {
        if (BVRequestIdentity::isSameOrigin(origin, target)) {
            emit reply->redirectAllowed();
            return;
        }
        qCWarning(bvLog) << "Redirect refused: credentials of" << origin.toString(QUrl::RemoveUserInfo)
                         << "are not sent to" << target.toString(QUrl::RemoveUserInfo);
        reply->abort();
    });
}

void BVNetworkAccessManager::refuseRedirectLoops(QNetworkReply *reply, const QUrl &origin)
{
    // A chain that comes back to a URL it passed would only go round until the limit.
    auto seen = std::make_shared<QList<QUrl>>(QList<QUrl>{origin});
    connect(reply, &QNetworkReply::redirected, reply, [reply, seen](const QUrl &target) {
        if (!seen->contains(target)) {
            seen->append(target);
            return;
        }
        qCWarning(bvLog) << "Redirect loop refused: back to" << target.toString(QUrl::RemoveUserInfo);
        reply->abort();
    });
}

void BVNetworkAccessManager::limitTime(QNetworkReply *reply)
{
    if (!m_await) {
        // The limit covers the whole transfer from the request on; the timer dies with the reply.
        auto *timer = new QTimer(reply);
        connect(timer, &QTimer::timeout, timer, [timer] {
            auto *timedOut = qobject_cast<QNetworkReply *>(timer->parent());
            if (timedOut && timedOut->isRunning())
                timedOut->abort();
        }, Qt::DirectConnection);
        BVClock::start(timer, m_timeoutMs);
        return;
    }
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(m_timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    if (!reply->isFinished())
        reply->abort();
}
