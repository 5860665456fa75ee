// The HLS network helpers: media playlist parsing and polling, and the one-at-a-time
// segment downloader with its paced failure reports, against the local test server.
#include "bvbass.h"
#include "bvhlschunkdownloader.h"
#include "bvhlsmediaplaylist.h"
#include "bvhlsplaylistupdater.h"
#include "fakeplaybackhost.h"
#include "hlsmedia.h"
#include "manualclock.h"
#include "testhttpserver.h"

#include <QSignalSpy>
#include <QTest>

using namespace bvtest;

class TestBVHlsNetwork : public QObject
{
    Q_OBJECT

    TestHttpServer *m_server = nullptr;
    FakePlaybackHost m_host;

    QUrl url(const QByteArray &path) const { return QUrl(QString::fromLatin1(m_server->url(path))); }

private slots:
    void initTestCase()
    {
        BVBass::outputDevice = 0;
        qRegisterMetaType<BVHlsChunks>("QMap<quint32,BVHlsChunk>");
    }
    void init() { m_server = new TestHttpServer; }
    void cleanup() { delete m_server; }

    // Each entry as "sequence URL", with "| " before the URL after a discontinuity; URLs in the
    // list's folder are shown relative to it.
    void parsePlaylist_data()
    {
        QTest::addColumn<QByteArray>("playlist");
        QTest::addColumn<QStringList>("entries");
        QTest::newRow("numbered from the media sequence")
            << QByteArray("#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:100\n#EXTINF:6,\na.ts\n#EXTINF:6,\nb.ts\n#EXTINF:6,\nc.ts\n")
            << QStringList{"100 a.ts", "101 b.ts", "102 c.ts"};
        QTest::newRow("a skipped entry uses up its number")
            << QByteArray("#EXT-X-MEDIA-SEQUENCE:100\n#EXTINF:6,\na.ts\n#EXTINF:0,\nb.ts\n#EXTINF:6,\nc.ts\n")
            << QStringList{"100 a.ts", "102 c.ts"};
        QTest::newRow("no media sequence starts at 0, last line needs its line feed")
            << QByteArray("#EXTINF:2.5,title\na.ts\n#EXTINF:2.5,\nb.ts") << QStringList{"0 a.ts"};
        QTest::newRow("absolute path, own host, no query carried over")
            << QByteArray("#EXTINF:1,\n/x/a.ts\n#EXTINF:1,\nhttps://cdn.example/b.ts?k=1\n")
            << QStringList{"0 http://h:8/x/a.ts", "1 https://cdn.example/b.ts?k=1"};
        QTest::newRow("discontinuity tag") << QByteArray("#EXTINF:1,\na.ts\n#EXT-X-DISCONTINUITY\n#EXTINF:1,\nb.ts\n")
                                           << QStringList{"0 a.ts", "1 | b.ts"};
        QTest::newRow("a tag counts mid-line; a discontinuity only on the line right before it")
            << QByteArray("#EXT-X-DISCONTINUITY\n\n#EXTINF:1,\na.ts\nnote #EXTINF:2,\nb.ts\n")
            << QStringList{"0 a.ts", "1 b.ts"};
        QTest::newRow("entries that are not network URLs are dropped")
            << QByteArray("#EXTINF:1,\nfile://h/etc/passwd\n#EXTINF:1,\nftp://h/b.ts\n#EXTINF:1,\nc.ts\n")
            << QStringList{"2 c.ts"};
    }

    void parsePlaylist()
    {
        QFETCH(QByteArray, playlist);
        QFETCH(QStringList, entries);
        const QUrl list("http://h:8/live/list.m3u8?token=secret");
        QStringList got;
        for (const BVHlsChunk &chunk : BVHlsMediaPlaylist::chunks(playlist, list, 64000))
            got.append(QString::number(chunk.sequence) + (chunk.isDiscontinuity ? " | " : " ")
                       + chunk.url.toString().remove("http://h:8/live/"));
        QCOMPARE(got, entries);
    }

