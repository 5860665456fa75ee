#include "bvvastreader.h"

#include "bvdaastparser.h"
#include "bvlogging.h"
#include "bvweburl.h"

#include <QDomDocument>
#include <QDomElement>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrl>

#include <climits>
#include <cstdlib>
#include <tuple>

namespace {

// A document is at most 1 MiB, but every URL it names is a request: each list of one level
// keeps this many, the ads of a document this many (a pod plays 5).
constexpr qsizetype kMaxUrls = 16;
constexpr qsizetype kMaxTracking = 64;
constexpr qsizetype kMaxAds = 10;

QString localName(const QDomElement &element)
{
    const QString tag = element.tagName();
    return tag.mid(tag.indexOf(QLatin1Char(':')) + 1);
}

// The direct children named `name`, whatever their prefix.
QList<QDomElement> children(const QDomElement &parent, QLatin1String name)
{
    QList<QDomElement> list;
    for (QDomElement child = parent.firstChildElement(); !child.isNull(); child = child.nextSiblingElement())
        if (localName(child) == name)
            list.append(child);
    return list;
}

QDomElement child(const QDomElement &parent, QLatin1String name)
{
    for (QDomElement element = parent.firstChildElement(); !element.isNull(); element = element.nextSiblingElement())
        if (localName(element) == name)
            return element;
    return QDomElement();
}

QString textOf(const QDomElement &element)
{
    return element.text().simplified();
}

QStringList textsOf(const QDomElement &parent, QLatin1String name)
{
    QStringList texts;
    for (const QDomElement &element : children(parent, name))
        if (const QString text = textOf(element); !text.isEmpty() && texts.size() < kMaxUrls)
            texts.append(text);
    return texts;
}

// The Linear and CompanionAds elements of every Creative, in document order.
QList<QDomElement> creativeParts(const QDomElement &body, QLatin1String name)
{
    QList<QDomElement> parts;
    for (const QDomElement &creatives : children(body, QLatin1String("Creatives")))
        for (const QDomElement &creative : children(creatives, QLatin1String("Creative")))
            parts += children(creative, name);
    return parts;
}

void readTracking(const QDomElement &owner, QList<std::pair<QString, QString>> &out)
{
    for (const QDomElement &events : children(owner, QLatin1String("TrackingEvents")))
        for (const QDomElement &tracking : children(events, QLatin1String("Tracking"))) {
            QString event = tracking.attribute(QStringLiteral("event")).simplified();
            const QString offset = tracking.attribute(QStringLiteral("offset")).simplified();
            if (event == QLatin1String("progress") && !offset.isEmpty())
                event += QLatin1Char('@') + offset;
            const QString url = textOf(tracking);
            if (!event.isEmpty() && !url.isEmpty() && out.size() < kMaxTracking)
                out.append({event, url});
        }
}

QList<BVVastReader::MediaFile> mediaFilesOf(const QDomElement &linear)
{
    QList<BVVastReader::MediaFile> files;
    for (const QDomElement &list : children(linear, QLatin1String("MediaFiles")))
        for (const QDomElement &file : children(list, QLatin1String("MediaFile"))) {
            int bitrate = file.attribute(QStringLiteral("bitrate")).toInt();
            if (bitrate <= 0) // VAST 3 and later may give a range instead
                bitrate = (file.attribute(QStringLiteral("minBitrate")).toInt()
                           + file.attribute(QStringLiteral("maxBitrate")).toInt()) / 2;
            files.append({textOf(file), file.attribute(QStringLiteral("type")),
                          file.attribute(QStringLiteral("delivery")), qMax(bitrate, 0)});
        }
    return files;
}

// The audio of the first Linear creative that has a file this player plays, with its tracking.
// A wrapper has no media: the tracking of all its Linear creatives is kept.
void readLinear(const QDomElement &body, bool wrapper, int stationKbps, BVAdSpot &spot)
{
    for (const QDomElement &linear : creativeParts(body, QLatin1String("Linear"))) {
        if (wrapper) {
            readTracking(linear, spot.trackingUrls);
            continue;
        }
        const QList<BVVastReader::MediaFile> files = mediaFilesOf(linear);
        const int chosen = BVVastReader::chooseMedia(files, stationKbps);
        if (chosen < 0)
            continue;
        spot.mediaUrl = files.at(chosen).url;
        spot.durationMs = BVVastReader::clockMs(textOf(child(linear, QLatin1String("Duration"))));
        readTracking(linear, spot.trackingUrls);
        return;
    }
}

bool isWebImage(const QDomElement &resource)
{
    return resource.attribute(QStringLiteral("creativeType")).startsWith(QLatin1String("image/"), Qt::CaseInsensitive)
           && bvIsWebUrl(QUrl(textOf(resource)));
}

// The first companion with an http(s) image is the banner; its click and tracking URLs go with it.
void readCompanion(const QDomElement &body, BVAdSpot &spot)
{
    for (const QDomElement &companionAds : creativeParts(body, QLatin1String("CompanionAds")))
        for (const QDomElement &companion : children(companionAds, QLatin1String("Companion")))
            for (const QDomElement &resource : children(companion, QLatin1String("StaticResource")))
                if (isWebImage(resource)) {
                    spot.bannerUrl = textOf(resource);
                    spot.clickThroughUrl = textOf(child(companion, QLatin1String("CompanionClickThrough")));
                    spot.clickTrackingUrls = textsOf(companion, QLatin1String("CompanionClickTracking"));
                    readTracking(companion, spot.trackingUrls);
                    return;
                }
}

bool readAd(const QDomElement &element, int stationKbps, BVVastAd &ad)
{
    QDomElement body = child(element, QLatin1String("InLine"));
    const bool wrapper = body.isNull();
    if (wrapper) {
        body = child(element, QLatin1String("Wrapper"));
        ad.wrapperUri = textOf(child(body, QLatin1String("VASTAdTagURI")));
        if (ad.wrapperUri.isEmpty())
            ad.wrapperUri = textOf(child(body, QLatin1String("DAASTAdTagURI")));
        if (ad.wrapperUri.isEmpty()) {
            qCDebug(bvLog) << "Daast parser: an Ad without InLine or wrapped document is ignored";
            return false;
        }
    }
    ad.sequence = qMax(element.attribute(QStringLiteral("sequence")).toInt(), 0);
    ad.spot.title = textOf(child(body, QLatin1String("AdTitle")));
    ad.spot.impressionUrls = textsOf(body, QLatin1String("Impression"));
    ad.spot.errorUrls = textsOf(body, QLatin1String("Error"));
    readLinear(body, wrapper, stationKbps, ad.spot);
    readCompanion(body, ad.spot);
    return true;
}

} // namespace

