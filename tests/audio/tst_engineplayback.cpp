// Playback on the "no sound" device: formats, positions, syncs, attributes, push and user-file streams,
// bad input; and the engine's set-up: opening and closing devices, per-thread options, plug-in names.
#include "bass.h"
#include "synclog.h"
#include "testmedia.h"
#include "userfilesource.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

using bvtest::failure;
using bvtest::SyncLog;
using bvtest::UserFileSource;

class TestEnginePlayback : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
    HSTREAM open(const QString &name, DWORD flags = 0) const
    {
        return BASS_StreamCreateFile(FALSE, path(name).toUtf8().constData(), 0, 0, flags);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(bvtest::makeTone(path("tone.mp3"), 440, 2.0, {"-c:a", "libmp3lame", "-b:a", "128k"}));
        QVERIFY(bvtest::makeTone(path("tone.wav"), 440, 1.0, {"-c:a", "pcm_s16le"}));
    }

    void init() { QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr)); }
    void cleanup() { BASS_Free(); }

    void formats_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("rate");
        QTest::addColumn<DWORD>("ctype");
        QTest::addColumn<QByteArray>("plugin"); // the plug-in name serving the format, empty for core formats
        QTest::newRow("mp3") << "t.mp3" << QStringList{"-c:a", "libmp3lame"} << 44100 << DWORD(BASS_CTYPE_STREAM_MP3) << QByteArray("");
        QTest::newRow("aac adts") << "t.aac" << QStringList{"-c:a", "aac"} << 44100 << DWORD(BASS_CTYPE_STREAM_AAC) << QByteArray("");
        QTest::newRow("m4a") << "t.m4a" << QStringList{"-c:a", "aac"} << 44100 << DWORD(BASS_CTYPE_STREAM_MP4) << QByteArray("");
        QTest::newRow("opus") << "t.opus" << QStringList{"-c:a", "libopus"} << 48000 << DWORD(BASS_CTYPE_STREAM_OPUS) << QByteArray("bassopus");
        QTest::newRow("vorbis") << "t.ogg" << QStringList{"-c:a", "libvorbis"} << 44100 << DWORD(BASS_CTYPE_STREAM_VORBIS) << QByteArray("");
        QTest::newRow("flac") << "t.flac" << QStringList{"-c:a", "flac"} << 44100 << DWORD(BASS_CTYPE_STREAM_FLAC) << QByteArray("");
        QTest::newRow("wav") << "t.wav" << QStringList{"-c:a", "pcm_s16le"} << 44100 << DWORD(BASS_CTYPE_STREAM_WAV) << QByteArray("");
    }

    // Every supported container decodes at its own rate and really plays (MPEG-TS through the
    // HLS plug-in: tst_bvhlsplayback playsEveryFormat).
    void formats()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, args);
        QFETCH(int, rate);
        QFETCH(DWORD, ctype);
        QFETCH(QByteArray, plugin);
        QVERIFY(bvtest::makeTone(path(file), 440, 1.0, args, rate));
        const HSTREAM stream = open(file);
        QVERIFY2(stream, qPrintable(QString::number(BASS_ErrorGetCode())));
        BASS_CHANNELINFO info{};
        QVERIFY(BASS_ChannelGetInfo(stream, &info));
        QCOMPARE(int(info.freq), rate);
        QCOMPARE(info.chans, 2u);
        QCOMPARE(info.ctype, ctype);
        QCOMPARE(info.plugin, plugin.isEmpty() ? 0u : BASS_PluginLoad(plugin.constData(), 0));
        const double length = BASS_ChannelBytes2Seconds(stream, BASS_ChannelGetLength(stream, BASS_POS_BYTE));
        QVERIFY2(qAbs(length - 1.0) < 0.1, qPrintable(QString::number(length)));
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_VERIFY(BASS_ChannelGetPosition(stream, BASS_POS_BYTE) >= BASS_ChannelSeconds2Bytes(stream, 0.2));
        float level = 0;
        QVERIFY(BASS_ChannelGetLevelEx(stream, &level, 0.1f, BASS_LEVEL_MONO | BASS_LEVEL_RMS));
        // ffmpeg's sine source has an RMS of 1/16.
        QVERIFY2(qAbs(level - 0.0625f) < 0.006f, qPrintable(QString::number(level)));
    }

    // A file whose tags hold megabytes of cover art (noise: a picture that does not compress)
    // still opens: format detection's byte budget leaves room for it.
    void largeCoverArtOpens()
    {
        QVERIFY(bvtest::runFfmpeg({"-f", "lavfi", "-i",
                                   "nullsrc=s=1800x1400,geq=lum='random(1)*255':cb='random(2)*255':cr='random(3)*255'",
                                   "-frames:v", "1", path("art.png")}));
        QVERIFY(bvtest::runFfmpeg({"-f", "lavfi", "-i", "sine=frequency=440:duration=1", "-i", path("art.png"), "-map",
                                   "0", "-map", "1", "-c:a", "flac", "-c:v", "copy", "-disposition:v", "attached_pic",
                                   path("art.flac")}));
        QVERIFY(QFileInfo(path("art.flac")).size() > 5 * 1024 * 1024);
        QVERIFY2(open("art.flac"), qPrintable(QString::number(BASS_ErrorGetCode())));
    }

    // Position and end syncs fire when the device clock reaches them, from a seek on and at
    // a changed rate too; a one-time sync is gone once it fired; a channel that ended does not
    // play again, and no seek goes past the end.
    void syncsFireOnTime_data()
    {
        QTest::addColumn<double>("from");
        QTest::addColumn<float>("rate");
        QTest::addColumn<double>("posMs"); // the sync at 0.8 s
        QTest::addColumn<double>("endMs");
        QTest::newRow("from the start") << 0.0 << 44100.0f << 800.0 << 1000.0;
        QTest::newRow("after a seek") << 0.6 << 44100.0f << 200.0 << 400.0;
        QTest::newRow("double rate") << 0.0 << 88200.0f << 400.0 << 500.0;
    }

    void syncsFireOnTime()
    {
        QFETCH(double, from);
        QFETCH(float, rate);
        QFETCH(double, posMs);
        QFETCH(double, endMs);
        const HSTREAM stream = open("tone.wav");
        SyncLog pos, end;
        QVERIFY(pos.watch(stream, BASS_SYNC_POS, BASS_ChannelSeconds2Bytes(stream, 0.8)));
        const HSYNC endSync = end.watch(stream, BASS_SYNC_END | BASS_SYNC_ONETIME);
        QVERIFY(endSync);
        const QWORD target = BASS_ChannelSeconds2Bytes(stream, from);
        QVERIFY(BASS_ChannelSetPosition(stream, target, BASS_POS_BYTE));
        QCOMPARE(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), target);
        QVERIFY(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_FREQ, rate));
        const auto start = SyncLog::Clock::now();
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(end.count(), 1, 3000);
        QCOMPARE(pos.count(), 1);
        const double posAt = pos.msAfter(start), endAt = end.msAfter(start);
        QVERIFY2(qAbs(posAt - posMs) < 20 && qAbs(endAt - endMs) < 20,
                 qPrintable(QString("%1, %2 ms").arg(posAt).arg(endAt)));
        QCOMPARE(failure(BASS_ChannelRemoveSync(stream, endSync)), BASS_ERROR_HANDLE);
        QCOMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_STOPPED));
        QCOMPARE(failure(BASS_ChannelPlay(stream, FALSE)), BASS_ERROR_ENDED);
        const QWORD pastEnd = BASS_ChannelSeconds2Bytes(stream, 1.5);
        QCOMPARE(failure(BASS_ChannelSetPosition(stream, pastEnd, BASS_POS_BYTE)), BASS_ERROR_POSITION);
    }

    void badInput()
    {
        QCOMPARE(failure(open("missing.mp3")), BASS_ERROR_FILEOPEN);
        QVERIFY(bvtest::writeFile(path("notes.mp3"), QByteArray("Not the sounds you are after.\n").repeated(300)));
        QCOMPARE(failure(open("notes.mp3")), BASS_ERROR_FILEFORM);
        QVERIFY(bvtest::writeFile(path("cut.wav"), bvtest::readFile(path("tone.wav")).left(20))); // not even a header
        QCOMPARE(failure(open("cut.wav")), BASS_ERROR_FILEFORM);
        const QByteArray mp3 = path("tone.mp3").toUtf8();
        QCOMPARE(failure(BASS_StreamCreateFile(FALSE, mp3.constData(), 1 << 30, 0, 0)), BASS_ERROR_FILEOPEN);
    }

    // An auto-free channel is freed when it ends (a file cut in the middle of its audio plays
    // what it has, then ends) or is stopped; any other channel stays.
    void autoFree()
    {
        const QByteArray mp3 = bvtest::readFile(path("tone.mp3"));
        QVERIFY(bvtest::writeFile(path("cut.mp3"), mp3.left(mp3.size() / 4)));
        const HSTREAM stream = open("cut.mp3", BASS_STREAM_AUTOFREE);
        QVERIFY(stream);
        SyncLog end;
        end.watch(stream, BASS_SYNC_END);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(end.count(), 1, 2000);
        QTRY_COMPARE(failure(BASS_ChannelGetInfo(stream, nullptr)), BASS_ERROR_HANDLE);

        const HSTREAM stopped = open("tone.mp3", BASS_STREAM_AUTOFREE);
        QVERIFY(BASS_ChannelPlay(stopped, FALSE));
        QVERIFY(BASS_ChannelStop(stopped));
        QCOMPARE(failure(BASS_ChannelIsActive(stopped)), BASS_ERROR_HANDLE);
        const HSTREAM kept = open("tone.mp3");
        QVERIFY(BASS_ChannelStop(kept));
        QCOMPARE(BASS_ChannelIsActive(kept), DWORD(BASS_ACTIVE_STOPPED));
        QCOMPARE(BASS_ErrorGetCode(), BASS_OK);
    }

    void pushLimitRefusesOverLimitWrite()
    {
        const HSTREAM stream = BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
        QVERIFY(stream);
        QVERIFY(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_PUSH_LIMIT, 1000.0f));
        std::vector<int16_t> pcm(1000, 100);
        QCOMPARE(BASS_StreamPutData(stream, pcm.data(), 800), DWORD(800));
        QCOMPARE(BASS_StreamPutData(stream, pcm.data(), 400), DWORD(-1));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_NOTAVAIL);
        QCOMPARE(BASS_StreamPutData(stream, pcm.data(), 200), DWORD(1000));
        QCOMPARE(BASS_StreamPutData(stream, nullptr, BASS_STREAMPROC_END), DWORD(1000));
        QCOMPARE(BASS_StreamPutData(stream, pcm.data(), 2), DWORD(-1));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ENDED);
    }

    // An empty queue stalls the channel; new data (from another thread) resumes it; the end mark ends it.
    void pushStreamStallsAndResumes()
    {
        const HSTREAM stream = BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
        SyncLog stall, end;
        stall.watch(stream, BASS_SYNC_STALL);
        end.watch(stream, BASS_SYNC_END);
        std::vector<int16_t> pcm(44100 / 5 * 2, 1000); // 0.2 s
        const DWORD bytes = DWORD(pcm.size() * 2);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QCOMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_STALLED));
        std::thread([&] { BASS_StreamPutData(stream, pcm.data(), bytes); }).join();
        QTRY_COMPARE(stall.data(), QList<DWORD>({1}));
        QTRY_COMPARE(stall.data(), QList<DWORD>({1, 0}));
        QCOMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_STALLED));
        QCOMPARE(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), QWORD(bytes));
        std::thread([&] { BASS_StreamPutData(stream, pcm.data(), bytes | BASS_STREAMPROC_END); }).join();
        QTRY_COMPARE(end.count(), 1);
        QCOMPARE(stall.data(), QList<DWORD>({1, 0, 1}));
    }

    // A user-file stream closes its file once: when it is freed at its end, and when its creation fails.
    void userFileClosesOnce()
    {
        UserFileSource source{bvtest::readFile(path("tone.wav")).left(44 + 44100)}; // a quarter of a second
        const HSTREAM stream = source.open(BASS_STREAM_AUTOFREE);
        QVERIFY2(stream, qPrintable(QString::number(BASS_ErrorGetCode())));
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE(source.closes.load(), 1);
        UserFileSource junk{QByteArray(8192, 'x')};
        QCOMPARE(junk.open(), HSTREAM(0));
        QCOMPARE(junk.closes.load(), 1);
    }

    // A removed sync no longer fires, and a sync callback may free its own channel without
    // deadlocking the engine; a bad sync type is refused.
    void syncsRemovedAndFreeing()
    {
        const HSTREAM stream = open("tone.wav");
        SyncLog pos;
        QVERIFY(BASS_ChannelRemoveSync(stream, pos.watch(stream, BASS_SYNC_POS)));
        std::atomic<int> calls{0};
        QVERIFY(BASS_ChannelSetSync(stream, BASS_SYNC_POS, BASS_ChannelSeconds2Bytes(stream, 0.1),
                                    [](HSYNC, DWORD channel, DWORD, void *user) {
                                        BASS_ChannelFree(channel);
                                        ++*static_cast<std::atomic<int> *>(user);
                                    },
                                    &calls));
        QCOMPARE(failure(pos.watch(stream, 99)), BASS_ERROR_ILLTYPE);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE(calls.load(), 1);
        QCOMPARE(pos.count(), 0);
        QCOMPARE(failure(BASS_ChannelIsActive(stream)), BASS_ERROR_HANDLE);
        QVERIFY(BASS_ChannelPlay(open("tone.wav"), FALSE)); // the engine still works afterwards
    }

    // init() opened the device: a second open is refused; once closed, a stream, a second close
    // and device numbers without a device are; a sound server that is not there fails at once.
    void initAndFreeRules()
    {
        QCOMPARE(failure(BASS_Init(0, 44100, 0, nullptr, nullptr)), BASS_ERROR_ALREADY);
        QVERIFY(BASS_Free());
        QCOMPARE(failure(BASS_Free()), BASS_ERROR_INIT);
        QCOMPARE(failure(BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr)), BASS_ERROR_INIT);
        QCOMPARE(failure(BASS_Init(-2, 44100, 0, nullptr, nullptr)), BASS_ERROR_DEVICE);
        const QByteArray saved = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", "unix:/nonexistent/brevant-test-socket");
        const bvtest::Stopwatch timer;
        const int error = failure(BASS_Init(-1, 44100, 0, nullptr, nullptr));
        const qint64 elapsed = timer.elapsed();
        qputenv("PULSE_SERVER", saved);
        QCOMPARE(error, BASS_ERROR_DRIVER);
        QVERIFY2(elapsed < 1500, qPrintable(QString::number(elapsed)));
        QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
        QCOMPARE(BASS_ErrorGetCode(), BASS_OK);
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("no test PulseAudio server to count its sinks");
        QVERIFY(BASS_Free());
        QCOMPARE(failure(BASS_Init(99, 44100, 0, nullptr, nullptr)), BASS_ERROR_DEVICE);
        QVERIFY2(BASS_Init(1, 44100, 0, nullptr, nullptr), "first sink");
    }

    // Error codes are per thread, and so is a thread's own verify size (-1 gives it the process-wide
    // value again); unknown options are refused; the engine knows its file, not other plug-ins.
    void optionsAndPluginNames()
    {
        QCOMPARE(failure(BASS_ChannelPlay(12345, FALSE)), BASS_ERROR_HANDLE);
        int otherThreadError = -100;
        const DWORD global = BASS_GetConfig(BASS_CONFIG_VERIFY_NET);
        const DWORD thread = BASS_CONFIG_THREAD | BASS_CONFIG_VERIFY_NET;
        QVERIFY(BASS_SetConfig(thread, global + 1000));
        DWORD seenElsewhere = 0;
        std::thread([&] {
            otherThreadError = BASS_ErrorGetCode();
            seenElsewhere = BASS_GetConfig(thread);
        }).join();
        QCOMPARE(otherThreadError, BASS_OK);
        QCOMPARE(seenElsewhere, global);
        QCOMPARE(BASS_GetConfig(BASS_CONFIG_VERIFY_NET), global);
        QCOMPARE(BASS_GetConfig(thread), global + 1000);
        QVERIFY(BASS_SetConfig(thread, DWORD(-1)));
        QCOMPARE(BASS_GetConfig(thread), global);
        QVERIFY(!BASS_SetConfig(BASS_CONFIG_THREAD | BASS_CONFIG_BUFFER, 100));
        QCOMPARE(failure(BASS_SetConfig(9999, 1)), BASS_ERROR_ILLTYPE);
        const auto *path = static_cast<const char *>(BASS_GetConfigPtr(BASS_CONFIG_FILENAME));
        QVERIFY2(path && QByteArray(path).endsWith("tst_engineplayback"), path); // the engine is linked into this test
        QCOMPARE(failure(BASS_PluginLoad("bassflac", 0)), BASS_ERROR_FILEOPEN);
    }
};

QTEST_GUILESS_MAIN(TestEnginePlayback)
#include "tst_engineplayback.moc"