    // A tick while a playlist's request runs is skipped; a new playlist aborts it and is
    // fetched at once, then on the timer; the reported URL is the one after redirects.
    void updaterPollsAndReports()
    {
        m_server->setResponse("/slow.m3u8", HttpResponse::silent());
        m_server->setResponse("/moved.m3u8", HttpResponse::redirect(m_server->url("/live/list.m3u8")));
        m_server->setResponse("/live/list.m3u8",
                              HttpResponse::of("application/vnd.apple.mpegurl",
                                               mediaPlaylist(7, {"a.ts", "b.ts"}, 0.5)));
        ManualClock clock;
        BVHlsPlaylistUpdater updater(&m_host);
        QSignalSpy updated(&updater, &BVHlsPlaylistUpdater::playlistUpdated);
        updater.changePlaylist(64000, url("/slow.m3u8"));
        QTRY_COMPARE(m_server->requests("/slow.m3u8").size(), 1);
        clock.advance(2300);
        QTest::qWait(100);
        QCOMPARE(m_server->requests("/slow.m3u8").size(), 1);
        updater.changePlaylist(64000, url("/moved.m3u8"));
        QTRY_COMPARE_WITH_TIMEOUT(updated.size(), 1, 2000);
        QCOMPARE(updated[0][1].toUrl(), url("/live/list.m3u8"));
        QCOMPARE(updated[0][0].value<BVHlsChunks>().value(8).url, url("/live/b.ts")); // relative to the redirect
        // Two half-second segments poll every 500 ms.
        for (int polls = 2; polls <= 4; ++polls) {
            clock.advance(500);
            QTRY_COMPARE(updated.size(), polls);
        }

        updater.changePlaylist(128000, QUrl());
        QVERIFY(!updater.isActive());
        const qsizetype requests = m_server->requests("/live/list.m3u8").size();
        clock.advance(1200);
        QTest::qWait(100);
        QCOMPARE(m_server->requests("/live/list.m3u8").size(), requests);
    }

    // A playlist body beyond any real one's size is a failed request, not a list of segments.
    void updaterRefusesAHugePlaylist()
    {
        const QByteArray padding(BVHlsPlaylistUpdater::BV_HLS_MAX_PLAYLIST_BYTES, 'x');
        const QByteArray huge = mediaPlaylist(0, {"a.ts"}, 1.0) + "#EXT-X-PADDING:" + padding + "\n";
        m_server->setResponse("/huge.m3u8", HttpResponse::of("application/vnd.apple.mpegurl", huge));
        ManualClock clock;
        BVHlsPlaylistUpdater updater(&m_host);
        QSignalSpy updated(&updater, &BVHlsPlaylistUpdater::playlistUpdated);
        updater.changePlaylist(64000, url("/huge.m3u8"));
        QTRY_VERIFY(m_server->requests("/huge.m3u8").size() >= 2 || (clock.advance(1000), false));
        QCOMPARE(updated.size(), 0);
    }

    // Success carries the URL asked for, even after a redirect, and a new download silently
    // replaces one in flight; a failure (here a segment larger than any real one) is reported
    // 10 s after its request began, and not at all once aborted.
    void downloader()
    {
        m_server->setResponse("/stuck.ts", HttpResponse::silent());
        m_server->setResponse("/moved.ts", HttpResponse::redirect(m_server->url("/real.ts")));
        m_server->setResponse("/real.ts", HttpResponse::of("video/mp2t", "segment bytes"));
        const QByteArray huge(BVHlsChunkDownloader::BV_HLS_MAX_CHUNK_BYTES + 1, 'G');
        m_server->setResponse("/huge.ts", HttpResponse::of("video/mp2t", huge));
        ManualClock clock;
        BVHlsChunkDownloader downloader(&m_host);
        BVHlsChunkDownloader aborted(&m_host);
        QSignalSpy done(&downloader, &BVHlsChunkDownloader::downloadingDone);
        QSignalSpy failed(&downloader, &BVHlsChunkDownloader::downloadingError);
        QSignalSpy abortedError(&aborted, &BVHlsChunkDownloader::downloadingError);
        downloader.download(url("/stuck.ts"));
        QTRY_COMPARE(m_server->requests("/stuck.ts").size(), 1);
        downloader.download(url("/moved.ts"));
        QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 3000);
        QCOMPARE(done[0][0].toUrl(), url("/moved.ts"));
        QCOMPARE(done[0][1].toByteArray(), QByteArray("segment bytes"));
        QVERIFY(!downloader.isDownloading());

        downloader.download(url("/huge.ts"));
        aborted.download(url("/missing.ts"));
        QTRY_COMPARE(m_server->requests("/missing.ts").size(), 1);
        QTRY_VERIFY(downloader.findChild<QTimer *>()->isActive()); // its failure is in and waits for its time
        clock.advance(1000);
        QVERIFY(downloader.isDownloading()); // the failure is pending
        aborted.abort();
        QVERIFY(!aborted.isDownloading());
        clock.advance(8500); // 9.5 s after the requests
        QCOMPARE(failed.size(), 0);
        clock.advance(600);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0][0].toUrl(), url("/huge.ts"));
        QCOMPARE(done.size(), 1);
        QVERIFY(!downloader.isDownloading());
        QCOMPARE(abortedError.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestBVHlsNetwork)
#include "tst_bvhlsnetwork.moc"
