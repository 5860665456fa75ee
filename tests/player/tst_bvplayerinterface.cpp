// The player's interface over Qt Remote Objects: a replica on a second node
// observes a published source, container types included, and drives it.
#include "rep_bvplayer_replica.h"
#include "rep_bvplayer_source.h"

#include <QRemoteObjectHost>
#include <QRemoteObjectNode>
#include <QSignalSpy>
#include <QTest>

namespace {

// A source whose control slots record what they were asked.
class RecordingSource : public BVPlayerSimpleSource {
public:
    QStringList calls;
    QList<double> positions;

    using BVPlayerSimpleSource::setAvailableBitrates;
    using BVPlayerSimpleSource::setMeta;
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
    // Remote-object connections are deleted later: let that happen before the process ends.
    void cleanupTestCase() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void replicaObservesAndDrives()
    {
        RecordingSource source;
        source.setVolume(0.8);
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
