// The player's interface model: setter discipline of the simple source, push
// slots, the meta-method order remote calls rely on, and a replica on a
// second node observing and driving a source.
#include "rep_bvplayer_replica.h"
#include "rep_bvplayer_source.h"

#include <QRemoteObjectHost>
#include <QRemoteObjectNode>
#include <QSignalSpy>
#include <QTest>

#include <cmath>

namespace {

// A source whose control slots record what they were asked.
class RecordingSource : public BVPlayerSimpleSource {
public:
    QStringList calls;
    QList<double> positions;

    // The read-only properties' setters, opened for the test.
    using BVPlayerSimpleSource::setAvailableBitrates;
    using BVPlayerSimpleSource::setMeta;
    using BVPlayerSimpleSource::setState;
    using BVPlayerSimpleSource::setStreams;

    void setPosition(double position) override { positions << position; } // a seek, not a store
    void play(QUrl url) override { calls << "play " + url.toString(); }
    void play() override { calls << "play"; }
    void pause() override { calls << "pause"; }
    void stop() override { calls << "stop"; }
    void skipForward(double duration) override { calls << QString("forward %1").arg(duration); }
    void skipBackward(double duration) override { calls << QString("backward %1").arg(duration); }
};

} // namespace

class TestBVPlayerInterface : public QObject {
    Q_OBJECT

private slots:
    // Runs first: a process that holds only a source or a replica knows the container types too.
    void containerTypesKnownWithoutAPlayer()
    {
        QVERIFY(QMetaType::fromName("BVPlaylistStreams").isValid());
        QVERIFY(QMetaType::fromName("QList<quint32>").isValid());
    }

    // Remote-object connections are deleted later: let that happen before the process ends.
    void cleanupTestCase() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void settersEmitOnlyOnChange()
    {
        RecordingSource source;
        QSignalSpy volume(&source, &BVPlayerSource::volumeChanged);
        source.setVolume(0.5);
        source.setVolume(0.5);
        QCOMPARE(volume.size(), 1);
        QCOMPARE(volume.value(0).value(0).toDouble(), 0.5);

        QSignalSpy rate(&source, &BVPlayerSource::playbackRateChanged);
        source.setPlaybackRate(std::nan(""));
        source.setPlaybackRate(std::nan(""));
        QCOMPARE(rate.size(), 2); // NaN never equals itself

        QSignalSpy streams(&source, &BVPlayerSource::streamsChanged);
        BVPlaylistStreams a;
        a.insert(128000, QUrl("http://a.test/hi"));
        a.insert(128000, QUrl("http://b.test/hi"));
        a.insert(64000, QUrl("http://a.test/lo"));
        BVPlaylistStreams b;
        b.insert(64000, QUrl("http://a.test/lo"));
        b.insert(128000, QUrl("http://a.test/hi"));
        b.insert(128000, QUrl("http://b.test/hi"));
        source.setStreams(a);
        source.setStreams(b); // the same map built in another order
        QCOMPARE(streams.size(), 1);
    }

    void pushSlotsCallTheSetters()
    {
        RecordingSource source;
        QSignalSpy volume(&source, &BVPlayerSource::volumeChanged);
        source.pushVolume(0.25);
        QCOMPARE(source.volume(), 0.25);
        QCOMPARE(volume.size(), 1);
        source.pushPosition(12.5);
        QCOMPARE(source.positions, QList<double>{12.5});
        QCOMPARE(source.position(), 0.0); // the overriding setter decides
    }

