// The now-playing updater against the test server: documents, covers, silent updates, failures, polling.
#include "bvmetadataupdater.h"
#include "bvnetworkaccessmanager.h"
#include "manualclock.h"
#include "testhttpserver.h"

#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

using namespace bvtest;

namespace {

QByteArray document(const QByteArray &id, const QByteArray &artist, const QByteArray &cover = "cover.jpg")
{
    return "{\"uniqueid\":\"" + id + "\",\"artist\":\"" + artist + "\",\"title\":\"Song of " + artist
        + "\",\"cover\":\"" + cover + "\",\"ddbId\":7,\"type\":2,\"extra\":true}";
}

HttpResponse json(const QByteArray &body)
{
    return HttpResponse::of("application/json", body);
}

} // namespace

class TestBVMetadataUpdater : public QObject
{
    Q_OBJECT

    TestHttpServer *m_server = nullptr;
    BVNetworkAccessManager m_nam;

    QUrl url(const QByteArray &path) const { return QUrl(QString::fromLatin1(m_server->url(path))); }

private slots:
    void init() { m_server = new TestHttpServer; }
    void cleanup() { delete m_server; }

    void documentAndCover_data()
    {
        QTest::addColumn<QByteArray>("cover");
        QTest::addColumn<QString>("coverUrl");
        QTest::newRow("file name beside the document") << QByteArray("art.jpg") << "/station/art.jpg?k=1";
        QTest::newRow("absolute") << QByteArray("https://img.test/a.png") << "https://img.test/a.png";
        QTest::newRow("none") << QByteArray("") << "";
        // What a host would open or show: only http(s) passes.
        QTest::newRow("local file") << QByteArray("file:///etc/passwd") << "";
    }

    void documentAndCover()
    {
        QFETCH(QByteArray, cover);
        QFETCH(QString, coverUrl);
        m_server->setResponse("/station/now.json", json(document("1", "Band", cover)));
        BVMetadataUpdater updater(&m_nam);
        updater.setMetaUrl(url("/station/now.json?k=1"));
        QTRY_COMPARE(updater.title(), QString("Band"));
        QCOMPARE(updater.subtitle(), QString("Song of Band"));
        QCOMPARE(updater.ddbId(), 7);
        QCOMPARE(updater.type(), 2);
        const QString expected = coverUrl.startsWith('/') ? QString::fromLatin1(m_server->url("")) + coverUrl : coverUrl;
        QCOMPARE(updater.coverUrl().toString(), expected);
        QCOMPARE(updater.json().value("cover").toString(), expected);
        QVERIFY(updater.json().value("extra").toBool());
    }

    // Missing members take their defaults, a body that is not JSON changes nothing, the silent form sends no signals.
    void defaultsAndSilentUpdates()
    {
        BVMetadataUpdater updater(&m_nam);
        QSignalSpy titles(&updater, &BVMetadataUpdater::titleChanged);
        QSignalSpy types(&updater, &BVMetadataUpdater::typeChanged);
        updater.updateMetaJson("{\"artist\":\"A\",\"type\":3,\"ddbId\":4}");
        updater.updateMetaJson("{\"artist\":\"B\"}");
        QCOMPARE(updater.type(), -1);
        QCOMPARE(updater.ddbId(), 0);
        QCOMPARE(titles.size(), 2);
        updater.updateMetaJson("not json");
        QCOMPARE(updater.title(), QString("B"));

        updater.updateMetaJson(QString::fromUtf8(document("9", "Quiet", "https://img.test/q.png")), true);
        QCOMPARE(updater.title(), QString("Quiet"));
        QCOMPARE(titles.size(), 2);
        QCOMPARE(types.size(), 2);
        QVERIFY(updater.metaJson().contains("\"uniqueid\": \"9\""));
    }

