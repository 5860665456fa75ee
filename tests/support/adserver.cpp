#include "adserver.h"

#include "testmedia.h"

#include <QTemporaryDir>
#include <QUrlQuery>

namespace bvtest {
namespace {

QByteArray tracking(const QByteArray &base, const QByteArray &name, const QByteArray &event = {})
{
    return "<Tracking event=\"" + name + "\">" + base + "/track?e=" + (event.isEmpty() ? name : event)
           + "</Tracking>\n";
}

QByteArray linear(const QByteArray &base, int progressSeconds)
{
    QByteArray events;
    for (const char *name : {"start", "firstQuartile", "midpoint", "thirdQuartile", "complete"})
        events += tracking(base, name);
    for (int i = 0; i <= progressSeconds; ++i)
        events += tracking(base, "progress" + QByteArray::number(i));
    return "<Linear>\n<Duration>00:00:03.000</Duration>\n<TrackingEvents>\n" + events
           + "</TrackingEvents>\n<MediaFiles>\n<MediaFile delivery=\"progressive\" type=\"audio/mpeg\" bitrate=\"128\">"
           + "\n  " + base + "/ad/media.mp3\n</MediaFile>\n</MediaFiles>\n</Linear>\n";
}

QByteArray companion(const QByteArray &base)
{
    return "<CompanionAds>\n<Companion id=\"banner\" width=\"300\" height=\"250\">\n"
           "<StaticResource creativeType=\"image/png\"><![CDATA[ "
           + base + "/banner.png ]]></StaticResource>\n<TrackingEvents>\n" + tracking(base, "start", "companionStart")
           + tracking(base, "complete", "companionComplete") + "</TrackingEvents>\n<CompanionClickThrough>" + base
           + "/landing?sdkuiid=a&amp;sdkuiid=b</CompanionClickThrough>\n<CompanionClickTracking>" + base
           + "/track?e=click</CompanionClickTracking>\n</Companion>\n</CompanionAds>\n";
}

} // namespace

QByteArray adDocument(const QByteArray &base, int progressSeconds)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DAAST version=\"1.0\">\n<Ad id=\" bv-ad-1 \">\n<InLine>\n"
           "<AdSystem version=\"1\">Brevant test ads</AdSystem>\n<AdTitle>\n  "
           + QByteArray(AdServer::kTitle) + "\n</AdTitle>\n<Category>Radio</Category>\n<Impression id=\"i\"><![CDATA[\n    "
           + base + "/track?e=impression&sdkuiid=stale\n  ]]></Impression>\n<Error>" + base
           + "/track?e=error</Error>\n<Creatives>\n<Creative id=\"audio\" sequence=\"1\">\n"
           + linear(base, progressSeconds) + "</Creative>\n<Creative id=\"banner\">\n" + companion(base)
           + "</Creative>\n</Creatives>\n</InLine>\n</Ad>\n</DAAST>\n";
}

