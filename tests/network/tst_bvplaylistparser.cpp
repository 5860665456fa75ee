// BVPlaylistParser against the test server: every classification path, redirects, errors, hostile answers.
#include "bvnetworkaccessmanager.h"
#include "fakeplaybackhost.h"
#include "bvplaylistparser.h"
#include "processmemory.h"
#include "testhttpserver.h"
#include "testmedia.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace bvtest;

class TestBVPlaylistParser : public QObject {
    Q_OBJECT

    TestHttpServer *m_server = nullptr;
    FakePlaybackHost *m_host = nullptr;
    BVPlaylistParser *m_parser = nullptr;

    QTemporaryDir m_dir; // local lists and files
    BVPlaylistStreams m_streams;
    bool m_isHls = false;

    // Parses `url`; true when the one answer came, stored in m_streams and m_isHls.
    bool parse(const QUrl &url)
    {
        QSignalSpy finished(m_parser, &BVPlaylistParser::parsingFinished);
        m_parser->parse(url);
        if (!finished.wait(5000) || finished.size() != 1)
            return false;
        m_streams = finished.value(0).value(0).value<BVPlaylistStreams>();
        m_isHls = finished.value(0).value(1).toBool();
        return true;
    }
    bool parse(const QByteArray &path) { return parse(url(path)); }

    QUrl url(const QByteArray &path) const { return QUrl(QString::fromLatin1(m_server->url(path))); }

private slots:
    void init()
    {
        m_server = new TestHttpServer;
        m_host = new FakePlaybackHost;
        m_parser = new BVPlaylistParser(m_host);
    }
    void cleanup()
    {
        delete m_host;
        delete m_server;
    }

    void audioContentTypeShortCut_data()
    {
        QTest::addColumn<QByteArray>("statusLine");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("icyBr");
        QTest::addColumn<quint32>("bitrate");
        QTest::newRow("AUDIO/AAC without icy-br") << QByteArray() << QByteArray("AUDIO/AAC") << QByteArray() << 64000u;
        QTest::newRow("icy-br as a list with a unit") << QByteArray() << QByteArray("audio/mpeg") << QByteArray("96,128 kbps")
                                                      << 96000u;
        // A server that answers "ICY 200 OK" is a plain stream for the engine to play.
        QTest::newRow("ICY answer") << QByteArray("ICY 200 OK") << QByteArray("audio/mpeg") << QByteArray("96") << 64000u;
    }

