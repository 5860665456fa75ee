// Stream choice and bitrate adaptation as arithmetic, on a back-end whose delivery speed the test sets.
#include "bvbass.h"
#include "bvplayback.h"
#include "bvplayer.h"

#include <QSignalSpy>
#include <QTest>

namespace {

// A player whose streams the test sets directly.
class Player : public BVPlayer {
public:
    using BVPlayer::setStreams;
};

// A back-end whose delivery speed is whatever the test says.
class SteeredPlayback : public BVPlayback {
public:
    explicit SteeredPlayback(BVPlayer *player) : BVPlayback(player) {}
    double speed = 1.0;
    void step(int times = 1) { for (int i = 0; i < times; ++i) updateBitrateCoef(); }

protected:
    double speedCoef() override { return speed; }
};

BVPlaylistStreams streams(const QList<quint32> &bitrates)
{
    BVPlaylistStreams map;
    for (quint32 b : bitrates)
        map.insert(b, QUrl(QStringLiteral("http://radio.test/%1").arg(b)));
    return map;
}

} // namespace

class TestBVBitrates : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { BVBass::outputDevice = 0; }

    // Each quality's band, ascending; an empty band takes the key nearest its middle; a set bitrate the nearest key.
    void playingBitrates_data()
    {
        QTest::addColumn<QList<quint32>>("keys");
        QTest::addColumn<int>("quality");
        QTest::addColumn<quint32>("bitrate");
        QTest::addColumn<QList<quint32>>("expected");
        const QList<quint32> four{128000, 32000, 96000, 64000};
        QTest::newRow("auto: all, ascending") << four << int(BVPlayerSource::AutoQuality) << 0u << QList<quint32>{32000, 64000, 96000, 128000};
        QTest::newRow("high band") << four << int(BVPlayerSource::HighQuality) << 0u << QList<quint32>{96000, 128000};
        QTest::newRow("explicit: nearest") << four << int(BVPlayerSource::LowQuality) << 100000u << QList<quint32>{96000};
        QTest::newRow("explicit: above all") << four << int(BVPlayerSource::AutoQuality) << 4000000000u << QList<quint32>{128000};
        QTest::newRow("empty low band") << QList<quint32>{96000, 128000} << int(BVPlayerSource::LowQuality) << 0u
                                        << QList<quint32>{96000}; // middle 24000
        QTest::newRow("empty high band") << QList<quint32>{32000, 40000} << int(BVPlayerSource::HighQuality) << 0u
                                         << QList<quint32>{40000}; // middle 2147527647
    }

    void playingBitrates()
    {
        QFETCH(QList<quint32>, keys);
        QFETCH(int, quality);
        QFETCH(quint32, bitrate);
        QFETCH(QList<quint32>, expected);
        Player player;
        player.setPlayingQuality(BVPlayerSource::Quality(quality));
        player.setPlayingBitrate(bitrate);
        player.setStreams(streams(keys));
        QCOMPARE(player.playingBitrates(), expected);
    }

    // The coefficient picks a position in the list (clamped); each mirror of a bitrate is chosen now and then.
    void streamChoice()
    {
        Player player;
        player.setStreams(streams({32000, 64000, 96000, 128000}));
        QCOMPARE(player.bitrateByCoef(0.5), 96000u);
        QCOMPARE(player.bitrateByCoef(-3), 32000u);
        QCOMPARE(player.bitrateByCoef(qQNaN()), 32000u);
        QCOMPARE(player.bitrateByCoef(qInf()), 128000u);
        BVPlaylistStreams map = streams({64000});
        map.insert(128000, QUrl("http://a.test/"));
        map.insert(128000, QUrl("http://b.test/"));
        player.setStreams(map);
        QSet<QUrl> seen;
        for (int i = 0; i < 200; ++i)
            seen.insert(player.streamByBitrate(128000));
        QCOMPARE(seen, QSet<QUrl>({QUrl("http://a.test/"), QUrl("http://b.test/")}));
        QCOMPARE(player.streamByBitrate(1), QUrl());
        player.setStreams({});
        QCOMPARE(player.bitrateByCoef(1.0), 0u);
    }

    // A slow delivery walks the coefficient down one step per evaluation once the window is
    // full, and each change of the chosen bitrate asks for one restart; a fast one walks it back.
    void adaptationFollowsTheSpeed()
    {
        Player player;
        player.setStreams(streams({32000, 64000, 128000}));
        SteeredPlayback playback(&player);
        QSignalSpy restarts(&playback, &BVPlayback::restartRequired);
        playback.speed = 0.0;
        playback.step(19);
        QCOMPARE(playback.bitrateCoef(), 1.0); // the window is not full yet
        playback.step();
        QCOMPARE(playback.bitrateCoef(), 0.99);
        QCOMPARE(playback.currentBitrate(), 128000u);
        QCOMPARE(restarts.size(), 1); // 0 -> 128000: the first evaluation sets the bitrate
        playback.step(100);
        QCOMPARE(playback.bitrateCoef(), 0.0);
        QCOMPARE(playback.currentBitrate(), 32000u);
        QCOMPARE(restarts.size(), 3); // down to 64000, then 32000
        QCOMPARE(restarts.last().value(0).toUInt(), 32000u);
        playback.speed = 2.0;
        playback.step(126);
        QCOMPARE(playback.bitrateCoef(), 1.0);
        QCOMPARE(playback.currentBitrate(), 128000u);
    }
};

QTEST_GUILESS_MAIN(TestBVBitrates)
#include "tst_bvbitrates.moc"