    // A failed request, even one whose body is a document, and a body that is not JSON reset the data.
    void failuresReset()
    {
        m_server->setResponse("/now.json", json(document("1", "Band")));
        BVMetadataUpdater updater(&m_nam);
        updater.setMetaUrl(url("/now.json"));
        QTRY_COMPARE(updater.title(), QString("Band"));
        HttpResponse error = json(document("2", "Other"));
        error.status = 500;
        m_server->setResponse("/now.json", error);
        updater.updateMeta();
        QTRY_COMPARE(updater.title(), QString());
        m_server->setResponse("/now.json", json(document("1", "Band")));
        updater.updateMeta();
        QTRY_COMPARE(updater.title(), QString("Band"));
        m_server->setResponse("/now.json", json("<html>"));
        updater.updateMeta();
        QTRY_COMPARE(updater.title(), QString());
    }

    // On a hand-moved clock: the document at once, then every 20 s; with an ID URL the ID every 5 s and the
    // document when the ID changes; a failed request retried after 5 s; a slow ID request not duplicated.
    void pollingRhythm()
    {
        ManualClock clock;
        m_server->setResponse("/plain.json", json(document("1", "Plain")));
        m_server->setResponse("/full.json", json(document("1", "Full")));
        m_server->setResponse("/id.json", json("{\"uniqueid\":\"1\"}"));
        HttpResponse flaky = json(document("1", "Flaky"));
        flaky.failures = 1;
        m_server->setResponse("/flaky.json", flaky);
        m_server->setResponse("/slowfull.json", json(document("1", "Slow")));
        m_server->setResponse("/slowid.json", HttpResponse::silent());
        const auto requests = [this](const QByteArray &path) { return m_server->requests(path).size(); };

        BVMetadataUpdater plain(&m_nam), withId(&m_nam), failing(&m_nam), slow(&m_nam);
        QSignalSpy withIdTitles(&withId, &BVMetadataUpdater::titleChanged);
        plain.setMetaUrl(url("/plain.json"));
        withId.setMetaIdUrl(url("/id.json"));
        withId.setMetaUrl(url("/full.json"));
        failing.setMetaUrl(url("/flaky.json"));
        slow.setMetaIdUrl(url("/slowid.json"));
        slow.setMetaUrl(url("/slowfull.json"));
        QTRY_VERIFY(requests("/plain.json") == 1 && requests("/full.json") == 1 && requests("/flaky.json") == 1
                    && requests("/slowfull.json") == 1);
        clock.advance(4999);
        QTest::qWait(100);
        QCOMPARE(requests("/id.json") + requests("/slowid.json"), 0);
        QCOMPARE(requests("/flaky.json"), 1);

        clock.advance(1); // 5 s
        QTRY_VERIFY(requests("/id.json") == 1 && requests("/slowid.json") == 1 && requests("/flaky.json") == 2);
        QTRY_COMPARE(failing.title(), QString("Flaky"));
        m_server->setResponse("/full.json", json(document("2", "Next")));
        m_server->setResponse("/id.json", json("{\"uniqueid\":\"2\"}"));

        clock.advance(5000); // 10 s: the ID changed, so the full document comes again
        QTRY_COMPARE(withId.title(), QString("Next"));
        QCOMPARE(requests("/full.json"), 2);
        QCOMPARE(requests("/slowid.json"), 1); // the tick found it running
        // Each ID answer is handled before the next tick, which would skip a request still running.
        int answeredIds = 2;
        QObject context;
        connect(&m_nam, &QNetworkAccessManager::finished, &context,
                [&](QNetworkReply *reply) { answeredIds += reply->url().path() == QLatin1String("/id.json"); });
        for (int ids = 3; ids <= 4; ++ids) { // 15 and 20 s
            clock.advance(5000);
            QTRY_COMPARE(answeredIds, ids);
        }
        QCOMPARE(requests("/id.json"), 4);
        QTRY_COMPARE(requests("/plain.json"), 2);
        QCOMPARE(requests("/full.json"), 2);
        QCOMPARE(withIdTitles.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestBVMetadataUpdater)
#include "tst_bvmetadataupdater.moc"
