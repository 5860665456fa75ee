// BVDaastPlayer: the ad over the muted stream heard at the PulseAudio test sink, volume, ducking,
// pause, stop and play during an ad, and ad failures (and no ad) that only make the stream audible.
#include "adserver.h"
#include "bvbass.h"
#include "bvdaast.h"
#include "bvdaastplayer.h"
#include "bvplayer.h"
#include "manualclock.h"
#include "pcmanalysis.h"
#include "sinkrecorder.h"
#include "testmedia.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace bvtest;

namespace {

constexpr double kStationHz = 440;
constexpr double kAdHz = 880;
constexpr double kToneRms = 1.0 / 16; // ffmpeg's sine source at full volume

struct Window {
    double ms, rms, station, ad;
};

// The heard audio in 20 ms windows with the power of each tone.
QList<Window> windows(const Pcm &mono)
{
    const size_t size = SinkRecorder::kRate / 50;
    QList<Window> list;
    for (size_t at = 0; at + size <= mono.size(); at += size) {
        const Pcm part(mono.begin() + at, mono.begin() + at + size);
        list.append({1000.0 * double(at) / SinkRecorder::kRate, rms(part), tonePower(part, SinkRecorder::kRate, kStationHz),
                     tonePower(part, SinkRecorder::kRate, kAdHz)});
    }
    return list;
}

} // namespace

class TestBVDaastPlayer : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_spot; // 1.5 s
    AdServer *m_ads = nullptr;

    QUrl station() const { return QUrl(QString::fromLatin1(m_ads->url("/station"))); }

