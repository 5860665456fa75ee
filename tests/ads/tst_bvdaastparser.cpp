// BVDaastParser on a complete document and on every way a document fails;
// BVVastReader's lenient reading, media choice, offsets and macros.
#include "adserver.h"
#include "bvdaastparser.h"
#include "bvvastreader.h"

#include <QRegularExpression>
#include <QTest>

using namespace bvtest;

namespace {

const QByteArray kBase = "http://ads.test";
const QByteArray kDocument = adDocument(kBase, 2);

// The complete DAAST document with `from` replaced by `to` (which must occur).
QByteArray edited(const QByteArray &from, const QByteArray &to)
{
    Q_ASSERT(kDocument.contains(from));
    return QByteArray(kDocument).replace(from, to);
}

QByteArray withoutElement(const QByteArray &name)
{
    QByteArray text = kDocument;
    const qsizetype start = text.indexOf("<" + name);
    const QByteArray close = "</" + name + ">";
    const qsizetype end = text.indexOf(close, start);
    Q_ASSERT(start >= 0 && end > start);
    return text.remove(start, end + close.size() - start);
}

// One line per ad: everything the lenient reader kept.
QString describe(const BVVastDocument &document)
{
    if (!document.valid)
        return QStringLiteral("invalid");
    QStringList lines{QStringLiteral("errors=") + document.errorUrls.join(',')};
    for (const BVVastAd &ad : document.ads) {
        const BVAdSpot &spot = ad.spot;
        QStringList events;
        for (const auto &[event, url] : spot.trackingUrls)
            events.append(event + '>' + url.section("e=", 1));
        lines.append(QStringLiteral("seq=%1 wrapper=%2 title=%3 media=%4 ms=%5 imp=%6 err=%7 events=%8 banner=%9 click=%10 clicks=%11")
                         .arg(ad.sequence).arg(ad.wrapperUri, spot.title, spot.mediaUrl).arg(spot.durationMs)
                         .arg(spot.impressionUrls.size()).arg(spot.errorUrls.size())
                         .arg(events.join(','), spot.bannerUrl, spot.clickThroughUrl)
                         .arg(spot.clickTrackingUrls.size()));
    }
    return lines.join('\n');
}

const QString kInLine42 =
    "seq=0 wrapper= title=T media=http://ads.test/ad/media.mp3 ms=3000 imp=2 err=1 events=start>start,"
    "firstQuartile>firstQuartile,progress@00:00:01>offset1s,progress@50%>offset50,complete>complete,"
    "creativeView>companionView banner=http://ads.test/banner.png click=http://ads.test/landing clicks=1";

} // namespace

