// A live icecast2 mount fed by ffmpeg: it plays through PulseAudio, and a
// title set through icecast's admin call reaches the stream's tag.
#include "bass.h"
#include "pcmanalysis.h"
#include "sinkrecorder.h"
#include "synclog.h"
#include "testhttpserver.h"

#include <QTest>
#include <QUrl>

using namespace bvtest;

class TestEngineIcecast : public QObject {
    Q_OBJECT

    QByteArray m_server;
    QByteArray m_mount;

    bool setTitle(const QString &title)
    {
        const QByteArray url = m_server;
        return httpGet(url.left(7) + "admin:brevant@" + url.mid(7) + "/admin/metadata?mount=" + m_mount
                       + "&mode=updinfo&song=" + QUrl::toPercentEncoding(title))
               == 200;
    }

private slots:
    void initTestCase()
    {
        m_server = qgetenv("BV_ICECAST");
        m_mount = qgetenv("BV_ICECAST_MOUNT");
        if (m_server.isEmpty() || qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("no icecast2 test mount (scripts/services.sh start)");
        BASS_SetConfig(BASS_CONFIG_NET_PREBUF_WAIT, 0);
        QVERIFY(BASS_Init(-1, 44100, 0, nullptr, nullptr));
    }

    void cleanupTestCase() { BASS_Free(); }

    void liveMountPlaysAndShowsTitles()
    {
        QVERIFY(setTitle("Guns N' Roses - Sweet Child O' Mine"));
        const HSTREAM stream = BASS_StreamCreateURL((m_server + m_mount + "\r\n").constData(), 0, BASS_STREAM_AUTOFREE,
                                                    nullptr, nullptr);
        QVERIFY2(stream, qPrintable(QString::number(BASS_ErrorGetCode())));
        QCOMPARE(BASS_ChannelGetLength(stream, BASS_POS_BYTE), QWORD(-1));
        SyncLog titles;
        QVERIFY(titles.watch(stream, BASS_SYNC_META));
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_PLAYING), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(QByteArray(BASS_ChannelGetTags(stream, BASS_TAG_META)),
                                  QByteArray("StreamTitle='Guns N' Roses - Sweet Child O' Mine';"), 10000);

        SinkRecorder recorder;
        QVERIFY(recorder.start());
        QTest::qWait(600);
        const Pcm heard = trimSilence(firstChannel(recorder.stop(), SinkRecorder::kChannels));
        const std::vector<Gap> gaps = silentGaps(heard, 44100);
        QVERIFY2(gaps.empty(), describeGaps(gaps, 44100).c_str());
        QVERIFY2(qAbs(zeroCrossingFrequency(heard, 44100) - 440) < 5,
                 qPrintable(QString::number(zeroCrossingFrequency(heard, 44100))));

        QVERIFY(setTitle(QString::fromUtf8("Sigur Rós - Hoppípolla")));
        QTRY_COMPARE_WITH_TIMEOUT(titles.tags(1), QList<QByteArray>{"StreamTitle='Sigur R\xc3\xb3s - Hopp\xc3\xadpolla';"}, 10000);
        QVERIFY(BASS_ChannelStop(stream));
    }
};

QTEST_GUILESS_MAIN(TestEngineIcecast)
#include "tst_engineicecast.moc"
