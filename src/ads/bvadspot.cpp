#include "bvadspot.h"

#include "bvdaastparser.h"

QStringList BVAdSpot::urlsOf(const QString &event) const
{
    QStringList urls;
    for (const auto &[name, url] : trackingUrls)
        if (name == event)
            urls.append(url);
    return urls;
}

void BVAdSpot::inherit(const BVAdSpot &outer)
{
    impressionUrls = outer.impressionUrls + impressionUrls;
    errorUrls = outer.errorUrls + errorUrls;
    trackingUrls = outer.trackingUrls + trackingUrls;
    clickTrackingUrls = outer.clickTrackingUrls + clickTrackingUrls;
}

BVAdSpot BVAdSpot::fromRecord(const BVDaastParser &record)
{
    BVAdSpot spot;
    spot.title = record.adTitle;
    spot.mediaUrl = record.linearMediaUrl;
    spot.impressionUrls = QStringList{record.impressionUrl};
    spot.errorUrls = QStringList{record.errorUrl};
    for (const QMap<QString, QString> *urls : {&record.linearTrackingUrls, &record.companionTrackingUrls})
        for (auto it = urls->begin(); it != urls->end(); ++it)
            spot.trackingUrls.append({it.key(), it.value()});
    spot.bannerUrl = record.companionImageUrl;
    spot.clickThroughUrl = record.companionClickThroughUrl;
    spot.clickTrackingUrls = QStringList{record.companionClickTrackingUrl};
    return spot;
}
