// Engine set-up: device opening and closing, per-thread options and errors, plug-in names.
#include "bass.h"

#include <QElapsedTimer>
#include <QTest>
#include <thread>

class TestEngineSetup : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { BASS_Free(); }

    void initAndFreeRules()
    {
        QVERIFY(!BASS_Free());
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_INIT);
        QCOMPARE(BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_INIT);

        QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
        QCOMPARE(BASS_ErrorGetCode(), BASS_OK);
        QVERIFY(!BASS_Init(0, 44100, 0, nullptr, nullptr));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
        QVERIFY(BASS_Free());
        QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr)); // opens again after a free
    }

    void devicesByNumber()
    {
        QVERIFY(!BASS_Init(-2, 44100, 0, nullptr, nullptr));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("no test PulseAudio server to count its sinks");
        QVERIFY(!BASS_Init(99, 44100, 0, nullptr, nullptr));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
        QVERIFY2(BASS_Init(-1, 44100, 0, nullptr, nullptr), "default sink");
        QVERIFY(BASS_Free());
        QVERIFY2(BASS_Init(1, 44100, 0, nullptr, nullptr), "first sink");
    }

    void noServerFailsFast()
    {
        const QByteArray saved = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", "unix:/nonexistent/brevant-test-socket");
        QElapsedTimer timer;
        timer.start();
        const BOOL ok = BASS_Init(-1, 44100, 0, nullptr, nullptr);
        const int error = BASS_ErrorGetCode();
        const qint64 elapsed = timer.elapsed();
        qputenv("PULSE_SERVER", saved);
        QVERIFY(!ok);
        QCOMPARE(error, BASS_ERROR_DRIVER);
        QVERIFY2(elapsed < 1500, qPrintable(QString::number(elapsed)));
    }

    // Error codes are per thread. So is a thread's own verify size: another thread, and the
    // process-wide value, keep theirs; -1 gives the thread the process-wide value again.
    void perThreadState()
    {
        QVERIFY(!BASS_Free());
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
    }

    void optionAndPluginNames()
    {
        QVERIFY(!BASS_SetConfig(9999, 1));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);
        QVERIFY(!BASS_SetConfigPtr(BASS_CONFIG_FILENAME, "x")); // read-only
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);
        const auto *path = static_cast<const char *>(BASS_GetConfigPtr(BASS_CONFIG_FILENAME));
        QVERIFY2(path && QByteArray(path).endsWith("tst_enginesetup"), path); // the engine is linked into this test
        QCOMPARE(BASS_PluginLoad("bassflac", 0), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
    }
};

QTEST_GUILESS_MAIN(TestEngineSetup)
#include "tst_enginesetup.moc"
