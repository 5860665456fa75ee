#pragma once

#include "bvglobal.h"

#include <QByteArray>
#include <QMap>
#include <QString>

class QDomElement;

// Reads one in-line audio ad of a DAAST or VAST document: the linear audio creative,
// the companion image banner and their tracking URLs. A "nobanner" root means no ad.
class BREVANTPLAYER_EXPORT BVDaastParser
{
public:
    static constexpr qint64 kMaxDocumentBytes = 1024 * 1024;

    BVDaastParser() = default;

    // Clears the record and fills it from `data`; false (record cleared, reason logged) on failure.
    bool parse(const QByteArray &data);
    void clear();
    // A document never read: over 1 MiB, or declaring a DOCTYPE (whose entities can make a
    // small document huge). Logs why.
    static bool isRefused(const QByteArray &data);

    bool noBanner = false;
    QString adId;
    QString adSystem;
    QString adTitle;
    QString impressionUrl;
    QString errorUrl;
    QString linearMediaUrl;
    QString linearDuration;
    QMap<QString, QString> linearTrackingUrls;
    QString companionImageUrl;
    QMap<QString, QString> companionTrackingUrls;
    QString companionClickThroughUrl;
    QString companionClickTrackingUrl;

private:
    bool processRootElement(const QDomElement &root);
    bool processLinearElement(const QDomElement &linear);
    bool processCompanionAdsElement(const QDomElement &companionAds);
    bool readChildText(const QDomElement &parent, const QString &name, QString &out);
    void readTrackingUrls(const QDomElement &element, QMap<QString, QString> &map);
};