namespace BVVastReader {

BVVastDocument read(const QByteArray &data, int stationKbps)
{
    BVVastDocument document;
    if (data.trimmed().isEmpty()) { // ad servers answer "no ad" with an empty body too
        document.valid = true;
        return document;
    }
    if (BVDaastParser::isRefused(data))
        return document;
    QDomDocument dom;
    QString message;
    if (!dom.setContent(data, &message)) {
        qCDebug(bvLog) << "Daast parser: xml parsing error" << message;
        return document;
    }
    const QDomElement root = dom.documentElement();
    const QString name = localName(root);
    if (name == QLatin1String("nobanner")) {
        document.valid = true;
        return document;
    }
    if (name != QLatin1String("VAST") && name != QLatin1String("DAAST")) {
        qCDebug(bvLog) << "Daast parser: expected DAAST or VAST root tag";
        return document;
    }
    document.valid = true;
    document.errorUrls = textsOf(root, QLatin1String("Error"));
    for (const QDomElement &element : children(root, QLatin1String("Ad")))
        if (BVVastAd ad; document.ads.size() < kMaxAds && readAd(element, stationKbps, ad))
            document.ads.append(ad);
    return document;
}

qint64 clockMs(const QString &text)
{
    static const QRegularExpression clock(QStringLiteral("^(\\d{1,2}):([0-5]\\d):([0-5]\\d)(?:\\.(\\d{1,3}))?$"));
    const QRegularExpressionMatch match = clock.match(text.trimmed());
    if (!match.hasMatch())
        return -1;
    const qint64 seconds = match.captured(1).toLongLong() * 3600 + match.captured(2).toLongLong() * 60
                           + match.captured(3).toLongLong();
    const QString fraction = match.captured(4).leftJustified(3, QLatin1Char('0'));
    return seconds * 1000 + fraction.toLongLong();
}

qint64 offsetPosition(const QString &offset, quint64 length, quint64 bytesPerSecond)
{
    double position = -1;
    const QString text = offset.trimmed();
    if (text.endsWith(QLatin1Char('%'))) {
        bool ok = false;
        const double percent = text.chopped(1).toDouble(&ok);
        if (ok && percent >= 0 && percent <= 100)
            position = double(length) * percent / 100.0;
    } else if (const qint64 ms = clockMs(text); ms >= 0) {
        position = double(bytesPerSecond) * double(ms) / 1000.0;
    }
    return position < 0 || position > double(length) ? -1 : qint64(position);
}

int chooseMedia(const QList<MediaFile> &files, int stationKbps)
{
    // What the engine decodes, by the MIME types ad servers label audio with.
    static const QStringList playable{"audio/mpeg", "audio/mp3", "audio/mpeg3", "audio/aac", "audio/aacp",
                                      "audio/x-aac", "audio/mp4", "audio/m4a", "audio/x-m4a", "audio/ogg",
                                      "application/ogg", "audio/opus", "audio/vorbis", "audio/flac",
                                      "audio/x-flac", "audio/wav", "audio/x-wav", "audio/wave"};
    int best = -1;
    std::tuple<bool, int> bestRank;
    for (int i = 0; i < files.size(); ++i) {
        const MediaFile &file = files.at(i);
        const QString type = file.type.section(QLatin1Char(';'), 0, 0).trimmed().toLower();
        if (!playable.contains(type) || !bvIsWebUrl(QUrl(file.url)))
            continue;
        const bool streaming = file.delivery.trimmed().compare(QLatin1String("streaming"), Qt::CaseInsensitive) == 0;
        const int distance = stationKbps <= 0 ? 0 : file.bitrateKbps <= 0 ? INT_MAX : std::abs(file.bitrateKbps - stationKbps);
        const std::tuple<bool, int> rank{streaming, distance};
        if (best < 0 || rank < bestRank) {
            best = i;
            bestRank = rank;
        }
    }
    return best;
}

QString expandMacros(QString url, int errorCode, const QDateTime &now)
{
    if (errorCode > 0)
        url.replace(QLatin1String("[ERRORCODE]"), QString::number(errorCode));
    if (url.contains(QLatin1String("[CACHEBUSTING]")))
        url.replace(QLatin1String("[CACHEBUSTING]"),
                    QString::number(QRandomGenerator::global()->bounded(10000000, 100000000)));
    if (url.contains(QLatin1String("[TIMESTAMP]")))
        url.replace(QLatin1String("[TIMESTAMP]"),
                    QString::fromLatin1(QUrl::toPercentEncoding(now.toUTC().toString(Qt::ISODateWithMs))));
    return url;
}

} // namespace BVVastReader
