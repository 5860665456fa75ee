// BVDaast on the real engine ("no sound" clock) against the local ad server: the ad's
// life and states, every tracking request in order and on time, "sdkuiid" on every URL,
// failures, the document time-out, pause and resume, events of an abandoned ad; lenient
// breaks (wrappers, pods, no-ad answers), time limits, and a host thread that never waits.
#include "adserver.h"
#include "bvbass.h"
#include "bvdaast.h"
#include "bvnetworkaccessmanager.h"
#include "bvplayer.h"
#include "manualclock.h"
#include "messagecollector.h"
#include "testmedia.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <optional>
#include <QTimer>
#include <QUrlQuery>

#include <thread>

using namespace bvtest;

namespace {

// Remembers every URL requested through it, in the order the requests were issued.
class RecordingNam : public BVNetworkAccessManager {
public:
    QList<QUrl> urls;

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request, QIODevice *data) override
    {
        urls.append(request.url());
        return BVNetworkAccessManager::createRequest(op, request, data);
    }
};

// The tracking events requested, in order; an error with its code as "error:303".
QStringList trackedEvents(const QList<QUrl> &urls)
{
    QStringList events;
    for (const QUrl &url : urls)
        if (url.path() == QLatin1String("/track")) {
            const QUrlQuery query(url);
            const QString code = query.queryItemValue(QStringLiteral("code"));
            events.append(query.queryItemValue(QStringLiteral("e")) + (code.isEmpty() ? QString() : ':' + code));
        }
    return events;
}

// A player whose first play() (without a URL) has started the engine, and its ad object.
struct AdRig {
    RecordingNam nam;
    BVPlayer player{&nam};
    BVDaast *daast = (player.play(), new BVDaast(&player));
    QSignalSpy started{daast, &BVDaast::started};
    QSignalSpy ended{daast, &BVDaast::ended};
};

QStringList sdkUiIds(const QUrl &url)
{
    return QUrlQuery(url).allQueryItemValues(QStringLiteral("sdkuiid"), QUrl::FullyDecoded);
}

} // namespace

class TestBVDaast : public QObject {
    Q_OBJECT

    QByteArray m_media, m_short; // 3 s at 880 Hz, 1 s at 660 Hz
    TestHttpServer *m_server = nullptr;
    AdServer *m_ads = nullptr;
    std::optional<MessageCollector> m_log; // from initTestCase on: QTest installs its own first

    QUrl serve(AdDocumentKind kind = AdDocumentKind::Daast1)
    {
        return QUrl(m_ads->serveDocument("/ad.xml", adDocument(kind, m_ads->base())));
    }

private slots:
    void initTestCase()
    {
        BVBass::outputDevice = 0;
        m_log.emplace(nullptr, MessageCollector::WarningsOnly);
        m_media = AdServer::encodeMedia(880, 3.0);
        m_short = AdServer::encodeMedia(660, 1.0);
        QVERIFY(!m_media.isEmpty() && !m_short.isEmpty());
    }

    void init()
    {
        m_server = new TestHttpServer;
        m_ads = new AdServer(*m_server);
        m_ads->serveMedia(m_media);
        m_ads->serveMedia(m_short, "/ad/short.mp3");
        m_log->clear();
    }

    void cleanup()
    {
        delete m_ads;
        delete m_server;
    }