    // Remote calls address methods by index: the order is part of the interface.
    void metaMethodOrder()
    {
        const QMetaObject &meta = BVPlayerSource::staticMetaObject;
        const int first = meta.methodOffset();
        const QList<QByteArray> expected = {
            "streamUrlChanged(QUrl)", "isRestartedChanged(bool)", "isHlsChanged(bool)", "isSeekableChanged(bool)",
            "stateChanged(State)", "isPlayingChanged(bool)", "isStalledChanged(bool)", "isPausedChanged(bool)",
            "isStoppedChanged(bool)", "lengthChanged(double)", "bufferedLengthChanged(double)",
            "startPositionChanged(double)", "positionChanged(double)", "isUpdatesLevelChanged(bool)",
            "levelChanged(double)", "levelDbChanged(double)", "playbackRateChanged(double)", "metaChanged(QString)",
            "volumeChanged(double)", "duckVolumeChanged(bool)", "streamsChanged(BVPlaylistStreams)",
            "playingBitratesChanged(QList<quint32>)", "availableBitratesChanged(QList<quint32>)",
            "currentBitrateChanged(quint32)", "currentQualityChanged(Quality)", "playingBitrateChanged(quint32)",
            "playingQualityChanged(Quality)", "deviceFailure()", "ended()", "error(QString)",
            "pushStreamUrl(QUrl)", "pushIsRestarted(bool)", "pushPosition(double)", "pushIsUpdatesLevel(bool)",
            "pushPlaybackRate(double)", "pushVolume(double)", "pushDuckVolume(bool)", "pushPlayingBitrate(quint32)",
            "pushPlayingQuality(Quality)", "play(QUrl)", "play()", "pause()", "stop()", "skipForward(double)",
            "skipBackward(double)"};
        for (int i = 0; i < expected.size(); ++i) {
            const QByteArray signature = meta.method(first + i).methodSignature();
            // As moc writes them: bare quint32 as uint, enums scoped in the source class.
            QByteArray want = expected[i];
            want.replace("(State)", "(BVPlayerSource::State)").replace("(Quality)", "(BVPlayerSource::Quality)");
            want.replace("(quint32)", "(uint)");
            QCOMPARE(signature, want);
        }
        QCOMPARE(meta.propertyCount() - meta.propertyOffset(), 27);
        QCOMPARE(QByteArray(meta.classInfo(meta.indexOfClassInfo("RemoteObject Type")).value()), QByteArray("BVPlayer"));
    }

    void replicaObservesAndDrives()
    {
        RecordingSource source;
        source.setVolume(0.8);
        source.setState(BVPlayerSource::StoppedState);
        BVPlaylistStreams streams;
        streams.insert(96000, QUrl("http://radio.test/96"));
        source.setStreams(streams);
        source.setAvailableBitrates({64000, 96000});

        const QUrl address(QStringLiteral("local:bvplayer-interface-test"));
        QRemoteObjectHost host(address);
        QVERIFY(host.enableRemoting(&source, QStringLiteral("BVPlayer")));
        QRemoteObjectNode node;
        QVERIFY(node.connectToNode(address));
        QScopedPointer<BVPlayerReplica> replica(node.acquire<BVPlayerReplica>(QStringLiteral("BVPlayer")));
        QVERIFY(replica->waitForSource(5000));
        QCOMPARE(replica->volume(), 0.8);
        QCOMPARE(replica->state(), BVPlayerReplica::StoppedState);
        QCOMPARE(replica->streams(), streams);
        QCOMPARE(replica->availableBitrates(), QList<quint32>({64000, 96000}));

        QSignalSpy meta(replica.data(), &BVPlayerReplica::metaChanged);
        source.setMeta(QStringLiteral("Artist - Title"));
        QTRY_COMPARE(meta.size(), 1);
        QCOMPARE(replica->meta(), QStringLiteral("Artist - Title"));

        QSignalSpy error(replica.data(), &BVPlayerReplica::error);
        emit source.error(QStringLiteral("Playback start error."));
        QTRY_COMPARE(error.size(), 1);
        QCOMPARE(error.value(0).value(0).toString(), QStringLiteral("Playback start error."));

        replica->pushVolume(0.3);
        replica->play(QUrl("http://radio.test/live"));
        replica->pushPosition(42.0);
        replica->skipBackward(10.0);
        replica->stop();
        QTRY_COMPARE(source.calls, QStringList({"play http://radio.test/live", "backward 10", "stop"}));
        QCOMPARE(source.volume(), 0.3);
        QCOMPARE(source.positions, QList<double>{42.0});
    }
};

QTEST_GUILESS_MAIN(TestBVPlayerInterface)
#include "tst_bvplayerinterface.moc"
