// BVDaast on the real engine ("no sound" clock) against the local ad server: tracking in
// order and on time, failures, pause and resume, lenient breaks and time limits.
#include "adserver.h"
#include "bvbass.h"
#include "bvdaast.h"
#include "bvnetworkaccessmanager.h"
#include "bvplayer.h"
#include "manualclock.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
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
    QSignalSpy skipped{daast, &BVDaast::skipped};
    QSignalSpy aboutToEnd{daast, &BVDaast::aboutToEnd};
    QSignalSpy errors{daast, &BVDaast::error};

    void play(const QString &url)
    {
        daast->setDaastUrl(QUrl(url));
        daast->play();
    }
};

QStringList sdkUiIds(const QUrl &url)
{
    return QUrlQuery(url).allQueryItemValues(QStringLiteral("sdkuiid"), QUrl::FullyDecoded);
}

// The position events of `atMs` that reached the server more than 100 ms off their place
// after the last `startEvent` before them; empty when all were on time.
QString lateEvents(const QList<TrackingHit> &hits, const QByteArray &startEvent, const QMap<QByteArray, int> &atMs)
{
    QString late;
    qint64 startMs = -1;
    for (const TrackingHit &hit : hits) {
        if (hit.event == startEvent)
            startMs = hit.receivedMs;
        const qint64 lateness = hit.receivedMs - startMs - atMs.value(hit.event);
        if (atMs.contains(hit.event) && (startMs < 0 || qAbs(lateness) > 100))
            late += QString::fromLatin1(hit.event) + " off by " + QString::number(lateness) + " ms; ";
    }
    return late;
}

} // namespace

class TestBVDaast : public QObject {
    Q_OBJECT

    QByteArray m_media, m_short; // 3 s at 880 Hz, 1 s at 660 Hz
    AdServer *m_ads = nullptr;

private slots:
    void initTestCase()
    {
        BVBass::outputDevice = 0;
        m_media = AdServer::encodeMedia(880, 3.0);
        m_short = AdServer::encodeMedia(660, 1.0);
        QVERIFY(!m_media.isEmpty() && !m_short.isEmpty());
    }

    void init()
    {
        m_ads = new AdServer;
        m_ads->serveMedia(m_media);
        m_ads->serveMedia(m_short, "/ad/short.mp3");
    }

    void cleanup() { delete m_ads; }

    // A 3.0 s ad tracked in order, each event when its audio plays. Its media server holds the
    // audio for 1 s: the host's event loop keeps turning (a 100 ms timer keeps its beat) meanwhile.
    void adPlaysAndTracks()
    {
        HttpResponse slow = HttpResponse::of("audio/mpeg", m_media);
        slow.pauseAfterBytes = 0;
        slow.pauseMs = 1000;
        m_ads->setResponse("/ad/media.mp3", slow);
        AdRig rig;
        QElapsedTimer clock;
        qint64 lastTick = 0, longestGap = 0;
        QTimer beat;
        connect(&beat, &QTimer::timeout, this, [&] {
            longestGap = qMax(longestGap, clock.elapsed() - lastTick);
            lastTick = clock.elapsed();
        });
        clock.start();
        beat.start(100);
        rig.play(m_ads->serveDocument("/ad.xml", adDocument(m_ads->base())));
        QTRY_COMPARE_WITH_TIMEOUT(rig.started.count(), 1, 5000);
        beat.stop();
        QVERIFY2(clock.elapsed() >= 900, "the media server did not hold the start");
        QVERIFY2(longestGap < 400, qPrintable(QString::number(longestGap)));
        QTRY_COMPARE(rig.daast->state(), BVPlayerSource::PlayingState); // stalled until its first audio is decoded
        QTRY_COMPARE_WITH_TIMEOUT(rig.ended.count(), 1, 6000);
        QCOMPARE(rig.aboutToEnd.count(), 1);
        QCOMPARE(rig.errors.count(), 0);
        QCOMPARE(rig.daast->state(), BVPlayerSource::StoppedState);
        QCOMPARE(trackedEvents(rig.nam.urls),
                 (QStringList{"impression", "start", "companionStart", "progress0", "firstQuartile", "progress1",
                              "midpoint", "progress2", "thirdQuartile", "progress3", "complete", "companionComplete"}));
        QTRY_COMPARE(m_ads->hits().size(), 12);
        const QString late = lateEvents(m_ads->hits(), "progress0",
                                        {{"progress1", 1000}, {"progress2", 2000}, {"progress3", 3000},
                                         {"firstQuartile", 750}, {"midpoint", 1500}, {"thirdQuartile", 2250},
                                         {"complete", 3000}});
        QVERIFY2(late.isEmpty(), qPrintable(late));

        // Started with the title and the banner; without a user id the document's "sdkuiid" items pass unchanged.
        QCOMPARE(rig.started.first().at(0).toString(), QString::fromLatin1(AdServer::kTitle));
        QCOMPARE(rig.started.first().at(1).toString(), QString::fromLatin1(m_ads->base() + "/banner.png"));
        QCOMPARE(sdkUiIds(QUrl(rig.started.first().at(2).toString())), (QStringList{"a", "b"}));
        QCOMPARE(sdkUiIds(rig.nam.urls.value(1)), QStringList{"stale"}); // the impression
        QVERIFY(sdkUiIds(rig.nam.urls.value(0)).isEmpty());               // the document
    }

