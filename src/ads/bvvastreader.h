#pragma once

#include "bvadspot.h"
#include "bvglobal.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

// One Ad element of a VAST 2–4 or DAAST 1 document, read leniently.
struct BVVastAd {
    int sequence = 0;   // above 0: a spot of a pod, played in this order
    QString wrapperUri; // a wrapper's next document; empty for an in-line ad
    BVAdSpot spot;      // an in-line ad without a media URL has nothing this player can play
};

struct BVVastDocument {
    bool valid = false;    // false: not an ad document at all (the reason is logged)
    QStringList errorUrls; // the root's own Error elements: where a no-ad answer is reported
    QList<BVVastAd> ads;   // in document order; empty: no ad this time
};

// Reads ad documents as ad servers really write them: root and element names matched by local
// name (namespaces and prefixes ignored), creatives in any order and in separate Creative
// elements, most elements optional, every impression and tracking URL kept, wrappers and pods.
namespace BVVastReader {

// `stationKbps` picks among media files of several bitrates (0: unknown).
BREVANTPLAYER_EXPORT BVVastDocument read(const QByteArray &data, int stationKbps);

// "HH:MM:SS" or "HH:MM:SS.mmm" in milliseconds; -1 when it is neither.
BREVANTPLAYER_EXPORT qint64 clockMs(const QString &text);

// The byte position of a progress offset ("HH:MM:SS(.mmm)" or "N%") in an ad of `length`
// bytes and `bytesPerSecond`; -1 when the offset is unreadable or beyond the end.
BREVANTPLAYER_EXPORT qint64 offsetPosition(const QString &offset, quint64 length, quint64 bytesPerSecond);

struct MediaFile {
    QString url;
    QString type;
    QString delivery;
    int bitrateKbps = 0;
};
// The index of the file to play: an http(s) file of a type the engine plays, progressive
// delivery first, then the bitrate nearest the station's, then document order; -1 for none.
BREVANTPLAYER_EXPORT int chooseMedia(const QList<MediaFile> &files, int stationKbps);

// A tracking URL with its macros filled in: [ERRORCODE] (when `errorCode` is above 0),
// [CACHEBUSTING] (eight random digits) and [TIMESTAMP] (`now`, ISO 8601, URL-encoded).
BREVANTPLAYER_EXPORT QString expandMacros(QString url, int errorCode, const QDateTime &now);

} // namespace BVVastReader
