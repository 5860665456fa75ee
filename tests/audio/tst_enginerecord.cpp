// Recording from PulseAudio sources: what the engine plays into the test sink
// comes back from its monitor.
#include "bass.h"
#include "pcmanalysis.h"
#include "testmedia.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <mutex>

using namespace bvtest;

namespace {

struct Capture {
    std::mutex mutex;
    Pcm samples;
    int blocks = 0;
    int stopAfter = -1;
    Qt::HANDLE thread = nullptr;

    static BOOL proc(HRECORD, const void *buffer, DWORD length, void *user)
    {
        auto *c = static_cast<Capture *>(user);
        std::lock_guard lock(c->mutex);
        c->thread = QThread::currentThreadId();
        const auto *s = static_cast<const int16_t *>(buffer);
        c->samples.insert(c->samples.end(), s, s + length / 2);
        ++c->blocks;
        return c->stopAfter < 0 || c->blocks < c->stopAfter;
    }
    int blockCount() { std::lock_guard lock(mutex); return blocks; }
    Pcm take() { std::lock_guard lock(mutex); return std::move(samples); }
};

QString pactl(const QStringList &args)
{
    QProcess p;
    p.start("pactl", args);
    p.waitForFinished();
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

} // namespace

class TestEngineRecord : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("no test PulseAudio server (scripts/services.sh start)");
        QVERIFY(makeTone(m_dir.filePath("a1000.wav"), 1000, 3.0, {"-c:a", "pcm_s16le"}));
    }

    void cleanup()
    {
        BASS_RecordFree();
        BASS_Free();
    }

    void deviceRules()
    {
        QVERIFY(!BASS_RecordFree());
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_INIT);
        QCOMPARE(BASS_RecordStart(44100, 2, 0, Capture::proc, nullptr), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_INIT);
        QVERIFY(!BASS_RecordInit(99));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
        QVERIFY(BASS_RecordInit(0));
        QVERIFY(!BASS_RecordInit(0));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
        QVERIFY(BASS_RecordSetDevice(0));
        QVERIFY(!BASS_RecordSetDevice(5));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
    }

    // A tone played into the null sink comes back, on the capture thread, from its monitor;
    // a second recording stops when its procedure returns false.
    void recordsWhatIsPlayed()
    {
        QVERIFY(BASS_Init(-1, 44100, 0, nullptr, nullptr));
        const HSTREAM tone = BASS_StreamCreateFile(FALSE, m_dir.filePath("a1000.wav").toUtf8().constData(), 0, 0, 0);
        QVERIFY(BASS_ChannelPlay(tone, FALSE));
        QVERIFY(BASS_RecordInit(-1)); // the default source: the test sink's monitor
        Capture capture, stopping;
        stopping.stopAfter = 3;
        const HRECORD recording = BASS_RecordStart(44100, 0, 0, Capture::proc, &capture);
        const HRECORD stopped = BASS_RecordStart(22050, 1, 0, Capture::proc, &stopping);
        QVERIFY2(recording && stopped, qPrintable(QString::number(BASS_ErrorGetCode())));
        QCOMPARE(BASS_ChannelIsActive(recording), DWORD(BASS_ACTIVE_PLAYING));
        QVERIFY(!BASS_ChannelPlay(recording, FALSE)); // a recording is never mixed
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_NOTAVAIL);
        QTRY_VERIFY_WITH_TIMEOUT(capture.blockCount() > 75, 10000);
        QVERIFY(BASS_ChannelFree(recording));
        const int blocks = capture.blockCount();
        QTest::qWait(100);
        QCOMPARE(capture.blockCount(), blocks); // nothing after the free
        QCOMPARE(BASS_ChannelIsActive(stopped), DWORD(BASS_ACTIVE_STOPPED));
        QCOMPARE(stopping.blockCount(), 3);
        QVERIFY(capture.thread != QThread::currentThreadId());
        // The monitor delivers silence until the sink's first rendered period: judge the last 0.5 s.
        const Pcm all = firstChannel(capture.take(), 2);
        const Pcm heard(all.end() - 22050, all.end());
        QVERIFY2(qAbs(zeroCrossingFrequency(heard, 44100) - 1000) < 10,
                 qPrintable(QString::number(zeroCrossingFrequency(heard, 44100))));
        QVERIFY(qAbs(rms(heard) - 0.0625) < 0.01);
    }

    // A source that disappears fails the recording with DEV_FAIL.
    void vanishingSourceGivesDeviceFailure()
    {
        const QString module = pactl({"load-module", "module-null-sink", "sink_name=vanishing"});
        QVERIFY(!module.isEmpty());
        // The new monitor is the last source in server order.
        int last = -1;
        for (int i = 0; BASS_RecordInit(i); ++i) {
            last = i;
            BASS_RecordFree();
        }
        QVERIFY(BASS_RecordInit(last));
        Capture capture;
        const HRECORD recording = BASS_RecordStart(44100, 2, 0, Capture::proc, &capture);
        QVERIFY(recording);
        BASS_CHANNELINFO info{};
        QVERIFY(BASS_ChannelGetInfo(recording, &info));
        QCOMPARE(QByteArray(info.filename), QByteArray("vanishing.monitor"));
        std::atomic<int> failures{0};
        QVERIFY(BASS_ChannelSetSync(recording, BASS_SYNC_DEV_FAIL, 0,
                                    [](HSYNC, DWORD, DWORD, void *user) { ++*static_cast<std::atomic<int> *>(user); },
                                    &failures));
        pactl({"unload-module", module});
        QTRY_COMPARE(failures.load(), 1);
        QTRY_COMPARE(BASS_ChannelIsActive(recording), DWORD(BASS_ACTIVE_STOPPED));
    }
};

QTEST_GUILESS_MAIN(TestEngineRecord)
#include "tst_enginerecord.moc"
