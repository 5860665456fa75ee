// bvplay's command-line contract: its output, exit statuses, and a publisher driven through a replica.
#include "testhttpserver.h"
#include "testmedia.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>

using namespace bvtest;

namespace {

// The values `property` took in bvplay's JSON output, in order.
QStringList valuesOf(const QByteArray &output, const QString &property)
{
    QStringList values;
    for (const QByteArray &line : output.split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.value("property").toString() == property)
            values.append(object.value("value").toVariant().toString());
    }
    return values;
}

} // namespace

class TestBVPlay : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    TestHttpServer m_server;
    QByteArray m_mp3;

    // Runs bvplay to its end; with `until`, ends it with SIGTERM once its standard output satisfies
    // `until` (-1 if it never does), and `mapped` gets the libraries it has mapped by then.
    int run(const QStringList &args, QByteArray *out = nullptr, QByteArray *err = nullptr,
            const std::function<bool(const QByteArray &)> &until = {}, QByteArray *mapped = nullptr)
    {
        QProcess bvplay;
        bvplay.start(BVPLAY_PATH, args);
        QByteArray stdOut;
        if (until) {
            if (!QTest::qWaitFor([&] { return until(stdOut += bvplay.readAllStandardOutput()); }, 10000))
                return -1;
            QFile maps(QString("/proc/%1/maps").arg(bvplay.processId()));
            if (mapped)
                *mapped = maps.open(QIODevice::ReadOnly) ? maps.readAll() : QByteArray();
            bvplay.terminate();
        }
        const bool finished = bvplay.waitForFinished(20000);
        if (!finished) {
            bvplay.kill();
            bvplay.waitForFinished();
        }
        if (out)
            *out = stdOut + bvplay.readAllStandardOutput();
        if (err)
            *err = bvplay.readAllStandardError();
        return finished && bvplay.exitStatus() == QProcess::NormalExit ? bvplay.exitCode() : -1;
    }

    QString url(const QByteArray &path) const { return QString::fromLatin1(m_server.url(path)); }
    QString withPassword(const QByteArray &path) const { return url(path).replace("//", "//bob:secret@"); }