    // An answer of no ad (an Ad inside it ignored): skipped, with nothing tracked.
    void noAd()
    {
        AdRig rig;
        rig.play(m_ads->serveDocument("/none.xml", "<nobanner><Ad id=\"x\"><InLine/></Ad></nobanner>"));
        QTRY_COMPARE(rig.skipped.count(), 1);
        QCOMPARE(rig.daast->state(), BVPlayerSource::StoppedState);
        QCOMPARE(rig.nam.urls.size(), 1); // the document
        QCOMPARE(rig.ended.count(), 0);
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("document"); // empty: not served
        QTest::addColumn<QString>("message");     // the error's start; %1 is the document URL
        QTest::addColumn<bool>("errorTracked");
        const QByteArray base = "http://127.0.0.1:%PORT%";
        const QByteArray ad = adDocument(base);
        const QString noStream = "Can not create daast stream by url ";
        QTest::newRow("document missing") << QByteArray() << "Can not get daast data from url:%1" << false;
        QTest::newRow("broken xml") << ad.left(300) << "Can not parse daast data from url:%1" << false;
        QTest::newRow("media missing") << QByteArray(ad).replace("/ad/media.mp3", "/ad/missing.mp3")
                                       << noStream + base + "/ad/missing.mp3\r\nUser-Agent: " << true;
        const QString noDuration = "Can not get duration from daast stream by url ";
        QTest::newRow("media of unknown length") << QByteArray(ad).replace("/ad/media.mp3", "/ad/chunked.mp3")
                                                 << noDuration + base + "/ad/chunked.mp3\r\nUser-Agent: " << true;
        QTest::newRow("media not http") << QByteArray(ad).replace(base + "/ad/media.mp3", "file:///etc/passwd")
                                        << noStream + "file:///etc/passwd\r\nUser-Agent: " << true;
    }

