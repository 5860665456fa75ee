// BVDaastParser on complete DAAST and VAST documents and on every way a document fails.
#include "adserver.h"
#include "bvdaastparser.h"

#include <QTest>

using namespace bvtest;

namespace {

QStringList g_lines;

void collectLines(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    if (QByteArray(context.category) == "com.orlenza.brevantplayer")
        g_lines.append(message);
}

const QByteArray kBase = "http://ads.test";

QByteArray document(AdDocumentKind kind = AdDocumentKind::Daast1)
{
    return adDocument(kind, kBase, 2);
}

// The complete DAAST document with `from` replaced by `to` (which must occur).
QByteArray edited(const QByteArray &from, const QByteArray &to)
{
    QByteArray text = document();
    Q_ASSERT(text.contains(from));
    return text.replace(from, to);
}

QByteArray withoutElement(const QByteArray &name)
{
    QByteArray text = document();
    const qsizetype start = text.indexOf("<" + name);
    const QByteArray close = "</" + name + ">";
    const qsizetype end = text.indexOf(close, start);
    Q_ASSERT(start >= 0 && end > start);
    return text.remove(start, end + close.size() - start);
}

} // namespace

class TestBVDaastParser : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { qInstallMessageHandler(collectLines); }
    void init() { g_lines.clear(); }

    void completeDocuments_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("DAAST 1.0") << int(AdDocumentKind::Daast1);
        QTest::newRow("VAST 2.0") << int(AdDocumentKind::Vast2);
        QTest::newRow("VAST 3.0") << int(AdDocumentKind::Vast3);
        QTest::newRow("VAST 4.0 with namespace") << int(AdDocumentKind::Vast4);
    }

    void completeDocuments()
    {
        QFETCH(int, kind);
        BVDaastParser parser;
        QVERIFY(parser.parse(document(AdDocumentKind(kind))));
        QVERIFY(!parser.noBanner);
        QCOMPARE(parser.adId, QStringLiteral("bv-ad-1"));
        QCOMPARE(parser.adSystem, QStringLiteral("Brevant test ads"));
        QCOMPARE(parser.adTitle, QString::fromLatin1(AdServer::kTitle));
        // Text across lines inside CDATA comes out trimmed.
        QCOMPARE(parser.impressionUrl, QStringLiteral("http://ads.test/track?e=impression&sdkuiid=stale"));
        QCOMPARE(parser.errorUrl, QStringLiteral("http://ads.test/track?e=error"));
        // The audio file, not the video file listed before it.
        QCOMPARE(parser.linearMediaUrl, QStringLiteral("http://ads.test/ad/media.mp3"));
        QCOMPARE(parser.linearDuration, QStringLiteral("00:00:03.000"));
        QStringList events{"complete", "firstQuartile", "midpoint", "progress0", "progress1", "progress2", "start",
                           "thirdQuartile"};
        if (kind == int(AdDocumentKind::Vast3) || kind == int(AdDocumentKind::Vast4))
            events.append("progress"); // an offset event, kept under its plain name
        events.sort();
        QCOMPARE(parser.linearTrackingUrls.keys(), events);
        QCOMPARE(parser.linearTrackingUrls.value("midpoint"), QStringLiteral("http://ads.test/track?e=midpoint"));
        QCOMPARE(parser.companionImageUrl, QStringLiteral("http://ads.test/banner.png"));
        QCOMPARE(parser.companionTrackingUrls.value("start"), QStringLiteral("http://ads.test/track?e=companionStart"));
        QCOMPARE(parser.companionTrackingUrls.size(), 2);
        QCOMPARE(parser.companionClickThroughUrl, QStringLiteral("http://ads.test/landing?sdkuiid=a&sdkuiid=b"));
        QCOMPARE(parser.companionClickTrackingUrl, QStringLiteral("http://ads.test/track?e=click"));
        QVERIFY(g_lines.isEmpty());
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("line"); // the last debug line

        QTest::newRow("empty") << QByteArray() << "Daast parser: xml parsing error";
        QTest::newRow("not well-formed") << document().left(400) << "Daast parser: xml parsing error";
        QTest::newRow("html") << QByteArray("<html><body>no ads</body></html>")
                              << "Daast parser: expected DAAST or VAST root tag";
        QTest::newRow("lower-case root") << edited("<DAAST version=\"1.0\">", "<daast>").replace("</DAAST>", "</daast>")
                                         << "Daast parser: expected DAAST or VAST root tag";
        QTest::newRow("no Ad") << QByteArray("<VAST version=\"3.0\"/>") << "Daast parser: Ad element was not found";
        QTest::newRow("wrapper") << QByteArray("<VAST version=\"3.0\"><Ad id=\"w\"><Wrapper><AdSystem>x</AdSystem>"
                                               "<VASTAdTagURI>http://ads.test/next.xml</VASTAdTagURI></Wrapper></Ad></VAST>")
                                 << "Daast parser: InLine element was not found";
        QTest::newRow("no AdSystem") << withoutElement("AdSystem") << "Daast parser: \"AdSystem\" element was not found";
        QTest::newRow("no AdTitle") << withoutElement("AdTitle") << "Daast parser: \"AdTitle\" element was not found";
        QTest::newRow("no Impression") << withoutElement("Impression") << "Daast parser: \"Impression\" element was not found";
        QTest::newRow("no Error") << withoutElement("Error") << "Daast parser: \"Error\" element was not found";
        QTest::newRow("no Creatives") << withoutElement("Creatives") << "Daast parser: Creatives element was not found";
        QTest::newRow("no creative at all") << edited("<Creative id=\"audio\"", "<Skipped id=\"audio\"")
                                                   .replace("<Creative id=\"banner\">", "<Skipped>")
                                                   .replace("</Creative>", "</Skipped>")
                                            << "Daast parser: Linear creative element was not found";
        QTest::newRow("Linear not first in its Creative")
            << edited("<Creative id=\"audio\" sequence=\"1\">", "<Creative><CreativeExtensions/>")
            << "Daast parser: Linear creative element was not found";
        QTest::newRow("no MediaFiles") << withoutElement("MediaFiles") << "Daast parser: Linear creative element was not found";
        QTest::newRow("no audio MediaFile") << edited("type=\"audio/mpeg\"", "type=\"Audio/MPEG\"")
                                            << "Daast parser: Linear creative element was not found";
        QTest::newRow("no Duration") << withoutElement("Duration") << "Daast parser: Linear creative element was not found";
        QTest::newRow("no CompanionAds") << withoutElement("CompanionAds")
                                         << "Daast parser: CompanionAds creative element was not found";
        QTest::newRow("CompanionAds without Companion")
            << edited("<Companion id=\"banner\"", "<Other id=\"banner\"").replace("</Companion>\n", "</Other>\n")
            << "Daast parser: CompanionAds creative element was not found";
        QTest::newRow("StaticResource not an image") << edited("creativeType=\"image/png\"", "creativeType=\"text/html\"")
                                                     << "Daast parser: CompanionAds creative element was not found";
        QTest::newRow("no CompanionClickTracking") << withoutElement("CompanionClickTracking")
                                                   << "Daast parser: CompanionAds creative element was not found";
    }

    // Each failure clears the record and says why; a failing creative first logs its own reason.
    void failures()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, line);
        BVDaastParser parser;
        QVERIFY(parser.parse(document()));
        QVERIFY(!parser.parse(data));
        QVERIFY2(!g_lines.isEmpty() && g_lines.last().startsWith(line), qPrintable(g_lines.join('\n')));
        QVERIFY(parser.adTitle.isEmpty() && parser.linearMediaUrl.isEmpty() && parser.impressionUrl.isEmpty());
        QVERIFY(parser.linearTrackingUrls.isEmpty() && parser.companionTrackingUrls.isEmpty());
    }

    void creativeReasonsComeFirst_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("reason");
        QTest::newRow("MediaFiles") << withoutElement("MediaFiles") << "Daast parser: MediaFiles element was expected";
        QTest::newRow("audio file") << edited("type=\"audio/mpeg\"", "type=\"Audio/MPEG\"")
                                    << "Daast parser: MediaFiles should contains at least one audio type file for playing";
        QTest::newRow("Duration") << withoutElement("Duration") << "Daast parser: \"Duration\" element was not found";
        QTest::newRow("Companion") << edited("<Companion id=\"banner\"", "<Other id=\"banner\"").replace("</Companion>\n", "</Other>\n")
                                   << "Daast parser: Creative element was expected";
        QTest::newRow("image") << edited("creativeType=\"image/png\"", "creativeType=\"text/html\"")
                               << "Daast parser: StaticResource with image creativeType attribute was expected";
        QTest::newRow("click-through") << withoutElement("CompanionClickThrough")
                                       << "Daast parser: \"CompanionClickThrough\" element was not found";
    }

    void creativeReasonsComeFirst()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, reason);
        BVDaastParser parser;
        QVERIFY(!parser.parse(data));
        QCOMPARE(g_lines.size(), 2);
        QCOMPARE(g_lines.first(), reason);
    }

    void noBanner_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("empty element") << QByteArray("<nobanner/>");
        QTest::newRow("with content") << QByteArray("<?xml version=\"1.0\"?><nobanner><Ad id=\"x\"><InLine/></Ad></nobanner>");
    }

    void noBanner()
    {
        QFETCH(QByteArray, data);
        BVDaastParser parser;
        QVERIFY(parser.parse(document()));
        QVERIFY(parser.parse(data));
        QVERIFY(parser.noBanner);
        QVERIFY(parser.adId.isEmpty() && parser.adTitle.isEmpty() && parser.linearMediaUrl.isEmpty());
        QVERIFY(parser.linearTrackingUrls.isEmpty() && parser.companionClickTrackingUrl.isEmpty());
    }

    void documentDetails()
    {
        BVDaastParser parser;
        // Present but empty Impression and Error parse to empty URLs.
        QByteArray empty = document();
        empty.replace(empty.mid(empty.indexOf("<Impression"), empty.indexOf("</Error>") + 8 - empty.indexOf("<Impression")),
                      "<Impression/><Error>  </Error>");
        QVERIFY(parser.parse(empty));
        QVERIFY(parser.impressionUrl.isEmpty() && parser.errorUrl.isEmpty());

        // A later Tracking of the same event wins; one with an empty event or URL is skipped.
        QVERIFY(parser.parse(edited("<TrackingEvents>\n<Tracking event=\"start\">",
                                    "<TrackingEvents>\n<Tracking event=\" \">http://ads.test/x</Tracking>"
                                    "<Tracking event=\"empty\"> </Tracking><Tracking event=\"start\">")
                                 .replace("<Tracking event=\"complete\">http://ads.test/track?e=complete</Tracking>",
                                          "<Tracking event=\"start\">http://ads.test/second</Tracking>")));
        QCOMPARE(parser.linearTrackingUrls.value("start"), QStringLiteral("http://ads.test/second"));
        QVERIFY(!parser.linearTrackingUrls.contains("empty") && !parser.linearTrackingUrls.contains(""));

        // Only the first Linear is read, even when a later one has other media.
        QByteArray twoLinears = document();
        const qsizetype at = twoLinears.indexOf("<Creative id=\"banner\">");
        twoLinears.insert(at, "<Creative><Linear><Duration>9</Duration><MediaFiles><MediaFile type=\"audio/aac\">"
                              "http://ads.test/other.aac</MediaFile></MediaFiles></Linear></Creative>");
        QVERIFY(parser.parse(twoLinears));
        QCOMPARE(parser.linearMediaUrl, QStringLiteral("http://ads.test/ad/media.mp3"));
        QCOMPARE(parser.linearDuration, QStringLiteral("00:00:03.000"));

        // A second document leaves nothing of the first behind.
        QVERIFY(parser.parse(withoutElement("TrackingEvents")));
        QVERIFY(parser.linearTrackingUrls.isEmpty());
        QCOMPARE(parser.companionTrackingUrls.size(), 2);
        parser.clear();
        QVERIFY(parser.adTitle.isEmpty() && parser.companionTrackingUrls.isEmpty() && !parser.noBanner);
    }
};

QTEST_GUILESS_MAIN(TestBVDaastParser)
#include "tst_bvdaastparser.moc"
