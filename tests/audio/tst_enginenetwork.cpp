// Network streams against a scriptable local HTTP server: request headers, failures, ranges,
// prebuffering and stalls, the read time-out, ICY metadata; and a live icecast2 mount.
#include "bass.h"
#include "synclog.h"
#include "testhttpserver.h"
#include "testmedia.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <deque>
#include <mutex>

using namespace bvtest;

namespace {

// Collects what the download callback receives.
struct Download {
    std::mutex mutex;
    QByteArray bytes;
    bool finished = false;

    static void proc(const void *buffer, DWORD length, void *user)
    {
        auto *d = static_cast<Download *>(user);
        std::lock_guard lock(d->mutex);
        if (buffer && length)
            d->bytes.append(static_cast<const char *>(buffer), length);
        else
            d->finished = true;
    }
    QByteArray data() { std::lock_guard lock(mutex); return bytes; }
    bool done() { std::lock_guard lock(mutex); return finished; }
};

// A stream freed when it goes out of scope, before the callbacks' state declared earlier.
struct StreamGuard {
    HSTREAM handle;
    ~StreamGuard() { BASS_StreamFree(handle); }
    operator HSTREAM() const { return handle; }
};

HSTREAM openUrl(const QByteArray &url, DWORD offset = 0, Download *download = nullptr, const QByteArray &headers = {})
{
    return BASS_StreamCreateURL((url + "\r\n" + headers).constData(), offset, 0, download ? Download::proc : nullptr,
                                download);
}

} // namespace

