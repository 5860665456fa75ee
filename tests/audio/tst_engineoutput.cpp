// What really reaches a PulseAudio sink: tones, volume, mixing, seeking, and
// the loss of the server.
#include "bass.h"
#include "pcmanalysis.h"
#include "privatepulseserver.h"
#include "sinkrecorder.h"
#include "testmedia.h"

#include <QTemporaryDir>
#include <QTest>

#include <cmath>

#include <atomic>
#include <chrono>

using namespace bvtest;

namespace {

// Records the sink for `ms` and returns the first channel with silence trimmed.
Pcm recordSink(int ms)
{
    SinkRecorder recorder;
    if (!recorder.start())
        return {};
    QTest::qWait(ms);
    return trimSilence(firstChannel(recorder.stop(), SinkRecorder::kChannels));
}

} // namespace

class TestEngineOutput : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QByteArray file(const QString &name) const { return path(name).toUtf8(); }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("no test PulseAudio server (scripts/services.sh start)");
        QVERIFY(makeTone(path("a440.wav"), 440, 3.0, {"-c:a", "pcm_s16le"}));
        QVERIFY(makeTone(path("a1000.mp3"), 1000, 3.0, {"-c:a", "libmp3lame"}));
        QVERIFY(makeTone(path("a440mono22k.wav"), 440, 3.0, {"-c:a", "pcm_s16le"}, 22050, 1));
        QVERIFY(makeTwoTones(path("twotones.wav"), 440, 1000, 1.0, {"-c:a", "pcm_s16le"}));
    }

    void init() { QVERIFY(BASS_Init(-1, 44100, 0, nullptr, nullptr)); }
    void cleanup() { BASS_Free(); }

    void toneReachesTheSink_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("frequency");
        QTest::addColumn<double>("level"); // RMS in the file: ffmpeg's stereo upmix is 3 dB down
        QTest::newRow("wav 440") << "a440.wav" << 440.0 << 0.0625;
        QTest::newRow("mp3 1000") << "a1000.mp3" << 1000.0 << 0.0625;
        // mono plays at its full level on both sides
        QTest::newRow("mono 22050 Hz resampled") << "a440mono22k.wav" << 440.0 << 0.125 / std::sqrt(2.0);
    }

    void toneReachesTheSink()
    {
        QFETCH(QString, name);
        QFETCH(double, frequency);
        QFETCH(double, level);
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, file(name).constData(), 0, 0, 0);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTest::qWait(300);
        const Pcm heard = recordSink(700);
        QVERIFY2(heard.size() > 44100 / 2, qPrintable(QString::number(heard.size())));
        QVERIFY2(qAbs(zeroCrossingFrequency(heard, 44100) - frequency) < frequency * 0.01,
                 qPrintable(QString::number(zeroCrossingFrequency(heard, 44100))));
        QVERIFY2(qAbs(rms(heard) - level) < 0.006, qPrintable(QString::number(rms(heard))));
    }

    void halfVolumeHalvesTheLevel()
    {
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, file("a440.wav").constData(), 0, 0, 0);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTest::qWait(200);
        const double full = rms(recordSink(500));
        QVERIFY(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, 0.5f));
        QTest::qWait(200);
        const double half = rms(recordSink(500));
        QVERIFY2(qAbs(half / full - 0.5) < 0.03, qPrintable(QString("%1 / %2").arg(half).arg(full)));
    }

    // A position sync fires when its audio is heard, not when it is mixed ahead of the output;
    // a mix-time sync fires when it is mixed, early enough to change what is heard there.
    void syncsFollowWhatIsHeard()
    {
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, file("twotones.wav").constData(), 0, 0, 0);
        std::atomic<qint64> syncedNs{0};
        QVERIFY(BASS_ChannelSetSync(stream, BASS_SYNC_POS, BASS_ChannelSeconds2Bytes(stream, 1.0),
                                    [](HSYNC, DWORD, DWORD, void *user) {
                                        static_cast<std::atomic<qint64> *>(user)->store(
                                            std::chrono::steady_clock::now().time_since_epoch().count());
                                    },
                                    &syncedNs));
        std::atomic<qint64> mixedNs{0};
        QVERIFY(BASS_ChannelSetSync(stream, BASS_SYNC_POS | BASS_SYNC_MIXTIME, BASS_ChannelSeconds2Bytes(stream, 1.0),
                                    [](HSYNC, DWORD channel, DWORD, void *user) {
                                        static_cast<std::atomic<qint64> *>(user)->store(
                                            std::chrono::steady_clock::now().time_since_epoch().count());
                                        BASS_ChannelSetAttribute(channel, BASS_ATTRIB_VOL, 0.25f);
                                    },
                                    &mixedNs));
        SinkRecorder recorder;
        QVERIFY(recorder.start());
        const auto recording = std::chrono::steady_clock::now();
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTest::qWait(1600);
        const Pcm heard = firstChannel(recorder.stop(), SinkRecorder::kChannels);
        QVERIFY(syncedNs != 0);
        // The first 10 ms window of the second tone in the recording.
        const int window = SinkRecorder::kRate / 100;
        qsizetype second = -1;
        for (qsizetype at = 0; at + window <= qsizetype(heard.size()) && second < 0; at += window) {
            const Pcm part(heard.begin() + at, heard.begin() + at + window);
            if (rms(part) > 0.01 && tonePower(part, SinkRecorder::kRate, 1000) > tonePower(part, SinkRecorder::kRate, 440))
                second = at;
        }
        QVERIFY(second > 0);
        const double heardMs = 1000.0 * double(second) / SinkRecorder::kRate;
        const double syncMs = double(syncedNs - recording.time_since_epoch().count()) / 1e6;
        QVERIFY2(qAbs(syncMs - heardMs) < 40, qPrintable(QString("sync %1 ms, heard %2 ms").arg(syncMs).arg(heardMs)));
        const double mixedMs = double(mixedNs - recording.time_since_epoch().count()) / 1e6;
        QVERIFY2(mixedMs < syncMs - 20, qPrintable(QString("mixed %1 ms, heard %2 ms").arg(mixedMs).arg(syncMs)));
        // Its volume change is heard from the period its position was mixed in.
        const Pcm first(heard.begin() + second - 4 * window, heard.begin() + second - window);
        const Pcm next(heard.begin() + second + 5 * window, heard.begin() + second + 8 * window);
        QVERIFY2(qAbs(rms(next) / rms(first) - 0.25) < 0.05, qPrintable(QString::number(rms(next) / rms(first))));
    }

    void twoChannelsMix()
    {
        const HSTREAM low = BASS_StreamCreateFile(FALSE, file("a440.wav").constData(), 0, 0, 0);
        const HSTREAM high = BASS_StreamCreateFile(FALSE, file("a1000.mp3").constData(), 0, 0, 0);
        QVERIFY(BASS_ChannelPlay(low, FALSE));
        QVERIFY(BASS_ChannelPlay(high, FALSE));
        QTest::qWait(200);
        const Pcm heard = recordSink(500);
        const double p440 = tonePower(heard, 44100, 440), p1000 = tonePower(heard, 44100, 1000);
        const double absent = tonePower(heard, 44100, 700);
        QVERIFY2(p440 > 100 * absent && p1000 > 100 * absent,
                 qPrintable(QString("%1 %2 %3").arg(p440).arg(p1000).arg(absent)));
        QVERIFY2(qAbs(p440 / p1000 - 1.0) < 0.2, qPrintable(QString("%1 %2").arg(p440).arg(p1000)));
    }

    // Gains beyond full scale saturate: no wrap-around into the opposite sign.
    void loudMixSaturates()
    {
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, file("a440.wav").constData(), 0, 0, 0);
        QVERIFY(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, 20.0f)); // 2.5x full scale
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTest::qWait(200);
        const Pcm heard = recordSink(300);
        QVERIFY(!heard.empty());
        // A wrapped signal would cross zero many more times than a clipped 440 Hz tone.
        QVERIFY2(qAbs(zeroCrossingFrequency(heard, 44100) - 440) < 5,
                 qPrintable(QString::number(zeroCrossingFrequency(heard, 44100))));
        QCOMPARE(*std::max_element(heard.begin(), heard.end()), int16_t(32767));
    }

    void seekPlaysFromTheTarget()
    {
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, file("twotones.wav").constData(), 0, 0, 0);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTest::qWait(200);
        QVERIFY(qAbs(zeroCrossingFrequency(recordSink(300), 44100) - 440) < 5);
        QVERIFY(BASS_ChannelSetPosition(stream, BASS_ChannelSeconds2Bytes(stream, 1.2), BASS_POS_BYTE));
        QTest::qWait(100);
        QVERIFY(qAbs(zeroCrossingFrequency(recordSink(300), 44100) - 1000) < 10);
    }

    // A pause is heard at once, whatever the output has queued, and play goes on from where
    // it was heard: the queued audio went back to the channel (the second tone starts at 1 s).
    void pauseIsHeardAtOnce()
    {
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, file("twotones.wav").constData(), 0, 0, 0);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_VERIFY(!recordSink(50).empty()); // a sink resuming from suspension starts late
        QTRY_VERIFY_WITH_TIMEOUT(BASS_ChannelGetPosition(stream, BASS_POS_BYTE) >= BASS_ChannelSeconds2Bytes(stream, 0.6), 2000);
        QVERIFY(BASS_ChannelPause(stream));
        const QWORD paused = BASS_ChannelGetPosition(stream, BASS_POS_BYTE);
        QTest::qWait(60);
        SinkRecorder recorder;
        QVERIFY(recorder.start());
        QTest::qWait(200);
        const Pcm afterPause = firstChannel(recorder.stop(), SinkRecorder::kChannels);
        QVERIFY(afterPause.size() > 44100 / 10);
        QVERIFY2(rms(afterPause) < 0.001, qPrintable(QString::number(rms(afterPause))));
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        const Pcm resumed = recordSink(150);
        QVERIFY2(qAbs(zeroCrossingFrequency(resumed, 44100) - 440) < 5, qPrintable(QString::number(zeroCrossingFrequency(resumed, 44100))));
        const QWORD position = BASS_ChannelGetPosition(stream, BASS_POS_BYTE);
        QVERIFY2(position > paused && position < paused + BASS_ChannelSeconds2Bytes(stream, 0.3),
                 qPrintable(QString("%1 -> %2").arg(paused).arg(position)));
    }

    // A server that goes away fails the device: DEV_FAIL fires and the channel is paused by the device.
    void losingTheServerGivesDeviceFailure()
    {
        BASS_Free();
        PrivatePulseServer server;
        QVERIFY(server.start());
        const QByteArray saved = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", server.address());
        const bool opened = BASS_Init(-1, 44100, 0, nullptr, nullptr);
        qputenv("PULSE_SERVER", saved);
        QVERIFY(opened);

        std::atomic<int> failures{0};
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, file("a440.wav").constData(), 0, 0, 0);
        QVERIFY(BASS_ChannelSetSync(stream, BASS_SYNC_DEV_FAIL, 0,
                                    [](HSYNC, DWORD, DWORD, void *user) { ++*static_cast<std::atomic<int> *>(user); },
                                    &failures));
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTest::qWait(300);
        server.kill();
        QTRY_COMPARE(failures.load(), 1);
        QCOMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_PAUSED_DEVICE));
        QVERIFY(!BASS_ChannelPlay(stream, FALSE));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_START);
        QVERIFY(BASS_Free());
    }
};

QTEST_GUILESS_MAIN(TestEngineOutput)
#include "tst_engineoutput.moc"