    void adPlaysAndTracks_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("userId");
        QTest::newRow("DAAST 1.0") << int(AdDocumentKind::Daast1) << QString();
        QTest::newRow("VAST 4.0, user id") << int(AdDocumentKind::Vast4) << QStringLiteral("listener&8");
    }

    // A 3.0 s ad: impression and start when it starts, one progress event per second (the last
    // one at the very end), the quartiles, then complete; each request when its audio plays.
    void adPlaysAndTracks()
    {
        QFETCH(int, kind);
        QFETCH(QString, userId);
        AdRig rig;
        RecordingNam &nam = rig.nam;
        nam.setTessaraUserId(userId);
        BVDaast *daast = rig.daast;
        QSignalSpy &started = rig.started;
        QSignalSpy &ended = rig.ended;
        QSignalSpy aboutToEnd(daast, &BVDaast::aboutToEnd);
        QSignalSpy errors(daast, &BVDaast::error);
        QVERIFY(daast->setDaastUrl(serve(AdDocumentKind(kind))));
        daast->play();
        QCOMPARE(daast->state(), BVPlayerSource::StalledState);
        QTRY_COMPARE(started.count(), 1);
        QTRY_COMPARE(daast->state(), BVPlayerSource::PlayingState); // stalled until its first audio is decoded
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 6000);
        QCOMPARE(aboutToEnd.count(), 1);
        QCOMPARE(errors.count(), 0);
        QCOMPARE(daast->state(), BVPlayerSource::StoppedState);

        QCOMPARE(trackedEvents(nam.urls),
                 (QStringList{"impression", "start", "companionStart", "progress0", "firstQuartile", "progress1",
                              "midpoint", "progress2", "thirdQuartile", "progress3", "complete", "companionComplete"}));
        // Each position event reaches the server within 100 ms of its place in the 3 s ad.
        const QMap<QByteArray, int> atMs{{"progress1", 1000}, {"progress2", 2000}, {"progress3", 3000},
                                         {"firstQuartile", 750}, {"midpoint", 1500}, {"thirdQuartile", 2250},
                                         {"complete", 3000}};
        const QList<TrackingHit> hits = m_ads->hits();
        qint64 startMs = -1;
        for (const TrackingHit &hit : hits)
            if (hit.event == "progress0")
                startMs = hit.receivedMs;
        QVERIFY(startMs > 0);
        for (const TrackingHit &hit : hits) {
            if (!atMs.contains(hit.event))
                continue;
            const qint64 lateness = hit.receivedMs - startMs - atMs.value(hit.event);
            QVERIFY2(qAbs(lateness) <= 100, qPrintable(hit.event + " off by " + QByteArray::number(lateness) + " ms"));
        }

        // Started with the title and the banner; with a user id every URL carries it exactly once.
        const QString image = started.first().at(1).toString();
        const QString click = started.first().at(2).toString();
        QCOMPARE(started.first().at(0).toString(), QString::fromLatin1(AdServer::kTitle));
        const QUrl document = QUrl(QString::fromLatin1(m_server->url("/ad.xml?") + m_server->requests("/ad.xml").value(0).query));
        const QUrl media = QUrl(QString::fromLatin1(m_server->url("/ad/media.mp3?") + m_server->requests("/ad/media.mp3").value(0).query));
        if (userId.isEmpty()) {
            QCOMPARE(image, QString::fromLatin1(m_ads->base() + "/banner.png"));
            QCOMPARE(sdkUiIds(QUrl(click)), (QStringList{"a", "b"}));
            QCOMPARE(sdkUiIds(nam.urls.value(1)), QStringList{"stale"}); // the impression, passed on unchanged
            QVERIFY(sdkUiIds(document).isEmpty() && sdkUiIds(media).isEmpty());
        } else {
            for (const QUrl &url : nam.urls)
                QCOMPARE(sdkUiIds(url), QStringList{userId});
            for (const TrackingHit &hit : hits)
                QCOMPARE(sdkUiIds(QUrl("http://h/?" + QString::fromLatin1(hit.query))), QStringList{userId});
            QCOMPARE(sdkUiIds(document), QStringList{userId});
            QCOMPARE(sdkUiIds(media), QStringList{userId});
            QCOMPARE(sdkUiIds(QUrl(image)), QStringList{userId});
            QCOMPARE(sdkUiIds(QUrl(click)), QStringList{userId});
        }
    }

    void noAd()
    {
        AdRig rig;
        RecordingNam &nam = rig.nam;
        BVDaast *daast = rig.daast;
        QSignalSpy &ended = rig.ended;
        QSignalSpy skipped(daast, &BVDaast::skipped);
        daast->play(); // no URL
        QCOMPARE(skipped.count(), 1);
        QCOMPARE(daast->state(), BVPlayerSource::StoppedState);
        QVERIFY(nam.urls.isEmpty());

        daast->setDaastUrl(QUrl(m_ads->serveDocument("/none.xml", "<nobanner/>")));
        daast->play();
        QTRY_COMPARE(skipped.count(), 2);
        QCOMPARE(daast->state(), BVPlayerSource::StoppedState);
        QCOMPARE(nam.urls.size(), 1); // the document; no tracking at all
        QCOMPARE(ended.count(), 0);
        daast->click();
        QCOMPARE(nam.urls.size(), 1);
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("document"); // empty: not served
        QTest::addColumn<QString>("message");     // the error's start; %1 is the document URL
        QTest::addColumn<bool>("errorTracked");
        const QByteArray base = "http://127.0.0.1:%PORT%";
        const QByteArray ad = adDocument(AdDocumentKind::Vast3, base);
        QTest::newRow("document missing") << QByteArray() << "Can not get daast data from url:%1" << false;
        QTest::newRow("broken xml") << ad.left(300) << "Can not parse daast data from url:%1" << false;
        QTest::newRow("wrapper") << QByteArray("<VAST version=\"2.0\"><Ad><Wrapper/></Ad></VAST>")
                                 << "Can not parse daast data from url:%1" << false;
        QTest::newRow("media missing") << QByteArray(ad).replace("/ad/media.mp3", "/ad/missing.mp3")
                                       << "Can not create daast stream by url " + QString::fromLatin1(base)
                                              + "/ad/missing.mp3\r\nUser-Agent: "
                                       << true;
        QTest::newRow("media of unknown length") << QByteArray(ad).replace("/ad/media.mp3", "/ad/chunked.mp3")
                                                 << "Can not get duration from daast stream by url " + QString::fromLatin1(base)
                                                        + "/ad/chunked.mp3\r\nUser-Agent: "
                                                 << true;
        QTest::newRow("media not http") << QByteArray(ad).replace(base + "/ad/media.mp3", "file:///etc/passwd")
                                        << "Can not create daast stream by url file:///etc/passwd\r\nUser-Agent: " << true;
    }

    // Every failure: the document's Error URL when there is a record, then ended(), then error().
    void failures()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, message);
        QFETCH(bool, errorTracked);
        const QByteArray port = QByteArray::number(m_server->port());
        HttpResponse chunked = HttpResponse::of("audio/mpeg", m_media);
        chunked.chunked = true;
        m_server->setResponse("/ad/chunked.mp3", chunked);
        const QString url = document.isEmpty() ? QString::fromLatin1(m_server->url("/ad.xml"))
                                               : m_ads->serveDocument("/ad.xml", document.replace("%PORT%", port));
        QStringList order;
        AdRig rig;
        RecordingNam &nam = rig.nam;
        BVDaast *daast = rig.daast;
        connect(daast, &BVDaast::ended, this, [&] { order.append("ended"); });
        connect(daast, &BVDaast::error, this, [&](const QString &text) { order.append(text); });
        daast->setDaastUrl(QUrl(url));
        daast->play();
        QTRY_COMPARE(order.size(), 2);
        QCOMPARE(order.first(), QStringLiteral("ended"));
        QVERIFY2(order.last().startsWith(message.arg(url).replace("%PORT%", port)), qPrintable(order.last()));
        QCOMPARE(trackedEvents(nam.urls), errorTracked ? QStringList{"error"} : QStringList{});
        QCOMPARE(daast->state(), BVPlayerSource::StoppedState);
    }

    void documentTimeout_data()
    {
        QTest::addColumn<int>("daastTimeoutMs");
        QTest::addColumn<int>("expectedMs");
        QTest::newRow("ad object's own time-out") << 300 << 300;
        QTest::newRow("none: the manager's time-out") << 0 << 800;
    }

    void documentTimeout()
    {
        QFETCH(int, daastTimeoutMs);
        QFETCH(int, expectedMs);
        m_server->setResponse("/slow.xml", HttpResponse::silent());
        AdRig rig;
        rig.nam.setTimeoutMs(800);
        BVDaast *daast = rig.daast;
        QSignalSpy &ended = rig.ended;
        QSignalSpy errors(daast, &BVDaast::error);
        QElapsedTimer clock;
        clock.start();
        daast->setDaastTimeoutMs(daastTimeoutMs);
        daast->setDaastUrl(QUrl(QString::fromLatin1(m_server->url("/slow.xml"))));
        daast->play();
        QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 3000);
        QVERIFY2(qAbs(clock.elapsed() - expectedMs) < 150, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(ended.count(), 1);
        QCOMPARE(errors.first().first().toString(),
                 QStringLiteral("Can not get daast data from url:") + QString::fromLatin1(m_server->url("/slow.xml")));
        QCOMPARE(m_log->lines().contains("Daast timeout, skipping"), daastTimeoutMs > 0);
        QVERIFY(m_server->requests("/track").isEmpty());
    }

    // pause() before the document arrives does nothing; a paused ad resumes where it was (also
    // with a user id, which formatting adds to the request URL); play() while playing starts anew.
    void pauseResumeAndRestart()
    {
        AdRig rig;
        rig.nam.setTessaraUserId("u1");
        BVDaast *daast = rig.daast;
        QSignalSpy &started = rig.started;
        QSignalSpy &ended = rig.ended;
        daast->setDaastUrl(serve());
        daast->play();
        daast->pause();
        QCOMPARE(daast->state(), BVPlayerSource::StalledState);
        QTRY_COMPARE(started.count(), 1);
        QTest::qWait(500);
        daast->pause();
        QCOMPARE(daast->state(), BVPlayerSource::PausedState);
        const int progressBefore = m_ads->hits().size();
        QTest::qWait(1500);
        QCOMPARE(m_ads->hits().size(), progressBefore); // nothing plays while paused
        daast->play();
        QCOMPARE(daast->state(), BVPlayerSource::PlayingState);
        QCOMPARE(m_server->requests("/ad.xml").size(), 1);
        QCOMPARE(started.count(), 1);
        QTRY_VERIFY(m_ads->events().contains("progress1"));

        daast->play(); // while playing: the ad is dropped without ended() and a new one fetched
        QCOMPARE(daast->state(), BVPlayerSource::StalledState);
        QTRY_COMPARE(started.count(), 2);
        QCOMPARE(m_server->requests("/ad.xml").size(), 2);
        QCOMPARE(ended.count(), 0);
        daast->stop();
        QCOMPARE(ended.count(), 1);
        QCOMPARE(daast->state(), BVPlayerSource::StoppedState);
        QTest::qWait(300);
        QCOMPARE(ended.count(), 1);
    }

    // An ad that ended while its owner was busy: its queued end and position events must not
    // end or track the ad that play() starts next.
    void eventsOfAnAbandonedAdAreDropped()
    {
        AdRig rig;
        BVDaast *daast = rig.daast;
        QSignalSpy &started = rig.started;
        QSignalSpy &ended = rig.ended;
        daast->setDaastUrl(QUrl(m_ads->serveDocument(
            "/ad.xml", adDocument(AdDocumentKind::Daast1, m_ads->base(), 1).replace("/ad/media.mp3", "/ad/short.mp3"))));
        daast->play();
        QTRY_COMPARE(started.count(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // the ad ends; its events wait in the queue
        daast->play();
        QTRY_COMPARE(started.count(), 2);
        QCOMPARE(ended.count(), 0);
        QCOMPARE(m_ads->events().count("complete"), 0);
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 3000);
        QTRY_COMPARE(m_ads->events().count("complete"), 1); // the request reaches the server after the signal
    }

    // Media whose header claims 100 million frames (a month) instead of its 3 s: only the
    // seconds the document tracks get a sync, and the ad still plays, tracks and ends.
    void claimedLengthDoesNotMultiplySyncs()
    {
        QByteArray media = m_media;
        const qsizetype header = media.indexOf("Info");
        QVERIFY(header > 0);
        const char frames[] = {0x05, char(0xf5), char(0xe1), 0x00}; // 100,000,000
        media.replace(header + 8, 4, frames, 4);
        m_server->setResponse("/ad/huge.mp3", HttpResponse::of("audio/mpeg", media));
        AdRig rig;
        QSignalSpy errors(rig.daast, &BVDaast::error);
        rig.daast->setDaastUrl(QUrl(m_ads->serveDocument(
            "/huge.xml", adDocument(AdDocumentKind::Daast1, m_ads->base()).replace("/ad/media.mp3", "/ad/huge.mp3"))));
        rig.daast->play();
        QTRY_COMPARE(rig.started.count(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(rig.ended.count(), 1, 6000);
        QCOMPARE(errors.count(), 0);
        QTRY_COMPARE(m_ads->events().count("complete"), 1); // the request reaches the server after the signal
        const QList<QByteArray> events = m_ads->events();
        for (const char *event : {"progress0", "progress1", "progress2", "progress3", "firstQuartile", "complete"})
            QCOMPARE(events.count(event), 1);
    }

    void lenientBreaks_data()
    {
        QTest::addColumn<QByteArrayList>("documents"); // path, document, path, document...; the first is the ad's URL
        QTest::addColumn<QStringList>("titles");       // of each started ad
        QTest::addColumn<QString>("banner");           // image and click-through of the first, joined by '|'
        QTest::addColumn<QStringList>("events");       // requested in this order...
        QTest::addColumn<QString>("only");             // ...among the events matching this, when given
        const QByteArray b = "http://127.0.0.1:%PORT%";
        const QByteArray inLine = vastInLineAd(b, "", "In-line ad");
        const QString banner = b + "/banner.png|" + b + "/landing";
        const QByteArray videoOnly = QByteArray(inLine).replace("Audio/MPEG", "video/mp4").replace("audio/mpeg", "video/mp4");
        QTest::newRow("two wrappers") << QByteArrayList{"/ad.xml", vastDocument({vastWrapperAd(b, "w1", "hop2.xml")}),
                                                        "/hop2.xml", vastDocument({vastWrapperAd(b, "w2", b + "/in.xml")}),
                                                        "/in.xml", vastDocument({inLine})}
                                      << QStringList{"In-line ad"} << banner
                                      << QStringList{"w1impression", "w2impression", "impression", "impression2", "w1start",
                                                     "w2start", "start", "companionView", "firstQuartile", "offset1s",
                                                     "offset50", "w1complete", "w2complete", "complete"}
                                      << QString();
        const auto spot = [&](const char *tag, const char *title, int sequence) {
            return vastInLineAd(b, tag, title, sequence, "/ad/short.mp3");
        };
        QTest::newRow("pod of 3") << QByteArrayList{"/ad.xml", vastDocument({spot("c", "C", 3), spot("a", "A", 1),
                                                                              spot("f", "F", 0), spot("b", "B", 2)})}
                                  << QStringList{"A", "B", "C"} << QString(b + "/banner.png|" + b + "/landing")
                                  << QStringList{"astart", "acomplete", "bstart", "bcomplete", "cstart", "ccomplete"}
                                  << "(start|complete|error)";
        QTest::newRow("fallback for a spot") << QByteArrayList{"/ad.xml", vastDocument({spot("a", "A", 1), QByteArray(videoOnly).replace("<Ad id", "<Ad sequence=\"2\" id"),
                                                                                       spot("f", "F", 0)})}
                                             << QStringList{"A", "F"} << banner
                                             << QStringList{"astart", "error:403", "acomplete", "fstart", "fcomplete"}
                                             << "(start|complete|error)";
        QTest::newRow("no fill") << QByteArrayList{"/ad.xml", vastDocument({}, "<Error>" + b + "/track?e=nofill&amp;code=[ERRORCODE]</Error>")}
                                 << QStringList() << QString() << QStringList{"nofill:303"} << QString();
        QTest::newRow("video only") << QByteArrayList{"/ad.xml", vastDocument({videoOnly})} << QStringList() << QString()
                                    << QStringList{"error:403"} << QString();
        QTest::newRow("wrapper loop") << QByteArrayList{"/ad.xml", vastDocument({vastWrapperAd(b, "w1", "hop2.xml")}),
                                                        "/hop2.xml", vastDocument({vastWrapperAd(b, "w2", "ad.xml")})}
                                      << QStringList() << QString() << QStringList{"w1error:302", "w2error:302"} << QString();
        QByteArrayList chain{"/ad.xml"};
        QStringList chainErrors;
        for (int i = 1; i <= 6; ++i) {
            const QByteArray tag = "w" + QByteArray::number(i);
            chain << vastDocument({vastWrapperAd(b, tag, "/h" + QByteArray::number(i + 1) + ".xml")})
                  << "/h" + QByteArray::number(i + 1) + ".xml";
            chainErrors << tag + "error:302";
        }
        chain << vastDocument({inLine});
        QTest::newRow("six wrappers") << chain << QStringList() << QString() << chainErrors << QString();
        QTest::newRow("wrapped document missing") << QByteArrayList{"/ad.xml", vastDocument({vastWrapperAd(b, "w1", "gone.xml")})}
                                                  << QStringList() << QString() << QStringList{"w1error:301"} << QString();
        QTest::newRow("wrapped document past the time-out")
            << QByteArrayList{"/ad.xml", vastDocument({vastWrapperAd(b, "w1", "silent.xml")})} << QStringList() << QString()
            << QStringList{"w1error:301"} << QString();
        QTest::newRow("unsafe URLs") << QByteArrayList{"/ad.xml", vastDocument({QByteArray(inLine)
                                                                                   .replace(b + "/ad/streamed.mp3", "file:///etc/passwd")
                                                                                   .replace("\"streaming\"", "\"progressive\"")
                                                                                   .replace(b + "/banner.png", "data:image/png;base64,AAAA")
                                                                                   .replace(b + "/landing", "javascript:alert(1)")})}
                                     << QStringList{"In-line ad"} << "|"
                                     << QStringList{"impression", "impression2", "start", "complete"}
                                     << "^(impression2?|start|complete|companionView)$";
    }

    // Lenient breaks as ad servers send them: each ad started with its own title, ended once
    // (or skipped when nothing could play), every tracking URL of every level in order, and
    // each Error URL told why; position events within 100 ms of their audio.
    void lenientBreaks()
    {
        QFETCH(QByteArrayList, documents);
        QFETCH(QStringList, titles);
        QFETCH(QString, banner);
        QFETCH(QStringList, events);
        QFETCH(QString, only);
        const QByteArray port = QByteArray::number(m_server->port());
        for (int i = 0; i + 1 < documents.size(); i += 2)
            m_ads->serveDocument(documents[i], documents[i + 1].replace("%PORT%", port));
        m_server->setResponse("/silent.xml", HttpResponse::silent());
        AdRig rig;
        QSignalSpy skipped(rig.daast, &BVDaast::skipped);
        QSignalSpy aboutToEnd(rig.daast, &BVDaast::aboutToEnd);
        QSignalSpy errors(rig.daast, &BVDaast::error);
        rig.daast->setIsLenient(true);
        rig.daast->setDaastTimeoutMs(1500); // for the document and its wrappers together
        rig.daast->setDaastUrl(QUrl(QString::fromLatin1(m_server->url(documents.first()))));
        rig.daast->play();
        QTRY_COMPARE_WITH_TIMEOUT(rig.ended.count() + skipped.count(), 1, 8000);
        QCOMPARE(rig.ended.count(), titles.isEmpty() ? 0 : 1);
        QCOMPARE(aboutToEnd.count(), titles.isEmpty() ? 0 : 1);
        QCOMPARE(errors.count(), 0);
        QCOMPARE(rig.daast->state(), BVPlayerSource::StoppedState);
        QStringList startedTitles;
        for (const QList<QVariant> &arguments : rig.started)
            startedTitles.append(arguments.at(0).toString());
        QCOMPARE(startedTitles, titles);
        if (!titles.isEmpty())
            QCOMPARE(rig.started.first().at(1).toString() + '|' + rig.started.first().at(2).toString(),
                     QString(banner).replace("%PORT%", port));
        QStringList requested = trackedEvents(rig.nam.urls);
        if (!only.isEmpty())
            requested = requested.filter(QRegularExpression(only));
        QCOMPARE(requested, events);

        const QMap<QByteArray, int> atMs{{"firstQuartile", 750}, {"offset1s", 1000}, {"offset50", 1500}, {"complete", 3000}};
        QTRY_COMPARE(m_ads->hits().size(), trackedEvents(rig.nam.urls).size());
        qint64 startMs = -1;
        for (const TrackingHit &hit : m_ads->hits()) {
            if (hit.event == "start")
                startMs = hit.receivedMs;
            if (atMs.contains(hit.event)) {
                const qint64 lateness = hit.receivedMs - startMs - atMs.value(hit.event);
                QVERIFY2(qAbs(lateness) <= 100, qPrintable(hit.event + " off by " + QByteArray::number(lateness) + " ms"));
            }
        }
    }

    void timeLimits_data()
    {
        QTest::addColumn<bool>("endless");
        QTest::addColumn<int>("maxDurationMs");
        QTest::addColumn<int>("expectedMs");
        QTest::newRow("endless media, its document says 1 s") << true << 120000 << 6000;
        QTest::newRow("the host's cap") << false << 1000 << 1000;
    }

    // No ad keeps the station muted past its document's duration plus 5 s, nor past the
    // host's cap: the ad is cut there, ended without "complete".
    void timeLimits()
    {
        QFETCH(bool, endless);
        QFETCH(int, maxDurationMs);
        QFETCH(int, expectedMs);
        HttpResponse endlessMedia = HttpResponse::of("audio/mpeg", m_media);
        endlessMedia.live = true; // at its bit rate, as a media server sends it
        endlessMedia.bytesPerSecond = 16000;
        endlessMedia.burstBytes = 64000;
        endlessMedia.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("10000000000")));
        m_server->setResponse("/ad/endless.mp3", endlessMedia);
        QByteArray document = vastDocument({vastInLineAd(m_ads->base(), "", "Long")});
        if (endless)
            document.replace("/ad/media.mp3", "/ad/endless.mp3").replace("<Duration>00:00:03", "<Duration>00:00:01");
        ManualClock clock;
        AdRig rig;
        rig.daast->setIsLenient(true);
        rig.daast->setMaxDurationMs(maxDurationMs);
        rig.daast->setDaastUrl(QUrl(m_ads->serveDocument("/ad.xml", document)));
        rig.daast->play();
        QTRY_COMPARE(rig.started.count(), 1);
        clock.advance(expectedMs - 50);
        QCOMPARE(rig.ended.count(), 0);
        clock.advance(50);
        QCOMPARE(rig.ended.count(), 1);
        QVERIFY(!m_ads->events().contains("complete"));
        QCOMPARE(rig.daast->state(), BVPlayerSource::StoppedState);
    }

    // The ad's media server takes 1.5 s to send its audio: the host's event loop keeps turning
    // (a 100 ms timer keeps its beat) until the ad starts.
    void hostNeverWaits()
    {
        HttpResponse slow = HttpResponse::of("audio/mpeg", m_media);
        slow.pauseAfterBytes = 0;
        slow.pauseMs = 1500;
        m_server->setResponse("/ad/slow.mp3", slow);
        AdRig rig;
        rig.daast->setDaastUrl(QUrl(m_ads->serveDocument(
            "/ad.xml", adDocument(AdDocumentKind::Daast1, m_ads->base()).replace("/ad/media.mp3", "/ad/slow.mp3"))));
        QElapsedTimer clock;
        qint64 lastTick = 0;
        qint64 longestGap = 0;
        QTimer beat;
        connect(&beat, &QTimer::timeout, this, [&] {
            longestGap = qMax(longestGap, clock.elapsed() - lastTick);
            lastTick = clock.elapsed();
        });
        clock.start();
        beat.start(100);
        rig.daast->play();
        QTRY_COMPARE_WITH_TIMEOUT(rig.started.count(), 1, 5000);
        QVERIFY2(clock.elapsed() >= 1400, "the media server did not hold the start");
        QVERIFY2(longestGap < 400, qPrintable(QString::number(longestGap)));
        rig.daast->stop();
    }

    // URLs of a fetched document that are not network URLs never leave: a banner or
    // click-through that is not http(s) never reaches the host (a file, a script), and only
    // http(s) tracking URLs are requested. A click with no ad does nothing; during one it is
    // tracked.
    void unsafeUrlsNeverLeave()
    {
        QByteArray document = adDocument(AdDocumentKind::Daast1, m_ads->base());
        const QByteArray impression = m_ads->base() + "/track?e=impression&sdkuiid=stale";
        QVERIFY(document.contains(impression));
        document.replace(impression, "file:///etc/passwd")
            .replace(m_ads->base() + "/track?e=start", "ftp://127.0.0.1/start")
            .replace(m_ads->base() + "/banner.png", "file:///etc/passwd")
            .replace(m_ads->base() + "/landing?sdkuiid=a&amp;sdkuiid=b", "javascript:alert(document.cookie)");
        AdRig rig;
        rig.daast->click();
        QVERIFY(rig.nam.urls.isEmpty());
        rig.daast->setDaastUrl(QUrl(m_ads->serveDocument("/ad.xml", document)));
        rig.daast->play();
        QTRY_COMPARE(rig.started.count(), 1);
        QCOMPARE(rig.started.first().at(1).toString(), QString());
        QCOMPARE(rig.started.first().at(2).toString(), QString());
        QTRY_VERIFY(m_ads->events().contains("progress0"));
        QCOMPARE(m_ads->events().first(), QByteArray("companionStart"));
        rig.daast->click();
        QTRY_VERIFY(m_ads->events().contains("click"));
        for (const QUrl &url : rig.nam.urls)
            QCOMPARE(url.scheme(), QStringLiteral("http"));
        rig.daast->stop();
    }
};

QTEST_GUILESS_MAIN(TestBVDaast)
#include "tst_bvdaast.moc"