class TestEngineNetwork : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_mp3;  // 4 s, 128 kbit/s, no tags: loops cleanly as a live body
    QByteArray m_wav;
    TestHttpServer *m_server = nullptr;

    QByteArray read(const QString &name) const { return readFile(m_dir.filePath(name)); }

    HttpResponse liveMp3(int burst = 32000) const
    {
        HttpResponse r = HttpResponse::liveMp3(m_mp3);
        r.burstBytes = burst;
        return r;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(makeTone(m_dir.filePath("tone.mp3"), 440, 4.0,
                         {"-c:a", "libmp3lame", "-b:a", "128k", "-write_xing", "0", "-id3v2_version", "0"}));
        QVERIFY(makeTone(m_dir.filePath("tone.wav"), 440, 2.0, {"-c:a", "pcm_s16le"}));
        m_mp3 = read("tone.mp3");
        m_wav = read("tone.wav");
    }

    void init()
    {
        m_server = new TestHttpServer;
        QVERIFY(m_server->port());
        BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 2000);
        BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 0);
        BASS_SetConfig(BASS_CONFIG_NET_BUFFER, 2000);
        BASS_SetConfig(BASS_CONFIG_NET_PREBUF, 50);
        BASS_SetConfig(BASS_CONFIG_NET_PREBUF_WAIT, 0);
        BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 1);
        QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
    }

    void cleanup()
    {
        BASS_Free();
        delete m_server;
    }

    void headerLinesArriveAsGiven()
    {
        m_server->setResponse("/file.wav", HttpResponse::of("audio/wav", m_wav));
        QVERIFY(openUrl(m_server->url("/file.wav"), 0, nullptr,
                        "User-Agent: Host/1.0\r\nAuthorization: Basic eDp5\r\n"));
        const HttpRequest request = m_server->requests("/file.wav").value(0);
        QCOMPARE(request.headers.value("user-agent"), QByteArray("Host/1.0"));
        QCOMPARE(request.headers.value("authorization"), QByteArray("Basic eDp5"));
        QCOMPARE(request.headers.value("icy-metadata"), QByteArray("1"));

        char agent[] = "Engine/2";
        QVERIFY(BASS_SetConfigPtr(BASS_CONFIG_NET_AGENT, agent));
        agent[0] = 'X'; // the engine keeps its own copy
        QVERIFY(openUrl(m_server->url("/file.wav")));
        QCOMPARE(m_server->requests("/file.wav").value(1).headers.value("user-agent"), QByteArray("Engine/2"));

        // Credentials (the URL's own, an Authorization or Cookie line) reach only their origin.
        TestHttpServer elsewhere;
        elsewhere.setResponse("/file.wav", HttpResponse::of("audio/wav", m_wav));
        m_server->setResponse("/here.wav", HttpResponse::redirect("/file.wav"));
        m_server->setResponse("/away.wav", HttpResponse::redirect(elsewhere.url("/file.wav")));
        for (const QByteArray &path : {QByteArray("/here.wav"), QByteArray("/away.wav")})
            QVERIFY(openUrl("http://user:pw@" + m_server->url(path).mid(7), 0, nullptr, "Cookie: c=1\r\n"));
        QCOMPARE(m_server->requests("/here.wav").value(0).headers.value("authorization"), QByteArray("Basic dXNlcjpwdw=="));
        const HttpRequest followed = m_server->requests("/file.wav").value(2);
        QCOMPARE(followed.headers.value("authorization"), QByteArray("Basic dXNlcjpwdw=="));
        QCOMPARE(followed.headers.value("cookie"), QByteArray("c=1"));
        const HttpRequest away = elsewhere.requests("/file.wav").value(0);
        QVERIFY(!away.headers.isEmpty());
        QVERIFY(!away.headers.contains("authorization") && !away.headers.contains("cookie"));
    }

    void failuresAreFastAndClear()
    {
        Stopwatch timer;
        QCOMPARE(failure(openUrl(m_server->url("/missing.mp3"))), BASS_ERROR_FILEOPEN);
        QCOMPARE(failure(openUrl("http://127.0.0.1:1/refused.mp3")), BASS_ERROR_FILEOPEN);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));

        // TLS against a plain HTTP server fails the handshake (time for an instrumented TLS start).
        BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 10000);
        const QByteArray tlsUrl = "https://127.0.0.1:" + QByteArray::number(m_server->port()) + "/x.mp3";
        QCOMPARE(failure(openUrl(tlsUrl)), BASS_ERROR_SSL);
        m_server->setResponse("/to-tls.mp3", HttpResponse::redirect(tlsUrl)); // plain http hands over to TLS
        QCOMPARE(failure(openUrl(m_server->url("/to-tls.mp3"))), BASS_ERROR_SSL);
        // The handshake failed, not the loading of the TLS module.
        QVERIFY(readFile("/proc/self/maps").contains("libbvaudio-curl.so"));

        m_server->setResponse("/page.html", HttpResponse::of("text/html", QByteArray("<html>hello</html>").repeated(500)));
        QCOMPARE(failure(openUrl(m_server->url("/page.html"))), BASS_ERROR_FILEFORM);

        m_server->setResponse("/silent.mp3", HttpResponse::silent());
        BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 300);
        timer.restart();
        QCOMPARE(failure(openUrl(m_server->url("/silent.mp3"))), BASS_ERROR_TIMEOUT);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    }

    // A file of known length: redirects followed, length and positions known, every block reported.
    void fileDownloadsInFull()
    {
        m_server->setResponse("/old.wav", HttpResponse::redirect(m_server->url("/file.wav")));
        m_server->setResponse("/file.wav", HttpResponse::of("audio/x-wav", m_wav));
        Download download;
        const StreamGuard stream{openUrl(m_server->url("/old.wav"), 0, &download)};
        QVERIFY2(stream, qPrintable(QString::number(BASS_ErrorGetCode())));
        QCOMPARE(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_END), QWORD(m_wav.size()));
        QTRY_COMPARE(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_BUFFER), QWORD(m_wav.size()));
        QTRY_VERIFY(download.done());
        QCOMPARE(download.data(), m_wav);
        QCOMPARE(failure(BASS_ChannelGetTags(stream, BASS_TAG_META)), BASS_ERROR_NOTAVAIL); // no ICY metadata
        QVERIFY(qAbs(BASS_ChannelBytes2Seconds(stream, BASS_ChannelGetLength(stream, BASS_POS_BYTE)) - 2.0) < 0.01);
        const QWORD target = BASS_ChannelSeconds2Bytes(stream, 1.5); // inside what has arrived
        QVERIFY(BASS_ChannelSetPosition(stream, target, BASS_POS_BYTE));
        QCOMPARE(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), target);

        // An offset asks for a range; a server that ignores it still gives data from the offset on.
        HttpResponse whole = HttpResponse::of("audio/mpeg", m_mp3);
        whole.honourRange = false;
        m_server->setResponse("/tone.mp3", whole);
        const DWORD offset = DWORD(m_mp3.size() / 2);
        Download part;
        const StreamGuard fromOffset{openUrl(m_server->url("/tone.mp3"), offset, &part)};
        QVERIFY2(fromOffset, qPrintable(QString::number(BASS_ErrorGetCode())));
        QCOMPARE(m_server->requests("/tone.mp3").value(0).headers.value("range"), "bytes=" + QByteArray::number(offset) + "-");
        QTRY_VERIFY(part.done());
        QCOMPARE(part.data(), m_mp3.mid(offset));
        QCOMPARE(BASS_StreamGetFilePosition(fromOffset, BASS_FILEPOS_BUFFER), QWORD(m_mp3.size() - offset));
    }

    // Short files (audio ads): the decoded length is exact once the stream exists, and position
    // syncs anywhere, set in any order, fire once each on time, the one at the very end included.
    void fileLengthAndPositionSyncs_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<int>("toleranceSamples"); // MP3 exact; AAC's padding after the audio is not announced
        QTest::newRow("mp3 vbr, Xing header") << QStringList{"-c:a", "libmp3lame", "-q:a", "4", "-f", "mp3"} << QByteArray("audio/mpeg") << 0;
        QTest::newRow("mp3 cbr, no header") << QStringList{"-c:a", "libmp3lame", "-b:a", "96k", "-write_xing", "0", "-f", "mp3"}
                                            << QByteArray("audio/mpeg") << 0;
        QTest::newRow("m4a") << QStringList{"-c:a", "aac", "-f", "ipod"} << QByteArray("audio/mp4") << 1024;
    }

    void fileLengthAndPositionSyncs()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, contentType);
        QFETCH(int, toleranceSamples);
        QVERIFY(makeTone(m_dir.filePath("ad"), 880, 0.65, args));
        QVERIFY(runFfmpeg({"-i", m_dir.filePath("ad"), "-f", "s16le", m_dir.filePath("ad.pcm")}));
        const QWORD decoded = QFileInfo(m_dir.filePath("ad.pcm")).size();
        m_server->setResponse("/ad", HttpResponse::of(contentType, read("ad")));
        std::deque<SyncLog> hits(6); // one for each position below
        SyncLog ends;
        const StreamGuard stream{openUrl(m_server->url("/ad"))};
        QVERIFY2(stream, qPrintable(QString::number(BASS_ErrorGetCode())));
        const QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
        QVERIFY2(qAbs(qint64(length) - qint64(decoded)) <= toleranceSamples * 4,
                 qPrintable(QString("%1 bytes, decoded %2").arg(length).arg(decoded)));
        const QList<QWORD> positions{length, length / 2, 0, length - 4, length / 4, length / 2 + 4};
        for (int i = 0; i < positions.size(); ++i)
            QVERIFY(hits[i].watch(stream, BASS_SYNC_POS, positions[i]));
        QVERIFY(ends.watch(stream, BASS_SYNC_END));
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(ends.count(), 1, 3000);
        const double bytesPerSecond = BASS_ChannelSeconds2Bytes(stream, 1.0);
        const SyncLog &atStart = hits[positions.indexOf(0)];
        for (int i = 0; i < positions.size(); ++i) {
            QCOMPARE(hits[i].count(), 1);
            const double expectedMs = double(positions[i]) / bytesPerSecond * 1000.0;
            const double firedMs = hits[i].msAfter(atStart.time(0));
            QVERIFY2(qAbs(firedMs - expectedMs) < 20.0, qPrintable(QString("%1 ms vs %2 ms").arg(firedMs).arg(expectedMs)));
        }
    }

    // A server that stops sending stalls the channel; data coming back resumes it.
    void pausedServerStallsAndResumes()
    {
        HttpResponse live = liveMp3(16000); // a second of audio, then a pause, then four times real time
        live.pauseAfterBytes = 16000;
        live.pauseMs = 1500;
        live.bytesPerSecond = 64000;
        m_server->setResponse("/live", live);
        SyncLog stalls;
        const StreamGuard stream{openUrl(m_server->url("/live"))};
        QVERIFY2(stream, qPrintable(QString::number(BASS_ErrorGetCode())));
        QCOMPARE(BASS_ChannelGetLength(stream, BASS_POS_BYTE), QWORD(-1));
        QCOMPARE(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_END), QWORD(-1));
        QVERIFY(stalls.watch(stream, BASS_SYNC_STALL));
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_VERIFY_WITH_TIMEOUT(stalls.data().contains(0), 6000);
        QCOMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_STALLED));
        QTRY_COMPARE_WITH_TIMEOUT(stalls.data().last(), DWORD(1), 5000);
        QCOMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_PLAYING));
    }

    // A connection dropped (or by the read time-out) after a second of audio is tried three times;
    // when the tries fail (no answer, or a few bytes and a close) the channel plays out what it has.
    void failedReconnectsEnd_data()
    {
        QTest::addColumn<int>("readTimeout");
        QTest::addColumn<bool>("answers");
        QTest::newRow("drop, no answer") << 0 << false;
        QTest::newRow("read time-out, a few bytes each") << 300 << true;
    }

    void failedReconnectsEnd()
    {
        QFETCH(int, readTimeout);
        QFETCH(bool, answers);
        BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, DWORD(readTimeout));
        HttpResponse first = liveMp3(16000);
        (readTimeout ? first.pauseAfterBytes : first.dropAfterBytes) = 16000;
        first.pauseMs = 60000;
        m_server->setResponse("/live", first);
        Download download;
        SyncLog ends;
        const StreamGuard stream{openUrl(m_server->url("/live"), 0, &download)};
        QVERIFY(stream);
        HttpResponse failing = liveMp3(0);
        failing.neverAnswer = !answers;
        failing.dropAfterBytes = 100;
        m_server->setResponse("/live", failing);
        BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 200);
        QVERIFY(ends.watch(stream, BASS_SYNC_END));
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_VERIFY_WITH_TIMEOUT(download.done(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(ends.count(), 1, 3000);
        QCOMPARE(download.data().left(16000), m_mp3.left(16000));
        QCOMPARE(m_server->requests("/live").size(), 4); // the stream and three tries
    }

    // A dropped live connection is made again while the buffer plays on: the channel never stalls.
    void droppedLiveStreamReconnects()
    {
        HttpResponse dropping = liveMp3(); // 2 s ahead at the drop: the reconnect has time
        dropping.dropAfterBytes = 48000;
        m_server->setResponse("/live", dropping);
        const DWORD reconnectsBefore = BASS_GetConfig(BASS_CONFIG_NET_RECONNECTS);
        SyncLog stalls, ends, reconnects;
        const StreamGuard stream{openUrl(m_server->url("/live"))};
        QVERIFY(stream);
        QVERIFY(stalls.watch(stream, BASS_SYNC_STALL));
        QVERIFY(ends.watch(stream, BASS_SYNC_END));
        QVERIFY(reconnects.watch(stream, BASS_SYNC_NET_RECONNECT));
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        // A reconnect counts with the new connection's first data, which waits while the buffer is full.
        QTRY_VERIFY_WITH_TIMEOUT(reconnects.count() >= 2, 10000);
        QTest::qWait(200);
        QVERIFY(m_server->requests("/live").size() >= 3);
        QCOMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_PLAYING));
        QVERIFY2(!stalls.data().contains(0), "stalled");
        QCOMPARE(ends.count(), 0);
        QCOMPARE(BASS_GetConfig(BASS_CONFIG_NET_RECONNECTS) - reconnectsBefore, DWORD(reconnects.count()));
    }

    void icyTitles_data()
    {
        QTest::addColumn<QByteArray>("statusLine");
        QTest::addColumn<bool>("chunked");
        QTest::newRow("HTTP/1.1") << QByteArray() << false;
        QTest::newRow("ICY 200 OK") << QByteArray("ICY 200 OK") << false;
        QTest::newRow("chunked") << QByteArray() << true;
    }

    // Titles reach the tag and META syncs in order, in UTF-8, and no metadata byte reaches the audio.
    void icyTitles()
    {
        QFETCH(QByteArray, statusLine);
        QFETCH(bool, chunked);
        HttpResponse live = liveMp3(16000);
        live.statusLine = statusLine;
        live.chunked = chunked;
        live.icyMetaInt = 4000;
        // The second title half a second after the burst (creation has returned), the third in Latin-1.
        const QByteArray guns = "Guns N' Roses - Sweet Child O' Mine", sigur = "Sigur R\xc3\xb3s - Hopp\xc3\xadpolla";
        live.titles = {guns, guns, guns, guns, guns, sigur, sigur, "Bj\xf6rk - J\xf3ga"};
        m_server->setResponse("/live", live);
        Download download;
        SyncLog titles;
        const StreamGuard stream{openUrl(m_server->url("/live"), 0, &download)};
        QVERIFY2(stream, qPrintable(QString::number(BASS_ErrorGetCode())));
        QVERIFY(titles.watch(stream, BASS_SYNC_META));
        const auto meta = [](const QByteArray &title) { return "StreamTitle='" + title + "';StreamUrl='';"; };
        const QList<QByteArray> later = {meta(sigur), meta("Bj\xc3\xb6rk - J\xc3\xb3ga")};
        QTRY_COMPARE(QByteArray(BASS_ChannelGetTags(stream, BASS_TAG_META)).isEmpty(), false);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(titles.tags(2), later, 8000);
        // The first title may have come before the sync was set; then it was only the tag.
        const QList<QByteArray> seen = titles.tags();
        QVERIFY2(seen == later || seen == QList<QByteArray>{meta(guns)} + later, seen.join('|').constData());
        QCOMPARE(QByteArray(BASS_ChannelGetTags(stream, BASS_TAG_META)), later.last());
        const QByteArray audio = download.data();
        QVERIFY(audio.size() > 8 * 4000);
        QCOMPARE(audio, m_mp3.repeated(audio.size() / m_mp3.size() + 1).left(audio.size()));
    }

    // A live icecast2 mount plays; a title set through its admin call reaches the tag and META sync in UTF-8.
    void icecastMountShowsTitles()
    {
        const QByteArray server = qgetenv("BV_ICECAST"), mount = qgetenv("BV_ICECAST_MOUNT");
        if (server.isEmpty())
            QSKIP("no icecast2 test mount (scripts/services.sh start)");
        const auto setTitle = [&](const QString &title) {
            const QByteArray admin = server.left(7) + "admin:brevant@" + server.mid(7) + "/admin/metadata?mount=" + mount
                                     + "&mode=updinfo&song=" + QUrl::toPercentEncoding(title);
            return QProcess::execute("curl", {"-sf", "-o", "/dev/null", "--max-time", "5", QString::fromLatin1(admin)}) == 0;
        };
        QVERIFY(setTitle("Guns N' Roses - Sweet Child O' Mine"));
        SyncLog titles;
        const StreamGuard stream{openUrl(server + mount)};
        QVERIFY2(stream, qPrintable(QString::number(BASS_ErrorGetCode())));
        QVERIFY(titles.watch(stream, BASS_SYNC_META));
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_PLAYING), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(QByteArray(BASS_ChannelGetTags(stream, BASS_TAG_META)),
                                  QByteArray("StreamTitle='Guns N' Roses - Sweet Child O' Mine';"), 10000);
        QVERIFY(setTitle(QString::fromUtf8("Sigur Rós - Hoppípolla")));
        QTRY_COMPARE_WITH_TIMEOUT(titles.tags(1), QList<QByteArray>{"StreamTitle='Sigur R\xc3\xb3s - Hopp\xc3\xadpolla';"},
                                  10000);
    }
};

QTEST_GUILESS_MAIN(TestEngineNetwork)
#include "tst_enginenetwork.moc"
