// The player's host-fed sources on the real engine: PCM the host pushes from its own thread, a recording device.
#include "bass.h"
#include "bvbass.h"
#include "bvplayer.h"
#include "bvpushplayback.h"
#include "bvrecordplayback.h"
#include "fakeplaybackhost.h"
#include "pcmanalysis.h"
#include "sinkrecorder.h"
#include "testmedia.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

class TestBVHostSources : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_tone; // 1.5 s of a 440 Hz tone, 16-bit stereo at 44100 Hz

private slots:
    void initTestCase()
    {
        BVBass::outputDevice = 0;
        QVERIFY(bvtest::makeTone(m_dir.filePath("tone.raw"), 440, 1.5, {"-f", "s16le"}));
        m_tone = bvtest::readFile(m_dir.filePath("tone.raw"));
    }

    // What the host pushes from its own thread is what the PulseAudio sink plays; the device
    // takes data only while a stream runs, and not beyond the push limit.
    void pushedPcmReachesTheSink()
    {
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("no PulseAudio (scripts/services.sh start)");
        BVBass::outputDevice = -1;
        BVPlayer player;
        QPointer<BVPushPlaybackDevice> device = player.pushPlaybackDevice();
        QCOMPARE(device->write(m_tone.left(17640)), qint64(-1)); // no stream before the start
        player.play(QUrl("push:"));
        QTRY_VERIFY(player.stream() != 0);
        QCOMPARE(player.state(), BVPlayerSource::StalledState); // nothing pushed yet
        std::thread host([device, this] { device->write(m_tone); });
        host.join();
        QTRY_COMPARE(player.state(), BVPlayerSource::PlayingState);
        bvtest::SinkRecorder recorder;
        QVERIFY(recorder.start());
        QTest::qWait(500);
        const bvtest::Pcm heard = bvtest::trimSilence(bvtest::firstChannel(recorder.stop(), 2));
        BVBass::outputDevice = 0;
        QVERIFY2(heard.size() > 8000, qPrintable(QString::number(heard.size())));
        const std::string gaps = bvtest::silentGaps(heard, 44100);
        QVERIFY2(gaps.empty(), gaps.c_str());
        QVERIFY2(qAbs(bvtest::zeroCrossingFrequency(heard, 44100) - 440) < 5,
                 qPrintable(QString::number(bvtest::zeroCrossingFrequency(heard, 44100))));
        QCOMPARE(device->write(QByteArray(2 * 1048576, '\0')), qint64(-1)); // over the push limit
        player.stop();
        QCOMPARE(device->write(m_tone.left(17640)), qint64(-1)); // no stream after the stop
    }

    void recordDeviceIsHeard()
    {
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("no PulseAudio (scripts/services.sh start)");
        QVERIFY(bvtest::makeTone(m_dir.filePath("tone.wav"), 440, 4.0, {"-c:a", "pcm_s16le"}));
        QProcess paplay;
        paplay.start("paplay", {m_dir.filePath("tone.wav")}); // into the test sink, whose monitor is the default source
        QVERIFY(paplay.waitForStarted());
        BVPlayer player;
        player.setIsUpdatesLevel(true);
        player.play(QUrl("record:-1"));
        QTRY_COMPARE(player.state(), BVPlayerSource::PlayingState);
        QTRY_VERIFY_WITH_TIMEOUT(player.level() > 0.02, 4000);
        player.stop();
        paplay.kill();
        paplay.waitForFinished();
    }

    // The start contract on the host-fed back-ends: one result, always after the call
    // returned; a stop() before it drops it; a failure carries the engine's reason.
    void startResultsComeAfterTheCall()
    {
        BVBass::init();
        bvtest::FakePlaybackHost host;
        host.m_streams.insert(0, QUrl("push:"));
        BVPushPlayback push(&host);
        QSignalSpy pushed(&push, &BVPlayback::started);
        push.startInBackground();
        QCOMPARE(pushed.size(), 0);
        QTRY_COMPARE(pushed.size(), 1);
        const quint32 handle = pushed.value(0).value(0).toUInt();
        QVERIFY(handle != 0);
        QVERIFY(pushed.value(0).value(1).toString().isEmpty());
        push.stop();
        QVERIFY(BASS_StreamFree(handle));

        push.startInBackground();
        push.stop(); // overtakes the result
        QTest::qWait(100);
        QCOMPARE(pushed.size(), 1);

        host.m_streams = {{0, QUrl("record:999")}};
        BVRecordPlayback record(&host);
        QSignalSpy recorded(&record, &BVPlayback::started);
        record.startInBackground();
        QTRY_COMPARE(recorded.size(), 1);
        QCOMPARE(recorded.value(0).value(0).toUInt(), 0u);
        const QString reason = recorded.value(0).value(1).toString();
        QVERIFY2(!reason.isEmpty() && !reason.contains("BASS_OK"), qPrintable(reason));
        BVBass::free();
    }

    // A record URL without a device number fails its start, to be retried later.
    void recordUrlsAreChecked()
    {
        BVPlayer player;
        QSignalSpy failures(&player, &BVPlayer::startFailed);
        player.play(QUrl("record:abc"));
        QTRY_COMPARE(failures.size(), 1);
        QCOMPARE(player.state(), BVPlayerSource::StalledState);
        QCOMPARE(player.stream(), 0u);
    }
};

QTEST_GUILESS_MAIN(TestBVHostSources)
#include "tst_bvhostsources.moc"
