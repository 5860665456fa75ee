#include "bvdaastparser.h"

#include "bvlogging.h"

#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>

bool BVDaastParser::parse(const QByteArray &data)
{
    clear();
    if (isRefused(data))
        return false;
    QDomDocument document;
    QString message;
    if (!document.setContent(data, &message)) {
        qCDebug(bvLog) << "Daast parser: xml parsing error" << message;
        return false;
    }
    const bool parsed = processRootElement(document.documentElement());
    if (!parsed)
        clear();
    return parsed;
}

bool BVDaastParser::isRefused(const QByteArray &data)
{
    if (data.size() > kMaxDocumentBytes) {
        qCDebug(bvLog) << "Daast parser: document is over 1 MiB";
        return true;
    }
    if (data.contains("<!DOCTYPE")) {
        qCDebug(bvLog) << "Daast parser: DOCTYPE is refused";
        return true;
    }
    return false;
}

void BVDaastParser::clear()
{
    *this = BVDaastParser();
}

bool BVDaastParser::processRootElement(const QDomElement &root)
{
    if (root.tagName() == QLatin1String("nobanner")) {
        noBanner = true;
        return true;
    }
    if (root.tagName() != QLatin1String("DAAST") && root.tagName() != QLatin1String("VAST")) {
        qCDebug(bvLog) << "Daast parser: expected DAAST or VAST root tag";
        return false;
    }
    const QDomElement ad = root.firstChildElement(QStringLiteral("Ad"));
    if (ad.isNull()) {
        qCDebug(bvLog) << "Daast parser: Ad element was not found";
        return false;
    }
    adId = ad.attribute(QStringLiteral("id")).simplified();
    const QDomElement inLine = ad.firstChildElement(QStringLiteral("InLine"));
    if (inLine.isNull()) {
        qCDebug(bvLog) << "Daast parser: InLine element was not found";
        return false;
    }
    if (!readChildText(inLine, QStringLiteral("AdSystem"), adSystem)
        || !readChildText(inLine, QStringLiteral("AdTitle"), adTitle)
        || !readChildText(inLine, QStringLiteral("Impression"), impressionUrl)
        || !readChildText(inLine, QStringLiteral("Error"), errorUrl))
        return false;
    const QDomElement creatives = inLine.firstChildElement(QStringLiteral("Creatives"));
    if (creatives.isNull()) {
        qCDebug(bvLog) << "Daast parser: Creatives element was not found";
        return false;
    }

    bool linearAccepted = false;
    bool companionAccepted = false;
    const QDomNodeList list = creatives.elementsByTagName(QStringLiteral("Creative"));
    for (int i = 0; i < list.size(); ++i) {
        if (!list.item(i).isElement()) {
            qCDebug(bvLog) << "Daast parser: Creative element was expected";
            return false;
        }
        // Only a creative's first child element says what it is.
        const QDomElement child = list.item(i).toElement().firstChildElement();
        if (!linearAccepted && child.tagName() == QLatin1String("Linear"))
            linearAccepted = processLinearElement(child);
        if (!companionAccepted && child.tagName() == QLatin1String("CompanionAds"))
            companionAccepted = processCompanionAdsElement(child);
    }
    if (!linearAccepted) {
        qCDebug(bvLog) << "Daast parser: Linear creative element was not found";
        return false;
    }
    if (!companionAccepted) {
        qCDebug(bvLog) << "Daast parser: CompanionAds creative element was not found";
        return false;
    }
    return true;
}

bool BVDaastParser::processLinearElement(const QDomElement &linear)
{
    const QDomElement mediaFiles = linear.firstChildElement(QStringLiteral("MediaFiles"));
    if (mediaFiles.isNull()) {
        qCDebug(bvLog) << "Daast parser: MediaFiles element was expected";
        return false;
    }
    const QDomNodeList files = mediaFiles.elementsByTagName(QStringLiteral("MediaFile"));
    bool found = false;
    for (int i = 0; i < files.size() && !found; ++i) {
        const QDomElement file = files.item(i).toElement();
        if (file.attribute(QStringLiteral("type")).contains(QLatin1String("audio"))) {
            linearMediaUrl = file.text().simplified();
            found = true;
        }
    }
    if (!found) {
        qCDebug(bvLog) << "Daast parser: MediaFiles should contains at least one audio type file for playing";
        return false;
    }
    if (!readChildText(linear, QStringLiteral("Duration"), linearDuration))
        return false;
    readTrackingUrls(linear.firstChildElement(QStringLiteral("TrackingEvents")), linearTrackingUrls);
    return true;
}

bool BVDaastParser::processCompanionAdsElement(const QDomElement &companionAds)
{
    const QDomElement companion = companionAds.firstChildElement(QStringLiteral("Companion"));
    if (companion.isNull()) {
        qCDebug(bvLog) << "Daast parser: Creative element was expected";
        return false;
    }
    const QDomElement resource = companion.firstChildElement(QStringLiteral("StaticResource"));
    if (resource.isNull() || !resource.attribute(QStringLiteral("creativeType")).contains(QLatin1String("image"))) {
        qCDebug(bvLog) << "Daast parser: StaticResource with image creativeType attribute was expected";
        return false;
    }
    companionImageUrl = resource.text().simplified();
    if (!readChildText(companion, QStringLiteral("CompanionClickThrough"), companionClickThroughUrl)
        || !readChildText(companion, QStringLiteral("CompanionClickTracking"), companionClickTrackingUrl))
        return false;
    readTrackingUrls(companion.firstChildElement(QStringLiteral("TrackingEvents")), companionTrackingUrls);
    return true;
}

bool BVDaastParser::readChildText(const QDomElement &parent, const QString &name, QString &out)
{
    const QDomElement child = parent.firstChildElement(name);
    if (child.isNull()) {
        qCDebug(bvLog) << "Daast parser:" << name << "element was not found";
        return false;
    }
    out = child.text().simplified();
    return true;
}

void BVDaastParser::readTrackingUrls(const QDomElement &element, QMap<QString, QString> &map)
{
    if (element.isNull())
        return;
    const QDomNodeList trackings = element.elementsByTagName(QStringLiteral("Tracking"));
    for (int i = 0; i < trackings.size(); ++i) {
        const QDomElement tracking = trackings.item(i).toElement();
        const QString event = tracking.attribute(QStringLiteral("event")).simplified();
        const QString url = tracking.text().simplified();
        if (!event.isEmpty() && !url.isEmpty())
            map.insert(event, url);
    }
}
