// BVPlayer end to end on the real engine and the test server: states, titles, bitrates, seeks, retries.
#include "bass.h"
#include "bvbass.h"
#include "bvnetworkaccessmanager.h"
#include "bvplayer.h"
#include "manualclock.h"
#include "privatepulseserver.h"
#include "testhttpserver.h"
#include "testmedia.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace bvtest;

class TestBVPlayer : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_liveMp3; // no tags: loops cleanly
    TestHttpServer *m_server = nullptr;

    QUrl url(const QByteArray &path) const { return QUrl(QString::fromLatin1(m_server->url(path))); }

    HttpResponse live(const QList<QByteArray> &titles = {}) const { return HttpResponse::liveMp3(m_liveMp3, titles); }

private slots:
    void initTestCase()
    {
        BVBass::outputDevice = 0;
        QVERIFY(makeTone(m_dir.filePath("live.mp3"), 440, 4.0,
                         {"-c:a", "libmp3lame", "-b:a", "128k", "-write_xing", "0", "-id3v2_version", "0"}));
        QVERIFY(makeTone(m_dir.filePath("long.mp3"), 440, 10.0, {"-c:a", "libmp3lame", "-b:a", "128k"}));
        m_liveMp3 = readFile(m_dir.filePath("live.mp3"));
    }

    void init() { m_server = new TestHttpServer; }
    void cleanup() { delete m_server; }

    // stopped -> stalled -> playing; the ICY title reaches meta; pause of a live stream releases the channel;
    // a dropped stream starts again. The engine opens it alone, with the manager's identity and the server's bitrate.
    void liveStream()
    {
        m_server->setResponse("/live", live({"Artist - First", "Artist - Second"}));
        BVNetworkAccessManager nam;
        nam.setReferer("http://host.test/");
        BVPlayer player(&nam);
        player.play(); // no URL: stays stopped
        QCOMPARE(player.state(), BVPlayerSource::StoppedState);
        player.play(url("/live"));
        QCOMPARE(player.state(), BVPlayerSource::StalledState); // before the engine answers
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), BVPlayerSource::PlayingState, 10000);
        QCOMPARE(m_server->requests("/live").size(), 1); // no playlist request for a plain stream
        for (const HttpRequest &request : m_server->requests("/live")) {
            QCOMPARE(request.headers.value("user-agent"), nam.userAgent().toUtf8());
            QCOMPARE(request.headers.value("referer"), QByteArray("http://host.test/"));
        }
        QVERIFY(player.stream() != 0);
        QVERIFY(!player.isSeekable());
        QCOMPARE(player.currentBitrate(), 128000u);
        QCOMPARE(player.currentQuality(), BVPlayerSource::HighQuality);
        QTRY_VERIFY_WITH_TIMEOUT(player.meta().startsWith("StreamTitle='Artist - "), 10000);

        player.pause();
        QCOMPARE(player.state(), BVPlayerSource::PausedState);
        QCOMPARE(player.stream(), 0u);
        QCOMPARE(player.meta(), QString());
        const qsizetype requests = m_server->requests("/live").size();
        player.play();
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), BVPlayerSource::PlayingState, 10000);
        QVERIFY(m_server->requests("/live").size() > requests); // parsed and opened again
        player.stop();
        QCOMPARE(player.state(), BVPlayerSource::StoppedState);

        // A live stream that drops is restarted at once: two more requests, parser and engine.
        HttpResponse dropping = live();
        dropping.dropAfterBytes = 24000; // 1.5 s of sound, inside the burst
        m_server->setResponse("/live", dropping);
        QSignalSpy ended(&player, &BVPlayerSource::ended);
        const qsizetype beforeDrop = m_server->requests("/live").size();
        player.play(url("/live"));
        QTRY_VERIFY_WITH_TIMEOUT(m_server->requests("/live").size() >= beforeDrop + 4, 15000);
        QCOMPARE(ended.size(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), BVPlayerSource::PlayingState, 10000);
    }

    // A local file: volume (at the start without a fade), ducking, level, seeks (none to or past the end),
    // rate, pause in place, and its end even with isRestarted; the last player gone, the engine is freed.
    void localFile()
    {
        {
            BVPlayer player;
            QSignalSpy ended(&player, &BVPlayerSource::ended);
            player.setVolume(0.5);
            player.play(QUrl::fromLocalFile(m_dir.filePath("long.mp3"))); // 10 s
            QTRY_COMPARE(player.state(), BVPlayerSource::PlayingState);
            QVERIFY(player.isSeekable());
            QVERIFY2(qAbs(player.length() - 10.0) < 0.1, qPrintable(QString::number(player.length())));
            const quint32 channel = player.stream();
            float value = 0;
            QVERIFY(BASS_ChannelGetAttribute(channel, BASS_ATTRIB_VOL, &value) && value == 0.5f);
            player.setDuckVolume(true);
            QTRY_VERIFY(BASS_ChannelGetAttribute(channel, BASS_ATTRIB_VOL, &value) && qAbs(value - 0.1f) < 1e-4f);
            player.setIsUpdatesLevel(true);
            QTRY_VERIFY(player.level() > 0.05); // the level is measured before the volume

            player.pushPosition(3.0);
            QTRY_VERIFY(player.position() >= 3.0);
            player.skipBackward(10.0); // clamps to 0
            QTRY_VERIFY(player.position() < 1.0);
            player.setPosition(20.0);  // past the end
            player.skipForward(100.0); // min(position + 100, length) = length
            QTest::qWait(300);
            QCOMPARE(player.state(), BVPlayerSource::PlayingState);
            QVERIFY2(player.position() < 2.0, qPrintable(QString::number(player.position())));

            player.setPlaybackRate(2.0);
            QVERIFY(BASS_ChannelGetAttribute(channel, BASS_ATTRIB_FREQ, &value) && value == 88200.0f);
            player.setPlaybackRate(0.0); // refused: the channel keeps its rate
            QVERIFY(BASS_ChannelGetAttribute(channel, BASS_ATTRIB_FREQ, &value) && value == 88200.0f);

            player.pause();
            QCOMPARE(player.state(), BVPlayerSource::PausedState);
            player.play();
            QCOMPARE(player.state(), BVPlayerSource::PlayingState);
            QCOMPARE(player.stream(), channel);
            player.pushPosition(8.5);
            QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 5000);
            QCOMPARE(player.state(), BVPlayerSource::StoppedState);
            QVERIFY(BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr) != 0);
        }
        QCOMPARE(BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_INIT);
        BVPlayer next;
        next.play(QUrl::fromLocalFile(m_dir.filePath("long.mp3")));
        QTRY_COMPARE(next.state(), BVPlayerSource::PlayingState);
    }

    // A target beyond what has downloaded reopens the stream with a Range at the computed offset.
    void seekOutsideBufferedHttpFile()
    {
        const QByteArray file = readFile(m_dir.filePath("long.mp3"));
        HttpResponse slow = HttpResponse::of("audio/mpeg", file);
        slow.bytesPerSecond = 16000; // real time: the download stays a few seconds ahead
        slow.burstBytes = 16000;
        m_server->setResponse("/file.mp3", slow);
        BVPlayer player;
        player.play(url("/file.mp3"));
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), BVPlayerSource::PlayingState, 10000);
        QVERIFY(player.isSeekable());
        const double length = player.length();
        const quint64 start = player.streamFilePosition(BASS_FILEPOS_START); // behind the tag and header frame
        QVERIFY(start > 0);
        QVERIFY(player.bufferedLength() < 8.0);
        player.setPosition(8.5);
        QTRY_VERIFY(m_server->requests("/file.mp3").last().headers.contains("range"));
        const quint64 offset = quint64(double(quint64(file.size()) - start) * (8.5 / length) + double(start));
        QCOMPARE(m_server->requests("/file.mp3").last().headers.value("range"), "bytes=" + QByteArray::number(offset) + "-");
        QCOMPARE(player.startPosition(), 8.5);
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), BVPlayerSource::PlayingState, 10000);
        QTRY_VERIFY2(player.position() > 8.5, qPrintable(QString::number(player.position()))); // counted from the seek
        QVERIFY2(player.position() < 9.5, qPrintable(QString::number(player.position())));

        QSignalSpy ended(&player, &BVPlayerSource::ended);
        QVERIFY(ended.wait(4000)); // the last 1.5 s; from the start it would take 10 s
    }

    // Whatever the rate, the player's own timers keep intervals a timer can serve.
    void extremeRatesKeepTimersSane()
    {
        BVPlayer player;
        for (double rate : {std::numeric_limits<double>::infinity(), 1e-9, 1e300}) {
            player.setPlaybackRate(rate);
            for (const QTimer *timer : player.findChildren<QTimer *>(Qt::FindDirectChildrenOnly))
                QVERIFY2(timer->interval() >= 20 && timer->interval() <= 60000, qPrintable(QString::number(timer->interval())));
        }
    }

    // A stream creation waits for the network off the host's thread: the host's loop runs
    // meanwhile, and a stop or a destroyed player abandons the start for good.
    void startWaitsOffTheHostThread()
    {
        m_server->setResponse("/silent", HttpResponse::silent());
        m_server->setResponse("/list.pls", HttpResponse::of("audio/x-scpls", "[playlist]\nNumberOfEntries=1\nFile1="
                                                                              + m_server->url("/silent") + "\n"));
        const int timeoutMs = BVBass::timeoutMs();
        BVBass::setTimeoutMs(500);
        QTest::failOnWarning(QRegularExpression("Playback start error")); // none: the engine still waits, then stops
        {
            BVPlayer player;
            QSignalSpy states(&player, &BVPlayerSource::stateChanged);
            player.play(url("/list.pls"));
            QTRY_COMPARE(m_server->requests("/silent").size(), 1);
            // A URL named like a list goes to the playlist parser first (the engine asks for ICY titles),
            // then to the engine, which follows it.
            QCOMPARE(m_server->requests("/list.pls").size(), 2);
            QVERIFY(!m_server->requests("/list.pls").value(0).headers.contains("icy-metadata"));
            player.stop();
            player.play(url("/list.pls"));
            QTRY_COMPARE(m_server->requests("/silent").size(), 2);
            player.stop();
            states.clear();
            QTest::qWait(900); // both creations have failed by now
            QCOMPARE(states.size(), 0);
            QCOMPARE(player.state(), BVPlayerSource::StoppedState);
            player.play(url("/list.pls"));
            QTRY_COMPARE(m_server->requests("/silent").size(), 3);
        } // destroyed while its start waits
        QTest::qWait(900);
        BVBass::setTimeoutMs(timeoutMs);
    }

    void failedStartRetries_data()
    {
        QTest::addColumn<bool>("endlessHeaders");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << false << "ContentNotFoundError";
        // The engine's connection gives up after 64 KiB of headers, and the parser's (which Qt lets
        // read on until its time-out) is not waited for.
        QTest::newRow("endless headers") << true << "BASS_ERROR_UNSTREAMABLE";
    }

    // A failed start says why and retries every 5 s until stop(); an end or stall
    // reported after stop() leaves the player stopped: no stall, no restart.
    void failedStartRetries()
    {
        QFETCH(bool, endlessHeaders);
        QFETCH(QString, reason);
        HttpResponse answer = HttpResponse::of("audio/mpeg", m_liveMp3);
        answer.status = 404;
        answer.endlessHeaders = endlessHeaders;
        m_server->setResponse("/answer", answer);
        ManualClock clock;
        BVPlayer player;
        QSignalSpy failures(&player, &BVPlayer::startFailed);
        player.play(url("/answer"));
        QCOMPARE(player.state(), BVPlayerSource::StalledState);
        QTRY_COMPARE(failures.size(), 1);
        QVERIFY2(failures.value(0).value(0).toString().contains(reason), qPrintable(failures.value(0).value(0).toString()));
        QTest::qWait(100);
        const qsizetype perStart = m_server->requests("/answer").size();
        clock.advance(4999);
        QTest::qWait(100);
        QCOMPARE(m_server->requests("/answer").size(), perStart);
        clock.advance(1);
        QTRY_COMPARE(failures.size(), 2);
        QVERIFY(failures.value(1).value(0).toString().contains(reason));
        QCOMPARE(player.state(), BVPlayerSource::StalledState);
        player.stop();
        QTest::qWait(100);
        const qsizetype afterStop = m_server->requests("/answer").size();
        QSignalSpy states(&player, &BVPlayerSource::stateChanged);
        QMetaObject::invokeMethod(&player, "streamStalled", Q_ARG(bool, true));
        QMetaObject::invokeMethod(&player, "streamEnd");
        clock.advance(10000);
        QTest::qWait(100);
        QCOMPARE(m_server->requests("/answer").size(), afterStop);
        QCOMPARE(states.size(), 0);
    }

    // A JSON master list at a URL whose name does not say so: the engine finds no audio there, the
    // parser then reads the list, and its top bitrate plays.
    void bitratesFromJsonMaster()
    {
        QByteArrayList entries;
        for (const QByteArray kbps : {"32", "64", "128"}) {
            m_server->setResponse("/" + kbps, live());
            entries.append("{\"streamUrl\":\"" + m_server->url("/" + kbps) + "\",\"bandwidth\":" + kbps + "000}");
        }
        m_server->setResponse("/streams", HttpResponse::of("application/json", "[" + entries.join(',') + "]"));
        ManualClock clock;
        BVPlayer player;
        player.play(url("/streams"));
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), BVPlayerSource::PlayingState, 10000);
        QList<quint32> available = player.availableBitrates();
        std::sort(available.begin(), available.end());
        QCOMPARE(available, QList<quint32>({32000, 64000, 128000}));
        QCOMPARE(player.currentBitrate(), 128000u); // the coefficient starts at the top
        QCOMPARE(m_server->requests("/128").size(), 1);
        QCOMPARE(m_server->requests("/streams").size(), 2); // the engine's, then the parser's

        player.setPlayingBitrate(50000); // nearest: 64000
        // The next adaptation step restarts on the new list (the clock moves a second at each look).
        QTRY_VERIFY(m_server->requests("/64").size() == 1 || (clock.advance(1000), false));
        QTRY_COMPARE_WITH_TIMEOUT(player.currentBitrate(), 64000u, 5000);
        QCOMPARE(player.currentQuality(), BVPlayerSource::MidQuality);
    }

    // A lost output device stops the player with deviceFailure(); a start on the dead
    // device then fails into ErrorState, where isRestarted false leaves it.
    void deviceFailureAndErrorState()
    {
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("no PulseAudio (scripts/services.sh start)");
        PrivatePulseServer server;
        QVERIFY(server.start());
        const QByteArray saved = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", server.address());
        BVBass::outputDevice = -1;
        ManualClock clock;
        BVPlayer player;
        player.setIsRestarted(false);
        QSignalSpy failures(&player, &BVPlayerSource::deviceFailure);
        QSignalSpy errors(&player, &BVPlayerSource::error);
        player.play(QUrl::fromLocalFile(m_dir.filePath("long.mp3")));
        QTRY_COMPARE(player.state(), BVPlayerSource::PlayingState);
        qputenv("PULSE_SERVER", saved);
        BVBass::outputDevice = 0;
        server.kill();
        QTRY_COMPARE(failures.size(), 1);
        QCOMPARE(player.state(), BVPlayerSource::StoppedState);

        player.play();
        QTRY_COMPARE(player.state(), BVPlayerSource::ErrorState);
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.value(0).value(0).toString().startsWith("Can not play stream BASS_ERROR_START"),
                 qPrintable(errors.value(0).value(0).toString()));
        clock.advance(10000); // no retry without isRestarted
        QTest::qWait(100);
        QCOMPARE(player.state(), BVPlayerSource::ErrorState);
        QCOMPARE(errors.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestBVPlayer)
#include "tst_bvplayer.moc"
