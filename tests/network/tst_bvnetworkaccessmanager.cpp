// BVNetworkAccessManager against the test server: each request's identity, the time-out, the reply helpers.
#include "bvnetworkaccessmanager.h"
#include "testhttpserver.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace bvtest;

Q_LOGGING_CATEGORY(testCategory, "bv.test")

namespace {

// Waits for a reply to finish (or for the time-out to abort it).
bool finished(QNetworkReply *reply)
{
    return reply->isFinished() || QSignalSpy(reply, &QNetworkReply::finished).wait(15000);
}

} // namespace

class TestBVNetworkAccessManager : public QObject {
    Q_OBJECT

    TestHttpServer *m_server = nullptr;

private slots:
    void init()
    {
        m_server = new TestHttpServer;
        m_server->setResponse("/ok", HttpResponse::of("text/plain", "fine"));
    }
    void cleanup() { delete m_server; }

    // The URL's own credentials are checked in credentialsStayWithTheirOrigin.
    void identity_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("referer");
        QTest::addColumn<QString>("userId");
        QTest::addColumn<QString>("utm");
        QTest::addColumn<QString>("sentQuery");
        QTest::addColumn<QByteArray>("sentReferer");
        QTest::newRow("one hssuid, after the others") << "hssuid=x&a=1&hssuid=y" << "" << "u7" << "" << "a=1&hssuid=u7"
                                                      << QByteArray();
        QTest::newRow("empty user id keeps items") << "hssuid=x" << "" << "" << "" << "hssuid=x" << QByteArray();
        QTest::newRow("utm mark as referer and item") << "" << "" << "" << "spring" << "radiotessara=spring"
                                                      << QByteArray("spring");
        QTest::newRow("referer wins") << "" << "http://host.test/" << "" << "spring" << "radiotessara=spring"
                                      << QByteArray("http://host.test/");
    }

    void identity()
    {
        QFETCH(QString, query);
        QFETCH(QString, referer);
        QFETCH(QString, userId);
        QFETCH(QString, utm);
        QFETCH(QString, sentQuery);
        QFETCH(QByteArray, sentReferer);
        BVNetworkAccessManager manager;
        manager.setReferer(referer);
        manager.setTessaraUserId(userId);
        manager.setTessaraUtmMark(utm);
        QUrl url(QString::fromLatin1(m_server->url("/ok")));
        url.setQuery(query);
        const QScopedPointer<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
        QVERIFY(finished(reply.get()));
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        const QList<HttpRequest> requests = m_server->requests("/ok");
        QCOMPARE(requests.size(), 1);
        QCOMPARE(QString::fromLatin1(requests[0].query), sentQuery);
        QCOMPARE(requests[0].headers.value("user-agent"), manager.userAgent().toUtf8());
        QCOMPARE(requests[0].headers.value("referer"), sentReferer);
    }

    // The limit counts from the request: a reply still receiving data is aborted; get() in await mode returns it done.
    void timeoutAbortsASlowReply()
    {
        HttpResponse slow = HttpResponse::of("audio/mpeg", QByteArray(20000, 'x'));
        slow.bytesPerSecond = 2000;
        m_server->setResponse("/slow", slow);
        BVNetworkAccessManager manager;
        QVERIFY(manager.setTimeoutMs(700));
        QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(QString::fromLatin1(m_server->url("/slow")))));
        QSignalSpy progress(reply, &QNetworkReply::downloadProgress);
        QVERIFY(finished(reply));
        QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
        QVERIFY(progress.size() > 1); // data was still flowing
        delete reply;

        QVERIFY(manager.setAwait(true));
        manager.setTimeoutMs(300);
        reply = manager.get(QNetworkRequest(QUrl(QString::fromLatin1(m_server->url("/slow")))));
        QVERIFY(reply->isFinished());
        QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
        delete reply;
    }

    // Query and fragment do not count; the port and the user info do.
    void isSameUrl()
    {
        QVERIFY(BVNetworkAccessManager::isSameUrl(QUrl("http://h.test/p?a=1#x"), QUrl("http://h.test/p?b=2")));
        QVERIFY(!BVNetworkAccessManager::isSameUrl(QUrl("http://h.test/p"), QUrl("http://h.test:81/p")));
        QVERIFY(!BVNetworkAccessManager::isSameUrl(QUrl("http://u@h.test/p"), QUrl("http://h.test/p")));
    }

    void senderReply()
    {
        // The failure is logged with its code, without the URL's password (nor in Qt's error text).
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^(?!.*secret).*ContentNotFoundError"));
        QTest::failOnWarning(QRegularExpression("secret"));
        QObject notAReply;
        QCOMPARE(BVNetworkAccessManager::senderReply(&notAReply, "playlist", testCategory()), nullptr);

        BVNetworkAccessManager manager;
        QNetworkReply *good = manager.get(QNetworkRequest(QUrl(QString::fromLatin1(m_server->url("/ok")))));
        QVERIFY(finished(good));
        QPointer<QNetworkReply> goodGuard(good);
        QCOMPARE(BVNetworkAccessManager::senderReply(good, "playlist", testCategory()), good);

        QUrl missing(QString::fromLatin1(m_server->url("/missing")));
        missing.setUserInfo("bob:secret");
        QNetworkReply *bad = manager.get(QNetworkRequest(missing));
        QVERIFY(finished(bad));
        QPointer<QNetworkReply> badGuard(bad);
        QCOMPARE(BVNetworkAccessManager::senderReply(bad, "playlist", testCategory()), nullptr);
        QTRY_VERIFY(goodGuard.isNull() && badGuard.isNull()); // both scheduled for deletion
    }

    // A URL's credentials go to its origin only: a redirect elsewhere is not followed (without them it is).
    void credentialsStayWithTheirOrigin()
    {
        TestHttpServer other;
        other.setResponse("/target", HttpResponse::of("text/plain", "elsewhere"));
        m_server->setResponse("/here", HttpResponse::redirect("/ok"));
        m_server->setResponse("/away", HttpResponse::redirect(other.url("/target")));
        BVNetworkAccessManager manager;
        const auto get = [&](const QByteArray &path, const QString &userInfo) {
            QUrl url(QString::fromLatin1(m_server->url(path)));
            url.setUserInfo(userInfo);
            QNetworkRequest request(url);
            request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
            const QScopedPointer<QNetworkReply> reply(manager.get(request));
            return finished(reply.get()) && reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
        };
        QCOMPARE(get("/here", "bob:secret"), QByteArray("fine"));
        QCOMPARE(m_server->requests("/ok").value(0).headers.value("authorization"), QByteArray("Basic Ym9iOnNlY3JldA=="));
        QCOMPARE(get("/away", "bob:secret"), QByteArray());
        QCOMPARE(other.requests("/target").size(), 0);
        QCOMPARE(get("/away", QString()), QByteArray("elsewhere"));
    }

    // A redirect chain costs a handful of requests: none back to a URL it passed, none past five redirects.
    void redirectsAreBudgeted_data()
    {
        QTest::addColumn<QByteArrayList>("chain"); // each path redirects to the next, the last to the first
        QTest::addColumn<int>("paths");            // paths asked for, at most
        QTest::addColumn<int>("requests");         // requests, at most (Qt may send one again)
        QTest::newRow("two in a ring") << QByteArrayList{"/a", "/b"} << 2 << 3;
        QTest::newRow("a long chain") << QByteArrayList{"/a", "/b", "/c", "/d", "/e", "/f", "/g", "/h"} << 6 << 12;
    }

    void redirectsAreBudgeted()
    {
        QFETCH(QByteArrayList, chain);
        QFETCH(int, paths);
        QFETCH(int, requests);
        for (qsizetype i = 0; i < chain.size(); ++i)
            m_server->setResponse(chain[i], HttpResponse::redirect(chain[(i + 1) % chain.size()]));
        BVNetworkAccessManager manager;
        QNetworkReply *reply = BVNetworkAccessManager::getSafely(&manager, QUrl(QString::fromLatin1(m_server->url("/a"))), 1024);
        QVERIFY(finished(reply));
        QVERIFY(reply->error() != QNetworkReply::NoError);
        int asked = 0, made = 0;
        for (const QByteArray &path : chain) {
            asked += m_server->requests(path).isEmpty() ? 0 : 1;
            made += int(m_server->requests(path).size());
        }
        QVERIFY2(asked <= paths && made <= requests, qPrintable(QString("%1 paths, %2 requests").arg(asked).arg(made)));
        reply->deleteLater();
    }
};

QTEST_GUILESS_MAIN(TestBVNetworkAccessManager)
#include "tst_bvnetworkaccessmanager.moc"