private slots:
    void initTestCase()
    {
        QVERIFY(makeTone(m_dir.filePath("station.mp3"), kStationHz, 4.0,
                         {"-c:a", "libmp3lame", "-b:a", "128k", "-write_xing", "0", "-id3v2_version", "0"}));
        m_spot = AdServer::encodeMedia(kAdHz, 1.5);
        QVERIFY(!m_spot.isEmpty());
    }

    void init()
    {
        BVBass::outputDevice = 0;
        m_ads = new AdServer;
        m_ads->serveMedia(m_spot);
        HttpResponse live = HttpResponse::of("audio/mpeg", readFile(m_dir.filePath("station.mp3")));
        live.live = true;
        live.bytesPerSecond = 16000;
        live.burstBytes = 64000;
        m_ads->setResponse("/station", live);
    }

    void cleanup() { delete m_ads; }

    void withoutAdTheStreamPlaysAtOnce()
    {
        BVDaastPlayer facade;
        facade.setVolume(0.6);
        QSignalSpy skipped(&facade, &BVDaastPlayer::daastSkipped);
        facade.play(station());
        QCOMPARE(skipped.count(), 1);
        QCOMPARE(facade.player()->volume(), 0.6);
        QTRY_COMPARE_WITH_TIMEOUT(facade.state(), BVPlayerSource::PlayingState, 5000);
    }

    // At the sink, two spots of 1.5 s back to back without a pause: the ad's tone alone, the station's from
    // about a tenth of a second before the ad's end, both at the listener's volume.
    void adOverTheMutedStream()
    {
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            QSKIP("no PulseAudio (scripts/services.sh start)");
        BVBass::outputDevice = -1;
        BVDaastPlayer facade;
        facade.setVolume(0.5);
        facade.setIsLenient(true);
        const QByteArray base = m_ads->base();
        const QByteArray pod =
            vastDocument({vastInLineAd(base, "a", AdServer::kTitle, 1), vastInLineAd(base, "b", "Second", 2)});
        facade.setDaastUrl(m_ads->serveDocument("/pod.xml", pod));
        QSignalSpy started(&facade, &BVDaastPlayer::daastStarted);
        QSignalSpy ended(&facade, &BVDaastPlayer::daastEnded);
        QSignalSpy errors(&facade, &BVDaastPlayer::error);
        SinkRecorder recorder;
        QVERIFY(recorder.start());
        facade.play(station());
        QCOMPARE(facade.state(), BVPlayerSource::StalledState);
        QTRY_COMPARE(started.count(), 1);
        QTRY_COMPARE(facade.state(), BVPlayerSource::PlayingState); // the ad's, once its first audio is ready
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 6000);
        QCOMPARE(started.count(), 2);
        QTest::qWait(1000);
        const Pcm pcm = firstChannel(recorder.stop(), SinkRecorder::kChannels);
        const QList<Window> heard = windows(pcm);
        QCOMPARE(errors.count(), 0);

        qsizetype adFirst = -1, adLast = -1;
        for (qsizetype i = 0; i < heard.size(); ++i)
            if (heard[i].rms > 0.005 && heard[i].ad > heard[i].station) {
                adFirst = adFirst < 0 ? i : adFirst;
                adLast = i;
            }
        QVERIFY(adFirst >= 0);
        const double adEndMs = heard[adLast].ms + 20;
        // No hole in the ad (nor between two spots), up to where the station comes in under its end.
        const auto sample = [](double ms) { return qsizetype(ms * SinkRecorder::kRate / 1000); };
        const std::string gaps = silentGaps(Pcm(pcm.begin() + sample(heard[adFirst].ms), pcm.begin() + sample(adEndMs - 200)),
                                            SinkRecorder::kRate);
        QVERIFY2(gaps.empty(), gaps.c_str());
        QVERIFY2(qAbs(adEndMs - heard[adFirst].ms - 3000) < 60, qPrintable(QString::number(adEndMs - heard[adFirst].ms)));
        // The ad plays alone until the last tenth of a second; the station comes in from there.
        qsizetype stationFirst = -1;
        for (qsizetype i = adFirst + 1; i <= adLast; ++i) {
            if (heard[i].ms < adEndMs - 160) {
                QVERIFY2(heard[i].station < 0.005 * heard[i].ad, qPrintable(QString("station heard at %1 ms").arg(heard[i].ms)));
                QVERIFY2(qAbs(heard[i].rms - 0.5 * kToneRms) < 0.1 * kToneRms, qPrintable(QString("rms %1 at %2 ms").arg(heard[i].rms).arg(heard[i].ms - heard[adFirst].ms)));
            } else if (stationFirst < 0 && heard[i].station > 0.01 * heard[i].ad) {
                stationFirst = i;
            }
        }
        QVERIFY2(stationFirst >= 0, "the station was not heard before the ad's end");
        // After the ad: the station alone at the listener's volume (the looped station file has
        // its encoder's silence at every loop).
        const double adPower = heard[adFirst + (adLast - adFirst) / 4].ad; // inside the (first) spot
        QList<double> after;
        for (qsizetype i = adLast + 15; i < heard.size(); ++i) {
            QVERIFY2(heard[i].ad < 0.02 * adPower, qPrintable(QString("ad tone at %1 ms").arg(heard[i].ms)));
            after.append(heard[i].rms);
        }
        std::sort(after.begin(), after.end());
        QVERIFY2(qAbs(after.at(after.size() / 2) - 0.5 * kToneRms) < 0.1 * kToneRms, qPrintable(QString::number(after.at(after.size() / 2))));
    }

    // pause() pauses both; stop() stops the stream but only holds the ad; play() resumes the ad. Volume and
    // ducking go to the ad while it plays, the stream kept at 0; then the stream plays at the listener's volume.
    void pauseStopAndPlayDuringTheAd()
    {
        BVDaastPlayer facade;
        facade.setDaastUrl(m_ads->serveDocument("/ad.xml", adDocument(m_ads->base())));
        QSignalSpy started(&facade, &BVDaastPlayer::daastStarted);
        QSignalSpy ended(&facade, &BVDaastPlayer::daastEnded);
        facade.play(station());
        QTRY_COMPARE(started.count(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(facade.player()->state(), BVPlayerSource::PlayingState, 5000);
        facade.pause();
        QCOMPARE(facade.state(), BVPlayerSource::PausedState);
        facade.play();
        facade.stop();
        QCOMPARE(facade.player()->state(), BVPlayerSource::StoppedState);
        QCOMPARE(facade.state(), BVPlayerSource::PausedState);
        QCOMPARE(ended.count(), 0);
        facade.play();
        QCOMPARE(facade.daast()->state(), BVPlayerSource::PlayingState);
        facade.setVolume(0.5);
        QCOMPARE(facade.daast()->volume(), 0.5);
        QCOMPARE(facade.player()->volume(), 0.0);
        facade.setDuckVolume(true);
        QCOMPARE(facade.daast()->volume(), 0.5 * BVDaastPlayer::BV_DAAST_DUCK_FACTOR);
        QVERIFY(facade.player()->duckVolume());
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 4000);
        QCOMPARE(facade.player()->volume(), 0.5);
        QTRY_COMPARE_WITH_TIMEOUT(facade.state(), BVPlayerSource::PlayingState, 5000);
    }

    // An ad whose document never comes fails at the facade's time-out, not a millisecond before: the
    // stream becomes audible, the facade shows the player's state, and the failure never reaches error().
    void adFailureOnlyUnmutes()
    {
        m_ads->setResponse("/silent.xml", HttpResponse::silent());
        ManualClock clock;
        BVDaastPlayer facade;
        facade.setVolume(0.8);
        facade.setDaastTimeoutMs(300);
        facade.setDaastUrl(QString::fromLatin1(m_ads->url("/silent.xml")));
        QSignalSpy adErrors(&facade, &BVDaastPlayer::daastError);
        QSignalSpy errors(&facade, &BVDaastPlayer::error);
        facade.play(station());
        QTRY_COMPARE(m_ads->requests("/silent.xml").size(), 1);
        clock.advance(299);
        QCOMPARE(facade.player()->volume(), 0.0);
        clock.advance(1);
        QTRY_COMPARE(adErrors.count(), 1);
        QVERIFY(adErrors.value(0).value(0).toString().startsWith("Can not get daast data from url:"));
        QCOMPARE(facade.player()->volume(), 0.8);
        QCOMPARE(facade.state(), facade.player()->state());
        QTRY_COMPARE_WITH_TIMEOUT(facade.state(), BVPlayerSource::PlayingState, 5000);
        QCOMPARE(errors.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestBVDaastPlayer)
#include "tst_bvdaastplayer.moc"
