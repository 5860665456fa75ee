// HLS through BVPlayer on the real engine: timed titles in step with what is heard, a live
// station with bitrate switching, and the faults of a real HLS server (missing or slow
// segments, failing playlists, discontinuities, jumps of the media sequence).
#include "bvbass.h"
#include "bvplayer.h"
#include "hlsmedia.h"
#include "manualclock.h"
#include "pcmanalysis.h"
#include "sinkrecorder.h"
#include "testhttpserver.h"
#include "testmedia.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <optional>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

using namespace bvtest;

Q_DECLARE_METATYPE(HlsFormat)

namespace {

constexpr double kSegmentSeconds = 0.5;

// The first change of tone in `heard`: where it begins in ms and the new tone; -1 when none.
QPair<double, double> firstToneChange(const Pcm &heard, const QList<double> &tones)
{
    const std::vector<ToneChange> changes = toneChanges(heard, SinkRecorder::kRate, {tones.begin(), tones.end()});
    return changes.empty() ? QPair<double, double>{-1, 0} : QPair<double, double>{changes[0].ms, changes[0].tone};
}

// The titles a player shows, each with when it came (from watch()).
class TitleLog : public QObject
{
public:
    void watch(BVPlayer &player)
    {
        m_clock.start();
        connect(&player, &BVPlayer::metaChanged, this, [this](const QString &meta) {
            if (!meta.isEmpty())
                m_titles.append({m_clock.elapsed(), meta});
        });
    }
    QStringList texts() const
    {
        QStringList result;
        for (const auto &title : m_titles)
            result.append(title.second);
        return result;
    }
    // Title `index` came when the audio it was timed at was heard, at `heardMs`.
    void verifyHeardAt(int index, double heardMs) const
    {
        QVERIFY(heardMs > 0 && m_titles.size() > index);
        const double lagMs = double(m_titles[index].first) - heardMs;
        qInfo("\"%s\" %.0f ms after its tone was heard", qPrintable(m_titles[index].second), lagMs);
        QVERIFY2(lagMs > -150 && lagMs < 200, qPrintable(QString::number(lagMs)));
    }

private:
    QElapsedTimer m_clock;
    QList<QPair<qint64, QString>> m_titles;
};

} // namespace

class TestBVHlsPlayback : public QObject
{
    Q_OBJECT

    QList<QByteArray> m_aac; // 440 440 660 660 Hz, a segment each
    QList<QByteArray> m_mp3; // 440 660 Hz, MP3 in MPEG-TS
    QList<QByteArray> m_packedAac, m_fmp4; // 440 660 Hz
    QByteArray m_fmp4Init;
    TestHttpServer *m_server = nullptr;

    QUrl url(const QByteArray &path) const { return QUrl(QString::fromLatin1(m_server->url(path))); }

    // Serves `segments` as /<prefix>N titled "<prefix> N" (fMP4 untitled, after its initialisation
    // segment) under a media playlist at `playlist`.
    void serve(const QList<QByteArray> &segments, const QByteArray &prefix, quint64 firstSequence = 0,
               const QSet<int> &discontinuities = {}, HlsFormat format = HlsFormat::Ts,
               const QByteArray &playlist = "/list.m3u8")
    {
        const bool fmp4 = format == HlsFormat::Fmp4;
        QList<QByteArray> uris;
        for (int i = 0; i < segments.size(); ++i) {
            const QByteArray name = prefix + QByteArray::number(i) + (fmp4 ? ".m4s" : ".ts");
            uris.append(name);
            const QString title = prefix + " " + QString::number(i);
            const qint64 pts = qint64((10 + i * kSegmentSeconds) * 90000);
            m_server->setResponse("/" + name, HttpResponse::of("video/mp2t", fmp4 ? segments[i]
                                                                                  : withTitle(segments[i], title, format, pts)));
        }
        m_server->setResponse("/init.mp4", HttpResponse::of("video/mp4", m_fmp4Init));
        m_server->setResponse(playlist, HttpResponse::of("application/vnd.apple.mpegurl",
                                                        mediaPlaylist(firstSequence, uris, kSegmentSeconds,
                                                                      discontinuities, fmp4 ? "init.mp4" : "")));
    }

