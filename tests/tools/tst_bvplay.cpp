// bvplay's command-line contract: JSON output on a local ICY stream, exit
// statuses, and a publisher driven by a second bvplay through a replica.
#include "testhttpserver.h"
#include "testmedia.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace bvtest;

namespace {

QList<QJsonObject> jsonLines(const QByteArray &output)
{
    QList<QJsonObject> objects;
    for (const QByteArray &line : output.split('\n'))
        if (!line.isEmpty())
            objects.append(QJsonDocument::fromJson(line).object());
    return objects;
}

QStringList valuesOf(const QList<QJsonObject> &lines, const QString &property)
{
    QStringList values;
    for (const QJsonObject &line : lines)
        if (line.value("property").toString() == property)
            values.append(line.value("value").toVariant().toString());
    return values;
}

} // namespace

class TestBVPlay : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    TestHttpServer m_server;

    int run(const QStringList &args, QByteArray *out = nullptr, int timeoutMs = 20000)
    {
        QProcess bvplay;
        bvplay.start(BVPLAY_PATH, args);
        if (!bvplay.waitForFinished(timeoutMs)) {
            bvplay.kill();
            bvplay.waitForFinished();
            return -1;
        }
        if (out)
            *out = bvplay.readAllStandardOutput();
        return bvplay.exitStatus() == QProcess::NormalExit ? bvplay.exitCode() : -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(makeTone(m_dir.filePath("live.mp3"), 440, 4.0,
                         {"-c:a", "libmp3lame", "-b:a", "128k", "-write_xing", "0", "-id3v2_version", "0"}));
        QFile mp3(m_dir.filePath("live.mp3"));
        QVERIFY(mp3.open(QIODevice::ReadOnly));
        HttpResponse live = HttpResponse::of("audio/mpeg", mp3.readAll());
        live.live = true;
        live.bytesPerSecond = 16000;
        live.burstBytes = 32000;
        live.icyMetaInt = 8000;
        live.titles = {"Artist - Title"};
        m_server.setResponse("/live", live);
    }

    void jsonReportsStatesAndTitle()
    {
        QByteArray out;
        QCOMPARE(run({"--json", "--device", "0", "--duration", "4", QString::fromLatin1(m_server.url("/live"))}, &out), 0);
        const QList<QJsonObject> lines = jsonLines(out);
        QVERIFY(lines.size() > 27);
        QCOMPARE(lines.first().value("property").toString(), QString("streamUrl"));
        QCOMPARE(lines.first().value("t").toDouble(), 0.0);
        const QStringList states = valuesOf(lines, "state");
        QCOMPARE(states.mid(0, 3), QStringList({"StoppedState", "StalledState", "PlayingState"}));
        QVERIFY(valuesOf(lines, "meta").contains("StreamTitle='Artist - Title';StreamUrl='';"));
        QCOMPARE(valuesOf(lines, "playingBitrates").size(), 2); // the initial empty list, then the stream's
    }

    void exitStatuses_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::newRow("dead URL without restarts") << QStringList{"--no-restart", "--device", "0", "http://127.0.0.1:1/none"} << 1;
        QTest::newRow("unknown option") << QStringList{"--bogus"} << 2;
        QTest::newRow("bad number") << QStringList{"--volume", "loud"} << 2;
        QTest::newRow("bad quality") << QStringList{"--quality", "ultra"} << 2;
        QTest::newRow("two URLs") << QStringList{"http://a.test/", "http://b.test/"} << 2;
        QTest::newRow("help") << QStringList{"--help"} << 0;
    }

    void exitStatuses()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QCOMPARE(run(args), status);
    }

    // A second bvplay attaches a replica, sees the title, and its stop command stops the publisher.
    void publishAndConnect()
    {
        const QString node = "local:bvplay-test-" + QString::number(QCoreApplication::applicationPid());
        QProcess publisher;
        publisher.start(BVPLAY_PATH, {"--json", "--device", "0", "--duration", "20", "--publish", node,
                                      QString::fromLatin1(m_server.url("/live"))});
        QVERIFY(publisher.waitForStarted());
        QByteArray publisherOut;
        // The node is up once the publisher plays.
        QTRY_VERIFY_WITH_TIMEOUT(valuesOf(jsonLines(publisherOut += publisher.readAllStandardOutput()), "state")
                                     .contains("PlayingState"),
                                 10000);
        QProcess remote;
        remote.start(BVPLAY_PATH, {"--connect", node, "--duration", "15"});
        QVERIFY(remote.waitForStarted());
        QByteArray remoteOut;
        QTRY_VERIFY_WITH_TIMEOUT((remoteOut += remote.readAllStandardOutput()).contains("StreamTitle='Artist - Title'"),
                                 10000);
        remote.write("stop\n");
        QTRY_VERIFY_WITH_TIMEOUT(valuesOf(jsonLines(publisherOut += publisher.readAllStandardOutput()), "state").endsWith("StoppedState"),
                                 5000);
        QTRY_VERIFY_WITH_TIMEOUT(valuesOf(jsonLines(remoteOut += remote.readAllStandardOutput()), "state").endsWith("StoppedState"),
                                 5000);
        remote.kill();
        publisher.kill();
        remote.waitForFinished();
        publisher.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestBVPlay)
#include "tst_bvplay.moc"
