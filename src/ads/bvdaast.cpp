#include "bvdaast.h"

#include "bass.h"
#include "bvbass.h"
#include "bvlogging.h"
#include "bvnetworkaccessmanager.h"
#include "bvplayer.h"
#include "bvpropertyupdate.h"
#include "bvweburl.h"

#include <QRegularExpression>
#include <QTimer>
#include <QUrlQuery>

#include <algorithm>

BVDaast::BVDaast(BVPlayer *player) : QObject(player), m_player(player)
{
    connect(this, &BVDaast::volumeChanged, this, &BVDaast::handleStreamVolume);
}

BVDaast::~BVDaast()
{
    // Freeing the stream first: no engine callback runs after it, none is aimed at this object.
    if (m_stream)
        BASS_StreamFree(m_stream);
}

bool BVDaast::setDaastUrl(QUrl daastUrl)
{
    return bvUpdateProperty(this, m_daastUrl, daastUrl, &BVDaast::daastUrlChanged);
}

bool BVDaast::setDaastTimeoutMs(int daastTimeoutMs)
{
    return bvUpdateProperty(this, m_daastTimeoutMs, daastTimeoutMs, &BVDaast::daastTimeoutMsChanged);
}

bool BVDaast::setVolume(double volume)
{
    return bvUpdateProperty(this, m_volume, volume, &BVDaast::volumeChanged);
}

bool BVDaast::updateState(BVPlayerSource::State state)
{
    return bvUpdateProperty(this, m_state, state, &BVDaast::stateChanged);
}

BVPlayerSource::State BVDaast::readState()
{
    if (m_request)
        return BVPlayerSource::StalledState;
    if (!m_stream)
        return BVPlayerSource::StoppedState;
    switch (BASS_ChannelIsActive(m_stream)) {
    case BASS_ACTIVE_STOPPED:
        return BVPlayerSource::StoppedState;
    case BASS_ACTIVE_PLAYING:
        return BVPlayerSource::PlayingState;
    case BASS_ACTIVE_STALLED:
        return BVPlayerSource::StalledState;
    case BASS_ACTIVE_PAUSED:
    case BASS_ACTIVE_PAUSED_DEVICE:
        return BVPlayerSource::PausedState;
    default:
        return BVPlayerSource::ErrorState;
    }
}

void BVDaast::updateState()
{
    updateState(readState());
}

QString BVDaast::playerName() const
{
    return m_player ? m_player->playerName() : QString();
}

QUrl BVDaast::formatUrl(QUrl url)
{
    if (!url.isValid())
        return QUrl();
    const QString userId = m_player && m_player->nam() ? m_player->nam()->tessaraUserId() : QString();
    if (userId.isEmpty())
        return url;
    QUrlQuery query(url);
    query.removeAllQueryItems(QStringLiteral("sdkuiid"));
    query.addQueryItem(QStringLiteral("sdkuiid"), userId);
    url.setQuery(query);
    return url;
}

void BVDaast::play()
{
    if (!m_player || !m_player->nam())
        return;
    // A paused ad of the same document resumes; the user id added by formatting does not count.
    if (readState() == BVPlayerSource::PausedState && formatUrl(m_daastUrl) == m_requestUrl) {
        if (!BASS_ChannelPlay(m_stream, FALSE))
            handleError(QStringLiteral("Can not play daast stream from paused") + BVBass::errorMessage());
        updateState();
        return;
    }
    stopBassPlayback();
    m_requestUrl = formatUrl(m_daastUrl);
    if (m_requestUrl.isEmpty()) {
        emit skipped();
        return;
    }
    m_request = BVNetworkAccessManager::getSafely(m_player->nam(), m_requestUrl, BV_DAAST_MAX_DOCUMENT_BYTES);
    connect(m_request, &QNetworkReply::finished, this, &BVDaast::daastRequestFinished);
    if (m_daastTimeoutMs > 0) {
        auto *timer = new QTimer(m_request);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, timer, [timer] {
            auto *reply = qobject_cast<QNetworkReply *>(timer->parent());
            if (reply && reply->isRunning()) {
                qCWarning(bvLog) << "Daast timeout, skipping";
                reply->abort(); // finishes the reply: the failure follows this line
            }
        }, Qt::DirectConnection);
        timer->start(m_daastTimeoutMs);
    }
    updateState();
}