    // Serves a master playlist at `path` of `variants`: media playlist and bandwidth each.
    void serveMaster(const QByteArray &path, const QList<QPair<QByteArray, int>> &variants)
    {
        QByteArray text = "#EXTM3U\n";
        for (const auto &[playlist, bandwidth] : variants)
            text += "#EXT-X-STREAM-INF:BANDWIDTH=" + QByteArray::number(bandwidth) + "\n" + playlist + "\n";
        m_server->setResponse(path, HttpResponse::of("application/vnd.apple.mpegurl", text));
    }

private slots:
    void initTestCase()
    {
        m_aac = makeHlsSegments({440, 440, 660, 660}, kSegmentSeconds);
        QCOMPARE(m_aac.size(), 4);
        const QStringList mp3{"-c:a", "libmp3lame", "-b:a", "128k"};
        m_mp3 = makeHlsSegments({440, 660}, kSegmentSeconds, mp3);
        QCOMPARE(m_mp3.size(), 2);
        m_packedAac = makeHlsSegments({440, 660}, kSegmentSeconds, {"-c:a", "aac", "-b:a", "64k"}, HlsFormat::Packed);
        QCOMPARE(m_packedAac.size(), 2);
        m_fmp4 = makeHlsSegments({440, 660}, kSegmentSeconds, {"-c:a", "aac", "-b:a", "64k"}, HlsFormat::Fmp4, &m_fmp4Init);
        QCOMPARE(m_fmp4.size(), 2);
        QVERIFY(!m_fmp4Init.isEmpty());
    }
    void init()
    {
        BVBass::outputDevice = 0;
        m_server = new TestHttpServer;
    }
    void cleanup() { delete m_server; }

