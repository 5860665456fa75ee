#include "bvdaast.h"

#include "bass.h"
#include "bvadbreak.h"
#include "bvbackgroundstream.h"
#include "bvbass.h"
#include "bvclock.h"
#include "bvlogging.h"
#include "bvnetworkaccessmanager.h"
#include "bvpropertyupdate.h"
#include "bvvastreader.h"
#include "bvweburl.h"

#include <QRegularExpression>
#include <QSet>
#include <QTimer>
#include <QUrlQuery>

#include <algorithm>
#include <climits>

BVDaast::BVDaast(BVPlaybackHost *host) : QObject(BVPlaybackHost::objectOf(host)), m_host(host), m_timeLimit(new QTimer(this))
{
    connect(this, &BVDaast::volumeChanged, this, &BVDaast::handleStreamVolume);
    m_timeLimit->setSingleShot(true);
    m_timeLimit->setTimerType(Qt::PreciseTimer); // a coarse timer may end an ad 5 % early
    connect(m_timeLimit, &QTimer::timeout, this, [this] {
        qCWarning(bvLog) << playerName() << "Daast ad cut: it played past its time limit";
        finishSpot();
    });
}

BVDaast::~BVDaast()
{
    if (m_creation)
        m_creation->abandon();
    if (m_nextCreation)
        m_nextCreation->abandon();
    // Freeing the streams first: no engine callback runs after it, none is aimed at this object.
    if (m_stream)
        BASS_StreamFree(m_stream);
    if (m_next)
        BASS_StreamFree(m_next->handle);
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

bool BVDaast::setIsLenient(bool isLenient)
{
    return bvUpdateProperty(this, m_isLenient, isLenient, &BVDaast::isLenientChanged);
}

bool BVDaast::setMaxDurationMs(int maxDurationMs)
{
    return bvUpdateProperty(this, m_maxDurationMs, maxDurationMs, &BVDaast::maxDurationMsChanged);
}

bool BVDaast::updateState(BVPlayerSource::State state)
{
    return bvUpdateProperty(this, m_state, state, &BVDaast::stateChanged);
}

BVPlayerSource::State BVDaast::readState()
{
    // Fetching a document, opening an ad's stream, or between the ads of a break.
    if (m_request || m_creation || (m_break && !m_stream))
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
    return m_host ? m_host->playerName() : QString();
}

QUrl BVDaast::formatUrl(QUrl url)
{
    if (!url.isValid())
        return QUrl();
    const QString userId = m_host && m_host->nam() ? m_host->nam()->tessaraUserId() : QString();
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
    if (!m_host || !m_host->nam())
        return;
    // A paused ad of the same document resumes; the user id added by formatting does not count.
    if (readState() == BVPlayerSource::PausedState && formatUrl(m_daastUrl) == m_requestUrl) {
        if (!BASS_ChannelPlay(m_stream, FALSE))
            handleError(QStringLiteral("Can not play daast stream from paused") + BVBass::errorMessage());
        else if (m_timeLeftWhenPaused >= 0)
            BVClock::start(m_timeLimit, std::exchange(m_timeLeftWhenPaused, -1));
        updateState();
        return;
    }
    stopBassPlayback();
    m_requestUrl = formatUrl(m_daastUrl);
    if (m_requestUrl.isEmpty()) {
        emit skipped();
        return;
    }
    m_deadline = m_daastTimeoutMs > 0 ? QDeadlineTimer(m_daastTimeoutMs) : QDeadlineTimer(QDeadlineTimer::Forever);
    m_request = BVNetworkAccessManager::getSafely(m_host->nam(), m_requestUrl, BV_DAAST_MAX_DOCUMENT_BYTES);
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
        BVClock::start(timer, m_daastTimeoutMs);
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
    if (!BASS_ChannelPause(m_stream)) {
        handleError(QStringLiteral("Can not pause daast stream") + BVBass::errorMessage());
    } else if (m_timeLimit->isActive()) {
        m_timeLeftWhenPaused = m_timeLimit->remainingTime();
        m_timeLimit->stop();
    }
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
    if (!m_host || sender() != m_request)
        return;
    m_request = nullptr;
    QNetworkReply *reply = BVNetworkAccessManager::senderReply(sender(), playerName() + QStringLiteral(" Daast request"), bvLog());
    const QString shownUrl = m_requestUrl.toString(QUrl::RemovePassword);
    if (!reply) {
        handleError(QStringLiteral("Can not get daast data from url:") + shownUrl);
        return;
    }
    if (m_isLenient) {
        startBreak(reply->readAll());
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
    playSpot(BVAdSpot::fromRecord(m_parser));
}

// The station's bit rate (0 until it is known), for choosing among an ad's media files.
int BVDaast::stationKbps() const
{
    return int(m_host->currentBitrate() / 1000);
}

// A lenient document: its ads, wrapped or not, pods and fallbacks, make one break.
void BVDaast::startBreak(const QByteArray &document)
{
    const BVVastDocument ads = BVVastReader::read(document, stationKbps());
    if (!ads.valid) {
        handleError(QStringLiteral("Can not parse daast data from url:") + m_requestUrl.toString(QUrl::RemovePassword));
        return;
    }
    m_break = new BVAdBreak(m_host->nam(), [this](const QUrl &url) { return formatUrl(url); }, m_deadline,
                            stationKbps(), this);
    connect(m_break, &BVAdBreak::ready, this, &BVDaast::spotFound);
    connect(m_break, &BVAdBreak::failed, this, &BVDaast::reportError);
    connect(m_break, &BVAdBreak::finished, this, [this] {
        m_awaitingBreak = false;
        if (!m_stream && !m_creation) // else the break ends with the ad playing
            finishBreak();
    });
    if (!m_break->begin(ads, m_requestUrl)) {
        qCDebug(bvLog) << playerName() << "Daast: no ad this time";
        reportError(ads.errorUrls, BVAdBreak::NoAdAfterWrappers);
        stopBassPlayback();
        emit skipped();
        return;
    }
    askBreak(false);
    updateState();
}

void BVDaast::askBreak(bool lastFailed)
{
    m_awaitingBreak = true;
    m_break->next(lastFailed);
}

// The break's next ad: played at once, or opened and armed beside the ad playing, whose
// mixed end starts it in the same frame.
void BVDaast::spotFound(const BVAdSpot &spot)
{
    m_awaitingBreak = false;
    if (!m_stream && !m_creation) {
        playSpot(spot);
        return;
    }
    m_nextCreation = openMedia(spot, [this, spot](quint32 handle, const QString &shownUrl, const QString &failure) {
        m_nextCreation.reset();
        PreparedSpot next{spot, handle, ++m_streamSerials, {}};
        QString why = failure;
        if (!handle || !arm({next.handle, next.serial, next.records}, spot, shownUrl, why)) {
            if (handle)
                BASS_StreamFree(handle);
            spotFailed(spot, why);
            return;
        }
        BASS_ChannelSetAttribute(handle, BASS_ATTRIB_VOL, float(m_volume));
        m_next = std::move(next);
        if (m_stream)
            m_follower = handle;
        else
            playNext();
    });
}

void BVDaast::playSpot(const BVAdSpot &spot)
{
    m_spot = spot;
    startBassPlayback();
}

// The prepared ad becomes the one playing (it may already be heard: the last one's end started it).
void BVDaast::playNext()
{
    m_follower = 0;
    PreparedSpot next = std::move(*m_next);
    m_next.reset();
    m_spot = next.spot;
    m_stream = next.handle;
    m_streamSerial = next.serial;
    m_syncRecords = std::move(next.records);
    beginSpot();
}

void BVDaast::finishBreak()
{
    const bool played = m_spotsStarted > 0;
    const QString failure = m_spotFailure;
    stopBassPlayback();
    if (!played && failure.isEmpty()) {
        emit skipped();
        return;
    }
    emit ended();
    if (!played)
        emit error(failure);
}

void BVDaast::eventRequestFinished()
{
    BVNetworkAccessManager::senderReply(sender(), playerName() + QStringLiteral(" Daast event"), bvLog());
}

QString BVDaast::mediaUrlForLog(const QUrl &mediaUrl) const
{
    // The engine string without the URL's credentials and the Authorization line made of them.
    BVNetworkAccessManager *nam = m_host->nam();
    return QString::fromUtf8(BVBass::formatStreamUrl(mediaUrl.adjusted(QUrl::RemoveUserInfo), nam->userAgent(),
                                                     nam->referer(), nam->tessaraUserId(), nam->tessaraUtmMark()));
}

// Opens the ad's stream on a worker: the owner's thread never waits for the media server.
void BVDaast::startBassPlayback()
{
    if (!m_host || !m_host->nam())
        return;
    if (m_spot.mediaUrl.isEmpty()) {
        handleError(QStringLiteral("Can not start playing daast because linearMediaUrl isEmpty"));
        return;
    }
    m_creation = openMedia(m_spot, [this](quint32 handle, const QString &shownUrl, const QString &failure) {
        m_creation.reset();
        streamCreated(handle, shownUrl, failure);
    });
    updateState();
}

std::shared_ptr<BVBackgroundStream> BVDaast::openMedia(const BVAdSpot &spot, MediaOpened opened)
{
    BVNetworkAccessManager *nam = m_host->nam();
    const QUrl mediaUrl = formatUrl(QUrl(spot.mediaUrl));
    const QString shownUrl = mediaUrlForLog(mediaUrl);
    const QByteArray engineUrl = BVBass::formatStreamUrl(mediaUrl, nam->userAgent(), nam->referer(),
                                                         nam->tessaraUserId(), nam->tessaraUtmMark());
    const bool web = bvIsWebUrl(mediaUrl); // the document comes from the network: never a local file
    return BVBackgroundStream::launch(
        this, [engineUrl, web] { return web ? BASS_StreamCreateURL(engineUrl.constData(), 0, BASS_STREAM_AUTOFREE, nullptr, nullptr) : 0; },
        [opened, shownUrl, web](quint32 handle, const QString &engineError) {
            opened(handle, shownUrl,
                   QStringLiteral("Can not create daast stream by url ") + shownUrl + QStringLiteral(" Bass error: ")
                       + (web ? engineError : QStringLiteral("not an http(s) URL")));
        });
}

void BVDaast::streamCreated(quint32 handle, const QString &shownUrl, const QString &failure)
{
    if (!handle) {
        failSpot(failure);
        return;
    }
    m_stream = handle;
    m_streamSerial = ++m_streamSerials;
    QString why;
    if (!arm({m_stream, m_streamSerial, m_syncRecords}, m_spot, shownUrl, why)) {
        failSpot(why);
        return;
    }
    beginSpot();
}

// Sets the syncs of a new stream: positions, about to end, stall and end, and in a break the
// mixed end that starts the prepared next ad. False (with the reason) when the ad can not play.
bool BVDaast::arm(const SyncTarget &stream, const BVAdSpot &spot, const QString &shownUrl, QString &failure)
{
    const QWORD length = BASS_ChannelGetLength(stream.handle, BASS_POS_BYTE);
    if (length == QWORD(-1) || length == 0 || BASS_ChannelBytes2Seconds(stream.handle, length) < 0.01) {
        failure = QStringLiteral("Can not get duration from daast stream by url ") + shownUrl
                  + QStringLiteral(" Bass error: ") + BVBass::errorMessage();
        return false;
    }
    armPositionSyncs(stream, spot, length);
    const QWORD second = BASS_ChannelSeconds2Bytes(stream.handle, 1.0);
    if (second == QWORD(-1)) {
        // Without a second's size there is no sensible point a tenth of a second before the end.
        qCWarning(bvLog) << playerName() << "Can not set daast about to end event sync" << BVBass::errorMessage();
    } else if (!addSync(stream, BASS_SYNC_POS, QWORD(double(length) - 0.1 * double(second)), bassDaastEvent,
                        QStringLiteral("aboutToEnd"))) {
        failure = QStringLiteral("Can not set daast about to end event sync") + BVBass::errorMessage();
        return false;
    }
    if (!addSync(stream, BASS_SYNC_STALL, 0, bassStalled, QString())) {
        failure = QStringLiteral("Can not set daast stall sync") + BVBass::errorMessage();
        return false;
    }
    if (!addSync(stream, BASS_SYNC_END, 0, bassEnd, QString())) {
        failure = QStringLiteral("Can not set daast end sync") + BVBass::errorMessage();
        return false;
    }
    if (m_break && !BASS_ChannelSetSync(stream.handle, BASS_SYNC_END | BASS_SYNC_MIXTIME, 0, bassFollow, &m_follower))
        qCDebug(bvLog) << playerName() << "Can not set daast follow sync" << BVBass::errorMessage();
    return true;
}

// The armed stream plays: volume first (never a burst at full volume), then the start.
void BVDaast::beginSpot()
{
    handleStreamVolume();
    if (!m_stream)
        return; // the volume was refused and ended the ad
    if (!BASS_ChannelPlay(m_stream, FALSE)) {
        failSpot(QStringLiteral("Can not play daast stream") + BVBass::errorMessage());
        return;
    }
    ++m_spotsStarted;
    startTimeLimit();
    handleDaastEvent(QStringLiteral("start"));
    emit started(m_spot.title, webUrlForHost(m_spot.bannerUrl, "banner image"),
                 webUrlForHost(m_spot.clickThroughUrl, "click-through"));
    updateState();
    if (m_break && m_break->hasMore())
        askBreak(false); // the next ad opens while this one plays
}

// The station comes back at the earliest of the document's duration plus a grace, the
// host's cap and what is left of the break.
void BVDaast::startTimeLimit()
{
    qint64 limit = m_maxDurationMs > 0 ? m_maxDurationMs : LLONG_MAX;
    if (m_spot.durationMs >= 0)
        limit = qMin(limit, m_spot.durationMs + BV_DAAST_DURATION_GRACE);
    if (m_break)
        limit = qMin(limit, m_break->remainingMs());
    m_timeLeftWhenPaused = -1;
    m_spotClock.start();
    if (limit != LLONG_MAX)
        BVClock::start(m_timeLimit, int(std::clamp<qint64>(limit, 0, INT_MAX)));
}

void BVDaast::failSpot(const QString &message)
{
    if (!m_break) {
        handleError(message);
        return;
    }
    freeStream();
    spotFailed(m_spot, message);
}

void BVDaast::spotFailed(const BVAdSpot &spot, const QString &message)
{
    qCWarning(bvLog) << playerName() << message;
    m_spotFailure = message;
    reportError(spot.errorUrls, BVAdBreak::MediaFailed);
    if (m_next && !m_stream)
        playNext(); // the ad prepared to follow takes the failed one's place
    else if (!m_next && !m_nextCreation && !m_awaitingBreak)
        askBreak(true);
}

void BVDaast::finishSpot()
{
    if (!m_break) {
        stopBassPlayback();
        emit ended();
        return;
    }
    m_break->addPlayed(m_spotClock.elapsed());
    freeStream();
    if (m_next)
        playNext();
    else if (m_nextCreation || m_awaitingBreak)
        updateState(); // the next ad is on its way
    else
        finishBreak();
}

// The seconds the document has a progress event for ("progress" and a second number), in order.
static QList<quint64> trackedSeconds(const BVAdSpot &ad)
{
    static const QRegularExpression name(QStringLiteral("^progress(0|[1-9]\\d{0,8})$"));
    QList<quint64> seconds;
    for (const auto &[event, url] : ad.trackingUrls) {
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
void BVDaast::armPositionSyncs(const SyncTarget &stream, const BVAdSpot &spot, quint64 length)
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
        if (!addSync(stream, BASS_SYNC_POS, quartile.position, bassDaastEvent, QString::fromLatin1(quartile.event)))
            qCDebug(bvLog) << playerName() << quartile.failure << BVBass::errorMessage();

    const QWORD second = BASS_ChannelSeconds2Bytes(stream.handle, 1.0);
    if (second == QWORD(-1) || second == 0) {
        qCWarning(bvLog) << playerName() << "Can not get 1 second in bytes from daast stream" << BVBass::errorMessage();
        return;
    }
    QList<std::pair<quint64, QString>> syncs;
    for (quint64 i : trackedSeconds(spot)) {
        if (i * second > length)
            break;
        syncs.append({i * second, QStringLiteral("progress") + QString::number(i)});
    }
    // Progress at an offset ("progress@00:00:05", "progress@25%"), once per offset.
    QSet<QString> offsets;
    for (const auto &[event, url] : spot.trackingUrls)
        if (event.startsWith(QLatin1String("progress@")) && !offsets.contains(event)) {
            offsets.insert(event);
            const qint64 position = BVVastReader::offsetPosition(event.mid(9), length, second);
            if (position >= 0)
                syncs.append({quint64(position), event});
        }
    for (const auto &[position, event] : syncs)
        if (!addSync(stream, BASS_SYNC_POS, position, bassDaastEvent, event))
            qCDebug(bvLog) << playerName() << QStringLiteral("Can not set daast ") + event + QStringLiteral(" event sync")
                           << BVBass::errorMessage();
}

bool BVDaast::addSync(const SyncTarget &stream, quint32 type, quint64 param, SyncProc *proc, const QString &event)
{
    stream.records.push_back(std::make_unique<SyncRecord>(SyncRecord{this, event, stream.serial}));
    // Every event acts when its place is heard: tracking reports what was heard, and the
    // stream's return under the ad's last tenth of a second is heard at once.
    if (BASS_ChannelSetSync(stream.handle, type, param, proc, stream.records.back().get()))
        return true;
    stream.records.pop_back();
    return false;
}

bool BVDaast::createDaastPosSync(quint64 pos, QString event)
{
    return addSync({m_stream, m_streamSerial, m_syncRecords}, BASS_SYNC_POS, pos, bassDaastEvent, event);
}

void BVDaast::post(const SyncRecord *record, Handler handler, quint32 data)
{
    BVDaast *owner = record->owner;
    QMetaObject::invokeMethod(owner, [owner, handler, copy = *record, data] { owner->deliver(copy, handler, data); },
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

// At the mixed end of the ad playing: the prepared next ad starts in the same frame.
void BVDaast::bassFollow(quint32, quint32, quint32, void *user)
{
    if (const quint32 next = static_cast<std::atomic<quint32> *>(user)->exchange(0))
        BASS_ChannelPlay(next, FALSE);
}

// Events of the stream prepared to follow wait until it is the one playing here; events of a
// stream torn down before they arrived belong to no ad any more.
void BVDaast::deliver(const SyncRecord &record, Handler handler, quint32 data)
{
    if (m_next && record.streamSerial == m_next->serial) {
        QTimer::singleShot(10, this, [this, record, handler, data] { deliver(record, handler, data); });
        return;
    }
    if (m_stream && record.streamSerial == m_streamSerial)
        (this->*handler)(record, data);
}

void BVDaast::deliverEvent(const SyncRecord &record, quint32)
{
    handleDaastEvent(record.event);
}

void BVDaast::deliverEnd(const SyncRecord &, quint32)
{
    handleStreamEnd();
}

void BVDaast::deliverStalled(const SyncRecord &, quint32 data)
{
    handleStreamStalledChanged(data == 0);
}

void BVDaast::handleDaastEvent(QString event)
{
    if (event == QLatin1String("aboutToEnd")) {
        if (!m_break || !(m_next || m_nextCreation || m_awaitingBreak)) // the station returns after the break's last ad
            emit aboutToEnd();
    } else if (event == QLatin1String("click")) {
        for (const QString &url : m_spot.clickTrackingUrls)
            sendTracking(url);
    } else if (event == QLatin1String("error")) {
        reportError(m_spot.errorUrls, BVAdBreak::UndefinedError);
    } else {
        const bool start = event == QLatin1String("start");
        if (start)
            for (const QString &url : m_spot.impressionUrls)
                sendTracking(url);
        for (const QString &url : m_spot.urlsOf(event))
            sendTracking(url);
        if (start && m_isLenient) // the banner is shown with the ad's start
            for (const QString &url : m_spot.urlsOf(QStringLiteral("creativeView")))
                sendTracking(url);
    }
}

void BVDaast::reportError(const QStringList &errorUrls, int code)
{
    for (const QString &url : errorUrls)
        sendTracking(url, code);
}

// Lenient documents use the ad servers' macros; strict URLs are requested as written.
void BVDaast::sendTracking(const QString &url, int errorCode)
{
    sendDaastEvent(QUrl(m_isLenient ? BVVastReader::expandMacros(url, errorCode, QDateTime::currentDateTimeUtc()) : url));
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
    if (!m_host || !m_host->nam())
        return;
    const QUrl formatted = formatUrl(url);
    if (!formatted.isValid() || formatted.isEmpty())
        return;
    // The document comes from the network: its URLs are network URLs, never local files.
    if (!bvIsWebUrl(formatted)) {
        qCDebug(bvLog) << playerName() << "Daast event url is not http(s), skipped:" << formatted.scheme();
        return;
    }
    qCInfo(bvLog).noquote() << playerName() << "Daast tracking request" << formatted.toString(QUrl::RemoveUserInfo);
    QNetworkReply *reply = BVNetworkAccessManager::getSafely(m_host->nam(), formatted, BV_DAAST_MAX_EVENT_BYTES);
    connect(reply, &QNetworkReply::finished, this, &BVDaast::eventRequestFinished);
}

void BVDaast::stopBassPlayback()
{
    m_requestUrl.clear();
    BVNetworkAccessManager::discardReply(m_request, this);
    for (std::shared_ptr<BVBackgroundStream> *creation : {&m_creation, &m_nextCreation})
        if (*creation)
            std::exchange(*creation, nullptr)->abandon();
    freeStream(); // first: its mixed end no longer starts the prepared ad
    m_follower = 0;
    if (m_next) {
        BASS_StreamFree(m_next->handle);
        m_next.reset();
    }
    m_awaitingBreak = false;
    if (m_break) { // this may run inside its signal: it goes later, and says nothing more here
        m_break->disconnect(this);
        m_break->deleteLater();
        m_break = nullptr;
    }
    m_parser.clear();
    m_spot = BVAdSpot();
    m_spotsStarted = 0;
    m_spotFailure.clear();
    updateState();
}

void BVDaast::freeStream()
{
    m_timeLimit->stop();
    if (m_stream) {
        BASS_StreamFree(m_stream); // may already be gone: the engine frees it at its end
        m_stream = 0;
    }
    // No callback of the freed stream runs any more: its records can go.
    m_syncRecords.clear();
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
    finishSpot();
}

void BVDaast::handleStreamStalledChanged(bool isStalled)
{
    if (!m_host)
        return;
    if (isStalled)
        qCDebug(bvLog) << playerName() << "Daast playback stalled";
    else
        qCDebug(bvLog) << playerName() << "Daast playback continue after stalled state";
    updateState();
}

void BVDaast::handleStreamVolume()
{
    if (m_next) // the ad prepared to follow starts at the volume of the one playing
        BASS_ChannelSetAttribute(m_next->handle, BASS_ATTRIB_VOL, float(m_volume));
    if (m_stream && !BASS_ChannelSetAttribute(m_stream, BASS_ATTRIB_VOL, float(m_volume)))
        handleError(QStringLiteral("Can not set daast volume") + BVBass::errorMessage());
}