QByteArray vastInLineAd(const QByteArray &base, const QByteArray &tag, const QByteArray &title, int sequence,
                        const QByteArray &media)
{
    const auto track = [&](const QByteArray &event) { return "<![CDATA[" + base + "/track?e=" + tag + event + "]]>"; };
    return "<Ad id=\"" + tag + "ad\"" + (sequence > 0 ? " sequence=\"" + QByteArray::number(sequence) + "\"" : "")
           + ">\n<InLine>\n<AdSystem version=\"4.2\">iabtechlab</AdSystem>\n<Error>" + track("error&code=[ERRORCODE]")
           + "</Error>\n<Impression id=\"a\">" + track("impression") + "</Impression>\n<Impression id=\"b\">"
           + track("impression2&cb=[CACHEBUSTING]") + "</Impression>\n<AdServingId>a532d16d-4d7f</AdServingId>\n<AdTitle>"
           + title + "</AdTitle>\n<Creatives>\n<Creative id=\"5480\" sequence=\"1\" adId=\"2447226\">\n"
           "<UniversalAdId idRegistry=\"Ad-ID\">8465</UniversalAdId>\n<Linear>\n<TrackingEvents>\n"
           "<Tracking event=\"start\">" + track("start") + "</Tracking>\n<Tracking event=\"firstQuartile\">"
           + track("firstQuartile") + "</Tracking>\n<Tracking event=\"progress\" offset=\"00:00:01\">"
           + track("offset1s") + "</Tracking>\n<Tracking event=\"progress\" offset=\"50%\">" + track("offset50")
           + "</Tracking>\n<Tracking event=\"complete\">" + track("complete")
           + "</Tracking>\n</TrackingEvents>\n<Duration>00:00:03</Duration>\n<MediaFiles>\n"
           "<MediaFile id=\"v\" delivery=\"progressive\" type=\"video/mp4\" width=\"1280\" height=\"720\">" + base
           + "/ad/video.mp4</MediaFile>\n<MediaFile delivery=\"streaming\" type=\"audio/mpeg\" bitrate=\"128\">" + base
           + "/ad/streamed.mp3</MediaFile>\n<MediaFile delivery=\"progressive\" type=\"Audio/MPEG; codecs=mp3\" "
             "bitrate=\"128\">" + base + media + "</MediaFile>\n</MediaFiles>\n</Linear>\n</Creative>\n"
           "<Creative id=\"5481\">\n<CompanionAds>\n<Companion width=\"300\" height=\"250\">"
           "<HTMLResource><![CDATA[<b>ad</b>]]></HTMLResource></Companion>\n<Companion width=\"300\" height=\"250\">\n"
           "<StaticResource creativeType=\"image/png\">" + base + "/banner.png</StaticResource>\n<TrackingEvents>"
           "<Tracking event=\"creativeView\">" + track("companionView") + "</Tracking></TrackingEvents>\n"
           "<CompanionClickThrough>" + base + "/landing</CompanionClickThrough>\n<CompanionClickTracking>"
           + track("click") + "</CompanionClickTracking>\n</Companion>\n</CompanionAds>\n</Creative>\n"
           "</Creatives>\n</InLine>\n</Ad>\n";
}

QByteArray vastWrapperAd(const QByteArray &base, const QByteArray &tag, const QByteArray &next)
{
    const auto track = [&](const QByteArray &event) { return base + "/track?e=" + tag + event; };
    return "<Ad id=\"" + tag + "\">\n<Wrapper followAdditionalWrappers=\"true\">\n<AdSystem>wrapper</AdSystem>\n"
           "<Impression>" + track("impression") + "</Impression>\n<Error><![CDATA[" + track("error&code=[ERRORCODE]")
           + "]]></Error>\n<VASTAdTagURI><![CDATA[" + next + "]]></VASTAdTagURI>\n<Creatives>\n<Creative>\n<Linear>\n"
           "<TrackingEvents>\n<Tracking event=\"start\">" + track("start") + "</Tracking>\n"
           "<Tracking event=\"complete\">" + track("complete") + "</Tracking>\n</TrackingEvents>\n</Linear>\n"
           "</Creative>\n</Creatives>\n</Wrapper>\n</Ad>\n";
}

QByteArray vastDocument(const QList<QByteArray> &ads, const QByteArray &rootXml)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VAST version=\"4.2\" xmlns=\"http://www.iab.com/VAST\">\n"
           + rootXml + ads.join() + "</VAST>\n";
}

AdServer::AdServer()
{
    setResponse("/track", HttpResponse::of("image/gif", "GIF89a"));
}

QByteArray AdServer::encodeMedia(double frequency, double seconds)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ad.mp3"));
    return makeTone(path, frequency, seconds, {"-c:a", "libmp3lame", "-b:a", "128k"}) ? readFile(path) : QByteArray();
}

void AdServer::serveMedia(const QByteArray &audio, const QByteArray &path)
{
    setResponse(path, HttpResponse::of("audio/mpeg", audio));
}

QString AdServer::serveDocument(const QByteArray &path, const QByteArray &document)
{
    setResponse(path, HttpResponse::of("application/xml", document));
    return QString::fromLatin1(url(path));
}

QList<TrackingHit> AdServer::hits()
{
    QList<TrackingHit> list;
    for (const HttpRequest &request : requests("/track")) {
        const QUrlQuery query(QString::fromLatin1(request.query));
        list.append({query.queryItemValue(QStringLiteral("e")).toLatin1(), request.receivedMs});
    }
    return list;
}

QList<QByteArray> AdServer::events()
{
    QList<QByteArray> list;
    for (const TrackingHit &hit : hits())
        list.append(hit.event);
    return list;
}

} // namespace bvtest