    // An audio content type is answered at its first data and the download aborted.
    void audioContentTypeShortCut()
    {
        QFETCH(QByteArray, statusLine);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, icyBr);
        QFETCH(quint32, bitrate);
        HttpResponse live = HttpResponse::of(contentType, QByteArray(4096, 'x'));
        live.live = true;
        if (!statusLine.isEmpty())
            live.statusLine = statusLine;
        if (!icyBr.isEmpty())
            live.headers.append(qMakePair(QByteArray("icy-br"), icyBr));
        m_server->setResponse("/live", live);
        QVERIFY(parse("/live"));
        QCOMPARE(m_streams.size(), 1);
        QCOMPARE(m_streams.value(bitrate), url("/live"));
        QVERIFY(!m_isHls);
        QVERIFY(!m_parser->isProcessing());
    }

    // A master list fetched over the network names network streams only; an error status answers empty.
    void dataDecides_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("isHls");
        QTest::addColumn<QList<quint32>>("bitrates");
        const QByteArray media = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\nseg1.ts\n";
        const QByteArray json = "[{\"streamUrl\":\"http://radio.test/lo\",\"bandwidth\":32000},"
                                "{\"streamUrl\":\"http://radio.test/x\"},"
                                "{\"streamUrl\":\"file:///etc/passwd\",\"bandwidth\":48000},"
                                "{\"streamUrl\":\"/tmp/x.mp3\",\"bandwidth\":56000},"
                                "{\"streamUrl\":\"ftp://radio.test/a\",\"bandwidth\":72000},"
                                "{\"streamUrl\":\"HTTPS://radio.test/hi\",\"bandwidth\":128000}]";
        QTest::newRow("hls media, no bandwidth") << 200 << QByteArray("application/vnd.apple.mpegurl") << media << true
                                                 << QList<quint32>{64000};
        QTest::newRow("hls media with bandwidth")
            << 200 << QByteArray("audio/mpegurl") << QByteArray("#EXTM3U\n#BANDWIDTH:96000\n#EXT-X-TARGETDURATION:6\n")
            << true << QList<quint32>{96000};
        QTest::newRow("json master list") << 200 << QByteArray("application/json") << json << false
                                          << QList<quint32>{32000, 128000};
        QTest::newRow("no content type, plain data") << 200 << QByteArray() << QByteArray(1000, '\xff') << false
                                                     << QList<quint32>{64000};
        QTest::newRow("404 with a list") << 404 << QByteArray("application/json") << json << false << QList<quint32>{};
    }

    void dataDecides()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(bool, isHls);
        QFETCH(QList<quint32>, bitrates);
        HttpResponse response = HttpResponse::of(contentType, body);
        response.status = status;
        if (contentType.isEmpty())
            response.headers.clear();
        m_server->setResponse("/list", response);
        QVERIFY(parse("/list"));
        QCOMPARE(m_isHls, isHls);
        QList<quint32> keys = m_streams.uniqueKeys();
        std::sort(keys.begin(), keys.end());
        QCOMPARE(keys, bitrates);
    }

    // Variant URIs resolve against the final (redirected) playlist URL.
    void hlsMasterAfterRedirect()
    {
        const QByteArray master = "#EXTM3U\n"
                                  "#EXT-X-STREAM-INF:BANDWIDTH=128000,CODECS=\"mp4a.40.2\"\nhi/index.m3u8\n"
                                  "#EXT-X-STREAM-INF:BANDWIDTH=64000\n/abs/lo.m3u8\n"
                                  "#EXT-X-STREAM-INF:BANDWIDTH=200000,AVERAGE-BANDWIDTH=180000\nhttp://cdn.test/avg.m3u8\n"
                                  "#EXT-X-STREAM-INF:BANDWIDTH=0\nzero.m3u8\n"
                                  "#EXT-X-STREAM-INF:BANDWIDTH=32000\nlast-without-newline.m3u8";
        m_server->setResponse("/old/master.m3u8", HttpResponse::redirect(m_server->url("/radio/master.m3u8")));
        m_server->setResponse("/radio/master.m3u8", HttpResponse::of("application/x-mpegURL", master));
        QVERIFY(parse("/old/master.m3u8"));
        QVERIFY(m_isHls);
        QCOMPARE(m_streams, (BVPlaylistStreams{{128000, url("/radio/hi/index.m3u8")}, {64000, url("/abs/lo.m3u8")},
                                               {180000, QUrl("http://cdn.test/avg.m3u8")}})); // the last BANDWIDTH=
    }

    // A master list the host hands in as a local file may name local files.
    void localMasterListsMayNameFiles()
    {
        const QString path = m_dir.filePath("master.json");
        QVERIFY(writeFile(path, "[{\"streamUrl\":\"file:///a.mp3\",\"bandwidth\":32000},"
                                "{\"streamUrl\":\"http://radio.test/b\",\"bandwidth\":64000}]"));
        QVERIFY(parse(QUrl::fromLocalFile(path)));
        QCOMPARE(m_streams, (BVPlaylistStreams{{32000, QUrl("file:///a.mp3")}, {64000, QUrl("http://radio.test/b")}}));
    }

    // A local file's reply holds all of it at once: only the first bytes are taken from it.
    void hugeLocalFileIsReadNoFurther()
    {
        QFile sparse(m_dir.filePath("zeros.mp3"));
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.resize(qint64(2) << 30)); // sparse: no disk used
        sparse.close();
        const double peakBefore = resetPeakMemory();
        QVERIFY(parse(QUrl::fromLocalFile(sparse.fileName())));
        BV_VERIFY_MEMORY_GROWTH(memoryMiB("VmHWM:") - peakBefore, 48);
    }

    // An endless master list is answered with what came up to a bound, nor buffered unbounded while the thread is busy.
    void endlessAnswerIsBounded()
    {
        QByteArray entries = "[";
        for (int i = 0; i < 1000; ++i) // 55 kB a round, as fast as the server can send
            entries += "{\"streamUrl\":\"http://radio.test/" + QByteArray::number(i) + "\",\"bandwidth\":"
                       + QByteArray::number(1000 + i) + "},";
        HttpResponse endless = HttpResponse::of("application/json", entries);
        endless.live = true;
        m_server->setResponse("/endless.json", endless);
        QSignalSpy finished(m_parser, &BVPlaylistParser::parsingFinished);
        m_parser->parse(url("/endless.json"));
        const double before = memoryMiB("VmRSS:");
        QThread::msleep(1500); // busy: no event of this thread is handled
        BV_VERIFY_MEMORY_GROWTH(memoryMiB("VmRSS:") - before, 32);
        QVERIFY(finished.wait(5000));
        QVERIFY(!m_parser->isProcessing());
    }

    // Response headers without end (Qt has no cap) are ended by the request's time-out, memory bounded meanwhile.
    void headerFloodIsBounded()
    {
        m_host->nam()->setTimeoutMs(2000);
        HttpResponse flood = HttpResponse::of("audio/mpeg", QByteArray(4096, 'x'));
        flood.endlessHeaders = true;
        m_server->setResponse("/flood", flood);
        const double before = memoryMiB("VmRSS:");
        QVERIFY(parse("/flood"));
        QVERIFY(m_streams.isEmpty());
        BV_VERIFY_MEMORY_GROWTH(memoryMiB("VmRSS:") - before, 64);
    }

    // An aborted parse, and a parse whose host is gone, end without an answer.
    void abortedOrHostlessGiveNoAnswer()
    {
        m_server->setResponse("/silent", HttpResponse::silent());
        QSignalSpy finished(m_parser, &BVPlaylistParser::parsingFinished);
        m_parser->parse(url("/silent"));
        QVERIFY(m_parser->isProcessing());
        QTRY_COMPARE(m_server->requests("/silent").size(), 1);
        m_parser->abort();
        QVERIFY(!m_parser->isProcessing());

        m_parser->setParent(nullptr);
        delete m_host;
        m_host = nullptr;
        m_parser->parse(url("/silent"));
        QVERIFY(!m_parser->isProcessing());
        QVERIFY(!finished.wait(300));
        QCOMPARE(m_server->requests("/silent").size(), 1);
        delete m_parser;
    }
};

QTEST_GUILESS_MAIN(TestBVPlaylistParser)
#include "tst_bvplaylistparser.moc"
