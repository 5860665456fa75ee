// The engine against hostile servers and careless input: where media may come
// from, budgets in bytes, time and count, and answers that once crashed it.
#include "bass.h"
#include "processmemory.h"
#include "synclog.h"
#include "testhttpserver.h"
#include "testmedia.h"

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

} // namespace

class TestEngineHostile : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    TestHttpServer *m_server = nullptr;

    QByteArray localWav() const { return m_dir.filePath("tone.wav").toUtf8(); }

private slots:
    void initTestCase()
    {
        QVERIFY(makeTone(m_dir.filePath("tone.mp3"), 440, 2.0, {"-c:a", "libmp3lame", "-b:a", "128k"}));
        QVERIFY(makeTone(m_dir.filePath("tone.ogg"), 440, 2.0, {"-c:a", "libopus"}, 48000));
        QVERIFY(makeTone(m_dir.filePath("tone.wav"), 440, 1.0, {"-c:a", "pcm_s16le"}));
        QVERIFY(makeTone(m_dir.filePath("tone.ts"), 440, 1.0, {"-c:a", "aac", "-f", "mpegts"}));
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

    void refusedAtOnce_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("fillerHeaders"); // of 1000 bytes each
        QTest::addColumn<int>("error");
        const QByteArray m3u("audio/x-mpegurl"), pls("audio/x-scpls");
        const int open = BASS_ERROR_FILEOPEN;
        // A list fetched over HTTP never opens a local file, even one that would play.
        QTest::newRow("pls, path") << pls << QByteArray("[playlist]\nFile1=%WAV%\n") << 200 << 0 << open;
        QTest::newRow("pls, file url") << pls << QByteArray("[playlist]\nFile1=file://%WAV%\n") << 200 << 0 << open;
        QTest::newRow("m3u, fifo and device") << m3u << QByteArray("%FIFO%\n/dev/urandom\n") << 200 << 0 << open;
        QTest::newRow("relative entry") << m3u << QByteArray("tone.wav\n") << 200 << 0 << open;
        // Nor is a media playlist with a file segment handed to a nested playlist reader.
        QTest::newRow("hls with a file segment")
            << QByteArray("application/vnd.apple.mpegurl")
            << QByteArray("#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:1\n#EXTINF:1.0,\nfile://%TS%\n#EXT-X-ENDLIST\n") << 200 << 0
            << BASS_ERROR_FILEFORM;
        QTest::newRow("redirect without location")
            << QByteArray("text/html") << QByteArray("<html>moved</html>").repeated(100) << 302 << 0 << open;
        // Hundreds of kilobytes of response headers end the request at once.
        QTest::newRow("header flood") << QByteArray("audio/mpeg") << QByteArray(2000, '\xff') << 200 << 200
                                      << BASS_ERROR_UNSTREAMABLE;
    }

    void refusedAtOnce()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(int, fillerHeaders);
        body.replace("%WAV%", localWav()).replace("%FIFO%", m_dir.filePath("fifo").toUtf8());
        HttpResponse response = HttpResponse::of(contentType, body.replace("%TS%", m_dir.filePath("tone.ts").toUtf8()));
        response.status = status;
        for (int i = 0; i < fillerHeaders; ++i)
            response.headers.append(qMakePair("X-Filler-" + QByteArray::number(i), QByteArray(1000, 'x')));
        m_server->setResponse("/answer", response);
        const Stopwatch timer;
        QTEST(failure(openUrl(m_server->url("/answer"))), "error");
        QVERIFY2(timer.elapsed() < 1000, QByteArray::number(timer.elapsed()));
    }

    // The host's own list file may name local files (in mode 2; a dead entry is passed over);
    // the host's paths must name regular files: a FIFO would block the caller, a device would never end.
    void hostPaths()
    {
        const QByteArray list = m_dir.filePath("local.m3u").toUtf8();
        QVERIFY(writeFile(list, "#EXTM3U\n" + m_dir.filePath("missing.wav").toUtf8() + "\n" + localWav() + "\n"));
        BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 1); // files follow lists only in mode 2
        QCOMPARE(BASS_StreamCreateFile(FALSE, list.constData(), 0, 0, 0), 0u);
        BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 2);
        QVERIFY2(BASS_StreamCreateFile(FALSE, list.constData(), 0, 0, 0), QByteArray::number(BASS_ErrorGetCode()));
        const Stopwatch timer;
        const QByteArray fifo = m_dir.filePath("fifo").toUtf8();
        QCOMPARE(failure(BASS_StreamCreateFile(FALSE, fifo.constData(), 0, 0, 0)), BASS_ERROR_FILEOPEN);
        QCOMPARE(failure(BASS_StreamCreateFile(FALSE, "/dev/urandom", 0, 0, 0)), BASS_ERROR_FILEOPEN);
        QVERIFY2(timer.elapsed() < 1000, QByteArray::number(timer.elapsed()));
    }

    // Endless zeros served as audio: detection gives up within the deadline and memory stays flat.
    void endlessJunkIsBounded()
    {
        HttpResponse zeros = HttpResponse::of("audio/mpeg", QByteArray(64 * 1024, '\0'));
        zeros.live = true;
        m_server->setResponse("/zeros", zeros);
        const double peakBefore = resetPeakMemory();
        const Stopwatch timer;
        QCOMPARE(openUrl(m_server->url("/zeros")), 0u);
        QVERIFY2(timer.elapsed() < 3500, QByteArray::number(timer.elapsed()));
        BV_VERIFY_MEMORY_GROWTH(memoryMiB("VmHWM:") - peakBefore, 48);
    }

    // A 2 GB file of zeros (sparse: no disk used) fails at once instead of being read through,
    // with what every decoder tried holds of it bounded (their libraries loaded before).
    void hugeEmptyFileIsBounded()
    {
        const QByteArray sparse = m_dir.filePath("zeros.mp3").toUtf8();
        QVERIFY(writeFile(sparse, QByteArray(4096, '\0')));
        QCOMPARE(BASS_StreamCreateFile(FALSE, sparse.constData(), 0, 0, 0), 0u);
        QVERIFY(QFile::resize(sparse, qint64(2) << 30));
        const double peakBefore = resetPeakMemory();
        const Stopwatch timer;
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, sparse.constData(), 0, 0, 0);
        if (stream) { // opened: it must end soon when played, having decoded nothing
            QVERIFY(BASS_ChannelPlay(stream, FALSE));
            QTRY_COMPARE_WITH_TIMEOUT(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_STOPPED), 3000);
        }
        QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));
        BV_VERIFY_MEMORY_GROWTH(memoryMiB("VmHWM:") - peakBefore, 24);
    }

    // Neither a declared 10 GB length nor an impossible bit rate header sizes what is downloaded ahead.
    void downloadAheadIsBounded_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("capKiB");
        QTest::newRow("10 GB declared") << "tone.mp3" << QByteArray("Content-Length") << QByteArray("10737418240")
                                        << 9 * 1024;
        // The live cap, plus one socket read that found room and the FFmpeg decoder's read buffer.
        QTest::newRow("impossible bit rate") << "tone.ogg" << QByteArray("icy-br") << QByteArray("4294967295")
                                             << 2 * 1024 + 64 + 32;
    }

    void downloadAheadIsBounded()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, value);
        QFETCH(int, capKiB);
        HttpResponse huge = HttpResponse::of(file.endsWith(".mp3") ? "audio/mpeg" : "application/ogg",
                                             readFile(m_dir.filePath(file)));
        huge.headers.append(qMakePair(header, value));
        huge.live = true;
        m_server->setResponse("/huge", huge);
        const double before = memoryMiB("VmRSS:");
        const HSTREAM stream = openUrl(m_server->url("/huge"));
        QVERIFY2(stream, QByteArray::number(BASS_ErrorGetCode()));
        if (header == "Content-Length")
            QCOMPARE(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_END), QWORD(value.toULongLong()));
        QTest::qWait(1000);
        const QWORD ahead = BASS_StreamGetFilePosition(stream, BASS_FILEPOS_BUFFER)
                            - BASS_StreamGetFilePosition(stream, BASS_FILEPOS_CURRENT);
        QVERIFY2(ahead <= QWORD(capKiB) * 1024, QByteArray::number(ahead));
        BV_VERIFY_MEMORY_GROWTH(memoryMiB("VmRSS:") - before, 40);
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
        const Stopwatch timer;
        QCOMPARE(failure(openUrl(m_server->url("/silent.m3u"))), BASS_ERROR_TIMEOUT);
        QVERIFY2(timer.elapsed() < 1600, QByteArray::number(timer.elapsed()));
    }
};

QTEST_GUILESS_MAIN(TestEngineHostile)
#include "tst_enginehostile.moc"