private slots:
    void initTestCase()
    {
        QVERIFY(makeTone(m_dir.filePath("live.mp3"), 440, 4.0,
                         {"-c:a", "libmp3lame", "-b:a", "128k", "-write_xing", "0", "-id3v2_version", "0"}));
        m_mp3 = readFile(m_dir.filePath("live.mp3"));
        m_server.setResponse("/noise.mp3", HttpResponse::of("audio/mpeg", QByteArray(64 * 1024, '\x01')));
        m_server.setResponse("/now.json", HttpResponse::of("application/json",
            "{\"uniqueid\":\"1\",\"artist\":\"Band\",\"title\":\"Song\",\"cover\":\"art.png\"}"));
    }

    // A live ICY stream and a now-playing service, both URLs with a password, as JSON and status lines: the
    // title (apostrophes and Latin-1 accents intact, no control characters), the service's data, no password.
    // MP3 is decoded without FFmpeg, whose module comes in for AAC only (the HLS demos).
    void liveStreamWithService_data()
    {
        QTest::addColumn<bool>("json");
        QTest::addColumn<QByteArray>("title");
        QTest::addColumn<QStringList>("shown"); // the run ends once the output holds all of them
        const QString cover = QString("\"cover\":\"http://bob@127.0.0.1:%1/art.png\"").arg(m_server.port());
        QTest::newRow("JSON") << true << QByteArray("Artist - Title")
                              << QStringList{"\"PlayingState\"", "StreamTitle='Artist - Title';StreamUrl='';",
                                             "\"artist\":\"Band\"," + cover, "\"title\":\"Song\""};
        QTest::newRow("status lines") << false << QByteArray("Guns N' Roses - Bj\xf6rk\x1b]0;owned\x07!")
                                      << QStringList{"playing | Guns N' Roses - Björk ]0;owned ! | ",
                                                     "now playing: Band - Song ", "/art.png"};
    }

    void liveStreamWithService()
    {
        QFETCH(bool, json);
        QFETCH(QByteArray, title);
        QFETCH(QStringList, shown);
        m_server.setResponse("/live", HttpResponse::liveMp3(m_mp3, {title}));
        const auto allShown = [&shown](const QByteArray &o) {
            const QString text = QString::fromUtf8(o);
            return std::all_of(shown.cbegin(), shown.cend(), [&text](const QString &s) { return text.contains(s); });
        };
        const QStringList args{"--device", "0", "--meta-url", withPassword("/now.json"), withPassword("/live")};
        QByteArray out, err, mapped;
        const int status = run(json ? QStringList{"--json"} + args : args, &out, &err, allShown, &mapped);
        QVERIFY2(status == 0, (err + out).constData());
        QVERIFY2(!out.contains('\x1b') && !out.contains('\x07') && !out.contains("secret"), out.constData());
        QVERIFY(!mapped.contains("libbvaudio-ffmpeg.so") && !mapped.contains("libavcodec"));
        QVERIFY(mapped.contains("libmpg123")); // linked: the engine's own decoder
    }

    // The HLS demos play offline through FFmpeg's module: master playlist variants, titles from timed ID3
    // in MPEG-TS (packed audio: tst_bvhlsplayback); a start on the HLS worker is no failed start.
    void hlsDemoPlaysWithTitles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("title");
        QTest::newRow("MPEG-TS") << "hls" << "BrevantPlayer Demo - Tune 1 (440 Hz)";
        QTest::newRow("fMP4") << "hls-fmp4" << QString();
    }

    void hlsDemoPlaysWithTitles()
    {
        QFETCH(QString, kind);
        QFETCH(QString, title);
        const auto variantsAndTitle = [&title](const QByteArray &o) {
            return (title.isEmpty() || valuesOf(o, "meta").contains(title)) && valuesOf(o, "isHls").contains("true")
                && valuesOf(o, "state").contains("PlayingState") && valuesOf(o, "playingBitrates").size() == 2;
        };
        QByteArray out, err, mapped;
        const int status = run({"--no-restart", "--json", "--device", "0", "--demo", kind}, &out, &err,
                               variantsAndTitle, &mapped);
        QVERIFY2(status == 0, (err + out.right(2000)).constData());
        QVERIFY(mapped.contains("libbvaudio-ffmpeg.so") && mapped.contains("libavcodec"));
    }

    // Exit statuses and the reason printed: 2 for bad arguments (numbers finite and in range, the option
    // named), 1 for what it can not play, a failed start with --no-restart, a node that publishes nothing.
    void exitStatuses_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing, without restarts") << QStringList{"--no-restart", "--json", "--device", "0", url("/missing")}
                                                   << 1 << "(ContentNotFoundError)\"],\"signal\":\"error\"";
        // A stream the engine can not decode reports the engine's own error, not a local file's.
        QTest::newRow("undecodable, without restarts") << QStringList{"--no-restart", "--device", "0", url("/noise.mp3")} << 1
                                                       << "BASS_ERROR_FILEFORM";
        QTest::newRow("empty URL") << QStringList{"--device", "0", QString()} << 1 << "the URL is empty";
        QTest::newRow("unknown scheme") << QStringList{"--device", "0", "ftp://127.0.0.1/x.mp3"} << 1 << "not an http(s) URL";
        QTest::newRow("missing file") << QStringList{"--device", "0", "/nonexistent/x.mp3"} << 1 << "no such file";
        QTest::newRow("connect to nothing") << QStringList{"--connect", "tcp://127.0.0.1:1", "--timeout-ms", "300"} << 1
                                            << "no player published";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << "Unknown option 'bogus'";
        QTest::newRow("bad quality") << QStringList{"--quality", "ultra"} << 2 << "--quality takes";
        QTest::newRow("unknown demo") << QStringList{"--demo", "flac"} << 2 << "--demo takes";
        QTest::newRow("two URLs") << QStringList{"http://a.test/", "http://b.test/"} << 2 << "more than one URL";
        const QList<QStringList> badNumbers{{"--duration", "nan"}, {"--rate", "0"}, {"--volume", "loud"},
                                            {"--bitrate", "1.5"}, {"--device", "1e10"}};
        for (const QStringList &option : badNumbers)
            QTest::newRow(qPrintable(option.join(' '))) << option + QStringList{url("/live")} << 2 << option.first() + " takes";
    }

    void exitStatuses()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, reason);
        QByteArray out, err;
        QCOMPARE(run(args, &out, &err), status);
        QVERIFY2((args.contains("--json") ? out : err).contains(reason.toUtf8()), (out + err).constData());
    }

    // --duration ends bvplay while a stream creation still waits for its server (SIGTERM takes the
    // same way out once it has woken the watchdog, as it does in every run that ends with `until`).
    void busyPlayerStillExits()
    {
        // Answered as audio, then junk trickles: the stream creation holds the player's thread to its deadline.
        HttpResponse trickle = HttpResponse::of("audio/mpeg", QByteArray(64, '\0'));
        trickle.live = true;
        trickle.bytesPerSecond = 10;
        m_server.setResponse("/trickle", trickle);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(run({"--device", "0", "--duration", "1", url("/trickle")}), 0);
        QVERIFY2(timer.elapsed() < 3500, QByteArray::number(timer.elapsed()));
    }

    // A bvplay killed outright takes its HLS demo's encoder with it (it writes files, so no
    // broken pipe would end it).
    void killedBvplayLeavesNoEncoder()
    {
        QProcess bvplay;
        bvplay.start(BVPLAY_PATH, {"--device", "0", "--demo", "hls"});
        QVERIFY(bvplay.waitForStarted());
        const QString tasks = QString("/proc/%1/task").arg(bvplay.processId());
        const auto readChild = [&] { // the encoder's thread may be any of bvplay's
            for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                QFile file(tasks + "/" + task + "/children");
                const QByteArray children = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
                if (!children.isEmpty())
                    return children;
            }
            return QByteArray();
        };
        QTRY_VERIFY(!readChild().isEmpty());
        const QByteArray encoder = readChild().split(' ').first();
        const auto alive = [&encoder] {
            QFile stat("/proc/" + encoder + "/stat");
            return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z "); // a zombie is dead
        };
        QVERIFY(alive());
        ::kill(pid_t(bvplay.processId()), SIGKILL);
        QVERIFY(bvplay.waitForFinished());
        QTRY_VERIFY(!alive());
    }

    // Host-fed sources pass through as given.
    void hostFedUrlsPassThrough()
    {
        QByteArray out;
        const auto named = [](const QByteArray &o) { return o.contains("record:0"); };
        QCOMPARE(run({"--json", "--device", "0", "record:0"}, &out, nullptr, named), 0);
        QCOMPARE(valuesOf(out, "streamUrl"), QStringList({"", "record:0"}));
    }

    // Without a URL, --ad demo plays the built-in ad (a VAST 4.2 wrapper) before the demo station and its
    // now-playing service. A replica in a second bvplay clicks the ad, sees the station's title and streams,
    // and stops the publisher once the ad has ended. Every tracking request is logged in order and reaches
    // the demo's ad server.
    void publishAndConnect()
    {
        const QString node = "local:bvplay-test-" + QString::number(QCoreApplication::applicationPid());
        QProcess publisher, remote;
        publisher.start(BVPLAY_PATH,
                        {"--json", "--log", "--device", "0", "--duration", "25", "--ad", "demo", "--publish", node});
        QVERIFY(publisher.waitForStarted());
        // Each returns all that its process has written so far.
        QByteArray publisherOut, publisherErr, remoteOut;
        const auto published = [&] { return publisherOut += publisher.readAllStandardOutput(); };
        const auto logged = [&] { return publisherErr += publisher.readAllStandardError(); };
        const auto replicated = [&] { return remoteOut += remote.readAllStandardOutput(); };
        QTRY_VERIFY_WITH_TIMEOUT(published().contains("\"signal\":\"daastStarted\""), 10000); // the node is up
        QVERIFY(publisherOut.contains("{\"args\":[\"BrevantPlayer demo ad\",")); // daastStarted's title
        remote.start(BVPLAY_PATH, {"--connect", node, "--duration", "20"});
        QVERIFY(remote.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(valuesOf(replicated(), "state").contains("PlayingState"), 10000);
        remote.write("click\n");
        QTRY_VERIFY_WITH_TIMEOUT(logged().contains("tracking event 'click' received"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(replicated().contains("StreamTitle='BrevantPlayer Demo - "), 10000);
        QTRY_VERIFY(published().contains("\"artist\":\"BrevantPlayer Demo\""));
        // The container properties reach the replica as the publisher has them; a pushed volume reaches the publisher.
        const auto last = [](const QByteArray &out, const QString &property) {
            QJsonValue value;
            for (const QByteArray &line : out.split('\n'))
                if (QJsonDocument::fromJson(line)["property"] == property)
                    value = QJsonDocument::fromJson(line)["value"];
            return value;
        };
        for (const QString &property : {QString("streams"), QString("playingBitrates")}) {
            QTRY_COMPARE(last(replicated(), property), last(published(), property));
            QVERIFY2(!last(remoteOut, property).toArray().isEmpty() || !last(remoteOut, property).toObject().isEmpty(),
                     qPrintable(property));
        }
        remote.write("volume 0.3\n");
        QTRY_VERIFY(valuesOf(published(), "volume").contains("0.3"));
        QTRY_VERIFY_WITH_TIMEOUT(published().contains("\"signal\":\"daastEnded\""), 10000);
        remote.write("stop\n");
        QTRY_VERIFY_WITH_TIMEOUT(valuesOf(published(), "state").endsWith("StoppedState"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(valuesOf(replicated(), "state").endsWith("StoppedState"), 5000);
        remote.kill();
        QStringList requested, received;
        const auto readTracking = [&] {
            requested.clear();
            received.clear();
            for (const QByteArray &line : logged().split('\n')) {
                if (line.contains("Daast tracking request"))
                    requested.append(QString::fromLatin1(line.mid(line.indexOf("?e=") + 3)));
                if (line.startsWith("bvplay: demo ad server: tracking event"))
                    received.append(QString::fromLatin1(line.split('\'').value(1)));
            }
            return received.size() == requested.size();
        };
        QTRY_VERIFY(readTracking());
        publisher.kill();
        QStringList sorted = requested;
        sorted.sort();
        received.sort();
        QCOMPARE(received, sorted);
        QCOMPARE(requested.removeAll("click"), 1); // whenever the listener clicked
        QCOMPARE(requested, (QStringList{"wrapperImpression", "impression", "wrapperStart", "start", "progress1",
                                         "firstQuartile", "progress2", "midpoint", "progress3", "thirdQuartile",
                                         "progress4", "progress5", "wrapperComplete", "complete"}));
        remote.waitForFinished();
        publisher.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestBVPlay)
#include "tst_bvplay.moc"