void BVDaast::pause()
{
    if (!m_stream)
        return;
    const DWORD active = BASS_ChannelIsActive(m_stream);
    if (active != BASS_ACTIVE_PLAYING && active != BASS_ACTIVE_STALLED)
        return;
    if (!BASS_ChannelPause(m_stream))
        handleError(QStringLiteral("Can not pause daast stream") + BVBass::errorMessage());
    updateState();
}

void BVDaast::stop()
{
    stopBassPlayback();
    emit ended();
}

void BVDaast::click()
{
    handleDaastEvent(QStringLiteral("click"));
}

void BVDaast::daastRequestFinished()
{
    if (!m_player || sender() != m_request)
        return;
    m_request = nullptr;
    QNetworkReply *reply = BVNetworkAccessManager::senderReply(sender(), playerName() + QStringLiteral(" Daast request"), bvLog());
    const QString shownUrl = m_requestUrl.toString(QUrl::RemovePassword);
    if (!reply) {
        handleError(QStringLiteral("Can not get daast data from url:") + shownUrl);
        return;
    }
    if (!m_parser.parse(reply->readAll())) {
        handleError(QStringLiteral("Can not parse daast data from url:") + shownUrl);
        return;
    }
    if (m_parser.noBanner) {
        stopBassPlayback();
        emit skipped();
        return;
    }
    startBassPlayback();
}

void BVDaast::eventRequestFinished()
{
    BVNetworkAccessManager::senderReply(sender(), playerName() + QStringLiteral(" Daast event"), bvLog());
}

QString BVDaast::mediaUrlForLog(const QUrl &mediaUrl) const
{
    // The engine string without the URL's credentials and the Authorization line made of them.
    BVNetworkAccessManager *nam = m_player->nam();
    return QString::fromUtf8(BVBass::formatStreamUrl(mediaUrl.adjusted(QUrl::RemoveUserInfo), nam->userAgent(),
                                                     nam->referer(), nam->tessaraUserId(), nam->tessaraUtmMark()));
}

void BVDaast::startBassPlayback()
{
    if (!m_player || !m_player->nam())
        return;
    if (m_parser.linearMediaUrl.isEmpty()) {
        handleError(QStringLiteral("Can not start playing daast because linearMediaUrl isEmpty"));
        return;
    }
    BVNetworkAccessManager *nam = m_player->nam();
    const QUrl mediaUrl = formatUrl(QUrl(m_parser.linearMediaUrl));
    const QString shownUrl = mediaUrlForLog(mediaUrl);
    const QByteArray engineUrl = BVBass::formatStreamUrl(mediaUrl, nam->userAgent(), nam->referer(),
                                                         nam->tessaraUserId(), nam->tessaraUtmMark());
    m_stream = BASS_StreamCreateURL(engineUrl.constData(), 0, BASS_STREAM_AUTOFREE, nullptr, this);
    if (!m_stream) {
        handleError(QStringLiteral("Can not create daast stream by url ") + shownUrl + QStringLiteral(" Bass error: ")
                    + BVBass::errorMessage());
        return;
    }
    ++m_streamSerial;
    const QWORD length = BASS_ChannelGetLength(m_stream, BASS_POS_BYTE);
    if (length == QWORD(-1) || length == 0 || BASS_ChannelBytes2Seconds(m_stream, length) < 0.01) {
        handleError(QStringLiteral("Can not get duration from daast stream by url ") + shownUrl
                    + QStringLiteral(" Bass error: ") + BVBass::errorMessage());
        return;
    }
    armPositionSyncs(length);
    const QWORD second = BASS_ChannelSeconds2Bytes(m_stream, 1.0);
    if (second == QWORD(-1)) {
        // Without a second's size there is no sensible point a tenth of a second before the end.
        qCWarning(bvLog) << playerName() << "Can not set daast about to end event sync" << BVBass::errorMessage();
    } else if (!createDaastPosSync(QWORD(double(length) - 0.1 * double(second)), QStringLiteral("aboutToEnd"))) {
        handleError(QStringLiteral("Can not set daast about to end event sync") + BVBass::errorMessage());
        return;
    }
    if (!BASS_ChannelSetSync(m_stream, BASS_SYNC_STALL, 0, bassStalled, newSyncRecord(QString()))) {
        handleError(QStringLiteral("Can not set daast stall sync") + BVBass::errorMessage());
        return;
    }
    if (!BASS_ChannelSetSync(m_stream, BASS_SYNC_END, 0, bassEnd, newSyncRecord(QString()))) {
        handleError(QStringLiteral("Can not set daast end sync") + BVBass::errorMessage());
        return;
    }
    if (!BASS_ChannelPlay(m_stream, FALSE)) {
        handleError(QStringLiteral("Can not play daast stream") + BVBass::errorMessage());
        return;
    }
    handleStreamVolume();
    if (!m_stream)
        return; // the volume was refused and ended the ad
    handleDaastEvent(QStringLiteral("start"));
    emit started(m_parser.adTitle, webUrlForHost(m_parser.companionImageUrl, "banner image"),
                 webUrlForHost(m_parser.companionClickThroughUrl, "click-through"));
    updateState();
}