    // Every format plays through to its second segment's tone without a hole, and each title is
    // shown when the audio it was timed at is heard: where the tone changes with it. A media
    // playlist the host gives as a local file may name local segments.
    void playsEveryFormat_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("local");
        QTest::newRow("TS, AAC") << "ts-aac" << false;
        QTest::newRow("TS, AAC, local files") << "ts-aac" << true;
        QTest::newRow("TS, MP3") << "ts-mp3" << false;
        QTest::newRow("packed AAC") << "packed-aac" << false;
        QTest::newRow("fMP4, AAC (untitled)") << "fmp4" << false;
    }

    void playsEveryFormat()
    {
        QFETCH(QString, format);
        QFETCH(bool, local);
        const QHash<QString, QPair<QList<QByteArray>, HlsFormat>> media{
            {"ts-aac", {m_aac.mid(1, 2), HlsFormat::Ts}},
            {"ts-mp3", {m_mp3, HlsFormat::Ts}},
            {"packed-aac", {m_packedAac, HlsFormat::Packed}},
            {"fmp4", {m_fmp4, HlsFormat::Fmp4}}};
        const auto [segments, hlsFormat] = media.value(format);
        QTemporaryDir dir;
        QUrl list = url("/list.m3u8");
        if (local) {
            QList<QByteArray> uris;
            for (int i = 0; i < segments.size(); ++i) {
                const QString path = dir.filePath("seg" + QString::number(i) + ".ts");
                QVERIFY(writeFile(path, withTitle(segments[i], "seg " + QString::number(i))));
                uris.append(i == 0 ? "seg0.ts" : QUrl::fromLocalFile(path).toEncoded()); // relative and absolute
            }
            QVERIFY(writeFile(dir.filePath("list.m3u8"), mediaPlaylist(0, uris, kSegmentSeconds)));
            list = QUrl::fromLocalFile(dir.filePath("list.m3u8"));
        } else {
            serve(segments, "seg", 0, {}, hlsFormat);
        }
        BVBass::outputDevice = -1;
        TitleLog titles; // outlives the player, which still changes its title when destroyed
        BVPlayer player;
        SinkRecorder recorder;
        QVERIFY(recorder.start());
        titles.watch(player);
        player.play(list);
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), BVPlayerSource::PlayingState, 5000);
        QTest::qWait(int(2600 * kSegmentSeconds)); // both segments heard
        const Pcm heard = firstChannel(recorder.stop(), SinkRecorder::kChannels);
        const Pcm played = trimSilence(heard);
        const std::string gaps = silentGaps(played, SinkRecorder::kRate, 10);
        QVERIFY2(gaps.empty(), gaps.c_str());
        const auto [changeMs, tone] = firstToneChange(heard, {440, 660});
        QCOMPARE(tone, 660.0);
        if (hlsFormat == HlsFormat::Fmp4) {
            QCOMPARE(titles.texts(), QStringList());
            return;
        }
        QCOMPARE(titles.texts(), (QStringList{"seg 0", "seg 1"}));
        titles.verifyHeardAt(1, changeMs);
    }

    // Each read of a live window plays on; a missing segment is fetched again (10 s later:
    // the clock moves a second at each look) and a slow one is waited for, without an error.
    void segmentFaults_data()
    {
        QTest::addColumn<bool>("slow");
        QTest::newRow("unavailable once") << false;
        QTest::newRow("slow") << true;
    }

    void segmentFaults()
    {
        QFETCH(bool, slow);
        serve(m_aac.mid(0, 3), "seg");
        HttpResponse second = HttpResponse::of("video/mp2t", withTitle(m_aac[1], "seg 1"));
        if (slow)
            second.bytesPerSecond = int(second.body.size() / kSegmentSeconds); // as fast as it plays
        else
            second.failures = 1;
        m_server->setResponse("/seg1.ts", second);
        std::optional<ManualClock> clock;
        if (!slow)
            clock.emplace();
        TitleLog titles;
        BVPlayer player;
        titles.watch(player);
        QSignalSpy errors(&player, &BVPlayer::error);
        player.play(url("/list.m3u8"));
        if (clock)
            QTRY_VERIFY(m_server->requests("/seg1.ts").size() == 2 || (clock->advance(1000), false));
        QTRY_COMPARE_WITH_TIMEOUT(titles.texts(), (QStringList{"seg 0", "seg 1"}), 6000);
        QCOMPARE(m_server->requests("/seg1.ts").size(), slow ? 1 : 2);
        QCOMPARE(errors.size(), 0);
        QVERIFY(player.isPlaying());
    }

    // The first segment takes 1.5 s: the host's loop keeps its 100 ms beat, no event loop of the
    // players' runs on its stack, and the host may delete a player at any time meanwhile: while
    // the playlist is fetched, while the first segment is held, as the stream opens, or never.
    void hostLoopDuringAStart()
    {
        serve(m_aac.mid(0, 3), "seg");
        HttpResponse held = HttpResponse::of("video/mp2t", withTitle(m_aac[0], "seg 0"));
        held.pauseAfterBytes = 0;
        held.pauseMs = 1500;
        m_server->setResponse("/seg0.ts", held);
        const QList<int> deleteAtMs{0, 600, 1600, -1};
        QList<BVPlayer *> players;
        for (int i = 0; i < deleteAtMs.size(); ++i)
            players.append(new BVPlayer);
        QElapsedTimer clock;
        qint64 lastTick = 0, longestGap = 0;
        int deepestLoop = 0;
        const int hostLoop = QThread::currentThread()->loopLevel();
        QTimer beat;
        beat.setTimerType(Qt::PreciseTimer);
        connect(&beat, &QTimer::timeout, this, [&] {
            longestGap = qMax(longestGap, clock.elapsed() - lastTick);
            lastTick = clock.elapsed();
            deepestLoop = qMax(deepestLoop, QThread::currentThread()->loopLevel() - hostLoop);
            for (int i = 0; i < players.size(); ++i)
                if (players[i] && deleteAtMs[i] >= 0 && clock.elapsed() >= deleteAtMs[i])
                    delete std::exchange(players[i], nullptr);
        });
        clock.start();
        beat.start(100);
        for (BVPlayer *player : players)
            player->play(url("/list.m3u8"));
        QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() > 1700 && players.last()->isPlaying(), 5000); // all deletions done
        QCOMPARE(deepestLoop, 0);
        QVERIFY2(longestGap < 300, qPrintable(QString::number(longestGap)));
        delete players.last();
    }

    // A media playlist that fails a few times is polled until it answers; one that keeps
    // failing ends in the player's error after ten failures in a row, and the player starts
    // again 5 s later. (The master playlist is fetched by the playlist parser, the media
    // playlists by the HLS back-end.) The clock moves a second at each look.
    void playlistFaults()
    {
        serve(m_aac.mid(0, 2), "seg");
        HttpResponse playlist = HttpResponse::of("application/vnd.apple.mpegurl",
                                                 mediaPlaylist(0, {"seg0.ts", "seg1.ts"}, kSegmentSeconds));
        playlist.failures = 3;
        m_server->setResponse("/list.m3u8", playlist);
        HttpResponse gone = HttpResponse::of("text/plain", "gone");
        gone.status = 500;
        m_server->setResponse("/gone.m3u8", gone);
        serveMaster("/recovering.m3u8", {{"list.m3u8", 64000}});
        serveMaster("/failing.m3u8", {{"gone.m3u8", 64000}});
        ManualClock clock;
        BVPlayer recovering;
        BVPlayer failing;
        QSignalSpy recoveringErrors(&recovering, &BVPlayer::error);
        QSignalSpy failingErrors(&failing, &BVPlayer::error);
        QSignalSpy recoveringStates(&recovering, &BVPlayer::stateChanged);
        recovering.play(url("/recovering.m3u8"));
        failing.play(url("/failing.m3u8"));
        // Either start may run inside the other's (its stream creation delivers events), so
        // the recovering player is checked for having played, not for playing still.
        QTRY_VERIFY(recoveringStates.contains({QVariant::fromValue(BVPlayerSource::PlayingState)})
                    || (clock.advance(1000), false));
        QVERIFY(m_server->requests("/list.m3u8").size() >= 4); // three failures, then polling
        QTRY_VERIFY(failingErrors.size() == 1 || (clock.advance(1000), false));
        QVERIFY(failingErrors[0][0].toString().startsWith("Hls playlist max read errors count reached"));
        QCOMPARE(failing.state(), BVPlayerSource::ErrorState);
        QCOMPARE(m_server->requests("/gone.m3u8").size(), 10);
        clock.advance(4900);
        QCOMPARE(failing.state(), BVPlayerSource::ErrorState);
        clock.advance(100); // the restart fetches the master playlist again
        QCOMPARE(failing.state(), BVPlayerSource::StalledState);
        QTRY_COMPARE(m_server->requests("/failing.m3u8").size(), 2);
        QCOMPARE(failingErrors.size(), 1);
        QCOMPARE(recoveringErrors.size(), 0);
        QVERIFY(recovering.isPlaying());
    }

    // Cuts and restarts: titles come in the order of their audio, the last one is shown,
    // nothing ends the player; a cut loses no title and keeps the title shown. A stop (and so
    // a pause, which stops a stream that can not seek) resumes where it was, fetching no
    // segment twice; a discontinuity (here to another codec) starts a new engine stream,
    // restarted or not. (Switches: the live station's test.)
    void titlesNeverStale_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("isRestarted");
        QTest::newRow("discontinuity") << "discontinuity" << true;
        QTest::newRow("discontinuity, not restarted") << "discontinuity" << false;
        QTest::newRow("stop and play") << "stop" << true;
    }

    void titlesNeverStale()
    {
        QFETCH(QString, action);
        QFETCH(bool, isRestarted);
        if (action == QLatin1String("discontinuity"))
            serve(m_mp3 + m_aac.mid(0, 2), "seg", 0, {2});
        else
            serve(m_aac.mid(0, 4), "seg");
        BVPlayer player;
        player.setIsRestarted(isRestarted);
        QStringList titles;
        bool blankAfterTitle = false;
        connect(&player, &BVPlayer::metaChanged, this, [&](const QString &meta) {
            blankAfterTitle = blankAfterTitle || (meta.isEmpty() && !titles.isEmpty());
            if (!meta.isEmpty())
                titles.append(meta);
        });
        QSignalSpy errors(&player, &BVPlayer::error);
        QSignalSpy ended(&player, &BVPlayer::ended);
        player.play(url("/list.m3u8"));
        QTRY_VERIFY_WITH_TIMEOUT(titles.size() >= 2, 5000);
        if (action != QLatin1String("discontinuity")) {
            player.stop();
            QTest::qWait(300);
            player.play();
        }
        QTRY_COMPARE_WITH_TIMEOUT(titles.value(titles.size() - 1), "seg 3", 12000);
        if (action == QLatin1String("discontinuity")) { // every title once, and the title stays across the cut
            QCOMPARE(titles, QStringList({"seg 0", "seg 1", "seg 2", "seg 3"}));
            QVERIFY(!blankAfterTitle);
        }
        QVERIFY2(std::is_sorted(titles.begin(), titles.end(), [](const QString &a, const QString &b) {
                     return a.split(' ').value(1).toInt() < b.split(' ').value(1).toInt();
                 }), qPrintable(titles.join(", ")));
        QCOMPARE(errors.size(), 0);
        QCOMPARE(ended.size(), 0);
        QVERIFY(player.isPlaying());
        for (int i = 0; i < 4; ++i)
            QCOMPARE(m_server->requests("/seg" + QByteArray::number(i) + ".ts").size(), 1);
    }

    // Segments numbered far beyond what is held still follow on.
    void mediaSequenceJump()
    {
        serve(m_aac.mid(0, 2), "old", 0);
        TitleLog titles;
        BVPlayer player;
        titles.watch(player);
        player.play(url("/list.m3u8"));
        QTRY_VERIFY_WITH_TIMEOUT(titles.texts().contains("old 0"), 5000);
        serve(m_aac.mid(2, 2), "new", 1000);
        QTRY_VERIFY_WITH_TIMEOUT(titles.texts().contains("new 0"), 8000);
        QVERIFY(player.isPlaying());
    }

    // A station whose high variant arrives at a quarter of the speed it plays: the first
    // segment slower to arrive than to play moves playback down to the low variant, which is
    // heard within 4 s of the start and goes on without a hole.
    void throttledDeliverySwitchesDown()
    {
        BVBass::outputDevice = -1;
        const QStringList lowRate{"-c:a", "aac", "-b:a", "32k"};
        const QList<QByteArray> low = makeHlsSegments(QList<double>(16, 440), kSegmentSeconds, lowRate);
        const QList<QByteArray> high = makeHlsSegments(QList<double>(16, 660), kSegmentSeconds);
        QVERIFY(low.size() == 16 && high.size() == 16);
        serve(low, "lo", 0, {}, HlsFormat::Ts, "/lo.m3u8");
        serve(high, "hi", 0, {}, HlsFormat::Ts, "/hi.m3u8");
        for (int i = 0; i < high.size(); ++i) {
            HttpResponse slow = HttpResponse::of("video/mp2t", high[i]);
            slow.bytesPerSecond = int(high[i].size() / 2);
            m_server->setResponse("/hi" + QByteArray::number(i) + ".ts", slow);
        }
        serveMaster("/master.m3u8", {{"lo.m3u8", 40000}, {"hi.m3u8", 140000}});
        BVPlayer player;
        SinkRecorder recorder;
        QVERIFY(recorder.start());
        player.play(url("/master.m3u8"));
        QTRY_COMPARE_WITH_TIMEOUT(player.currentBitrate(), 140000u, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(player.currentBitrate(), 40000u, 5000);
        QTest::qWait(3000);
        const Pcm heard = firstChannel(recorder.stop(), SinkRecorder::kChannels);
        const Pcm played = trimSilence(heard);
        QVERIFY(!played.empty());
        const auto firstSound = std::find_if(heard.begin(), heard.end(), [](qint16 v) { return std::abs(v) >= 300; });
        const double firstSoundMs = 1000.0 * double(firstSound - heard.begin()) / SinkRecorder::kRate;
        QVERIFY2(firstSoundMs < 4000, qPrintable(QString::number(firstSoundMs)));
        const std::string gaps = silentGaps(played, SinkRecorder::kRate, 10);
        QVERIFY2(gaps.empty(), gaps.c_str());
        QVERIFY(player.isPlaying());
        QVERIFY(tonePower(played, SinkRecorder::kRate, 440) > 10 * tonePower(played, SinkRecorder::kRate, 660));
    }

    // The local live station: master playlist, three variants, titles on the beat of the tone
    // changes; choosing another bitrate moves playback to that variant's segments (their text
    // comes as title and artist instead of TXXX) without a hole at the sink. The adaptation
    // step that applies the choice runs on the manual clock, moved a second at each look.
    void liveStationAndBitrateSwitch()
    {
        const QByteArray master = qgetenv("BV_HLS_MASTER");
        if (master.isEmpty())
            QSKIP("the live HLS station is not running (scripts/services.sh start)");
        BVBass::outputDevice = -1;
        ManualClock clock;
        TitleLog titles;
        BVPlayer player;
        SinkRecorder recorder;
        QVERIFY(recorder.start());
        titles.watch(player);
        player.play(QUrl(QString::fromLatin1(master)));
        QTRY_COMPARE_WITH_TIMEOUT(player.state(), BVPlayerSource::PlayingState, 5000);
        QCOMPARE(player.playingBitrates(), (QList<quint32>{35200, 70400, 140800}));
        QCOMPARE(player.currentBitrate(), 140800u);
        QTRY_VERIFY_WITH_TIMEOUT(!titles.texts().isEmpty(), 6000);
        QVERIFY(!titles.texts().first().contains("ARTIST:"));
        player.setPlayingBitrate(70400);
        QTRY_VERIFY(player.currentBitrate() == 70400u || (clock.advance(1000), false));
        QTRY_VERIFY_WITH_TIMEOUT(titles.texts().last().contains("ARTIST:") || (clock.advance(1000), false), 15000);
        QVERIFY(player.isPlaying());
        const Pcm heard = firstChannel(recorder.stop(), SinkRecorder::kChannels);
        const Pcm played = trimSilence(heard);
        const std::string gaps = silentGaps(played, SinkRecorder::kRate, 10);
        QVERIFY2(gaps.empty(), gaps.c_str());
        const auto [changeMs, tone] = firstToneChange(heard, {440, 660});
        QVERIFY2(titles.texts()[1].contains(QStringLiteral("(%1 Hz)").arg(tone)), qPrintable(titles.texts()[1]));
        titles.verifyHeardAt(1, changeMs);
        // No title from before the switch comes after it: the tune numbers never go back.
        static const QRegularExpression tune(QStringLiteral("Tune (\\d+)"));
        const QStringList texts = titles.texts();
        QVERIFY2(std::is_sorted(texts.begin(), texts.end(), [](const QString &a, const QString &b) {
                     return tune.match(a).captured(1).toInt() < tune.match(b).captured(1).toInt();
                 }), qPrintable(texts.join(", ")));
    }
};

QTEST_GUILESS_MAIN(TestBVHlsPlayback)
#include "tst_bvhlsplayback.moc"
