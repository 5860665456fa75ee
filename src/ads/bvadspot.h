#pragma once

#include "bvglobal.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

class BVDaastParser;

// One ad as it is played and tracked: its audio, its banner and every URL to request at
// each event, gathered from the in-line ad and from the wrappers that led to it.
struct BREVANTPLAYER_EXPORT BVAdSpot {
    QString title;
    QString mediaUrl;
    qint64 durationMs = -1; // what the document says; -1 when it says nothing readable
    QStringList impressionUrls;
    QStringList errorUrls;
    // Event name and URL, in the order they are requested: the linear creative's, then the companion's.
    // A "progress" event at an offset is named "progress@" and the offset ("00:00:05", "25%").
    QList<std::pair<QString, QString>> trackingUrls;
    QString bannerUrl;
    QString clickThroughUrl;
    QStringList clickTrackingUrls;

    QStringList urlsOf(const QString &event) const;
    // Puts an outer level's impressions, errors and tracking before this ad's own.
    void inherit(const BVAdSpot &outer);

    // The strict record as a spot: one impression, one error, the two tracking maps.
    static BVAdSpot fromRecord(const BVDaastParser &record);
};
