// The engine against hostile servers and careless input: where media may come
// from, budgets in bytes, time and count, and answers that once crashed it.
#include "bass.h"
#include "processmemory.h"
#include "testhttpserver.h"
#include "testmedia.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace bvtest;

namespace {

HSTREAM openUrl(const QByteArray &url)
{
    return BASS_StreamCreateURL((url + "\r\n").constData(), 0, 0, nullptr, nullptr);
}


struct StreamGuard {
    HSTREAM handle;
    ~StreamGuard() { BASS_StreamFree(handle); }
};

QByteArray errorText()
{
    return QByteArray::number(BASS_ErrorGetCode());
}

} // namespace

class TestEngineHostile : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_mp3;
    QByteArray m_ogg;
    QByteArray m_wav;
    TestHttpServer *m_server = nullptr;

    QByteArray read(const QString &name) const { return readFile(m_dir.filePath(name)); }

    QByteArray localWav() const { return m_dir.filePath("tone.wav").toUtf8(); }

private slots:
    void initTestCase()
    {
        QVERIFY(makeTone(m_dir.filePath("tone.mp3"), 440, 2.0, {"-c:a", "libmp3lame", "-b:a", "128k"}));
        QVERIFY(makeTone(m_dir.filePath("tone.ogg"), 440, 2.0, {"-c:a", "libopus"}, 48000));
        QVERIFY(makeTone(m_dir.filePath("tone.wav"), 440, 1.0, {"-c:a", "pcm_s16le"}));
        QVERIFY(makeTone(m_dir.filePath("tone.ts"), 440, 1.0, {"-c:a", "aac", "-f", "mpegts"}));
        m_mp3 = read("tone.mp3");
        m_ogg = read("tone.ogg");
        m_wav = read("tone.wav");
        QVERIFY(::mkfifo(qPrintable(m_dir.filePath("fifo")), 0600) == 0);
    }

    void init()
    {
        m_server = new TestHttpServer;
        QVERIFY(m_server->port());
        BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 3000);
        BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 0);
        BASS_SetConfig(BASS_CONFIG_NET_BUFFER, 2000);
        BASS_SetConfig(BASS_CONFIG_NET_PREBUF_WAIT, 0);
        BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 2);
        QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
    }

    void cleanup()
    {
        BASS_Free();
        delete m_server;
    }

    // ---- where media may come from ----

    void remoteListsNameNetworkStreamsOnly_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("list");
        QTest::newRow("pls, path") << QByteArray("audio/x-scpls") << QByteArray("[playlist]\nFile1=%WAV%\n");
        QTest::newRow("pls, file url") << QByteArray("audio/x-scpls") << QByteArray("[playlist]\nFile1=file://%WAV%\n");
        QTest::newRow("m3u, fifo and device") << QByteArray("audio/x-mpegurl") << QByteArray("%FIFO%\n/dev/urandom\n");
        QTest::newRow("extended m3u, path") << QByteArray("text/plain") << QByteArray("#EXTM3U\n#EXTINF:-1,x\n%WAV%\n");
        QTest::newRow("relative entry") << QByteArray("audio/x-mpegurl") << QByteArray("tone.wav\n");
    }

    // A list fetched over HTTP never opens a local file, even one that would play.
    void remoteListsNameNetworkStreamsOnly()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, list);
        list.replace("%WAV%", localWav()).replace("%FIFO%", m_dir.filePath("fifo").toUtf8());
        m_server->setResponse("/list", HttpResponse::of(contentType, list));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(openUrl(m_server->url("/list")), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
        QVERIFY2(timer.elapsed() < 1000, QByteArray::number(timer.elapsed()));
    }

    // The host's own list file may name local files; network entries of it stay network-only below.
    void localListsMayNameLocalFiles()
    {
        QFile list(m_dir.filePath("local.m3u"));
        QVERIFY(list.open(QIODevice::WriteOnly));
        list.write("#EXTM3U\n" + localWav() + "\n");
        list.close();
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, list.fileName().toUtf8().constData(), 0, 0, 0);
        StreamGuard guard{stream};
        QVERIFY2(stream, errorText());
    }

    // Only regular files: a FIFO would block the caller, a device would never end.
    void hostPathsMustBeRegularFiles()
    {
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(BASS_StreamCreateFile(FALSE, qPrintable(m_dir.filePath("fifo")), 0, 0, 0), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
        QCOMPARE(BASS_StreamCreateFile(FALSE, "/dev/urandom", 0, 0, 0), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
        QVERIFY2(timer.elapsed() < 1000, QByteArray::number(timer.elapsed()));
    }

    // A media playlist with a file segment is not handed to a nested playlist reader.
    void noNestedPlaylistReader()
    {
        const QByteArray playlist = "#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:1\n#EXTINF:1.0,\nfile://"
                                    + m_dir.filePath("tone.ts").toUtf8() + "\n#EXT-X-ENDLIST\n";
        m_server->setResponse("/media.m3u8", HttpResponse::of("application/vnd.apple.mpegurl", playlist));
        QCOMPARE(openUrl(m_server->url("/media.m3u8")), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FILEFORM);
    }

    // ---- budgets ----

    // Endless zeros served as audio: detection gives up within the deadline and memory stays flat.
    void endlessJunkIsBounded()
    {
        HttpResponse zeros = HttpResponse::of("audio/mpeg", QByteArray(64 * 1024, '\0'));
        zeros.live = true;
        m_server->setResponse("/zeros", zeros);
        const double peakBefore = resetPeakMemory();
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(openUrl(m_server->url("/zeros")), 0u);
        QVERIFY2(timer.elapsed() < 3500, QByteArray::number(timer.elapsed()));
        BV_VERIFY_MEMORY_GROWTH(memoryMiB("VmHWM:") - peakBefore, 48);
    }

    // A 2 GB file of zeros (sparse: no disk used) fails at once instead of being read through,
    // with what every decoder tried holds of it bounded (their libraries loaded before).
    void hugeEmptyFileIsBounded()
    {
        QFile sparse(m_dir.filePath("zeros.mp3"));
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.resize(4096));
        sparse.close();
        QCOMPARE(BASS_StreamCreateFile(FALSE, sparse.fileName().toUtf8().constData(), 0, 0, 0), 0u);
        QVERIFY(sparse.resize(qint64(2) << 30));
        const double peakBefore = resetPeakMemory();
        QElapsedTimer timer;
        timer.start();
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, sparse.fileName().toUtf8().constData(), 0, 0, 0);
        StreamGuard guard{stream};
        if (stream) { // opened: it must end soon when played, having decoded nothing
            QVERIFY(BASS_ChannelPlay(stream, FALSE));
            QTRY_COMPARE_WITH_TIMEOUT(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_STOPPED), 3000);
        }
        QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));
        BV_VERIFY_MEMORY_GROWTH(memoryMiB("VmHWM:") - peakBefore, 24);
    }

    // A declared length of 10 GB is downloaded into a bounded window, not into memory.
    void hugeDeclaredLengthIsWindowed()
    {
        HttpResponse huge;
        huge.headers = {{"Content-Type", "audio/mpeg"}, {"Content-Length", "10737418240"}};
        huge.body = m_mp3;
        huge.live = true;
        m_server->setResponse("/huge.mp3", huge);
        const double before = memoryMiB("VmRSS:");
        const HSTREAM stream = openUrl(m_server->url("/huge.mp3"));
        StreamGuard guard{stream};
        QVERIFY2(stream, errorText());
        QCOMPARE(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_END), QWORD(10737418240));
        QTest::qWait(1500);
        const QWORD ahead = BASS_StreamGetFilePosition(stream, BASS_FILEPOS_BUFFER)
                            - BASS_StreamGetFilePosition(stream, BASS_FILEPOS_CURRENT);
        QVERIFY2(ahead <= 9 * 1024 * 1024, QByteArray::number(ahead));
        BV_VERIFY_MEMORY_GROWTH(memoryMiB("VmRSS:") - before, 40);
    }

    // A bit rate header that claims the impossible does not size the live buffer.
    void liveBufferHasAHardCap()
    {
        HttpResponse live = HttpResponse::of("application/ogg", m_ogg);
        live.headers.append(qMakePair(QByteArray("icy-br"), QByteArray("4294967295")));
        live.live = true;
        m_server->setResponse("/live.ogg", live);
        const HSTREAM stream = openUrl(m_server->url("/live.ogg"));
        StreamGuard guard{stream};
        QVERIFY2(stream, errorText());
        QTest::qWait(1000);
        const QWORD ahead = BASS_StreamGetFilePosition(stream, BASS_FILEPOS_BUFFER)
                            - BASS_StreamGetFilePosition(stream, BASS_FILEPOS_CURRENT);
        QVERIFY2(ahead <= 2 * 1024 * 1024 + 64 * 1024, QByteArray::number(ahead));
    }

    // Hundreds of kilobytes of response headers end the request at once.
    void headerFloodIsRefused()
    {
        HttpResponse flood = HttpResponse::of("audio/mpeg", m_mp3);
        for (int i = 0; i < 200; ++i)
            flood.headers.append(qMakePair("X-Filler-" + QByteArray::number(i), QByteArray(1000, 'x')));
        m_server->setResponse("/flood.mp3", flood);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(openUrl(m_server->url("/flood.mp3")), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
        QVERIFY2(timer.elapsed() < 1000, QByteArray::number(timer.elapsed()));
    }

    // A list that names itself is read once; a creation opens a bounded number of locations.
    void listFollowingIsCounted()
    {
        const QByteArray self = m_server->url("/loop.m3u") + "\n";
        m_server->setResponse("/loop.m3u", HttpResponse::of("audio/x-mpegurl", self.repeated(8)));
        QByteArray many;
        for (int i = 0; i < 50; ++i)
            many += m_server->url("/missing" + QByteArray::number(i) + ".mp3") + "\n";
        m_server->setResponse("/many.m3u", HttpResponse::of("audio/x-mpegurl", many));
        QCOMPARE(openUrl(m_server->url("/loop.m3u")), 0u);
        QCOMPARE(m_server->requests("/loop.m3u").size(), 1);
        QCOMPARE(openUrl(m_server->url("/many.m3u")), 0u);
        int requested = 0;
        for (int i = 0; i < 50; ++i)
            requested += int(m_server->requests("/missing" + QByteArray::number(i) + ".mp3").size());
        QCOMPARE(requested, 7); // eight locations in all, the list itself among them
    }

    // Silent entries share one deadline for the whole creation.
    void silentEntriesShareOneDeadline()
    {
        QByteArray list;
        for (int i = 0; i < 5; ++i) {
            m_server->setResponse("/silent" + QByteArray::number(i), HttpResponse::silent());
            list += m_server->url("/silent" + QByteArray::number(i)) + "\n";
        }
        m_server->setResponse("/silent.m3u", HttpResponse::of("audio/x-mpegurl", list));
        BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 1000);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(openUrl(m_server->url("/silent.m3u")), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_TIMEOUT);
        QVERIFY2(timer.elapsed() < 1600, QByteArray::number(timer.elapsed()));
    }

    // ---- answers that once crashed or misled the engine ----

    void redirectWithoutLocationIsAnError()
    {
        HttpResponse moved = HttpResponse::of("text/html", QByteArray("<html>moved</html>").repeated(100));
        moved.status = 302;
        m_server->setResponse("/moved", moved);
        QCOMPARE(openUrl(m_server->url("/moved")), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
    }

    // Blanks and other bytes a URL cannot carry are sent percent-encoded.
    void urlIsSentEncoded()
    {
        m_server->setResponse("/with%20space%C3%A9.wav", HttpResponse::of("audio/wav", m_wav));
        const HSTREAM stream = openUrl(m_server->url("/with space\xc3\xa9.wav"));
        StreamGuard guard{stream};
        QVERIFY2(stream, errorText());
    }
};

QTEST_GUILESS_MAIN(TestEngineHostile)
#include "tst_enginehostile.moc"
