#pragma once

#include "bvglobal.h"

#include <QByteArray>
#include <QMap>
#include <QMetaType>
#include <QMultiHash>
#include <QString>
#include <QUrl>

// One HLS segment, from its playlist entry to the bytes handed to the engine.
struct BVHlsChunk
{
    quint32 sequence = 0;         // media sequence number, also its key in every segment map
    double duration = 0.0;        // #EXTINF duration in seconds
    quint32 bitrate = 0;          // bitrate of the media playlist it came from
    QUrl url;                     // absolute segment URL
    bool isDiscontinuity = false; // must begin a new engine stream
    bool isDownloaded = false;    // its data arrived and was demuxed
    qint32 readPos = 0;           // bytes of data already handed to the engine
    QByteArray data;              // the segment as downloaded
    QMultiHash<int, QString> meta; // byte offset in data -> timed metadata texts
};

using BVHlsChunks = QMap<quint32, BVHlsChunk>;

Q_DECLARE_METATYPE(BVHlsChunk)
Q_DECLARE_METATYPE(BVHlsChunks)