// The seconds the document has a progress event for ("progress" and a second number), in order.
static QList<quint64> trackedSeconds(const BVDaastParser &ad)
{
    static const QRegularExpression name(QStringLiteral("^progress(0|[1-9]\\d{0,8})$"));
    QList<quint64> seconds;
    for (const QMap<QString, QString> *urls : {&ad.linearTrackingUrls, &ad.companionTrackingUrls})
        for (const QString &event : urls->keys()) {
            const QRegularExpressionMatch match = name.match(event);
            if (match.hasMatch())
                seconds.append(match.captured(1).toULongLong());
        }
    std::sort(seconds.begin(), seconds.end());
    seconds.erase(std::unique(seconds.begin(), seconds.end()), seconds.end());
    return seconds;
}

// Quartiles and one progress event per second, including the very start and, when it falls
// on a whole second, the very end. Only seconds the document tracks get a sync: the length
// comes from the ad's own header, and a hostile one must not make millions of them. A refused
// sync is only logged: the ad goes on.
void BVDaast::armPositionSyncs(quint64 length)
{
    const struct {
        QWORD position;
        const char *event;
        const char *failure;
    } quartiles[] = {
        {length / 4, "firstQuartile", "Can not set daast first quartile event sync"},
        {length / 2, "midpoint", "Can not set daast midpoint event sync"},
        {(length / 4) * 3, "thirdQuartile", "Can not set daast third quartile event sync"},
    };
    for (const auto &quartile : quartiles)
        if (!createDaastPosSync(quartile.position, QString::fromLatin1(quartile.event)))
            qCDebug(bvLog) << playerName() << quartile.failure << BVBass::errorMessage();

    const QWORD second = BASS_ChannelSeconds2Bytes(m_stream, 1.0);
    if (second == QWORD(-1) || second == 0) {
        qCWarning(bvLog) << playerName() << "Can not get 1 second in bytes from daast stream" << BVBass::errorMessage();
        return;
    }
    for (quint64 i : trackedSeconds(m_parser)) {
        if (i * second > length)
            break;
        const QString event = QStringLiteral("progress") + QString::number(i);
        if (!createDaastPosSync(i * second, event))
            qCDebug(bvLog) << playerName() << QStringLiteral("Can not set daast ") + event + QStringLiteral(" event sync")
                           << BVBass::errorMessage();
    }
}

BVDaast::SyncRecord *BVDaast::newSyncRecord(const QString &event)
{
    m_syncRecords.push_back(std::make_unique<SyncRecord>(SyncRecord{this, event, m_streamSerial}));
    return m_syncRecords.back().get();
}

bool BVDaast::createDaastPosSync(quint64 pos, QString event)
{
    SyncRecord *record = newSyncRecord(event);
    // Every event acts when its place is heard: tracking reports what was heard, and the
    // stream's return under the ad's last tenth of a second is heard at once.
    if (BASS_ChannelSetSync(m_stream, BASS_SYNC_POS, pos, bassDaastEvent, record))
        return true;
    m_syncRecords.pop_back();
    return false;
}

void BVDaast::post(const SyncRecord *record, void (BVDaast::*handler)(const SyncRecord &, quint32), quint32 data)
{
    BVDaast *owner = record->owner;
    QMetaObject::invokeMethod(owner, [owner, handler, copy = *record, data] { (owner->*handler)(copy, data); },
                              Qt::QueuedConnection);
}

