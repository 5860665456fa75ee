// BVPlaylistParser against the scriptable local HTTP server: every
// classification path, redirects, errors and host-fed schemes.
#include "bvplayer.h"
#include "bvplaylistparser.h"
#include "testhttpserver.h"

#include <QSignalSpy>
#include <QTest>

using namespace bvtest;

class TestBVPlaylistParser : public QObject {
    Q_OBJECT

    TestHttpServer *m_server = nullptr;
    BVPlayer *m_player = nullptr;
    BVPlaylistParser *m_parser = nullptr;

    // Parses `path` and returns the one answer.
    QPair<BVPlaylistStreams, bool> parse(const QByteArray &path)
    {
        QSignalSpy finished(m_parser, &BVPlaylistParser::parsingFinished);
        m_parser->parse(QUrl(QString::fromLatin1(m_server->url(path))));
        if (!finished.wait(5000))
            return {};
        return {finished.value(0).value(0).value<BVPlaylistStreams>(), finished.value(0).value(1).toBool()};
    }

    QUrl url(const QByteArray &path) const { return QUrl(QString::fromLatin1(m_server->url(path))); }

private slots:
    void init()
    {
        m_server = new TestHttpServer;
        m_player = new BVPlayer;
        m_parser = m_player->findChild<BVPlaylistParser *>();
        QVERIFY(m_parser);
    }
    void cleanup()
    {
        delete m_player;
        delete m_server;
    }

    void audioContentTypeShortCut_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("icyBr");
        QTest::addColumn<quint32>("bitrate");
        QTest::newRow("audio/mpeg with icy-br") << QByteArray("audio/mpeg") << QByteArray("128") << 128000u;
        QTest::newRow("AUDIO/AAC without icy-br") << QByteArray("AUDIO/AAC") << QByteArray() << 64000u;
        QTest::newRow("icy-br without digits") << QByteArray("audio/ogg") << QByteArray("high") << 64000u;
    }

    // An audio content type is answered at its first data and the download aborted.
    void audioContentTypeShortCut()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, icyBr);
        QFETCH(quint32, bitrate);
        HttpResponse live = HttpResponse::of(contentType, QByteArray(4096, 'x'));
        live.live = true;
        if (!icyBr.isEmpty())
            live.headers.append(qMakePair(QByteArray("icy-br"), icyBr));
        m_server->setResponse("/live", live);
        const auto [streams, isHls] = parse("/live");
        QCOMPARE(streams.size(), 1);
        QCOMPARE(streams.value(bitrate), url("/live"));
        QVERIFY(!isHls);
        QVERIFY(!m_parser->isProcessing());
    }

    void dataDecides_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("isHls");
        QTest::addColumn<QList<quint32>>("bitrates");
        const QByteArray media = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\nseg1.ts\n";
        QTest::newRow("hls media, no bandwidth") << QByteArray("application/vnd.apple.mpegurl") << media << true
                                                 << QList<quint32>{64000};
        QTest::newRow("hls media with bandwidth")
            << QByteArray("audio/mpegurl") << QByteArray("#EXTM3U\n#BANDWIDTH:96000\n#EXT-X-TARGETDURATION:6\n") << true
            << QList<quint32>{96000};
        QTest::newRow("extended m3u of streams is the engine's")
            << QByteArray("audio/x-mpegurl") << QByteArray("#EXTM3U\n#EXTINF:-1,Radio\nhttp://radio.test/live\n")
            << false << QList<quint32>{64000};
        QTest::newRow("json master list")
            << QByteArray("application/json")
            << QByteArray("[{\"streamUrl\":\"http://radio.test/lo\",\"bandwidth\":32000},"
                          "{\"streamUrl\":\"http://radio.test/x\"},"
                          "{\"streamUrl\":\"http://radio.test/hi\",\"bandwidth\":128000}]")
            << false << QList<quint32>{32000, 128000};
        QTest::newRow("no content type, plain data") << QByteArray() << QByteArray(1000, '\xff') << false
                                                     << QList<quint32>{64000};
    }

    void dataDecides()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(bool, isHls);
        QFETCH(QList<quint32>, bitrates);
        HttpResponse response = HttpResponse::of(contentType, body);
        if (contentType.isEmpty())
            response.headers.clear();
        m_server->setResponse("/list", response);
        const auto [streams, hls] = parse("/list");
        QCOMPARE(hls, isHls);
        QList<quint32> keys = streams.uniqueKeys();
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
        const auto [streams, isHls] = parse("/old/master.m3u8");
        QVERIFY(isHls);
        QCOMPARE(streams.size(), 3);
        QCOMPARE(streams.value(128000), url("/radio/hi/index.m3u8"));
        QCOMPARE(streams.value(64000), url("/abs/lo.m3u8"));
        QCOMPARE(streams.value(180000), QUrl("http://cdn.test/avg.m3u8")); // the last BANDWIDTH= on the line
    }

    void errorsAnswerEmpty()
    {
        const auto [streams, isHls] = parse("/missing");
        QVERIFY(streams.isEmpty());
        QVERIFY(!isHls);
    }

    void hostFedSchemesAnswerAtOnce()
    {
        QSignalSpy finished(m_parser, &BVPlaylistParser::parsingFinished);
        m_parser->parse(QUrl("push:"));
        QCOMPARE(finished.size(), 1);
        m_parser->parse(QUrl("record:0"));
        QCOMPARE(finished.size(), 2);
        QVERIFY(finished.value(1).value(0).value<BVPlaylistStreams>().isEmpty());
    }

    void abortGivesNoAnswer()
    {
        HttpResponse silent;
        silent.neverAnswer = true;
        m_server->setResponse("/silent", silent);
        QSignalSpy finished(m_parser, &BVPlaylistParser::parsingFinished);
        m_parser->parse(url("/silent"));
        QVERIFY(m_parser->isProcessing());
        m_parser->abort();
        QVERIFY(!m_parser->isProcessing());
        QVERIFY(!finished.wait(300));
    }
};

QTEST_GUILESS_MAIN(TestBVPlaylistParser)
#include "tst_bvplaylistparser.moc"