    // Every failure: the document's Error URL when there is a record, then ended(), then error().
    void failures()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, message);
        QFETCH(bool, errorTracked);
        const QByteArray port = QByteArray::number(m_ads->port());
        HttpResponse chunked = HttpResponse::of("audio/mpeg", m_media);
        chunked.chunked = true;
        m_ads->setResponse("/ad/chunked.mp3", chunked);
        const QString url = document.isEmpty() ? QString::fromLatin1(m_ads->url("/ad.xml"))
                                                : m_ads->serveDocument("/ad.xml", document.replace("%PORT%", port));
        QStringList order;
        AdRig rig;
        connect(rig.daast, &BVDaast::ended, this, [&] { order.append("ended"); });
        connect(rig.daast, &BVDaast::error, this, [&](const QString &text) { order.append(text); });
        rig.play(url);
        QTRY_COMPARE(order.size(), 2);
        QCOMPARE(order.first(), QStringLiteral("ended"));
        const QString expected = QString(message).replace("%1", url).replace("%PORT%", port);
        QVERIFY2(order.last().startsWith(expected), qPrintable(order.last()));
        QCOMPARE(trackedEvents(rig.nam.urls), errorTracked ? QStringList{"error"} : QStringList{});
        QCOMPARE(rig.daast->state(), BVPlayerSource::StoppedState);
    }

    // pause() before the document arrives does nothing; a paused ad resumes where it was. With a
    // user id every URL carries it exactly once: the document, media, tracking, banner and click.
    void pauseAndResume()
    {
        const QString userId = QStringLiteral("listener&8");
        AdRig rig;
        rig.nam.setTessaraUserId(userId);
        rig.play(m_ads->serveDocument("/ad.xml", adDocument(m_ads->base())));
        rig.daast->pause();
        QCOMPARE(rig.daast->state(), BVPlayerSource::StalledState);
        QTRY_COMPARE(rig.started.count(), 1);
        QTest::qWait(300);
        rig.daast->pause();
        QCOMPARE(rig.daast->state(), BVPlayerSource::PausedState);
        const int progressBefore = m_ads->hits().size();
        QTest::qWait(600); // past the first quartile, had it played on
        QCOMPARE(m_ads->hits().size(), progressBefore);
        rig.daast->play();
        QCOMPARE(rig.daast->state(), BVPlayerSource::PlayingState);
        QCOMPARE(m_ads->requests("/ad.xml").size(), 1);
        QCOMPARE(rig.started.count(), 1);
        QTRY_VERIFY(m_ads->events().contains("progress1"));
        for (const QUrl &url : rig.nam.urls)
            QCOMPARE(sdkUiIds(url), QStringList{userId});
        for (const HttpRequest &request : m_ads->requests("/ad/media.mp3")) // fetched by the engine
            QCOMPARE(sdkUiIds(QUrl("http://h/?" + QString::fromLatin1(request.query))), QStringList{userId});
        QCOMPARE(sdkUiIds(QUrl(rig.started.first().at(1).toString())), QStringList{userId});
        QCOMPARE(sdkUiIds(QUrl(rig.started.first().at(2).toString())), QStringList{userId});
        rig.daast->stop();
        QCOMPARE(rig.ended.count(), 1);
        QCOMPARE(rig.daast->state(), BVPlayerSource::StoppedState);
    }

    // play() over an ad that, to its busy owner, still plays: its queued events neither end nor track
    // the next ad. Its header claims 100 million frames: only the seconds the document tracks get a sync.
    void eventsOfAnAbandonedAdAreDropped()
    {
        QByteArray media = m_short;
        const qsizetype header = media.indexOf("Info");
        QVERIFY(header > 0);
        const char frames[] = {0x05, char(0xf5), char(0xe1), 0x00}; // 100,000,000
        m_ads->serveMedia(media.replace(header + 8, 4, frames, 4));
        AdRig rig;
        rig.play(m_ads->serveDocument("/ad.xml", adDocument(m_ads->base(), 1)));
        QTRY_COMPARE(rig.started.count(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // the ad ends; its events wait in the queue
        rig.daast->play();
        QCOMPARE(rig.daast->state(), BVPlayerSource::StalledState);
        QTRY_COMPARE(rig.started.count(), 2);
        QCOMPARE(m_ads->requests("/ad.xml").size(), 2);
        QCOMPARE(rig.ended.count(), 0);
        QCOMPARE(m_ads->events().count("complete"), 0);
        QTRY_COMPARE_WITH_TIMEOUT(rig.ended.count(), 1, 3000);
        QTRY_COMPARE(m_ads->events().count("complete"), 1); // the request reaches the server after the signal
        const QList<QByteArray> events = m_ads->events();
        const QList<QByteArray> second = events.mid(events.lastIndexOf("impression"));
        for (const char *event : {"progress0", "progress1", "firstQuartile", "midpoint", "complete"})
            QCOMPARE(second.count(event), 1);
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
        const auto spot = [&](const char *tag, const char *title, int sequence) {
            return vastInLineAd(b, tag, title, sequence, "/ad/short.mp3");
        };
        const auto wrapper = [&](const QByteArray &tag, const QByteArray &next) {
            return vastDocument({vastWrapperAd(b, tag, next)});
        };
        QTest::newRow("two wrappers")
            << QByteArrayList{"/ad.xml", wrapper("w1", "hop2.xml"), "/hop2.xml", wrapper("w2", b + "/in.xml"),
                              "/in.xml", vastDocument({inLine})}
            << QStringList{"In-line ad"} << banner
            << QStringList{"w1impression", "w2impression", "impression", "impression2", "w1start", "w2start",
                           "start", "companionView", "firstQuartile", "offset1s", "offset50", "w1complete",
                           "w2complete", "complete"}
            << QString();
        // A pod in sequence order, not document order; its second spot has only video: its Error URL
        // says so and the fallback ad plays in its place.
        const QByteArray videoOnly = QByteArray(inLine)
                                         .replace("Audio/MPEG", "video/mp4")
                                         .replace("audio/mpeg", "video/mp4")
                                         .replace("<Ad id", "<Ad sequence=\"2\" id");
        QTest::newRow("fallback for a spot")
            << QByteArrayList{"/ad.xml",
                              vastDocument({spot("c", "C", 3), videoOnly, spot("f", "F", 0), spot("a", "A", 1)})}
            << QStringList{"A", "F", "C"} << banner
            << QStringList{"astart", "error:403", "acomplete", "fstart", "fcomplete", "cstart", "ccomplete"}
            << "(start|complete|error)";
        QTest::newRow("no fill")
            << QByteArrayList{"/ad.xml",
                              vastDocument({}, "<Error>" + b + "/track?e=nofill&amp;code=[ERRORCODE]</Error>")}
            << QStringList() << QString() << QStringList{"nofill:303"} << QString();
        QTest::newRow("wrapper loop")
            << QByteArrayList{"/ad.xml", wrapper("w1", "hop2.xml"), "/hop2.xml", wrapper("w2", "ad.xml")}
            << QStringList() << QString() << QStringList{"w1error:302", "w2error:302"} << QString();
        QByteArrayList chain{"/ad.xml"};
        QStringList chainErrors;
        for (int i = 1; i <= 6; ++i) {
            const QByteArray tag = "w" + QByteArray::number(i);
            const QByteArray next = "/h" + QByteArray::number(i + 1) + ".xml";
            chain << wrapper(tag, next) << next;
            chainErrors << tag + "error:302";
        }
        chain << vastDocument({inLine});
        QTest::newRow("six wrappers") << chain << QStringList() << QString() << chainErrors << QString();
        QTest::newRow("wrapped document past the time-out") << QByteArrayList{"/ad.xml", wrapper("w1", "silent.xml")}
                                                            << QStringList() << QString() << QStringList{"w1error:301"}
                                                            << QString();
    }

    // Lenient breaks as ad servers send them: each ad started with its title, ended (or skipped) once,
    // every level's tracking in order, each Error URL told why; position events within 100 ms.
    void lenientBreaks()
    {
        QFETCH(QByteArrayList, documents);
        QFETCH(QStringList, titles);
        QFETCH(QString, banner);
        QFETCH(QStringList, events);
        QFETCH(QString, only);
        const QByteArray port = QByteArray::number(m_ads->port());
        for (int i = 0; i + 1 < documents.size(); i += 2)
            m_ads->serveDocument(documents[i], documents[i + 1].replace("%PORT%", port));
        m_ads->setResponse("/silent.xml", HttpResponse::silent());
        AdRig rig;
        rig.daast->setIsLenient(true);
        rig.daast->setDaastTimeoutMs(1000); // for the document and its wrappers together
        rig.play(QString::fromLatin1(m_ads->url(documents.first())));
        QTRY_COMPARE_WITH_TIMEOUT(rig.ended.count() + rig.skipped.count(), 1, 8000);
        QCOMPARE(rig.ended.count(), titles.isEmpty() ? 0 : 1);
        QCOMPARE(rig.aboutToEnd.count(), titles.isEmpty() ? 0 : 1);
        QCOMPARE(rig.errors.count(), 0);
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

        QTRY_COMPARE(m_ads->hits().size(), trackedEvents(rig.nam.urls).size());
        const QString late = lateEvents(m_ads->hits(), "start", {{"firstQuartile", 750}, {"offset1s", 1000},
                                                                 {"offset50", 1500}, {"complete", 3000}});
        QVERIFY2(late.isEmpty(), qPrintable(late));
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
        HttpResponse endlessMedia = HttpResponse::liveMp3(m_media); // at its bit rate, as a media server sends it
        endlessMedia.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("10000000000")));
        m_ads->setResponse("/ad/endless.mp3", endlessMedia);
        QByteArray document = vastDocument({vastInLineAd(m_ads->base(), "", "Long")});
        if (endless)
            document.replace("/ad/media.mp3", "/ad/endless.mp3").replace("<Duration>00:00:03", "<Duration>00:00:01");
        ManualClock clock;
        AdRig rig;
        rig.daast->setIsLenient(true);
        rig.daast->setMaxDurationMs(maxDurationMs);
        rig.play(m_ads->serveDocument("/ad.xml", document));
        QTRY_COMPARE(rig.started.count(), 1);
        clock.advance(expectedMs - 50);
        QCOMPARE(rig.ended.count(), 0);
        clock.advance(50);
        QCOMPARE(rig.ended.count(), 1);
        QVERIFY(!m_ads->events().contains("complete"));
        QCOMPARE(rig.daast->state(), BVPlayerSource::StoppedState);
    }

    // A banner or click-through that is not http(s) never reaches the host, nor is any other
    // tracking URL requested. A click with no ad does nothing; during one it is tracked.
    void unsafeUrlsNeverLeave()
    {
        QByteArray document = adDocument(m_ads->base());
        document.replace(m_ads->base() + "/track?e=impression&sdkuiid=stale", "file:///etc/passwd")
            .replace(m_ads->base() + "/track?e=start", "ftp://127.0.0.1/start")
            .replace(m_ads->base() + "/banner.png", "file:///etc/passwd")
            .replace(m_ads->base() + "/landing?sdkuiid=a&amp;sdkuiid=b", "javascript:alert(document.cookie)");
        AdRig rig;
        rig.daast->click();
        QVERIFY(rig.nam.urls.isEmpty());
        rig.play(m_ads->serveDocument("/ad.xml", document));
        QTRY_COMPARE(rig.started.count(), 1);
        QCOMPARE(rig.started.first().mid(1, 2), (QList<QVariant>{QString(), QString()}));
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