class TestBVDaastParser : public QObject {
    Q_OBJECT

private slots:
    void completeDocuments_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("DAAST 1.0") << kDocument;
        // A namespaced VAST root; a video file before the audio one is passed over.
        QTest::newRow("VAST 4.0")
            << edited("<DAAST version=\"1.0\">", "<VAST version=\"4.0\" xmlns=\"http://www.iab.com/VAST\">")
                   .replace("</DAAST>", "</VAST>")
                   .replace("<MediaFiles>\n", "<MediaFiles>\n<MediaFile type=\"video/mp4\">http://v/</MediaFile>\n");
        // Only the first Linear is read, even when a later one has other media.
        QTest::newRow("two Linears") << edited("<Creative id=\"banner\">",
                                               "<Creative><Linear><Duration>9</Duration><MediaFiles>"
                                               "<MediaFile type=\"audio/aac\">http://ads.test/other.aac</MediaFile>"
                                               "</MediaFiles></Linear></Creative><Creative id=\"banner\">");
    }

    void completeDocuments()
    {
        QFETCH(QByteArray, data);
        BVDaastParser parser;
        QVERIFY(parser.parse(data));
        QCOMPARE(parser.adId, QStringLiteral("bv-ad-1"));
        QCOMPARE(parser.adTitle, QString::fromLatin1(AdServer::kTitle));
        // Text across lines inside CDATA comes out trimmed.
        QCOMPARE(parser.impressionUrl, QStringLiteral("http://ads.test/track?e=impression&sdkuiid=stale"));
        QCOMPARE(parser.errorUrl, QStringLiteral("http://ads.test/track?e=error"));
        QCOMPARE(parser.linearMediaUrl, QStringLiteral("http://ads.test/ad/media.mp3"));
        QCOMPARE(parser.linearDuration, QStringLiteral("00:00:03.000"));
        QCOMPARE(parser.linearTrackingUrls.keys(), (QStringList{"complete", "firstQuartile", "midpoint", "progress0",
                                                                "progress1", "progress2", "start", "thirdQuartile"}));
        QCOMPARE(parser.linearTrackingUrls.value("midpoint"), QStringLiteral("http://ads.test/track?e=midpoint"));
        QCOMPARE(parser.companionImageUrl, QStringLiteral("http://ads.test/banner.png"));
        QCOMPARE(parser.companionTrackingUrls.value("start"), QStringLiteral("http://ads.test/track?e=companionStart"));
        QCOMPARE(parser.companionTrackingUrls.size(), 2);
        QCOMPARE(parser.companionClickThroughUrl, QStringLiteral("http://ads.test/landing?sdkuiid=a&sdkuiid=b"));
        QCOMPARE(parser.companionClickTrackingUrl, QStringLiteral("http://ads.test/track?e=click"));
    }

    // Each differs from the complete DAAST document by one thing the parser requires or refuses.
    void failures_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("not well-formed") << kDocument.left(400);
        QTest::newRow("lower-case root")
            << edited("<DAAST version=\"1.0\">", "<daast>").replace("</DAAST>", "</daast>");
        QTest::newRow("no Ad") << QByteArray("<VAST version=\"3.0\"/>");
        QTest::newRow("wrapper") << QByteArray("<VAST version=\"3.0\"><Ad id=\"w\"><Wrapper><AdSystem>x</AdSystem>"
                                               "<VASTAdTagURI>http://ads.test/next.xml</VASTAdTagURI>"
                                               "</Wrapper></Ad></VAST>");
        for (const char *name : {"AdSystem", "AdTitle", "Impression", "Error", "Creatives", "MediaFiles", "Duration",
                                 "CompanionAds", "CompanionClickTracking", "CompanionClickThrough"})
            QTest::newRow(name) << withoutElement(name);
        QTest::newRow("Linear not first in its Creative")
            << edited("<Creative id=\"audio\" sequence=\"1\">", "<Creative><CreativeExtensions/>");
        QTest::newRow("no audio MediaFile") << edited("type=\"audio/mpeg\"", "type=\"Audio/MPEG\"");
        QTest::newRow("CompanionAds without Companion")
            << edited("<Companion id=\"banner\"", "<Other id=\"banner\"").replace("</Companion>\n", "</Other>\n");
        QTest::newRow("StaticResource not an image")
            << edited("creativeType=\"image/png\"", "creativeType=\"text/html\"");
        QTest::newRow("DOCTYPE") << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE VAST [<!ENTITY a \"aaaa\">]>")
                                        + kDocument.mid(kDocument.indexOf("<DAAST"));
        QTest::newRow("over 1 MiB") << edited("<Category>", "<!--" + QByteArray(1024 * 1024, ' ') + "--><Category>");
    }

    // Each failure clears what the document before it left.
    void failures()
    {
        QFETCH(QByteArray, data);
        BVDaastParser parser;
        QVERIFY(parser.parse(kDocument));
        QVERIFY(!parser.parse(data));
        QVERIFY(parser.adTitle.isEmpty() && parser.linearMediaUrl.isEmpty() && parser.impressionUrl.isEmpty());
        QVERIFY(parser.linearTrackingUrls.isEmpty() && parser.companionTrackingUrls.isEmpty());
    }

    void lenientDocuments_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("expected"); // describe()
        const QByteArray inLine = vastInLineAd(kBase, "", "T");
        QTest::newRow("VAST 4.2 in-line") << vastDocument({inLine}) << "errors=\n" + kInLine42;
        QByteArray prefixed = vastDocument({inLine});
        prefixed.replace("<VAST version=\"4.2\" xmlns=", "<v:VAST version=\"4.2\" xmlns:v=").replace("</VAST>", "</v:VAST>");
        prefixed.replace("<Ad ", "<v:Ad ").replace("</Ad>", "</v:Ad>").replace("<InLine>", "<v:InLine>").replace("</InLine>", "</v:InLine>");
        QTest::newRow("prefixed names") << prefixed << "errors=\n" + kInLine42;
        QByteArray linearLast = vastDocument({inLine});
        const qsizetype companion = linearLast.indexOf("<Creative id=\"5481\">");
        const QByteArray companionCreative = linearLast.mid(companion, linearLast.indexOf("</Creatives>") - companion);
        linearLast.remove(companion, companionCreative.size()).replace("<Creatives>\n", "<Creatives>\n" + companionCreative);
        QTest::newRow("companion first") << linearLast << "errors=\n" + kInLine42;
        QTest::newRow("DAAST 1.0") << kDocument << "errors=\nseq=0 wrapper= title=Brevant test ad media=http://ads.test/ad/media.mp3 "
            "ms=3000 imp=1 err=1 events=start>start,firstQuartile>firstQuartile,midpoint>midpoint,thirdQuartile>thirdQuartile,"
            "complete>complete,progress0>progress0,progress1>progress1,progress2>progress2,start>companionStart,"
            "complete>companionComplete banner=http://ads.test/banner.png click=http://ads.test/landing?sdkuiid=a&sdkuiid=b clicks=1";
        QTest::newRow("no fill") << QByteArray("<VAST version=\"4.2\"/>") << "errors=";
        QTest::newRow("nobanner") << QByteArray("<nobanner/>") << "errors=";
        QTest::newRow("empty answer") << QByteArray(" \r\n") << "errors=";
        QTest::newRow("unsafe URLs") << vastDocument({QByteArray(inLine)
                                                          .replace(kBase + "/ad/media.mp3", "file:///etc/passwd")
                                                          .replace(kBase + "/ad/streamed.mp3", "javascript:alert(1)")
                                                          .replace(kBase + "/banner.png", "data:image/png;base64,AAAA")})
                                     << "errors=\n" + QString(kInLine42).replace("media=http://ads.test/ad/media.mp3 ms=3000", "media= ms=-1")
                                            .replace(QRegularExpression("events=.*creativeView>companionView banner=[^ ]* click=[^ ]* clicks=1"),
                                                     "events= banner= click= clicks=0");
        // Every URL is a request: a level keeps 16 of a kind and 64 tracking events, a document 10 ads.
        const QByteArray greedyAd = "<Ad><InLine>" + QByteArray("<Impression>http://i/</Impression>").repeated(20)
                                    + "<Creatives><Creative><Linear><TrackingEvents>"
                                    + QByteArray("<Tracking event=\"start\">http://t/</Tracking>").repeated(70)
                                    + "</TrackingEvents><MediaFiles><MediaFile type=\"audio/mpeg\">http://m/a.mp3</MediaFile>"
                                      "</MediaFiles></Linear></Creative></Creatives></InLine></Ad>";
        const QString greedyLine = "seq=0 wrapper= title= media=http://m/a.mp3 ms=-1 imp=16 err=0 events="
                                   + QStringList(64, "start>").join(',') + " banner= click= clicks=0";
        QTest::newRow("counts bounded") << vastDocument(QList<QByteArray>(12, greedyAd))
                                        << "errors=\n" + QStringList(10, greedyLine).join('\n');
        QTest::newRow("Ad of neither kind") << vastDocument({"<Ad><Wrapper/></Ad>", "<Ad/>"}) << "errors=";
        QTest::newRow("DOCTYPE") << "<!DOCTYPE VAST>" + vastDocument({inLine}).mid(39) << "invalid";
        QTest::newRow("html") << QByteArray("<html/>") << "invalid";
        QTest::newRow("not xml") << QByteArray("VAST") << "invalid";
    }

    // The lenient reader keeps every ad a real ad server may send, and nothing unsafe as media or banner.
    void lenientDocuments()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, expected);
        QCOMPARE(describe(BVVastReader::read(data, 0)), expected);
    }

    void mediaChoice_data()
    {
        QTest::addColumn<QStringList>("files"); // type|delivery|kbps|url
        QTest::addColumn<int>("stationKbps");
        QTest::addColumn<int>("chosen");
        const QString a = "http://a/x";
        QTest::newRow("progressive over streaming") << QStringList{"audio/mpeg|streaming|128|" + a, "audio/mpeg|progressive|32|" + a} << 128 << 1;
        QTest::newRow("nearest bitrate") << QStringList{"audio/mpeg|progressive|32|" + a, "audio/aac|progressive|96|" + a,
                                                          "audio/mpeg|progressive|256|" + a} << 128 << 1;
        QTest::newRow("unknown station: document order") << QStringList{"audio/mpeg|progressive|32|" + a, "audio/mpeg|progressive|128|" + a} << 0 << 0;
        QTest::newRow("unknown bitrate last") << QStringList{"audio/mpeg|progressive|0|" + a, "audio/mpeg|progressive|320|" + a} << 64 << 1;
        QTest::newRow("parameters and case") << QStringList{"video/mp4|progressive|128|" + a, " Audio/MP4 ; codecs=mp4a.40.2|progressive|128|" + a} << 0 << 1;
        QTest::newRow("no delivery attribute") << QStringList{"audio/ogg|streaming|128|" + a, "audio/ogg||128|" + a} << 0 << 1;
        QTest::newRow("types the engine does not play") << QStringList{"video/mp4|progressive|0|" + a, "application/x-shockwave-flash||0|" + a, "audio/x-ms-wma||0|" + a} << 0 << -1;
        QTest::newRow("not http(s)") << QStringList{"audio/mpeg|progressive|0|file:///etc/passwd", "audio/mpeg|progressive|0|ftp://a/x",
                                                    "audio/mpeg|progressive|0|HTTPS://a/x"} << 0 << 2;
    }

    void mediaChoice()
    {
        QFETCH(QStringList, files);
        QFETCH(int, stationKbps);
        QFETCH(int, chosen);
        QList<BVVastReader::MediaFile> list;
        for (const QString &file : files) {
            const QStringList parts = file.split('|');
            list.append({parts[3], parts[0], parts[1], parts[2].toInt()});
        }
        QCOMPARE(BVVastReader::chooseMedia(list, stationKbps), chosen);
    }

    void offsets_data()
    {
        QTest::addColumn<QString>("offset");
        QTest::addColumn<qint64>("clockMs");
        QTest::addColumn<qint64>("position"); // in 10 s of 1000 bytes a second
        QTest::newRow("milliseconds") << "00:00:01.25" << qint64(1250) << qint64(1250);
        QTest::newRow("hours") << "01:02:03.004" << qint64(3723004) << qint64(-1);
        QTest::newRow("at the end") << "00:00:10" << qint64(10000) << qint64(10000);
        QTest::newRow("percent") << "25%" << qint64(-1) << qint64(2500);
        QTest::newRow("fractional percent") << "12.5%" << qint64(-1) << qint64(1250);
        QTest::newRow("over 100 percent") << "101%" << qint64(-1) << qint64(-1);
        QTest::newRow("negative") << "-5%" << qint64(-1) << qint64(-1);
        QTest::newRow("bad minutes") << "00:61:00" << qint64(-1) << qint64(-1);
        QTest::newRow("seconds only") << "5" << qint64(-1) << qint64(-1);
        QTest::newRow("empty") << "" << qint64(-1) << qint64(-1);
    }

    void offsets()
    {
        QFETCH(QString, offset);
        QFETCH(qint64, clockMs);
        QFETCH(qint64, position);
        QCOMPARE(BVVastReader::clockMs(offset), clockMs);
        QCOMPARE(BVVastReader::offsetPosition(offset, 10000, 1000), position);
    }

    void macros()
    {
        const QDateTime now(QDate(2026, 12, 7), QTime(4, 5, 6, 7), Qt::UTC);
        const QString url = BVVastReader::expandMacros("http://t/e?c=[ERRORCODE]&cb=[CACHEBUSTING]&ts=[TIMESTAMP]&x=[OTHER]", 303, now);
        QVERIFY2(QRegularExpression("^http://t/e\\?c=303&cb=\\d{8}&ts=2026-12-07T04%3A05%3A06.007Z&x=\\[OTHER\\]$").match(url).hasMatch(),
                 qPrintable(url));
        QCOMPARE(BVVastReader::expandMacros("http://t/e?c=[ERRORCODE]", 0, now), QStringLiteral("http://t/e?c=[ERRORCODE]"));
    }
};

QTEST_GUILESS_MAIN(TestBVDaastParser)
#include "tst_bvdaastparser.moc"
