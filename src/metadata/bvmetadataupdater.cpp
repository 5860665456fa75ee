#include "bvmetadataupdater.h"

#include "bvclock.h"
#include "bvlogging.h"
#include "bvnetworkaccessmanager.h"
#include "bvpropertyupdate.h"
#include "bvweburl.h"

#include <QJsonDocument>

BVMetadataUpdater::BVMetadataUpdater(QNetworkAccessManager *nam, QObject *parent)
    : QObject(parent), m_nam(nam), m_updateTimer(this)
{
    m_updateTimer.setInterval(BV_METADATA_INTERVAL);
    connect(&m_updateTimer, &QTimer::timeout, this, &BVMetadataUpdater::update);
    connect(this, &BVMetadataUpdater::metaIdUrlChanged, this, &BVMetadataUpdater::startUpdateTimer);
    connect(this, &BVMetadataUpdater::metaUrlChanged, this, &BVMetadataUpdater::handleMetaUrlChanged);
}

void BVMetadataUpdater::handleMetaUrlChanged()
{
    resetMeta();
    m_lastMetaId.clear();
    if (m_metaUrl.isEmpty()) {
        m_updateTimer.stop();
        return;
    }
    updateMeta();
    startUpdateTimer();
}

QString BVMetadataUpdater::metaJson() const
{
    const QJsonObject object{{QStringLiteral("uniqueid"), m_lastMetaId},
                             {QStringLiteral("artist"), m_title},
                             {QStringLiteral("title"), m_subtitle},
                             {QStringLiteral("cover"), m_coverUrl.toString()},
                             {QStringLiteral("ddbId"), m_ddbId},
                             {QStringLiteral("type"), m_type}};
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

void BVMetadataUpdater::resetMeta()
{
    updateJson(QJsonObject());
    updateTitle(QString());
    updateSubtitle(QString());
    updateCoverUrl(QUrl());
    updateDdbId(0);
    updateType(-1);
}

void BVMetadataUpdater::updateMetaJson(const QString &metaJson, bool isSilence)
{
    metaJsonParse(metaJson.toUtf8(), isSilence);
}

void BVMetadataUpdater::updateMetaJson(const QString &metaJson)
{
    updateMetaJson(metaJson, false);
}

void BVMetadataUpdater::update()
{
    if (!m_metaIdUrl.isEmpty())
        updateMetaId();
    else if (!m_metaUrl.isEmpty())
        updateMeta();
}

void BVMetadataUpdater::updateMeta()
{
    startRequest({&m_metaReply, m_metaUrl, "Metadata updater: nam is null inside update meta",
                  "Metadata updater: skip meta update request, cause previous still running",
                  "Metadata updater: abort prev meta request", &BVMetadataUpdater::updateMetaRequestFinished});
}

void BVMetadataUpdater::updateMetaId()
{
    startRequest({&m_metaIdReply, m_metaIdUrl, "Metadata updater: nam is null inside update meta ID",
                  "Metadata updater: skip meta ID update request, cause previous still running",
                  "Metadata updater: abort prev meta ID request", &BVMetadataUpdater::updateMetaIdRequestFinished});
}

void BVMetadataUpdater::startRequest(const Request &request)
{
    if (!m_nam) {
        qCWarning(bvLog) << request.nullNamWarning;
        return;
    }
    if (request.url.isEmpty())
        return;
    QPointer<QNetworkReply> &reply = *request.reply;
    if (reply && reply->isRunning()) {
        if (BVNetworkAccessManager::isSameUrl(reply->request().url(), request.url)) {
            qCDebug(bvLog) << request.skipDebug;
            return;
        }
        qCWarning(bvLog) << request.abortWarning;
        BVNetworkAccessManager::discardReply(reply, this);
    }
    reply = BVNetworkAccessManager::getSafely(m_nam, request.url, BV_METADATA_MAX_BYTES);
    connect(reply, &QNetworkReply::finished, this, request.finished);
}

QNetworkReply *BVMetadataUpdater::finishedReply(QPointer<QNetworkReply> &current, const QUrl &url, const char *name)
{
    if (sender() != current)
        return nullptr;
    current = nullptr;
    QNetworkReply *reply = BVNetworkAccessManager::senderReply(sender(), QString::fromLatin1(name), bvLog());
    // Identity query items may have been added to the request: compare without the query.
    if (!reply || !BVNetworkAccessManager::isSameUrl(reply->request().url(), url)) {
        resetMeta();
        updateTimerInterval(true);
        return nullptr;
    }
    updateTimerInterval(false);
    return reply;
}

void BVMetadataUpdater::updateMetaRequestFinished()
{
    QNetworkReply *reply = finishedReply(m_metaReply, m_metaUrl, "Metadata updater request");
    if (!reply)
        return;
    const QByteArray body = reply->readAll();
    if (!metaJsonParse(body, false)) {
        resetMeta();
        qCWarning(bvLog) << "Metadata updater: Error meta parsing:" << QString::fromUtf8(body);
    }
}

void BVMetadataUpdater::updateMetaIdRequestFinished()
{
    QNetworkReply *reply = finishedReply(m_metaIdReply, m_metaIdUrl, "Metadata updater ID request");
    if (!reply)
        return;
    const QByteArray body = reply->readAll();
    if (!metaIdJsonParse(body)) {
        resetMeta();
        qCWarning(bvLog) << "Metadata updater: Error meta ID parsing:" << QString::fromUtf8(body);
    }
}

void BVMetadataUpdater::startUpdateTimer()
{
    if (m_metaUrl.isEmpty()) {
        m_updateTimer.stop();
        resetMeta();
        return;
    }
    BVClock::start(&m_updateTimer, m_metaIdUrl.isEmpty() ? BV_METADATA_INTERVAL : BV_METADATA_FAST_INTERVAL);
}

void BVMetadataUpdater::updateTimerInterval(bool fast)
{
    BVClock::setInterval(&m_updateTimer, fast || !m_metaIdUrl.isEmpty() ? BV_METADATA_FAST_INTERVAL : BV_METADATA_INTERVAL);
}

bool BVMetadataUpdater::metaJsonParse(const QByteArray &data, bool isSilence)
{
    const QJsonDocument document = QJsonDocument::fromJson(data);
    if (!document.isObject())
        return false;
    QJsonObject object = document.object();
    m_lastMetaId = object.value(QStringLiteral("uniqueid")).toString();
    const QString title = object.value(QStringLiteral("artist")).toString();
    const QString subtitle = object.value(QStringLiteral("title")).toString();
    QUrl cover(object.value(QStringLiteral("cover")).toString(), QUrl::TolerantMode);
    const int ddbId = object.value(QStringLiteral("ddbId")).toInt(0);
    const int type = object.value(QStringLiteral("type")).toInt(-1);
    if (!cover.isEmpty() && cover.isRelative()) {
        cover = absoluteCover(object.value(QStringLiteral("cover")).toString());
        object.insert(QStringLiteral("cover"), cover.toString());
    }
    if (!cover.isEmpty() && !bvIsWebUrl(cover)) {
        qCWarning(bvLog) << "Metadata updater: cover URL is not http(s), dropped:" << cover.scheme();
        cover.clear();
        object.insert(QStringLiteral("cover"), QString());
    }
    if (isSilence) {
        m_json = object;
        m_title = title;
        m_subtitle = subtitle;
        m_coverUrl = cover;
        m_ddbId = ddbId;
        m_type = type;
        return true;
    }
    updateJson(object);
    updateTitle(title);
    updateSubtitle(subtitle);
    updateCoverUrl(cover);
    updateDdbId(ddbId);
    updateType(type);
    return true;
}

bool BVMetadataUpdater::metaIdJsonParse(const QByteArray &data)
{
    const QJsonDocument document = QJsonDocument::fromJson(data);
    if (!document.isObject())
        return false;
    if (document.object().value(QStringLiteral("uniqueid")).toString() != m_lastMetaId)
        updateMeta();
    return true;
}

// A relative cover names a file beside the metadata document: it takes the document's file
// name's place in the path; scheme, host and query stay those of the metadata URL.
QUrl BVMetadataUpdater::absoluteCover(const QString &cover) const
{
    QString path = m_metaUrl.path(QUrl::FullyDecoded);
    path.replace(m_metaUrl.fileName(QUrl::FullyDecoded), cover);
    QUrl absolute = m_metaUrl;
    absolute.setPath(path, QUrl::DecodedMode);
    return absolute;
}

bool BVMetadataUpdater::setMetaUrl(const QUrl &metaUrl)
{
    return bvUpdateProperty(this, m_metaUrl, metaUrl, &BVMetadataUpdater::metaUrlChanged);
}

bool BVMetadataUpdater::setMetaIdUrl(const QUrl &metaIdUrl)
{
    return bvUpdateProperty(this, m_metaIdUrl, metaIdUrl, &BVMetadataUpdater::metaIdUrlChanged);
}

bool BVMetadataUpdater::updateJson(const QJsonObject &json)
{
    return bvUpdateProperty(this, m_json, json, &BVMetadataUpdater::jsonChanged);
}

bool BVMetadataUpdater::updateTitle(const QString &title)
{
    return bvUpdateProperty(this, m_title, title, &BVMetadataUpdater::titleChanged);
}

bool BVMetadataUpdater::updateSubtitle(const QString &subtitle)
{
    return bvUpdateProperty(this, m_subtitle, subtitle, &BVMetadataUpdater::subtitleChanged);
}

bool BVMetadataUpdater::updateCoverUrl(const QUrl &coverUrl)
{
    return bvUpdateProperty(this, m_coverUrl, coverUrl, &BVMetadataUpdater::coverUrlChanged);
}

bool BVMetadataUpdater::updateDdbId(int ddbId)
{
    return bvUpdateProperty(this, m_ddbId, ddbId, &BVMetadataUpdater::ddbIdChanged);
}

bool BVMetadataUpdater::updateType(int type)
{
    return bvUpdateProperty(this, m_type, type, &BVMetadataUpdater::typeChanged);
}