void BVDaast::bassDaastEvent(quint32, quint32, quint32 data, void *user)
{
    post(static_cast<const SyncRecord *>(user), &BVDaast::deliverEvent, data);
}

void BVDaast::bassEnd(quint32, quint32, quint32 data, void *user)
{
    post(static_cast<const SyncRecord *>(user), &BVDaast::deliverEnd, data);
}

void BVDaast::bassStalled(quint32, quint32, quint32 data, void *user)
{
    post(static_cast<const SyncRecord *>(user), &BVDaast::deliverStalled, data);
}

// Events of a stream that was torn down before they arrived belong to no ad any more.
void BVDaast::deliverEvent(const SyncRecord &record, quint32)
{
    if (m_stream && record.streamSerial == m_streamSerial)
        handleDaastEvent(record.event);
}

void BVDaast::deliverEnd(const SyncRecord &record, quint32)
{
    if (m_stream && record.streamSerial == m_streamSerial)
        handleStreamEnd();
}

void BVDaast::deliverStalled(const SyncRecord &record, quint32 data)
{
    if (m_stream && record.streamSerial == m_streamSerial)
        handleStreamStalledChanged(data == 0);
}

void BVDaast::handleDaastEvent(QString event)
{
    if (event == QLatin1String("aboutToEnd")) {
        emit aboutToEnd();
    } else if (event == QLatin1String("click")) {
        sendDaastEvent(QUrl(m_parser.companionClickTrackingUrl));
    } else if (event == QLatin1String("error")) {
        sendDaastEvent(QUrl(m_parser.errorUrl));
    } else {
        if (event == QLatin1String("start"))
            sendDaastEvent(QUrl(m_parser.impressionUrl));
        sendDaastEvent(QUrl(m_parser.linearTrackingUrls.value(event)));
        sendDaastEvent(QUrl(m_parser.companionTrackingUrls.value(event)));
    }
}

QString BVDaast::webUrlForHost(const QString &text, const char *what)
{
    const QUrl url = formatUrl(QUrl(text));
    if (url.isEmpty() || bvIsWebUrl(url))
        return url.toString();
    qCWarning(bvLog) << playerName() << "Daast" << what << "URL is not http(s), dropped:" << url.scheme();
    return QString();
}

void BVDaast::sendDaastEvent(QUrl url)
{
    if (!m_player || !m_player->nam())
        return;
    const QUrl formatted = formatUrl(url);
    if (!formatted.isValid() || formatted.isEmpty())
        return;
    // The document comes from the network: its URLs are network URLs, never local files.
    if (!bvIsWebUrl(formatted)) {
        qCDebug(bvLog) << playerName() << "Daast event url is not http(s), skipped:" << formatted.scheme();
        return;
    }
    QNetworkReply *reply = BVNetworkAccessManager::getSafely(m_player->nam(), formatted, BV_DAAST_MAX_EVENT_BYTES);
    connect(reply, &QNetworkReply::finished, this, &BVDaast::eventRequestFinished);
}

void BVDaast::stopBassPlayback()
{
    m_requestUrl.clear();
    BVNetworkAccessManager::discardReply(m_request, this);
    m_parser.clear();
    if (m_stream) {
        BASS_StreamFree(m_stream); // may already be gone: the engine frees it at its end
        m_stream = 0;
    }
    // No callback of the freed stream runs any more: its records can go.
    m_syncRecords.clear();
    updateState();
}

void BVDaast::handleError(QString message)
{
    handleDaastEvent(QStringLiteral("error"));
    stopBassPlayback();
    emit ended();
    emit error(message);
}

void BVDaast::handleStreamEnd()
{
    handleDaastEvent(QStringLiteral("complete"));
    stopBassPlayback();
    emit ended();
}

void BVDaast::handleStreamStalledChanged(bool isStalled)
{
    if (!m_player)
        return;
    if (isStalled)
        qCDebug(bvLog) << playerName() << "Daast playback stalled";
    else
        qCDebug(bvLog) << playerName() << "Daast playback continue after stalled state";
    updateState();
}

void BVDaast::handleStreamVolume()
{
    if (m_stream && !BASS_ChannelSetAttribute(m_stream, BASS_ATTRIB_VOL, float(m_volume)))
        handleError(QStringLiteral("Can not set daast volume") + BVBass::errorMessage());
}
